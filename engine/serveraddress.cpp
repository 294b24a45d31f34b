#include "engine/serveraddress.h"

#include <QHostAddress>

#include <algorithm>

#include "engine/sendable.h"

namespace {

const QString ReasonEmpty = QStringLiteral("アドレスが入力されていません");
const QString ReasonTooLong = QStringLiteral("アドレスが長すぎます");
const QString ReasonScheme
    = QStringLiteral("%1:// には対応していません（nntp:// または nntps:// を使ってください）");
const QString ReasonBracket = QStringLiteral("IPv6 アドレスの [ ] が閉じていません");
const QString ReasonIpv6 = QStringLiteral("IPv6 アドレスが正しくありません");
const QString ReasonPort = QStringLiteral("ポート番号は 1 から 65535 までの数字です");
const QString ReasonHost = QStringLiteral("ホスト名に使えない文字が含まれています");
const QString ReasonControl = QStringLiteral("アドレスに改行などの制御文字が含まれています");
const QString ReasonBlank = QStringLiteral("アドレスに空白が含まれています");
const QString ReasonZone = QStringLiteral(
    "IPv6 アドレスのゾーン ID（% "
    "から後）には対応していません（リンクローカルでないアドレスを使ってください）");
const QString ReasonPlainOnTlsPort = QStringLiteral(
    "ポート 563 は TLS のポートです。パスワードを平文で送らないよう、nntps:// を使ってください");

struct Scheme
{
    QLatin1StringView name;
    bool tls;
};
// RFC 3977 and RFC 5538 name nntp and news; nntps and snews are what newsreaders call TLS.
constexpr Scheme Schemes[] = {{QLatin1StringView("nntp"), false},
                              {QLatin1StringView("news"), false},
                              {QLatin1StringView("nntps"), true},
                              {QLatin1StringView("snews"), true}};

std::optional<ServerAddress> fail(QString *reason, const QString &text)
{
    if (reason)
        *reason = text;
    return std::nullopt;
}

bool isIpv6(const QString &text)
{
    QHostAddress address;
    return address.setAddress(text) && address.protocol() == QAbstractSocket::IPv6Protocol;
}

// Characters that would make the text something else than a host (a path, a user name, a
// query). Controls and blanks are refused for the whole text before.
bool isHostText(const QString &host)
{
    if (host.isEmpty())
        return false;
    for (const QChar c : host) {
        switch (c.unicode()) {
        case '/':
        case '\\':
        case '@':
        case '?':
        case '#':
        case '[':
        case ']':
        case ':':
        case '%':
            return false;
        default:
            break;
        }
    }
    return true;
}

bool hasBlank(QStringView text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.isSpace(); });
}

// A Japanese input method left on gives full-width letters, digits, colons and slashes
// (U+FF01..U+FF5E) and the full-width space: read as the ASCII they stand for, which is also
// what IDNA makes of them in a name (UTS #46 maps them so).
QString narrowed(const QString &text)
{
    QString result = text;
    for (QChar &c : result) {
        if (c.unicode() >= 0xff01 && c.unicode() <= 0xff5e)
            c = QChar(c.unicode() - 0xfee0);
        else if (c.unicode() == 0x3000)
            c = u' ';
    }
    return result;
}

std::optional<quint16> readPort(QStringView text)
{
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    int value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - '0');
    }
    if (value < 1 || value > 65535)
        return std::nullopt;
    return quint16(value);
}

} // namespace

std::optional<ServerAddress> ParseServerAddress(const QString &text, QString *reason)
{
    if (text.isEmpty())
        return fail(reason, ReasonEmpty);
    if (text.toUtf8().size() > ServerAddress::MaxBytes)
        return fail(reason, ReasonTooLong);
    // A line break pasted along with the address must not travel with it, into the lookup or
    // into a report.
    if (!IsSendable(text))
        return fail(reason, ReasonControl);
    const QString ascii = narrowed(text);
    if (hasBlank(ascii))
        return fail(reason, ReasonBlank);

    ServerAddress address;
    QStringView rest = ascii;
    bool schemeGiven = false;
    if (const qsizetype separator = rest.indexOf(QLatin1StringView("://")); separator >= 0) {
        const QStringView name = rest.first(separator);
        const Scheme *scheme = nullptr;
        for (const Scheme &known : Schemes) {
            if (name.compare(known.name, Qt::CaseInsensitive) == 0)
                scheme = &known;
        }
        if (!scheme)
            return fail(reason, ReasonScheme.arg(name));
        schemeGiven = true;
        address.tls = scheme->tls;
        rest = rest.sliced(separator + 3);
        // An address copied from a browser's bar ends in a slash.
        if (rest.endsWith(u'/'))
            rest.chop(1);
    }

    QStringView portText;
    bool portGiven = false;
    bool ipv6 = false;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0)
            return fail(reason, ReasonBracket);
        address.host = rest.sliced(1, close - 1).toString();
        if (address.host.contains(u'%'))
            return fail(reason, ReasonZone);
        if (!isIpv6(address.host))
            return fail(reason, ReasonIpv6);
        ipv6 = true;
        const QStringView after = rest.sliced(close + 1);
        if (!after.isEmpty()) {
            if (!after.startsWith(u':'))
                return fail(reason, ReasonHost);
            portText = after.sliced(1);
            portGiven = true;
        }
    } else if (rest.count(u':') >= 2) {
        // A bare IPv6 address cannot carry a port: every colon is its own.
        address.host = rest.toString();
        if (address.host.contains(u'%'))
            return fail(reason, ReasonZone);
        if (!isIpv6(address.host))
            return fail(reason, ReasonIpv6);
        ipv6 = true;
    } else if (const qsizetype colon = rest.indexOf(u':'); colon >= 0) {
        address.host = rest.first(colon).toString();
        portText = rest.sliced(colon + 1);
        portGiven = true;
    } else {
        address.host = rest.toString();
    }

    if (!ipv6 && !isHostText(address.host))
        return fail(reason, address.host.isEmpty() ? ReasonEmpty : ReasonHost);

    if (portGiven) {
        const std::optional<quint16> port = readPort(portText);
        if (!port)
            return fail(reason, ReasonPort);
        address.port = *port;
        // nntp://host:563 would send the password in the clear to a port that waits for TLS.
        if (schemeGiven && !address.tls && address.port == ServerAddress::NntpsPort)
            return fail(reason, ReasonPlainOnTlsPort);
        if (!schemeGiven && address.port == ServerAddress::NntpsPort)
            address.tls = true;
    } else {
        address.port = address.tls ? ServerAddress::NntpsPort : ServerAddress::NntpPort;
    }
    return address;
}
