// Runs over TLS and IPv6 against small local servers: every address of a name is tried, the
// certificate is checked against the name as typed, and a failed handshake ends the run with
// its reason before anything is sent.
#include <QTest>
#include <QTimer>

#include "tests/support/fakeserver.h"
#include "tests/support/recordingview.h"

using Behaviour = FakeServer::Start;
using Addresses = QList<QHostAddress>;
Q_DECLARE_METATYPE(Behaviour)

namespace {

const QHostAddress V4 = QHostAddress(QHostAddress::LocalHost);
const QHostAddress V6 = QHostAddress(QHostAddress::LocalHostIPv6);

// The address as typed, on the server's port, with a password; `lookup` stands for the
// addresses of a name. The server logs in, lists one group that no hierarchy holds and quits.
RunOutcome runOn(BenchmarkRun &run, RecordingView &view, const QString &address, FakeServer &server,
                 const Addresses &lookup, bool trusted = true)
{
    server.greeting("200 ready\r\n");
    server.expect("AUTHINFO USER user", "381 more\r\n");
    server.expect("AUTHINFO PASS secret", "281 ok\r\n");
    server.expect("LIST", "215 list\r\ncomp.lang.c 5 1 y\r\n.\r\n");
    server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    view.address = address;
    view.authentication = true;
    run.setPort(server.port());
    run.connection.ClientSocket1.setTestAddresses(lookup);
    if (trusted)
        run.connection.ClientSocket1.addTestAuthorities(FakeServer::testAuthority());
    return run.execute(view);
}

} // namespace

class TestTls : public QObject
{
    Q_OBJECT

private slots:
    void completeRun_data();
    void completeRun();
    void noConnection_data();
    void noConnection();
};

void TestTls::completeRun_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<QHostAddress>("listenOn");
    QTest::addColumn<Addresses>("lookup");

    QTest::newRow("nntps on [::1]") << "nntps://[::1]" << Behaviour::Tls << V6 << Addresses{};
    QTest::newRow("localhost looked up") << "localhost" << Behaviour::Plain << V4 << Addresses{};
    QTest::newRow("localhost, IPv6 refuses, TLS on IPv4")
        << "nntps://localhost" << Behaviour::Tls << V4 << Addresses{V6, V4};
    QTest::newRow("localhost, IPv4 refuses, IPv6 accepts")
        << "localhost" << Behaviour::Plain << V6 << Addresses{V4, V6};
    QTest::newRow("first address refuses, second accepts")
        << "news.test" << Behaviour::Plain << V4 << Addresses{QHostAddress("127.0.0.2"), V4};
}

void TestTls::completeRun()
{
    QFETCH(QString, address);
    QFETCH(Behaviour, behaviour);
    QFETCH(QHostAddress, listenOn);
    QFETCH(Addresses, lookup);

    FakeServer server(behaviour, listenOn);
    BenchmarkRun run;
    RecordingView view;
    QCOMPARE(runOn(run, view, address, server, lookup), RunOutcome::Completed);
    QCOMPARE(view.failures, QStringList());
    QCOMPARE(view.results[ResultField::GroupCount], QStringLiteral("1"));
    QCOMPARE(server.commands,
             QList<QByteArray>({"AUTHINFO USER user", "AUTHINFO PASS secret", "LIST", "QUIT"}));
}

void TestTls::noConnection_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<QString>("reason"); // empty: no message, as for a refused connection

    auto row = [](const char *name, const char *address, Behaviour behaviour, const char *reason,
                  bool trusted = true) {
        QTest::newRow(name) << QString::fromUtf8(address) << behaviour << trusted
                            << QString::fromUtf8(reason);
    };
    row("untrusted issuer", "nntps://127.0.0.1", Behaviour::Tls, "発行者は信頼されていません",
        false);
    row("certificate for another name", "nntps://news.test", Behaviour::Tls,
        "別の名前に発行されたもので、news.test のものではありません");
    row("junk instead of a handshake", "nntps://127.0.0.1", Behaviour::Junk,
        "TLS の接続手順に失敗");
    row("close in the middle of the handshake", "nntps://127.0.0.1", Behaviour::CloseInHandshake,
        "接続を切りました");
    row("stalled handshake", "nntps://127.0.0.1", Behaviour::StallHandshake, "時間切れ");
    row("stop during the handshake", "nntps://127.0.0.1", Behaviour::StallHandshake, "");
    row("refused address", "nntps://127.0.0.1:0", Behaviour::Tls, "ポート番号");
}

void TestTls::noConnection()
{
    QFETCH(QString, address);
    QFETCH(Behaviour, behaviour);
    QFETCH(bool, trusted);
    QFETCH(QString, reason);

    FakeServer server(behaviour);
    BenchmarkRun run;
    RecordingView view;
    QTimer stop; // the stop button, once the server has the connection
    connect(&stop, &QTimer::timeout, &server, [&] {
        if (server.hasClient())
            run.connection.ClientSocket1.close();
    });
    if (reason.isEmpty())
        stop.start(10);
    else if (behaviour == Behaviour::StallHandshake)
        run.connection.Timer1.setInterval(5); // quick ticks for the minutes of the time-out
    QCOMPARE(runOn(run, view, address, server, {V4}, trusted), RunOutcome::NoConnection);
    QCOMPARE(view.failures.size(), reason.isEmpty() ? 0 : 1);
    if (!reason.isEmpty())
        QVERIFY2(view.failures[0].contains(reason), qPrintable(view.failures[0]));
    // Not a byte of the conversation, AUTHINFO above all, reached the server.
    QCOMPARE(server.commands, QList<QByteArray>());
    QVERIFY(view.results.empty());
    QVERIFY(!run.connection.ClientSocket1.isOpen());
}

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
