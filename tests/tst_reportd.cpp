#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

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

struct Reply
{
    int status = 0;
    QByteArray head;
    QByteArray body;
    QByteArray header(const QByteArray &name) const
    {
        const QRegularExpression line(u"(?im)^"_s + QString::fromLatin1(name)
                                      + u":\\s*(.*?)\\r$"_s);
        return line.match(QString::fromLatin1(head)).captured(1).toLatin1();
    }
};

// One request on its own connection, read until the service closes it; the event loop runs
// meanwhile, so a service in this process answers.
Reply Send(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(u"127.0.0.1"_s, port);
    QByteArray data;
    QObject::connect(&socket, &QTcpSocket::connected, [&] { socket.write(request); });
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { data += socket.readAll(); });
    QElapsedTimer clock;
    clock.start();
    while (socket.state() != QAbstractSocket::UnconnectedState && clock.elapsed() < 20'000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    data += socket.readAll();
    Reply reply;
    const qsizetype end = data.indexOf("\r\n\r\n");
    reply.head = data.first(std::max<qsizetype>(end, 0));
    reply.body = end < 0 ? QByteArray() : data.sliced(end + 4);
    reply.status = data.mid(9, 3).toInt();
    return reply;
}

QByteArray Get(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: reports.test\r\nConnection: close\r\n\r\n";
}

QByteArray Post(const QByteArray &body,
                const QByteArray &type = "application/x-www-form-urlencoded")
{
    return "POST /reports HTTP/1.1\r\nHost: reports.test\r\nConnection: close\r\nContent-Type: "
        + type + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// The hidden fields of a confirmation page, as the browser would post them.
QByteArray FormOf(const QByteArray &page)
{
    QByteArray body;
    static const QRegularExpression input(
        u"<input type=\"hidden\" name=\"([^\"]+)\" value=\"([^\"]*)\">"_s);
    for (const auto &m : input.globalMatch(QString::fromUtf8(page))) {
        QString value = m.captured(2);
        value.replace(u"&quot;"_s, u"\""_s)
            .replace(u"&#39;"_s, u"'"_s)
            .replace(u"&lt;"_s, u"<"_s)
            .replace(u"&gt;"_s, u">"_s)
            .replace(u"&amp;"_s, u"&"_s);
        body += (body.isEmpty() ? "" : "&") + m.captured(1).toLatin1() + '='
            + QUrl::toPercentEncoding(value);
    }
    return body;
}

QByteArray With(QByteArray query, const QByteArray &key, const QByteArray &value)
{
    static const QRegularExpression any(u"(^|&)KEY=[^&]*"_s);
    QRegularExpression field(any.pattern().replace(u"KEY"_s, QString::fromLatin1(key)));
    return QString::fromLatin1(query)
        .replace(field, u"\\1"_s + QString::fromLatin1(key) + u'=' + QString::fromLatin1(value))
        .toLatin1();
}

} // namespace

// Runs against SQLite, or with NEWSBENCH_TEST_DATABASE=postgres against the PostgreSQL
// database that NEWSBENCH_TEST_POSTGRES names.
class TestReportd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void badInput_data();
    void badInput();
    void abuse_data();
    void abuse();
    void pages_data();
    void pages();
    void otherProcessesSeeWrites();
    void killDuringBurst();

private:
    QString database();
    Reply submit(const QByteArray &query, quint16 port);

    QTemporaryDir m_dir;
    std::unique_ptr<Store> m_store;
    std::unique_ptr<ReportService> m_service;
    quint16 m_port = 0;
};

bool UsePostgres()
{
    return qEnvironmentVariable("NEWSBENCH_TEST_DATABASE") == u"postgres";
}

QString TestReportd::database()
{
    return UsePostgres() ? qEnvironmentVariable("NEWSBENCH_TEST_POSTGRES")
                         : m_dir.filePath(u"reports.sqlite"_s);
}

void TestReportd::init()
{
    if (UsePostgres()) {
        if (qEnvironmentVariableIsEmpty("NEWSBENCH_TEST_POSTGRES"))
            QSKIP(
                "NEWSBENCH_TEST_POSTGRES names no PostgreSQL database: scripts/test.sh starts one");
        // Every test starts from an empty database.
        {
            const QUrl url(database());
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, u"reset"_s);
            db.setHostName(url.host());
            db.setPort(url.port(5432));
            db.setUserName(url.userName());
            db.setPassword(url.password());
            db.setDatabaseName(url.path().mid(1));
            QVERIFY2(db.open(), qPrintable(db.lastError().text()));
            QSqlQuery(db).exec(u"SET client_min_messages = warning"_s);
            QVERIFY(QSqlQuery(db).exec(
                u"DROP TABLE IF EXISTS reports, servers, meta, schema_migrations"_s));
        }
        QSqlDatabase::removeDatabase(u"reset"_s);
    } else {
        QFile::remove(database());
    }
    QString error;
    m_store = Store::open(database(), &error);
    QVERIFY2(m_store, qPrintable(error));
    m_service = std::make_unique<ReportService>(*m_store, ServiceOptions{});
    m_port = m_service->listenOn(QHostAddress::LocalHost, 0);
    QVERIFY(m_port != 0);
}

void TestReportd::cleanup()
{
    m_service.reset();
    m_store.reset();
}

Reply TestReportd::submit(const QByteArray &query, quint16 port)
{
    const Reply page = Send(port, Get("/benchreport.php3?" + query));
    if (page.status != 200)
        return page;
    return Send(port, Post(FormOf(page.body)));
}

void TestReportd::badInput_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("token"); // for a POST: which token goes into the form
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("shows");
    QTest::addColumn<int>("stored");

    auto get = [](const QByteArray &query) {
        return Get("/benchreport.php3?" + query);
    };
    QTest::newRow("type out of range") << get(With(GoodQuery, "Type", "3")) << QByteArray() << 400
                                       << u"サービス種別（Type）: 0 から 2"_s << 0;
    QTest::newRow("post neither 0 nor 1")
        << get(With(GoodQuery, "Post", "2")) << QByteArray() << 400 << u"（Post）"_s << 0;
    QTest::newRow("negative group count") << get(With(GoodQuery, "Groups", "-1")) << QByteArray()
                                          << 400 << u"総グループ数（Groups）"_s << 0;
    QTest::newRow("count past 32 bits")
        << get(With(GoodQuery, "CountAS", "2147483648")) << QByteArray() << 400
        << u"alt.sex.* のグループ数（CountAS）"_s << 0;
    QTest::newRow("speed past 64 bits") << get(With(GoodQuery, "Speed", "9223372036854775808"))
                                        << QByteArray() << 400 << u"（Speed）"_s << 0;
    QTest::newRow("speed not a number")
        << get(With(GoodQuery, "Speed", "25k")) << QByteArray() << 400 << u"（Speed）"_s << 0;
    QTest::newRow("retention below -1") << get(With(GoodQuery, "ExpireAFJ", "-2")) << QByteArray()
                                        << 400 << u"（ExpireAFJ）: -1 から"_s << 0;
    QTest::newRow("retention -1 is a run that could not tell")
        << get(With(GoodQuery, "ExpireAFJ", "-1")) << QByteArray() << 200 << u"<td>-1 日</td>"_s
        << 0;
    QTest::newRow("empty field") << get(With(GoodQuery, "CountABME", "")) << QByteArray() << 400
                                 << u"（CountABME）"_s << 0;
    QTest::newRow("missing key") << get(QByteArray(GoodQuery).replace("&Speed=250000", ""))
                                 << QByteArray() << 400 << u"平均速度（Speed）: ありません"_s << 0;
    QTest::newRow("repeated key") << get(GoodQuery + "&Type=0") << QByteArray() << 400
                                  << u"（Type）: 二つ以上"_s << 0;
    QTest::newRow("broken Shift-JIS") << get(With(GoodQuery, "Name", "%83e%83")) << QByteArray()
                                      << 400 << u"サービス名（Name）: Shift_JIS"_s << 0;
    QTest::newRow("name of 101 characters")
        << get(With(GoodQuery, "Name", QByteArray("%82%A0").repeated(101))) << QByteArray() << 400
        << u"（Name）: 100 文字"_s << 0;
    QTest::newRow("name of 100 characters")
        << get(With(GoodQuery, "Name", QByteArray("%82%A0").repeated(100))) << QByteArray() << 200
        << QString(100, QChar(u'あ')) << 0;
    QTest::newRow("control character in the name")
        << get(With(GoodQuery, "Name", "a%09b")) << QByteArray() << 400 << u"（Name）: 制御文字"_s
        << 0;
    QTest::newRow("markup in the name shows as text")
        << get(With(GoodQuery, "Name", "%3Cscript%3Ealert(1)%3C%2Fscript%3E")) << QByteArray()
        << 200 << u"<td>&lt;script&gt;alert(1)&lt;/script&gt;</td>"_s << 0;
    QTest::newRow("server the address field refuses")
        << get(With(GoodQuery, "Server", "news%20example")) << QByteArray() << 400
        << u"アドレス（Server）"_s << 0;
    QTest::newRow("server of 256 bytes") << get(With(GoodQuery, "Server", QByteArray(256, 'a')))
                                         << QByteArray() << 400 << u"（Server）"_s << 0;
    QTest::newRow("request over 8 KB") << get(GoodQuery + "&pad=" + QByteArray(8200, 'x'))
                                       << QByteArray() << 413 << u"8192 バイト"_s << 0;
    QTest::newRow("valid form is stored")
        << QByteArray() << QByteArray("valid") << 303 << QString() << 1;
    QTest::newRow("forged token") << QByteArray() << QByteArray("forged") << 400
                                  << u"確認用の署名（token）"_s << 0;
    QTest::newRow("expired token")
        << QByteArray() << QByteArray("expired") << 400 << u"有効期限"_s << 0;
    QTest::newRow("token of other values")
        << QByteArray() << QByteArray("other values") << 400 << u"（token）"_s << 0;
    QTest::newRow("no token") << QByteArray() << QByteArray("none") << 400 << u"（token）"_s << 0;
    QTest::newRow("form as text/plain")
        << QByteArray() << QByteArray("text/plain") << 400 << u"Content-Type"_s << 0;
    QTest::newRow("request body over 8 KB")
        << QByteArray() << QByteArray("huge") << 413 << QString() << 0;
}

void TestReportd::badInput()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, token);
    QFETCH(int, status);
    QFETCH(QString, shows);
    QFETCH(int, stored);

    if (request.isEmpty()) {
        const Reply page = Send(m_port, Get("/benchreport.php3?" + GoodQuery));
        QCOMPARE(page.status, 200);
        QByteArray form = FormOf(page.body);
        const QByteArray valid = form.mid(form.indexOf("&token=") + 7);
        const QByteArray canonical
            = CanonicalText(ReadReport(SplitForm(form), FormEncoding::Utf8).report);
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        QByteArray replacement = valid;
        if (token == "forged")
            replacement = MintToken("not the secret", canonical, "127.0.0.1", now + 600);
        else if (token == "expired")
            replacement = MintToken(m_store->secret(), canonical, "127.0.0.1", now - 1);
        else if (token == "other values")
            form.replace("Speed=250000", "Speed=250001");
        else if (token == "none")
            replacement.clear();
        form.replace("&token=" + valid,
                     replacement.isEmpty() ? QByteArray() : "&token=" + replacement);
        if (token == "huge")
            form += "&pad=" + QByteArray(9000, 'x');
        request = Post(form,
                       token == "text/plain" ? "text/plain" : "application/x-www-form-urlencoded");
    }

    const Reply reply = Send(m_port, request);
    QCOMPARE(reply.status, status);
    QVERIFY2(QString::fromUtf8(reply.body).contains(shows), reply.body.constData());
    if (status == 303)
        QVERIFY(reply.header("Location").startsWith("/servers/"));
    QCOMPARE(m_store->totals()->reports, stored);
}

void TestReportd::abuse_data()
{
    QTest::addColumn<int>("sent");
    QTest::addColumn<bool>("distinct");
    QTest::addColumn<int>("lastStatus");
    QTest::addColumn<int>("stored");
    QTest::newRow("the same report twice within ten minutes") << 2 << false << 303 << 1;
    QTest::newRow("the 21st report of an address in an hour") << 21 << true << 429 << 20;
}

void TestReportd::abuse()
{
    QFETCH(int, sent);
    QFETCH(bool, distinct);
    QFETCH(int, lastStatus);
    QFETCH(int, stored);
    Reply reply;
    for (int i = 0; i < sent; ++i)
        reply = submit(With(GoodQuery, "Speed", QByteArray::number(distinct ? 1000 + i : 1000)),
                       m_port);
    QCOMPARE(reply.status, lastStatus);
    QCOMPARE(m_store->totals()->reports, stored);
}

void TestReportd::pages_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("inOrder");

    // Stored: slow.example.net, then fast.example.net:119 and FAST.example.net, one server
    // whose latest report ranks it.
    QTest::newRow("ranking by speed, fastest first")
        << QByteArray("/") << 200
        << QStringList{u"2 サーバ・3 件の報告"_s, u"FAST.example.net"_s, u"slow.example.net"_s};
    QTest::newRow("ranking by speed, slowest first")
        << QByteArray("/?sort=speed&order=asc") << 200
        << QStringList{u"slow.example.net"_s, u"FAST.example.net"_s};
    QTest::newRow("ranking by report count")
        << QByteArray("/?sort=reports&order=desc") << 200
        << QStringList{u"FAST.example.net"_s, u"slow.example.net"_s};
    QTest::newRow("unknown sort column")
        << QByteArray("/?sort=id%3B%20DROP") << 400 << QStringList{u"sort"_s};
    QTest::newRow("page past the end") << QByteArray("/?page=2") << 404 << QStringList{};
    QTest::newRow("server page has its chart and history")
        << QByteArray("/servers/2") << 200
        << QStringList{u"<h1>FAST.example.net"_s, u"<svg class=\"chart\""_s, u"<polyline"_s};
    QTest::newRow("no such server") << QByteArray("/servers/99") << 404 << QStringList{};
    QTest::newRow("servers as JSON")
        << QByteArray("/api/servers?per_page=1") << 200
        << QStringList{u"\"pages\":2"_s, u"\"address\":\"FAST.example.net\""_s};
    QTest::newRow("reports as JSON, newest first")
        << QByteArray("/api/servers/2/reports") << 200
        << QStringList{u"\"Speed\":900000"_s, u"\"Speed\":800000"_s, u"\"total\":2"_s};
    QTest::newRow("API page far past the end")
        << QByteArray("/api/servers?page=99999999&per_page=100") << 404 << QStringList{};
    QTest::newRow("publisher page")
        << QByteArray("/newsgroup/") << 200 << QStringList{u"lang=\"ja\""_s, u"newsbench --run"_s};
    QTest::newRow("a GET to the form's address") << QByteArray("/reports") << 405 << QStringList{};
}

void TestReportd::pages()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QStringList, inOrder);
    QCOMPARE(submit(With(GoodQuery, "Server", "slow.example.net"), m_port).status, 303);
    QCOMPARE(
        submit(With(With(GoodQuery, "Server", "fast.example.net%3A119"), "Speed", "800000"), m_port)
            .status,
        303);
    QCOMPARE(submit(With(With(GoodQuery, "Server", "FAST.example.net"), "Speed", "900000"), m_port)
                 .status,
             303);

    const Reply reply = Send(m_port, Get(target));
    QCOMPARE(reply.status, status);
    QVERIFY(reply.header("Content-Security-Policy").contains("frame-ancestors 'none'"));
    QVERIFY(!reply.header("Content-Security-Policy").contains("unsafe-inline"));
    QCOMPARE(reply.header("X-Content-Type-Options"), QByteArray("nosniff"));
    const QString body = QString::fromUtf8(reply.body);
    qsizetype at = 0;
    for (const QString &text : inOrder) {
        const qsizetype found = body.indexOf(text, at);
        QVERIFY2(found >= 0, qPrintable(text + u" not after position "_s + QString::number(at)));
        at = found + 1;
    }
    if (target.startsWith("/api/"))
        QVERIFY(!QJsonDocument::fromJson(reply.body).isNull());
}

// Two services on one database stand for two processes behind a proxy: a report stored
// through one shows at once on the other's cached ranking, and a confirmation page of one
// is accepted by the other.
void TestReportd::otherProcessesSeeWrites()
{
    QString error;
    std::unique_ptr<Store> otherStore = Store::open(database(), &error);
    QVERIFY2(otherStore, qPrintable(error));
    ReportService other(*otherStore, ServiceOptions{});
    const quint16 otherPort = other.listenOn(QHostAddress::LocalHost, 0);

    QVERIFY(!Send(m_port, Get("/")).body.contains("10.0.0.1"));
    const Reply page = Send(m_port, Get("/benchreport.php3?" + GoodQuery));
    QCOMPARE(Send(otherPort, Post(FormOf(page.body))).status, 303);
    QVERIFY(Send(m_port, Get("/")).body.contains("10.0.0.1"));

    QVERIFY(otherStore->deleteReport(1, &error));
    QVERIFY(!Send(m_port, Get("/")).body.contains("10.0.0.1"));
    QCOMPARE(Send(m_port, Get("/servers/1")).status, 404);
}

// Reports posted by many clients at once while the service is killed: every one that got its
// 303 is there after a restart.
void TestReportd::killDuringBurst()
{
    constexpr int Burst = 300;
    auto start = [this](QProcess &process) -> quint16 {
        process.start(QStringLiteral(NEWSBENCH_REPORTD),
                      {u"--listen"_s, u"127.0.0.1:0"_s, u"--database"_s, database(),
                       u"--reports-per-hour"_s, u"0"_s});
        if (!process.waitForReadyRead(20'000))
            return 0;
        static const QRegularExpression port(u"http://127.0.0.1:(\\d+)/"_s);
        return quint16(
            port.match(QString::fromLatin1(process.readAllStandardOutput())).captured(1).toUInt());
    };
    m_service.reset(); // the child alone serves this database

    QProcess service;
    const quint16 port = start(service);
    QVERIFY(port != 0);
    QList<QByteArray> forms;
    for (int i = 0; i < Burst; ++i)
        forms << FormOf(
            Send(port,
                 Get("/benchreport.php3?" + With(GoodQuery, "Speed", QByteArray::number(5000 + i))))
                .body);

    QList<std::shared_ptr<QTcpSocket>> sockets;
    QList<QByteArray> answers(Burst);
    for (int i = 0; i < Burst; ++i) {
        auto socket = std::make_shared<QTcpSocket>();
        QObject::connect(socket.get(), &QTcpSocket::readyRead,
                         [&answers, i, s = socket.get()] { answers[i] += s->readAll(); });
        socket->connectToHost(u"127.0.0.1"_s, port);
        socket->write(Post(forms[i]));
        sockets << socket;
    }
    auto answered = [&answers] {
        return int(std::count_if(answers.begin(), answers.end(),
                                 [](const QByteArray &a) { return a.startsWith("HTTP/1.1 303"); }));
    };
    // Killed as soon as the first answers arrive, with most of the burst still on its way.
    QElapsedTimer clock;
    clock.start();
    while (answered() < 5 && clock.elapsed() < 20'000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    service.kill();
    service.waitForFinished();
    QCoreApplication::processEvents();

    QProcess restarted;
    const quint16 again = start(restarted);
    QVERIFY(again != 0);
    QByteArray stored;
    for (int page = 1; page <= (Burst + 99) / 100; ++page)
        stored += Send(again,
                       Get("/api/servers/1/reports?per_page=100&page=" + QByteArray::number(page)))
                      .body;
    for (int i = 0; i < Burst; ++i) {
        if (answers[i].startsWith("HTTP/1.1 303"))
            QVERIFY2(stored.contains("\"Speed\":" + QByteArray::number(5000 + i)),
                     qPrintable(QString::number(i)));
    }
    qInfo("%d of %d reports had their answer when the service was killed; %lld stored", answered(),
          Burst, stored.count("\"Speed\":5"));
    restarted.terminate();
    restarted.waitForFinished();
}

QTEST_GUILESS_MAIN(TestReportd)
#include "tst_reportd.moc"
