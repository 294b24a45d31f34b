#include "service/token.h"

#include <QCryptographicHash>
#include <QMessageAuthenticationCode>

namespace {

constexpr auto Base64 = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

QByteArray Signature(const QByteArray &secret, const QByteArray &canonical,
                     const QByteArray &client, qint64 expiresAt)
{
    QMessageAuthenticationCode mac(QCryptographicHash::Sha256, secret);
    mac.addData(QByteArray::number(expiresAt) + '\n');
    mac.addData(client + '\n');
    mac.addData(canonical);
    return mac.result();
}

bool SameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace

QByteArray MintToken(const QByteArray &secret, const QByteArray &canonical,
                     const QByteArray &client, qint64 expiresAt)
{
    return QByteArray::number(expiresAt) + '.'
        + Signature(secret, canonical, client, expiresAt).toBase64(Base64);
}

TokenCheck CheckToken(const QByteArray &secret, const QByteArray &token,
                      const QByteArray &canonical, const QByteArray &client, qint64 now)
{
    const qsizetype dot = token.indexOf('.');
    bool ok = false;
    const qint64 expiresAt = dot > 0 ? token.first(dot).toLongLong(&ok) : 0;
    if (!ok)
        return TokenCheck::Forged;
    const auto decoded = QByteArray::fromBase64Encoding(
        token.sliced(dot + 1), Base64 | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || !SameBytes(*decoded, Signature(secret, canonical, client, expiresAt)))
        return TokenCheck::Forged;
    return now > expiresAt ? TokenCheck::Expired : TokenCheck::Valid;
}
