// newsbench --run and its neighbours, as a script or a user at a terminal starts them.
#include <QTest>

#include <csignal>

#include "report/versionstring.h"
#include "tests/support/fakeserver.h"
#include "tests/support/program.h"

using namespace Qt::StringLiterals;

namespace {

const QByteArray Secret = "Zq7-not-for-your-eyes";

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void exitStatus_data();
    void exitStatus();
    void signalStopsTheRun_data();
    void signalStopsTheRun();
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
    QTest::newRow("password without a user") << run({u"--password-file"_s, u"-"_s}) << Secret + '\n'
                                             << 64 << u"needs --user"_s;
    QTest::newRow("password of two lines")
        << run({u"--user"_s, u"u"_s, u"--password-file"_s, u"-"_s}) << Secret + "\nx\n"
        << 64 << u"one line"_s;
    QTest::newRow("name with a line break")
        << run({u"--name"_s, u"a\nb"_s}) << QByteArray() << 64 << u"one line"_s;
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

void TestCli::signalStopsTheRun_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl-C") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
}

// A server that greets and then says nothing more: the run waits for LIST until stopped.
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
    StartProgram(program, {u"--run"_s, u"127.0.0.1:"_s + QString::number(server.port())});
    QTRY_COMPARE_WITH_TIMEOUT(program.state(), QProcess::NotRunning, 30000);
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 130);
    QCOMPARE(program.readAllStandardOutput(), QByteArray());
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
