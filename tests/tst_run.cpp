// Whole runs through the window against scripted servers: what the user sees at each step.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "tests/support/fakeserver.h"
#include "tests/support/modalwatcher.h"
#include "ui/formmain.h"

namespace {

const QString Failure = QStringLiteral("接続できませんでした。\n");

QWidget *frontAt(TFormMain &form, QWidget *control)
{
    return form.childAt(control->geometry().center());
}

struct Window
{
    explicit Window(const FakeServer &server)
    {
        form.run.setPort(server.port());
        form.EditAddress->setText(QStringLiteral("127.0.0.1"));
    }
    // Starts the run, answering the confirmation with OK, and returns when it is over.
    void start() { form.BtnStart->click(); }
    QStringList results() const
    {
        QStringList texts{form.EditPostAllowed->text(), form.EditGroupCount->text(),
                          form.EditSpeed->text()};
        for (int h = 0; h < 5; ++h)
            texts << form.EditCount[h]->text();
        for (int h = 0; h < 5; ++h)
            texts << form.EditExpire[h]->text();
        return texts;
    }
    void fill(const QString &text)
    {
        for (int f = 0; f < ResultFieldCount; ++f)
            form.resultEdit(ResultField(f))->setText(text);
    }
    bool idle() const
    {
        return !form.isRunning() && form.BtnEnd->isEnabled()
            && !form.run.connection.Timer1.isActive() && !form.run.connection.ClientSocket1.isOpen()
            && form.highlightedStepLabel() == nullptr;
    }
    ModalWatcher watcher;
    TFormMain form;
};

// A server with a small list and none of the five hierarchies: nothing to walk.
void plainServer(FakeServer &server, const QByteArray &greeting = "200 news.example ready\r\n")
{
    server.greeting(greeting);
    server.expect("LIST", "215 list follows\r\ncomp.lang.c 100 1 y\r\nfj.test 5 3 y\r\n.\r\n");
    server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
}

} // namespace

class TestRun : public QObject
{
    Q_OBJECT

private slots:
    void declinedConfirmationChangesNothing();
    void completeRun();
    void secondRunCountsItsOwnGroups();
    void readOnlyServer();
    void authentication();
    void wrongPassword();
    void refusedListClearsOldResults();
    void errorGreetingShowsReply();
    void noConnection();
    void stopWhileReadingList();
    void failureBoxWhileRunStillShown();
    void stagesInBold();
    void closeRequestDuringRun();
    void coveredStartButtonCannotNest();
    void keyboardAlone();
    void hostileServers();
    void serverThatNeverGreets();
};

void TestRun::declinedConfirmationChangesNothing()
{
    FakeServer server;
    plainServer(server);
    Window w(server);
    w.fill(QStringLiteral("old"));
    w.watcher.answers = {QMessageBox::Cancel};
    w.start();
    QCOMPARE(w.watcher.boxes.size(), 1);
    const ModalWatcher::Box &box = w.watcher.boxes[0];
    QCOMPARE(box.title, QStringLiteral("ベンチマーク開始の準備"));
    QCOMPARE(box.text,
             QStringLiteral("これよりニュースサーバのベンチマークを開始します."
                            "\nほかの通信プログラムを終了させてください。"));
    QCOMPARE(box.icon, QMessageBox::NoIcon);
    QCOMPARE(box.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(server.connectionCount(), 0);
    QVERIFY(w.results().join("").count("old") == ResultFieldCount);
    QVERIFY(w.idle());
}

void TestRun::completeRun()
{
    FakeServer server;
    plainServer(server);
    Window w(server);
    w.start();
    QCOMPARE(server.mismatches, QList<QByteArray>());
    QVERIFY(server.scriptDone());
    QCOMPARE(w.watcher.boxes.size(), 1); // the confirmation only
    QCOMPARE(w.form.EditPostAllowed->text(), QStringLiteral("可"));
    QVERIFY(w.form.run.PostAllowed);
    QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("2"));
    QVERIFY(w.form.EditSpeed->text().toLongLong() > 0);
    for (int h = 0; h < 5; ++h) {
        QCOMPARE(w.form.EditCount[h]->text(), QStringLiteral("0"));
        QCOMPARE(w.form.EditExpire[h]->text(), QStringLiteral("-1"));
    }
    QVERIFY(w.form.BtnReport->isEnabled());
    QVERIFY(w.form.BtnCopyToClipboard->isEnabled());
    QCOMPARE(frontAt(w.form, w.form.BtnStart), w.form.BtnStart);
    QVERIFY(w.idle());
}

void TestRun::secondRunCountsItsOwnGroups()
{
    // The hierarchy lists start empty on every run: the second server's counts stand alone.
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
    Window w(first);
    w.start();
    QCOMPARE(w.form.EditCount[1]->text(), QStringLiteral("2"));
    w.form.run.setPort(second.port());
    w.start();
    QCOMPARE(second.mismatches, QList<QByteArray>());
    QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("1"));
    QCOMPARE(w.form.EditCount[1]->text(), QStringLiteral("1"));
    QCOMPARE(w.form.EditExpire[1]->text(), QStringLiteral("0"));
    QCOMPARE(w.form.run.hierarchyGroups[1].size(), std::size_t(1));
    QVERIFY(w.form.BtnReport->isEnabled());
}

void TestRun::readOnlyServer()
{
    FakeServer server;
    plainServer(server, "201 read only\r\n");
    Window w(server);
    w.start();
    QCOMPARE(w.form.EditPostAllowed->text(), QStringLiteral("不可"));
    QVERIFY(!w.form.run.PostAllowed);
    QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("2"));
    QVERIFY(w.form.BtnReport->isEnabled());
}

void TestRun::authentication()
{
    FakeServer server;
    server.greeting("200 ready\r\n");
    server.expect("AUTHINFO USER alice", "381 more\r\n");
    server.expect("AUTHINFO PASS s3cr*t", "281 ok\r\n");
    server.expect("LIST", "215 list\r\n.\r\n");
    server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    Window w(server);
    w.form.ChkUseAuth->setChecked(true);
    w.form.EditUserID->setText(QStringLiteral("alice"));
    w.form.EditPassword->setText(QStringLiteral("s3cr*t"));
    w.start();
    QCOMPARE(server.mismatches, QList<QByteArray>());
    QVERIFY(server.scriptDone());
    QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("0"));
    QVERIFY(w.form.BtnReport->isEnabled());
}

void TestRun::wrongPassword()
{
    FakeServer server;
    server.greeting("200 ready\r\n");
    server.expect("AUTHINFO USER alice", "381 more\r\n");
    server.expect("AUTHINFO PASS nope", "481 Authentication failed\r\n");
    Window w(server);
    w.form.ChkUseAuth->setChecked(true);
    w.form.EditUserID->setText(QStringLiteral("alice"));
    w.form.EditPassword->setText(QStringLiteral("nope"));
    w.start();
    QCOMPARE(w.watcher.boxes.size(), 2);
    QCOMPARE(w.watcher.boxes[1].title, QStringLiteral("ニュースサーバ・ベンチマーク"));
    QCOMPARE(w.watcher.boxes[1].text, Failure + "481 Authentication failed\n");
    QCOMPARE(w.watcher.boxes[1].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(!w.form.BtnReport->isEnabled());
    QVERIFY(w.idle());
}

void TestRun::refusedListClearsOldResults()
{
    // The previous run, of another server, left its numbers in the fields; the reports of
    // this run must not carry them under this server's name.
    FakeServer server;
    server.greeting("200 ready\r\n");
    server.expect("LIST", "480 Authentication required\r\n");
    server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    Window w(server);
    w.fill(QStringLiteral("42"));
    w.start();
    QVERIFY(server.scriptDone());
    QCOMPARE(w.watcher.boxes.size(), 1);
    QStringList expected(ResultFieldCount, QString());
    expected[0] = QStringLiteral("可");
    QCOMPARE(w.results(), expected);
    QVERIFY(w.form.BtnReport->isEnabled());
    QVERIFY(w.form.BtnCopyToClipboard->isEnabled());
}

void TestRun::errorGreetingShowsReply()
{
    FakeServer server;
    server.greeting("502 You have no permission to talk.  Goodbye.\r\n", FakeServer::CloseAfter);
    Window w(server);
    w.start();
    QCOMPARE(w.watcher.boxes.size(), 2);
    QCOMPARE(w.watcher.boxes[1].text, Failure + "502 You have no permission to talk.  Goodbye.\n");
    QVERIFY(w.idle());
    QVERIFY(!w.form.BtnReport->isEnabled());
}

void TestRun::noConnection()
{
    quint16 closedPort;
    {
        FakeServer gone;
        closedPort = gone.port();
    }
    // A run that cannot connect ends without a message and leaves the fields alone, the
    // report buttons disabled even after an earlier complete run. An address that cannot be
    // used says why.
    for (const QString &address : {QStringLiteral("127.0.0.1"), QStringLiteral("   ")}) {
        ModalWatcher watcher;
        TFormMain form;
        form.run.setPort(closedPort);
        form.EditAddress->setText(address);
        form.BtnReport->setEnabled(true);
        form.BtnCopyToClipboard->setEnabled(true);
        form.EditSpeed->setText(QStringLiteral("1234"));
        form.BtnStart->click();
        QCOMPARE(watcher.boxes.size(), address.trimmed().isEmpty() ? 2 : 1);
        QVERIFY(!form.BtnReport->isEnabled());
        QVERIFY(!form.BtnCopyToClipboard->isEnabled());
        QCOMPARE(form.EditSpeed->text(), QStringLiteral("1234"));
        QVERIFY(!form.isRunning());
        QVERIFY(!form.run.connection.ClientSocket1.isOpen());
    }
}

void TestRun::stopWhileReadingList()
{
    FakeServer server;
    server.greeting("200 ready\r\n");
    server.setHandler([](FakeServer &s, const QByteArray &command) {
        if (command == "LIST")
            s.send("215 list\r\nalt.a 2 1 y\r\nalt.b 3 1 y\r\n"); // and then nothing
    });
    Window w(server);
    w.fill(QStringLiteral("old"));
    // Left enabled by an earlier complete run: a new start disables them at once.
    w.form.BtnReport->setEnabled(true);
    w.form.BtnCopyToClipboard->setEnabled(true);
    QTimer::singleShot(300, [&] {
        QVERIFY(!w.form.BtnReport->isEnabled());
        QVERIFY(!w.form.BtnCopyToClipboard->isEnabled());
        QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("2")); // the running total
        QCOMPARE(frontAt(w.form, w.form.BtnStop), w.form.BtnStop);
        QVERIFY(!w.form.BtnEnd->isEnabled());
        w.form.BtnStop->click();
    });
    w.start();
    QCOMPARE(w.watcher.boxes.size(), 2);
    QCOMPARE(w.watcher.boxes[1].text, Failure);
    QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("2"));
    QCOMPARE(w.form.EditSpeed->text(), QStringLiteral("old"));
    QVERIFY(!w.form.BtnReport->isEnabled());
    QVERIFY(w.idle());
    QCOMPARE(frontAt(w.form, w.form.BtnStart), w.form.BtnStart);
}

void TestRun::failureBoxWhileRunStillShown()
{
    FakeServer server;
    server.greeting("400 not now\r\n");
    Window w(server);
    bool checked = false;
    w.watcher.onShown = [&](const ModalWatcher::Box &box) {
        if (!box.text.startsWith(QStringLiteral("接続")))
            return;
        checked = true;
        QCOMPARE(frontAt(w.form, w.form.BtnStop), w.form.BtnStop);
        QVERIFY(w.form.run.connection.Timer1.isActive());
        QCOMPARE(w.form.highlightedStepLabel(), w.form.LbPost);
        QVERIFY(w.form.LbPost->font().bold());
    };
    w.start();
    QVERIFY(checked);
    QVERIFY(w.idle());
}

void TestRun::stagesInBold()
{
    FakeServer server;
    server.greeting("200 ready\r\n");
    QStringList seen;
    Window *window = nullptr;
    auto snapshot = [&] {
        TFormMain &form = window->form;
        QString s = form.highlightedStepLabel() ? form.highlightedStepLabel()->text()
                                                : QStringLiteral("-");
        if (form.highlightedItemLabel())
            s += QLatin1Char('+') + form.highlightedItemLabel()->text();
        int boldCount = 0;
        for (QLabel *label : form.findChildren<QLabel *>())
            boldCount += label->font().bold();
        s += QLatin1Char('/') + QString::number(boldCount);
        return s;
    };
    QByteArray list = "215 list\r\n";
    list += "alt.binaries.pictures.erotica.a 20 11 y\r\n";
    list += "alt.sex.stories 5 1 y\r\n";
    list += ".\r\n";
    server.setHandler([&](FakeServer &s, const QByteArray &command) {
        seen << QString::fromLatin1(command) + QLatin1Char(':') + snapshot();
        if (command == "LIST")
            s.send(list);
        else if (command.startsWith("GROUP"))
            s.send("211 1 1 1 group\r\n");
        else if (command.startsWith("XHDR"))
            s.send("221 follows\r\n.\r\n");
        else if (command == "QUIT") {
            s.send("205 bye\r\n");
            s.closeClient();
        }
    });
    Window w(server);
    window = &w;
    w.start();
    const QStringList expected{
        "LIST:2. グループリストの取得/1",
        "GROUP alt.binaries.pictures.erotica.a:5. 保存期間の検証+alt.binaries.pictures.erotica.*/2",
        "XHDR Date 11-20:5. 保存期間の検証+alt.binaries.pictures.erotica.*/2",
        "GROUP alt.sex.stories:5. 保存期間の検証+alt.sex.*/2",
        "XHDR Date 1-10:5. 保存期間の検証+alt.sex.*/2",
        "QUIT:5. 保存期間の検証+alt.binaries.multimedia.erotica.*/2",
    };
    QCOMPARE(seen, expected);
    QCOMPARE(w.form.EditCount[0]->text(), QStringLiteral("1"));
    QCOMPARE(w.form.EditCount[1]->text(), QStringLiteral("1"));
    QCOMPARE(w.form.EditExpire[0]->text(), QStringLiteral("0"));
    QCOMPARE(w.form.EditExpire[2]->text(), QStringLiteral("-1"));
    QVERIFY(w.idle());
}

void TestRun::closeRequestDuringRun()
{
    FakeServer server;
    server.greeting("200 ready\r\n");
    Window *window = nullptr;
    server.setHandler([&](FakeServer &s, const QByteArray &command) {
        if (command == "LIST") {
            // The close button in the middle of the run: noted, the run goes on.
            window->form.close();
            QVERIFY(window->form.isVisible());
            QVERIFY(window->form.closeRequested());
            s.send("215 list\r\n.\r\n");
        } else if (command == "QUIT") {
            s.send("205 bye\r\n");
            s.closeClient();
        }
    });
    Window w(server);
    window = &w;
    w.form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.form));
    QTimer::singleShot(0, [&] { w.start(); });
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
    // When the run returns, the event loop ends and the window is gone.
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("0"));
    QVERIFY(w.form.BtnReport->isEnabled());
    QVERIFY(!w.form.isVisible());
}

void TestRun::coveredStartButtonCannotNest()
{
    FakeServer server;
    server.greeting("200 ready\r\n");
    Window *window = nullptr;
    server.setHandler([&](FakeServer &s, const QByteArray &command) {
        if (command == "LIST") {
            window->form.BtnStart->click(); // as the space bar on the covered button would
            s.send("215 list\r\n.\r\n");
        } else if (command == "QUIT") {
            s.send("205 bye\r\n");
            s.closeClient();
        }
    });
    Window w(server);
    window = &w;
    w.start();
    QCOMPARE(w.watcher.boxes.size(), 1);
    QCOMPARE(server.connectionCount(), 1);
    QVERIFY(w.form.BtnReport->isEnabled());
}

void TestRun::keyboardAlone()
{
    // Type the address, Tab to the start button, Space, Return on the confirmation.
    FakeServer server;
    plainServer(server);
    Window w(server);
    w.form.EditAddress->clear();
    w.watcher.answerWithKeyboard = true;
    w.form.show();
    QApplication::setActiveWindow(&w.form);
    QVERIFY(QTest::qWaitForWindowActive(&w.form));
    w.form.EditAddress->setFocus();
    QTest::keyClicks(w.form.EditAddress, "127.0.0.1");
    QTest::keyClick(w.form.EditAddress, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w.form.BtnStart);
    QTest::keyClick(w.form.BtnStart, Qt::Key_Space);
    QCOMPARE(w.watcher.boxes.size(), 1);
    QVERIFY(server.scriptDone());
    QCOMPARE(w.form.EditGroupCount->text(), QStringLiteral("2"));
    QVERIFY(w.form.BtnReport->isEnabled());
    // Back in the window, Tab reaches the report button next.
    QApplication::setActiveWindow(&w.form);
    QVERIFY(QTest::qWaitForWindowActive(&w.form));
    QCOMPARE(QApplication::focusWidget(), w.form.BtnStart);
    QTest::keyClick(w.form.BtnStart, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w.form.BtnReport);
}

void TestRun::hostileServers()
{
    // A greeting of megabytes without CR LF, NUL bytes, a close in the middle of LIST:
    // the failure message, and the window back to idle.
    struct Case
    {
        QByteArray greeting;
        QByteArray listReply;
        QString message;
    };
    const QByteArray nulGreeting("500 \0\0\0 nul\r\n", 13);
    const Case cases[] = {
        {QByteArray(4 * 1024 * 1024, 'A'), {}, Failure},
        {nulGreeting,
         {},
         Failure + QStringLiteral("500 ") + QString(3, QChar(0)) + QStringLiteral(" nul\n")},
        {"200 ok\r\n", "215 list\r\nalt.a 1 1 y\r\nalt.b", Failure},
        {"200 ok\r\n", "215 list\r\n" + QByteArray(3 * 1024 * 1024, 'z'), Failure},
    };
    for (const Case &c : cases) {
        FakeServer server;
        server.greeting(c.greeting);
        if (!c.listReply.isEmpty())
            server.expect("LIST", c.listReply, FakeServer::CloseAfter);
        Window w(server);
        w.start();
        QCOMPARE(w.watcher.boxes.size(), 2);
        QCOMPARE(w.watcher.boxes[1].text, c.message);
        QVERIFY(w.idle());
        QVERIFY(!w.form.BtnReport->isEnabled());
    }
}

void TestRun::serverThatNeverGreets()
{
    FakeServer server;
    Window w(server);
    QElapsedTimer clock;
    clock.start();
    // Three minutes of silence, delivered as ticks.
    QTimer::singleShot(200, [&] {
        for (int tick = 0; tick < Connection::IdleSeconds; ++tick)
            w.form.run.connection.Timer1Timer();
    });
    w.start();
    QVERIFY(clock.elapsed() < 20000);
    QCOMPARE(w.watcher.boxes.size(), 2);
    QCOMPARE(w.watcher.boxes[1].text, Failure);
    QVERIFY(w.idle());
}

QTEST_MAIN(TestRun)
#include "tst_run.moc"
