// Servers that misbehave on purpose: the run must end with the right message, never crash,
// never hang, leave the window idle, and keep the password to AUTHINFO PASS.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>

#include "tests/support/fakeserver.h"
#include "tests/support/modalwatcher.h"
#include "ui/formmain.h"

namespace {

const QString Failure = QStringLiteral("接続できませんでした。\n");
const QByteArray Password = "pa55-w0rd";

// Where a scripted server hangs up.
enum class CloseAt { AfterGreeting, InsideList, AfterGroup, InsideXhdr, Never };

// A small server with authentication, one group in a hierarchy and a body or two.
class ScriptedServer
{
public:
    explicit ScriptedServer(CloseAt closeAt)
        : m_closeAt(closeAt)
    {
        server.greeting("200 ready\r\n",
                        closeAt == CloseAt::AfterGreeting ? FakeServer::CloseAfter
                                                          : FakeServer::StayOpen);
        server.setHandler([this](FakeServer &s, const QByteArray &command) { answer(s, command); });
    }
    FakeServer server;

private:
    void answer(FakeServer &s, const QByteArray &command)
    {
        if (command.startsWith("AUTHINFO USER")) {
            s.send("381 more\r\n");
        } else if (command.startsWith("AUTHINFO PASS")) {
            s.send("281 ok\r\n");
        } else if (command == "LIST") {
            s.send("215 list\r\nalt.sex.stories 30 1 y\r\ncomp.lang.c 5 1 y\r\n");
            if (m_closeAt == CloseAt::InsideList) {
                s.send("alt.sex.more 3");
                s.closeClient();
                return;
            }
            s.send(".\r\n");
        } else if (command.startsWith("GROUP")) {
            s.send("211 30 1 30 alt.sex.stories\r\n");
            if (m_closeAt == CloseAt::AfterGroup)
                s.closeClient();
        } else if (command.startsWith("XHDR")) {
            s.send("221 dates\r\n1 Wed, 15 Jan 2003 10:20:30 +0900\r\n");
            if (m_closeAt == CloseAt::InsideXhdr) {
                s.send("2 Wed, 15 Jan 20");
                s.closeClient();
                return;
            }
            s.send(".\r\n");
        } else if (command == "QUIT") {
            s.send("205 bye\r\n");
            s.closeClient();
        } else {
            s.send("500 what\r\n");
        }
    }
    CloseAt m_closeAt;
};

struct Window
{
    explicit Window(const FakeServer &server)
    {
        form.run.setPort(server.port());
        form.EditAddress->setText(QStringLiteral("127.0.0.1"));
        form.ChkUseAuth->setChecked(true);
        form.EditUserID->setText(QStringLiteral("user"));
        form.EditPassword->setText(QString::fromLatin1(Password));
    }
    void start() { form.BtnStart->click(); }
    bool idle() const
    {
        return !form.isRunning() && form.BtnEnd->isEnabled()
            && !form.run.connection.Timer1.isActive() && !form.run.connection.ClientSocket1.isOpen()
            && form.childAt(form.BtnStart->geometry().center()) == form.BtnStart;
    }
    ModalWatcher watcher;
    TFormMain form;
};

// The password goes out once, in AUTHINFO PASS, and is shown nowhere.
void checkPasswordKept(const FakeServer &server, const Window &w)
{
    int carriers = 0;
    for (const QByteArray &command : server.commands) {
        if (command.contains(Password)) {
            ++carriers;
            QCOMPARE(command, "AUTHINFO PASS " + Password);
        }
    }
    QVERIFY(carriers <= 1);
    for (const ModalWatcher::Box &box : w.watcher.boxes)
        QVERIFY(!box.text.contains(QString::fromLatin1(Password)));
}

} // namespace

class TestHostile : public QObject
{
    Q_OBJECT

private slots:
    void closesAtEveryPoint_data();
    void closesAtEveryPoint();
    void drippingServerCompletes();
    void megabytesOfJunk();
    void silentAfterAccept();
};

void TestHostile::closesAtEveryPoint_data()
{
    QTest::addColumn<int>("closeAt");
    QTest::newRow("after greeting") << int(CloseAt::AfterGreeting);
    QTest::newRow("inside LIST") << int(CloseAt::InsideList);
    QTest::newRow("after GROUP") << int(CloseAt::AfterGroup);
    QTest::newRow("inside XHDR") << int(CloseAt::InsideXhdr);
    QTest::newRow("never") << int(CloseAt::Never);
}

void TestHostile::closesAtEveryPoint()
{
    QFETCH(int, closeAt);
    ScriptedServer scripted{CloseAt(closeAt)};
    Window w(scripted.server);
    w.form.EditSpeed->setText(QStringLiteral("old"));
    w.start();
    checkPasswordKept(scripted.server, w);
    QVERIFY(w.idle());
    if (CloseAt(closeAt) == CloseAt::Never) {
        QCOMPARE(w.watcher.boxes.size(), 1);
        QVERIFY(w.form.BtnReport->isEnabled());
        QCOMPARE(w.form.EditExpire[1]->text(),
                 QString::number(QDate(2003, 1, 15).daysTo(QDate::currentDate())));
        return;
    }
    QCOMPARE(w.watcher.boxes.size(), 2);
    if (CloseAt(closeAt) == CloseAt::InsideXhdr) {
        // The walk ends with the dates it has; the close is noticed at the next command.
        QCOMPARE(w.watcher.boxes[1].text, Failure);
        QCOMPARE(w.form.EditCount[1]->text(), QStringLiteral("1"));
    } else {
        QCOMPARE(w.watcher.boxes[1].text, Failure);
    }
    QVERIFY(!w.form.BtnReport->isEnabled());
    QVERIFY(!w.form.BtnCopyToClipboard->isEnabled());
    if (CloseAt(closeAt) == CloseAt::InsideList) {
        QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("2"));
        QCOMPARE(w.form.EditSpeed->text(), QStringLiteral("old"));
    }
}

void TestHostile::drippingServerCompletes()
{
    // One byte every 50 ms keeps the idle count-down from ever reaching zero, even with a
    // tick every 5 ms: its 180 ticks are over in 0.9 s, the conversation takes about 3 s.
    QByteArray script = "200 slow\r\n";
    const QByteArray list = "215 list\r\ncomp.a 2 1 y\r\n.\r\n";
    FakeServer server;
    QByteArray pending;
    QTimer drip;
    drip.setInterval(50);
    QObject::connect(&drip, &QTimer::timeout, [&] {
        if (!pending.isEmpty()) {
            server.send(pending.left(1));
            pending.remove(0, 1);
        }
    });
    server.setHandler([&](FakeServer &s, const QByteArray &command) {
        if (command == "LIST")
            pending += list;
        else if (command == "QUIT") {
            s.send("205 bye\r\n");
            s.closeClient();
        } else if (command.startsWith("AUTHINFO USER"))
            pending += "381 more\r\n";
        else if (command.startsWith("AUTHINFO PASS"))
            pending += "281 ok\r\n";
    });
    pending = script;
    Window w(server);
    w.form.run.connection.Timer1.setInterval(5);
    QTimer::singleShot(0, [&] { drip.start(); });
    QElapsedTimer clock;
    clock.start();
    w.start();
    QCOMPARE(w.watcher.boxes.size(), 1);
    QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("1"));
    QVERIFY(w.form.BtnReport->isEnabled());
    QVERIFY(clock.elapsed() > 2000); // far longer than 180 ticks without a byte would last
    checkPasswordKept(server, w);
}

void TestHostile::megabytesOfJunk()
{
    QRandomGenerator random(20261206);
    QByteArray junk(6 * 1024 * 1024, Qt::Uninitialized);
    for (char &c : junk)
        c = char(random.bounded(256));
    // Junk as the greeting, and junk as the body of LIST followed by a close.
    for (int where = 0; where < 2; ++where) {
        FakeServer server;
        if (where == 0) {
            server.greeting(junk, FakeServer::CloseAfter);
        } else {
            server.greeting("200 ok\r\n");
            server.setHandler([&](FakeServer &s, const QByteArray &command) {
                if (command == "LIST") {
                    s.send("215 list\r\n" + junk);
                    s.closeClient();
                } else if (command.startsWith("AUTHINFO USER")) {
                    s.send("381 more\r\n");
                } else if (command.startsWith("AUTHINFO PASS")) {
                    s.send("281 ok\r\n");
                }
            });
        }
        Window w(server);
        w.start();
        QCOMPARE(w.watcher.boxes.size(), 2);
        QVERIFY(w.watcher.boxes[1].text.startsWith(Failure));
        QVERIFY(w.idle());
        QVERIFY(!w.form.BtnReport->isEnabled());
        checkPasswordKept(server, w);
    }
}

void TestHostile::silentAfterAccept()
{
    // Accepts and never writes: the idle time-out ends the wait, driven here by quick ticks.
    FakeServer server;
    Window w(server);
    w.form.run.connection.Timer1.setInterval(5);
    QElapsedTimer clock;
    clock.start();
    w.start();
    QVERIFY(clock.elapsed() < 30000);
    QCOMPARE(w.watcher.boxes.size(), 2);
    QCOMPARE(w.watcher.boxes[1].text, Failure);
    QVERIFY(w.idle());
    QVERIFY(server.commands.isEmpty());
}

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"
