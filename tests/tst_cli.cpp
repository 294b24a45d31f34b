// newsbench --run and its neighbours, as a script or a user at a terminal starts them.
#include <QJsonDocument>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <utility>

#include "tests/support/fakearticleserver.h"
#include "tests/support/fakeserver.h"
#include "tests/support/program.h"
#include "tests/support/recordingview.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray Secret = "Zq7-not-for-your-eyes";

// A view whose user name cannot be had: the run ends with the error's own text.
class BrokenUserView : public RecordingView
{
public:
    QByteArray authUser() const override { throw std::runtime_error("the user name is gone"); }
};

QString served(quint16 port)
{
    return u"127.0.0.1:"_s + QString::number(port);
}

// Waits for a program that should end by itself; kills it if it does not.
bool ended(QProcess &program, int ms)
{
    if (QTest::qWaitFor([&] { return program.state() == QProcess::NotRunning; }, ms))
        return true;
    program.kill();
    program.waitForFinished();
    return false;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void usageErrors_data();
    void usageErrors();
    void failureText_data();
    void failureText();
    void reports_data();
    void reports();
    void signalStopsTheRun_data();
    void signalStopsTheRun();
};

void TestCli::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    auto row = [](const char *name, const QStringList &arguments, const char *message,
                  const QByteArray &input = {}, int status = 64) {
        QTest::newRow(name) << arguments << input << status << QString::fromUtf8(message);
    };
    // `more` is split at blanks; %1 stands for the password.
    auto run = [](const char *more) {
        return QStringList{u"--run"_s, u"127.0.0.1"_s}
        + QString::fromUtf8(more)
              .replace(u"%1"_s, QLatin1StringView(Secret))
              .split(u' ', Qt::SkipEmptyParts);
    };
    row("unknown option", run("--speed"), "Unknown option 'speed'");
    row("password on the command line", run("--user u --password=%1"), "--password-file FILE");
    row("password as its own argument", {u"--pass"_s, QLatin1StringView(Secret)},
        "NEWSBENCH_PASSWORD");
    row("password left without its option", run("%1"), "unexpected argument");
    row("type out of range", run("--type 3"), "--type takes");
    row("unknown format", run("--format xml"), "--format takes");
    row("no address", {u"--name"_s, u"x"_s}, "--run ADDRESS");
    row("empty address", {u"--run"_s, QString()}, "empty");
    row("user without a password", run("--user u"), "--user needs");
    row("password where the file name goes", run("--user u --password-file %1"),
        "cannot read the password file");
    row("password without a user", run("--password-file -"), "needs --user", Secret + '\n');
    row("password of two lines", run("--user u --password-file -"), "one line", Secret + "\nx\n");
    row("name with a line break", run("") << u"--name"_s << u"a\nb"_s, "one line");
    row("no connections", run("--articles --connections 0"), "--connections takes");
    row("more connections than 50", run("--articles --connections 51"), "--connections takes");
    row("a step of no time", run("--articles --article-seconds 0"), "--article-seconds takes");
    row("a byte cap that is not a number", run("--articles --article-cap 200MB"),
        "--article-cap takes");
    row("a negative byte cap", run("--articles --article-cap -5"), "--article-cap takes");
    row("connections without --articles", run("--connections 4"), "go with --articles");
    row("address the window refuses", {u"--run"_s, u"news example"_s},
        "接続できませんでした。\nアドレスに空白", {}, 2);
    row("nothing listens there", {u"--run"_s, u"127.0.0.3"_s}, "接続できませんでした。\n", {}, 2);
}

void TestCli::usageErrors()
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

void TestCli::reports_data()
{
    QTest::addColumn<QString>("server"); // whole, refused (a login before LIST) or articles
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("progress"); // how standard error ends
    QTest::addColumn<QByteArrayList>("shows"); // in the output, JSON made compact; none: empty
    auto row = [](const char *name, const char *server, const char *format, int status,
                  const QString &progress, const QByteArrayList &shows) {
        QTest::newRow(name) << QString::fromLatin1(server) << QString::fromLatin1(format) << status
                            << progress << shows;
    };
    // The stages in the window's words, the results in the report.
    row("a whole run", "whole", "json", 0,
        u"1. 投稿\n2. グループリストの取得\n2. グループリストの取得 3 groups\n"
        "3. ダウンロード速度の計測\n4. フィードグループの検証\n"
        "5. 保存期間の検証 alt.binaries.pictures.erotica.*\n5. 保存期間の検証 alt.sex.*\n"
        "5. 保存期間の検証 japan.binaries.pictures.erotica.*\n"
        "5. 保存期間の検証 alt.freedom.jbpe.*\n"
        "5. 保存期間の検証 alt.binaries.multimedia.erotica.*\n"_s,
        {"\"counts\":{\"ABME\":0,\"ABPE\":1,\"AFJ\":0,\"AS\":1,\"JBPE\":0}", "\"groupCount\":3,",
         "\"posting\":true",
         "\"retentionDays\":{\"ABME\":-1,\"ABPE\":0,\"AFJ\":-1,\"AS\":0,\"JBPE\":-1}"});
    // The run is incomplete whatever the format.
    const QString refusal = u"LIST: 480 Authentication required for command\n"_s;
    row("LIST refused, text", "refused", "text", 3, refusal, {});
    row("LIST refused, url", "refused", "url", 3, refusal, {});
    row("LIST refused, json with its nulls", "refused", "json", 3, refusal,
        {"\"groupCount\":null", "\"listBytes\":null", "\"posting\":false", "\"speed\":null"});
    // The article speed over 1 and 2 connections after the run, in each report.
    const QString sweep = u"6. 記事の速度の計測\n6. 記事の速度の計測 1 接続\n"
                          "6. 記事の速度の計測 2 接続\n"_s;
    row("articles, json: every step", "articles", "json", 0, sweep,
        {"\"complete\":true,\"connections\":1,", "\"complete\":true,\"connections\":2,"});
    row("articles, text: the lines after the 28", "articles", "text", 0, sweep,
        {"\n\n記事のダウンロード速度\n"});
    row("articles, url: the keys after the sixteen", "articles", "url", 0, sweep,
        {"&ExpireABME=0&ArticleSpeed="});
}

void TestCli::reports()
{
    QFETCH(QString, server);
    QFETCH(QString, format);
    QFETCH(int, status);
    QFETCH(QString, progress);
    QFETCH(QByteArrayList, shows);
    FakeServer fake;
    if (server == u"whole") {
        fake.greeting("200 ready\r\n");
        fake.expect("LIST",
                    "215 list\r\nalt.sex.stories 30 1 y\r\ncomp.lang.c 5 1 y\r\n"
                    "alt.binaries.pictures.erotica.cats 9 1 y\r\n.\r\n");
        fake.expect("GROUP alt.binaries.pictures.erotica.cats", "411 no such group\r\n");
        fake.expect("GROUP alt.sex.stories", "411 no such group\r\n");
    } else {
        fake.greeting("201 no posting\r\n");
        fake.expect("LIST", "480 Authentication required for command\r\n");
    }
    fake.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    FakeArticleServer articles;
    articles.group = "alt.binaries.multimedia.erotica.test";
    articles.bytesPerSecond = 2'000'000;
    QStringList arguments{u"--run"_s, served(fake.port()), u"--format"_s, format};
    if (server == u"articles")
        arguments
            = QStringList{u"--run"_s, served(articles.port()), u"--articles"_s, u"--connections"_s,
                          u"2"_s,     u"--article-seconds"_s,  u"1"_s}
            + arguments.mid(2);
    const ProgramResult ending = RunProgram(arguments);
    QCOMPARE(ending.status, status);
    QVERIFY2(QString::fromUtf8(ending.err).endsWith(progress), ending.err.constData());
    const QJsonDocument json = QJsonDocument::fromJson(ending.out);
    const QByteArray out = json.isNull() ? ending.out : json.toJson(QJsonDocument::Compact);
    for (const QByteArray &piece : shows)
        QVERIFY2(out.contains(piece), out.constData());
    QCOMPARE(out.isEmpty(), shows.isEmpty());
    if (server != u"articles") {
        QVERIFY(fake.scriptDone());
        QCOMPARE(fake.mismatches, QList<QByteArray>());
        return;
    }
    QCOMPARE(articles.clients().size(), std::size_t(1 + 2));
    QTRY_COMPARE(articles.openCount(), 0);
    for (const auto &client : articles.clients())
        QVERIFY(client->quit);
}

void TestCli::signalStopsTheRun_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("during");
    QTest::addColumn<bool>("login");
    QTest::addColumn<bool>("progressToo"); // standard error goes to the pipe as well
    auto row = [](const char *name, int signal, const char *during, bool login = false,
                  bool progressToo = false) {
        QTest::newRow(name) << signal << QString::fromLatin1(during) << login << progressToo;
    };
    row("Ctrl-C while waiting for LIST", SIGINT, "LIST");
    row("SIGTERM while waiting for LIST", SIGTERM, "LIST");
    // The lookup (one that does not answer for two minutes) goes on in Qt's thread.
    row("Ctrl-C during the lookup", SIGINT, "lookup");
    // Each article connection says QUIT and is closed.
    row("Ctrl-C while the article connections fetch", SIGINT, "articles");
    // The reader of the output goes away when LIST is sent: the program stops at the next line
    // it cannot write, says QUIT if the connection is still there, and ends as a filter does.
    row("closed pipe: progress and report, 2>&1 | head -1", SIGPIPE, "pipe", false, true);
    row("closed pipe: progress and report after a login", SIGPIPE, "pipe", true, true);
    row("closed pipe: the report alone, | true", SIGPIPE, "pipe");
}

// The program ends at once by the signal, so that a shell loop that runs it stops too.
void TestCli::signalStopsTheRun()
{
    QFETCH(int, signal);
    QFETCH(QString, during);
    QFETCH(bool, login);
    QFETCH(bool, progressToo);
    const bool pipe = during == u"pipe";
    int ends[2] = {-1, -1};
    QVERIFY(!pipe || ::pipe2(ends, O_CLOEXEC) == 0);
    FakeServer server; // greets, then says nothing more unless it is the pipe that closes
    server.greeting("200 ready\r\n");
    if (login) {
        server.expect("AUTHINFO USER u", "381 more\r\n");
        server.expect("AUTHINFO PASS " + Secret, "281 ok\r\n");
    }
    bool listSent = false;
    server.setHandler([&](FakeServer &s, const QByteArray &command) {
        if (command == "LIST") {
            listSent = true;
            if (!pipe)
                return;
            ::close(std::exchange(ends[0], -1));
            s.send("215 list\r\nalt.sex.pictures 2 1 y\r\n.\r\n");
        } else if (command == "QUIT") {
            s.send("205 bye\r\n");
            s.closeClient();
        } else {
            s.send("411 no such group\r\n");
        }
    });
    FakeArticleServer articles;
    articles.group = "alt.binaries.multimedia.erotica.test";
    articles.bytesPerSecond = 1'000'000;
    QProcess program;
    if (pipe) {
        program.setChildProcessModifier([out = ends[1], progressToo] {
            ::dup2(out, STDOUT_FILENO);
            if (progressToo)
                ::dup2(out, STDERR_FILENO);
        });
    }
    QByteArray err;
    QStringList arguments{u"--run"_s, served(server.port())};
    QProcessEnvironment extra;
    std::function<bool()> ready = [&] {
        return listSent;
    };
    if (login) {
        arguments << u"--user"_s << u"u"_s;
        extra.insert(u"NEWSBENCH_PASSWORD"_s, QString::fromLatin1(Secret));
    } else if (during == u"lookup") {
        // Without it, the name would really be looked up.
        QVERIFY(QFile::exists(QStringLiteral(SLOW_LOOKUP)));
        extra.insert(u"LD_PRELOAD"_s, QStringLiteral(SLOW_LOOKUP));
        // Under AddressSanitizer, whose library would rather be loaded first.
        extra.insert(u"ASAN_OPTIONS"_s,
                     qEnvironmentVariable("ASAN_OPTIONS") + u":verify_asan_link_order=0"_s);
        arguments = QStringList{u"--run"_s, u"news.example.test"_s};
        ready = [&] {
            return (err += program.readAllStandardError()).contains("lookup begun");
        };
    } else if (during == u"articles") {
        arguments
            = QStringList{u"--run"_s, served(articles.port()), u"--articles"_s, u"--connections"_s,
                          u"2"_s,     u"--article-seconds"_s,  u"30"_s};
        // The first step's one connection fetches.
        ready = [&] {
            return articles.clients().size() == 2 && articles.openCount() == 1
                && articles.bodiesServed() > 2;
        };
    }
    StartProgram(program, arguments, extra);
    if (pipe)
        ::close(ends[1]);
    const bool stopped = pipe || QTest::qWaitFor(ready, 30000);
    if (!pipe)
        ::kill(pid_t(program.processId()), signal);
    const bool gone = ended(program, 30000);
    if (ends[0] >= 0)
        ::close(ends[0]);
    QVERIFY(stopped);
    QVERIFY2(gone, "the program went on");
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    QCOMPARE(program.exitCode(), signal);
    if (pipe) {
        QCOMPARE(server.commands.value(server.commands.size() - 1), QByteArray("QUIT"));
        QVERIFY(server.mismatches.isEmpty());
        return;
    }
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
    QVERIFY((err + program.readAllStandardError()).endsWith("中止\n"));
    if (during != u"articles")
        return;
    QTRY_COMPARE(articles.openCount(), 0);
    QCOMPARE(articles.clients().size(), std::size_t(1 + 1));
    for (const auto &client : articles.clients())
        QVERIFY(client->quit);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
