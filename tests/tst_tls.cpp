// Runs over TLS and IPv6 against small local servers: every address of a name is tried, the
// certificate is checked against the name as typed, and a failed handshake ends the run with
// its reason before anything is sent.
#include <QTest>
#include <QTimer>

#include "tests/support/recordingview.h"
#include "tests/support/tlsserver.h"

using Behaviour = TlsServer::Behaviour;
using Addresses = QList<QHostAddress>;
Q_DECLARE_METATYPE(Behaviour)

namespace {

const QHostAddress V4 = QHostAddress(QHostAddress::LocalHost);
const QHostAddress V6 = QHostAddress(QHostAddress::LocalHostIPv6);

struct Setup
{
    RecordingView view;
    BenchmarkRun run;

    // The address as typed, on the server's port; `lookup` stands for the name's addresses.
    RunOutcome execute(const QString &address, const TlsServer &server, const Addresses &lookup,
                       bool trusted = true)
    {
        view.address = address;
        view.authentication = true;
        run.setPort(server.serverPort());
        run.connection.ClientSocket1.setTestAddresses(lookup);
        if (trusted)
            run.connection.ClientSocket1.addTestAuthorities(TestAuthority());
        return run.execute(view);
    }
};

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

    QTest::newRow("nntps on 127.0.0.1")
        << "nntps://127.0.0.1" << Behaviour::Tls << V4 << Addresses{};
    QTest::newRow("nntps on [::1]") << "nntps://[::1]" << Behaviour::Tls << V6 << Addresses{};
    QTest::newRow("plain on [::1]") << "[::1]" << Behaviour::Plain << V6 << Addresses{};
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

    TlsServer server(behaviour, listenOn);
    Setup s;
    QCOMPARE(s.execute(address, server, lookup), RunOutcome::Completed);
    QCOMPARE(s.view.failures, QStringList());
    QCOMPARE(s.view.results[ResultField::GroupCount], QStringLiteral("1"));
    QCOMPARE(server.commands,
             QList<QByteArray>({"AUTHINFO USER user", "AUTHINFO PASS secret", "LIST", "QUIT"}));
    QVERIFY(!s.run.connection.ClientSocket1.isOpen());
}

void TestTls::noConnection_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<bool>("stopOnAccept");
    QTest::addColumn<QString>("reason"); // empty: no message, as for a refused connection

    auto row = [](const char *name, const char *address, Behaviour behaviour, const char *reason,
                  bool trusted = true, bool stop = false) {
        QTest::newRow(name) << QString::fromUtf8(address) << behaviour << trusted << stop
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
    row("stop during the handshake", "nntps://127.0.0.1", Behaviour::StallHandshake, "", true,
        true);
    row("refused address", "nntps://127.0.0.1:0", Behaviour::Tls, "ポート番号");
}

void TestTls::noConnection()
{
    QFETCH(QString, address);
    QFETCH(Behaviour, behaviour);
    QFETCH(bool, trusted);
    QFETCH(bool, stopOnAccept);
    QFETCH(QString, reason);

    TlsServer server(behaviour);
    Setup s;
    // Quick ticks stand for the minutes of the idle time-out.
    if (behaviour == Behaviour::StallHandshake && !stopOnAccept)
        s.run.connection.Timer1.setInterval(5);
    if (stopOnAccept) {
        connect(&server, &QTcpServer::newConnection, &server,
                [&s] { QTimer::singleShot(50, [&s] { s.run.connection.ClientSocket1.close(); }); });
    }
    QCOMPARE(s.execute(address, server, {V4}, trusted), RunOutcome::NoConnection);
    if (reason.isEmpty()) {
        QCOMPARE(s.view.failures, QStringList());
    } else {
        QCOMPARE(s.view.failures.size(), 1);
        QVERIFY2(s.view.failures[0].contains(reason), qPrintable(s.view.failures[0]));
    }
    // Not a byte of the conversation, AUTHINFO above all, reached the server.
    QCOMPARE(server.commands, QList<QByteArray>());
    QCOMPARE(s.view.results.size(), std::size_t(0));
    QVERIFY(!s.run.connection.ClientSocket1.isOpen());
}

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
