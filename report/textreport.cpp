#include "report/textreport.h"

#include <QStringBuilder>

#include <charconv>
#include <limits>
#include <optional>
#include <stdexcept>

#include "engine/integers.h"
#include "engine/shiftjis.h"
#include "report/articlereport.h"
#include "report/reporttexts.h"

namespace {

// The speed as the window shows it, read by the program's one rule for integers.
std::optional<qint64> ParseInt64(const QString &text)
{
    qint64 value = 0;
    for (const QChar c : text) {
        if (c.unicode() > 0x7f)
            return std::nullopt;
    }
    if (!ReadInt64(text.toLatin1(), value))
        return std::nullopt;
    return value;
}

std::runtime_error NotAnInteger(const QString &text)
{
    QString message = SpeedNotIntegerMessage.toString();
    message.replace(QStringLiteral("%s"), text);
    return std::runtime_error(message.toStdString());
}

} // namespace

QString SpeedInKbps(const QString &speedText)
{
    const std::optional<qint64> bytesPerSecond = ParseInt64(speedText);
    if (!bytesPerSecond)
        throw NotAnInteger(speedText);
    // A full stop whatever the desktop's locale: the report is pasted where other locales read
    // it. to_chars rounds as printf does in the C locale, an exact half to the even digit.
    char buffer[64];
    const auto [end, error]
        = std::to_chars(buffer, buffer + sizeof buffer, double(*bytesPerSecond) * BytesToKilobytes,
                        std::chars_format::fixed, SpeedDecimals);
    return QString::fromLatin1(buffer, error == std::errc() ? end - buffer : 0)
        + KbpsSuffix.toString();
}

QStringList BuildTextReport(const ReportFields &f, const QString &title, const QString &version)
{
    QStringList lines;
    lines.reserve(28);
    lines << ReportRule.toString() << title % u' ' % version << PublisherNotice.toString()
          << PublisherPageUrl.toString() << ReportRule.toString() << QString();

    lines << LabelName % f.name << LabelServerType % f.serverTypeText << LabelAddress % f.address
          << LabelPostAllowed % f.postAllowedText << LabelGroupCount % f.groupCount
          << LabelSpeed % SpeedInKbps(f.speed) << QString();

    lines << HeadingCounts.toString() << ReportRule.toString();
    for (int i = 0; i < HierarchyCount; ++i)
        lines << HierarchyLabels[i] % f.counts[i] % CountSuffix;
    lines << QString();

    lines << HeadingExpires.toString() << ReportRule.toString();
    for (int i = 0; i < HierarchyCount; ++i)
        lines << HierarchyLabels[i] % f.expires[i] % ExpireSuffix;
    if (f.articles)
        lines << BuildArticleReportLines(*f.articles, f.articleByteCap);
    return lines;
}

QString JoinReportLines(const QStringList &lines, QStringView lineEnd)
{
    QString text;
    for (const QString &line : lines) {
        text += line;
        text += lineEnd;
    }
    return text;
}
