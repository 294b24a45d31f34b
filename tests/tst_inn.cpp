// Whole runs against the real news server that scripts/test.sh starts on 127.0.0.1:119
// (scripts/inn/sample-server.sh). The expected numbers are worked out here from the fixture's
// own data files, not read back from the program.
#include <QCheckBox>
#include <QDate>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTcpSocket>
#include <QTest>

#include <map>

#include "tests/support/modalwatcher.h"
#include "ui/formmain.h"

namespace {

const QString FixtureDir = QStringLiteral(NEWSBENCH_SOURCE_DIR "/scripts/inn");

struct Article
{
    QByteArray group;
    int daysAgo = 0;
    bool cancelled = false;
};

QList<QList<QByteArray>> readRecords(const QString &name)
{
    QFile file(FixtureDir + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    QList<QList<QByteArray>> records;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        if (!line.isEmpty() && !line.startsWith('#'))
            records.append(line.split('|'));
    }
    return records;
}

// Which of the five hierarchies a name belongs to: a case-insensitive prefix test.
int hierarchyOf(const QByteArray &name)
{
    const QByteArray lower = name.toLower();
    const char *prefixes[]
        = {"alt.binaries.pictures.erotica", "alt.sex.", "japan.binaries.pictures.erotica",
           "alt.freedom.jbpe", "alt.binaries.multimedia.erotica."};
    for (int h = 0; h < 5; ++h) {
        if (lower.startsWith(prefixes[h]) && lower.size() > 0)
            return h;
    }
    return -1;
}

struct Expected
{
    std::array<int, 5> counts{};
    std::array<int, 5> days{};
};

// The walk over the largest group keeps the first date seen five times, else the oldest;
// cancelled articles are never seen.
Expected expectedResults(int daysSincePosting)
{
    QList<QByteArray> groups;
    for (const QList<QByteArray> &record : readRecords(QStringLiteral("groups.txt")))
        groups.append(record[0]);
    QList<Article> articles;
    for (const QList<QByteArray> &record : readRecords(QStringLiteral("articles.txt")))
        articles.append({record[0], record[2].toInt(), record[3] == "1"});

    Expected expected;
    for (int h = 0; h < 5; ++h) {
        QList<QByteArray> members;
        for (const QByteArray &group : groups) {
            if (hierarchyOf(group) == h)
                members.append(group);
        }
        expected.counts[h] = int(members.size());
        if (members.isEmpty()) {
            expected.days[h] = -1;
            continue;
        }
        std::sort(members.begin(), members.end(), [](const QByteArray &a, const QByteArray &b) {
            return a.toLower() < b.toLower();
        });
        // LIST says high = articles posted, low = 1: the estimate is posted - 1.
        QByteArray largest;
        int best = INT_MIN;
        for (const QByteArray &group : members) {
            const int posted
                = int(std::count_if(articles.begin(), articles.end(),
                                    [&](const Article &a) { return a.group == group; }));
            if (posted - 1 > best) {
                best = posted - 1;
                largest = group;
            }
        }
        std::map<int, int> seen;
        int chosen = -1;
        for (const Article &a : articles) {
            if (a.group != largest || a.cancelled)
                continue;
            if (++seen[a.daysAgo] == 5) {
                chosen = a.daysAgo;
                break;
            }
        }
        if (chosen < 0 && !seen.empty())
            chosen = seen.rbegin()->first; // the oldest date
        expected.days[h] = chosen < 0 ? 0 : chosen + daysSincePosting;
    }
    return expected;
}

// A plain conversation with the server, for what the test needs to know on its own.
QList<QByteArray> talk(const QList<QByteArray> &commands)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), 119);
    if (!socket.waitForConnected(5000))
        return {};
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
        readUntil(command.startsWith("LIST") || command.startsWith("XHDR") ? "\r\n.\r\n" : "\r\n");
    }
    socket.write("QUIT\r\n");
    socket.waitForBytesWritten(1000);
    return received.split('\n');
}

void setMode(const char *mode)
{
    const int code = QProcess::execute(FixtureDir + QStringLiteral("/sample-server.sh"),
                                       {QStringLiteral("mode"), QString::fromLatin1(mode)});
    QCOMPARE(code, 0);
}

struct Window
{
    Window()
    {
        form.EditAddress->setText(QStringLiteral("127.0.0.1"));
        QObject::connect(form.EditGroupCount, &QLineEdit::textChanged,
                         [this] { ++groupCountUpdates; });
    }
    void start() { form.BtnStart->click(); }
    ModalWatcher watcher;
    TFormMain form;
    int groupCountUpdates = 0;
};

} // namespace

class TestInn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void openServer();
    void readOnlyServer();
    void authenticated();
    void wrongPassword();
    void authenticationRequiredButNotGiven();

private:
    void compareResults(const Window &w);
    Expected m_expected;
    int m_listLines = 0;
};

void TestInn::initTestCase()
{
    setMode("open");
    const QList<QByteArray> lines = talk({"LIST", "GROUP misc.test", "XHDR Date 3"});
    QVERIFY2(!lines.isEmpty(),
             "the test news server is not running: scripts/inn/sample-server.sh start");
    // Body lines of LIST: everything between its status line and the lone dot.
    const qsizetype listStart = lines.indexOf("215 Newsgroups in form \"group high low status\"\r");
    QVERIFY(listStart > 0);
    m_listLines = int(lines.indexOf(".\r", listStart) - listStart - 1);
    QVERIFY(m_listLines > 5000);
    // misc.test's third article was posted with the day of posting as its date.
    QByteArray dated;
    for (const QByteArray &line : lines) {
        if (line.startsWith("3 "))
            dated = line.mid(2).trimmed();
    }
    const QDateTime posted = QDateTime::fromString(QString::fromLatin1(dated), Qt::RFC2822Date);
    QVERIFY2(posted.isValid(), dated.constData());
    m_expected = expectedResults(int(posted.date().daysTo(QDate::currentDate())));
}

void TestInn::cleanupTestCase()
{
    setMode("open");
}

void TestInn::compareResults(const Window &w)
{
    QCOMPARE(w.form.EditGroupCount->text(), QString::number(m_listLines));
    QVERIFY(w.form.EditSpeed->text().toLongLong() > 0);
    for (int h = 0; h < 5; ++h) {
        QCOMPARE(w.form.EditCount[h]->text(), QString::number(m_expected.counts[h]));
        QCOMPARE(w.form.EditExpire[h]->text(), QString::number(m_expected.days[h]));
    }
    // The total is shown as batches arrive; how many passes thousands of lines take
    // depends on the timing of the two processes, so the count is reported, not required.
    QVERIFY(w.groupCountUpdates >= 1);
    qInfo("LIST arrived in %d batches", w.groupCountUpdates);
    QVERIFY(w.form.BtnReport->isEnabled());
    QVERIFY(w.form.BtnCopyToClipboard->isEnabled());
    QCOMPARE(w.watcher.boxes.size(), 1);
}

void TestInn::openServer()
{
    setMode("open");
    Window w;
    w.start();
    QCOMPARE(w.form.EditPostAllowed->text(), QStringLiteral("可"));
    compareResults(w);
    // The expectations themselves: every hierarchy has its case covered.
    QCOMPARE(m_expected.days[3], -1); // no group at all
    QCOMPARE(m_expected.days[2], 0); // groups never posted to
}

void TestInn::readOnlyServer()
{
    setMode("readonly");
    Window w;
    w.start();
    QCOMPARE(w.form.EditPostAllowed->text(), QStringLiteral("不可"));
    QVERIFY(!w.form.run.PostAllowed);
    compareResults(w);
}

void TestInn::authenticated()
{
    setMode("auth");
    Window w;
    w.form.ChkUseAuth->setChecked(true);
    w.form.EditUserID->setText(QStringLiteral("benchuser"));
    w.form.EditPassword->setText(QStringLiteral("benchpass"));
    w.start();
    compareResults(w);
}

void TestInn::wrongPassword()
{
    setMode("auth");
    Window w;
    w.form.ChkUseAuth->setChecked(true);
    w.form.EditUserID->setText(QStringLiteral("benchuser"));
    w.form.EditPassword->setText(QStringLiteral("wrong"));
    w.start();
    QCOMPARE(w.watcher.boxes.size(), 2);
    QCOMPARE(w.watcher.boxes[1].text,
             QStringLiteral("接続できませんでした。\n481 Authentication failed\n"));
    QVERIFY(!w.form.BtnReport->isEnabled());
    QVERIFY(!w.form.isRunning());
}

void TestInn::authenticationRequiredButNotGiven()
{
    setMode("auth");
    Window w;
    w.form.EditGroupCount->setText(QStringLiteral("999"));
    w.form.EditSpeed->setText(QStringLiteral("999"));
    w.start();
    QCOMPARE(w.watcher.boxes.size(), 1);
    QCOMPARE(w.form.EditPostAllowed->text(), QStringLiteral("可"));
    QCOMPARE(w.form.EditGroupCount->text(), QString());
    QCOMPARE(w.form.EditSpeed->text(), QString());
    QVERIFY(w.form.BtnReport->isEnabled());
}

QTEST_MAIN(TestInn)
#include "tst_inn.moc"
