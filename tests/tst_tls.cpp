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

// How the first of two addresses of a name behaves, when a run is given two.
enum class First { None, Silent, StallHandshake, CloseInHandshake, CloseAtOnce };

} // namespace

class TestTls : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void loginRefused_data();
    void loginRefused();
    void certificateNames_data();
    void certificateNames();
    void certificateReasons();
};
Q_DECLARE_METATYPE(First)
Q_DECLARE_METATYPE(RunOutcome)

void TestTls::run_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<QHostAddress>("listenOn");
    QTest::addColumn<Addresses>("lookup");
    QTest::addColumn<First>("first"); // a bad address at Other, on the server's port
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<RunOutcome>("outcome");
    QTest::addColumn<QString>("reason"); // of a failed connection; empty: stopped, no message

    auto row = [](const char *name, const QString &address, Behaviour behaviour,
                  const QHostAddress &listenOn, const Addresses &lookup) {
        QTest::newRow(name) << address << behaviour << listenOn << lookup << First::None << true
                            << RunOutcome::Completed << QString();
    };
    row("nntps on [::1]", u"nntps://[::1]"_s, Behaviour::Tls, V6, {});
    row("localhost looked up", u"localhost"_s, Behaviour::Plain, V4, {});
    row("localhost, IPv6 refuses, TLS on IPv4", u"nntps://localhost"_s, Behaviour::Tls, V4,
        {V6, V4});
    row("localhost, IPv4 refuses, IPv6 accepts", u"localhost"_s, Behaviour::Plain, V6, {V4, V6});
    row("first address refuses, second accepts", u"news.test"_s, Behaviour::Plain, V4,
        {QHostAddress(u"127.0.0.2"_s), V4});
    row("name with a final dot, certificate without", u"nntps://localhost."_s, Behaviour::Tls, V4,
        {V4});
    row("full-width name over TLS", u"ｎｎｔｐｓ：／／ｌｏｃａｌｈｏｓｔ"_s, Behaviour::Tls, V4,
        {V4});
    // The run has far less time than a stalled first address would hold it.
    auto race = [](const char *name, Behaviour behaviour, First first) {
        QTest::newRow(name) << (behaviour == Behaviour::Tls ? u"nntps://localhost"_s
                                                            : u"news.test"_s)
                            << behaviour << V4 << Addresses{Other, V4} << first << true
                            << RunOutcome::Completed << QString();
    };
    race("first address drops packets, plain", Behaviour::Plain, First::Silent);
    race("first address drops packets, TLS", Behaviour::Tls, First::Silent);
    race("first address stalls its handshake", Behaviour::Tls, First::StallHandshake);
    race("first address hangs up in its handshake", Behaviour::Tls, First::CloseInHandshake);
    race("first address hangs up before its handshake", Behaviour::Tls, First::CloseAtOnce);
    // No connection, and not a byte of the conversation, AUTHINFO above all, sent.
    auto fails = [](const char *name, const char *address, Behaviour behaviour, const char *reason,
                    bool trusted = true) {
        QTest::newRow(name) << QString::fromUtf8(address) << behaviour << V4 << Addresses{V4}
                            << First::None << trusted << RunOutcome::NoConnection
                            << QString::fromUtf8(reason);
    };
    fails("untrusted issuer", "nntps://127.0.0.1", Behaviour::Tls, "発行者は信頼されていません",
          false);
    fails("certificate for another name", "nntps://news.test", Behaviour::Tls,
          "別の名前に発行されたもので、news.test のものではありません");
    fails("junk instead of a handshake", "nntps://127.0.0.1", Behaviour::Junk,
          "TLS の接続手順に失敗");
    fails("close in the middle of the handshake", "nntps://127.0.0.1", Behaviour::CloseInHandshake,
          "接続を切りました");
    fails("stalled handshake", "nntps://127.0.0.1", Behaviour::StallHandshake, "時間切れ");
    fails("stop during the handshake", "nntps://127.0.0.1", Behaviour::StallHandshake, "");
    fails("refused address", "nntps://127.0.0.1:0", Behaviour::Tls, "ポート番号");
    fails("localhost in the CN, another name in subjectAltName", "nntps://localhost",
          Behaviour::TlsLocalhostOnlyInCn,
          "別の名前に発行されたもので、localhost のものではありません");
    fails("close before the handshake", "nntps://127.0.0.1", Behaviour::CloseAtOnce,
          "接続を切りました");
    fails("nntp to the TLS port", "nntp://127.0.0.1:563", Behaviour::Tls, "nntps://");
}

void TestTls::run()
{
    QFETCH(QString, address);
    QFETCH(Behaviour, behaviour);
    QFETCH(QHostAddress, listenOn);
    QFETCH(Addresses, lookup);
    QFETCH(First, first);
    QFETCH(bool, trusted);
    QFETCH(RunOutcome, outcome);
    QFETCH(QString, reason);

    FakeServer server(behaviour, listenOn);
    std::unique_ptr<SilentAddress> silent;
    std::unique_ptr<FakeServer> bad;
    if (first == First::Silent) {
        silent = std::make_unique<SilentAddress>(Other, server.port());
        QVERIFY2(silent->isSilent(), "the kernel answered every connection");
    } else if (first != First::None) {
        const Behaviour start = first == First::StallHandshake ? Behaviour::StallHandshake
            : first == First::CloseInHandshake                 ? Behaviour::CloseInHandshake
                                                               : Behaviour::CloseAtOnce;
        bad = std::make_unique<FakeServer>(start, Other, server.port());
    }
    BenchmarkRun run;
    RecordingView view;
    QTimer stop; // the stop button, once the server has the connection
    connect(&stop, &QTimer::timeout, &server, [&] {
        if (server.hasClient())
            run.connection.ClientSocket1.close();
    });
    if (outcome == RunOutcome::NoConnection && reason.isEmpty())
        stop.start(10);
    run.connection.Timer1.setInterval(10); // the 180 idle seconds in under two
    QCOMPARE(runOn(run, view, address, server, lookup, trusted), outcome);
    if (outcome == RunOutcome::NoConnection) {
        QCOMPARE(view.failures.size(), reason.isEmpty() ? 0 : 1);
        if (!reason.isEmpty())
            QVERIFY2(view.failures[0].contains(reason), qPrintable(view.failures[0]));
        QCOMPARE(server.commands, QList<QByteArray>());
        QVERIFY(view.results.empty());
        QVERIFY(!run.connection.ClientSocket1.isOpen());
        return;
    }
    QCOMPARE(view.failures, QStringList());
    QCOMPARE(view.results[ResultField::GroupCount], QStringLiteral("1"));
    QCOMPARE(server.commands, WholeConversation);
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
    // Any control character, not only a line break.
    QTest::newRow("tab in the user name")
        << Values{"us\ter"} << Values{"secret"} << Values{} << u"ユーザ ID"_s;
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
    row("name in capitals", "server.pem", "LOCALHOST", true);
    row("IPv4 in subjectAltName", "server.pem", "127.0.0.1", true);
    row("another IPv4", "server.pem", "127.0.0.2", false);
    row("name in subjectAltName beside another CN", "cnonly.pem", "other.test", true);
    row("wildcard stands for one label", "wildcard.pem", "news.wild.test", true);
    row("wildcard does not stand for two labels", "wildcard.pem", "a.news.wild.test", false);
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

void TestTls::certificateReasons()
{
    // Most telling first, one line per reason: every error given in the reverse order.
    const std::pair<QSslError::SslError, QString> ranked[]{
        {QSslError::SelfSignedCertificateInChain, u"自己署名"_s},
        {QSslError::SelfSignedCertificate, u"自己署名"_s},
        {QSslError::CertificateUntrusted, u"発行者は信頼されていません"_s},
        {QSslError::UnableToGetLocalIssuerCertificate, u"発行者は信頼されていません"_s},
        {QSslError::CertificateExpired, u"有効期限が切れています"_s},
        {QSslError::CertificateNotYetValid, u"まだ有効になっていません"_s},
        {QSslError::CertificateRevoked, u"失効"_s},
        {QSslError::HostNameMismatch,
         u"別の名前に発行されたもので、news.test のものではありません"_s},
        {QSslError::InvalidPurpose, u"確認できませんでした"_s}};
    QList<QSslError> errors;
    QStringList expected;
    for (const auto &[error, reason] : ranked) {
        errors.prepend(QSslError(error));
        if (!expected.contains(reason))
            expected << reason;
    }
    const QStringList lines = DescribeCertificateErrors(errors, u"news.test"_s).split(u'\n');
    QCOMPARE(lines.size(), expected.size());
    for (qsizetype i = 0; i < lines.size(); ++i)
        QVERIFY2(lines[i].contains(expected[i]), qPrintable(lines.join(u" / ")));
}

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
