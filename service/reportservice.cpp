#include "service/reportservice.h"

#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <sys/socket.h>

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
constexpr int IdleMilliseconds = 60'000;
// A request this far over the limit has had its answer and is not worth reading further.
constexpr int DrainMilliseconds = 5'000;

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
        lines << FieldLine.arg(e.field, QString::fromLatin1(ReportKeyName(e.key)), e.reason);
    return BadReport(lines);
}

Response Redirect(int status, const QByteArray &location)
{
    const QString link = QString::fromLatin1(location);
    return {status,
            Html,
            Pages::document(link, Web::Markup(u"<p><a href=\"%1\">%1</a></p>\n")
                                      .arg(Web::escape(link))),
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
    return o;
}

QJsonObject ServerJson(const ServerSummary &s)
{
    return {{u"id"_s, s.id},
            {u"address"_s, s.address},
            {u"report_count"_s, s.reportCount},
            {u"last_measured"_s,
             QDateTime::fromSecsSinceEpoch(s.lastMeasured, Qt::UTC).toString(Qt::ISODate)},
            {u"latest"_s, ReportJson(s.latest)}};
}

Response JsonResponse(const QJsonObject &object)
{
    return {200,
            Json,
            QJsonDocument(object).toJson(QJsonDocument::Compact),
            {{"Cache-Control", "no-cache"}}};
}

// The connection under the server: it counts the bytes of the request in progress and
// refuses one that outgrows the limit before Qt's parser has buffered it whole, and it closes
// connections that have been idle for a minute.
class GuardedSocket : public QTcpSocket
{
public:
    GuardedSocket(ReportService *service, qint64 limit, QObject *parent)
        : QTcpSocket(parent)
        , m_service(service)
        , m_limit(limit)
    {
        m_idle.setSingleShot(true);
        m_idle.setInterval(IdleMilliseconds);
        QObject::connect(&m_idle, &QTimer::timeout, this, &QAbstractSocket::abort);
        // Connected before the server's own reader, so it sees each chunk first.
        QObject::connect(this, &QIODevice::readyRead, this, [this] { arrived(); });
        QObject::connect(this, &QIODevice::bytesWritten, this, [this] { written(); });
        m_idle.start();
    }

    void requestDone() { m_requestBytes = 0; }

private:
    void arrived()
    {
        m_idle.start();
        if (m_refused) {
            readAll();
            return;
        }
        // What the server's parser has not taken yet: new bytes, or those of a pipelined
        // request after the previous one was answered (requestDone() zeroed the count).
        m_requestBytes += bytesAvailable();
        if (m_requestBytes <= m_limit)
            return;
        m_refused = true;
        QObject::disconnect(this, &QIODevice::readyRead, m_service, nullptr);
        if (isTransactionStarted())
            rollbackTransaction();
        readAll();
        Response refusal = m_service->tooLarge();
        refusal.headers.emplaceBack("Connection", "close");
        ReportService::write(this, refusal, true, false);
        m_idle.setInterval(DrainMilliseconds);
        m_idle.start();
    }

    void written()
    {
        m_idle.start();
        // Answered: stop sending but keep reading what the client still sends, so that
        // closing does not reset the connection before it has read the answer.
        if (m_refused && bytesToWrite() == 0)
            ::shutdown(int(socketDescriptor()), SHUT_WR);
    }

    ReportService *m_service;
    qint64 m_limit;
    qint64 m_requestBytes = 0;
    bool m_refused = false;
    QTimer m_idle;
};

class GuardedServer : public QTcpServer
{
public:
    GuardedServer(ReportService *service, qint64 limit)
        : m_service(service)
        , m_limit(limit)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        // Parented to the listening server, so that none outlives the service.
        auto socket = std::make_unique<GuardedSocket>(m_service, m_limit, this);
        if (!socket->setSocketDescriptor(descriptor))
            return;
        addPendingConnection(socket.release()); // the HTTP server takes it
    }

private:
    ReportService *m_service;
    qint64 m_limit;
};

} // namespace

ReportService::ReportService(Store &store, const ServiceOptions &options, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_store(store)
    , m_options(options)
{
    m_cache.setMaxCost(64 * 1024 * 1024);
    QFile css(u":/newsbench-reportd/style.css"_s);
    css.open(QIODevice::ReadOnly);
    m_stylesheet = css.readAll();
    m_publisherPage = Pages::publisher(m_options.limits.reportsPerHour);
}

ReportService::~ReportService() = default;

quint16 ReportService::listenOn(const QHostAddress &address, quint16 port)
{
    auto server = std::make_unique<GuardedServer>(this, m_options.maxRequestBytes);
    if (!server->listen(address, port)) {
        qWarning("newsbench-reportd: cannot listen on %s port %u: %s",
                 qPrintable(address.toString()), port, qPrintable(server->errorString()));
        return 0;
    }
    const quint16 listening = server->serverPort();
    bind(server.release()); // parented to this
    return listening;
}

void ReportService::write(QTcpSocket *socket, const Response &response, bool withBody, bool close)
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
    if (close)
        head += "Connection: close\r\n";
    head += "\r\n";
    if (withBody)
        head += response.body;
    socket->write(head);
    if (close)
        socket->disconnectFromHost();
}

Response ReportService::tooLarge() const
{
    return Page(413, TooLargeTitle, {TooLargeText.arg(m_options.maxRequestBytes)});
}

bool ReportService::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    if (auto *guarded = dynamic_cast<GuardedSocket *>(socket))
        guarded->requestDone();
    const bool close = request.value("connection").compare("close", Qt::CaseInsensitive) == 0;
    qint64 size = request.url().toEncoded().size() + request.body().size();
    for (const auto &[name, value] : request.headers())
        size += name.size() + value.size() + 4;
    if (size > m_options.maxRequestBytes) {
        write(socket, tooLarge(), true, true);
        return true;
    }
    write(socket, route(request), request.method() != Method::Head, close);
    return true;
}

void ReportService::missingHandler(const QHttpServerRequest &, QTcpSocket *socket)
{
    write(socket, NotFound(), true, false);
}

Response ReportService::route(const QHttpServerRequest &request)
{
    const QString path = request.url().path();
    const QUrlQuery query(request.url());
    const Method method = request.method();
    const bool get = method == Method::Get || method == Method::Head;
    static const QRegularExpression serverPath(u"^/servers/([1-9][0-9]{0,17})$"_s);
    static const QRegularExpression apiReportsPath(u"^/api/servers/([1-9][0-9]{0,17})/reports$"_s);

    if (path == u"/reports")
        return method == Method::Post ? submit(request) : MethodNotAllowed("POST");
    if (!get)
        return MethodNotAllowed("GET, HEAD");

    if (path == QLatin1StringView(ReportPath))
        return confirm(request);
    if (path == u"/style.css")
        return {200, "text/css; charset=utf-8", m_stylesheet, {{"Cache-Control", "max-age=3600"}}};
    if (path == QLatin1StringView(PublisherPagePath))
        return {200, Html, m_publisherPage, {{"Cache-Control", "max-age=3600"}}};
    if (path == QLatin1StringView(PublisherPagePath).chopped(1))
        return Redirect(301, PublisherPagePath.toByteArray());

    const std::optional<int> page = PositiveParameter(query, u"page"_s, 1);
    if (!page)
        return BadParameter(u"page"_s);
    int column = KeySpeed;
    if (query.hasQueryItem(u"sort"_s)) {
        column = Pages::sortColumnByParameter(query.queryItemValue(u"sort"_s).toLatin1());
        if (column < 0)
            return BadParameter(u"sort"_s);
    }
    bool descending = Pages::descendingByDefault(column);
    if (query.hasQueryItem(u"order"_s)) {
        const QString order = query.queryItemValue(u"order"_s);
        if (order != u"asc" && order != u"desc")
            return BadParameter(u"order"_s);
        descending = order == u"desc";
    }
    const std::optional<int> perPage = PositiveParameter(query, u"per_page"_s, ApiPerPage);
    if (!perPage || *perPage > ApiMaxPerPage)
        return BadParameter(u"per_page"_s);

    // A page's key holds only what its rendering reads: parameters it ignores share one copy.
    const auto key = [](const QString &what, std::initializer_list<qint64> values) {
        QString k = what;
        for (const qint64 value : values)
            k += u':' + QString::number(value);
        return k;
    };
    if (path == u"/")
        return cached(key(u"ranking"_s, {column, descending, *page}),
                      [&] { return rankingPage(column, descending, *page); });
    if (path == u"/api/servers")
        return cached(key(u"api-servers"_s, {column, descending, *page, *perPage}),
                      [&] { return apiServers(column, descending, *page, *perPage); });
    if (const auto match = serverPath.match(path); match.hasMatch()) {
        const qint64 id = match.captured(1).toLongLong();
        return cached(key(u"server-"_s + match.captured(1), {*page}),
                      [&] { return serverPage(id, *page); });
    }
    if (const auto match = apiReportsPath.match(path); match.hasMatch()) {
        const qint64 id = match.captured(1).toLongLong();
        return cached(key(u"api-reports-"_s + match.captured(1), {*page, *perPage}),
                      [&] { return apiReports(id, *page, *perPage); });
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

QByteArray ReportService::clientAddress(const QHttpServerRequest &request) const
{
    if (m_options.trustForwardedFor) {
        const QByteArray forwarded = request.value("x-forwarded-for");
        if (!forwarded.isEmpty())
            return forwarded.split(',').last().trimmed();
    }
    QHostAddress address = request.remoteAddress();
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(v4);
    return address.toString().toLatin1();
}

Response ReportService::confirm(const QHttpServerRequest &request)
{
    const ReadResult read = ReadReport(
        SplitForm(request.url().query(QUrl::FullyEncoded).toLatin1()), FormEncoding::ShiftJis);
    if (!read.errors.isEmpty())
        return BadReport(read.errors);
    const qint64 expiresAt = QDateTime::currentSecsSinceEpoch() + m_options.tokenLifetime;
    const QByteArray token = MintToken(m_store.secret(), CanonicalText(read.report),
                                       clientAddress(request), expiresAt);
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
    const QByteArray client = clientAddress(request);
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
    case Store::Outcome::Failed:
        break;
    }
    return Unavailable();
}
