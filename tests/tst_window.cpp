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
    void nothingSent_data();
    void nothingSent();
    void secondRunCountsItsOwnGroups();
    void keyboardAndCloseDuringRun();
    void handlers();
    void captions();
    void errorBoxText_data();
    void errorBoxText();
    void articles_data();
    void articles();
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
    // Stages shown with the bold labels after each (not compared when empty).
    QTest::addColumn<QStringList>("stages");
    const QString o = QStringLiteral("old");
    const QString y = QStringLiteral("可");
    const QStringList plain{y, "2", "+", "0", "0", "0", "0", "0", "-1", "-1", "-1", "-1", "-1"};
    const QStringList old(ResultFieldCount, o);
    const QStringList listed = QStringList{y, "2"} + QStringList(ResultFieldCount - 2, o);
    auto row = [](const char *name, const QByteArray &greeting, bool auth, const Script &script,
                  const QString &failure, const QStringList &results, bool stop = false,
                  const QStringList &stages = {}) {
        QTest::newRow(name) << greeting << auth << script << failure << results << stop << stages;
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
    // Even a list faster than a second passes through the speed stage; the hierarchy label
    // moves down beside the retention stage, at most two labels bold at once.
    row("a walk through XHDR", "200 ready\r\n", false,
        {{"LIST", SexList},
         walk,
         {"XHDR Date 1-10", "221 dates\r\n1 Wed, 15 Jan 2003 10:20:30 +0900\r\n.\r\n"},
         {"XHDR Date 11-20", "221 dates\r\n.\r\n"},
         {"STAT 1", "423 none\r\n"},
         // A refused STAT is not asked again in this walk.
         {"XHDR Date 21-30", "221 dates\r\n.\r\n"},
         Quit},
        {}, {y, "2", "+", "0", "1", "0", "0", "0", "-1", "15 Jan 2003", "-1", "-1", "-1"}, false,
        {"1.-1/1", "2.-1/1", "3.-1/1", "4.-1/1", "5.0/2", "5.1/2", "5.2/2", "5.3/2", "5.4/2"});
    row("LIST refused: what the run did not reach is emptied", "200 ready\r\n", false,
        {{"LIST", "480 Authentication required\r\n"}, Quit}, {},
        {y, "", "", "", "", "", "", "", "", "", "", "", ""});
    row("wrong password", "200 ready\r\n", true,
        {user, {"AUTHINFO PASS " + Password, "481 Authentication failed\r\n"}},
        Failure + "481 Authentication failed\n", {y, o, o, o, o, o, o, o, o, o, o, o, o});
    row("a silent server times out", "", false, {}, Failure, old);
    row("error greeting with markup and NUL bytes, shown as text",
        "502 <b>\0\0</b> <img src=/x.png>\r\n"_ba, false, {},
        Failure + "502 <b>" + QString(2, QChar(0)) + "</b> <img src=/x.png>\n", old);
    row("a failure text is cut to its first 2000 characters",
        "400 " + QByteArray(3000, 'x') + "\r\n", false, {},
        (Failure + "400 " + QString(3000, u'x')).left(2000) + QChar(0x2026), old);
    row("a greeting of megabytes without an end", QByteArray(4 * 1024 * 1024, 'A'), true, {},
        Failure, old);
    row("close inside LIST: the running total stays", "200 ready\r\n", true,
        {user,
         pass,
         {"LIST", "215 list\r\nalt.sex.stories 30 1 y\r\ncomp.a 5 1 y\r\nalt.sex.mo",
          FakeServer::CloseAfter}},
        Failure, listed);
    row("stop while the list arrives", "200 ready\r\n", false,
        {{"LIST", "215 list\r\nalt.a 2 1 y\r\nalt.b 3 1 y\r\n"}}, Failure, listed, true);
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
    QFETCH(QStringList, stages);

    FakeServer server;
    const bool hangsUp = script.isEmpty() && !greeting.isEmpty() && !greeting.startsWith("20");
    server.greeting(greeting, hangsUp ? FakeServer::CloseAfter : FakeServer::StayOpen);
    QList<QByteArray> commands;
    for (const Step &step : script) {
        server.expect(step.command, step.reply, step.after);
        commands << step.command;
    }
    RunWindowOf<RecordingForm> w(server.port());
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
    QVERIFY(w.idle() && !w.form.highlightedItemLabel());
    if (!stages.isEmpty())
        QCOMPARE(w.form.stages, stages);
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
    // What a server says is shown as text, never as markup; the password nowhere.
    for (const ModalWatcher::Box &box : w.watcher.boxes) {
        QCOMPARE(box.format, Qt::PlainText);
        QVERIFY(!box.text.contains(QString::fromLatin1(Password)));
    }
}

void TestWindow::nothingSent_data()
{
    // The fields as they were, the report buttons disabled even when an earlier run had
    // enabled them (unless the run was declined), and nothing sent anywhere: the box shown last
    // says why.
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("user"); // null: no login
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("byPaste"); // the password goes in by a paste, else typed in one go
    QTest::addColumn<QString>("shown");
    const auto row
        = [](const char *name, const QString &address, const QString &shown,
             const QString &user = {}, const QString &password = {}, bool byPaste = false) {
              QTest::newRow(name) << address << user << password << byPaste << shown;
          };
    const QString v4 = u"127.0.0.1"_s;
    row("confirmation declined", v4,
        u"これよりニュースサーバのベンチマークを開始します.\nほかの通信プログラムを終了させてください。"_s);
    row("refused connection: no message", u"refused"_s, QString());
    row("blank address", u"   "_s, Failure + u"アドレスに空白が含まれています"_s);
    row("line break in the address", u"127.0.0.1\r\n"_s,
        Failure + u"アドレスに改行などの制御文字が含まれています"_s);
    row("unclosed IPv6 bracket", u"nntps://[::1"_s,
        Failure + u"IPv6 アドレスの [ ] が閉じていません"_s);
    // QLineEdit keeps line breaks that come with a paste: the login is refused before it
    // connects.
    const QString password = Failure + u"パスワードに改行などの制御文字が含まれています"_s;
    row("password pasted with CR LF and a command", v4, password, u"user"_s, u"secret\r\nHELP"_s,
        true);
    row("password inserted with a tab", v4, password, u"user"_s, u"sec\tret"_s);
    row("user ID with CR LF and a command", v4,
        Failure + u"ユーザ ID に改行などの制御文字が含まれています"_s, u"user\r\nQUIT"_s,
        u"secret"_s);
}

void TestWindow::nothingSent()
{
    QFETCH(QString, address);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, byPaste);
    QFETCH(QString, shown);
    quint16 closedPort;
    {
        FakeServer gone;
        closedPort = gone.port();
    }
    FakeServer server;
    server.greeting("200 ready\r\n");
    RunWindow w(address == u"refused" ? closedPort : server.port());
    if (address != u"refused")
        w.form.EditAddress->setText(address);
    w.form.ChkUseAuth->setChecked(!user.isNull());
    w.form.EditUserID->setText(user);
    if (byPaste) {
        QGuiApplication::clipboard()->setText(password);
        w.form.EditPassword->paste();
    } else {
        w.form.EditPassword->insert(password);
    }
    QCOMPARE(w.form.EditPassword->text(), password); // the control character is really there
    w.form.BtnReport->setEnabled(true);
    w.form.BtnCopyToClipboard->setEnabled(true);
    w.fillResults(QStringLiteral("old"));
    const bool declined = QTest::currentDataTag() == QByteArray("confirmation declined");
    if (declined)
        w.watcher.answers = {QMessageBox::Cancel};
    w.start();
    QCOMPARE(w.watcher.boxes.size(), shown.isNull() || declined ? 1 : 2);
    QCOMPARE(w.watcher.boxes[0].title, u"ベンチマーク開始の準備"_s);
    QCOMPARE(w.watcher.boxes[0].buttons, QMessageBox::Ok | QMessageBox::Cancel);
    if (!shown.isNull())
        QCOMPARE(w.watcher.boxes.last().text, shown);
    QCOMPARE(server.connectionCount(), 0);
    QCOMPARE(w.reportsEnabled(), declined); // a declined run changes nothing
    QCOMPARE(w.results(), QStringList(ResultFieldCount, QStringLiteral("old")));
    QVERIFY(w.idle());
}

void TestWindow::secondRunCountsItsOwnGroups()
{
    FakeServer server;
    server.greeting("200 ready\r\n");
    server.expect("LIST", "215 list\r\nalt.sex.a 5 1 y\r\nalt.sex.b 2 1 y\r\n.\r\n");
    server.expect("GROUP alt.sex.a", "411 gone\r\n");
    server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    server.expect("LIST", "215 list\r\nalt.sex.c 9 1 y\r\n.\r\n");
    server.expect("GROUP alt.sex.c", "411 gone\r\n");
    server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    RunWindow w(server.port());
    w.start();
    QCOMPARE(w.form.EditCount[1]->text(), QStringLiteral("2"));
    w.start();
    QCOMPARE(server.mismatches, QList<QByteArray>());
    QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("1"));
    QCOMPARE(w.form.EditCount[1]->text(), QStringLiteral("1"));
}

void TestWindow::keyboardAndCloseDuringRun()
{
    // Type the address, Tab to the start button, Space, Return on the confirmation. In the
    // middle of the run the covered start button pressed (as the space bar on it would) begins
    // no second run; the close button is noted, the run goes on to its end, and then the
    // event loop ends with the window gone. The status and a short list come in one write
    // after a delay: the list's bytes count over all the time the user waited for them.
    constexpr int DelayMs = 150;
    const QByteArray body = "comp.lang.c 100 1 y\r\nfj.test 5 3 y\r\n";
    FakeServer server;
    server.greeting("200 ready\r\n");
    RunWindow w(server.port());
    server.setHandler([&](FakeServer &s, const QByteArray &command) {
        if (command == "LIST") {
            w.form.BtnStart->click();
            w.form.close();
            QVERIFY(w.form.isVisible());
            QTimer::singleShot(DelayMs, [&] { s.send("215 list\r\n" + body + ".\r\n"); });
        } else {
            s.sendInPieces({"205 bye\r\n"}, FakeServer::CloseAfter);
        }
    });
    w.form.EditAddress->clear();
    w.watcher.answerWithKeyboard = true;
    w.form.show();
    QApplication::setActiveWindow(&w.form);
    QVERIFY(QTest::qWaitForWindowActive(&w.form));
    w.form.EditAddress->setFocus();
    QTest::keyClicks(w.form.EditAddress, "127.0.0.1");
    QTimer::singleShot(0, [&] {
        QTest::keyClick(w.form.EditAddress, Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    });
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(w.watcher.boxes.size(), 1);
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("2"));
    QVERIFY(w.reportsEnabled());
    QVERIFY(!w.form.isVisible());
    const qint64 speed = w.form.EditSpeed->text().toLongLong();
    QVERIFY2(speed > 0 && speed <= body.size() * 1000 / DelayMs,
             qPrintable(w.form.EditSpeed->text()));
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

    // The classic window keeps its controls in place; the article area lies below its
    // buttons, and the window, grown by it, cannot be resized.
    QCOMPARE(form.size(), QSize(410, 425 + TFormMain::ArticleAreaHeight));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QCOMPARE(form.BtnEnd->geometry(), QRect(328, 396, 75, 25));
    QVERIFY(form.GroupBox2->geometry().top() >= form.BtnEnd->geometry().bottom());
    QVERIFY(form.GroupBox2->geometry().bottom() < form.height());
    QVERIFY(!form.ChkArticles->isChecked() && !form.SpinMaxConnections->isEnabled());
    form.ChkArticles->setChecked(true);
    QVERIFY(form.SpinMaxConnections->isEnabled() && form.SpinByteCap->isEnabled());
    QCOMPARE(form.SpinMaxConnections->value(), 8);
    QVERIFY(form.articleOptions().enabled);
    // Today's tab order goes on unchanged; the new controls follow its last one.
    auto next = [](QWidget *widget) {
        do
            widget = widget->nextInFocusChain();
        while (!(widget->focusPolicy() & Qt::TabFocus));
        return widget;
    };
    QCOMPARE(next(form.EditName), form.BtnCopyToClipboard);
    QCOMPARE(next(form.BtnCopyToClipboard), form.ChkArticles);
    QCOMPARE(next(form.ChkArticles), form.SpinMaxConnections);

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
    QTest::newRow("a question mark, above the full stop, takes one") << u"what?"_s << u"what?."_s;
    QTest::newRow("a full stop takes none") << u"done."_s << u"done."_s;
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
    // GROUP refused once LIST has named the group; or, "outside", the server's one group is
    // in none of the five hierarchies.
    QTest::addColumn<QByteArray>("group");
    QTest::addColumn<QByteArray>("stop"); // "button" (中止) or "close" once the 2-step fetches
    QTest::addColumn<QByteArray>("end");
    QTest::addColumn<QString>("endText");
    QTest::addColumn<int>("accepted");
    QTest::addColumn<int>("connections"); // the server's connections, the run's own included
    const auto row = [](const char *name, bool enabled, int serverLimit, bool missing,
                        int closeInBody, const char *group, const char *stop, const char *end,
                        const QString &endText, int accepted, int connections) {
        QTest::newRow(name) << enabled << serverLimit << missing << closeInBody << QByteArray(group)
                            << QByteArray(stop) << QByteArray(end) << endText << accepted
                            << connections;
    };
    row("off: one connection, the classic run", false, 0, false, 0, "", "", "", {}, 0, 1);
    row("1, 2, 4 connections up to the maximum", true, 0, false, 0, "", "", "maximum", {}, 4,
        1 + 4);
    // The third connection of the 4-step is refused; the two before it stay measured.
    row("a server that refuses the third connection", true, 2, false, 0, "", "", "refused",
        u"それ以上の接続は拒否されました"_s, 2, 1 + 4);
    row("missing articles are asked, not found", true, 0, true, 0, "", "", "maximum", {}, 4, 1 + 4);
    row("a close in the middle of a body ends the measurement, not the run", true, 0, false, 3, "",
        "", "lost", u"サーバが接続を切りました"_s, 1, 1 + 1);
    row("a refused GROUP fails the measurement, not the run", true, 0, false, 0, "gone", "",
        "failed", u"計測できませんでした"_s, 0, 1 + 1);
    row("no article in the five hierarchies: the largest group of the whole list", true, 0, false,
        0, "outside", "", "maximum", {}, 4, 1 + 4);
    // Every connection opened says QUIT; the results stay, but no report is offered.
    row("中止 during the 2-step closes every connection", true, 0, false, 0, "", "button",
        "stopped", u"中止しました"_s, -1, 1 + 2);
    // As 中止, then the program ends: not the rest of the sweep first.
    row("closing the window during the 2-step stops it", true, 0, false, 0, "", "close", "stopped",
        u"中止しました"_s, -1, 1 + 2);
}

void TestWindow::articles()
{
    QFETCH(bool, enabled);
    QFETCH(int, serverLimit);
    QFETCH(bool, missing);
    QFETCH(int, closeInBody);
    QFETCH(QByteArray, group);
    QFETCH(QByteArray, stop);
    QFETCH(QByteArray, end);
    QFETCH(QString, endText);
    QFETCH(int, accepted);
    QFETCH(int, connections);

    FakeArticleServer server;
    server.group = group == "outside" ? "misc.test.large" : "alt.binaries.multimedia.erotica.test";
    server.maxConnections = serverLimit;
    server.closeInBody = closeInBody;
    // A pace per connection: each step is faster than the one before.
    server.bytesPerSecond = !stop.isEmpty() ? 1'000'000 : 2'000'000;
    if (missing) {
        for (qint64 n = server.first; n <= server.last; n += 2)
            server.missing.insert(n);
    }
    RunWindow w(server.port());
    w.form.articleStepMs = !stop.isEmpty() ? 3000 : 300;
    w.form.ChkArticles->setChecked(enabled);
    w.form.SpinMaxConnections->setValue(!stop.isEmpty() ? 8 : 4);
    if (group == "gone")
        QObject::connect(w.form.EditGroupCount, &QLineEdit::textChanged,
                         [&] { server.group = "alt.binaries.multimedia.erotica.gone"; });
    QElapsedTimer sinceStop;
    QTimer watch; // 中止 once the second step has begun and its connections fetch
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (w.form.LbArticleStep->text() != u"2 接続"_s || server.openCount() != 2)
            return;
        watch.stop();
        QTimer::singleShot(300, &w.form, [&] {
            QCOMPARE(w.form.highlightedStepLabel(), w.form.LbArticles);
            QCOMPARE(w.form.childAt(w.form.BtnStop->geometry().center()), w.form.BtnStop);
            sinceStop.start();
            if (stop == "close") {
                w.form.close();
                QVERIFY(w.form.closeRequested());
            } else {
                w.form.BtnStop->click();
            }
        });
    });
    if (!stop.isEmpty())
        watch.start(10);
    w.start();

    // The main results stand, whatever became of the measurement.
    QCOMPARE(w.watcher.boxes.size(), 1);
    QCOMPARE(w.reportsEnabled(), stop.isEmpty());
    QVERIFY(w.idle());
    QCOMPARE(w.form.EditGroupCount->text(), u"1"_s);
    QCOMPARE(w.form.EditCount[4]->text(), group == "outside" ? u"0"_s : u"1"_s);
    QCOMPARE(int(server.clients().size()), connections);
    // Every connection said QUIT, and none is left open.
    QTRY_COMPARE(server.openCount(), 0);
    for (const auto &client : server.clients())
        QVERIFY(client->quit || !client->greeted || client->dropped);
    const ReportFields fields = w.form.reportFields();
    if (!enabled) {
        // Exactly the commands of a run without the measurement.
        QCOMPARE(server.clients()[0]->commands,
                 (QList<QByteArray>{"LIST", "GROUP alt.binaries.multimedia.erotica.test",
                                    "XHDR Date 1-10", "HDR Date 1-10", "XOVER 1-10", "OVER 1-10",
                                    "QUIT"}));
        QVERIFY(!w.form.run.Articles && !fields.articles);
        QCOMPARE(w.form.EditArticleSpeed->text(), QString());
        return;
    }
    QVERIFY(w.form.run.Articles);
    const ArticleSweepResult &result = *w.form.run.Articles;
    QCOMPARE(ArticleEndName(result.end), end);
    QCOMPARE(w.form.LbArticleEnd->text(), endText);
    // Not the rest of the 2-step's time: the connections' answers to QUIT at most.
    QVERIFY(stop.isEmpty() || (sinceStop.isValid() && sinceStop.elapsed() < 2000));
    if (!stop.isEmpty())
        return;
    QCOMPARE(result.acceptedConnections, accepted);
    QCOMPARE(w.form.EditAccepted->text(), QString::number(accepted));
    QCOMPARE(fields.articleByteCap, qint64(200'000'000));
    QCOMPARE(result.articlesAsked > 0, end != "failed");
    if (missing)
        QVERIFY(result.articlesFound < result.articlesAsked && result.articlesFound > 0);
    else if (end != "lost")
        QCOMPARE(result.articlesFound, result.articlesAsked);
    QCOMPARE(w.form.EditArticlesFound->text(),
             u"%1 / %2"_s.arg(result.articlesFound).arg(result.articlesAsked));
    if (result.bestConnections > 0)
        QCOMPARE(w.form.EditArticleSpeed->text(), QString::number(result.bestBytesPerSecond));
    if (end == "failed") {
        QCOMPARE(w.form.EditArticleSpeed->text(), u"-"_s);
        QVERIFY(result.failureReply.startsWith("411"));
    }
    QCOMPARE(result.refusedMore, end == "refused");
    // The reports carry the figures after their own.
    QVERIFY(BuildReportUrl(fields).contains("&ArticleEnd=" + end));
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
