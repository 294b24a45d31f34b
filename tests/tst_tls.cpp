// Runs over TLS and IPv6 against small local servers: the addresses of a name are raced, the
// certificate is checked against the name as typed, and a failed handshake ends the run with
// its reason before anything is sent. A login that would smuggle a command is never sent.
#include <QTest>
#include <QTimer>

#include <memory>

#include "tests/support/fakeserver.h"
#include "tests/support/recordingview.h"
#include "tests/support/silentaddress.h"

using namespace Qt::StringLiterals;

using Behaviour = FakeServer::Start;
using Addresses = QList<QHostAddress>;
Q_DECLARE_METATYPE(Behaviour)
Q_DECLARE_METATYPE(QSslError::SslError)
using SslErrors = QList<QSslError::SslError>;

namespace {

const QHostAddress V4 = QHostAddress(QHostAddress::LocalHost);
const QHostAddress V6 = QHostAddress(QHostAddress::LocalHostIPv6);
// A second IPv4 loopback address, for a second server on the first one's port.
const QHostAddress Other = QHostAddress(u"127.0.0.3"_s);
const QList<QByteArray> WholeConversation{"AUTHINFO USER user", "AUTHINFO PASS secret", "LIST",
                                          "QUIT"};

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
    run.setPortOverride(server.port());
    run.connection.ClientSocket1.setLookupResult(lookup);
    if (trusted)
        run.connection.ClientSocket1.addTrustedAuthorities(FakeServer::testAuthority());
    return run.execute(view);
}

// The login as read before connecting, then as read for its command.
class ChangingLoginView : public RecordingView
{
public:
    QByteArray authUser() const override { return next(users); }
    QByteArray authPassword() const override { return next(passwords); }
    mutable QList<QByteArray> users;
    mutable QList<QByteArray> passwords;

private:
    static QByteArray next(QList<QByteArray> &values)
    {
        return values.size() > 1 ? values.takeFirst() : values.value(0);
    }
};

// How the first of two addresses of a name behaves.
enum class First { Silent, StallHandshake, CloseInHandshake, CloseAtOnce };

} // namespace

class TestTls : public QObject
{
    Q_OBJECT

private slots:
    void completeRun_data();
    void completeRun();
    void noConnection_data();
    void noConnection();
    void race_data();
    void race();
    void loginRefused_data();
    void loginRefused();
    void certificateNames_data();
    void certificateNames();
    void certificateReasons_data();
    void certificateReasons();
};
Q_DECLARE_METATYPE(First)

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
    QTest::newRow("name with a final dot, certificate without")
        << "nntps://localhost." << Behaviour::Tls << V4 << Addresses{V4};
    QTest::newRow("full-width name over TLS")
        << u"ｎｎｔｐｓ：／／ｌｏｃａｌｈｏｓｔ"_s << Behaviour::Tls << V4 << Addresses{V4};
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
    QCOMPARE(server.commands, WholeConversation);
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
    row("localhost in the CN, another name in subjectAltName", "nntps://localhost",
        Behaviour::TlsLocalhostOnlyInCn,
        "別の名前に発行されたもので、localhost のものではありません");
    row("close before the handshake", "nntps://127.0.0.1", Behaviour::CloseAtOnce,
        "接続を切りました");
    row("nntp to the TLS port", "nntp://127.0.0.1:563", Behaviour::Tls, "nntps://");
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
    else
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

void TestTls::race_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<First>("first");

    QTest::newRow("first address drops packets, plain") << u"news.test"_s << First::Silent;
    QTest::newRow("first address drops packets, TLS") << u"nntps://localhost"_s << First::Silent;
    QTest::newRow("first address stalls its handshake")
        << u"nntps://localhost"_s << First::StallHandshake;
    QTest::newRow("first address hangs up in its handshake")
        << u"nntps://localhost"_s << First::CloseInHandshake;
    QTest::newRow("first address hangs up before its handshake")
        << u"nntps://localhost"_s << First::CloseAtOnce;
}

void TestTls::race()
{
    // The name resolves to a bad address first and a good one second, on the same port; the
    // run has far less time than a stalled address would hold it.
    QFETCH(QString, address);
    QFETCH(First, first);

    const bool tls = address.startsWith(u"nntps"_s);
    FakeServer good(tls ? Behaviour::Tls : Behaviour::Plain, V4);
    std::unique_ptr<SilentAddress> silent;
    std::unique_ptr<FakeServer> bad;
    switch (first) {
    case First::Silent:
        silent = std::make_unique<SilentAddress>(Other, good.port());
        QVERIFY2(silent->isSilent(), "the kernel answered every connection");
        break;
    case First::StallHandshake:
        bad = std::make_unique<FakeServer>(Behaviour::StallHandshake, Other, good.port());
        break;
    case First::CloseInHandshake:
        bad = std::make_unique<FakeServer>(Behaviour::CloseInHandshake, Other, good.port());
        break;
    case First::CloseAtOnce:
        bad = std::make_unique<FakeServer>(Behaviour::CloseAtOnce, Other, good.port());
        break;
    }
    BenchmarkRun run;
    RecordingView view;
    run.connection.Timer1.setInterval(10); // the 180 idle seconds in under two
    QCOMPARE(runOn(run, view, address, good, {Other, V4}), RunOutcome::Completed);
    QCOMPARE(view.failures, QStringList());
    QCOMPARE(good.commands, WholeConversation);
    if (bad) {
        // Tried, and never sent a byte of the conversation.
        QCOMPARE(bad->connectionCount(), 1);
        QCOMPARE(bad->commands, QList<QByteArray>());
    }
    if (first == First::StallHandshake) // the loser was abandoned, not left waiting
        QTRY_COMPARE(bad->client()->state(), QAbstractSocket::UnconnectedState);
}

void TestTls::loginRefused_data()
{
    QTest::addColumn<QList<QByteArray>>("users");
    QTest::addColumn<QList<QByteArray>>("passwords");
    QTest::addColumn<QList<QByteArray>>("commands"); // what the server got
    QTest::addColumn<QString>("reason");

    using Values = QList<QByteArray>;
    QTest::newRow("CR LF and a command in the password")
        << Values{"user"} << Values{"secret\r\nHELP"} << Values{} << u"パスワードに改行"_s;
    QTest::newRow("LF in the user name")
        << Values{"user\nHELP"} << Values{"secret"} << Values{} << u"ユーザ ID に改行"_s;
    QTest::newRow("lone CR at the end of the password")
        << Values{"user"} << Values{"secret\r"} << Values{} << u"パスワード"_s;
    QTest::newRow("tab in the user name")
        << Values{"us\ter"} << Values{"secret"} << Values{} << u"ユーザ ID"_s;
    QTest::newRow("DEL in the password")
        << Values{"user"} << Values{"sec\x7fret"} << Values{} << u"パスワード"_s;
    QTest::newRow("NUL in the password")
        << Values{"user"} << Values{QByteArray("sec\0ret", 7)} << Values{} << u"パスワード"_s;
    // Read again when its command is sent: a value changed since the first look is looked at
    // again, and the bad one never sent.
    QTest::newRow("password changed to a bad one after the check")
        << Values{"user"} << Values{"secret", "secret\r\nHELP"} << Values{"AUTHINFO USER user"}
        << u"パスワードに改行"_s;
    QTest::newRow("user name changed to a bad one after the check")
        << Values{"user", "user\r\nHELP"} << Values{"secret"} << Values{} << u"ユーザ ID"_s;
}

void TestTls::loginRefused()
{
    QFETCH(QList<QByteArray>, users);
    QFETCH(QList<QByteArray>, passwords);
    QFETCH(QList<QByteArray>, commands);
    QFETCH(QString, reason);

    FakeServer server;
    BenchmarkRun run;
    ChangingLoginView view;
    view.users = users;
    view.passwords = passwords;
    const RunOutcome outcome = runOn(run, view, u"127.0.0.1"_s, server, {});
    QCOMPARE(outcome,
             commands.isEmpty() && users.size() == 1 ? RunOutcome::NoConnection
                                                     : RunOutcome::Failed);
    QCOMPARE(view.failures.size(), 1);
    QVERIFY2(view.failures[0].contains(reason), qPrintable(view.failures[0]));
    QCOMPARE(server.commands, commands);
    if (users.size() == 1 && passwords.size() == 1) // refused before connecting
        QCOMPARE(server.connectionCount(), 0);
    QVERIFY(!run.connection.ClientSocket1.isOpen());
}

void TestTls::certificateNames_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("matches");

    auto row = [](const char *name, const char *file, const char *peer, bool matches) {
        QTest::newRow(name) << QString::fromUtf8(file) << QString::fromUtf8(peer) << matches;
    };
    row("name in subjectAltName", "server.pem", "localhost", true);
    row("name in capitals", "server.pem", "LOCALHOST", true);
    row("IPv4 in subjectAltName", "server.pem", "127.0.0.1", true);
    row("IPv6 in subjectAltName", "server.pem", "::1", true);
    row("another IPv4", "server.pem", "127.0.0.2", false);
    row("another name", "server.pem", "news.test", false);
    row("name only in the CN", "cnonly.pem", "localhost", false);
    row("name in subjectAltName beside another CN", "cnonly.pem", "other.test", true);
    row("wildcard stands for one label", "wildcard.pem", "news.wild.test", true);
    row("wildcard does not stand for two labels", "wildcard.pem", "a.news.wild.test", false);
    row("wildcard does not stand for none", "wildcard.pem", "wild.test", false);
    row("IP address against names only", "wildcard.pem", "127.0.0.1", false);
}

void TestTls::certificateNames()
{
    QFETCH(QString, file);
    QFETCH(QString, name);
    QFETCH(bool, matches);

    const QSslCertificate certificate = FakeServer::testCertificate(file.toUtf8().constData());
    QVERIFY(!certificate.isNull());
    QCOMPARE(CertificateNamesMatch(certificate, name), matches);
}

void TestTls::certificateReasons_data()
{
    QTest::addColumn<SslErrors>("errors");
    QTest::addColumn<QString>("first"); // the first line must hold it

    QTest::newRow("self-signed before another name")
        << SslErrors{QSslError::HostNameMismatch, QSslError::SelfSignedCertificate}
        << u"自己署名"_s;
    QTest::newRow("untrusted issuer before expiry")
        << SslErrors{QSslError::CertificateExpired, QSslError::UnableToGetLocalIssuerCertificate}
        << u"発行者は信頼されていません"_s;
    QTest::newRow("expired before not yet valid")
        << SslErrors{QSslError::CertificateNotYetValid, QSslError::CertificateExpired}
        << u"有効期限が切れています"_s;
    QTest::newRow("not yet valid before revoked")
        << SslErrors{QSslError::CertificateRevoked, QSslError::CertificateNotYetValid}
        << u"まだ有効になっていません"_s;
    QTest::newRow("revoked before another name")
        << SslErrors{QSslError::HostNameMismatch, QSslError::CertificateRevoked} << u"失効"_s;
    QTest::newRow("another name before the rest")
        << SslErrors{QSslError::InvalidPurpose, QSslError::HostNameMismatch}
        << u"別の名前に発行されたもので、news.test のものではありません"_s;
    QTest::newRow("self-signed in the chain before an untrusted issuer")
        << SslErrors{QSslError::CertificateUntrusted, QSslError::SelfSignedCertificateInChain}
        << u"自己署名"_s;
}

void TestTls::certificateReasons()
{
    QFETCH(SslErrors, errors);
    QFETCH(QString, first);

    QList<QSslError> sslErrors;
    for (const QSslError::SslError error : errors)
        sslErrors.append(QSslError(error));
    const QStringList lines = DescribeCertificateErrors(sslErrors, u"news.test"_s).split(u'\n');
    QCOMPARE(lines.size(), errors.size());
    QVERIFY2(lines[0].contains(first), qPrintable(lines.join(u" / ")));
}

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
