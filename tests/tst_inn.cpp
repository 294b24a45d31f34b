// Whole runs against the real news server that scripts/test.sh starts on 127.0.0.1:119
// (scripts/inn/sample-server.sh), one per access mode. The expected numbers follow from the
// server's sample data (scripts/inn/groups.txt and articles.txt).
#include <QCheckBox>
#include <QDateTime>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include "tests/support/runwindow.h"

namespace {

const QString Script = QStringLiteral(NEWSBENCH_SOURCE_DIR "/scripts/inn/sample-server.sh");

// Groups per hierarchy, and the age in days of the articles each walk must settle on: in
// alt.sex.stories only if the cancelled articles of its gap are not counted.
constexpr int Counts[5] = {6, 4, 4, 0, 2};
constexpr int DaysAgo[5] = {30, 20, 0, 0, 15};
constexpr bool Dated[5] = {true, true, false, false, true};

// The server's own answer to a few commands, read without the program.
QByteArray talk(const QList<QByteArray> &commands)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), 119);
    QByteArray received;
    auto readUntil = [&](const QByteArray &end) {
        const qsizetype from = received.size();
        while ((received.size() == from || !received.endsWith(end))
               && socket.waitForReadyRead(5000))
            received += socket.readAll();
    };
    readUntil("\r\n");
    for (const QByteArray &command : commands) {
        socket.write(command + "\r\n");
        readUntil(command == "LIST" || command.startsWith("XHDR") ? "\r\n.\r\n" : "\r\n");
    }
    return received;
}

} // namespace

class TestInn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void accessModes_data();
    void accessModes();

private:
    int m_listLines = 0;
    QDate m_posted;
};

void TestInn::initTestCase()
{
    QCOMPARE(QProcess::execute(Script, {QStringLiteral("mode"), QStringLiteral("open")}), 0);
    const QByteArray answer = talk({"LIST", "GROUP misc.test", "XHDR Date 3"});
    QVERIFY2(answer.startsWith("200"), "the sample news server is not running");
    const qsizetype list = answer.indexOf("\r\n215 ") + 2;
    m_listLines = int(answer.mid(list, answer.indexOf("\r\n.\r\n", list) - list).count("\r\n"));
    QVERIFY(m_listLines > 5000);
    // misc.test's third article carries the day the sample articles were posted.
    const qsizetype dated = answer.lastIndexOf("\r\n3 ") + 4;
    const QDateTime posted = QDateTime::fromString(
        QString::fromLatin1(answer.mid(dated, answer.indexOf("\r\n", dated) - dated)),
        Qt::RFC2822Date);
    QVERIFY(posted.isValid());
    m_posted = posted.date();
}

void TestInn::cleanupTestCase()
{
    QProcess::execute(Script, {QStringLiteral("mode"), QStringLiteral("open")});
}

void TestInn::accessModes_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("posting");
    QTest::newRow("open") << "open"
                          << "可";
    QTest::newRow("read-only") << "readonly"
                               << "不可";
    QTest::newRow("with authentication") << "auth"
                                         << "可";
}

void TestInn::accessModes()
{
    QFETCH(QString, mode);
    QFETCH(QString, posting);
    QCOMPARE(QProcess::execute(Script, {QStringLiteral("mode"), mode}), 0);
    RunWindow w;
    w.form.ChkUseAuth->setChecked(mode == u"auth");
    w.form.EditUserID->setText(QStringLiteral("benchuser"));
    w.form.EditPassword->setText(QStringLiteral("benchpass"));
    const QDate before = QDate::currentDate();
    w.start();
    const QDate after = QDate::currentDate();
    QCOMPARE(w.watcher.boxes.size(), 1);
    QVERIFY(w.reportsEnabled());
    QCOMPARE(w.form.EditPostAllowed->text(), posting);
    QCOMPARE(w.form.EditGroupCount->text(), QString::number(m_listLines));
    QVERIFY(w.form.EditSpeed->text().toLongLong() > 0);
    for (int h = 0; h < 5; ++h) {
        QCOMPARE(w.form.EditCount[h]->text(), QString::number(Counts[h]));
        const int shown = w.form.EditExpire[h]->text().toInt();
        if (Counts[h] == 0 || !Dated[h])
            QCOMPARE(shown, Counts[h] == 0 ? -1 : 0);
        else
            QVERIFY2(shown == DaysAgo[h] + m_posted.daysTo(before)
                         || shown == DaysAgo[h] + m_posted.daysTo(after),
                     qPrintable(w.form.EditExpire[h]->text()));
    }
}

QTEST_MAIN(TestInn)
#include "tst_inn.moc"
