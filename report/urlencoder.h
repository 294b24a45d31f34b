#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// URL-encodes a byte string for a query value: letters and digits stay, a blank becomes
// "+", every other byte "%XX" in upper case. Bytes are taken one by one, so a Shift-JIS
// trail byte that is a letter stays a letter.
class UrlEncoder
{
public:
    using ErrorHandler = std::function<void(const UrlEncoder &sender, const QString &operation,
                                            const QString &errorMessage)>;

    QByteArray InputString;
    // Told when encoding runs out of memory; Encode then gives InputString unchanged.
    ErrorHandler OnError;

    QByteArray Encode() const;
};
