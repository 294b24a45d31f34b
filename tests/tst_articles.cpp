// The article speed measurement: one connection's reading of exact pieces, the sweep against
// a server that serves many connections at once, and the reports' article lines.
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <sys/socket.h>

#include "engine/articlefetcher.h"
#include "engine/articlesweep.h"
#include "engine/articlewalk.h"
#include "engine/benchmarkrun.h"
#include "engine/bodyend.h"
#include "engine/clientsocket.h"
#include "engine/connection.h"
#include "engine/plainstream.h"
#include "report/articlereport.h"
#include "tests/support/fakearticleserver.h"
#include "tests/support/fakeserver.h"

namespace {

using Pieces = QList<QByteArray>;

// What a sweep row sets on the server and the sweep.
struct SweepCase
{
    int maxConnections = 1;
    int stepMs = 250;
    qint64 byteCap = ArticleSweepSettings::DefaultByteCap;
    qint64 last = 1000;
    QByteArray group = "alt.binaries.test";
    int serverLimit = 0;
    QByteArray refusal = "502 too many connections\r\n";
    QSet<qint64> missing = {};
    int closeInBody = 0;
    qint64 pace = 0;
    qint64 totalPace = 0;
    bool auth = false;
    bool tls = false;
    int stopInStep = 0; // the connections of the step the user stops, 150 ms after its start
};

// Runs the event loop as a run does, sleeping until the next event, so that a FakeServer
// sends its pieces one at a time; false when the condition did not come true in time.
bool pumpUntil(const std::function<bool()> &done, int limitMs = 5000)
{
    QTimer limit;
    limit.setSingleShot(true);
    limit.start(limitMs);
    while (!done()) {
        if (!limit.isActive())
            return false;
        Connection::pump();
    }
    return true;
}

} // namespace

Q_DECLARE_METATYPE(SweepCase)
Q_DECLARE_METATYPE(SweepEnd)
Q_DECLARE_METATYPE(ArticleSweepResult)

class TestArticles : public QObject
{
    Q_OBJECT

private slots:
    void walk_data();
    void walk();
    void chooseGroup_data();
    void chooseGroup();
    void bodyEnd_data();
    void bodyEnd();
    void fetcherPieces_data();
    void fetcherPieces();
    void plainStream();
    void sweep_data();
    void sweep();
    void report_data();
    void report();
};

void TestArticles::walk_data()
{
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<QList<bool>>("answers"); // found or missing, one per number taken
    QTest::addColumn<QList<qint64>>("numbers");
    QTest::addColumn<bool>("exhausted");

    auto row = [](const char *name, qint64 first, qint64 last, const QList<bool> &answers,
                  const QList<qint64> &numbers, bool exhausted = false) {
        QTest::newRow(name) << first << last << answers << numbers << exhausted;
    };
    row("walks down from the last number", 5, 8, {true, true}, {8, 7, 6});
    row("wraps to the top after the first number", 5, 6, {true, false, true}, {6, 5, 6, 5});
    row("a pass of missing articles exhausts it", 1, 2, {false, false}, {2, 1}, true);
    row("a found article starts the count again", 1, 2, {false, true, false}, {2, 1, 2, 1});
    row("number 0 is never asked for", 0, 1, {true, true}, {1, 1, 1});
    row("an empty group has nothing", 10, 9, {}, {});
}

void TestArticles::walk()
{
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(QList<bool>, answers);
    QFETCH(QList<qint64>, numbers);
    QFETCH(bool, exhausted);

    ArticleWalk walk;
    walk.reset(first, last);
    QList<qint64> taken;
    for (int i = 0; i < numbers.size() + 1; ++i) {
        const std::optional<qint64> number = walk.next();
        if (!number)
            break;
        taken.append(*number);
        if (i < answers.size())
            walk.answered(answers[i]);
        if (taken.size() == numbers.size())
            break;
    }
    QCOMPARE(taken, numbers);
    QCOMPARE(walk.exhausted(), exhausted);
    QCOMPARE(walk.asked(), qint64(qMin(answers.size(), numbers.size())));
}

void TestArticles::chooseGroup_data()
{
    QTest::addColumn<QList<GroupEntry>>("ab"); // in ABPE
    QTest::addColumn<QList<GroupEntry>>("as"); // in AS
    QTest::addColumn<bool>("withFallback");
    QTest::addColumn<QByteArray>("chosen"); // empty: none

    const auto entry = [](const char *name, qint64 first, qint64 last) {
        return GroupEntry{name, {RangeEstimate(first, last), first, last}};
    };
    QTest::newRow("the largest range of all hierarchies")
        << QList<GroupEntry>{entry("a.small", 1, 10), entry("a.big", 100, 5000)}
        << QList<GroupEntry>{entry("s.mid", 1, 3000)} << true << QByteArray("a.big");
    QTest::newRow("a group without articles is passed over")
        << QList<GroupEntry>{entry("a.empty", 10, 9)} << QList<GroupEntry>{entry("s.one", 4, 4)}
        << true << QByteArray("s.one");
    QTest::newRow("none with articles: the whole list's largest")
        << QList<GroupEntry>{entry("a.empty", 1, 0)} << QList<GroupEntry>{} << true
        << QByteArray("misc.largest");
    QTest::newRow("none anywhere")
        << QList<GroupEntry>{} << QList<GroupEntry>{} << false << QByteArray();
}

void TestArticles::chooseGroup()
{
    QFETCH(QList<GroupEntry>, ab);
    QFETCH(QList<GroupEntry>, as);
    QFETCH(bool, withFallback);
    QFETCH(QByteArray, chosen);

    HierarchyGroups groups;
    groups[ABPE].assign(ab.begin(), ab.end());
    groups[AS].assign(as.begin(), as.end());
    std::optional<GroupEntry> fallback;
    if (withFallback)
        fallback = GroupEntry{"misc.largest", {RangeEstimate(1, 90000), 1, 90000}};
    const std::optional<GroupEntry> group = ChooseArticleGroup(groups, fallback);
    QCOMPARE(group ? group->name : QByteArray(), chosen);
}

void TestArticles::bodyEnd_data()
{
    QTest::addColumn<QByteArray>("data");
    const QByteArray end = "\r\n.\r\n";
    const QByteArray a200(200, 'a');
    QTest::newRow("no dot") << QByteArray(300, 'a');
    QTest::newRow("a dot in every byte") << QByteArray(300, '.');
    QTest::newRow("an end first") << end + a200;
    QTest::newRow("an end last") << a200 + end;
    QTest::newRow("an end across a block's edge") << QByteArray(62, 'a') + end + a200;
    QTest::newRow("stuffed lines and near ends before the end")
        << "x\r\n..\r\n.x\r\n\n.\r\n\r.\r\n\r\n.\n\r\n.\r\r\n" + QByteArray(70, '.') + end
            + "..\r\n" + end;
}

// Every start in the first 70 bytes and every length: each byte meets every place in a
// 64-byte block and the end of the data. Every way of scanning, against a plain search.
void TestArticles::bodyEnd()
{
    QFETCH(QByteArray, data);
    const std::vector<BodyEndScanner> scanners = BodyEndScanners();
    for (qsizetype from = 0; from < qMin<qsizetype>(70, data.size()); ++from) {
        for (qsizetype to = from; to <= data.size(); ++to) {
            const QByteArrayView part = QByteArrayView(data).sliced(from, to - from);
            const qsizetype expected = part.indexOf(QByteArrayView("\r\n.\r\n"));
            for (std::size_t i = 0; i < scanners.size(); ++i) {
                const qsizetype found = scanners[i](part.data(), part.size());
                if (found != expected)
                    QFAIL(qPrintable(QStringLiteral("scanner %1, bytes %2 to %3: %4, not %5")
                                         .arg(i)
                                         .arg(from)
                                         .arg(to)
                                         .arg(found)
                                         .arg(expected)));
            }
        }
    }
    QCOMPARE(FindBodyEnd(data.constData(), data.size()), data.indexOf(QByteArrayView("\r\n.\r\n")));
}

void TestArticles::fetcherPieces_data()
{
    QTest::addColumn<Pieces>("body"); // the answer to BODY 3
    QTest::addColumn<bool>("dropped"); // else articles 3 and 1 are found
    auto row = [](const char *name, const Pieces &body, bool dropped = false) {
        QTest::newRow(name) << body << dropped;
    };
    row("status and body in one piece", {"222 3 <a@b>\r\nline\r\n.\r\n"});
    row("terminator split after its CR", {"222 3 <a@b>\r\nline\r\n.\r", "\n"});
    row("an empty body after the status line's piece", {"222 3 <a@b>\r\n", ".\r\n"});
    row("terminator in five pieces", {"222 3 <a@b>\r\nx", "\r", "\n", ".", "\r", "\n"});
    row("a line of a dot and more ends nothing, split or not",
        {"222 3 <a@b>\r\nx\r\n.", "x\r\n.\r", "\n"});
    row("status line split in the middle", {"222 3 <a", "@b>\r\nline\r\n.\r\n"});
    row("a dot-stuffed line ends nothing", {"222 3 <a@b>\r\n..\r\n", "..\r", "\n.x\r\n.\r\n"});
    row("a line past the limit drops the connection",
        {"222 3 <a@b>\r\n", QByteArray(ArticleFetcher::MaxLineLength / 2, 'x'),
         QByteArray(ArticleFetcher::MaxLineLength / 2 + 2, 'x')},
        true);
}

void TestArticles::fetcherPieces()
{
    QFETCH(Pieces, body);
    QFETCH(bool, dropped);

    FakeServer server;
    server.greeting("200 ready\r\n");
    server.expect("GROUP alt.test", "211 3 1 3 alt.test\r\n");
    server.expect("BODY 3", body);
    server.expect("BODY 2", "430 gone\r\n");
    server.expect("BODY 1", "222 1 <c@d>\r\n.\r\n");
    // From the top again, all missing now: a whole pass of them ends the walk.
    server.setHandler([](FakeServer &server, const QByteArray &command) {
        if (command != "QUIT") {
            server.send("423 gone now\r\n");
            return;
        }
        server.send("205 bye\r\n");
        server.closeClient();
    });

    ArticleWalk walk;
    walk.reset(1, 3);
    ArticleSource source;
    source.host = QStringLiteral("127.0.0.1");
    source.port = server.port();
    source.group = "alt.test";
    ArticleFetcher fetcher(source, walk, 0);
    fetcher.start();
    fetcher.setFetching(true);
    QVERIFY2(pumpUntil([&] {
                 return walk.exhausted() || fetcher.state() == ArticleFetcher::State::Closed;
             }),
             server.commands.join(" | ").constData());
    fetcher.quit();
    QVERIFY(pumpUntil([&] { return fetcher.state() == ArticleFetcher::State::Closed; }));
    QCOMPARE(walk.found(), qint64(dropped ? 0 : 2));
    QCOMPARE(fetcher.end(), dropped ? ArticleFetcher::End::Failed : ArticleFetcher::End::Closed);
    if (!dropped) {
        QVERIFY(server.scriptDone());
        QVERIFY2(server.mismatches.isEmpty(), server.mismatches.join(" | ").constData());
        QCOMPARE(server.commands.last(), QByteArray("QUIT"));
    }
}

// A plain connection handed over from ClientSocket: what Qt had received comes along, the
// connection outlives Qt's socket, a send larger than the socket takes arrives whole and in
// order, and the peer's close and reset are told apart.
void TestArticles::plainStream()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    ClientSocket client;
    client.setHost(QStringLiteral("127.0.0.1"));
    client.setPort(server.serverPort());
    client.open();
    QVERIFY(pumpUntil([&] { return client.isConnected() && server.hasPendingConnections(); }));
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    peer->write("before\r\n");
    QVERIFY(pumpUntil([&] { return client.receiveLength() > 0; }));
    QByteArray pending;
    PlainStream stream;
    stream.adopt(client.takeDescriptor(pending));
    QVERIFY(stream.isOpen());
    QCOMPARE(pending, QByteArray("before\r\n"));
    QVERIFY(!client.isOpen());

    QByteArray received;
    const auto receiveAll = [&] {
        QByteArrayView block;
        PlainStream::Outcome outcome;
        while ((outcome = stream.receive(block)) == PlainStream::Outcome::Data)
            received += block;
        return outcome;
    };
    peer->write("after\r\n");
    QVERIFY(pumpUntil([&] {
        receiveAll();
        return received == "after\r\n";
    }));
    QCOMPARE(receiveAll(), PlainStream::Outcome::Nothing);

    QByteArray big(16 * 1024 * 1024, '\0');
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 / 5);
    stream.send(big);
    QByteArray arrived;
    QVERIFY(pumpUntil(
        [&] {
            arrived += peer->readAll();
            return arrived.size() >= big.size();
        },
        20000));
    QVERIFY(arrived == big);

    peer->disconnectFromHost();
    QVERIFY(pumpUntil([&] { return receiveAll() == PlainStream::Outcome::Closed; }));

    // A reset: the peer closes with data unread, or with a zero linger.
    stream.close();
    QVERIFY(!stream.isOpen());
    client.open();
    QVERIFY(pumpUntil([&] { return client.isConnected() && server.hasPendingConnections(); }));
    peer.reset(server.nextPendingConnection());
    stream.adopt(client.takeDescriptor(pending));
    const linger abrupt{1, 0};
    QCOMPARE(
        setsockopt(int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt),
        0);
    peer->abort();
    QVERIFY(pumpUntil([&] { return receiveAll() == PlainStream::Outcome::Failed; }));
}

void TestArticles::sweep_data()
{
    QTest::addColumn<SweepCase>("c");
    QTest::addColumn<SweepEnd>("end");
    QTest::addColumn<QList<int>>("steps"); // the last complete one is the knee's or accepted
    auto row = [](const char *name, const SweepCase &c, SweepEnd end, const QList<int> &steps) {
        QTest::newRow(name) << c << end << steps;
    };
    // Each connection gets 1.2 MB/s, all of them together 2 MB/s: 4 gain nothing over 2.
    row("the knee: 4 connections gain nothing over 2",
        {.maxConnections = 8, .stepMs = 400, .pace = 1200000, .totalPace = 2000000}, SweepEnd::Knee,
        {1, 2, 4});
    row("speed grows to the maximum: no knee", {.maxConnections = 4, .stepMs = 400, .pace = 500000},
        SweepEnd::Maximum, {1, 2, 4});
    row("a maximum between powers of two is a step of its own",
        {.maxConnections = 3, .stepMs = 400, .pace = 500000}, SweepEnd::Maximum, {1, 2, 3});
    row("the third connection refused: 2 accepted",
        {.maxConnections = 8, .serverLimit = 2, .pace = 500000}, SweepEnd::Refused, {1, 2});
    row("the first connection refused", {.maxConnections = 8, .serverLimit = -1}, SweepEnd::Refused,
        {});
    row("400 at the greeting of the second connection",
        {.maxConnections = 4, .serverLimit = 1, .refusal = "400 busy\r\n", .pace = 500000},
        SweepEnd::Refused, {1});
    row("the second connection closed without a word",
        {.maxConnections = 4, .serverLimit = 1, .refusal = "", .pace = 500000}, SweepEnd::Refused,
        {1});
    row("the server closes in the middle of a body",
        {.maxConnections = 2, .stepMs = 1000, .closeInBody = 2, .pace = 500000},
        SweepEnd::ConnectionLost, {1});
    row("the byte cap ends the sweep", {.maxConnections = 4, .stepMs = 10000, .byteCap = 300000},
        SweepEnd::ByteCap, {1});
    row("a step the byte cap ended after a while still gives the speed",
        {.maxConnections = 4, .stepMs = 10000, .byteCap = 300000, .pace = 500000},
        SweepEnd::ByteCap, {1});
    row("missing articles are counted and passed",
        {.last = 30, .missing = {30, 29, 27, 20, 19, 18}}, SweepEnd::Maximum, {1});
    row("no article at all in the group",
        {.maxConnections = 2, .last = 6, .missing = {1, 2, 3, 4, 5, 6}}, SweepEnd::NoArticles, {1});
    row("the group refused", {.group = "alt.nowhere"}, SweepEnd::Failed, {});
    row("with a user and password", {.maxConnections = 2, .pace = 500000, .auth = true},
        SweepEnd::Maximum, {1, 2});
    row("over TLS", {.maxConnections = 2, .pace = 500000, .tls = true}, SweepEnd::Maximum, {1, 2});
    // An article takes a fifth of a second: the stop comes within one.
    row("stopped in the first step",
        {.maxConnections = 8, .stepMs = 400, .pace = 300000, .stopInStep = 1}, SweepEnd::Stopped,
        {1});
    row("stopped in the third step, four connections in a body",
        {.maxConnections = 8, .stepMs = 400, .pace = 300000, .stopInStep = 4}, SweepEnd::Stopped,
        {1, 2, 4});
}

void TestArticles::sweep()
{
    QFETCH(SweepCase, c);
    QFETCH(SweepEnd, end);
    QFETCH(QList<int>, steps);

    FakeArticleServer server(c.tls);
    server.maxConnections = c.serverLimit;
    server.refusal = c.refusal;
    server.missing = c.missing;
    server.closeInBody = c.closeInBody;
    server.bytesPerSecond = c.pace;
    server.totalBytesPerSecond = c.totalPace;
    server.last = c.last;
    ArticleSweepSettings settings;
    settings.source.host = QStringLiteral("127.0.0.1");
    settings.source.port = server.port();
    settings.source.tls = c.tls;
    if (c.tls)
        settings.source.trustedAuthorities = FakeServer::testAuthority();
    if (c.auth) {
        settings.source.user = server.user = "reader";
        settings.source.password = server.password = "secret";
    }
    settings.source.group = c.group;
    settings.source.first = 1;
    settings.source.last = c.last;
    settings.maxConnections = c.maxConnections;
    settings.stepMs = c.stepMs;
    settings.byteCap = c.byteCap;
    ArticleSweep sweep;
    sweep.stepStarted = [&](int connections) {
        if (connections == c.stopInStep)
            QTimer::singleShot(150, [&] { sweep.stop(); });
    };
    const ArticleSweepResult result = sweep.run(settings);

    QList<int> counts;
    for (const ArticleStep &step : result.steps) {
        // The figures, for a row that fails on a busy machine.
        qDebug("%d connections: %lld bytes/s over %lld us", step.connections,
               static_cast<long long>(step.bytesPerSecond), static_cast<long long>(step.elapsedUs));
        counts.append(step.connections);
        // What a step says of its bytes holds together.
        QVERIFY(step.elapsedUs > 0);
        QCOMPARE(step.bytesPerSecond, ::BytesPerSecond(step.bytes, step.elapsedUs));
        QVERIFY(step.bytes <= result.totalBytes);
    }
    QCOMPARE(result.end, end);
    QCOMPARE(counts, steps);
    const int most = steps.isEmpty() ? 0 : steps.last();
    QCOMPARE(result.knee, end == SweepEnd::Knee ? most : 0);
    QCOMPARE(result.acceptedConnections, most);
    QCOMPARE(result.refusedMore, end == SweepEnd::Refused);
    QCOMPARE(result.stoppedByUser, end == SweepEnd::Stopped);
    QCOMPARE(result.stoppedByCap, end == SweepEnd::ByteCap);
    // A step cut short says so; one the byte cap ended after a while still measured the speed.
    if (end == SweepEnd::Stopped || end == SweepEnd::ConnectionLost)
        QVERIFY(!result.steps.back().complete);
    if (end == SweepEnd::ByteCap) {
        const ArticleStep &last = result.steps.back();
        QCOMPARE(last.complete, last.elapsedUs >= ArticleSweep::MinCappedStepUs);
        QCOMPARE(result.bestBytesPerSecond, last.complete ? last.bytesPerSecond : 0);
    }
    // Never more connections at once than a step needs; a stop leaves no more behind.
    QVERIFY2(server.mostOpenAtOnce() <= qMax(most, 1) * (end == SweepEnd::Refused ? 2 : 1),
             QByteArray::number(server.mostOpenAtOnce()).constData());
    if (c.stopInStep)
        QCOMPARE(int(server.clients().size()), c.stopInStep);
    // Every connection is closed at the server, and every one that was greeted and not
    // dropped by the server said QUIT; nothing was posted.
    QTRY_COMPARE_WITH_TIMEOUT(server.openCount(), 0, 5000);
    for (const auto &client : server.clients()) {
        const QByteArray all = client->commands.join(" | ");
        QVERIFY2(!all.contains("POST") && !all.contains("IHAVE"), all.constData());
        if (client->greeted && !client->dropped)
            QVERIFY2(client->quit, all.constData());
    }

    if (end == SweepEnd::Maximum || end == SweepEnd::Knee) {
        QVERIFY(result.bestBytesPerSecond > 0);
        QVERIFY(result.greetingUs >= 0);
        QVERIFY(result.statUs >= 0);
        QVERIFY(result.articlesFound > 0);
    }
    if (end == SweepEnd::Failed)
        QVERIFY2(result.failureReply.startsWith("411"), result.failureReply.constData());
    // Stopped at the next read: at most one article more on each connection.
    if (end == SweepEnd::ByteCap)
        QVERIFY(result.totalBytes >= c.byteCap
                && result.totalBytes < c.byteCap + 4 * (server.articleSize + 1024));
    if (!c.missing.isEmpty()) {
        // Both answers for a missing article (430 for 30, 423 for 29) were met, and the walk
        // went past them; each one asked for counts as asked and not found.
        const QList<QByteArray> &commands = server.clients().front()->commands;
        if (end == SweepEnd::Maximum) {
            for (const char *command : {"BODY 30", "BODY 29", "BODY 28", "BODY 17"})
                QVERIFY2(commands.contains(command), command);
        } else {
            QCOMPARE(result.articlesFound, 0);
        }
        const auto missingAsked = std::count_if(commands.begin(), commands.end(), [&](auto &x) {
            return x.startsWith("BODY ") && c.missing.contains(x.mid(5).toLongLong());
        });
        QCOMPARE(result.articlesAsked - result.articlesFound, qint64(missingAsked));
    }
}

namespace {

ArticleSweepResult sampleResult()
{
    ArticleSweepResult r;
    r.steps = {{1, 5000000, 5000000, 1000000, true},
               {2, 9000000, 5000000, 1800000, true},
               {4, 9200000, 5000000, 1840000, true}};
    r.bestBytesPerSecond = 1840000;
    r.bestConnections = 4;
    r.knee = 4;
    r.acceptedConnections = 4;
    r.greetingUs = 12400;
    r.statUs = 3500;
    r.articlesAsked = 40;
    r.articlesFound = 38;
    r.totalBytes = 23300000;
    r.end = SweepEnd::Knee;
    return r;
}

// The report's lines under its title.
QStringList titled(const QStringList &lines)
{
    return QStringList{QString(), QStringLiteral("記事のダウンロード速度"),
                       QStringLiteral("=======================================")}
    + lines;
}

} // namespace

void TestArticles::report_data()
{
    QTest::addColumn<ArticleSweepResult>("result");
    QTest::addColumn<QByteArray>("query"); // empty: not looked at
    QTest::addColumn<QStringList>("lines"); // with a byte cap of 2,000,000; empty: not looked at
    QTest::addColumn<QByteArray>("json");

    QTest::newRow("a sweep that found its knee")
        << sampleResult()
        << QByteArray("&ArticleSpeed=1840000&ArticleConnections=4&Knee=4&Connections=4"
                      "&MoreRefused=0&GreetingMs=12&StatMs=4&ArticlesAsked=40&ArticlesFound=38"
                      "&ArticleBytes=23300000&ArticleEnd=knee"
                      "&ArticleSteps=1:1000000,2:1800000,4:1840000")
        << titled({QStringLiteral("記事の速度（最大） : 1796.88 kbps（4 接続）"),
                   QStringLiteral("  1 接続 : 976.56 kbps"),
                   QStringLiteral("  2 接続 : 1757.81 kbps"),
                   QStringLiteral("  4 接続 : 1796.88 kbps"),
                   QStringLiteral("速度が伸びなくなる接続数 : 4 接続"),
                   QStringLiteral("受け付けた接続数 : 4 接続"),
                   QStringLiteral("接続から応答まで : 12 ms"),
                   QStringLiteral("STAT の応答時間 : 4 ms"), QStringLiteral("記事の有無 : 38 / 40"),
                   QStringLiteral("計測の終わり : 接続数を増やしても速くならなくなりました")})
        << QByteArray(
               R"({"acceptedConnections":4,"articlesAsked":40,"articlesFound":38,)"
               R"("bestBytesPerSecond":1840000,"bestConnections":4,"end":"knee",)"
               R"("greetingUs":12400,"knee":4,"refusedMore":false,"statUs":3500,"steps":[)"
               R"({"bytes":5000000,"bytesPerSecond":1000000,"complete":true,"connections":1,"elapsedUs":5000000},)"
               R"({"bytes":9000000,"bytesPerSecond":1800000,"complete":true,"connections":2,"elapsedUs":5000000},)"
               R"({"bytes":9200000,"bytesPerSecond":1840000,"complete":true,"connections":4,"elapsedUs":5000000}],)"
               R"("stoppedByCap":false,"stoppedByUser":false,"totalBytes":23300000})");

    ArticleSweepResult stopped = sampleResult();
    stopped.steps.back().complete = false;
    stopped.bestBytesPerSecond = 1800000;
    stopped.bestConnections = 2;
    stopped.knee = 0;
    stopped.stoppedByUser = true;
    stopped.end = SweepEnd::Stopped;
    QTest::newRow("a step cut short is left out of the steps")
        << stopped
        << QByteArray("&ArticleSpeed=1800000&ArticleConnections=2&Knee=0&Connections=4"
                      "&MoreRefused=0&GreetingMs=12&StatMs=4&ArticlesAsked=40&ArticlesFound=38"
                      "&ArticleBytes=23300000&ArticleEnd=stopped&ArticleSteps=1:1000000,2:1800000")
        << QStringList() << QByteArray();

    // What was not measured is null in JSON, not a number.
    ArticleSweepResult refused;
    refused.refusedMore = true;
    refused.end = SweepEnd::Refused;
    QTest::newRow("refused at once: nothing measured")
        << refused
        << QByteArray("&ArticleSpeed=0&ArticleConnections=0&Knee=0&Connections=0"
                      "&MoreRefused=1&GreetingMs=-1&StatMs=-1&ArticlesAsked=0&ArticlesFound=0"
                      "&ArticleBytes=0&ArticleEnd=refused&ArticleSteps=")
        << QStringList()
        << QByteArray(
               R"({"acceptedConnections":0,"articlesAsked":0,"articlesFound":0,)"
               R"("bestBytesPerSecond":0,"bestConnections":0,"end":"refused","greetingUs":null,)"
               R"("knee":null,"refusedMore":true,"statUs":null,"steps":[],"stoppedByCap":false,)"
               R"("stoppedByUser":false,"totalBytes":0})");

    ArticleSweepResult capped;
    capped.steps = {{1, 2000000, 1000000, 2000000, false}};
    capped.acceptedConnections = 1;
    capped.greetingUs = 800;
    capped.statUs = -1;
    capped.articlesAsked = 3;
    capped.articlesFound = 3;
    capped.stoppedByCap = true;
    capped.end = SweepEnd::ByteCap;
    QTest::newRow("stopped by the cap in the first step")
        << capped << QByteArray()
        << titled({QStringLiteral("記事の速度（最大） : -"),
                   QStringLiteral("  1 接続 : 1953.12 kbps（途中まで）"),
                   QStringLiteral("速度が伸びなくなる接続数 : なし"),
                   QStringLiteral("受け付けた接続数 : 1 接続"),
                   QStringLiteral("接続から応答まで : 1 ms"), QStringLiteral("STAT の応答時間 : -"),
                   QStringLiteral("記事の有無 : 3 / 3"),
                   QStringLiteral(
                       "計測の終わり : ダウンロード量の上限（2,000,000 バイト）に達しました")})
        << QByteArray();

    ArticleSweepResult limited = sampleResult();
    limited.steps.pop_back();
    limited.knee = 0;
    limited.bestBytesPerSecond = 1800000;
    limited.bestConnections = 2;
    limited.acceptedConnections = 2;
    limited.refusedMore = true;
    limited.end = SweepEnd::Refused;
    QTest::newRow("the server's limit of connections")
        << limited << QByteArray()
        << titled(
               {QStringLiteral("記事の速度（最大） : 1757.81 kbps（2 接続）"),
                QStringLiteral("  1 接続 : 976.56 kbps"), QStringLiteral("  2 接続 : 1757.81 kbps"),
                QStringLiteral("速度が伸びなくなる接続数 : なし"),
                QStringLiteral("接続数の上限 : 2 接続"), QStringLiteral("接続から応答まで : 12 ms"),
                QStringLiteral("STAT の応答時間 : 4 ms"), QStringLiteral("記事の有無 : 38 / 40"),
                QStringLiteral("計測の終わり : サーバがそれ以上の接続を拒否しました")})
        << QByteArray();
}

void TestArticles::report()
{
    QFETCH(ArticleSweepResult, result);
    QFETCH(QByteArray, query);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, json);
    if (!query.isEmpty())
        QCOMPARE(BuildArticleQuery(result), query);
    if (!lines.isEmpty())
        QCOMPARE(BuildArticleReportLines(result, 2000000), lines);
    if (!json.isEmpty())
        QCOMPARE(QJsonDocument(BuildArticleJson(result)).toJson(QJsonDocument::Compact), json);
}

QTEST_GUILESS_MAIN(TestArticles)
#include "tst_articles.moc"
