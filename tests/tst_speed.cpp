// The measured speed of the group list: bytes over the real elapsed time of its body.
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "tests/support/fakeserver.h"
#include "tests/support/modalwatcher.h"
#include "ui/formmain.h"

namespace {

// Remembers the stages the run showed in bold.
class RecordingForm : public TFormMain
{
public:
    void highlightStage(Stage stage, int hierarchy) override
    {
        stages.append(int(stage) * 10 + hierarchy + 1);
        TFormMain::highlightStage(stage, hierarchy);
    }
    QList<int> stages;
};

// Sends a LIST body in equal chunks at a fixed interval and notes when the first and the
// last chunk really went out.
struct ThrottledList
{
    ThrottledList(FakeServer &server, int chunks, int chunkBytes, int intervalMs)
    {
        QByteArray line = "alt.test.group.with.a.long.name 0000012345 0000000001 y\r\n";
        while (body.size() < qsizetype(chunks) * chunkBytes)
            body += line;
        body.truncate(qsizetype(chunks) * chunkBytes - line.size());
        body.truncate(body.lastIndexOf('\n') + 1);
        sizes = chunkBytes;
        server.greeting("200 ready\r\n");
        server.setHandler([this, chunks, intervalMs](FakeServer &s, const QByteArray &command) {
            if (command == "QUIT") {
                s.send("205 bye\r\n");
                s.closeClient();
                return;
            }
            if (command != "LIST")
                return;
            timer.setInterval(intervalMs);
            QObject::connect(&timer, &QTimer::timeout, [this, &s, chunks] {
                const qsizetype from = qsizetype(sent) * sizes;
                QByteArray piece = sent == 0 ? QByteArray("215 list\r\n") : QByteArray();
                piece += body.mid(from, sizes);
                if (++sent == chunks) {
                    piece += ".\r\n";
                    timer.stop();
                }
                s.send(piece);
                if (sent == 1)
                    clock.start();
                else
                    elapsedUs = clock.nsecsElapsed() / 1000;
            });
            timer.start();
        });
    }
    qint64 rate() const { return body.size() * 1000000 / elapsedUs; }

    QByteArray body;
    int sizes = 0;
    int sent = 0;
    QTimer timer;
    QElapsedTimer clock;
    qint64 elapsedUs = 0;
};

qint64 runAndReadSpeed(RecordingForm &form, const FakeServer &server)
{
    ModalWatcher watcher;
    form.run.setPort(server.port());
    form.EditAddress->setText(QStringLiteral("127.0.0.1"));
    form.BtnStart->click();
    return form.EditSpeed->text().toLongLong();
}

} // namespace

class TestSpeed : public QObject
{
    Q_OBJECT

private slots:
    void throttledListOverSeconds();
    void listUnderOneSecond();
    void speedStageIsShown();
    void arithmetic();
};

void TestSpeed::throttledListOverSeconds()
{
    FakeServer server;
    ThrottledList list(server, 26, 8000, 100); // 208 kB over 2.5 s
    RecordingForm form;
    const qint64 shown = runAndReadSpeed(form, server);
    const qint64 real = list.rate();
    QVERIFY2(qAbs(shown - real) * 100 <= real * 4,
             qPrintable(QStringLiteral("shown %1, sent at %2").arg(shown).arg(real)));
    // Whole seconds would have shown bytes / 2: far off.
    QVERIFY(qAbs(shown - list.body.size() / 2) > real / 10);
}

void TestSpeed::listUnderOneSecond()
{
    FakeServer server;
    ThrottledList list(server, 3, 20000, 150); // 60 kB in 0.3 s
    RecordingForm form;
    const qint64 shown = runAndReadSpeed(form, server);
    const qint64 real = list.rate();
    QVERIFY(shown > 0);
    QVERIFY2(qAbs(shown - real) * 100 <= real * 10,
             qPrintable(QStringLiteral("shown %1, sent at %2").arg(shown).arg(real)));
}

void TestSpeed::speedStageIsShown()
{
    // Even a list faster than a second passes through the speed stage in bold.
    FakeServer server;
    server.greeting("200 ready\r\n");
    server.expect("LIST", "215 list\r\nalt.sex.a 2 1 y\r\n.\r\n");
    server.expect("GROUP alt.sex.a", "211 2 1 2 alt.sex.a\r\n");
    server.expect("XHDR Date 1-10", "221 dates\r\n.\r\n");
    server.expect("QUIT", "205 bye\r\n", FakeServer::CloseAfter);
    RecordingForm form;
    runAndReadSpeed(form, server);
    QCOMPARE(server.mismatches, QList<QByteArray>());
    const int none = 0;
    const QList<int> expected{
        int(Stage::Post) * 10 + none, int(Stage::Groups) * 10 + none, int(Stage::Speed) * 10 + none,
        int(Stage::Feed) * 10 + none, int(Stage::Expire) * 10 + 1,    int(Stage::Expire) * 10 + 2,
        int(Stage::Expire) * 10 + 3,  int(Stage::Expire) * 10 + 4,    int(Stage::Expire) * 10 + 5};
    QCOMPARE(form.stages, expected);
    QVERIFY(form.EditSpeed->text().toLongLong() > 0);
}

void TestSpeed::arithmetic()
{
    QCOMPARE(BytesPerSecond(1500000, 2999000), qint64(500166));
    QCOMPARE(BytesPerSecond(123456, 1000000), qint64(123456));
    QCOMPARE(BytesPerSecond(5000, 999), qint64(5005005));
    QCOMPARE(BytesPerSecond(0, 1000), qint64(0));
    // Loopback can pass 4 GB/s: no 32-bit wrap, no division by zero.
    QCOMPARE(BytesPerSecond(50000000, 10000), qint64(5000000000));
    QCOMPARE(BytesPerSecond(100, 0), qint64(100000000));
    QCOMPARE(BytesPerSecond(std::numeric_limits<qint64>::max(), 1),
             std::numeric_limits<qint64>::max());
}

QTEST_MAIN(TestSpeed)
#include "tst_speed.moc"
