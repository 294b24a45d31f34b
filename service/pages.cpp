#include "service/pages.h"

#include <QDateTime>
#include <QLocale>
#include <QTimeZone>

#include "report/reporttexts.h"
#include "service/chart.h"
#include "service/html.h"
#include "service/servicetexts.h"

using namespace ServiceTexts;
using Html::escape;

namespace {

QString Document(const QString &title, const QString &body)
{
    QString page = u"<!DOCTYPE html>\n<html lang=\"ja\">\n<head>\n<meta charset=\"utf-8\">\n"
                   u"<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                   u"<title>"_s;
    page += escape(title);
    if (title != SiteTitle)
        page += u" — "_s + SiteTitle;
    page += u"</title>\n<link rel=\"stylesheet\" href=\"/style.css\">\n</head>\n<body>\n<header><a "
            u"class=\"site\" href=\"/\">"_s
        + SiteTitle + u"</a><nav><a href=\"/\">"_s + NavRanking + u"</a><a href=\"/newsgroup/\">"_s
        + NavAbout + u"</a></nav></header>\n<main>\n"_s;
    page += body;
    page += u"</main>\n<footer>"_s + Footer + u"</footer>\n</body>\n</html>\n"_s;
    return page;
}

QString Grouped(qint64 value)
{
    static const QLocale japanese(QLocale::Japanese);
    return japanese.toString(value);
}

QString When(qint64 secondsSinceEpoch)
{
    static const QTimeZone japan = QTimeZone(9 * 3600);
    return QDateTime::fromSecsSinceEpoch(secondsSinceEpoch, japan).toString(DateFormat);
}

QString TypeName(int type)
{
    return type >= 0 && type < int(ServerTypeNames.size()) ? ServerTypeNames[type].toString()
                                                           : QString();
}

QString PostText(bool post)
{
    return post ? PostYes : PostNo;
}

QString Expire(qint32 days)
{
    return QString::number(days); // -1: the run could not tell
}

QString Cell(const QString &escaped, bool numeric = true)
{
    return (numeric ? u"<td class=\"n\">"_s : u"<td>"_s) + escaped + u"</td>"_s;
}

// The key of a hierarchy as a column heading, its full name on hover.
QString HierarchyHeading(int i)
{
    return u"<abbr title=\""_s + escape(HierarchyName(i)) + u"\">"_s
        + QString::fromLatin1(HierarchyKeys[i].data(), qsizetype(HierarchyKeys[i].size()))
        + u"</abbr>"_s;
}

QString Legend()
{
    QString legend = u"<dl class=\"legend\">"_s;
    for (int i = 0; i < HierarchyCount; ++i)
        legend += u"<dt>"_s
            + QString::fromLatin1(HierarchyKeys[i].data(), qsizetype(HierarchyKeys[i].size()))
            + u"</dt><dd>"_s + escape(HierarchyName(i)) + u"</dd>"_s;
    return legend + u"</dl>\n"_s;
}

// The cells of a report's values, from the name to the last retention.
QString ReportCells(const Report &r)
{
    QString cells = Cell(escape(r.name), false) + Cell(escape(TypeName(r.type)), false)
        + Cell(PostText(r.post), false) + Cell(Grouped(r.groups)) + Cell(Grouped(r.speed));
    for (const qint32 count : r.counts)
        cells += Cell(Grouped(count));
    for (const qint32 expire : r.expires)
        cells += Cell(Expire(expire));
    return cells;
}

QString RankingAddress(int column, bool descending, int page)
{
    QString address = u"/?sort="_s + QString::fromLatin1(SortParameter(column)) + u"&amp;order="_s
        + (descending ? u"desc"_s : u"asc"_s);
    if (page > 1)
        address += u"&amp;page="_s + QString::number(page);
    return address;
}

QString Pager(int page, int pageCount, const std::function<QString(int)> &address)
{
    if (pageCount <= 1)
        return QString();
    QString nav = u"<nav class=\"pager\">"_s;
    if (page > 1)
        nav += u"<a rel=\"prev\" href=\""_s + address(page - 1) + u"\">"_s + PagePrevious
            + u"</a>"_s;
    nav += u"<span>"_s + PageOf.arg(page).arg(pageCount) + u"</span>"_s;
    if (page < pageCount)
        nav += u"<a rel=\"next\" href=\""_s + address(page + 1) + u"\">"_s + PageNext + u"</a>"_s;
    return nav + u"</nav>\n"_s;
}

QString ValueTable(const QList<std::pair<QString, QString>> &rows, bool numbers = false)
{
    QString table = numbers ? u"<table class=\"values numbers\">"_s : u"<table class=\"values\">"_s;
    for (const auto &[label, value] : rows)
        table += u"<tr><th>"_s + escape(label) + u"</th><td>"_s + escape(value) + u"</td></tr>"_s;
    return table + u"</table>\n"_s;
}

// The report as the desktop program's window and text report show it.
QString ReportTables(const Report &r)
{
    QString html
        = ValueTable({{FieldLabel(KeyName), r.name},
                      {FieldLabel(KeyType), TypeName(r.type)},
                      {FieldLabel(KeyServer), r.server},
                      {FieldLabel(KeyPost), PostText(r.post)},
                      {FieldLabel(KeyGroups), QString::number(r.groups)},
                      {FieldLabel(KeySpeed), QString::number(r.speed) + u' ' + SpeedUnit}});
    QList<std::pair<QString, QString>> counts, expires;
    for (int i = 0; i < HierarchyCount; ++i) {
        counts.append({HierarchyName(i), QString::number(r.counts[i]) + u' ' + CountUnit});
        expires.append({HierarchyName(i), Expire(r.expires[i]) + u' ' + ExpireUnit});
    }
    html += u"<h2>"_s + HeadingCounts.toString() + u"</h2>\n"_s + ValueTable(counts, true);
    html += u"<h2>"_s + HeadingExpires.toString() + u"</h2>\n"_s + ValueTable(expires, true);
    return html;
}

} // namespace

namespace Pages {

QByteArray document(const QString &title, const QString &body)
{
    return Document(title, body).toUtf8();
}

int sortColumnByParameter(const QByteArray &parameter)
{
    for (int column = 0; column < SortColumnCount; ++column) {
        if (SortParameter(column) == parameter)
            return column;
    }
    return -1;
}

bool descendingByDefault(int sortColumn)
{
    return sortColumn != KeyServer && sortColumn != KeyName && sortColumn != KeyType;
}

QByteArray ranking(const QList<ServerSummary> &rows, const RankingView &view)
{
    QString body = u"<h1>"_s + SiteTitle + u"</h1>\n<p>"_s + RankingIntro + u"</p>\n"_s;
    if (rows.isEmpty() && view.totals.servers == 0)
        return document(SiteTitle, body + u"<p class=\"empty\">"_s + RankingEmpty + u"</p>\n"_s);
    body += u"<p class=\"totals\">"_s
        + RankingTotals.arg(Grouped(view.totals.servers), Grouped(view.totals.reports))
        + u"</p>\n"_s;

    // A heading links to its column's order; the current column's link turns the order round.
    auto heading = [&view](int column, const QString &label, const QString &extra = QString()) {
        const bool current = column == view.sortColumn;
        const bool descending = current ? !view.descending : descendingByDefault(column);
        QString th = u"<th"_s + extra;
        if (current)
            th += view.descending ? u" aria-sort=\"descending\""_s : u" aria-sort=\"ascending\""_s;
        th += u"><a href=\""_s + RankingAddress(column, descending, 1) + u"\">"_s + label;
        if (current)
            th += view.descending ? u" ▼"_s : u" ▲"_s;
        return th + u"</a></th>"_s;
    };
    const QString two = u" rowspan=\"2\""_s;
    QString head = u"<tr><th rowspan=\"2\">#</th>"_s
        + heading(KeyServer, ColumnAddress, two + u" class=\"addr\""_s)
        + heading(KeyName, ColumnName, two) + heading(KeyType, ColumnType, two)
        + heading(KeyPost, ColumnPost, two) + heading(KeyGroups, ColumnGroups, two)
        + heading(KeySpeed, ColumnSpeed + u"<br><small>"_s + SpeedUnit + u"</small>"_s, two)
        + u"<th colspan=\"5\">"_s + ColumnCounts + u"</th><th colspan=\"5\">"_s + ColumnExpires
        + u"</th>"_s + heading(SortReports, ColumnReports, two)
        + heading(SortMeasured, ColumnMeasured, two) + u"</tr>\n<tr>"_s;
    for (int i = 0; i < HierarchyCount; ++i)
        head += heading(KeyFirstCount + i, HierarchyHeading(i));
    for (int i = 0; i < HierarchyCount; ++i)
        head += heading(KeyFirstExpire + i, HierarchyHeading(i));
    head += u"</tr>\n"_s;

    QString table = u"<p class=\"hint\">"_s + ScrollHint
        + u"</p>\n<div class=\"scroll\"><table class=\"ranking\">\n<thead>\n"_s + head
        + u"</thead>\n<tbody>\n"_s;
    int rank = (view.page - 1) * view.perPage;
    for (const ServerSummary &s : rows) {
        table += u"<tr>"_s + Cell(QString::number(++rank))
            + u"<td class=\"addr\"><a href=\"/servers/"_s + QString::number(s.id) + u"\">"_s
            + escape(s.address) + u"</a></td>"_s + ReportCells(s.latest.values)
            + Cell(Grouped(s.reportCount)) + Cell(When(s.lastMeasured), false) + u"</tr>\n"_s;
    }
    table += u"</tbody>\n</table></div>\n"_s;
    body += table + Pager(view.page, view.pageCount, [&view](int page) {
                return RankingAddress(view.sortColumn, view.descending, page);
            });
    body += u"<p class=\"note\">"_s + TimeZoneNote + u"</p>\n"_s + Legend();
    return document(SiteTitle, body);
}

QByteArray server(const ServerSummary &server, const QList<StoredReport> &history,
                  const QList<StoredReport> &chartReports, int page, int pageCount)
{
    QString body = u"<h1>"_s + escape(server.address) + u"</h1>\n<p class=\"totals\">"_s
        + escape(server.latest.values.name) + u" · "_s + escape(TypeName(server.latest.values.type))
        + u"<br>"_s
        + ServerFacts.arg(Grouped(server.reportCount), When(server.lastMeasured) + TimeZoneNote)
        + u"</p>\n"_s;

    if (!chartReports.isEmpty()) {
        ChartSeries speed{FieldLabel(KeySpeed), {}};
        QList<ChartSeries> expires;
        for (int i = 0; i < HierarchyCount; ++i)
            expires.append({HierarchyName(i), {}});
        for (const StoredReport &r : chartReports) {
            speed.points.append({r.receivedAt, double(r.values.speed)});
            for (int i = 0; i < HierarchyCount; ++i) {
                if (r.values.expires[i] >= 0) // -1: not known
                    expires[i].points.append({r.receivedAt, double(r.values.expires[i])});
            }
        }
        body += u"<h2>"_s + SpeedChartTitle + u"</h2>\n<figure>"_s
            + LineChart(SpeedChartTitle, {speed}) + u"</figure>\n"_s;
        body += u"<h2>"_s + ExpireChartTitle + u"</h2>\n<figure>"_s
            + LineChart(ExpireChartTitle, expires) + u"<figcaption><ul class=\"key\">"_s;
        for (int i = 0; i < HierarchyCount; ++i)
            body += u"<li class=\"s%1\">"_s.arg(i) + escape(HierarchyName(i)) + u"</li>"_s;
        body += u"</ul></figcaption></figure>\n"_s;
    }

    body += u"<h2>"_s + LatestTitle + u"</h2>\n"_s + ReportTables(server.latest.values);

    body += u"<h2>"_s + HistoryTitle
        + u"</h2>\n<div class=\"scroll\"><table class=\"ranking\">\n<thead><tr><th rowspan=\"2\">"_s
        + ColumnReceived + u"</th><th rowspan=\"2\">"_s + ColumnName + u"</th><th rowspan=\"2\">"_s + ColumnType
        + u"</th><th rowspan=\"2\">"_s + ColumnPost + u"</th><th rowspan=\"2\">"_s + ColumnGroups
        + u"</th><th rowspan=\"2\">"_s + ColumnSpeed + u"<br><small>"_s + SpeedUnit
        + u"</small></th><th colspan=\"5\">"_s + ColumnCounts + u"</th><th colspan=\"5\">"_s
        + ColumnExpires + u"</th></tr>\n<tr>"_s;
    for (int i = 0; i < 2 * HierarchyCount; ++i)
        body += u"<th>"_s + HierarchyHeading(i % HierarchyCount) + u"</th>"_s;
    body += u"</tr></thead>\n<tbody>\n"_s;
    for (const StoredReport &r : history)
        body += u"<tr>"_s + Cell(When(r.receivedAt), false) + ReportCells(r.values) + u"</tr>\n"_s;
    body += u"</tbody>\n</table></div>\n"_s;
    const QString self = u"/servers/"_s + QString::number(server.id);
    body += Pager(page, pageCount,
                  [&self](int p) { return self + u"?page="_s + QString::number(p); });
    body += u"<p class=\"note\">"_s + TimeZoneNote + u"</p>\n"_s + Legend();
    return document(server.address, body);
}

QByteArray confirmation(const Report &report, const QByteArray &token, qint64 expiresAt)
{
    QString body = u"<h1>"_s + ConfirmTitle + u"</h1>\n<p>"_s + ConfirmIntro + u"</p>\n"_s;
    body += ReportTables(report);
    body += u"<form method=\"post\" action=\"/reports\">\n"_s;
    for (const auto &[key, value] : FormFields(report))
        body += u"<input type=\"hidden\" name=\""_s + escape(QString::fromLatin1(key))
            + u"\" value=\""_s + escape(QString::fromUtf8(value)) + u"\">\n"_s;
    body += u"<input type=\"hidden\" name=\"token\" value=\""_s + escape(QString::fromLatin1(token))
        + u"\">\n<button type=\"submit\">"_s + ConfirmButton + u"</button>\n</form>\n"_s;
    body += u"<p class=\"note\">"_s + ConfirmValidUntil.arg(When(expiresAt) + TimeZoneNote)
        + u"</p>\n"_s;
    return document(ConfirmTitle, body);
}

QByteArray message(const QString &title, const QStringList &lines)
{
    // The first line says what happened; any further lines list the details.
    QString body = u"<h1>"_s + escape(title) + u"</h1>\n"_s;
    if (!lines.isEmpty())
        body += u"<p>"_s + escape(lines.first()) + u"</p>\n"_s;
    if (lines.size() > 1) {
        body += u"<ul class=\"errors\">"_s;
        for (const QString &line : lines.sliced(1))
            body += u"<li>"_s + escape(line) + u"</li>"_s;
        body += u"</ul>\n"_s;
    }
    body += u"<p><a href=\"/\">"_s + BackToRanking + u"</a></p>\n"_s;
    return document(title, body);
}

} // namespace Pages
