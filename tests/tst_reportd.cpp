#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <ranges>
#include <type_traits>

#include "service/html.h"
#include "service/reportform.h"
#include "service/reportservice.h"
#include "service/token.h"

using namespace Qt::StringLiterals;

namespace {

// What the desktop program sends for テスト局, 10.0.0.1 and an ordinary run.
const QByteArray GoodQuery
    = "Name=%83e%83X%83g%8B%C7&Type=1&Server=10.0.0.1&Post=1&Groups=40000"
      "&Speed=250000&CountABPE=120&CountAS=300&CountJBPE=45&CountAFJ=12"
      "&CountABME=80&ExpireABPE=10&ExpireAS=14&ExpireJBPE=7&ExpireAFJ=3&ExpireABME=9";

struct Exchange
{
    QByteArray data;
    bool closed = false; // by the service, within the time given
};

// Sends the pieces one after the other, `gap` milliseconds apart, as long as the connection
// lasts, then waits up to `wait` milliseconds for the service to close it. The event loop runs
// meanwhile, so a service in this process answers. `from` is a loopback address to send from.
Exchange Trickle(quint16 port, const QByteArrayList &pieces, int gap, int wait,
                 const QString &from = u"127.0.0.1"_s)
{
    QTcpSocket socket;
    socket.bind(QHostAddress(from));
    socket.connectToHost(u"127.0.0.1"_s, port);
    Exchange result;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { result.data += socket.readAll(); });
    auto runFor = [&](int milliseconds) {
        QElapsedTimer clock;
        clock.start();
        while (socket.state() != QAbstractSocket::UnconnectedState
               && clock.elapsed() < milliseconds)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    };
    for (const QByteArray &piece : pieces) {
        if (socket.state() == QAbstractSocket::UnconnectedState)
            break;
        socket.write(piece);
        runFor(gap);
    }
    runFor(wait);
    result.closed = socket.state() == QAbstractSocket::UnconnectedState;
    result.data += socket.readAll();
    return result;
}

struct Reply
{
    int status = 0;
    QByteArray head, body;
};

// One request on its own connection, read until the service closes it.
Reply Send(quint16 port, const QByteArray &request, const QString &from = u"127.0.0.1"_s)
{
    const QByteArray data = Trickle(port, {request}, 0, 20'000, from).data;
    const qsizetype end = data.indexOf("\r\n\r\n");
    return {data.mid(9, 3).toInt(), data.first(std::max<qsizetype>(end, 0)),
            end < 0 ? QByteArray() : data.sliced(end + 4)};
}

// The request with one more header field after its request line.
QByteArray WithHeader(const QByteArray &request, const QByteArray &field)
{
    if (field.isEmpty())
        return request;
    const qsizetype end = request.indexOf("\r\n") + 2;
    return request.first(end) + field + "\r\n" + request.sliced(end);
}

QByteArray Get(const QByteArray &target, const QByteArray &field = {})
{
    return WithHeader(
        "GET " + target + " HTTP/1.1\r\nHost: reports.test\r\nConnection: close\r\n\r\n", field);
}

QByteArray Post(const QByteArray &body, const QByteArray &field = {},
                const QByteArray &type = "application/x-www-form-urlencoded")
{
    return WithHeader("POST /reports HTTP/1.1\r\nHost: reports.test\r\nConnection: close\r\n"
                      "Content-Type: "
                          + type + "\r\nContent-Length: " + QByteArray::number(body.size())
                          + "\r\n\r\n" + body,
                      field);
}

// The hidden fields of a confirmation page, as the browser posts them. The values these
// tests post hold nothing that the page has to escape.
QByteArray FormOf(const QByteArray &page)
{
    static const QRegularExpression input(
        u"<input type=\"hidden\" name=\"([^\"]+)\" value=\"([^\"]*)\">"_s);
    QByteArrayList fields;
    for (const auto &m : input.globalMatch(QString::fromUtf8(page)))
        fields << m.captured(1).toLatin1() + '=' + QUrl::toPercentEncoding(m.captured(2));
    return fields.join('&');
}

// The query or form with some fields set anew: With(query, "Type=3&Post=0"). A field it
// does not have is added at its end.
QByteArray With(QByteArray query, const QByteArray &changes)
{
    for (const QByteArray &change : changes.split('&')) {
        const QString key = QString::fromLatin1(change.first(change.indexOf('=')));
        const QRegularExpression field(u"(^|&)"_s + key + u"=[^&]*"_s);
        if (!QString::fromLatin1(query).contains(field)) {
            query += '&' + change;
            continue;
        }
        query = QString::fromLatin1(query)
                    .replace(field, u"\\1"_s + QString::fromLatin1(change))
                    .toLatin1();
    }
    return query;
}

// The article keys of a run with these complete steps ("1:400000,2:700000") and knee, its
// best worked out as the program does.
QByteArray ArticleKeys(const QByteArray &steps, int knee = 0)
{
    std::pair<qint64, int> best; // speed, fewest connections as the larger negative
    for (const QByteArray &step : steps.split(','))
        if (const qsizetype colon = step.indexOf(':'); colon > 0)
            best
                = std::max(best, {step.sliced(colon + 1).toLongLong(), -step.first(colon).toInt()});
    const qint64 bestConnections = -best.second;
    return "ArticleSpeed=" + QByteArray::number(best.first) + "&ArticleConnections="
        + QByteArray::number(bestConnections) + "&Knee=" + QByteArray::number(knee)
        + "&Connections=8&MoreRefused=0&GreetingMs=12&StatMs=4&ArticlesAsked=40"
          "&ArticlesFound=38&ArticleBytes=23300000&ArticleEnd="
        + (knee > 0 ? "knee" : "maximum") + "&ArticleSteps=" + steps;
}

// A run that measured article speed: 2.5 MB/s at 4 connections, no gain at 8.
const QByteArray ArticleQuery
    = GoodQuery + '&' + ArticleKeys("1:1000000,2:1800000,4:2500000,8:2550000", 8);

// Where a table's body row has another number of cells than its heading has columns: the
// row's text, or empty when every row fits.
QString MisshapenRow(const QString &page)
{
    static const QRegularExpression table(u"<thead>(.*?)</thead>\\s*<tbody>(.*?)</tbody>"_s,
                                          QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression row(u"<tr>(.*?)</tr>"_s,
                                        QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression heading(u"<th(?: [^>]*?colspan=\"(\\d+)\")?[^>]*>"_s);
    static const QRegularExpression cell(u"<t[dh][ >]"_s);
    for (const auto &t : table.globalMatch(page)) {
        int columns = 0;
        for (const auto &h : heading.globalMatch(row.match(t.captured(1)).captured(1)))
            columns += h.captured(1).isEmpty() ? 1 : h.captured(1).toInt();
        for (const auto &r : row.globalMatch(t.captured(2))) {
            if (r.captured(1).count(cell) != columns)
                return r.captured(1);
        }
    }
    return {};
}

bool IsPostgres(const QString &database)
{
    return database.startsWith(u"postgresql:"_s);
}

// Another connection to the database, beside the store's.
QSqlDatabase Beside(const QString &database, const QString &name)
{
    const QUrl url(database);
    QSqlDatabase db
        = QSqlDatabase::addDatabase(IsPostgres(database) ? u"QPSQL"_s : u"QSQLITE"_s, name);
    db.setDatabaseName(IsPostgres(database) ? url.path().mid(1) : database);
    db.setHostName(url.host());
    db.setPort(url.port(5432));
    db.setUserName(url.userName());
    db.setPassword(url.password());
    if (!db.open())
        qWarning("%s", qPrintable(db.lastError().text()));
    return db;
}

// Statements run straight on the database: the first column of the last one's first row.
QString Execute(const QString &database, const QStringList &statements)
{
    QString value;
    {
        QSqlDatabase db = Beside(database, u"beside"_s);
        for (const QString &statement : statements) {
            QSqlQuery q(db);
            if (!q.exec(statement))
                qWarning("%s: %s", qPrintable(statement), qPrintable(q.lastError().text()));
            value = q.next() ? q.value(0).toString() : QString();
        }
    }
    QSqlDatabase::removeDatabase(u"beside"_s);
    return value;
}

Store::Submitted StoreReport(Store &store, const QByteArray &changes, qint64 at,
                             const QByteArray &client = "127.0.0.1")
{
    const ReadResult read = ReadReport(SplitForm(With(GoodQuery, changes)), FormEncoding::ShiftJis);
    if (!read.errors.isEmpty())
        qWarning("%s: %s", changes.constData(), qPrintable(read.errors.first().reason));
    return store.submit(read.report, client, at, SubmitLimits{0, 600});
}

// The confirmation page of this query fetched, its form posted: the answer's status.
int Submit(quint16 port, const QByteArray &query, const QByteArray &field = {},
           const QString &from = u"127.0.0.1"_s)
{
    const Reply page = Send(port, Get("/benchreport.php3?" + query, field), from);
    return page.status == 200 ? Send(port, Post(FormOf(page.body), field), from).status : -1;
}

// newsbench-reportd started with these arguments: the port it listens on, 0 if none.
quint16 StartService(QProcess &service, const QStringList &arguments)
{
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.start(QStringLiteral(NEWSBENCH_REPORTD),
                  QStringList{u"--listen"_s, u"127.0.0.1:0"_s} + arguments);
    if (!service.waitForReadyRead(20'000))
        return 0;
    static const QRegularExpression listening(u"http://127.0.0.1:(\\d+)/"_s);
    return quint16(listening.match(QString::fromLatin1(service.peek(4096))).captured(1).toUInt());
}

} // namespace

// Runs against SQLite, or with NEWSBENCH_TEST_DATABASE=postgres against the PostgreSQL
// database that NEWSBENCH_TEST_POSTGRES names.
class TestReportd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void input_data();
    void input();
    void pages_data();
    void pages();
    void sixteenKeysUnchanged();
    void otherProcessKilledDuringBurst();
    void idsStayUnused_data();
    void idsStayUnused();
    void clientKeptOnlyForItsHour();
    void markup();
    void clientsBehindProxies_data();
    void clientsBehindProxies();
    void http_data();
    void http();
    void busyStore();
    void unreadAnswers();

private:
    void serve(const ServiceOptions &options);

    QTemporaryDir m_dir;
    int m_tests = 0;
    QString m_database;
    std::unique_ptr<Store> m_store;
    std::unique_ptr<ReportService> m_service;
    quint16 m_port = 0;
};

// Every test starts from an empty database, served by a service in this process.
void TestReportd::init()
{
    m_service.reset();
    m_store.reset();
    m_database = m_dir.filePath(u"%1.sqlite"_s.arg(++m_tests));
    if (qEnvironmentVariable("NEWSBENCH_TEST_DATABASE") == u"postgres") {
        m_database = qEnvironmentVariable("NEWSBENCH_TEST_POSTGRES");
        if (m_database.isEmpty())
            QSKIP("NEWSBENCH_TEST_POSTGRES names no database: scripts/test.sh starts one");
        Execute(m_database, {u"DROP TABLE IF EXISTS reports, servers, meta, schema_migrations"_s});
    }
    QString error;
    m_store = Store::open(m_database, &error);
    QVERIFY2(m_store, qPrintable(error));
    serve(ServiceOptions{});
}

// The service of this test anew, with these options.
void TestReportd::serve(const ServiceOptions &options)
{
    m_service = std::make_unique<ReportService>(*m_store, options);
    m_port = m_service->listenOn(QHostAddress::LocalHost, 0);
    QVERIFY(m_port != 0);
}

void TestReportd::input_data()
{
    QTest::addColumn<QByteArray>("query"); // the report address's query
    QTest::addColumn<QByteArray>("edit"); // what the form gets before it is posted
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("named"); // the fields the answer names
    QTest::addColumn<int>("before"); // reports of this address stored in the hour before

    auto row = [](const char *name, const QByteArray &query, const QByteArray &edit, int status,
                  const char *named, int before = 0) {
        QTest::newRow(name) << query << edit << status
                            << QString::fromLatin1(named).split(u' ', Qt::SkipEmptyParts) << before;
    };
    const QByteArray &good = GoodQuery, &article = ArticleQuery;
    auto refused = [&row](const char *name, const QByteArray &query, const QByteArray &changes) {
        row(name, With(query, changes), "", 400, changes.first(changes.indexOf('=')).constData());
    };
    refused("type out of range", good, "Type=3");
    refused("post neither 0 nor 1", good, "Post=2");
    refused("negative group count", good, "Groups=-1");
    refused("count past 32 bits", good, "CountAS=2147483648");
    refused("speed not a number", good, "Speed=25k");
    refused("speed past 64 bits", good, "Speed=9223372036854775808");
    refused("retention below -1", good, "ExpireAFJ=-2");
    refused("empty field", good, "CountABME=");
    row("missing key", QByteArray(good).replace("&Speed=250000", ""), "", 400, "Speed");
    row("repeated key", good + "&Type=0", "", 400, "Type");
    refused("broken Shift-JIS", good, "Name=%83e%83");
    const QByteArray hundred = QByteArray("%82%A0").repeated(100); // あ
    refused("name of 101 characters", good, "Name=%82%A0" + hundred);
    refused("control character in the name", good, "Name=a%09b");
    refused("server the address field refuses", good, "Server=a%20b");
    refused("server of 256 bytes", good, "Server=" + QByteArray(256, 'a'));
    refused("speed above 10 Gbit/s", good, "Speed=1250000001");
    refused("retention above 20 years", good, "ExpireJBPE=7306");
    row("request over 8 KB", good + "&pad=" + QByteArray(8200, 'x'), "", 413, "");
    row("request body over 8 KB", good, "Name=" + QByteArray(9000, 'x'), 413, "");
    row("every field at its edge is stored whole",
        With(good,
             "Name=" + hundred + "&Server=" + QByteArray(255, 'a')
                 + "&Type=2&Post=0&Groups=2147483647&Speed=1250000000"
                   "&CountAS=2147483647&ExpireAS=7305&ExpireAFJ=-1"),
        "", 303, "");
    row("forged token", good, "token=1999999999.c2lnbmVkIGJ5IHNvbWVvbmUgZWxzZQ", 400, "token");
    row("expired token", good, "expired", 400, "token");
    row("token of other values", good, "Speed=250001", 400, "token");
    row("form as text/plain", good, "text/plain", 400, "Content-Type");
    row("the same report twice within ten minutes is stored once", good, "twice", 303, "");
    row("the 21st report of an address in an hour", good, "", 429, "", 20);

    row("article figures are stored whole with the report", article, "", 303, "");
    row("a run whose article steps all fell short is stored",
        GoodQuery + '&' + With(ArticleKeys(""), "Connections=0&MoreRefused=1&ArticleEnd=refused"),
        "", 303, "");
    row("every article figure at its edge is stored whole",
        GoodQuery + '&'
            + With(ArticleKeys("1:1,2:2,4:3,8:4,16:5,32:6,50:1250000000", 50),
                   "Connections=50&GreetingMs=600000&StatMs=-1&ArticlesAsked=2147483647"
                   "&ArticlesFound=2147483647&ArticleBytes=1000000000000"),
        "", 303, "");
    refused("accepted connections above 50", article, "Connections=51");
    refused("accepted connections negative", article, "Connections=-1");
    refused("refused more neither 0 nor 1", article, "MoreRefused=2");
    refused("greeting below -1 ms", article, "GreetingMs=-2");
    refused("STAT reply over ten minutes", article, "StatMs=600001");
    refused("articles asked past 32 bits", article, "ArticlesAsked=2147483648");
    refused("articles found negative", article, "ArticlesFound=-1");
    refused("more articles found than asked", article, "ArticlesFound=41");
    refused("bytes over a terabyte", article, "ArticleBytes=1000000000001");
    refused("an end the program never names", article, "ArticleEnd=finished");
    refused("an end in other letter case", article, "ArticleEnd=Knee");
    refused("a step of no connections", article, "ArticleSteps=0:5");
    refused("a step of 51 connections", article, "ArticleSteps=51:5");
    refused("a step faster than 10 Gbit/s", article, "ArticleSteps=1:1250000001");
    refused("a step of negative speed", article, "ArticleSteps=1:-0");
    refused("the same step twice", article, "ArticleSteps=1:5,1:6");
    refused("a step without its speed", article, "ArticleSteps=1");
    refused("eight steps", article, "ArticleSteps=1:1,2:2,3:3,4:4,5:5,6:6,7:7,8:8");
    refused("article speed not the fastest step", article, "ArticleSpeed=2500000");
    refused("best connections not the fastest step's", article, "ArticleConnections=4");
    refused("a knee that is no step", article, "Knee=3");
    row("some article keys without the others", GoodQuery + "&ArticleSpeed=100&Knee=0", "", 400,
        "ArticleConnections Connections MoreRefused GreetingMs StatMs ArticlesAsked ArticlesFound "
        "ArticleBytes ArticleEnd ArticleSteps");
    row("every article key but the steps",
        QByteArray(article).replace("&ArticleSteps=1:1000000,2:1800000,4:2500000,8:2550000", ""),
        "", 400, "ArticleSteps");
    row("an article key twice", article + "&Knee=8", "", 400, "Knee");
    row("an article figure changed after the confirmation page", article, "GreetingMs=13", 400,
        "token");
    row("the article figures dropped after the confirmation page", article, "drop articles", 400,
        "token");
}

void TestReportd::input()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, edit);
    QFETCH(int, status);
    QFETCH(QStringList, named);
    QFETCH(int, before);

    for (int i = 0; i < before; ++i)
        QCOMPARE(Submit(m_port, With(GoodQuery, "Speed=" + QByteArray::number(i))), 303);
    Reply reply = Send(m_port, Get("/benchreport.php3?" + query));
    if (reply.status == 200) {
        QByteArray form = FormOf(reply.body);
        if (edit == "expired") {
            const Report values = ReadReport(SplitForm(form), FormEncoding::Utf8).report;
            edit = "token="
                + MintToken(m_store->secret(), CanonicalText(values), "127.0.0.1",
                            QDateTime::currentSecsSinceEpoch() - 1);
        }
        if (edit.contains('='))
            form = With(form, edit);
        if (edit == "drop articles") {
            static const QRegularExpression article(
                u"&(Article\\w*|Knee|Connections|MoreRefused|GreetingMs|StatMs)=[^&]*"_s);
            form = QString::fromLatin1(form).remove(article).toLatin1();
        }
        if (edit == "twice")
            QCOMPARE(Send(m_port, Post(form)).status, 303);
        reply
            = Send(m_port,
                   Post(form, {},
                        edit == "text/plain" ? "text/plain" : "application/x-www-form-urlencoded"));
    }
    QCOMPARE(reply.status, status);
    QStringList fields;
    static const QRegularExpression field(u"（([\\w-]+)）"_s);
    for (const auto &m : field.globalMatch(QString::fromUtf8(reply.body)))
        fields << m.captured(1);
    QCOMPARE(fields, named);
    QCOMPARE(m_store->totals()->reports, before + (status == 303 ? 1 : 0));
    if (status == 303) { // stored whole, as the first report of the first server
        QVERIFY(reply.head.contains("\r\nLocation: /servers/1\r\n"));
        const auto stored = m_store->reports(1, 0, 1);
        QVERIFY(stored && stored->size() == 1);
        QCOMPARE(CanonicalText(stored->first().values),
                 CanonicalText(ReadReport(SplitForm(query), FormEncoding::ShiftJis).report));
    }
}

void TestReportd::pages_data()
{
    QTest::addColumn<QStringList>("reports"); // "days ago|changes", stored in this order
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("inOrder"); // texts found in this order
    QTest::addColumn<QStringList>("absent");
    // Texts are given as "first | second | ...".
    auto row = [](const char *name, const QStringList &reports, const QByteArray &target,
                  const QByteArray &inOrder, const QByteArray &absent = {}, int status = 200) {
        auto texts = [](const QByteArray &list) {
            return QString::fromUtf8(list).split(u" | "_s, Qt::SkipEmptyParts);
        };
        QTest::newRow(name) << reports << target << status << texts(inOrder) << texts(absent);
    };
    auto report = [](const char *server, const QByteArray &changes = {}, int daysAgo = 0) {
        return u"%1|Server=%2"_s.arg(daysAgo).arg(QString::fromLatin1(server))
            + (changes.isEmpty() ? QString() : u'&' + QString::fromLatin1(changes));
    };
    // Reports of one server, a day apart, the last one `lastDaysAgo`.
    auto daily = [&report](const char *server, const QList<int> &speeds, int lastDaysAgo = 0) {
        QStringList reports;
        for (qsizetype i = 0; i < speeds.size(); ++i)
            reports << report(server, "Speed=" + QByteArray::number(speeds[i]),
                              int(lastDaysAgo + speeds.size() - 1 - i));
        return reports;
    };

    // slow.example.net under a name with markup, then fast.example.net:119 and
    // FAST.example.net, one server whose latest report ranks it.
    const QStringList three
        = {report("slow.example.net", "Name=%3Cscript%3Ealert(1)%3C%2Fscript%3E"),
           report("fast.example.net%3A119", "Speed=800000"),
           report("FAST.example.net", "Speed=900000")};
    row("ranking by speed, fastest first", three, "/", "FAST.example.net | slow.example.net");
    row("unknown sort column", three, "/?sort=id%3B%20DROP", "sort", "", 400);
    row("page past the end", three, "/?page=2", "", "", 404);
    row("server page has its chart and history", three, "/servers/2",
        "<h1>FAST.example.net | <svg | <polyline");
    row("markup in a stored name shows as text", three, "/servers/1", "&lt;script&gt;alert(1)");
    row("servers as JSON, case-folded, paginated", three, "/api/servers?per_page=1",
        R"("pages":2 | "address":"FAST.example.net" | "report_count":2 | "total":2)");
    row("reports as JSON, newest first", three, "/api/servers/2/reports",
        R"("Speed":900000 | "Speed":800000 | "total":2)");
    row("API page far past the end", three, "/api/servers?page=99999999&per_page=100", "", "", 404);
    row("confirmation page of a name with markup", {},
        "/benchreport.php3?" + With(GoodQuery, "Name=%3Cscript%3E"),
        R"(&lt;script&gt; | name="token")");
    row("publisher page", {}, "/newsgroup/", "");
    row("a GET to the form's address", {}, "/reports", "", "", 405);

    const QString mid = report("mid.example.net", "Speed=500000");
    row("one slow report does not sink a server",
        daily("fast.example.net", {900000, 900000, 900000, 0}) << mid, "/",
        "fast.example.net | >900,000< | mid.example.net");
    row("one claimed top speed does not lift a server",
        QStringList{mid} + daily("cheat.example.net", {100000, 100000, 100000, 1250000000}), "/",
        "mid.example.net | cheat.example.net | >100,000<", "1,250,000,000");
    const QList<int> eleven
        = {900000, 900000, 900000, 900000, 900000, 900000, 100000, 100000, 100000, 100000, 100000};
    row("only the last ten reports count", daily("many.example.net", eleven) << mid, "/",
        "mid.example.net | many.example.net | >100,000< | >10 / 11<");
    row("reports over 180 days before the latest do not count",
        daily("old.example.net", {100000, 100000, 100000}, 300)
            << report("old.example.net", "Speed=900000") << mid,
        "/", "old.example.net | >900,000< | >1 / 4< | mid.example.net");
    const QStringList retention
        = {report("none.example.net", "ExpireAFJ=-1"), report("three.example.net", "ExpireAFJ=3"),
           report("nine.example.net", "ExpireAFJ=9")};
    row("no group of a hierarchy shows as a dash and sorts last, ascending", retention,
        "/?sort=expireafj&order=asc",
        R"(three.example.net | nine.example.net | none.example.net | <td class="n">—</td> | )"
        "サーバにそのカテゴリのグループがない",
        ">-1<");
    row("no group of a hierarchy sorts last, descending", retention, "/?sort=expireafj&order=desc",
        "nine.example.net | three.example.net | none.example.net");
    row("names sort alike on both databases, letter case aside",
        {report("b.example.net", "Name=Beta"), report("a.example.net", "Name=alpha"),
         report("g.example.net", "Name=gamma")},
        "/?sort=name&order=asc", ">alpha</td> | >Beta</td> | >gamma</td>");
    row("addresses sort by the host they show, whatever the scheme",
        {report("beta.example.net"), report("nntps://alpha.example.net"),
         report("nntps://Gamma.example.net")},
        "/?sort=server&order=asc",
        ">nntps://alpha.example.net< | >beta.example.net< | >nntps://Gamma.example.net<");
    row("no group of a hierarchy shows as a dash on the confirmation page", {},
        "/benchreport.php3?" + With(GoodQuery, "ExpireAFJ=-1"),
        "<td>—</td> | サーバにそのカテゴリのグループがない", "-1 日");
    QList<int> twelve;
    QString newestFirst;
    for (int i = 1; i <= 12; ++i) {
        twelve << 100000 + i;
        newestFirst.prepend(u">100,0%1< | "_s.arg(i, 2, 10, QChar(u'0')));
    }
    row("the server page shows every report", daily("a.example.net", twelve), "/servers/1",
        newestFirst.toUtf8());

    // a.example.net with the article figures of ArticleQuery, b.example.net without.
    const QStringList ab
        = {report("a.example.net", ArticleKeys("1:1000000,2:1800000,4:2500000,8:2550000", 8)),
           report("b.example.net")};
    const char *none = R"(>250,000</td><td class="n">—</td><td class="n">—</td>)";
    row("the ranking shows article speed and knee, a dash without them", ab, "/?sort=articlespeed",
        QByteArray("記事の速度<br><small>byte/sec | 頭打ち<br><small>接続 | a.example.net | "
                   ">250,000< | >2,550,000< | >8< | b.example.net | ")
            + none + " | 記事の速度も計測した報告だけの中央値");
    row("the server page charts speed against connections", ab, "/servers/1",
        "<h2>接続数ごとの記事の速度（byte/sec）</h2> | <svg | >1</text> | >2</text> | >4</text> | "
        ">8</text> | <polyline | 横軸は接続数 | <h2>記事のダウンロード速度</h2> | "
        "2550000 byte/sec（8 接続） | 1000000 byte/sec | 12 ms | 38 / 40 | "
        "接続数を増やしても速くならなくなりました | <h2>報告の履歴</h2> | >2,550,000<");
    row("a server without article figures has no such chart", ab, "/servers/2", "<svg",
        "接続数ごとの記事の速度 | 記事のダウンロード速度");
    row("the confirmation page shows the article figures and posts them back", {},
        "/benchreport.php3?" + ArticleQuery,
        "<h2>記事のダウンロード速度</h2> | 2550000 byte/sec（8 接続） | "
        R"(name="ArticleSpeed" value="2550000" | )"
        R"(name="ArticleSteps" value="1:1000000,2:1800000,4:2500000,8:2550000" | name="token")");
    row("a confirmation page of the sixteen keys has no article field", {},
        "/benchreport.php3?" + GoodQuery, R"(name="token")", "記事 | Article | Knee");
    row("servers as JSON with their article figures", ab,
        "/api/servers?sort=articlespeed&per_page=1",
        R"("address":"a.example.net" | "article_report_count":1 | "article_speed":2550000 | )"
        R"("knee":8)");
    row("a server without article figures has none as JSON", ab,
        "/api/servers?sort=articlespeed&per_page=1&page=2", R"("address":"b.example.net")",
        "article | Article | knee");
    row("reports as JSON carry the steps", ab, "/api/servers/1/reports",
        R"("Article":{ | "ArticleEnd":"knee" | )"
        R"("ArticleSteps":[{"bytes_per_second":1000000,"connections":1} | )"
        R"({"bytes_per_second":2550000,"connections":8}])");

    const QStringList speeds
        = {report("slow.example.net", ArticleKeys("1:100000")), report("none.example.net"),
           report("fast.example.net", ArticleKeys("1:900000"))};
    row("article speed sorts fastest first by default, a server without it last", speeds,
        "/?sort=articlespeed", "fast.example.net | slow.example.net | none.example.net");
    row("article speed, slowest first, a server without it still last", speeds,
        "/?sort=articlespeed&order=asc", "slow.example.net | fast.example.net | none.example.net");
    const QStringList knees
        = {report("k4.example.net", ArticleKeys("1:10,2:20,4:21", 4)), report("none.example.net"),
           report("k2.example.net", ArticleKeys("1:10,2:10", 2)),
           report("grew.example.net", ArticleKeys("1:10,2:20"))};
    row("knee, most connections first, a server without it last", knees, "/?sort=knee&order=desc",
        "k4.example.net | k2.example.net | grew.example.net | none.example.net");
    row("knee, fewest connections first, a server without it still last", knees,
        "/?sort=knee&order=asc",
        "grew.example.net | k2.example.net | k4.example.net | none.example.net");
    row("a speed that grew to the last step has no knee", {knees.last()}, "/",
        "grew.example.net | >20< | >なし<");
    row("a run whose steps all fell short ranks as one without article figures",
        {report("short.example.net", ArticleKeys("")),
         report("slow.example.net", ArticleKeys("1:100000"))},
        "/?sort=articlespeed&order=asc",
        QByteArray("slow.example.net | short.example.net | ") + none);
    row("the article median is of the reports that measured it",
        {report("a.example.net", ArticleKeys("1:200000"), 4),
         report("a.example.net", ArticleKeys("1:300000"), 3),
         report("a.example.net", ArticleKeys("1:100000"), 2), report("a.example.net", {}, 1),
         report("a.example.net", {}, 0)},
        "/", "a.example.net | >200,000<", ">300,000< | >100,000<");
    row("article figures over 180 days before the latest report do not count",
        {report("a.example.net", ArticleKeys("1:300000"), 300), report("a.example.net", {}, 0)},
        "/", R"(a.example.net | >250,000</td><td class="n">—</td>)", ">300,000<");
}

// Reports stored with their days, then a page: its texts in order, its tables whole, its
// headers safe.
void TestReportd::pages()
{
    QFETCH(QStringList, reports);
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QStringList, inOrder);
    QFETCH(QStringList, absent);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    int client = 0;
    for (const QString &report : reports) {
        const qsizetype bar = report.indexOf(u'|');
        const qint64 at = now - report.first(bar).toLongLong() * 86400;
        QCOMPARE(StoreReport(*m_store, report.sliced(bar + 1).toLatin1(), at,
                             "10.1.0." + QByteArray::number(++client))
                     .outcome,
                 Store::Outcome::Stored);
    }

    const Reply reply = Send(m_port, Get(target));
    QCOMPARE(reply.status, status);
    QCOMPARE(m_store->totals()->reports, reports.size()); // a GET never writes
    const QByteArray policy = reply.head.mid(reply.head.indexOf("Content-Security-Policy:"));
    QVERIFY(policy.startsWith("Content-Security-Policy: default-src 'none';"));
    QVERIFY(!policy.contains("script-src") && policy.contains("frame-ancestors 'none'"));
    QVERIFY(reply.head.contains("\r\nX-Content-Type-Options: nosniff\r\n"));
    const QString body = QString::fromUtf8(reply.body);
    if (!target.startsWith("/api/")) {
        QVERIFY(!reply.body.contains("<script"));
        QVERIFY2(MisshapenRow(body).isEmpty(), qPrintable(MisshapenRow(body)));
    }
    qsizetype at = 0;
    for (const QString &text : inOrder) {
        const qsizetype found = body.indexOf(text, at);
        QVERIFY2(found >= 0, qPrintable(text + u" not after position "_s + QString::number(at)));
        at = found + 1;
    }
    for (const QString &text : absent)
        QVERIFY2(!body.contains(text), qPrintable(text));
}

// A report of the sixteen keys is read, signed and stored as before the article figures.
void TestReportd::sixteenKeysUnchanged()
{
    const ReadResult read = ReadReport(SplitForm(GoodQuery), FormEncoding::ShiftJis);
    QVERIFY(read.errors.isEmpty());
    QVERIFY(!read.report.article);
    QCOMPARE(CanonicalText(read.report),
             QByteArray("Name=\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88\xe5\xb1\x80\nType=1\n"
                        "Server=10.0.0.1\nPost=1\nGroups=40000\nSpeed=250000\nCountABPE=120\n"
                        "CountAS=300\nCountJBPE=45\nCountAFJ=12\nCountABME=80\nExpireABPE=10\n"
                        "ExpireAS=14\nExpireJBPE=7\nExpireAFJ=3\nExpireABME=9\n"));
    QCOMPARE(StoreReport(*m_store, "Server=10.0.0.1", QDateTime::currentSecsSinceEpoch()).outcome,
             Store::Outcome::Stored);
    QCOMPARE(Execute(m_database,
                     {u"SELECT COUNT(*) FROM reports WHERE article_speed IS NULL AND "
                      u"article_steps IS NULL AND knee IS NULL"_s}),
             u"1"_s);
    const ServerSummary server = **m_store->server(1);
    QVERIFY(!server.articleSpeed && !server.knee && !server.latest.values.article);
    QCOMPARE(server.articleCount, 0);
}

// A second service process on the same database, killed during a burst of reports from many
// clients: it accepts the confirmation pages of this one, its writes show at once on this one's
// cached ranking, and every report that got its 303 is there when the database is opened again.
void TestReportd::otherProcessKilledDuringBurst()
{
    constexpr int Burst = 1000;
    QProcess other;
    const quint16 port
        = StartService(other, {u"--database"_s, m_database, u"--reports-per-hour"_s, u"0"_s});
    QVERIFY(port != 0);
    QVERIFY(!Send(m_port, Get("/")).body.contains("10.0.0.1"));
    QByteArrayList forms, answers(Burst);
    for (int i = 0; i < Burst; ++i) {
        const QByteArray query = With(GoodQuery, "Speed=" + QByteArray::number(5000 + i));
        forms << FormOf(Send(m_port, Get("/benchreport.php3?" + query)).body);
    }

    std::vector<std::unique_ptr<QTcpSocket>> sockets(Burst);
    for (int i = 0; i < Burst; ++i) {
        QTcpSocket *socket = (sockets[i] = std::make_unique<QTcpSocket>()).get();
        QObject::connect(socket, &QTcpSocket::readyRead,
                         [&answers, i, socket] { answers[i] += socket->readAll(); });
        socket->connectToHost(u"127.0.0.1"_s, port);
        socket->write(Post(forms[i]));
    }
    auto stored303 = [&answers](int i) {
        return answers[i].startsWith("HTTP/1.1 303");
    };
    auto answered = [&] {
        return std::ranges::count_if(std::views::iota(0, Burst), stored303);
    };
    // Killed as soon as the first answer is back, with more of the burst still on its way.
    // The service sends its answers once it has read every request that came in together,
    // which under a sanitizer on PostgreSQL can take most of a minute.
    QElapsedTimer clock;
    clock.start();
    while (answered() == 0 && clock.elapsed() < 90'000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    other.kill();
    other.waitForFinished();
    QCoreApplication::processEvents();
    QVERIFY(answered() > 0);
    QVERIFY(Send(m_port, Get("/")).body.contains("10.0.0.1"));

    QString error;
    const std::unique_ptr<Store> reopened = Store::open(m_database, &error);
    QVERIFY2(reopened, qPrintable(error));
    const auto stored = reopened->reports(1, 0, Burst);
    QVERIFY(stored);
    for (int i = 0; i < Burst; ++i) {
        auto isThis = [i](const StoredReport &r) {
            return r.values.speed == 5000 + i;
        };
        QVERIFY2(!stored303(i) || std::ranges::any_of(*stored, isThis),
                 qPrintable(QString::number(i)));
    }

    QCOMPARE(QProcess::execute(QStringLiteral(NEWSBENCH_REPORTD),
                               {u"--database"_s, m_database, u"--delete-report"_s,
                                QString::number(stored->first().id)}),
             0);
    QCOMPARE(reopened->totals()->reports, stored->size() - 1);
}

// The client key serves the hourly limit and nothing else: past its hour it is blanked.
void TestReportd::clientKeptOnlyForItsHour()
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(StoreReport(*m_store, "Speed=1", now - 3700, "192.0.2.1").outcome,
             Store::Outcome::Stored);
    QCOMPARE(StoreReport(*m_store, "Speed=2", now - 1800, "192.0.2.2").outcome,
             Store::Outcome::Stored);
    QCOMPARE(StoreReport(*m_store, "Speed=3", now, "192.0.2.3").outcome, Store::Outcome::Stored);
    QCOMPARE(Execute(m_database, {u"SELECT client FROM reports WHERE speed = 1"_s}), QString());
    QCOMPARE(Execute(m_database, {u"SELECT client FROM reports WHERE speed = 2"_s}).size(), 32);
    QCOMPARE(Execute(m_database, {u"SELECT COUNT(*) FROM reports WHERE client <> ''"_s}), u"2"_s);
}

void TestReportd::idsStayUnused_data()
{
    QTest::addColumn<bool>("firstSchema");
    QTest::newRow("ids are never handed out twice") << false;
    QTest::newRow("a database of the first schema keeps its reports and hands out no id twice")
        << true;
}

// Three reports of a.example.net, 300000, 200000 and 100000 byte/sec, stored or found in a
// database of the first schema. A deleted server's address never leads to another server; the
// figures of a server follow the deletion of one of its reports.
void TestReportd::idsStayUnused()
{
    QFETCH(bool, firstSchema);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (!firstSchema) {
        for (const int speed : {300000, 200000, 100000})
            QCOMPARE(
                StoreReport(*m_store,
                            "Server=a.example.net&ExpireABME=-1&Speed=" + QByteArray::number(speed),
                            now - speed / 100)
                    .serverId,
                1);
    } else {
        m_service.reset();
        m_store.reset();
        const bool postgres = IsPostgres(m_database);
        if (postgres)
            Execute(m_database, {u"DROP TABLE reports, servers, meta, schema_migrations"_s});
        else
            m_database = m_dir.filePath(u"first-schema.sqlite"_s);
        const QString id = postgres ? u"BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"_s
                                    : u"INTEGER PRIMARY KEY"_s;
        QStringList first = {
            u"CREATE TABLE schema_migrations (version INTEGER PRIMARY KEY, applied_at BIGINT NOT NULL)"_s,
            u"INSERT INTO schema_migrations VALUES (1, 0)"_s,
            u"CREATE TABLE meta (singleton INTEGER PRIMARY KEY, data_version BIGINT NOT NULL, secret TEXT NOT NULL)"_s,
            u"INSERT INTO meta VALUES (1, 0, '%1')"_s.arg(QString(64, u'a')),
            u"CREATE TABLE servers (id %1, address_key TEXT NOT NULL UNIQUE, address TEXT NOT NULL, report_count INTEGER NOT NULL, latest_report_id BIGINT NOT NULL, last_measured BIGINT NOT NULL)"_s
                .arg(id),
            u"CREATE TABLE reports (id %1, server_id BIGINT NOT NULL REFERENCES servers (id), received_at BIGINT NOT NULL, client TEXT NOT NULL, fingerprint TEXT NOT NULL, service_name TEXT NOT NULL, service_type INTEGER NOT NULL, server_address TEXT NOT NULL, post_allowed INTEGER NOT NULL, group_count INTEGER NOT NULL, speed BIGINT NOT NULL, count_abpe INTEGER NOT NULL, count_as INTEGER NOT NULL, count_jbpe INTEGER NOT NULL, count_afj INTEGER NOT NULL, count_abme INTEGER NOT NULL, expire_abpe INTEGER NOT NULL, expire_as INTEGER NOT NULL, expire_jbpe INTEGER NOT NULL, expire_afj INTEGER NOT NULL, expire_abme INTEGER NOT NULL)"_s
                .arg(id),
            u"CREATE INDEX reports_by_server ON reports (server_id, id)"_s,
            u"CREATE INDEX reports_by_client ON reports (client, received_at)"_s,
            u"CREATE INDEX reports_by_fingerprint ON reports (fingerprint, received_at)"_s,
            u"INSERT INTO servers (address_key, address, report_count, latest_report_id, last_measured) VALUES ('nntp://a.example.net:119', 'a.example.net', 3, 3, 3000)"_s,
        };
        for (const int speed : {300000, 200000, 100000})
            first
                << u"INSERT INTO reports (server_id, received_at, client, fingerprint, service_name, service_type, server_address, post_allowed, group_count, speed, count_abpe, count_as, count_jbpe, count_afj, count_abme, expire_abpe, expire_as, expire_jbpe, expire_afj, expire_abme) VALUES (1, %1, 'c', 'f%1', 'A', 0, 'a.example.net', 1, 10, %2, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1)"_s
                       .arg(4000 - speed / 100000 * 1000)
                       .arg(speed);
        Execute(m_database, first);
        QString error;
        m_store = Store::open(m_database, &error);
        QVERIFY2(m_store, qPrintable(error));
        serve(ServiceOptions{});
    }
    ServerSummary a = **m_store->server(1);
    QCOMPARE(a.reportCount, 3);
    QCOMPARE(a.latest.id, 3);
    QCOMPARE(a.figures.speed, 200000);
    QCOMPARE(a.figureCount, 3);
    QCOMPARE(a.figures.expires[HierarchyCount - 1], -1);

    const Store::Submitted b = StoreReport(*m_store, "Server=b.example.net", now);
    QCOMPARE(b.serverId, 2);
    QCOMPARE(b.reportId, 4);
    QString error;
    QVERIFY2(m_store->deleteReport(b.reportId, &error), qPrintable(error));
    QCOMPARE(Send(m_port, Get("/servers/2")).status, 404);
    const Store::Submitted c = StoreReport(*m_store, "Server=c.example.net", now);
    QCOMPARE(c.serverId, 3);
    QCOMPARE(c.reportId, 5);
    QCOMPARE(Send(m_port, Get("/servers/2")).status, 404);

    QVERIFY2(m_store->deleteReport(1, &error), qPrintable(error)); // 300000
    a = **m_store->server(1);
    QCOMPARE(a.figures.speed, 100000); // the lower middle of 200000 and 100000
    QCOMPARE(a.figureCount, 2);
    QCOMPARE(a.reportCount, 2);
}

// Text becomes markup only through escape(); markup is also written as literals. A QString
// made at run time cannot pass for markup: that would not compile.
static_assert(!std::is_convertible_v<QString, Web::Markup>);
static_assert(!std::is_constructible_v<Web::Markup, QString>);
static_assert(!std::is_constructible_v<Web::Markup, const char16_t *>);
static_assert(std::is_convertible_v<decltype(u"<p>"), Web::Markup>);

// Every markup character is escaped; a placeholder inside a value stays as written.
void TestReportd::markup()
{
    const Web::Markup cells
        = Web::Markup(u"<td>%1</td><td>%2</td>")
              .arg(Web::escape(u"<a href=\"x\" title='y'>&%2"_s), Web::escape(u"b"_s));
    QCOMPARE(cells.text(),
             u"<td>&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;%2</td><td>b</td>"_s);
}

// The service's own process with these options, one report an hour per client: two clients
// each fetch a confirmation page and post its form from `peer` with their X-Forwarded-For.
void TestReportd::clientsBehindProxies_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("peer"); // the address both connect from
    QTest::addColumn<QByteArray>("first"); // X-Forwarded-For of each
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QList<int>>("statuses"); // empty: it does not start
    auto row
        = [](const char *name, const QStringList &options, const char *first, const char *second,
             const QList<int> &statuses, const QString &peer = u"127.0.0.1"_s) {
              QTest::newRow(name) << options << peer << QByteArray(first) << QByteArray(second)
                                  << statuses;
          };
    const QStringList proxy = {u"--trusted-proxy"_s, u"127.0.0.1"_s};
    const QList<int> apart = {303, 303}, one = {303, 429};
    row("two clients behind a proxy given with a prefix have a limit each",
        {u"--trusted-proxy"_s, u"127.0.0.0/8"_s}, "192.0.2.1", "192.0.2.2", apart);
    row("--trust-forwarded-for trusts a proxy on this machine", {u"--trust-forwarded-for"_s},
        "192.0.2.1", "192.0.2.2", apart);
    row("no proxy: the header is not believed", {}, "192.0.2.1", "192.0.2.2", one);
    row("a direct peer's forged header is ignored", proxy, "192.0.2.1", "192.0.2.2", one,
        u"127.0.0.2"_s);
    row("what a client wrote before the proxy's address is ignored", proxy,
        "192.0.2.1, 198.51.100.7", "192.0.2.2, 198.51.100.7", one);
    row("read from the right past every trusted hop",
        proxy + QStringList{u"--trusted-proxy"_s, u"10.0.0.0/8"_s}, "192.0.2.1, 10.1.2.3",
        "192.0.2.2,10.1.2.3", apart);
    row("a hop not trusted ends the reading", proxy, "192.0.2.1, 10.1.2.3", "192.0.2.2, 10.1.2.3",
        one);
    row("one IPv6 /64 is one client", proxy, "2001:db8:1:2::1", "2001:db8:1:2:a:b:c:d", one);
    row("IPv6 clients in two /64s are two", proxy, "2001:db8:1:2::1", "2001:db8:1:3::1", apart);
    row("an IPv4-mapped address is its IPv4 address", proxy, "::ffff:192.0.2.1", "192.0.2.1", one);
    row("no header: the proxy is the client", proxy, "", "", one);
    row("--trusted-proxy of no address is refused", {u"--trusted-proxy"_s, u"10.0.0.0/40"_s}, "",
        "", {});
}

void TestReportd::clientsBehindProxies()
{
    QFETCH(QStringList, options);
    QFETCH(QString, peer);
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QList<int>, statuses);
    QProcess service;
    const quint16 port = StartService(
        service,
        QStringList{u"--database"_s, m_database, u"--reports-per-hour"_s, u"1"_s} + options);
    if (statuses.isEmpty()) {
        QVERIFY(service.waitForFinished(20'000));
        QCOMPARE(service.exitCode(), 1);
        QVERIFY(service.readAll().contains("--trusted-proxy"));
        return;
    }
    QVERIFY(port != 0);
    QList<int> answered;
    int speed = 1000;
    for (const QByteArray &forwarded : {first, second}) {
        const QByteArray query = With(GoodQuery, "Speed=" + QByteArray::number(++speed));
        answered << Submit(port, query,
                           forwarded.isEmpty() ? QByteArray() : "X-Forwarded-For: " + forwarded,
                           peer);
    }
    service.kill();
    service.waitForFinished();
    QCOMPARE(answered, statuses);
}

// Requests sent in pieces, `gap` milliseconds apart, while connections from `held` stay open
// ("close": the first of them is closed again). Deadlines of 2 s for a head and 3 s for a body;
// at most four connections at once, two from one client.
void TestReportd::http_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<int>("gap");
    QTest::addColumn<int>("status"); // of the first answer; 0: none
    QTest::addColumn<int>("answers");
    QTest::addColumn<bool>("closed"); // right after the answers
    QTest::addColumn<QByteArray>("header"); // the start of a field of the answer's head
    QTest::addColumn<QStringList>("held");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QStringList>("trusted");
    auto row = [](const char *name, const QByteArrayList &pieces, int status, bool closed,
                  const QByteArray &header = {}, int answers = 1, int gap = 0) {
        QTest::newRow(name) << pieces << gap << status << answers << closed << header
                            << QStringList() << u"127.0.0.1"_s << QStringList();
    };
    auto capped = [](const char *name, const QStringList &held, const QString &from, int status,
                     const QStringList &trusted = {}) {
        QTest::newRow(name) << QByteArrayList{Get("/")} << 0 << status << 1 << true
                            << QByteArray(status == 200 ? "" : "Retry-After: ") << held << from
                            << trusted;
    };

    const QByteArray upgrade = "GET / HTTP/1.1\r\nHost: reports.test\r\nConnection: Upgrade\r\n"
                               "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    row("a WebSocket handshake gets one answer and no log line", {upgrade}, 200, true,
        "Connection: close");
    row("HTTP/1.0 without keep-alive is closed after the answer", {"GET / HTTP/1.0\r\n\r\n"}, 200,
        true, "Connection: close");
    row("HTTP/1.0 with keep-alive is kept and told so",
        {"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"}, 200, false, "Connection: keep-alive");
    row("HTTP/1.1 is kept", {"GET / HTTP/1.1\r\nHost: reports.test\r\n\r\n"}, 200, false);
    row("pipelined requests get an answer each",
        {"GET /style.css HTTP/1.1\r\nHost: reports.test\r\n\r\n" + Get("/")}, 200, true, {}, 2);
    row("HEAD gets the head alone",
        {"HEAD / HTTP/1.1\r\nHost: reports.test\r\nConnection: close\r\n\r\n"}, 200, true,
        "Content-Type: text/html; charset=utf-8");
    row("a parameter that no page reads leaves a 404 a 404", {Get("/nope?page=0")}, 404, true);
    row("a parameter that the page does not read is ignored", {Get("/?per_page=0")}, 200, true);
    row("a parameter that the page reads is checked", {Get("/servers/1?page=0")}, 400, true);
    row("a POST to no page is 404",
        {"POST /nope HTTP/1.1\r\nHost: reports.test\r\nConnection: close\r\n"
         "Content-Length: 0\r\n\r\n"},
        404, true);

    const QByteArray get = Get("/");
    QByteArrayList bytes;
    for (const char c : get)
        bytes << QByteArray(1, c);
    row("a head sent a byte at a time past its deadline gets 408", bytes, 408, true,
        "Connection: close", 1, 100);
    row("a slow head within its deadline is answered",
        {get.first(10), get.sliced(10, 20), get.sliced(30)}, 200, true, {}, 1, 100);
    const QByteArray post = Post(With(GoodQuery, "token=x"));
    const qsizetype body = post.indexOf("\r\n\r\n") + 4;
    QByteArrayList trickled{post.first(body)};
    for (qsizetype at = body; at < post.size(); at += 10)
        trickled << post.sliced(at, std::min<qsizetype>(10, post.size() - at));
    row("a body sent slowly past its deadline gets 408", trickled, 408, true, "Connection: close",
        1, 200);
    row("a connection that sends nothing is closed without an answer", {}, 0, true, {}, 0);

    const QString a = u"127.0.0.1"_s, b = u"127.0.0.2"_s, c = u"127.0.0.3"_s;
    capped("a third connection from one client is refused", {a, a}, a, 429);
    capped("another client is served beside them", {a, a}, b, 200);
    capped("past the total every client is refused", {a, a, b, b}, c, 503);
    capped("a trusted proxy is not held to the per-client cap", {a, a}, a, 200, {a});
    capped("a closed connection frees its place", {a, a, u"close"_s}, a, 200);
}

void TestReportd::http()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(int, gap);
    QFETCH(int, status);
    QFETCH(int, answers);
    QFETCH(bool, closed);
    QFETCH(QByteArray, header);
    QFETCH(QStringList, held);
    QFETCH(QString, from);
    QFETCH(QStringList, trusted);
    QTest::failOnWarning(QRegularExpression(u".*"_s));
    ServiceOptions options;
    options.guard.headMilliseconds = 2000;
    options.guard.bodyMilliseconds = 3000;
    options.guard.maxConnections = 4;
    options.guard.maxConnectionsPerClient = 2;
    for (const QString &subnet : trusted)
        options.trustedProxies << QHostAddress::parseSubnet(subnet);
    serve(options);

    const ConnectionGuard *guard = m_service->findChild<ConnectionGuard *>();
    std::vector<std::unique_ptr<QTcpSocket>> open;
    for (const QString &address : held) {
        if (address == u"close") {
            open.front()->abort();
            open.erase(open.begin());
        } else {
            QTcpSocket *socket = open.emplace_back(std::make_unique<QTcpSocket>()).get();
            socket->bind(QHostAddress(address));
            socket->connectToHost(u"127.0.0.1"_s, m_port);
            QVERIFY(socket->waitForConnected(5000));
        }
        // The service has seen it.
        QTRY_COMPARE_WITH_TIMEOUT(guard->connectionCount(), int(open.size()), 5000);
    }

    const Exchange exchange = Trickle(m_port, pieces, gap, closed ? 5000 : 1000, from);
    QCOMPARE(exchange.data.count("HTTP/1.1 "), answers);
    QCOMPARE(exchange.data.mid(9, 3).toInt(), status);
    QCOMPARE(exchange.closed, closed);
    const qsizetype end = exchange.data.indexOf("\r\n\r\n");
    QCOMPARE(end > 0, answers > 0);
    if (!header.isEmpty())
        QVERIFY2(exchange.data.first(end).contains("\r\n" + header),
                 exchange.data.first(end).constData());
    if (pieces.value(0).startsWith("HEAD")) {
        QCOMPARE(exchange.data.size(), end + 4);
        QVERIFY(!exchange.data.contains("Content-Length: 0\r\n"));
    }
}

// Another connection to the database holds its write lock meanwhile: a report gets 503 with
// Retry-After at once, pages are still served, and the same form is taken afterwards.
void TestReportd::busyStore()
{
    const Reply page = Send(m_port, Get("/benchreport.php3?" + GoodQuery));
    QCOMPARE(page.status, 200);
    {
        QSqlDatabase holder = Beside(m_database, u"holder"_s);
        QSqlQuery q(holder);
        // Let go on its own before long, should the service wait for it all the same.
        if (IsPostgres(m_database))
            QVERIFY(q.exec(u"SET idle_in_transaction_session_timeout = 5000"_s));
        QVERIFY(q.exec(IsPostgres(m_database) ? u"BEGIN"_s : u"BEGIN IMMEDIATE"_s));
        QVERIFY(q.exec(u"UPDATE meta SET data_version = data_version"_s));
        QElapsedTimer clock;
        clock.start();
        const Reply reply = Send(m_port, Post(FormOf(page.body)));
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(Send(m_port, Get("/")).status, 200);
        q.exec(u"ROLLBACK"_s);
        holder.close();
        QCOMPARE(reply.status, 503);
        QVERIFY(reply.head.contains("\r\nRetry-After: "));
        // Every other client waits as long: well under a second, not the lock's holding.
        QVERIFY2(elapsed < 3000, qPrintable(QString::number(elapsed)));
    }
    QSqlDatabase::removeDatabase(u"holder"_s);
    QCOMPARE(m_store->totals()->reports, 0);
    QCOMPARE(Send(m_port, Post(FormOf(page.body))).status, 303);
}

// Answers a client reads one at a time never pile up; one that sends request after request and
// reads none is cut off once they pass the limit in the service's memory.
void TestReportd::unreadAnswers()
{
    ServiceOptions options;
    options.guard.maxUnsentBytes = 64 * 1024;
    serve(options);
    for (int i = 0; i < 50; ++i) { // a ranking page of some 30 kB
        const QByteArray server = "Server=news" + QByteArray::number(i) + ".example.net";
        QCOMPARE(StoreReport(*m_store, server, QDateTime::currentSecsSinceEpoch()).outcome,
                 Store::Outcome::Stored);
    }
    const ConnectionGuard *guard = m_service->findChild<ConnectionGuard *>();
    const QByteArray get = "GET / HTTP/1.1\r\nHost: reports.test\r\n\r\n";
    QTcpSocket reader, idler;
    reader.connectToHost(u"127.0.0.1"_s, m_port);
    for (int i = 0; i < 20; ++i) {
        reader.write(get);
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += reader.readAll()).contains("</html>"), 5000);
    }
    QCOMPARE(guard->connectionCount(), 1);

    idler.setReadBufferSize(1); // takes nothing more off the connection
    idler.connectToHost(u"127.0.0.1"_s, m_port);
    QVERIFY(idler.waitForConnected(5000));
    QTRY_COMPARE_WITH_TIMEOUT(guard->connectionCount(), 2, 5000);
    idler.write(get.repeated(400));
    QTRY_COMPARE_WITH_TIMEOUT(guard->connectionCount(), 1, 10'000);
}

QTEST_GUILESS_MAIN(TestReportd)
#include "tst_reportd.moc"
