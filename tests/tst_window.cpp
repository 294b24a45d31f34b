// Runs through the window against scripted servers, and the window's own handlers: what
// the user sees at each step and after each way a run can end.
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QSpinBox>
#include <QTest>

#include "ui/application.h"

#include "report/articlereport.h"
#include "report/reportfields.h"
#include "report/webreport.h"
#include "tests/support/fakearticleserver.h"
#include "tests/support/fakeserver.h"
#include "tests/support/runwindow.h"
#include "ui/messageboxes.h"

using namespace Qt::StringLiterals;

namespace {

const QString Title = QStringLiteral("ニュースサーバ・ベンチマーク");
const QString Failure = QStringLiteral("接続できませんでした。\n");
const QByteArray Password = "pa55-w0rd";

struct Step
{
    QByteArray command;
    QByteArray reply;
    FakeServer::After after = FakeServer::StayOpen;
};
using Script = QList<Step>;

const QByteArray PlainList = "215 list\r\ncomp.lang.c 100 1 y\r\nfj.test 5 3 y\r\n.\r\n";
const QByteArray SexList = "215 list\r\nalt.sex.stories 30 1 y\r\ncomp.lang.c 5 1 y\r\n.\r\n";
const Step Quit{"QUIT", "205 bye\r\n", FakeServer::CloseAfter};

// Remembers the stages the run showed, with the number of bold labels after each.
class RecordingForm : public TFormMain
{
public:
    void highlightStage(Stage stage, int hierarchy) override
    {
        TFormMain::highlightStage(stage, hierarchy);
        int bold = 0;
        for (const QLabel *label : findChildren<QLabel *>())
            bold += label->font().bold();
        stages << QStringLiteral("%1.%2/%3").arg(int(stage)).arg(hierarchy).arg(bold);
    }
    QStringList stages;
};

// The caption the window system shows for a window.
QString systemCaption(const QWidget *window)
{
    QProcess xprop;
    xprop.start(u"xprop"_s, {u"-id"_s, QString::number(window->winId()), u"_NET_WM_NAME"_s});
    xprop.waitForFinished(10000);
    return QString::fromUtf8(xprop.readAllStandardOutput()).section(u'"', 1, -2);
}

} // namespace

Q_DECLARE_METATYPE(Script)

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void runs_data();
    void runs();
    void declinedConfirmationChangesNothing();
    void noConnection();
    void pastedLineBreak_data();
    void pastedLineBreak();
    void stagesInBold();
    void speedOfAShortList();
    void secondRunCountsItsOwnGroups();
    void closeAndStartDuringRun();
    void keyboardAlone();
    void handlers();
    void captions();
    void errorBoxText_data();
    void errorBoxText();
    void articles_data();
    void articles();
    void stopDuringArticles();
    void articleArea();
};

void TestWindow::runs_data()
{
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<bool>("auth");
    QTest::addColumn<Script>("script");
    QTest::addColumn<QString>("failure"); // null: no failure box
    // "+" stands for a speed above 0, a date for the days since then.
    QTest::addColumn<QStringList>("results");
    QTest::addColumn<bool>("stop"); // 中止 as soon as the group count shows
    const QString o = QStringLiteral("old");
    const QString y = QStringLiteral("可");
    const QStringList plain{y, "2", "+", "0", "0", "0", "0", "0", "-1", "-1", "-1", "-1", "-1"};
    auto row = [](const char *name, const QByteArray &greeting, bool auth, const Script &script,
                  const QString &failure, const QStringList &results, bool stop = false) {
        QTest::newRow(name) << greeting << auth << script << failure << results << stop;
    };
    const Step user{"AUTHINFO USER user", "381 more\r\n"};
    const Step pass{"AUTHINFO PASS " + Password, "281 ok\r\n"};
    const Step walk{"GROUP alt.sex.stories", "211 30 1 30 alt.sex.stories\r\n"};

    row("complete run", "200 news ready\r\n", false, {{"LIST", PlainList}, Quit}, {}, plain);
    QStringList readOnly = plain;
    readOnly[0] = QStringLiteral("不可");
    row("read-only server", "201 read only\r\n", false, {{"LIST", PlainList}, Quit}, {}, readOnly);
    row("authentication", "200 ready\r\n", true, {user, pass, {"LIST", PlainList}, Quit}, {},
        plain);
    row("QUIT answered by a close", "200 ready\r\n", false,
        {{"LIST", PlainList}, {"QUIT", "", FakeServer::CloseAfter}}, {}, plain);
    row("a walk through XHDR", "200 ready\r\n", false,
        {{"LIST", SexList},
         walk,
         {"XHDR Date 1-10", "221 dates\r\n1 Wed, 15 Jan 2003 10:20:30 +0900\r\n.\r\n"},
         {"XHDR Date 11-20", "221 dates\r\n.\r\n"},
         {"STAT 1", "423 none\r\n"},
         // A refused STAT is not asked again in this walk.
         {"XHDR Date 21-30", "221 dates\r\n.\r\n"},
         Quit},
        {}, {y, "2", "+", "0", "1", "0", "0", "0", "-1", "15 Jan 2003", "-1", "-1", "-1"});
    row("LIST refused: what the run did not reach is emptied", "200 ready\r\n", false,
        {{"LIST", "480 Authentication required\r\n"}, Quit}, {},
        {y, "", "", "", "", "", "", "", "", "", "", "", ""});
    row("wrong password", "200 ready\r\n", true,
        {user, {"AUTHINFO PASS " + Password, "481 Authentication failed\r\n"}},
        Failure + "481 Authentication failed\n", {y, o, o, o, o, o, o, o, o, o, o, o, o});
    row("error greeting", "502 You have no permission to talk.  Goodbye.\r\n", false, {},
        Failure + "502 You have no permission to talk.  Goodbye.\n",
        {o, o, o, o, o, o, o, o, o, o, o, o, o});
    row("a silent server times out", "", false, {}, Failure,
        {o, o, o, o, o, o, o, o, o, o, o, o, o});
    row("markup in the reply is text", "400 <b>no</b> <img src=/x.png>\r\n", false, {},
        Failure + "400 <b>no</b> <img src=/x.png>\n", {o, o, o, o, o, o, o, o, o, o, o, o, o});
    row("NUL bytes in the reply", QByteArray("500 \0\0\0 nul\r\n", 13), false, {},
        Failure + "500 " + QString(3, QChar(0)) + " nul\n",
        {o, o, o, o, o, o, o, o, o, o, o, o, o});
    row("a failure text is cut to its first 2000 characters",
        "400 " + QByteArray(3000, 'x') + "\r\n", false, {},
        (Failure + "400 " + QString(3000, u'x')).left(2000) + QChar(0x2026),
        {o, o, o, o, o, o, o, o, o, o, o, o, o});
    row("a greeting of megabytes without an end", QByteArray(4 * 1024 * 1024, 'A'), true, {},
        Failure, {o, o, o, o, o, o, o, o, o, o, o, o, o});
    row("close inside LIST: the running total stays", "200 ready\r\n", true,
        {user,
         pass,
         {"LIST", "215 list\r\nalt.sex.stories 30 1 y\r\ncomp.a 5 1 y\r\nalt.sex.mo",
          FakeServer::CloseAfter}},
        Failure, {y, "2", o, o, o, o, o, o, o, o, o, o, o});
    row("stop while the list arrives", "200 ready\r\n", false,
        {{"LIST", "215 list\r\nalt.a 2 1 y\r\nalt.b 3 1 y\r\n"}}, Failure,
        {y, "2", o, o, o, o, o, o, o, o, o, o, o}, true);
    row("close after GROUP", "200 ready\r\n", false,
        {{"LIST", SexList}, {walk.command, walk.reply, FakeServer::CloseAfter}}, Failure,
        {y, "2", "+", "0", "1", "0", "0", "0", "-1", o, o, o, o});
    row("close inside XHDR: the walk ends, the close shows at the next command", "200 ready\r\n",
        false,
        {{"LIST", SexList},
         walk,
         {"XHDR Date 1-10", "221 dates\r\n1 Wed, 15 Jan 2003 10:20:30 +0900\r\n2 Wed, 15 Jan 20",
          FakeServer::CloseAfter}},
        Failure, {y, "2", "+", "0", "1", "0", "0", "0", "-1", "0", "-1", "-1", "-1"});
}

void TestWindow::runs()
{
    QFETCH(QByteArray, greeting);
    QFETCH(bool, auth);
    QFETCH(Script, script);
    QFETCH(QString, failure);
    QFETCH(QStringList, results);
    QFETCH(bool, stop);

    FakeServer server;
    const bool hangsUp = script.isEmpty() && !greeting.isEmpty() && !greeting.startsWith("20");
    server.greeting(greeting, hangsUp ? FakeServer::CloseAfter : FakeServer::StayOpen);
    QList<QByteArray> commands;
    for (const Step &step : script) {
        server.expect(step.command, step.reply, step.after);
        commands << step.command;
    }
    RunWindow w(server.port());
    // A server that says nothing: three minutes of ticks, delivered at once, end the wait.
    if (greeting.isEmpty())
        QObject::connect(&w.form.run.connection.ClientSocket1, &ClientSocket::connectEvent, [&] {
            QTimer::singleShot(0, [&] {
                for (int tick = 0; tick < Connection::IdleSeconds; ++tick)
                    w.form.run.connection.Timer1Timer();
            });
        });
    w.fillResults(QStringLiteral("old"));
    // What a user sees in the middle of the list, then a click on 中止.
    if (stop)
        QObject::connect(w.form.EditGroupCount, &QLineEdit::textChanged, [&] {
            QVERIFY(!w.form.BtnReport->isEnabled() && !w.form.BtnEnd->isEnabled());
            QCOMPARE(w.form.childAt(w.form.BtnStop->geometry().center()), w.form.BtnStop);
            w.form.BtnStop->click();
        });
    // Left enabled by an earlier complete run.
    w.form.BtnReport->setEnabled(true);
    w.form.ChkUseAuth->setChecked(auth);
    w.form.EditUserID->setText(QStringLiteral("user"));
    w.form.EditPassword->setText(QString::fromLatin1(Password));
    // While the failure box is open the run still shows: 中止 in front, the tick running.
    bool runShown = true;
    w.watcher.onShown = [&](const ModalWatcher::Box &box) {
        if (box.text.startsWith(Failure))
            runShown = w.form.childAt(w.form.BtnStop->geometry().center()) == w.form.BtnStop
                && w.form.run.connection.Timer1.isActive() && w.form.highlightedStepLabel();
    };
    const QDate before = QDate::currentDate();
    w.start();
    const QDate after = QDate::currentDate();

    QCOMPARE(server.commands, commands);
    QCOMPARE(server.mismatches, QList<QByteArray>());
    QCOMPARE(w.watcher.boxes.size(), failure.isNull() ? 1 : 2);
    if (!failure.isNull()) {
        QCOMPARE(w.watcher.boxes[1].title, Title);
        QCOMPARE(w.watcher.boxes[1].text, failure);
        QCOMPARE(w.watcher.boxes[1].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }
    QCOMPARE(w.reportsEnabled(), failure.isNull());
    QVERIFY(runShown);
    QVERIFY(w.idle());
    QStringList shown = w.results();
    if (results[2] == u"+" && shown[2].toLongLong() > 0)
        shown[2] = QStringLiteral("+");
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const QDate date = QDate::fromString(results[i], u"d MMM yyyy"_s);
        if (date.isValid()
            && (shown[i].toInt() == date.daysTo(before) || shown[i].toInt() == date.daysTo(after)))
            shown[i] = results[i];
    }
    QCOMPARE(shown, results);
    QCOMPARE(w.form.run.PostAllowed, results[0] == u"可");
    // The password goes out once, in AUTHINFO PASS, and is shown nowhere.
    for (const QByteArray &command : server.commands)
        QVERIFY(!command.contains(Password) || command == "AUTHINFO PASS " + Password);
    // What a server says is shown as text, never as markup; the password nowhere.
    for (const ModalWatcher::Box &box : w.watcher.boxes) {
        QCOMPARE(box.format, Qt::PlainText);
        QVERIFY(!box.text.contains(QString::fromLatin1(Password)));
    }
}

void TestWindow::declinedConfirmationChangesNothing()
{
    FakeServer server;
    RunWindow w(server.port());
    w.fillResults(QStringLiteral("old"));
    w.watcher.answers = {QMessageBox::Cancel};
    w.start();
    QCOMPARE(w.watcher.boxes.size(), 1);
    QCOMPARE(w.watcher.boxes[0].title, QStringLiteral("ベンチマーク開始の準備"));
    QCOMPARE(w.watcher.boxes[0].text,
             QStringLiteral("これよりニュースサーバのベンチマークを開始します."
                            "\nほかの通信プログラムを終了させてください。"));
    QCOMPARE(w.watcher.boxes[0].buttons, QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(server.connectionCount(), 0);
    QCOMPARE(w.results(), QStringList(ResultFieldCount, QStringLiteral("old")));
    QVERIFY(w.idle());
}

void TestWindow::noConnection()
{
    quint16 closedPort;
    {
        FakeServer gone;
        closedPort = gone.port();
    }
    // The fields as they were, the report buttons disabled even when an earlier run had
    // enabled them; no message for a refused connection, the reason for an address that
    // cannot be one, and nothing sent anywhere.
    const std::pair<QString, QString> cases[] = {
        {u"127.0.0.1"_s, QString()},
        {u"   "_s, Failure + u"アドレスに空白が含まれています"_s},
        {u"127.0.0.1\r\n"_s, Failure + u"アドレスに改行などの制御文字が含まれています"_s},
        {u"nntps://[::1"_s, Failure + u"IPv6 アドレスの [ ] が閉じていません"_s},
    };
    for (const auto &[address, message] : cases) {
        RunWindow w(closedPort);
        w.form.EditAddress->setText(address);
        w.form.BtnReport->setEnabled(true);
        w.form.BtnCopyToClipboard->setEnabled(true);
        w.fillResults(QStringLiteral("old"));
        w.start();
        QCOMPARE(w.watcher.boxes.size(), message.isNull() ? 1 : 2);
        if (!message.isNull())
            QCOMPARE(w.watcher.boxes[1].text, message);
        QVERIFY(!w.form.BtnReport->isEnabled());
        QVERIFY(!w.form.BtnCopyToClipboard->isEnabled());
        QCOMPARE(w.results(), QStringList(ResultFieldCount, QStringLiteral("old")));
        QVERIFY(w.idle());
    }
}

void TestWindow::pastedLineBreak_data()
{
    QTest::addColumn<QString>("field"); // the object name of the field it goes into
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("byPaste"); // else typed in one go, as an input method does
    QTest::addColumn<QString>("failure");

    const QString password = Failure + u"パスワードに改行などの制御文字が含まれています"_s;
    const QString user = Failure + u"ユーザ ID に改行などの制御文字が含まれています"_s;
    QTest::newRow("password pasted with CR LF and a command")
        << u"EditPassword"_s << u"secret\r\nHELP"_s << true << password;
    QTest::newRow("password pasted with a final LF")
        << u"EditPassword"_s << u"secret\n"_s << true << password;
    QTest::newRow("user ID pasted with CR LF and a command")
        << u"EditUserID"_s << u"user\r\nQUIT"_s << true << user;
    QTest::newRow("password inserted with a tab")
        << u"EditPassword"_s << u"sec\tret"_s << false << password;
}

void TestWindow::pastedLineBreak()
{
    // QLineEdit keeps line breaks that come with a paste: the run refuses the login before it
    // connects, with its reason, and the server sees nothing.
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(bool, byPaste);
    QFETCH(QString, failure);

    FakeServer server;
    server.greeting("200 ready\r\n");
    RunWindow w(server.port());
    w.form.ChkUseAuth->setChecked(true);
    w.form.EditUserID->setText(u"user"_s);
    w.form.EditPassword->setText(u"secret"_s);
    QLineEdit *edit = field == u"EditUserID" ? w.form.EditUserID : w.form.EditPassword;
    edit->clear();
    if (byPaste) {
        QGuiApplication::clipboard()->setText(text);
        edit->paste();
    } else {
        edit->insert(text);
    }
    QCOMPARE(edit->text(), text); // the control character is really in the field
    w.start();
    QCOMPARE(w.watcher.boxes.size(), 2);
    QCOMPARE(w.watcher.boxes[1].text, failure);
    QCOMPARE(server.connectionCount(), 0);
    QCOMPARE(server.commands, QList<QByteArray>());
    QVERIFY(!w.reportsEnabled());
    QVERIFY(w.idle());
}

void TestWindow::stagesInBold()
{
    // Even a list faster than a second passes through the speed stage; the hierarchy label
    // moves down beside the retention stage, at most two labels bold at once.
    FakeServer server;
    server.greeting("200 ready\r\n");
    server.expect("LIST", "215 list\r\nalt.sex.a 2 1 y\r\n.\r\n");
    server.expect("GROUP alt.sex.a", "211 2 1 2 alt.sex.a\r\n");
    server.expect("XHDR Date 1-10", "221 dates\r\n.\r\n");
    server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    ModalWatcher watcher;
    RecordingForm form;
    form.run.setPortOverride(server.port());
    form.EditAddress->setText(QStringLiteral("127.0.0.1"));
    form.BtnStart->click();
    QCOMPARE(server.mismatches, QList<QByteArray>());
    const QStringList expected{"1.-1/1", "2.-1/1", "3.-1/1", "4.-1/1", "5.0/2",
                               "5.1/2",  "5.2/2",  "5.3/2",  "5.4/2"};
    QCOMPARE(form.stages, expected);
    QCOMPARE(form.highlightedStepLabel(), nullptr);
    QCOMPARE(form.highlightedItemLabel(), nullptr);
    for (const QLabel *label : form.findChildren<QLabel *>())
        QVERIFY(!label->font().bold());
}

void TestWindow::speedOfAShortList()
{
    // The status and a short list in one write after a known delay: the list's bytes count
    // over all the time the user waited for them, at least that delay.
    constexpr int DelayMs = 150;
    const QByteArray body = "comp.lang.c 100 1 y\r\nfj.test 5 3 y\r\n";
    FakeServer server;
    server.greeting("200 ready\r\n");
    server.setHandler([&](FakeServer &s, const QByteArray &command) {
        if (command == "LIST")
            QTimer::singleShot(DelayMs, [&] { s.send("215 list\r\n" + body + ".\r\n"); });
        else
            s.sendInPieces({"205 bye\r\n"}, FakeServer::CloseAfter);
    });
    RunWindow w(server.port());
    w.start();
    const qint64 speed = w.form.EditSpeed->text().toLongLong();
    QVERIFY2(speed > 0 && speed <= body.size() * 1000 / DelayMs,
             qPrintable(w.form.EditSpeed->text()));
}

void TestWindow::secondRunCountsItsOwnGroups()
{
    FakeServer first;
    first.greeting("200 first\r\n");
    first.expect("LIST", "215 list\r\nalt.sex.a 5 1 y\r\nalt.sex.b 2 1 y\r\n.\r\n");
    first.expect("GROUP alt.sex.a", "411 gone\r\n");
    first.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    FakeServer second;
    second.greeting("200 second\r\n");
    second.expect("LIST", "215 list\r\nalt.sex.c 9 1 y\r\n.\r\n");
    second.expect("GROUP alt.sex.c", "411 gone\r\n");
    second.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    RunWindow w(first.port());
    w.start();
    QCOMPARE(w.form.EditCount[1]->text(), QStringLiteral("2"));
    w.form.run.setPortOverride(second.port());
    w.start();
    QCOMPARE(second.mismatches, QList<QByteArray>());
    QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("1"));
    QCOMPARE(w.form.EditCount[1]->text(), QStringLiteral("1"));
}

void TestWindow::closeAndStartDuringRun()
{
    // In the middle of a run: the covered start button pressed (as the space bar on it would)
    // begins no second run; the close button is noted, the run goes on to its end, and then
    // the event loop ends with the window gone.
    FakeServer server;
    server.greeting("200 ready\r\n");
    RunWindow w(server.port());
    server.setHandler([&](FakeServer &s, const QByteArray &command) {
        if (command == "LIST") {
            w.form.BtnStart->click();
            w.form.close();
            QVERIFY(w.form.isVisible());
            s.send("215 list\r\n.\r\n");
        } else {
            s.sendInPieces({"205 bye\r\n"}, FakeServer::CloseAfter);
        }
    });
    w.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.form));
    QTimer::singleShot(0, [&] { w.start(); });
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(w.watcher.boxes.size(), 1);
    QCOMPARE(server.connectionCount(), 1);
    QVERIFY(w.reportsEnabled());
    QVERIFY(!w.form.isVisible());
}

void TestWindow::keyboardAlone()
{
    // Type the address, Tab to the start button, Space, Return on the confirmation.
    FakeServer server;
    server.greeting("200 ready\r\n");
    server.expect("LIST", PlainList);
    server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    RunWindow w(server.port());
    w.form.EditAddress->clear();
    w.watcher.answerWithKeyboard = true;
    w.form.show();
    QApplication::setActiveWindow(&w.form);
    QVERIFY(QTest::qWaitForWindowActive(&w.form));
    w.form.EditAddress->setFocus();
    QTest::keyClicks(w.form.EditAddress, "127.0.0.1");
    QTest::keyClick(w.form.EditAddress, Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QVERIFY(server.scriptDone());
    QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("2"));
    QVERIFY(w.reportsEnabled());
}

void TestWindow::handlers()
{
    TFormMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    // Typing enables the start button, blanks included; deleting the last character
    // disables it.
    form.EditAddress->setFocus();
    QTest::keyClick(form.EditAddress, Qt::Key_Space);
    QVERIFY(form.BtnStart->isEnabled());
    QTest::keyClick(form.EditAddress, Qt::Key_Backspace);
    QVERIFY(!form.BtnStart->isEnabled());

    // The user's choice of kind renames the name label; a change by program does not.
    form.ServerType->setCurrentIndex(2);
    QCOMPARE(form.LbName->text(), QStringLiteral("プロバイダ名"));
    form.ServerType->setFocus();
    QTest::keyClick(form.ServerType, Qt::Key_Up);
    QCOMPARE(form.LbName->text(), QStringLiteral("有料サーバ名"));
    QCOMPARE(form.EditName->accessibleName(), QStringLiteral("有料サーバ名"));

    // A bold hierarchy label keeps its right edge and grows to the left, and shrinks back.
    QLabel *item = form.LbExpireItem[2];
    const QRect regular = item->geometry();
    form.HighlightStep(form.LbExpire, item);
    QVERIFY(item->font().bold() && form.LbExpire->font().bold());
    QCOMPARE(item->geometry().right(), regular.right());
    QCOMPARE(item->size(), item->sizeHint());
    form.HighlightStep(form.LbExpire, form.LbExpireItem[3]);
    QCOMPARE(item->geometry(), regular);
    QVERIFY(form.LbExpire->font().bold());

    // 終了 ends the event loop with exit code 0.
    QTimer::singleShot(0, [&] { QTest::mouseClick(form.BtnEnd, Qt::LeftButton); });
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

void TestWindow::captions()
{
    // Every window carries its own caption in the window system, and nothing added to it.
    if (QGuiApplication::platformName() != u"xcb")
        QSKIP("only a display server shows captions");
    FakeServer server;
    server.greeting("400 not now\r\n", FakeServer::CloseAfter);
    RunWindow w(server.port());
    w.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.form));
    QStringList captions{systemCaption(&w.form)};
    w.watcher.onShown = [&](const ModalWatcher::Box &) {
        captions << systemCaption(QApplication::activeModalWidget());
    };
    w.start(); // the confirmation, then the failure
    MessageBoxes::showError(&w.form, u"x"_s);
    QCOMPARE(captions, (QStringList{Title, u"ベンチマーク開始の準備"_s, Title, Title}));
}

void TestWindow::errorBoxText_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("empty stays empty") << QString() << QString();
    QTest::newRow("a letter takes a full stop") << u"abc"_s << u"abc."_s;
    QTest::newRow("a full stop takes none") << u"done."_s << u"done."_s;
    QTest::newRow("a question mark takes one") << u"what?"_s << u"what?."_s;
    QTest::newRow("a hyphen, below the full stop, takes none") << u"a-"_s << u"a-"_s;
    QTest::newRow("Japanese punctuation takes one") << u"開けません。"_s << u"開けません。."_s;
}

void TestWindow::errorBoxText()
{
    QFETCH(QString, message);
    QFETCH(QString, shown);
    ModalWatcher watcher;
    MessageBoxes::showError(nullptr, message);
    QCOMPARE(watcher.boxes.size(), 1);
    QCOMPARE(watcher.boxes[0].title, Title);
    QCOMPARE(watcher.boxes[0].text, shown);
    QCOMPARE(watcher.boxes[0].icon, QMessageBox::Critical);
}

void TestWindow::articles_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("serverLimit"); // connections open at once, 0 for no limit
    QTest::addColumn<bool>("missing"); // every even article is missing
    QTest::addColumn<int>("closeInBody");
    QTest::addColumn<QByteArray>("end");
    QTest::addColumn<int>("accepted");
    QTest::addColumn<int>("connections"); // the server's connections, the run's own included
    QTest::addColumn<bool>("groupGone"); // GROUP refused once LIST has named the group

    QTest::newRow("off: one connection, the classic run")
        << false << 0 << false << 0 << QByteArray() << 0 << 1 << false;
    QTest::newRow("1, 2, 4 connections up to the maximum")
        << true << 0 << false << 0 << QByteArray("maximum") << 4 << 1 + 4 << false;
    // The third connection of the 4-step is refused; the two before it stay measured.
    QTest::newRow("a server that refuses the third connection")
        << true << 2 << false << 0 << QByteArray("refused") << 2 << 1 + 4 << false;
    QTest::newRow("missing articles are asked, not found")
        << true << 0 << true << 0 << QByteArray("maximum") << 4 << 1 + 4 << false;
    QTest::newRow("a close in the middle of a body ends the measurement, not the run")
        << true << 0 << false << 3 << QByteArray("lost") << 1 << 1 + 1 << false;
    QTest::newRow("a refused GROUP fails the measurement, not the run")
        << true << 0 << false << 0 << QByteArray("failed") << 0 << 1 + 1 << true;
}

void TestWindow::articles()
{
    QFETCH(bool, enabled);
    QFETCH(int, serverLimit);
    QFETCH(bool, missing);
    QFETCH(int, closeInBody);
    QFETCH(QByteArray, end);
    QFETCH(int, accepted);
    QFETCH(int, connections);
    QFETCH(bool, groupGone);

    FakeArticleServer server;
    server.group = "alt.binaries.multimedia.erotica.test";
    server.maxConnections = serverLimit;
    server.closeInBody = closeInBody;
    // A pace per connection: each step is faster than the one before.
    server.bytesPerSecond = 2'000'000;
    if (missing) {
        for (qint64 n = server.first; n <= server.last; n += 2)
            server.missing.insert(n);
    }
    RunWindow w(server.port());
    w.form.articleStepMs = 300;
    w.form.ChkArticles->setChecked(enabled);
    w.form.SpinMaxConnections->setValue(4);
    if (groupGone)
        QObject::connect(w.form.EditGroupCount, &QLineEdit::textChanged,
                         [&] { server.group = "alt.binaries.multimedia.erotica.gone"; });
    w.start();

    // The main results stand, whatever became of the measurement; the report buttons are on.
    QCOMPARE(w.watcher.boxes.size(), 1);
    QVERIFY(w.reportsEnabled());
    QVERIFY(w.idle());
    QCOMPARE(w.form.EditGroupCount->text(), u"1"_s);
    QCOMPARE(w.form.EditCount[4]->text(), u"1"_s);
    QCOMPARE(int(server.clients().size()), connections);
    // Every connection said QUIT, and none is left open.
    QTRY_COMPARE(server.openCount(), 0);
    for (const auto &client : server.clients()) {
        if (client->greeted && !client->dropped)
            QVERIFY(client->quit);
        QVERIFY(!client->commands.contains("POST"));
    }
    const ReportFields fields = w.form.reportFields();
    if (!enabled) {
        // Exactly the commands of a run without the measurement.
        QCOMPARE(server.clients()[0]->commands,
                 (QList<QByteArray>{"LIST", "GROUP alt.binaries.multimedia.erotica.test",
                                    "XHDR Date 1-10", "HDR Date 1-10", "XOVER 1-10", "OVER 1-10",
                                    "QUIT"}));
        QVERIFY(!w.form.run.Articles);
        QVERIFY(!fields.articles);
        QCOMPARE(w.form.EditArticleSpeed->text(), QString());
        return;
    }
    QVERIFY(w.form.run.Articles);
    const ArticleSweepResult &result = *w.form.run.Articles;
    QCOMPARE(ArticleEndName(result.end), end);
    QCOMPARE(result.acceptedConnections, accepted);
    QCOMPARE(w.form.EditAccepted->text(), QString::number(accepted));
    QVERIFY(fields.articles);
    QCOMPARE(fields.articleByteCap, qint64(200'000'000));
    QCOMPARE(result.articlesAsked > 0, end != "failed");
    if (missing) {
        QVERIFY(result.articlesFound < result.articlesAsked);
        QVERIFY(result.articlesFound > 0);
    } else if (end != "lost") {
        QCOMPARE(result.articlesFound, result.articlesAsked);
    }
    QCOMPARE(w.form.EditArticlesFound->text(),
             u"%1 / %2"_s.arg(result.articlesFound).arg(result.articlesAsked));
    if (result.bestConnections > 0)
        QCOMPARE(w.form.EditArticleSpeed->text(), QString::number(result.bestBytesPerSecond));
    if (end == "lost")
        QCOMPARE(w.form.LbArticleEnd->text(), u"サーバが接続を切りました"_s);
    if (end == "failed") {
        QCOMPARE(w.form.LbArticleEnd->text(), u"計測できませんでした"_s);
        QCOMPARE(w.form.EditArticleSpeed->text(), u"-"_s);
        QVERIFY(result.failureReply.startsWith("411"));
    }
    if (end == "refused")
        QVERIFY(result.refusedMore);
    // The reports carry the figures after their own.
    QVERIFY(BuildReportUrl(fields).contains("&ArticleEnd=" + end));
}

void TestWindow::stopDuringArticles()
{
    // 中止 while the 2-step fetches: every connection that was opened says QUIT and is
    // closed; the main results stay on screen, but no report is offered for the run.
    FakeArticleServer server;
    server.group = "alt.binaries.multimedia.erotica.test";
    server.bytesPerSecond = 1'000'000;
    RunWindow w(server.port());
    w.form.articleStepMs = 3000;
    w.form.ChkArticles->setChecked(true);
    w.form.SpinMaxConnections->setValue(8);
    QElapsedTimer sinceStop;
    QTimer stopper;
    stopper.setSingleShot(true);
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        QCOMPARE(w.form.highlightedStepLabel(), w.form.LbArticles);
        QCOMPARE(w.form.childAt(w.form.BtnStop->geometry().center()), w.form.BtnStop);
        sinceStop.start();
        w.form.BtnStop->click();
    });
    // Once the second step has begun and its connections fetch.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (w.form.LbArticleStep->text() == u"2 接続"_s && server.openCount() == 2
            && !stopper.isActive()) {
            watch.stop();
            stopper.start(300);
        }
    });
    watch.start(10);
    w.start();
    // Not the rest of the 2-step's time: the connections' answers to QUIT at most.
    QVERIFY(sinceStop.isValid());
    QVERIFY(sinceStop.elapsed() < 2000);
    QVERIFY(w.form.run.Articles);
    QCOMPARE(w.form.run.Articles->end, SweepEnd::Stopped);
    QCOMPARE(w.form.LbArticleEnd->text(), u"中止しました"_s);
    QCOMPARE(w.watcher.boxes.size(), 1);
    QVERIFY(!w.reportsEnabled());
    QVERIFY(w.idle());
    QCOMPARE(w.form.EditGroupCount->text(), u"1"_s);
    QCOMPARE(int(server.clients().size()), 1 + 2);
    QTRY_COMPARE(server.openCount(), 0);
    for (const auto &client : server.clients())
        QVERIFY(client->quit);
}

void TestWindow::articleArea()
{
    // The classic window keeps every control in its place; the article area lies below its
    // buttons, and the window, grown by it, cannot be resized.
    TFormMain form;
    QCOMPARE(form.size(), QSize(410, 425 + TFormMain::ArticleAreaHeight));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QCOMPARE(form.GroupBox1->geometry(), QRect(0, 76, 405, 316));
    QCOMPARE(form.BtnStart->geometry(), QRect(88, 396, 75, 25));
    QCOMPARE(form.BtnEnd->geometry(), QRect(328, 396, 75, 25));
    QVERIFY(form.GroupBox2->geometry().top() >= form.BtnEnd->geometry().bottom());
    QVERIFY(form.GroupBox2->geometry().bottom() < form.height());
    QVERIFY(!form.ChkArticles->isChecked());
    QVERIFY(!form.SpinMaxConnections->isEnabled());
    form.ChkArticles->setChecked(true);
    QVERIFY(form.SpinMaxConnections->isEnabled() && form.SpinByteCap->isEnabled());
    QCOMPARE(form.SpinMaxConnections->value(), 8);
    QCOMPARE(form.SpinMaxConnections->maximum(), 50);
    QCOMPARE(form.SpinByteCap->value(), 200);
    const ArticleOptions options = form.articleOptions();
    QVERIFY(options.enabled);
    QCOMPARE(options.byteCap, qint64(200'000'000));
    QCOMPARE(form.LbArticles->text(), u"6. 記事の速度の計測"_s);
    // Today's tab order goes on unchanged; the new controls follow its last one.
    auto next = [](QWidget *widget) {
        do
            widget = widget->nextInFocusChain();
        while (!(widget->focusPolicy() & Qt::TabFocus));
        return widget;
    };
    QCOMPARE(next(form.EditAddress), form.BtnStart);
    QCOMPARE(next(form.EditName), form.BtnCopyToClipboard);
    QCOMPARE(next(form.BtnCopyToClipboard), form.ChkArticles);
    QCOMPARE(next(form.ChkArticles), form.SpinMaxConnections);
}

int main(int argc, char **argv)
{
    // The program's own application object: what it sets applies to every window here.
    Application app(argc, argv);
    TestWindow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_window.moc"
