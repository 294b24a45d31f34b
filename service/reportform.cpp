#include "service/reportform.h"

#include <QStringDecoder>

#include <algorithm>
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

// "1:123456,2:234567": complete steps, connections ascending.
std::optional<QList<std::pair<qint32, qint64>>> ReadSteps(const QByteArray &text)
{
    QList<std::pair<qint32, qint64>> steps;
    if (text.isEmpty())
        return steps; // no step completed
    const QList<QByteArray> parts = text.split(',');
    if (parts.size() > MaxArticleSteps)
        return std::nullopt;
    for (const QByteArray &part : parts) {
        const qsizetype colon = part.indexOf(':');
        if (colon < 0)
            return std::nullopt;
        const std::optional<qint64> connections
            = ReadDecimal(part.first(colon), 1, MaxArticleConnections);
        const std::optional<qint64> bps = ReadDecimal(part.sliced(colon + 1), 0, MaxSpeed);
        if (!connections || !bps || part.first(colon).startsWith('-')
            || part.sliced(colon + 1).startsWith('-')
            || (!steps.isEmpty() && *connections <= steps.back().first))
            return std::nullopt;
        steps.append({qint32(*connections), *bps});
    }
    return steps;
}

// The article keys come all together or not at all; the sixteen are read either way.
void ReadArticle(const std::array<std::optional<QByteArray>, AllFieldCount> &raw,
                 const std::array<bool, AllFieldCount> &repeated, ReadResult &result)
{
    const auto first = raw.begin() + FirstArticleField;
    if (std::none_of(first, raw.end(), [](const auto &value) { return value.has_value(); }))
        return;
    auto fail = [&result](int key, const QString &reason) {
        const int field = FirstArticleField + key;
        result.errors.append({field, FieldLabel(field), reason});
    };
    bool ok = true;
    auto number = [&](int key, qint64 low, qint64 high) -> qint64 {
        const std::optional<qint64> value = ReadDecimal(*raw[FirstArticleField + key], low, high);
        if (!value) {
            fail(key, ReasonRange.arg(low).arg(high));
            ok = false;
            return 0;
        }
        return *value;
    };

    ArticleFigures a;
    for (int key = 0; key < ArticleReportKeyCount; ++key) {
        const std::optional<QByteArray> &value = raw[FirstArticleField + key];
        if (!value) {
            fail(key, ReasonMissing);
            ok = false;
            continue;
        }
        if (repeated[FirstArticleField + key]) {
            fail(key, ReasonRepeated);
            ok = false;
            continue;
        }
        switch (ArticleReportKey(key)) {
        case KeyArticleSpeed:
            a.speed = number(key, 0, MaxSpeed);
            break;
        case KeyArticleConnections:
            a.connections = qint32(number(key, 0, MaxArticleConnections));
            break;
        case KeyKnee:
            a.knee = qint32(number(key, 0, MaxArticleConnections));
            break;
        case KeyConnections:
            a.accepted = qint32(number(key, 0, MaxArticleConnections));
            break;
        case KeyMoreRefused:
            a.moreRefused = number(key, 0, 1) == 1;
            break;
        case KeyGreetingMs:
            a.greetingMs = number(key, -1, MaxReplyMs);
            break;
        case KeyStatMs:
            a.statMs = number(key, -1, MaxReplyMs);
            break;
        case KeyArticlesAsked:
            a.asked = number(key, 0, std::numeric_limits<qint32>::max());
            break;
        case KeyArticlesFound:
            a.found = number(key, 0, std::numeric_limits<qint32>::max());
            break;
        case KeyArticleBytes:
            a.bytes = number(key, 0, MaxArticleBytes);
            break;
        case KeyArticleEnd: {
            QStringList names;
            for (int end = 0; end < SweepEndCount; ++end) {
                const QByteArray name = ArticleEndName(SweepEnd(end));
                names << QString::fromLatin1(name);
                if (*value == name)
                    a.end = name;
            }
            if (a.end.isEmpty()) {
                fail(key, ReasonEndName.arg(names.join(u", ")));
                ok = false;
            }
            break;
        }
        case KeyArticleSteps:
            if (const auto steps = ReadSteps(*value)) {
                a.steps = *steps;
            } else {
                fail(key,
                     ReasonSteps.arg(MaxArticleSteps).arg(MaxArticleConnections).arg(MaxSpeed));
                ok = false;
            }
            break;
        case ArticleReportKeyCount:
            break;
        }
    }
    if (!ok)
        return;

    // The figures the program works out from its steps: the fastest one, first of equals,
    // and a knee that is one of them.
    if (a.found > a.asked)
        fail(KeyArticlesFound, ReasonFoundOverAsked);
    qint64 best = 0;
    qint32 bestConnections = 0;
    for (const auto &[connections, bps] : a.steps) {
        if (bps > best) {
            best = bps;
            bestConnections = connections;
        }
    }
    if (a.speed != best)
        fail(KeyArticleSpeed, ReasonNotBestStep);
    else if (a.connections != bestConnections)
        fail(KeyArticleConnections, ReasonNotBestStep);
    if (a.knee != 0 && std::none_of(a.steps.begin(), a.steps.end(), [&a](const auto &step) {
            return step.first == a.knee;
        }))
        fail(KeyKnee, ReasonNotAStep);
    result.report.article = a;
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

QByteArray FieldKey(int key)
{
    if (key >= 0 && key < ReportKeyCount)
        return ReportKeyName(key);
    if (key >= FirstArticleField && key < AllFieldCount) {
        const std::string_view name = ArticleReportKeys[key - FirstArticleField];
        return QByteArray(name.data(), qsizetype(name.size()));
    }
    return QByteArray();
}

QByteArray StepsText(const QList<std::pair<qint32, qint64>> &steps)
{
    QByteArray text;
    for (const auto &[connections, bps] : steps) {
        if (!text.isEmpty())
            text += ',';
        text += QByteArray::number(connections) + ':' + QByteArray::number(bps);
    }
    return text;
}

QString FieldLabel(int key)
{
    if (key >= FirstArticleField && key < AllFieldCount) {
        static const std::array<const QString *, ArticleReportKeyCount> labels
            = {&FieldArticleSpeed,  &FieldArticleConnections, &FieldKnee,       &FieldConnections,
               &FieldMoreRefused,   &FieldGreetingMs,         &FieldStatMs,     &FieldArticlesAsked,
               &FieldArticlesFound, &FieldArticleBytes,       &FieldArticleEnd, &FieldArticleSteps};
        return *labels[key - FirstArticleField];
    }
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
    std::array<std::optional<QByteArray>, AllFieldCount> raw;
    std::array<bool, AllFieldCount> repeated{};
    for (const auto &[key, value] : pairs) {
        if (key == "token") {
            result.token = value;
            continue;
        }
        for (int k = 0; k < AllFieldCount; ++k) {
            if (key == FieldKey(k)) {
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
    ReadArticle(raw, repeated, result);
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
    if (const std::optional<ArticleFigures> &a = r.article) {
        const std::array<QByteArray, ArticleReportKeyCount> article
            = {QByteArray::number(a->speed),
               QByteArray::number(a->connections),
               QByteArray::number(a->knee),
               QByteArray::number(a->accepted),
               a->moreRefused ? "1" : "0",
               QByteArray::number(a->greetingMs),
               QByteArray::number(a->statMs),
               QByteArray::number(a->asked),
               QByteArray::number(a->found),
               QByteArray::number(a->bytes),
               a->end,
               StepsText(a->steps)};
        for (int key = 0; key < ArticleReportKeyCount; ++key)
            fields.append({FieldKey(FirstArticleField + key), article[key]});
    }
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
