#include "service/reportservice.h"

#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrlQuery>

#include <mutex>

#include "report/reporttexts.h"
#include "service/pages.h"
#include "service/servicetexts.h"
#include "service/token.h"

using namespace Qt::StringLiterals;
using namespace ServiceTexts;
using Method = QHttpServerRequest::Method;
using Response = ReportService::Response;

namespace {

constexpr int RankingPerPage = 50;
constexpr int HistoryPerPage = 50;
constexpr int ChartPoints = 500;
constexpr int ApiPerPage = 50, ApiMaxPerPage = 100;
// A busy store gives up within a fraction of a second; by then the next try is likely to pass.
constexpr auto BusyRetrySeconds = "1";

const QByteArray Html = "text/html; charset=utf-8";
const QByteArray Json = "application/json";

QByteArray Reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 408:
        return "Request Timeout";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 429:
        return "Too Many Requests";
    case 503:
        return "Service Unavailable";
    default:
        return "Internal Server Error";
    }
}

// The date in the form HTTP wants, made once a second at most.
QByteArray HttpDate()
{
    static qint64 second = -1;
    static QByteArray text;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (now != second) {
        second = now;
        text = QLocale::c()
                   .toString(QDateTime::fromSecsSinceEpoch(now, Qt::UTC),
                             u"ddd, dd MMM yyyy hh:mm:ss 'GMT'"_s)
                   .toLatin1();
    }
    return text;
}

Response Page(int status, const QString &title, const QStringList &lines)
{
    return {status, Html, Pages::message(title, lines), {{"Cache-Control", "no-store"}}};
}

Response NotFound()
{
    return Page(404, NotFoundTitle, {NotFoundText});
}

Response BadParameter(const QString &name)
{
    return Page(400, ParameterTitle, {ParameterText.arg(name)});
}

Response Unavailable()
{
    return Page(503, InternalTitle, {InternalText});
}

Response Busy()
{
    Response r = Page(503, BusyTitle, {InternalText});
    r.headers.emplaceBack("Retry-After", BusyRetrySeconds);
    return r;
}

Response MethodNotAllowed(const QByteArray &allowed)
{
    Response r = Page(405, MethodTitle, {MethodText.arg(QString::fromLatin1(allowed))});
    r.headers.emplaceBack("Allow", allowed);
    return r;
}

// A report that was not taken: one line a wrong field.
Response BadReport(const QStringList &lines)
{
    return Page(400, BadReportTitle, QStringList{BadReportIntro} + lines);
}

Response BadReport(const QList<FieldError> &errors)
{
    QStringList lines;
    for (const FieldError &e : errors)
        lines << FieldLine.arg(e.field, QString::fromLatin1(FieldKey(e.key)), e.reason);
    return BadReport(lines);
}

Response Redirect(int status, const QByteArray &location)
{
    const QString link = QString::fromLatin1(location);
    return {status,
            Html,
            Pages::document(link,
                            Web::Markup(u"<p><a href=\"%1\">%1</a></p>\n").arg(Web::escape(link))),
            {{"Location", location}, {"Cache-Control", "no-store"}}};
}

// A positive number from the query, the default when it is absent.
std::optional<int> PositiveParameter(const QUrlQuery &query, const QString &name, int fallback)
{
    if (!query.hasQueryItem(name))
        return fallback;
    bool ok = false;
    const int value = query.queryItemValue(name).toInt(&ok);
    if (!ok || value < 1)
        return std::nullopt;
    return value;
}

int PageCount(qint64 rows, int perPage)
{
    return int(std::max<qint64>(1, (rows + perPage - 1) / perPage));
}

QJsonObject ReportJson(const StoredReport &s)
{
    const Report &r = s.values;
    QJsonObject o{{u"id"_s, s.id},
                  {u"server_id"_s, s.serverId},
                  {u"received_at"_s,
                   QDateTime::fromSecsSinceEpoch(s.receivedAt, Qt::UTC).toString(Qt::ISODate)}};
    const FormPairs fields = FormFields(r);
    for (int key = 0; key < ReportKeyCount; ++key) {
        const QString name = QString::fromLatin1(fields[key].first);
        if (key == KeyName || key == KeyServer)
            o.insert(name, QString::fromUtf8(fields[key].second));
        else if (key == KeyPost)
            o.insert(name, r.post);
        else
            o.insert(name, fields[key].second.toLongLong());
    }
    if (const std::optional<ArticleFigures> &a = r.article) {
        QJsonArray steps;
        for (const auto &[connections, bps] : a->steps)
            steps.append(
                QJsonObject{{u"connections"_s, connections}, {u"bytes_per_second"_s, bps}});
        // Keyed like the report address, the steps as objects.
        o.insert(u"Article"_s,
                 QJsonObject{{u"ArticleSpeed"_s, a->speed},
                             {u"ArticleConnections"_s, a->connections},
                             {u"Knee"_s, a->knee},
                             {u"Connections"_s, a->accepted},
                             {u"MoreRefused"_s, a->moreRefused},
                             {u"GreetingMs"_s, a->greetingMs},
                             {u"StatMs"_s, a->statMs},
                             {u"ArticlesAsked"_s, a->asked},
                             {u"ArticlesFound"_s, a->found},
                             {u"ArticleBytes"_s, a->bytes},
                             {u"ArticleEnd"_s, QString::fromLatin1(a->end)},
                             {u"ArticleSteps"_s, steps}});
    }
    return o;
}

QJsonObject ServerJson(const ServerSummary &s)
{
    QJsonObject o{{u"id"_s, s.id},
                  {u"address"_s, s.address},
                  {u"report_count"_s, s.reportCount},
                  {u"last_measured"_s,
                   QDateTime::fromSecsSinceEpoch(s.lastMeasured, Qt::UTC).toString(Qt::ISODate)},
                  {u"latest"_s, ReportJson(s.latest)}};
    // The ranking's article figures, for a server with reports that measured them.
    if (s.articleSpeed) {
        o.insert(u"article_speed"_s, *s.articleSpeed);
        o.insert(u"knee"_s, s.knee.value_or(0));
        o.insert(u"article_report_count"_s, s.articleCount);
    }
    return o;
}

Response JsonResponse(const QJsonObject &object)
{
    return {200,
            Json,
            QJsonDocument(object).toJson(QJsonDocument::Compact),
            {{"Cache-Control", "no-cache"}}};
}

bool IsWebSocketUpgrade(const QHttpServerRequest &request)
{
    return request.value("connection").toLower().contains("upgrade")
        && request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

// Qt's HTTP server warns of every WebSocket handshake that no one takes, which would let
// anyone fill the journal; that warning is all its category says to a service that listens.
QLoggingCategory::CategoryFilter PreviousFilter = nullptr;

void QuietHttpServer(QLoggingCategory *category)
{
    if (PreviousFilter)
        PreviousFilter(category);
    if (qstrcmp(category->categoryName(), "qt.httpserver") == 0)
        category->setEnabled(QtWarningMsg, false);
}

} // namespace

ReportService::ReportService(Store &store, const ServiceOptions &options, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_store(store)
    , m_options(options)
{
    static std::once_flag quiet;
    std::call_once(quiet,
                   [] { PreviousFilter = QLoggingCategory::installFilter(QuietHttpServer); });
    m_cache.setMaxCost(64 * 1024 * 1024);
    QFile css(u":/newsbench-reportd/style.css"_s);
    css.open(QIODevice::ReadOnly);
    m_stylesheet = css.readAll();
    m_publisherPage = Pages::publisher(m_options.limits.reportsPerHour);
}

ReportService::~ReportService() = default;

quint16 ReportService::listenOn(const QHostAddress &address, quint16 port)
{
    auto server = std::make_unique<ConnectionGuard>(
        m_options.guard, m_options.trustedProxies,
        [this](int status, bool withBody) { return refusal(status, withBody); });
    if (!server->listen(address, port)) {
        qWarning("newsbench-reportd: cannot listen on %s port %u: %s",
                 qPrintable(address.toString()), port, qPrintable(server->errorString()));
        return 0;
    }
    const quint16 listening = server->serverPort();
    bind(server.release()); // parented to this
    return listening;
}

QByteArray ReportService::serialize(const Response &response, bool withBody,
                                    ConnectionGuard::Persistence persistence)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + Reason(response.status) + "\r\nDate: " + HttpDate() + "\r\nContent-Type: "
        + response.contentType + "\r\nContent-Length: " + QByteArray::number(response.body.size())
        + "\r\nX-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\nReferrer-Policy: "
          "same-origin"
          "\r\nContent-Security-Policy: default-src 'none'; style-src 'self'; img-src 'self'; "
          "form-action 'self'; base-uri 'none'; frame-ancestors 'none'\r\n";
    for (const auto &[name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    if (!persistence.keep)
        head += "Connection: close\r\n";
    else if (persistence.http10)
        head += "Connection: keep-alive\r\n"; // RFC 7230 A.1.2
    head += "\r\n";
    if (withBody)
        head += response.body;
    return head;
}

void ReportService::write(QTcpSocket *socket, const Response &response, bool withBody,
                          ConnectionGuard::Persistence persistence)
{
    socket->write(serialize(response, withBody, persistence));
    if (!persistence.keep)
        socket->disconnectFromHost();
}

QByteArray ReportService::refusal(int status, bool withBody) const
{
    Response answer;
    switch (status) {
    case 408:
        answer = Page(408, TimeoutTitle, {TimeoutText});
        break;
    case 413:
        answer = tooLarge();
        break;
    case 429:
        answer = Page(429, ConnectionsTitle,
                      {ConnectionsText.arg(m_options.guard.maxConnectionsPerClient)});
        answer.headers.emplaceBack("Retry-After", BusyRetrySeconds);
        break;
    default:
        answer = Busy();
        break;
    }
    return serialize(answer, withBody, {});
}

Response ReportService::tooLarge() const
{
    return Page(413, TooLargeTitle, {TooLargeText.arg(m_options.guard.maxRequestBytes)});
}

bool ReportService::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const ConnectionGuard::Persistence persistence = ConnectionGuard::requestDone(socket);
    // Qt's HTTP server would hand a taken WebSocket handshake on to a WebSocket server, and
    // after one not taken it calls missingHandler() anyway: that one answers it.
    if (IsWebSocketUpgrade(request))
        return false;
    qint64 size = request.url().toEncoded().size() + request.body().size();
    for (const auto &[name, value] : request.headers())
        size += name.size() + value.size() + 4;
    const bool withBody = request.method() != Method::Head;
    if (size > m_options.guard.maxRequestBytes) {
        write(socket, tooLarge(), withBody, {});
        return true;
    }
    write(socket, route(request), withBody, persistence);
    return true;
}

// Only for WebSocket handshakes, after which Qt's server closes the connection. This service
// speaks no WebSocket: the request is answered as plain HTTP (RFC 7230 6.7 lets a server
// ignore Upgrade).
void ReportService::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    socket->write(serialize(route(request), request.method() != Method::Head, {}));
}

Response ReportService::route(const QHttpServerRequest &request)
{
    const QString path = request.url().path();
    const Method method = request.method();
    const bool get = method == Method::Get || method == Method::Head;
    static const QRegularExpression serverPath(u"^/servers/([1-9][0-9]{0,17})$"_s);
    static const QRegularExpression apiReportsPath(u"^/api/servers/([1-9][0-9]{0,17})/reports$"_s);

    if (path == u"/reports")
        return method == Method::Post ? submit(request) : MethodNotAllowed("POST");

    enum class Target { Ranking, ApiServers, Server, ApiReports, None };
    Target target = Target::None;
    QString id;
    if (path == u"/") {
        target = Target::Ranking;
    } else if (path == u"/api/servers") {
        target = Target::ApiServers;
    } else if (const auto match = serverPath.match(path); match.hasMatch()) {
        target = Target::Server;
        id = match.captured(1);
    } else if (const auto match = apiReportsPath.match(path); match.hasMatch()) {
        target = Target::ApiReports;
        id = match.captured(1);
    } else if (path != QLatin1StringView(ReportPath) && path != u"/style.css"
               && path != QLatin1StringView(PublisherPagePath)
               && path != QLatin1StringView(PublisherPagePath).chopped(1)) {
        return NotFound();
    }
    if (!get)
        return MethodNotAllowed("GET, HEAD");

    if (path == QLatin1StringView(ReportPath))
        return confirm(request);
    if (path == u"/style.css")
        return {200, "text/css; charset=utf-8", m_stylesheet, {{"Cache-Control", "max-age=3600"}}};
    if (path == QLatin1StringView(PublisherPagePath))
        return {200, Html, m_publisherPage, {{"Cache-Control", "max-age=3600"}}};
    if (target == Target::None)
        return Redirect(301, PublisherPagePath.toByteArray());

    // Only the parameters a page reads are checked: others it ignores, as any page does.
    const QUrlQuery query(request.url());
    const std::optional<int> page = PositiveParameter(query, u"page"_s, 1);
    if (!page)
        return BadParameter(u"page"_s);
    const bool sorted = target == Target::Ranking || target == Target::ApiServers;
    int column = KeySpeed;
    if (sorted && query.hasQueryItem(u"sort"_s)) {
        column = Pages::sortColumnByParameter(query.queryItemValue(u"sort"_s).toLatin1());
        if (column < 0)
            return BadParameter(u"sort"_s);
    }
    bool descending = Pages::descendingByDefault(column);
    if (sorted && query.hasQueryItem(u"order"_s)) {
        const QString order = query.queryItemValue(u"order"_s);
        if (order != u"asc" && order != u"desc")
            return BadParameter(u"order"_s);
        descending = order == u"desc";
    }
    std::optional<int> perPage = ApiPerPage;
    if (target == Target::ApiServers || target == Target::ApiReports)
        perPage = PositiveParameter(query, u"per_page"_s, ApiPerPage);
    if (!perPage || *perPage > ApiMaxPerPage)
        return BadParameter(u"per_page"_s);

    // A page's key holds only what its rendering reads: parameters it ignores share one copy.
    const auto key = [](const QString &what, std::initializer_list<qint64> values) {
        QString k = what;
        for (const qint64 value : values)
            k += u':' + QString::number(value);
        return k;
    };
    switch (target) {
    case Target::Ranking:
        return cached(key(u"ranking"_s, {column, descending, *page}),
                      [&] { return rankingPage(column, descending, *page); });
    case Target::ApiServers:
        return cached(key(u"api-servers"_s, {column, descending, *page, *perPage}),
                      [&] { return apiServers(column, descending, *page, *perPage); });
    case Target::Server:
        return cached(key(u"server-"_s + id, {*page}),
                      [&] { return serverPage(id.toLongLong(), *page); });
    case Target::ApiReports:
        return cached(key(u"api-reports-"_s + id, {*page, *perPage}),
                      [&] { return apiReports(id.toLongLong(), *page, *perPage); });
    case Target::None:
        break;
    }
    return NotFound();
}

Response ReportService::cached(const QString &key,
                               const std::function<std::optional<Response>()> &render)
{
    // One small read per request keeps every process's pages as new as the database.
    const std::optional<qint64> version = m_store.dataVersion();
    if (!version)
        return Unavailable();
    if (*version != m_cacheVersion) {
        m_cache.clear();
        m_cacheVersion = *version;
    }
    if (const Response *hit = m_cache.object(key))
        return *hit;
    const std::optional<Response> fresh = render();
    if (!fresh)
        return Unavailable();
    if (fresh->status == 200)
        m_cache.insert(key, new Response(*fresh), std::max<qsizetype>(1, fresh->body.size()));
    return *fresh;
}

std::optional<Response> ReportService::rankingPage(int column, bool descending, int page)
{
    const std::optional<Store::Totals> totals = m_store.totals();
    if (!totals)
        return std::nullopt;
    Pages::RankingView view{column,         descending,
                            page,           PageCount(totals->servers, RankingPerPage),
                            RankingPerPage, *totals};
    if (page > view.pageCount)
        return NotFound();
    const auto rows
        = m_store.ranking(column, descending, (page - 1) * RankingPerPage, RankingPerPage);
    if (!rows)
        return std::nullopt;
    return Response{200, Html, Pages::ranking(*rows, view), {{"Cache-Control", "no-cache"}}};
}

std::optional<Response> ReportService::serverPage(qint64 id, int page)
{
    const auto server = m_store.server(id);
    if (!server)
        return std::nullopt;
    if (!*server)
        return NotFound();
    const int pageCount = PageCount((*server)->reportCount, HistoryPerPage);
    if (page > pageCount)
        return NotFound();
    const auto history = m_store.reports(id, (page - 1) * HistoryPerPage, HistoryPerPage);
    auto chart = m_store.reports(id, 0, ChartPoints);
    if (!history || !chart)
        return std::nullopt;
    std::reverse(chart->begin(), chart->end()); // oldest first
    return Response{200,
                    Html,
                    Pages::server(**server, *history, *chart, page, pageCount),
                    {{"Cache-Control", "no-cache"}}};
}

std::optional<Response> ReportService::apiServers(int column, bool descending, int page,
                                                  int perPage)
{
    const std::optional<Store::Totals> totals = m_store.totals();
    if (!totals)
        return std::nullopt;
    if (page > PageCount(totals->servers, perPage))
        return Response{404, Json, R"({"error":"no such page"})", {}};
    const auto rows = m_store.ranking(column, descending, (page - 1) * perPage, perPage);
    if (!rows)
        return std::nullopt;
    QJsonArray servers;
    for (const ServerSummary &s : *rows)
        servers.append(ServerJson(s));
    return JsonResponse({{u"page"_s, page},
                         {u"per_page"_s, perPage},
                         {u"pages"_s, PageCount(totals->servers, perPage)},
                         {u"total"_s, totals->servers},
                         {u"servers"_s, servers}});
}

std::optional<Response> ReportService::apiReports(qint64 id, int page, int perPage)
{
    const auto server = m_store.server(id);
    if (!server)
        return std::nullopt;
    if (!*server)
        return Response{404, Json, R"({"error":"no such server"})", {}};
    if (page > PageCount((*server)->reportCount, perPage))
        return Response{404, Json, R"({"error":"no such page"})", {}};
    const auto rows = m_store.reports(id, (page - 1) * perPage, perPage);
    if (!rows)
        return std::nullopt;
    QJsonArray reports;
    for (const StoredReport &r : *rows)
        reports.append(ReportJson(r));
    return JsonResponse({{u"server"_s, ServerJson(**server)},
                         {u"page"_s, page},
                         {u"per_page"_s, perPage},
                         {u"pages"_s, PageCount((*server)->reportCount, perPage)},
                         {u"total"_s, (*server)->reportCount},
                         {u"reports"_s, reports}});
}

QByteArray ReportService::clientKey(const QHttpServerRequest &request) const
{
    QByteArrayList forwarded;
    for (const auto &[name, value] : request.headers()) {
        if (name.compare("x-forwarded-for", Qt::CaseInsensitive) == 0)
            forwarded << value;
    }
    return LimitKey(ForwardedClient(request.remoteAddress(), forwarded, m_options.trustedProxies));
}

Response ReportService::confirm(const QHttpServerRequest &request)
{
    const ReadResult read = ReadReport(
        SplitForm(request.url().query(QUrl::FullyEncoded).toLatin1()), FormEncoding::ShiftJis);
    if (!read.errors.isEmpty())
        return BadReport(read.errors);
    const qint64 expiresAt = QDateTime::currentSecsSinceEpoch() + m_options.tokenLifetime;
    const QByteArray token
        = MintToken(m_store.secret(), CanonicalText(read.report), clientKey(request), expiresAt);
    return {200,
            Html,
            Pages::confirmation(read.report, token, expiresAt),
            {{"Cache-Control", "no-store"}}};
}

Response ReportService::submit(const QHttpServerRequest &request)
{
    if (!request.value("content-type").startsWith("application/x-www-form-urlencoded"))
        return BadReport(QStringList{FieldLine.arg(FormatField, u"Content-Type"_s, ReasonFormat)});
    const ReadResult read = ReadReport(SplitForm(request.body()), FormEncoding::Utf8);
    if (!read.errors.isEmpty())
        return BadReport(read.errors);

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QByteArray client = clientKey(request);
    switch (CheckToken(m_store.secret(), read.token, CanonicalText(read.report), client, now)) {
    case TokenCheck::Forged:
        return BadReport(QStringList{FieldLine.arg(TokenField, u"token"_s, ReasonTokenForged)});
    case TokenCheck::Expired:
        return BadReport(QStringList{FieldLine.arg(TokenField, u"token"_s, ReasonTokenExpired)});
    case TokenCheck::Valid:
        break;
    }

    const Store::Submitted done = m_store.submit(read.report, client, now, m_options.limits);
    switch (done.outcome) {
    // A stored report raised the data version: the next page read renders afresh.
    case Store::Outcome::Stored:
    case Store::Outcome::Repeated:
        return Redirect(303, "/servers/" + QByteArray::number(done.serverId));
    case Store::Outcome::TooMany:
        return Page(429, TooManyTitle, {TooManyText.arg(m_options.limits.reportsPerHour)});
    case Store::Outcome::Busy:
        return Busy();
    case Store::Outcome::Failed:
        break;
    }
    return Unavailable();
}
