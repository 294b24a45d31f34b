// Runs against the news server's TLS and IPv6 daemons that scripts/inn/sample-server.sh
// starts beside it: the same results as over plain TCP, and each certificate that fails is
// refused with its reason before a command, AUTHINFO above all, is sent.
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSslCertificate>
#include <QTest>

#include "tests/support/recordingview.h"

namespace {

const QString Script = QStringLiteral(NEWSBENCH_SOURCE_DIR "/scripts/inn/sample-server.sh");
const QString Authority = QStringLiteral("/etc/news/tls/ca.pem");
const QString NewsLog = QStringLiteral("/var/log/news/news.syslog");

bool setMode(const char *mode)
{
    return QProcess::execute(Script, {QStringLiteral("mode"), QString::fromLatin1(mode)}) == 0;
}

struct Setup
{
    RecordingView view;
    BenchmarkRun run;

    RunOutcome execute(const QString &address, bool authentication)
    {
        view.address = address;
        view.authentication = authentication;
        view.user = "benchuser";
        view.password = "benchpass";
        run.connection.ClientSocket1.addTestAuthorities(QSslCertificate::fromPath(Authority));
        return run.execute(view);
    }
};

QByteArray logSince(qint64 offset)
{
    QFile log(NewsLog);
    if (!log.open(QIODevice::ReadOnly) || !log.seek(offset))
        return {};
    return log.readAll();
}

} // namespace

class TestInnTls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sameResults_data();
    void sameResults();
    void refusedCertificate_data();
    void refusedCertificate();

private:
    std::map<ResultField, QString> m_plain;
};

void TestInnTls::initTestCase()
{
    QVERIFY(setMode("open"));
    Setup s;
    QVERIFY2(s.execute(QStringLiteral("127.0.0.1"), false) == RunOutcome::Completed,
             "the test news server is not running: scripts/inn/sample-server.sh start");
    m_plain = s.view.results;
    m_plain.erase(ResultField::Speed);
}

void TestInnTls::cleanupTestCase()
{
    setMode("open");
}

void TestInnTls::sameResults_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("authentication");
    QTest::newRow("nntps") << "nntps://127.0.0.1" << false;
    QTest::newRow("nntps with authentication") << "nntps://127.0.0.1" << true;
    QTest::newRow("nntps on IPv6") << "nntps://[::1]:563" << false;
    QTest::newRow("nntps by name") << "nntps://localhost" << false;
    QTest::newRow("plain on IPv6") << "::1" << false;
}

void TestInnTls::sameResults()
{
    QFETCH(QString, address);
    QFETCH(bool, authentication);
    QVERIFY(setMode(authentication ? "auth" : "open"));
    const qint64 logStart = QFileInfo(NewsLog).size();
    Setup s;
    QCOMPARE(s.execute(address, authentication), RunOutcome::Completed);
    QCOMPARE(s.view.failures, QStringList());
    QVERIFY(s.view.results[ResultField::Speed].toLongLong() > 0);
    s.view.results.erase(ResultField::Speed);
    QCOMPARE(s.view.results, m_plain);
    // The daemons' trace reaches the log: what the refused runs below rely on.
    if (authentication && QFile::exists(NewsLog))
        QTRY_VERIFY(logSince(logStart).contains("< AUTHINFO USER benchuser"));
}

void TestInnTls::refusedCertificate_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("reason");
    QTest::newRow("another name") << "nntps://127.0.0.1:5632"
                                  << "別の名前に発行された";
    QTest::newRow("expired") << "nntps://127.0.0.1:5633"
                             << "有効期限が切れています";
    QTest::newRow("self-signed") << "nntps://127.0.0.1:5634"
                                 << "自己署名";
}

void TestInnTls::refusedCertificate()
{
    QFETCH(QString, address);
    QFETCH(QString, reason);
    // The server would demand a password: the run would send it if it were going to.
    QVERIFY(setMode("auth"));
    const qint64 logStart = QFileInfo(NewsLog).size();
    Setup s;
    QCOMPARE(s.execute(address, true), RunOutcome::NoConnection);
    QCOMPARE(s.view.failures.size(), 1);
    QVERIFY2(s.view.failures[0].contains(reason), qPrintable(s.view.failures[0]));

    // The server's trace: no command at all. (A client that hangs up at once after a failed
    // handshake leaves nnrpd nothing to log, not even the connection.)
    if (!QFile::exists(NewsLog))
        QSKIP("nnrpd logs to this machine's own syslog daemon, not to the file the tests read");
    QTest::qWait(200);
    const QByteArray log = logSince(logStart);
    QVERIFY2(!log.contains("AUTHINFO"), log.constData());
}

QTEST_GUILESS_MAIN(TestInnTls)
#include "tst_inn_tls.moc"
