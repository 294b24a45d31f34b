#include "report/textreport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QStringBuilder>

#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>

#include "report/reporttexts.h"
#include "report/shiftjis.h"

namespace {

// A plain decimal integer with an optional sign, nothing around it.
std::optional<qint64> ParseInt64(const QString &text)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    if (i == text.size())
        return std::nullopt;

    // Accumulate towards the negative side, which holds one more value.
    constexpr qint64 min = std::numeric_limits<qint64>::min();
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        const int digit = c - u'0';
        if (value < (min + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == min)
            return std::nullopt;
        value = -value;
    }
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
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, SpeedFormat, double(*bytesPerSecond) * BytesToKilobytes);
    return QString::fromLatin1(buffer);
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
    return lines;
}

QString JoinReportLines(const QStringList &lines)
{
    QString text;
    for (const QString &line : lines)
        text += line + QLatin1String("\r\n");
    return text;
}

void CopyReportToClipboard(const QString &reportText)
{
    // Without a QGuiApplication, QGuiApplication::clipboard() has nothing to talk to.
    QClipboard *clipboard = qobject_cast<QGuiApplication *>(QCoreApplication::instance())
        ? QGuiApplication::clipboard()
        : nullptr;
    if (!clipboard)
        throw std::runtime_error(ClipboardUnavailableMessage.toString().toStdString());

    auto *data = new QMimeData;
    data->setText(reportText);
    data->setData(QString::fromLatin1(ShiftJisMimeType), ToShiftJis(reportText));
    clipboard->setMimeData(data);
}

void CopyTextReport(const ReportFields &f, const QString &title, const QString &version)
{
    const QString text = JoinReportLines(BuildTextReport(f, title, version));
    CopyReportToClipboard(text);
}
