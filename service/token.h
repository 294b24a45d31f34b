#pragma once

#include <QByteArray>

// The confirmation page's proof: an HMAC-SHA256 over the report's values, the client's
// address and an expiry, with the service's secret. Another site cannot mint one for its
// visitors, since it is bound to the address that fetched the page.
QByteArray MintToken(const QByteArray &secret, const QByteArray &canonical,
                     const QByteArray &client, qint64 expiresAt);

enum class TokenCheck { Valid, Forged, Expired };

TokenCheck CheckToken(const QByteArray &secret, const QByteArray &token,
                      const QByteArray &canonical, const QByteArray &client, qint64 now);
