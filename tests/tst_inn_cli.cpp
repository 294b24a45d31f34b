// newsbench --run against the real news server that scripts/test.sh starts on 127.0.0.1:119:
// the terminal gives the reports that the window gives after a run against the same server.
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "engine/grouplist.h"
#include "report/versionstring.h"
#include "report/webreport.h"
#include "tests/support/modalwatcher.h"
#include "tests/support/program.h"
#include "ui/formmain.h"
#include "ui/texts.h"

using namespace Qt::StringLiterals;

namespace {

const QString Name = u"テスト ISP"_s;
constexpr int Kind = 2;
const QByteArray Secret = "Zq7-not-for-your-eyes";
const QRegularExpression SpeedLine(u"^平均速度     : \\d+\\.\\d\\d kbps$"_s);
const QRegularExpression SpeedKey(u"&Speed=(\\d+)&"_s);

void setMode(const QString &mode)
{
    QCOMPARE(QProcess::execute(u"" NEWSBENCH_SOURCE_DIR "/scripts/inn/sample-server.sh"_s,
                               {u"mode"_s, mode}),
             0);
}

} // namespace

class TestInnCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sameReportAsTheWindow_data();
    void sameReportAsTheWindow();
    void exitStatus_data();
    void exitStatus();

private:
    QStringList m_windowLines;
    ReportFields m_window;
    qint64 m_listBytes = 0;
    QTemporaryDir m_dir;
};

void TestInnCli::initTestCase()
{
    setMode(u"open"_s);
    ModalWatcher watcher;
    TFormMain form;
    form.EditName->setText(Name);
    form.ServerType->setCurrentIndex(Kind);
    form.EditAddress->setText(u"127.0.0.1"_s);
    form.BtnStart->click();
    QVERIFY(form.BtnCopyToClipboard->isEnabled());
    form.BtnCopyToClipboard->click();
    m_windowLines = QGuiApplication::clipboard()->text().split(u"\r\n"_s);
    m_window = form.reportFields();
    m_listBytes = form.run.analyzer.ListByteCount;
}

void TestInnCli::cleanupTestCase()
{
    setMode(u"open"_s);
}

void TestInnCli::sameReportAsTheWindow_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("text") << u"text"_s;
    QTest::newRow("json") << u"json"_s;
    QTest::newRow("url") << u"url"_s;
}

// The speed differs between two runs; every other value must be the window's.
void TestInnCli::sameReportAsTheWindow()
{
    QFETCH(QString, format);
    const ProgramResult result
        = RunProgram({u"--run"_s, u"127.0.0.1"_s, u"--name"_s, Name, u"--type"_s,
                      QString::number(Kind), u"--format"_s, format});
    QCOMPARE(result.status, 0);
    ReportFields expected = m_window;

    if (format == u"text") {
        QStringList lines = QString::fromUtf8(result.out).split(u'\n');
        QStringList window = m_windowLines;
        QCOMPARE(lines.size(), 29); // 28 lines, each ended by LF
        QVERIFY(SpeedLine.match(lines[11]).hasMatch());
        QVERIFY(SpeedLine.match(window[11]).hasMatch());
        lines[11] = window[11] = QString();
        // The window in this test runs from a test program, which carries no version.
        window[1] = Texts::AppTitle + u' ' + VersionString(ProgramPath());
        QCOMPARE(lines, window);
        return;
    }

    QByteArray url = result.out;
    if (format == u"json") {
        QJsonParseError error;
        const QJsonObject json = QJsonDocument::fromJson(result.out, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        const std::pair<QString, QJsonValue> same[]
            = {{u"name"_s, Name},
               {u"kind"_s, Kind},
               {u"kindText"_s, m_window.serverTypeText},
               {u"address"_s, m_window.address},
               {u"posting"_s, m_window.postAllowed},
               {u"version"_s, VersionString(ProgramPath())},
               {u"listBytes"_s, m_listBytes},
               {u"groupCount"_s, m_window.groupCount.toLongLong()}};
        for (const auto &[key, value] : same)
            QVERIFY2(json[key] == value, qPrintable(key));
        QCOMPARE(json[u"speed"_s].toInteger(),
                 BytesPerSecond(m_listBytes, json[u"listElapsedUs"_s].toInteger()));
        for (int h = 0; h < HierarchyCount; ++h) {
            const QString key
                = QString::fromLatin1(HierarchyKeys[h].data(), qsizetype(HierarchyKeys[h].size()));
            QCOMPARE(json[u"counts"_s][key].toInteger(), m_window.counts[h].toLongLong());
            QCOMPARE(json[u"retentionDays"_s][key].toInteger(), m_window.expires[h].toLongLong());
        }
        url = json[u"reportUrl"_s].toString().toLatin1() + '\n';
    }
    const QRegularExpressionMatch speed = SpeedKey.match(QString::fromLatin1(url));
    QVERIFY(speed.hasMatch());
    expected.speed = speed.captured(1);
    QCOMPARE(url, BuildReportUrl(expected) + '\n');
}

void TestInnCli::exitStatus_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("environmentPassword");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    const QString passwordFile = m_dir.filePath(u"password"_s);
    QFile file(passwordFile);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(Secret + '\n') > 0);
    const QStringList login = {u"--run"_s, u"127.0.0.1"_s, u"--user"_s, u"benchuser"_s};
    QTest::newRow("complete run") << u"open"_s << QStringList{u"--run"_s, u"127.0.0.1"_s}
                                  << QByteArray() << QByteArray() << 0
                                  << Texts::LbExpire + u' ' + Texts::HierarchyNames[4];
    // The run ends normally, but the window's copy button would refuse the empty speed too.
    QTest::newRow("list refused without a login")
        << u"auth"_s << QStringList{u"--run"_s, u"127.0.0.1"_s} << QByteArray() << QByteArray() << 3
        << u"'' は整数ではありません."_s;
    QTest::newRow("wrong password from a file")
        << u"auth"_s << login + QStringList{u"--password-file"_s, passwordFile} << QByteArray()
        << QByteArray() << 3 << u"接続できませんでした。\n481 Authentication failed\n"_s;
    QTest::newRow("wrong password from the environment")
        << u"auth"_s << login << Secret << QByteArray() << 3
        << u"接続できませんでした。\n481 Authentication failed\n"_s;
    QTest::newRow("password from standard input")
        << u"auth"_s << login + QStringList{u"--password-file"_s, u"-"_s} << Secret
        << QByteArray("benchpass\n") << 0
        << Texts::LbGroups + u' ' + m_window.groupCount + u' ' + Texts::Label11;
}

void TestInnCli::exitStatus()
{
    QFETCH(QString, mode);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, environmentPassword);
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    QFETCH(QString, message);
    setMode(mode);
    QProcessEnvironment environment;
    if (!environmentPassword.isEmpty())
        environment.insert(u"NEWSBENCH_PASSWORD"_s, QString::fromLatin1(environmentPassword));
    const ProgramResult result = RunProgram(arguments, environment, input);
    QCOMPARE(result.status, status);
    QVERIFY2(QString::fromUtf8(result.err).contains(message), result.err.constData());
    for (const QByteArray &password : {Secret, QByteArray("benchpass")})
        QVERIFY(!result.out.contains(password) && !result.err.contains(password));
}

QTEST_MAIN(TestInnCli)
#include "tst_inn_cli.moc"
