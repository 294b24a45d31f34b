// newsbench --run and its neighbours, as a script or a user at a terminal starts them.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "report/versionstring.h"
#include "tests/support/fakearticleserver.h"
#include "tests/support/fakeserver.h"
#include "tests/support/program.h"
#include "tests/support/recordingview.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray Secret = "Zq7-not-for-your-eyes";

// How the program ended: its exit status, or the signal that killed it.
struct Ending
{
    int status = -1;
    int signal = 0;
    QByteArray out;
    QByteArray err;
};

// Runs the program while the test's event loop keeps serving its fake servers.
Ending runServed(const QStringList &arguments)
{
    QProcess program;
    StartProgram(program, arguments);
    program.closeWriteChannel();
    Ending ending;
    if (!QTest::qWaitFor([&] { return program.state() == QProcess::NotRunning; }, 60000)) {
        program.kill();
        program.waitForFinished();
        return ending;
    }
    if (program.exitStatus() == QProcess::NormalExit)
        ending.status = program.exitCode();
    else
        ending.signal = program.exitCode();
    ending.out = program.readAllStandardOutput();
    ending.err = program.readAllStandardError();
    return ending;
}

// A view whose user name cannot be had: the run ends with the error's own text.
class BrokenUserView : public RecordingView
{
public:
    QByteArray authUser() const override { throw std::runtime_error("the user name is gone"); }
};

QString served(const FakeServer &server)
{
    return u"127.0.0.1:"_s + QString::number(server.port());
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void exitStatus_data();
    void exitStatus();
    void completeRun();
    void failureText_data();
    void failureText();
    void listRefused_data();
    void listRefused();
    void closedPipe_data();
    void closedPipe();
    void signalStopsTheRun_data();
    void signalStopsTheRun();
    void ctrlCDuringLookup();
    void articles_data();
    void articles();
    void ctrlCDuringArticles();
};

void TestCli::exitStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    const QString secret = QString::fromLatin1(Secret);
    auto run = [](QStringList more) {
        return QStringList{u"--run"_s, u"127.0.0.1"_s} + more;
    };
    QTest::newRow("unknown option")
        << run({u"--speed"_s}) << QByteArray() << 64 << u"Unknown option 'speed'"_s;
    QTest::newRow("password on the command line")
        << run({u"--user"_s, u"u"_s, u"--password="_s + secret}) << QByteArray() << 64
        << u"--password-file FILE"_s;
    QTest::newRow("password as its own argument")
        << QStringList{u"--pass"_s, secret} << QByteArray() << 64 << u"NEWSBENCH_PASSWORD"_s;
    QTest::newRow("password left without its option")
        << run({secret}) << QByteArray() << 64 << u"unexpected argument"_s;
    QTest::newRow("type out of range")
        << run({u"--type"_s, u"3"_s}) << QByteArray() << 64 << u"--type takes"_s;
    QTest::newRow("unknown format")
        << run({u"--format"_s, u"xml"_s}) << QByteArray() << 64 << u"--format takes"_s;
    QTest::newRow("no address") << QStringList{u"--name"_s, u"x"_s} << QByteArray() << 64
                                << u"--run ADDRESS"_s;
    QTest::newRow("empty address")
        << QStringList{u"--run"_s, QString()} << QByteArray() << 64 << u"empty"_s;
    QTest::newRow("user without a password")
        << run({u"--user"_s, u"u"_s}) << QByteArray() << 64 << u"--user needs"_s;
    QTest::newRow("password where the file name goes")
        << run({u"--user"_s, u"u"_s, u"--password-file"_s, secret}) << QByteArray() << 64
        << u"cannot read the password file"_s;
    QTest::newRow("password without a user") << run({u"--password-file"_s, u"-"_s}) << Secret + '\n'
                                             << 64 << u"needs --user"_s;
    QTest::newRow("password of two lines")
        << run({u"--user"_s, u"u"_s, u"--password-file"_s, u"-"_s}) << Secret + "\nx\n"
        << 64 << u"one line"_s;
    QTest::newRow("name with a line break")
        << run({u"--name"_s, u"a\nb"_s}) << QByteArray() << 64 << u"one line"_s;
    QTest::newRow("no connections") << run({u"--articles"_s, u"--connections"_s, u"0"_s})
                                    << QByteArray() << 64 << u"--connections takes"_s;
    QTest::newRow("more connections than 50") << run({u"--articles"_s, u"--connections"_s, u"51"_s})
                                              << QByteArray() << 64 << u"--connections takes"_s;
    QTest::newRow("a step of no time") << run({u"--articles"_s, u"--article-seconds"_s, u"0"_s})
                                       << QByteArray() << 64 << u"--article-seconds takes"_s;
    QTest::newRow("a byte cap that is not a number")
        << run({u"--articles"_s, u"--article-cap"_s, u"200MB"_s}) << QByteArray() << 64
        << u"--article-cap takes"_s;
    QTest::newRow("a negative byte cap") << run({u"--articles"_s, u"--article-cap"_s, u"-5"_s})
                                         << QByteArray() << 64 << u"--article-cap takes"_s;
    QTest::newRow("connections without --articles")
        << run({u"--connections"_s, u"4"_s}) << QByteArray() << 64 << u"go with --articles"_s;
    QTest::newRow("address the window refuses")
        << QStringList{u"--run"_s, u"news example"_s} << QByteArray() << 2
        << u"接続できませんでした。\nアドレスに空白"_s;
    QTest::newRow("nothing listens there") << QStringList{u"--run"_s, u"127.0.0.3"_s}
                                           << QByteArray() << 2 << u"接続できませんでした。\n"_s;
}

void TestCli::exitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    QFETCH(QString, message);
    const ProgramResult result = RunProgram(arguments, {}, input);
    QCOMPARE(result.status, status);
    QVERIFY2(QString::fromUtf8(result.err).contains(message), result.err.constData());
    QCOMPARE(result.out, QByteArray());
    QVERIFY(!result.err.contains(Secret));
}

// A whole run: the stages on standard error in the window's words, the results in the report.
void TestCli::completeRun()
{
    FakeServer server;
    server.greeting("200 ready\r\n");
    server.expect("LIST",
                  "215 list\r\nalt.sex.stories 30 1 y\r\ncomp.lang.c 5 1 y\r\n"
                  "alt.binaries.pictures.erotica.cats 9 1 y\r\n.\r\n");
    server.expect("GROUP alt.binaries.pictures.erotica.cats", "411 no such group\r\n");
    server.expect("GROUP alt.sex.stories", "411 no such group\r\n");
    server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    const Ending ending = runServed({u"--run"_s, served(server), u"--format"_s, u"json"_s});
    QCOMPARE(ending.status, 0);
    QVERIFY(server.scriptDone());
    QCOMPARE(server.mismatches, QList<QByteArray>());
    QCOMPARE(QString::fromUtf8(ending.err),
             u"1. 投稿\n2. グループリストの取得\n2. グループリストの取得 3 groups\n"
             "3. ダウンロード速度の計測\n4. フィードグループの検証\n"
             "5. 保存期間の検証 alt.binaries.pictures.erotica.*\n5. 保存期間の検証 alt.sex.*\n"
             "5. 保存期間の検証 japan.binaries.pictures.erotica.*\n"
             "5. 保存期間の検証 alt.freedom.jbpe.*\n"
             "5. 保存期間の検証 alt.binaries.multimedia.erotica.*\n"_s);
    const QJsonObject report = QJsonDocument::fromJson(ending.out).object();
    QCOMPARE(report.value(u"posting"_s), QJsonValue(true));
    QCOMPARE(report.value(u"groupCount"_s), QJsonValue(3));
    QVERIFY(report.value(u"speed"_s).toInteger() > 0);
    const QJsonObject counts = report.value(u"counts"_s).toObject();
    const QJsonObject days = report.value(u"retentionDays"_s).toObject();
    const char *keys[] = {"ABPE", "AS", "JBPE", "AFJ", "ABME"};
    const int expectedCounts[] = {1, 1, 0, 0, 0};
    const int expectedDays[] = {0, 0, -1, -1, -1};
    for (int h = 0; h < 5; ++h) {
        QCOMPARE(counts.value(QLatin1String(keys[h])), QJsonValue(expectedCounts[h]));
        QCOMPARE(days.value(QLatin1String(keys[h])), QJsonValue(expectedDays[h]));
    }
}

void TestCli::failureText_data()
{
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("login"); // the view's user name throws when it is read
    QTest::newRow("the server's reply")
        << QByteArray("502 go away\r\n") << u"502 go away\r\n"_s << false;
    QTest::newRow("the text of an error inside the run")
        << QByteArray("200 ready\r\n") << u"the user name is gone"_s << true;
}

// What the terminal prints when a run ends early: the message the run hands its view.
void TestCli::failureText()
{
    QFETCH(QByteArray, greeting);
    QFETCH(QString, message);
    QFETCH(bool, login);
    FakeServer server;
    server.greeting(greeting);
    BenchmarkRun run;
    run.setPortOverride(server.port());
    BrokenUserView view;
    view.address = u"127.0.0.1"_s;
    view.authentication = login;
    QCOMPARE(run.execute(view), RunOutcome::Failed);
    QCOMPARE(view.failures, QStringList{message});
    QVERIFY(!run.connection.ClientSocket1.isOpen());
}

void TestCli::listRefused_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("json");
    QTest::newRow("text") << u"text"_s << false;
    QTest::newRow("json, with its nulls") << u"json"_s << true;
    QTest::newRow("url") << u"url"_s << false;
}

// A server that wants a login before LIST: the run is incomplete whatever the format.
void TestCli::listRefused()
{
    QFETCH(QString, format);
    QFETCH(bool, json);
    FakeServer server;
    server.greeting("201 no posting\r\n");
    server.expect("LIST", "480 Authentication required for command\r\n");
    server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    const Ending ending = runServed({u"--run"_s, served(server), u"--format"_s, format});
    QCOMPARE(ending.status, 3);
    QVERIFY2(ending.err.contains("LIST: 480 Authentication required for command\n"),
             ending.err.constData());
    QVERIFY(server.scriptDone());
    if (!json) {
        QCOMPARE(ending.out, QByteArray());
        return;
    }
    const QJsonObject report = QJsonDocument::fromJson(ending.out).object();
    QCOMPARE(report.value(u"posting"_s), QJsonValue(false));
    QVERIFY(report.value(u"groupCount"_s).isNull());
    QVERIFY(report.value(u"speed"_s).isNull());
    QVERIFY(report.value(u"listBytes"_s).isNull());
}

void TestCli::closedPipe_data()
{
    QTest::addColumn<bool>("login");
    QTest::addColumn<bool>("progressToo");
    QTest::newRow("progress and report, 2>&1 | head -1") << false << true;
    QTest::newRow("progress and report after a login") << true << true;
    QTest::newRow("the report alone, | true") << false << false;
}

// The reader of the program's output goes away when LIST is sent. The program stops at the
// next line it cannot write, says QUIT if the connection is still there, and ends as a
// filter does: killed by SIGPIPE.
void TestCli::closedPipe()
{
    QFETCH(bool, login);
    QFETCH(bool, progressToo);
    FakeServer server;
    server.greeting("200 ready\r\n");
    if (login) {
        server.expect("AUTHINFO USER u", "381 more\r\n");
        server.expect("AUTHINFO PASS " + Secret, "281 ok\r\n");
    }
    int ends[2];
    QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
    server.setHandler([&](FakeServer &s, const QByteArray &command) {
        if (command == "LIST") {
            ::close(ends[0]);
            ends[0] = -1;
            s.send("215 list\r\nalt.sex.pictures 2 1 y\r\n.\r\n");
        } else if (command == "QUIT") {
            s.send("205 bye\r\n");
            s.closeClient();
        } else {
            s.send("411 no such group\r\n");
        }
    });
    QProcess program;
    program.setChildProcessModifier([out = ends[1], progressToo] {
        ::dup2(out, STDOUT_FILENO);
        if (progressToo)
            ::dup2(out, STDERR_FILENO);
    });
    QStringList arguments{u"--run"_s, served(server)};
    QProcessEnvironment extra;
    if (login) {
        arguments << u"--user"_s << u"u"_s;
        extra.insert(u"NEWSBENCH_PASSWORD"_s, QString::fromLatin1(Secret));
    }
    StartProgram(program, arguments, extra);
    ::close(ends[1]);
    const bool ended
        = QTest::qWaitFor([&] { return program.state() == QProcess::NotRunning; }, 30000);
    if (ends[0] >= 0)
        ::close(ends[0]);
    if (!ended) {
        program.kill();
        program.waitForFinished();
        QFAIL("the program went on");
    }
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    QCOMPARE(program.exitCode(), SIGPIPE);
    QVERIFY(!server.commands.isEmpty());
    QCOMPARE(server.commands.last(), QByteArray("QUIT"));
    QVERIFY(server.mismatches.isEmpty());
}

void TestCli::signalStopsTheRun_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl-C") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

// A server that greets and then says nothing more: the run waits for LIST until stopped. The
// program ends by the signal, so that a shell loop that runs it stops too.
void TestCli::signalStopsTheRun()
{
    QFETCH(int, signal);
    FakeServer server;
    server.greeting("200 silent server\r\n");
    QProcess program;
    server.setHandler([&](FakeServer &, const QByteArray &command) {
        if (command == "LIST")
            ::kill(pid_t(program.processId()), signal);
    });
    StartProgram(program, {u"--run"_s, served(server)});
    QTRY_COMPARE_WITH_TIMEOUT(program.state(), QProcess::NotRunning, 30000);
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    QCOMPARE(program.exitCode(), signal);
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
    QVERIFY(program.readAllStandardError().endsWith("中止\n"));
}

// Ctrl-C while the server's name is being looked up ends the program at once, though the
// lookup (here one that does not answer for two minutes) goes on in Qt's thread.
void TestCli::ctrlCDuringLookup()
{
    // Without it, the name would really be looked up.
    QVERIFY(QFile::exists(QStringLiteral(SLOW_LOOKUP)));
    QProcessEnvironment extra;
    extra.insert(u"LD_PRELOAD"_s, QStringLiteral(SLOW_LOOKUP));
    // Under AddressSanitizer, whose library would rather be loaded first.
    extra.insert(u"ASAN_OPTIONS"_s,
                 qEnvironmentVariable("ASAN_OPTIONS") + u":verify_asan_link_order=0"_s);
    QProcess program;
    StartProgram(program, {u"--run"_s, u"news.example.test"_s}, extra);
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += program.readAllStandardError()).contains("lookup begun"),
                             30000);
    ::kill(pid_t(program.processId()), SIGINT);
    const bool ended
        = QTest::qWaitFor([&] { return program.state() == QProcess::NotRunning; }, 10000);
    if (!ended) {
        program.kill();
        program.waitForFinished();
        QFAIL("the program waits for the lookup");
    }
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    QCOMPARE(program.exitCode(), SIGINT);
    QVERIFY((err + program.readAllStandardError()).endsWith("中止\n"));
}

void TestCli::articles_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("json: every step") << u"json"_s;
    QTest::newRow("text: the lines after the 28") << u"text"_s;
    QTest::newRow("url: the keys after the sixteen") << u"url"_s;
}

// The run, then the article speed over 1 and 2 connections, in each report.
void TestCli::articles()
{
    QFETCH(QString, format);
    FakeArticleServer server;
    server.group = "alt.binaries.multimedia.erotica.test";
    server.bytesPerSecond = 2'000'000;
    const Ending ending = runServed({u"--run"_s, u"127.0.0.1:"_s + QString::number(server.port()),
                                     u"--articles"_s, u"--connections"_s, u"2"_s,
                                     u"--article-seconds"_s, u"1"_s, u"--format"_s, format});
    QCOMPARE(ending.status, 0);
    QVERIFY2(QString::fromUtf8(ending.err)
                 .endsWith(u"6. 記事の速度の計測\n6. 記事の速度の計測 1 接続\n"
                           "6. 記事の速度の計測 2 接続\n"_s),
             ending.err.constData());
    QCOMPARE(server.clients().size(), std::size_t(1 + 2));
    QTRY_COMPARE(server.openCount(), 0);
    for (const auto &client : server.clients())
        QVERIFY(client->quit);
    if (format == u"json") {
        const QJsonObject articles
            = QJsonDocument::fromJson(ending.out).object().value(u"articles"_s).toObject();
        const QJsonArray steps = articles.value(u"steps"_s).toArray();
        QCOMPARE(steps.size(), 2);
        for (const QJsonValue step : steps)
            QVERIFY(step.toObject().value(u"bytes"_s).toInteger() > 0);
        QVERIFY(articles.value(u"articlesFound"_s).toInteger() > 0);
    } else if (format == u"text") {
        const QList<QByteArray> lines = ending.out.split('\n');
        QVERIFY2(lines.size() > 28 + 3, ending.out.constData());
        QCOMPARE(lines[28], QByteArray());
        QCOMPARE(lines[29], QByteArray("記事のダウンロード速度"));
    } else {
        QVERIFY(ending.out.contains("&ExpireABME=0&ArticleSpeed="));
    }
}

// Ctrl-C while the article connections fetch: each says QUIT and is closed, and the program
// ends by the signal.
void TestCli::ctrlCDuringArticles()
{
    FakeArticleServer server;
    server.group = "alt.binaries.multimedia.erotica.test";
    server.bytesPerSecond = 1'000'000;
    QProcess program;
    StartProgram(program,
                 {u"--run"_s, u"127.0.0.1:"_s + QString::number(server.port()), u"--articles"_s,
                  u"--connections"_s, u"2"_s, u"--article-seconds"_s, u"30"_s});
    // The first step's one connection fetches.
    QVERIFY(QTest::qWaitFor(
        [&] {
            return server.clients().size() == 2 && server.openCount() == 1
                && server.bodiesServed() > 2;
        },
        30000));
    ::kill(pid_t(program.processId()), SIGINT);
    QTRY_COMPARE_WITH_TIMEOUT(program.state(), QProcess::NotRunning, 30000);
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    QCOMPARE(program.exitCode(), SIGINT);
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
    QTRY_COMPARE(server.openCount(), 0);
    QCOMPARE(server.clients().size(), std::size_t(1 + 1));
    for (const auto &client : server.clients())
        QVERIFY(client->quit);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
