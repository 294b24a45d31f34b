#include "service/pages.h"

#include <QDateTime>
#include <QLocale>
#include <QTimeZone>

#include <algorithm>
#include <array>
#include <functional>
#include <optional>

#include "report/reporttexts.h"
#include "service/chart.h"
#include "service/servicetexts.h"

using namespace ServiceTexts;
using Web::escape;
using Web::Markup;

namespace {

Markup Document(const QString &title, const Markup &body)
{
    Markup page = u"<!DOCTYPE html>\n<html lang=\"ja\">\n<head>\n<meta charset=\"utf-8\">\n"
                  u"<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                  u"<title>";
    page += escape(title == SiteTitle ? title : title + u" — "_s + SiteTitle);
    page += Markup(u"</title>\n<link rel=\"stylesheet\" href=\"/style.css\">\n</head>\n<body>\n"
                   u"<header><a class=\"site\" href=\"/\">%1</a><nav><a href=\"/\">%2</a>"
                   u"<a href=\"/newsgroup/\">%3</a></nav></header>\n<main>\n")
                .arg(escape(SiteTitle), escape(NavRanking), escape(NavAbout));
    page += body;
    page += Markup(u"</main>\n<footer>%1</footer>\n</body>\n</html>\n").arg(escape(Footer));
    return page;
}

Markup Grouped(qint64 value)
{
    static const QLocale japanese(QLocale::Japanese);
    return escape(japanese.toString(value));
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

// -1: the server has no group of the hierarchy, so there was nothing to measure.
QString Expire(qint32 days)
{
    return days < 0 ? ExpireNone : QString::number(days);
}

QString ExpireWithUnit(qint32 days)
{
    return days < 0 ? ExpireNone : QString::number(days) + u' ' + ExpireUnit;
}

Markup Cell(const Markup &content, bool numeric = true)
{
    return (numeric ? Markup(u"<td class=\"n\">") : Markup(u"<td>")) + content + u"</td>";
}

// The cells that may wrap onto a second line, so that the ranking fits a desktop screen.
Markup NameCell(const QString &name)
{
    return u"<td class=\"name\">" + escape(name) + u"</td>";
}

// The date and the time, each kept whole.
Markup WhenCell(qint64 secondsSinceEpoch)
{
    const QStringList parts = When(secondsSinceEpoch).split(u' ');
    Markup cell = u"<td class=\"when\">";
    for (qsizetype i = 0; i < parts.size(); ++i)
        cell += (i == 0 ? Markup() : Markup(u" ")) + u"<span>" + escape(parts[i]) + u"</span>";
    return cell + u"</td>";
}

Markup Paragraph(const QString &cssClass, const QString &text)
{
    return Markup(u"<p class=\"%1\">%2</p>\n").arg(escape(cssClass), escape(text));
}

Markup HierarchyKey(int i)
{
    return escape(QString::fromLatin1(HierarchyKeys[i].data(), qsizetype(HierarchyKeys[i].size())));
}

// The key of a hierarchy as a column heading, its full name on hover.
Markup HierarchyHeading(int i)
{
    return Markup(u"<abbr title=\"%1\">%2</abbr>").arg(escape(HierarchyName(i)), HierarchyKey(i));
}

Markup Legend()
{
    Markup legend = u"<dl class=\"legend\">";
    for (int i = 0; i < HierarchyCount; ++i)
        legend += Markup(u"<dt>%1</dt><dd>%2</dd>").arg(HierarchyKey(i), escape(HierarchyName(i)));
    return legend + u"</dl>\n";
}

// The article speed and knee cells; "—" when there is nothing measured to show.
Markup ArticleCells(std::optional<qint64> speed, std::optional<qint32> knee)
{
    if (!speed)
        return Cell(escape(ArticleNone)) + Cell(escape(ArticleNone));
    return Cell(Grouped(*speed)) + Cell(knee && *knee > 0 ? Grouped(*knee) : escape(KneeNone));
}

Markup ArticleCells(const Report &r)
{
    if (!r.article || !r.article->measured())
        return ArticleCells(std::nullopt, std::nullopt);
    return ArticleCells(r.article->speed, r.article->knee);
}

// The cells of a report's values, from the name to the last retention, the article figures
// after the speed.
Markup ReportCells(const Report &r, const Markup &articleCells)
{
    Markup cells = NameCell(r.name) + Cell(escape(TypeName(r.type)), false)
        + Cell(escape(PostText(r.post)), false) + Cell(Grouped(r.groups)) + Cell(Grouped(r.speed))
        + articleCells;
    for (const qint32 count : r.counts)
        cells += Cell(Grouped(count));
    for (const qint32 expire : r.expires)
        cells += Cell(escape(Expire(expire)));
    return cells;
}

Markup RankingAddress(int column, bool descending, int page)
{
    Markup address = Markup(u"/?sort=%1&amp;order=%2")
                         .arg(escape(QString::fromLatin1(SortParameter(column))),
                              descending ? Markup(u"desc") : Markup(u"asc"));
    if (page > 1)
        address += u"&amp;page=" + Web::number(page);
    return address;
}

Markup Pager(int page, int pageCount, const std::function<Markup(int)> &address)
{
    if (pageCount <= 1)
        return Markup();
    Markup nav = u"<nav class=\"pager\">";
    if (page > 1)
        nav += Markup(u"<a rel=\"prev\" href=\"%1\">%2</a>")
                   .arg(address(page - 1), escape(PagePrevious));
    nav += u"<span>" + escape(PageOf.arg(page).arg(pageCount)) + u"</span>";
    if (page < pageCount)
        nav += Markup(u"<a rel=\"next\" href=\"%1\">%2</a>")
                   .arg(address(page + 1), escape(PageNext));
    return nav + u"</nav>\n";
}

Markup ValueTable(const QList<std::pair<QString, QString>> &rows, bool numbers = false)
{
    Markup table = numbers ? Markup(u"<table class=\"values numbers\">")
                           : Markup(u"<table class=\"values\">");
    for (const auto &[label, value] : rows)
        table += Markup(u"<tr><th>%1</th><td>%2</td></tr>").arg(escape(label), escape(value));
    return table + u"</table>\n";
}

Markup Heading2(const QString &text)
{
    return u"<h2>" + escape(text) + u"</h2>\n";
}

QString EndText(const QByteArray &name)
{
    static const std::array<const QString *, SweepEndCount> texts
        = {&EndMaximum, &EndKnee, &EndRefused,    &EndCap,
           &EndStopped, &EndLost, &EndNoArticles, &EndFailed};
    for (int end = 0; end < SweepEndCount; ++end) {
        if (ArticleEndName(SweepEnd(end)) == name)
            return *texts[end];
    }
    return EndFailed;
}

QString WithUnit(qint64 value, const QString &unit)
{
    return QString::number(value) + u' ' + unit;
}

QString Ms(qint64 ms)
{
    return ms < 0 ? Unmeasured : WithUnit(ms, MsUnit);
}

// The article figures as the text report lists them.
Markup ArticleTable(const ArticleFigures &a)
{
    QList<std::pair<QString, QString>> rows;
    rows.append({ArticleBestLabel,
                 a.measured() ? ArticleBestValue.arg(a.speed).arg(a.connections) : Unmeasured});
    for (const auto &[connections, bps] : a.steps)
        rows.append({ArticleStepLabel.arg(connections), WithUnit(bps, SpeedUnit)});
    rows.append({FieldLabel(FirstArticleField + KeyKnee),
                 a.knee > 0 ? WithUnit(a.knee, ConnectionsUnit) : KneeNone});
    rows.append({a.moreRefused ? ArticleLimitLabel : FieldLabel(FirstArticleField + KeyConnections),
                 WithUnit(a.accepted, ConnectionsUnit)});
    rows.append({FieldLabel(FirstArticleField + KeyGreetingMs), Ms(a.greetingMs)});
    rows.append({FieldLabel(FirstArticleField + KeyStatMs), Ms(a.statMs)});
    rows.append({ArticlesLabel, QString::number(a.found) + u" / "_s + QString::number(a.asked)});
    rows.append(
        {FieldLabel(FirstArticleField + KeyArticleBytes), WithUnit(a.bytes, ArticleBytesUnit)});
    rows.append({FieldLabel(FirstArticleField + KeyArticleEnd), EndText(a.end)});
    return ValueTable(rows, true);
}

// The report as the desktop program's window and text report show it.
Markup ReportTables(const Report &r)
{
    Markup html = ValueTable({{FieldLabel(KeyName), r.name},
                              {FieldLabel(KeyType), TypeName(r.type)},
                              {FieldLabel(KeyServer), r.server},
                              {FieldLabel(KeyPost), PostText(r.post)},
                              {FieldLabel(KeyGroups), QString::number(r.groups)},
                              {FieldLabel(KeySpeed), QString::number(r.speed) + u' ' + SpeedUnit}});
    QList<std::pair<QString, QString>> counts, expires;
    for (int i = 0; i < HierarchyCount; ++i) {
        counts.append({HierarchyName(i), QString::number(r.counts[i]) + u' ' + CountUnit});
        expires.append({HierarchyName(i), ExpireWithUnit(r.expires[i])});
    }
    html += Heading2(HeadingCounts.toString()) + ValueTable(counts, true);
    html += Heading2(HeadingExpires.toString()) + ValueTable(expires, true);
    if (std::ranges::any_of(r.expires, [](qint32 days) { return days < 0; }))
        html += Paragraph(u"note"_s, ExpireNoneNote);
    if (r.article)
        html += Heading2(ArticleTitle) + ArticleTable(*r.article);
    return html;
}

} // namespace

namespace Pages {

QByteArray document(const QString &title, const Markup &body)
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
    Markup body = u"<h1>" + escape(SiteTitle) + u"</h1>\n" + Paragraph(u"intro"_s, RankingIntro);
    if (rows.isEmpty() && view.totals.servers == 0)
        return document(SiteTitle, body + Paragraph(u"empty"_s, RankingEmpty));
    body += Paragraph(u"totals"_s,
                      RankingTotals.arg(Grouped(view.totals.servers).text(),
                                        Grouped(view.totals.reports).text()));

    // A heading links to its column's order; the current column's link turns the order round.
    auto heading = [&view](int column, const Markup &label, const Markup &extra = Markup()) {
        const bool current = column == view.sortColumn;
        const bool descending = current ? !view.descending : descendingByDefault(column);
        Markup th = u"<th" + extra;
        if (current)
            th += view.descending ? Markup(u" aria-sort=\"descending\"")
                                  : Markup(u" aria-sort=\"ascending\"");
        th += Markup(u"><a href=\"%1\">%2").arg(RankingAddress(column, descending, 1), label);
        if (current)
            th += view.descending ? Markup(u" ▼") : Markup(u" ▲");
        return th + u"</a></th>";
    };
    const Markup two = u" rowspan=\"2\"";
    Markup head = u"<tr><th rowspan=\"2\">#</th>"
        + heading(KeyServer, escape(ColumnAddress), two + u" class=\"addr\"")
        + heading(KeyName, escape(ColumnName), two) + heading(KeyType, escape(ColumnType), two)
        + heading(KeyPost, escape(ColumnPost), two) + heading(KeyGroups, escape(ColumnGroups), two)
        + heading(KeySpeed, escape(ColumnSpeed) + u"<br><small>" + escape(SpeedUnit) + u"</small>",
                  two)
        + heading(SortArticleSpeed,
                  escape(ColumnArticleSpeed) + u"<br><small>" + escape(SpeedUnit) + u"</small>",
                  two)
        + heading(SortKnee,
                  escape(ColumnKnee) + u"<br><small>" + escape(ConnectionsUnit) + u"</small>", two)
        + Markup(u"<th colspan=\"5\">%1</th><th colspan=\"5\">%2</th>")
              .arg(escape(ColumnCounts), escape(ColumnExpires))
        + heading(SortReports, escape(ColumnReports), two)
        + heading(SortMeasured, escape(ColumnMeasured), two) + u"</tr>\n<tr>";
    for (int i = 0; i < HierarchyCount; ++i)
        head += heading(KeyFirstCount + i, HierarchyHeading(i));
    for (int i = 0; i < HierarchyCount; ++i)
        head += heading(KeyFirstExpire + i, HierarchyHeading(i));
    head += u"</tr>\n";

    Markup table = Paragraph(u"hint"_s, ScrollHint)
        + u"<div class=\"scroll\"><table class=\"ranking\">\n<thead>\n" + head
        + u"</thead>\n<tbody>\n";
    int rank = (view.page - 1) * view.perPage;
    for (const ServerSummary &s : rows) {
        const Markup reports = s.figureCount == s.reportCount
            ? Grouped(s.reportCount)
            : escape(
                FigureCountOf.arg(Grouped(s.figureCount).text(), Grouped(s.reportCount).text()));
        table += u"<tr>" + Cell(Web::number(++rank))
            + Markup(u"<td class=\"addr\"><a href=\"/servers/%1\">%2</a></td>")
                  .arg(Web::number(s.id), escape(s.address))
            + ReportCells(s.figures, ArticleCells(s.articleSpeed, s.knee)) + Cell(reports)
            + WhenCell(s.lastMeasured) + u"</tr>\n";
    }
    table += u"</tbody>\n</table></div>\n";
    body += table + Pager(view.page, view.pageCount, [&view](int page) {
                return RankingAddress(view.sortColumn, view.descending, page);
            });
    body += Paragraph(u"note"_s, FiguresNote.arg(FigureDays).arg(FigureReports))
        + Paragraph(u"note"_s, ExpireNoneNote + ExpireNoneSortNote)
        + Paragraph(u"note"_s, ArticleNote) + Paragraph(u"note"_s, TimeZoneNote) + Legend();
    return document(SiteTitle, body);
}

QByteArray server(const ServerSummary &server, const QList<StoredReport> &history,
                  const QList<StoredReport> &chartReports, int page, int pageCount)
{
    Markup body = u"<h1>" + escape(server.address) + u"</h1>\n<p class=\"totals\">"
        + escape(server.latest.values.name) + u" · " + escape(TypeName(server.latest.values.type))
        + u"<br>"
        + escape(ServerFacts.arg(Grouped(server.reportCount).text(),
                                 When(server.lastMeasured) + TimeZoneNote))
        + u"</p>\n";

    if (!chartReports.isEmpty()) {
        ChartSeries speed{FieldLabel(KeySpeed), {}};
        QList<ChartSeries> expires;
        for (int i = 0; i < HierarchyCount; ++i)
            expires.append({HierarchyName(i), {}});
        for (const StoredReport &r : chartReports) {
            speed.points.append({r.receivedAt, double(r.values.speed)});
            for (int i = 0; i < HierarchyCount; ++i) {
                if (r.values.expires[i] >= 0) // -1: no group to measure
                    expires[i].points.append({r.receivedAt, double(r.values.expires[i])});
            }
        }
        body += Heading2(SpeedChartTitle) + u"<figure>" + LineChart(SpeedChartTitle, {speed})
            + u"</figure>\n";
        body += Heading2(ExpireChartTitle) + u"<figure>" + LineChart(ExpireChartTitle, expires)
            + u"<figcaption><ul class=\"key\">";
        for (int i = 0; i < HierarchyCount; ++i)
            body += Markup(u"<li class=\"s%1\">%2</li>")
                        .arg(Web::number(i), escape(HierarchyName(i)));
        body += u"</ul></figcaption></figure>\n";
    }
    if (const std::optional<ArticleFigures> &a = server.latest.values.article;
        a && !a->steps.isEmpty()) {
        body += Heading2(ArticleChartTitle) + u"<figure class=\"steps\">"
            + StepChart(ArticleChartTitle, SpeedUnit, a->steps) + u"<figcaption class=\"note\">"
            + escape(ArticleChartCaption) + u"</figcaption></figure>\n";
    }

    body += Heading2(LatestTitle) + ReportTables(server.latest.values);

    body += Heading2(HistoryTitle)
        + Markup(u"<div class=\"scroll\"><table class=\"ranking\">\n<thead><tr>"
                 u"<th rowspan=\"2\">%1</th><th rowspan=\"2\">%2</th><th rowspan=\"2\">%3</th>"
                 u"<th rowspan=\"2\">%4</th><th rowspan=\"2\">%5</th>"
                 u"<th rowspan=\"2\">%6<br><small>%7</small></th>"
                 u"<th rowspan=\"2\">%8<br><small>%7</small></th>"
                 u"<th rowspan=\"2\">%9<br><small>%10</small></th>"
                 u"<th colspan=\"5\">%11</th><th colspan=\"5\">%12</th></tr>\n<tr>")
              .arg(escape(ColumnReceived), escape(ColumnName), escape(ColumnType),
                   escape(ColumnPost), escape(ColumnGroups), escape(ColumnSpeed), escape(SpeedUnit),
                   escape(ColumnArticleSpeed), escape(ColumnKnee), escape(ConnectionsUnit),
                   escape(ColumnCounts), escape(ColumnExpires));
    for (int i = 0; i < 2 * HierarchyCount; ++i)
        body += u"<th>" + HierarchyHeading(i % HierarchyCount) + u"</th>";
    body += u"</tr></thead>\n<tbody>\n";
    for (const StoredReport &r : history)
        body += u"<tr>" + WhenCell(r.receivedAt) + ReportCells(r.values, ArticleCells(r.values))
            + u"</tr>\n";
    body += u"</tbody>\n</table></div>\n";
    const Markup self = u"/servers/" + Web::number(server.id);
    body += Pager(page, pageCount, [&self](int p) { return self + u"?page=" + Web::number(p); });
    if (std::ranges::any_of(history, [](const StoredReport &r) {
            return std::ranges::any_of(r.values.expires, [](qint32 days) { return days < 0; });
        }))
        body += Paragraph(u"note"_s, ExpireNoneNote);
    body += Paragraph(u"note"_s, TimeZoneNote) + Legend();
    return document(server.address, body);
}

QByteArray confirmation(const Report &report, const QByteArray &token, qint64 expiresAt)
{
    Markup body = u"<h1>" + escape(ConfirmTitle) + u"</h1>\n<p>" + escape(ConfirmIntro) + u"</p>\n";
    body += ReportTables(report);
    body += u"<form method=\"post\" action=\"/reports\">\n";
    for (const auto &[key, value] : FormFields(report))
        body += Markup(u"<input type=\"hidden\" name=\"%1\" value=\"%2\">\n")
                    .arg(escape(QString::fromLatin1(key)), escape(QString::fromUtf8(value)));
    body += Markup(u"<input type=\"hidden\" name=\"token\" value=\"%1\">\n"
                   u"<button type=\"submit\">%2</button>\n</form>\n")
                .arg(escape(QString::fromLatin1(token)), escape(ConfirmButton));
    body += Paragraph(u"note"_s, ConfirmValidUntil.arg(When(expiresAt) + TimeZoneNote));
    return document(ConfirmTitle, body);
}

QByteArray message(const QString &title, const QStringList &lines)
{
    // The first line says what happened; any further lines list the details.
    Markup body = u"<h1>" + escape(title) + u"</h1>\n";
    if (!lines.isEmpty())
        body += u"<p>" + escape(lines.first()) + u"</p>\n";
    if (lines.size() > 1) {
        body += u"<ul class=\"errors\">";
        for (const QString &line : lines.sliced(1))
            body += u"<li>" + escape(line) + u"</li>";
        body += u"</ul>\n";
    }
    body += Markup(u"<p><a href=\"/\">%1</a></p>\n").arg(escape(BackToRanking));
    return document(title, body);
}

} // namespace Pages
