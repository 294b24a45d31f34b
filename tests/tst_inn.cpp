// Whole runs against the sample news server (scripts/inn/sample-server.sh): through the window
// in each access mode, over TLS and IPv6, and from the terminal against the window's report.
// The expected numbers follow from its sample data (scripts/inn/groups.txt, articles.txt).
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>

#include "report/versionstring.h"
#include "report/webreport.h"
#include "tests/support/program.h"
#include "tests/support/runwindow.h"
#include "ui/texts.h"

using namespace Qt::StringLiterals;

namespace {

const QString Name = u"テスト ISP"_s;
constexpr int Kind = 2;
const QByteArray Secret = "Zq7-not-for-your-eyes";
const QRegularExpression SpeedLine(u"^平均速度     : \\d+\\.\\d\\d kbps$"_s);
// Groups per hierarchy, and the age in days of the article each walk must settle on: in
// alt.sex.stories only if the cancelled articles of its gap are not counted. No age: no
// article, which shows 0, or -1 where there is no group either.
constexpr int Counts[HierarchyCount] = {6, 4, 4, 0, 3};
constexpr int DaysAgo[HierarchyCount] = {30, 20, -1, -1, 15};

const QString SampleServer = u"" NEWSBENCH_SOURCE_DIR "/scripts/inn/sample-server.sh"_s;

bool setMode(const QString &mode)
{
    return QProcess::execute(SampleServer, {u"mode"_s, mode}) == 0;
}

// What `sample-server.sh info` says: its ports (which are 119, 563 and so on only where those
// were free), its test authority and its syslog file.
QMap<QString, QString> SampleInfo()
{
    QProcess info;
    info.start(SampleServer, {u"info"_s});
    info.waitForFinished(20000);
    QMap<QString, QString> values;
    for (const QString &line : QString::fromUtf8(info.readAllStandardOutput()).split(u'\n')) {
        if (const qsizetype equals = line.indexOf(u'='); equals > 0)
            values.insert(line.first(equals), line.sliced(equals + 1));
    }
    return values;
}

QMap<QString, QString> Sample;

// An address as typed, with the port where the server does not listen on the usual one.
QString At(const QString &host, const QString &port, bool tls = false)
{
    const QString usual = tls ? u"563"_s : u"119"_s;
    const QString scheme = tls ? u"nntps://"_s : QString();
    if (Sample.value(port) == usual)
        return scheme + host;
    const QString bracketed
        = host.contains(u':') && !host.startsWith(u'[') ? u'[' + host + u']' : host;
    return scheme + bracketed + u':' + Sample.value(port);
}

QStringList RunArguments()
{
    return {u"--run"_s,  At(u"127.0.0.1"_s, u"plain"_s), u"--name"_s, Name,
            u"--type"_s, QString::number(Kind)};
}

void runWindow(RunWindow &w, const QString &address, bool login)
{
    w.form.run.connection.ClientSocket1.addTrustedAuthorities(
        QSslCertificate::fromPath(Sample.value(u"ca"_s)));
    w.form.EditName->setText(Name);
    w.form.ServerType->setCurrentIndex(Kind);
    w.form.EditAddress->setText(address);
    w.form.ChkUseAuth->setChecked(login);
    w.form.EditUserID->setText(u"benchuser"_s);
    w.form.EditPassword->setText(u"benchpass"_s);
    w.start();
}

} // namespace

class TestInn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { setMode(u"open"_s); }
    void windowRun_data();
    void windowRun();
    void terminal_data();
    void terminal();

private:
    int m_groups = 0;
    QDate m_posted;
    QTemporaryFile m_secret;
};

void TestInn::initTestCase()
{
    Sample = SampleInfo();
    QVERIFY2(Sample.contains(u"plain"_s), "the sample news server has not been started");
    QVERIFY(setMode(u"open"_s));
    // The server's own answers: its group count, and in misc.test's third article the day the
    // sample articles were posted.
    QTcpSocket socket;
    socket.connectToHost(u"127.0.0.1"_s, Sample.value(u"plain"_s).toUShort());
    socket.write("LIST\r\nGROUP misc.test\r\nXHDR Date 3\r\nQUIT\r\n");
    while (socket.waitForReadyRead(5000)) { }
    const QString answer = QString::fromLatin1(socket.readAll());
    QVERIFY2(answer.startsWith(u"200"), "the sample news server is not running");
    m_groups = int(answer.split(u'\n').indexOf(u".\r")) - 2; // the greeting, 215, the groups
    const QString date = QRegularExpression(u"\n3 (.*)\r"_s).match(answer).captured(1);
    m_posted = QDateTime::fromString(date, Qt::RFC2822Date).date();
    QVERIFY(m_posted.isValid());
    QVERIFY(m_secret.open() && m_secret.write(Secret + '\n') > 0 && m_secret.flush());
}

void TestInn::windowRun_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("refusal"); // empty: a complete run
    const auto row = [](const char *name, const char *mode, const QString &address,
                        const char *refusal = "") {
        QTest::newRow(name) << QString::fromLatin1(mode) << address << QString::fromUtf8(refusal);
    };
    const QString v4 = u"127.0.0.1"_s;
    const auto bad = [](const char *which) {
        return u"nntps://127.0.0.1:"_s + Sample.value(QString::fromLatin1(which));
    };
    row("open", "open", At(v4, u"plain"_s));
    row("read-only", "readonly", At(v4, u"plain"_s));
    row("with authentication", "auth", At(v4, u"plain"_s));
    row("nntps with authentication", "auth", At(v4, u"tls"_s, true));
    row("nntps on IPv6", "open", u"nntps://[::1]:"_s + Sample.value(u"tls"_s));
    row("nntps by name", "open", At(u"localhost"_s, u"tls"_s, true));
    row("plain on IPv6", "open", At(u"::1"_s, u"plain"_s));
    row("certificate for another name", "auth", bad("othername"), "別の名前に発行された");
    row("expired certificate", "auth", bad("expired"), "有効期限");
    row("self-signed certificate", "auth", bad("selfsigned"), "自己署名");
}

void TestInn::windowRun()
{
    QFETCH(QString, mode);
    QFETCH(QString, address);
    QFETCH(QString, refusal);
    QVERIFY(setMode(mode));
    // The TLS and IPv6 daemons trace every command (nnrpd -t); what this run makes them log.
    // Where the machine has a syslog daemon of its own, the trace is there, out of reach.
    QFile log(Sample.value(u"syslog"_s));
    const bool traced = log.open(QIODevice::ReadOnly) && log.seek(log.size());
    if (!traced && qEnvironmentVariable("CI") == u"true")
        QFAIL("the sample server's syslog file is missing");
    QByteArray logged;
    RunWindow w;
    const QDate before = QDate::currentDate();
    runWindow(w, address, mode == u"auth");
    const QDate after = QDate::currentDate();
    QCOMPARE(w.watcher.boxes.size(), refusal.isEmpty() ? 1 : 2); // the confirmation, a refusal
    QVERIFY2(w.watcher.boxes.last().text.contains(refusal),
             qPrintable(w.watcher.boxes.last().text));
    QCOMPARE(w.reportsEnabled(), refusal.isEmpty());
    if (!refusal.isEmpty()) {
        // nnrpd logs nothing for a client that hangs up after a failed handshake, so its
        // trace shows the AUTHINFO of a good run only.
        QTest::qWait(200);
        if (traced)
            QVERIFY2(!(logged += log.readAll()).contains("AUTHINFO"), logged.constData());
        return;
    }
    QCOMPARE(w.form.EditPostAllowed->text(), mode == u"readonly" ? u"不可"_s : u"可"_s);
    QCOMPARE(w.form.EditGroupCount->text(), QString::number(m_groups));
    QVERIFY(w.form.EditSpeed->text().toLongLong() > 0);
    for (int h = 0; h < HierarchyCount; ++h) {
        QCOMPARE(w.form.EditCount[h]->text(), QString::number(Counts[h]));
        const QString shown = w.form.EditExpire[h]->text();
        const auto on = [&](QDate day) {
            return QString::number(DaysAgo[h] < 0 ? -int(Counts[h] == 0)
                                                  : DaysAgo[h] + m_posted.daysTo(day));
        };
        QVERIFY2(shown == on(before) || shown == on(after), qPrintable(shown));
    }
    if (traced && mode == u"auth" && address.startsWith(u"nntps"))
        QTRY_VERIFY((logged += log.readAll()).contains("< AUTHINFO USER benchuser"));
}

void TestInn::terminal_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message"); // on standard error
    QTest::addColumn<QByteArray>("password"); // NEWSBENCH_PASSWORD
    QTest::addColumn<QByteArray>("input");
    const auto row = [](const char *name, const char *mode, const QStringList &arguments,
                        int status, const QString &message, const QByteArray &password = {},
                        const QByteArray &input = {}) {
        QTest::newRow(name) << QString::fromLatin1(mode) << arguments << status << message
                            << password << input;
    };
    const QStringList user = {u"--user"_s, u"benchuser"_s};
    const QString file = u"--password-file"_s;
    const QString refused = u"接続できませんでした。\n481 Authentication failed\n"_s;
    row("text as the copy button's", "open", {}, 0,
        Texts::LbExpire + u' ' + Texts::HierarchyNames[4]);
    row("json with the window's numbers", "open", {u"--format"_s, u"json"_s}, 0, {});
    row("url as the report button's", "open", {u"--format"_s, u"url"_s}, 0, {});
    // The article speed after the run, over 1 and 2 connections of a second each: the sample
    // server's large binary group has articles to read.
    row("article speed in json", "open",
        {u"--articles"_s, u"--connections"_s, u"2"_s, u"--article-seconds"_s, u"1"_s, u"--format"_s,
         u"json"_s},
        0, Texts::LbArticles);
    // The run ends normally, but it is incomplete: the server's answer says why.
    row("list refused without a login", "auth", {}, 3,
        u"the server refused LIST: 480 Authentication required"_s);
    row("wrong password from a file", "auth", user + QStringList{file, m_secret.fileName()}, 3,
        refused);
    row("wrong password from the environment", "auth", user, 3, refused, Secret);
    row("password from standard input before the environment", "auth",
        user + QStringList{file, u"-"_s}, 0,
        Texts::LbGroups + u' ' + QString::number(m_groups) + u' ' + Texts::Label11, Secret,
        "benchpass\n");
}

void TestInn::terminal()
{
    QFETCH(QString, mode);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, message);
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, input);
    QVERIFY(setMode(mode));
    QProcessEnvironment environment;
    if (!password.isEmpty())
        environment.insert(u"NEWSBENCH_PASSWORD"_s, QString::fromLatin1(password));
    ProgramResult result;
    RunWindow w;
    for (QDate day; day != QDate::currentDate();) { // both runs on one day: retention counts days
        day = QDate::currentDate();
        result = RunProgram(RunArguments() + arguments, environment, input);
        if (status == 0) // the window's run to compare with, with a login every mode takes
            runWindow(w, At(u"127.0.0.1"_s, u"plain"_s), true);
    }
    QCOMPARE(result.status, status);
    QVERIFY2(QString::fromUtf8(result.err).contains(message), result.err.constData());
    for (const QByteArray &secret : {Secret, QByteArray("benchpass")})
        QVERIFY(!result.out.contains(secret) && !result.err.contains(secret));
    QCOMPARE(result.out.isEmpty(), status != 0);
    if (status != 0)
        return;
    const ReportFields window = w.form.reportFields();
    if (!arguments.contains(u"--format"_s)) {
        w.form.BtnCopyToClipboard->click();
        QStringList copied = QGuiApplication::clipboard()->text().split(u"\r\n"_s);
        QStringList lines = QString::fromUtf8(result.out).split(u'\n');
        QVERIFY(lines.size() == 29 && copied.size() == 29); // 28 lines, each ended
        QVERIFY(SpeedLine.match(lines[11]).hasMatch() && SpeedLine.match(copied[11]).hasMatch());
        lines[11] = copied[11]; // the speed differs between two runs
        // The window runs in this test program, which carries no version.
        copied[1] = Texts::AppTitle + u' ' + VersionString(ProgramPath());
        QCOMPARE(lines, copied);
        return;
    }
    QByteArray url = result.out;
    if (arguments.contains(u"json"_s)) {
        const QJsonObject json = QJsonDocument::fromJson(result.out).object(); // empty if unparsed
        const qint64 listBytes = w.form.run.analyzer.ListByteCount;
        const std::pair<QString, QJsonValue> same[]
            = {{u"name"_s, Name},
               {u"kind"_s, Kind},
               {u"kindText"_s, window.serverTypeText},
               {u"address"_s, window.address},
               {u"posting"_s, window.postAllowed},
               {u"version"_s, VersionString(ProgramPath())},
               {u"listBytes"_s, listBytes},
               {u"groupCount"_s, window.groupCount.toLongLong()}};
        for (const auto &[key, value] : same)
            QVERIFY2(json[key] == value, qPrintable(key));
        QCOMPARE(json[u"speed"_s].toInteger(),
                 BytesPerSecond(listBytes, json[u"listElapsedUs"_s].toInteger()));
        for (int h = 0; h < HierarchyCount; ++h) {
            const QString key = QString::fromLatin1(HierarchyKeys[h]);
            QCOMPARE(json[u"counts"_s][key], QJsonValue(window.counts[h].toLongLong()));
            QCOMPARE(json[u"retentionDays"_s][key], QJsonValue(window.expires[h].toLongLong()));
        }
        url = json[u"reportUrl"_s].toString().toLatin1() + '\n';
        if (arguments.contains(u"--articles"_s)) { // the window's run measured none
            const QJsonObject articles = json[u"articles"_s].toObject();
            QVERIFY2(!articles[u"steps"_s].toArray().isEmpty(), result.out.constData());
            for (const QJsonValue step : articles[u"steps"_s].toArray())
                QVERIFY(step[u"bytes"_s].toInteger() > 0);
            QVERIFY(articles[u"articlesFound"_s].toInteger() > 0);
            QVERIFY(articles[u"acceptedConnections"_s].toInteger() >= 1);
            return;
        }
    }
    ReportFields expected = window;
    expected.speed
        = QRegularExpression(u"&Speed=(\\d+)&"_s).match(QString::fromLatin1(url)).captured(1);
    QVERIFY(!expected.speed.isEmpty());
    QCOMPARE(url, BuildReportUrl(expected) + '\n');
}

QTEST_MAIN(TestInn)
#include "tst_inn.moc"
