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
// Where the script lets nnrpd log, and its daemons trace every command (nnrpd -t).
const QString NewsLog = QStringLiteral("/var/log/news/news.syslog");

RunOutcome runOn(RecordingView &view, const QString &address, bool authentication)
{
    view.address = address;
    view.authentication = authentication;
    view.user = "benchuser";
    view.password = "benchpass";
    BenchmarkRun run;
    run.connection.ClientSocket1.addTestAuthorities(
        QSslCertificate::fromPath(QStringLiteral("/etc/news/tls/ca.pem")));
    return run.execute(view);
}

QByteArray logSince(qint64 offset)
{
    QFile log(NewsLog);
    return log.open(QIODevice::ReadOnly) && log.seek(offset) ? log.readAll() : QByteArray();
}

bool setMode(const char *mode)
{
    return QProcess::execute(Script, {QStringLiteral("mode"), QString::fromLatin1(mode)}) == 0;
}

} // namespace

class TestInnTls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { setMode("open"); }
    void run_data();
    void run();

private:
    std::map<ResultField, QString> m_plain;
};

void TestInnTls::initTestCase()
{
    QVERIFY(setMode("open"));
    RecordingView view;
    QVERIFY2(runOn(view, QStringLiteral("127.0.0.1"), false) == RunOutcome::Completed,
             "the test news server is not running: scripts/inn/sample-server.sh start");
    m_plain = view.results;
    m_plain.erase(ResultField::Speed);
}

void TestInnTls::run_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("authentication");
    QTest::addColumn<QString>("refusal"); // empty: the same results as over plain TCP

    QTest::newRow("nntps") << "nntps://127.0.0.1" << false << "";
    QTest::newRow("nntps with authentication") << "nntps://127.0.0.1" << true << "";
    QTest::newRow("nntps on IPv6") << "nntps://[::1]:563" << false << "";
    QTest::newRow("nntps by name") << "nntps://localhost" << false << "";
    QTest::newRow("plain on IPv6") << "::1" << false << "";
    QTest::newRow("certificate for another name")
        << "nntps://127.0.0.1:5632" << true << "別の名前に発行された";
    QTest::newRow("expired certificate") << "nntps://127.0.0.1:5633" << true << "有効期限";
    QTest::newRow("self-signed certificate") << "nntps://127.0.0.1:5634" << true << "自己署名";
}

void TestInnTls::run()
{
    QFETCH(QString, address);
    QFETCH(bool, authentication);
    QFETCH(QString, refusal);
    // The server demands a password: the run would send it if it were going to.
    QVERIFY(setMode(authentication ? "auth" : "open"));
    const qint64 logStart = QFileInfo(NewsLog).size();
    RecordingView view;
    const RunOutcome outcome = runOn(view, address, authentication);
    if (refusal.isEmpty()) {
        QCOMPARE(outcome, RunOutcome::Completed);
        QCOMPARE(view.failures, QStringList());
        QVERIFY(view.results[ResultField::Speed].toLongLong() > 0);
        view.results.erase(ResultField::Speed);
        QCOMPARE(view.results, m_plain);
    } else {
        QCOMPARE(outcome, RunOutcome::NoConnection);
        QCOMPARE(view.failures.size(), 1);
        QVERIFY2(view.failures[0].contains(refusal), qPrintable(view.failures[0]));
    }
    if (!authentication || !QFile::exists(NewsLog))
        return;
    // The trace shows the AUTHINFO of a good run, so its absence after a refusal means what it
    // says. (A client that hangs up at once after a failed handshake leaves nnrpd nothing to
    // log, not even the connection.)
    if (refusal.isEmpty()) {
        QTRY_VERIFY(logSince(logStart).contains("< AUTHINFO USER benchuser"));
    } else {
        QTest::qWait(200);
        QVERIFY2(!logSince(logStart).contains("AUTHINFO"), logSince(logStart).constData());
    }
}

QTEST_GUILESS_MAIN(TestInnTls)
#include "tst_inn_tls.moc"
