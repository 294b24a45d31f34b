#include "report/jsonreport.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "engine/grouplist.h"
#include "report/articlereport.h"
#include "report/webreport.h"

namespace {

QJsonValue number(const QString &text)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? QJsonValue(value) : QJsonValue();
}

QString key(int hierarchy)
{
    return QString::fromLatin1(HierarchyKeys[hierarchy].data(),
                               qsizetype(HierarchyKeys[hierarchy].size()));
}

} // namespace

QString ReportUrlText(const QByteArray &url)
{
    QString text;
    for (const char c : url) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80)
            text += QLatin1Char(c);
        else
            text += QStringLiteral("%%1").arg(uint(b), 2, 16, QLatin1Char('0')).toUpper();
    }
    return text;
}

QByteArray BuildJsonReport(const ReportFields &f, const ListFigures &list, const QString &version)
{
    QJsonObject counts;
    QJsonObject days;
    for (int h = 0; h < HierarchyCount; ++h) {
        counts.insert(key(h), number(f.counts[h]));
        days.insert(key(h), number(f.expires[h]));
    }
    // The speed is written only when the list came in whole; so are the figures behind it.
    const bool listComplete = !f.speed.isEmpty();
    QJsonObject report{
        {QStringLiteral("version"), version},
        {QStringLiteral("address"), f.address},
        {QStringLiteral("kind"), f.serverTypeIndex},
        {QStringLiteral("kindText"), f.serverTypeText},
        {QStringLiteral("name"), f.name},
        {QStringLiteral("posting"), f.postAllowed},
        {QStringLiteral("groupCount"), number(f.groupCount)},
        {QStringLiteral("listBytes"), listComplete ? QJsonValue(list.bytes) : QJsonValue()},
        {QStringLiteral("listElapsedUs"), listComplete ? QJsonValue(list.elapsedUs) : QJsonValue()},
        {QStringLiteral("speed"), number(f.speed)},
        {QStringLiteral("counts"), counts},
        {QStringLiteral("retentionDays"), days},
        {QStringLiteral("reportUrl"), ReportUrlText(BuildReportUrl(f))},
    };
    if (f.articles)
        report.insert(QStringLiteral("articles"), BuildArticleJson(*f.articles));
    return QJsonDocument(report).toJson(QJsonDocument::Indented);
}
