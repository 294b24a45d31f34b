#include "service/reportform.h"

#include <QStringDecoder>

#include <limits>
#include <optional>

#include "engine/serveraddress.h"
#include "engine/shiftjis.h"
#include "report/reporttexts.h"
#include "service/servicetexts.h"

using namespace ServiceTexts;

namespace {

// "+" is a blank in a query; then %XX escapes.
QByteArray Unescape(QByteArrayView text)
{
    return QByteArray::fromPercentEncoding(text.toByteArray().replace('+', ' '));
}

// Plain decimal digits with an optional minus sign: what the window shows for a number.
std::optional<qint64> ReadDecimal(const QByteArray &text, qint64 low, qint64 high)
{
    qsizetype i = text.startsWith('-') ? 1 : 0;
    if (i == text.size() || text.size() - i > 19)
        return std::nullopt;
    quint64 value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + quint64(text[i] - '0');
    }
    if (value > quint64(std::numeric_limits<qint64>::max()))
        return std::nullopt;
    const qint64 signedValue = text.startsWith('-') ? -qint64(value) : qint64(value);
    if (signedValue < low || signedValue > high)
        return std::nullopt;
    return signedValue;
}

bool HasControl(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return true;
    }
    return false;
}

// The program sends Shift-JIS. The address goes unescaped, so a browser may have turned it
// into UTF-8 on the way; outside ASCII that is never mistaken for Shift-JIS in a host name.
std::optional<QString> DecodeText(const QByteArray &bytes, FormEncoding encoding, bool mayBeUtf8)
{
    if (encoding == FormEncoding::Utf8 || mayBeUtf8) {
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = utf8.decode(bytes);
        if (!utf8.hasError())
            return text;
        if (encoding == FormEncoding::Utf8)
            return std::nullopt;
    }
    const QString text = FromShiftJis(bytes);
    if (text.contains(QChar::ReplacementCharacter))
        return std::nullopt;
    return text;
}

} // namespace

FormPairs SplitForm(QByteArrayView text)
{
    FormPairs pairs;
    for (const QByteArray &part : text.toByteArray().split('&')) {
        if (part.isEmpty())
            continue;
        const qsizetype equals = part.indexOf('=');
        if (equals < 0)
            pairs.append({Unescape(part), QByteArray()});
        else
            pairs.append({Unescape(part.first(equals)), Unescape(part.sliced(equals + 1))});
    }
    return pairs;
}

QString HierarchyName(int index)
{
    return HierarchyLabels[index].chopped(3).toString(); // without " : "
}

QString FieldLabel(int key)
{
    // The text report's labels, without their padding and colon.
    auto label = [](QStringView text) {
        return text.toString().remove(u':').trimmed();
    };
    switch (key) {
    case KeyName:
        return label(LabelName);
    case KeyType:
        return label(LabelServerType);
    case KeyServer:
        return label(LabelAddress);
    case KeyPost:
        return label(LabelPostAllowed);
    case KeyGroups:
        return label(LabelGroupCount);
    case KeySpeed:
        return label(LabelSpeed);
    default:
        if (key >= KeyFirstCount && key < KeyFirstExpire)
            return FieldCount.arg(HierarchyName(key - KeyFirstCount));
        if (key >= KeyFirstExpire && key < ReportKeyCount)
            return FieldExpire.arg(HierarchyName(key - KeyFirstExpire));
        return QString();
    }
}

ReadResult ReadReport(const FormPairs &pairs, FormEncoding encoding)
{
    ReadResult result;
    std::array<std::optional<QByteArray>, ReportKeyCount> raw;
    std::array<bool, ReportKeyCount> repeated{};
    for (const auto &[key, value] : pairs) {
        if (key == "token") {
            result.token = value;
            continue;
        }
        for (int k = 0; k < ReportKeyCount; ++k) {
            if (key == ReportKeyName(k)) {
                repeated[k] = raw[k].has_value();
                raw[k] = value;
            }
        }
    }

    auto fail = [&result](int key, const QString &reason) {
        result.errors.append({key, FieldLabel(key), reason});
    };
    auto number = [&](int key, qint64 low, qint64 high) -> qint64 {
        const std::optional<qint64> value = ReadDecimal(*raw[key], low, high);
        if (!value) {
            fail(key, ReasonRange.arg(low).arg(high));
            return 0;
        }
        return *value;
    };

    constexpr qint64 Int32Max = std::numeric_limits<qint32>::max();
    Report &r = result.report;
    for (int key = 0; key < ReportKeyCount; ++key) {
        if (!raw[key]) {
            fail(key, ReasonMissing);
            continue;
        }
        if (repeated[key]) {
            fail(key, ReasonRepeated);
            continue;
        }
        switch (key) {
        case KeyName: {
            const std::optional<QString> name = DecodeText(*raw[key], encoding, false);
            if (!name)
                fail(key, encoding == FormEncoding::ShiftJis ? ReasonShiftJis : ReasonText);
            else if (name->size() > MaxNameLength)
                fail(key, ReasonTooLong.arg(MaxNameLength));
            else if (HasControl(*name))
                fail(key, ReasonControl);
            else
                r.name = *name;
            break;
        }
        case KeyServer: {
            const std::optional<QString> server = DecodeText(*raw[key], encoding, true);
            QString reason;
            if (!server)
                fail(key, ReasonText);
            else if (HasControl(*server))
                fail(key, ReasonControl);
            else if (!ParseServerAddress(*server, &reason))
                fail(key, reason);
            else
                r.server = *server;
            break;
        }
        case KeyType:
            r.type = int(number(key, 0, 2));
            break;
        case KeyPost:
            r.post = number(key, 0, 1) == 1;
            break;
        case KeyGroups:
            r.groups = qint32(number(key, 0, Int32Max));
            break;
        case KeySpeed:
            r.speed = number(key, 0, MaxSpeed);
            break;
        default:
            if (key < KeyFirstExpire)
                r.counts[key - KeyFirstCount] = qint32(number(key, 0, Int32Max));
            else
                r.expires[key - KeyFirstExpire] = qint32(number(key, -1, MaxExpireDays));
            break;
        }
    }
    return result;
}

FormPairs FormFields(const Report &r)
{
    std::array<QByteArray, ReportKeyCount> values;
    values[KeyName] = r.name.toUtf8();
    values[KeyType] = QByteArray::number(r.type);
    values[KeyServer] = r.server.toUtf8();
    values[KeyPost] = r.post ? "1" : "0";
    values[KeyGroups] = QByteArray::number(r.groups);
    values[KeySpeed] = QByteArray::number(r.speed);
    for (int i = 0; i < HierarchyCount; ++i) {
        values[KeyFirstCount + i] = QByteArray::number(r.counts[i]);
        values[KeyFirstExpire + i] = QByteArray::number(r.expires[i]);
    }
    FormPairs fields;
    for (int key = 0; key < ReportKeyCount; ++key)
        fields.append({ReportKeyName(key), values[key]});
    return fields;
}

QByteArray CanonicalText(const Report &r)
{
    QByteArray text;
    for (const auto &[key, value] : FormFields(r))
        text += key + '=' + value + '\n';
    return text;
}

QString ServerKey(const QString &server)
{
    const std::optional<ServerAddress> address = ParseServerAddress(server);
    if (!address)
        return server.toCaseFolded();
    const QString host = address->host.contains(u':') ? u'[' + address->host + u']' : address->host;
    return QString::fromUtf16(address->tls ? u"nntps://" : u"nntp://") + host.toCaseFolded() + u':'
        + QString::number(address->port);
}

QString ServerHostKey(const QString &server)
{
    const std::optional<ServerAddress> address = ParseServerAddress(server);
    return (address ? address->host : server).toCaseFolded();
}
