// The article speed measurement: one connection's reading of exact pieces, the sweep against
// a server that serves many connections at once, and the reports' article lines.
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QTimer>

#include "engine/articlefetcher.h"
#include "engine/articlesweep.h"
#include "engine/articlewalk.h"
#include "engine/benchmarkrun.h"
#include "engine/connection.h"
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
    qint64 first = 1;
    qint64 last = 1000;
    QByteArray group = "alt.binaries.test";
    int serverLimit = 0;
    QByteArray refusal = "502 too many connections\r\n";
    QSet<qint64> missing;
    int closeInBody = 0;
    qint64 pace = 0;
    qint64 totalPace = 0;
    bool auth = false;
    bool tls = false;
};

ArticleSweepSettings settingsFor(const FakeArticleServer &server, const SweepCase &c)
{
    ArticleSweepSettings settings;
    settings.source.host = QStringLiteral("127.0.0.1");
    settings.source.port = server.port();
    settings.source.tls = c.tls;
    if (c.tls)
        settings.source.trustedAuthorities = FakeServer::testAuthority();
    if (c.auth) {
        settings.source.user = "reader";
        settings.source.password = "secret";
    }
    settings.source.group = c.group;
    settings.source.first = c.first;
    settings.source.last = c.last;
    settings.maxConnections = c.maxConnections;
    settings.stepMs = c.stepMs;
    settings.byteCap = c.byteCap;
    return settings;
}

void configure(FakeArticleServer &server, const SweepCase &c)
{
    server.maxConnections = c.serverLimit;
    server.refusal = c.refusal;
    server.missing = c.missing;
    server.closeInBody = c.closeInBody;
    server.bytesPerSecond = c.pace;
    server.totalBytesPerSecond = c.totalPace;
    server.first = 1;
    server.last = c.last;
    if (c.auth) {
        server.user = "reader";
        server.password = "secret";
    }
}

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

QList<int> stepConnections(const ArticleSweepResult &result)
{
    QList<int> counts;
    for (const ArticleStep &step : result.steps)
        counts.append(step.connections);
    return counts;
}

// Every connection is closed at the server, and every one that was greeted and not dropped
// by the server said QUIT; nothing was posted.
void checkGoodbyes(const FakeArticleServer &server)
{
    QTRY_COMPARE_WITH_TIMEOUT(server.openCount(), 0, 5000);
    for (const auto &client : server.clients()) {
        for (const QByteArray &command : client->commands) {
            QVERIFY2(!command.startsWith("POST") && !command.startsWith("IHAVE"),
                     command.constData());
        }
        if (client->greeted && !client->dropped)
            QVERIFY2(client->quit, client->commands.join(" | ").constData());
    }
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
    void fetcherPieces_data();
    void fetcherPieces();
    void sweep_data();
    void sweep();
    void stopDuringStep_data();
    void stopDuringStep();
    void reportQuery_data();
    void reportQuery();
    void reportLines_data();
    void reportLines();
    void reportJson();
};

void TestArticles::walk_data()
{
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<QList<bool>>("answers"); // found or missing, one per number taken
    QTest::addColumn<QList<qint64>>("numbers");
    QTest::addColumn<bool>("exhausted");

    QTest::newRow("walks down from the last number")
        << 5LL << 8LL << QList<bool>{true, true} << QList<qint64>{8, 7, 6} << false;
    QTest::newRow("wraps to the top after the first number")
        << 5LL << 6LL << QList<bool>{true, false, true} << QList<qint64>{6, 5, 6, 5} << false;
    QTest::newRow("a pass of missing articles exhausts it")
        << 1LL << 2LL << QList<bool>{false, false} << QList<qint64>{2, 1} << true;
    QTest::newRow("a found article starts the count again")
        << 1LL << 2LL << QList<bool>{false, true, false} << QList<qint64>{2, 1, 2, 1} << false;
    QTest::newRow("number 0 is never asked for")
        << 0LL << 1LL << QList<bool>{true, true} << QList<qint64>{1, 1, 1} << false;
    QTest::newRow("an empty group has nothing")
        << 10LL << 9LL << QList<bool>{} << QList<qint64>{} << false;
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

void TestArticles::fetcherPieces_data()
{
    QTest::addColumn<Pieces>("body"); // the answer to BODY 3
    QTest::addColumn<qint64>("found");
    QTest::addColumn<bool>("dropped");

    QTest::newRow("status and body in one piece")
        << Pieces{"222 3 <a@b>\r\nline\r\n.\r\n"} << 2LL << false;
    QTest::newRow("terminator split after its CR")
        << Pieces{"222 3 <a@b>\r\nline\r\n.\r", "\n"} << 2LL << false;
    QTest::newRow("terminator split before its dot")
        << Pieces{"222 3 <a@b>\r\nline\r\n", ".\r\n"} << 2LL << false;
    QTest::newRow("an empty body") << Pieces{"222 3 <a@b>\r\n.\r\n"} << 2LL << false;
    QTest::newRow("an empty body after the status line's piece")
        << Pieces{"222 3 <a@b>\r\n", ".\r\n"} << 2LL << false;
    QTest::newRow("terminator in five pieces")
        << Pieces{"222 3 <a@b>\r\nx", "\r", "\n", ".", "\r", "\n"} << 2LL << false;
    QTest::newRow("a line of a dot and more ends nothing, split or not")
        << Pieces{"222 3 <a@b>\r\nx\r\n.", "x\r\n.\r", "\n"} << 2LL << false;
    QTest::newRow("status line split in the middle")
        << Pieces{"222 3 <a", "@b>\r\nline\r\n.\r\n"} << 2LL << false;
    QTest::newRow("a dot-stuffed line ends nothing")
        << Pieces{"222 3 <a@b>\r\n..\r\n", "..\r", "\n.x\r\n.\r\n"} << 2LL << false;
    QTest::newRow("a line past the limit drops the connection")
        << Pieces{"222 3 <a@b>\r\n", QByteArray(ArticleFetcher::MaxLineLength / 2, 'x'),
                  QByteArray(ArticleFetcher::MaxLineLength / 2 + 2, 'x')}
        << 0LL << true;
}

void TestArticles::fetcherPieces()
{
    QFETCH(Pieces, body);
    QFETCH(qint64, found);
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
    QCOMPARE(walk.found(), found);
    QCOMPARE(fetcher.end(), dropped ? ArticleFetcher::End::Failed : ArticleFetcher::End::Closed);
    if (!dropped) {
        QVERIFY(server.scriptDone());
        QVERIFY2(server.mismatches.isEmpty(), server.mismatches.join(" | ").constData());
        QCOMPARE(server.commands.last(), QByteArray("QUIT"));
    }
}

void TestArticles::sweep_data()
{
    QTest::addColumn<SweepCase>("c");
    QTest::addColumn<SweepEnd>("end");
    QTest::addColumn<QList<int>>("steps");
    QTest::addColumn<int>("knee");
    QTest::addColumn<int>("accepted");
    QTest::addColumn<bool>("refusedMore");

    SweepCase c;
    // Each connection gets 1.2 MB/s, all of them together 2 MB/s: 4 gain nothing over 2.
    c.maxConnections = 8;
    c.stepMs = 400;
    c.pace = 1200000;
    c.totalPace = 2000000;
    QTest::newRow("the knee: 4 connections gain nothing over 2")
        << c << SweepEnd::Knee << QList<int>{1, 2, 4} << 4 << 4 << false;

    c = {};
    c.maxConnections = 4;
    c.stepMs = 400;
    c.pace = 500000;
    QTest::newRow("speed grows to the maximum: no knee")
        << c << SweepEnd::Maximum << QList<int>{1, 2, 4} << 0 << 4 << false;

    c = {};
    c.maxConnections = 3;
    c.stepMs = 400;
    c.pace = 500000;
    QTest::newRow("a maximum between powers of two is a step of its own")
        << c << SweepEnd::Maximum << QList<int>{1, 2, 3} << 0 << 3 << false;

    c = {};
    c.maxConnections = 8;
    c.pace = 500000;
    c.serverLimit = 2;
    QTest::newRow("the third connection refused: 2 accepted")
        << c << SweepEnd::Refused << QList<int>{1, 2} << 0 << 2 << true;

    c = {};
    c.maxConnections = 8;
    c.serverLimit = -1; // every connection
    QTest::newRow("the first connection refused")
        << c << SweepEnd::Refused << QList<int>{} << 0 << 0 << true;

    c = {};
    c.maxConnections = 4;
    c.pace = 500000;
    c.serverLimit = 1;
    c.refusal = "400 busy, come back later\r\n";
    QTest::newRow("400 at the greeting of the second connection")
        << c << SweepEnd::Refused << QList<int>{1} << 0 << 1 << true;

    c = {};
    c.maxConnections = 4;
    c.pace = 500000;
    c.serverLimit = 1;
    c.refusal = "";
    QTest::newRow("the second connection closed without a word")
        << c << SweepEnd::Refused << QList<int>{1} << 0 << 1 << true;

    c = {};
    c.maxConnections = 2;
    c.pace = 500000;
    c.closeInBody = 2;
    c.stepMs = 1000;
    QTest::newRow("the server closes in the middle of a body")
        << c << SweepEnd::ConnectionLost << QList<int>{1} << 0 << 1 << false;

    c = {};
    c.maxConnections = 4;
    c.byteCap = 300000;
    c.stepMs = 10000;
    QTest::newRow("the byte cap ends the sweep")
        << c << SweepEnd::ByteCap << QList<int>{1} << 0 << 1 << false;

    c = {};
    c.maxConnections = 4;
    c.pace = 500000;
    c.byteCap = 300000;
    c.stepMs = 10000;
    QTest::newRow("a step the byte cap ended after a while still gives the speed")
        << c << SweepEnd::ByteCap << QList<int>{1} << 0 << 1 << false;

    c = {};
    c.maxConnections = 1;
    c.last = 30;
    c.missing = {30, 29, 27, 20, 19, 18};
    QTest::newRow("missing articles are counted and passed")
        << c << SweepEnd::Maximum << QList<int>{1} << 0 << 1 << false;

    c = {};
    c.maxConnections = 2;
    c.last = 6;
    c.missing = {1, 2, 3, 4, 5, 6};
    QTest::newRow("no article at all in the group")
        << c << SweepEnd::NoArticles << QList<int>{1} << 0 << 1 << false;

    c = {};
    c.group = "alt.nowhere";
    QTest::newRow("the group refused") << c << SweepEnd::Failed << QList<int>{} << 0 << 0 << false;

    c = {};
    c.maxConnections = 2;
    c.pace = 500000;
    c.auth = true;
    QTest::newRow("with a user and password")
        << c << SweepEnd::Maximum << QList<int>{1, 2} << 0 << 2 << false;

    c = {};
    c.maxConnections = 2;
    c.pace = 500000;
    c.tls = true;
    QTest::newRow("over TLS") << c << SweepEnd::Maximum << QList<int>{1, 2} << 0 << 2 << false;
}

void TestArticles::sweep()
{
    QFETCH(SweepCase, c);
    QFETCH(SweepEnd, end);
    QFETCH(QList<int>, steps);
    QFETCH(int, knee);
    QFETCH(int, accepted);
    QFETCH(bool, refusedMore);

    FakeArticleServer server(c.tls);
    configure(server, c);
    ArticleSweep sweep;
    const ArticleSweepResult result = sweep.run(settingsFor(server, c));

    // The figures, for a row that fails on a busy machine.
    for (const ArticleStep &step : result.steps)
        qDebug("%d connections: %lld bytes/s over %lld us", step.connections,
               static_cast<long long>(step.bytesPerSecond), static_cast<long long>(step.elapsedUs));
    QCOMPARE(result.end, end);
    QCOMPARE(stepConnections(result), steps);
    QCOMPARE(result.knee, knee);
    QCOMPARE(result.acceptedConnections, accepted);
    QCOMPARE(result.refusedMore, refusedMore);
    // Never more connections at once than a step needs.
    const int most = steps.isEmpty() ? 1 : qMax(steps.last(), 1);
    QVERIFY2(server.mostOpenAtOnce() <= (end == SweepEnd::Refused ? most * 2 : most),
             QByteArray::number(server.mostOpenAtOnce()).constData());
    checkGoodbyes(server);

    // What a complete step says of its bytes holds together.
    for (const ArticleStep &step : result.steps) {
        QVERIFY(step.elapsedUs > 0);
        QCOMPARE(step.bytesPerSecond, ::BytesPerSecond(step.bytes, step.elapsedUs));
        QVERIFY(step.bytes <= result.totalBytes);
    }
    if (end == SweepEnd::Maximum || end == SweepEnd::Knee) {
        QVERIFY(result.bestBytesPerSecond > 0);
        QVERIFY(result.greetingUs >= 0);
        QVERIFY(result.statUs >= 0);
        QVERIFY(result.articlesFound > 0);
    }
    if (end == SweepEnd::Failed)
        QVERIFY2(result.failureReply.startsWith("411"), result.failureReply.constData());
    if (end == SweepEnd::ByteCap) {
        QVERIFY(result.stoppedByCap);
        QVERIFY(result.totalBytes >= c.byteCap);
        // Stopped at the next read: at most one article more on each connection.
        QVERIFY(result.totalBytes < c.byteCap + 4 * (server.articleSize + 1024));
        const ArticleStep &last = result.steps.back();
        QCOMPARE(last.complete, last.elapsedUs >= ArticleSweep::MinCappedStepUs);
        QCOMPARE(result.bestBytesPerSecond, last.complete ? last.bytesPerSecond : 0);
    }
    if (end == SweepEnd::ConnectionLost)
        QVERIFY(!result.steps.back().complete);
    if (!c.missing.isEmpty()) {
        QVERIFY(result.articlesAsked > result.articlesFound);
        // Both answers for a missing article were met, and the walk went past them.
        QStringList commands;
        for (const QByteArray &command : server.clients().front()->commands)
            commands.append(QString::fromLatin1(command));
        if (end == SweepEnd::Maximum) {
            QVERIFY(commands.contains(QStringLiteral("BODY 30"))); // 430
            QVERIFY(commands.contains(QStringLiteral("BODY 29"))); // 423
            QVERIFY(commands.contains(QStringLiteral("BODY 28")));
            QVERIFY(commands.contains(QStringLiteral("BODY 17")));
        } else {
            QCOMPARE(result.articlesFound, 0);
        }
        qint64 missingAsked = 0;
        for (const QString &command : std::as_const(commands)) {
            if (command.startsWith(QStringLiteral("BODY "))
                && c.missing.contains(command.mid(5).toLongLong()))
                ++missingAsked;
        }
        QCOMPARE(result.articlesAsked - result.articlesFound, missingAsked);
    }
}

void TestArticles::stopDuringStep_data()
{
    QTest::addColumn<int>("step"); // the connections of the step that is stopped
    QTest::addColumn<int>("afterMs"); // after its start

    QTest::newRow("in the first step") << 1 << 150;
    QTest::newRow("in the third step, four connections in a body") << 4 << 150;
}

void TestArticles::stopDuringStep()
{
    QFETCH(int, step);
    QFETCH(int, afterMs);

    SweepCase c;
    c.maxConnections = 8;
    c.stepMs = 400;
    c.pace = 300000; // an article takes a fifth of a second: the stop comes within one
    FakeArticleServer server;
    configure(server, c);
    ArticleSweep sweep;
    sweep.stepStarted = [&](int connections) {
        if (connections == step)
            QTimer::singleShot(afterMs, [&] { sweep.stop(); });
    };
    const ArticleSweepResult result = sweep.run(settingsFor(server, c));
    QCOMPARE(result.end, SweepEnd::Stopped);
    QVERIFY(result.stoppedByUser);
    QCOMPARE(result.steps.back().connections, step);
    QVERIFY(!result.steps.back().complete);
    QCOMPARE(int(server.clients().size()), step);
    checkGoodbyes(server);
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

} // namespace

void TestArticles::reportQuery_data()
{
    QTest::addColumn<ArticleSweepResult>("result");
    QTest::addColumn<QByteArray>("query");

    QTest::newRow("a sweep that found its knee")
        << sampleResult()
        << QByteArray("&ArticleSpeed=1840000&ArticleConnections=4&Knee=4&Connections=4"
                      "&MoreRefused=0&GreetingMs=12&StatMs=4&ArticlesAsked=40&ArticlesFound=38"
                      "&ArticleBytes=23300000&ArticleEnd=knee"
                      "&ArticleSteps=1:1000000,2:1800000,4:1840000");
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
                      "&ArticleBytes=23300000&ArticleEnd=stopped&ArticleSteps=1:1000000,2:1800000");
    ArticleSweepResult refused;
    refused.acceptedConnections = 0;
    refused.refusedMore = true;
    refused.end = SweepEnd::Refused;
    QTest::newRow("refused at once: nothing measured")
        << refused
        << QByteArray("&ArticleSpeed=0&ArticleConnections=0&Knee=0&Connections=0"
                      "&MoreRefused=1&GreetingMs=-1&StatMs=-1&ArticlesAsked=0&ArticlesFound=0"
                      "&ArticleBytes=0&ArticleEnd=refused&ArticleSteps=");
}

void TestArticles::reportQuery()
{
    QFETCH(ArticleSweepResult, result);
    QFETCH(QByteArray, query);
    QCOMPARE(BuildArticleQuery(result), query);
}

void TestArticles::reportLines_data()
{
    QTest::addColumn<ArticleSweepResult>("result");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("a sweep that found its knee")
        << sampleResult()
        << QStringList{QString(),
                       QStringLiteral("記事のダウンロード速度"),
                       QStringLiteral("======================================="),
                       QStringLiteral("記事の速度（最大） : 1796.88 kbps（4 接続）"),
                       QStringLiteral("  1 接続 : 976.56 kbps"),
                       QStringLiteral("  2 接続 : 1757.81 kbps"),
                       QStringLiteral("  4 接続 : 1796.88 kbps"),
                       QStringLiteral("速度が伸びなくなる接続数 : 4 接続"),
                       QStringLiteral("受け付けた接続数 : 4 接続"),
                       QStringLiteral("接続から応答まで : 12 ms"),
                       QStringLiteral("STAT の応答時間 : 4 ms"),
                       QStringLiteral("記事の有無 : 38 / 40"),
                       QStringLiteral("計測の終わり : 接続数を増やしても速くならなくなりました")};

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
        << capped
        << QStringList{QString(),
                       QStringLiteral("記事のダウンロード速度"),
                       QStringLiteral("======================================="),
                       QStringLiteral("記事の速度（最大） : -"),
                       QStringLiteral("  1 接続 : 1953.12 kbps（途中まで）"),
                       QStringLiteral("速度が伸びなくなる接続数 : なし"),
                       QStringLiteral("受け付けた接続数 : 1 接続"),
                       QStringLiteral("接続から応答まで : 1 ms"),
                       QStringLiteral("STAT の応答時間 : -"),
                       QStringLiteral("記事の有無 : 3 / 3"),
                       QStringLiteral(
                           "計測の終わり : ダウンロード量の上限（2,000,000 バイト）に達しました")};

    ArticleSweepResult limited = sampleResult();
    limited.steps.pop_back();
    limited.knee = 0;
    limited.bestBytesPerSecond = 1800000;
    limited.bestConnections = 2;
    limited.acceptedConnections = 2;
    limited.refusedMore = true;
    limited.end = SweepEnd::Refused;
    QTest::newRow("the server's limit of connections")
        << limited
        << QStringList{QString(),
                       QStringLiteral("記事のダウンロード速度"),
                       QStringLiteral("======================================="),
                       QStringLiteral("記事の速度（最大） : 1757.81 kbps（2 接続）"),
                       QStringLiteral("  1 接続 : 976.56 kbps"),
                       QStringLiteral("  2 接続 : 1757.81 kbps"),
                       QStringLiteral("速度が伸びなくなる接続数 : なし"),
                       QStringLiteral("接続数の上限 : 2 接続"),
                       QStringLiteral("接続から応答まで : 12 ms"),
                       QStringLiteral("STAT の応答時間 : 4 ms"),
                       QStringLiteral("記事の有無 : 38 / 40"),
                       QStringLiteral("計測の終わり : サーバがそれ以上の接続を拒否しました")};
}

void TestArticles::reportLines()
{
    QFETCH(ArticleSweepResult, result);
    QFETCH(QStringList, lines);
    QCOMPARE(BuildArticleReportLines(result, 2000000), lines);
}

void TestArticles::reportJson()
{
    const QJsonObject json = BuildArticleJson(sampleResult());
    const QByteArray text = QJsonDocument(json).toJson(QJsonDocument::Compact);
    QCOMPARE(
        text,
        QByteArray(
            R"({"acceptedConnections":4,"articlesAsked":40,"articlesFound":38,)"
            R"("bestBytesPerSecond":1840000,"bestConnections":4,"end":"knee",)"
            R"("greetingUs":12400,"knee":4,"refusedMore":false,"statUs":3500,"steps":[)"
            R"({"bytes":5000000,"bytesPerSecond":1000000,"complete":true,"connections":1,"elapsedUs":5000000},)"
            R"({"bytes":9000000,"bytesPerSecond":1800000,"complete":true,"connections":2,"elapsedUs":5000000},)"
            R"({"bytes":9200000,"bytesPerSecond":1840000,"complete":true,"connections":4,"elapsedUs":5000000}],)"
            R"("stoppedByCap":false,"stoppedByUser":false,"totalBytes":23300000})"));
    // What was not measured is null, not a number.
    ArticleSweepResult none;
    none.end = SweepEnd::Refused;
    const QJsonObject empty = BuildArticleJson(none);
    QVERIFY(empty.value(QStringLiteral("greetingUs")).isNull());
    QVERIFY(empty.value(QStringLiteral("knee")).isNull());
}

QTEST_GUILESS_MAIN(TestArticles)
#include "tst_articles.moc"
