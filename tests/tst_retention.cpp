// The retention estimate as a transcript: the largest group of a hierarchy is walked
// through XHDR Date from its lowest article, gaps are skipped with STAT and NEXT.
#include <QTest>

#include <limits>

#include "engine/connection.h"
#include "engine/grouplist.h"
#include "engine/retention.h"
#include "tests/support/fakeserver.h"

namespace {

constexpr qint64 Int64Max = std::numeric_limits<qint64>::max();

// A connection to the fake server, greeted, with the one-second tick running.
struct Client
{
    explicit Client(FakeServer &server)
    {
        server.greeting("200 ready\r\n");
        conn.ClientSocket1.setHost(QStringLiteral("127.0.0.1"));
        conn.ClientSocket1.setPort(server.port());
        conn.IdleCountdown = Connection::IdleSeconds;
        conn.Timer1.start();
    }
    bool open()
    {
        QByteArray reply;
        return conn.connectToServer() && conn.ReadResponse(reply) == 200;
    }
    Connection conn;
};

HierarchyList oneGroup(const char *name, qint64 first, qint64 last)
{
    return {{name, {last - first, first, last}}};
}

QByteArray xhdr(const QList<QByteArray> &lines)
{
    QByteArray reply = "221 Date fields follow\r\n";
    for (const QByteArray &line : lines)
        reply += line + "\r\n";
    return reply + ".\r\n";
}

QByteArray dated(qint64 article, const char *date)
{
    return QByteArray::number(article) + ' ' + date;
}

QList<QByteArray> repeated(const QByteArray &line, int times)
{
    return QList<QByteArray>(times, line);
}

// What the estimate must give for an oldest date: it is read at the moment of the call,
// so a test running across midnight accepts either day.
bool isAgeOf(int result, const QDate &date, const QDate &before, const QDate &after)
{
    return result == date.daysTo(before) || result == date.daysTo(after);
}

const char *const Jan10 = "Fri, 10 Jan 2003 10:00:00 +0900";
const char *const Jan11 = "Sat, 11 Jan 2003 10:00:00 +0900";
const char *const Jan12 = "Sun, 12 Jan 2003 10:00:00 +0900";

} // namespace

class RetentionTest : public QObject
{
    Q_OBJECT

private slots:
    void emptyListSendsNothing();
    void refusedGroupGivesZero();
    void emptyRangesWalkToTheEnd();
    void fifthSightingEndsTheWalk();
    void largestGroupIsChosen();
    void oldestKeyWinsWithoutFiveSightings();
    void gapIsSkippedWithStatAndNext();
    void nextNeverMovesBack();
    void refusedNextEndsTheWalk();
    void undatedArticlesAreNotCounted();
    void onlyUndatedArticlesGiveZero();
    void lineWithoutBlankKeepsLastArticle();
    void unknownMonthIsNotCounted();
    void articleNumbersBeyond32Bits();
    void rangeAtTheTopOfTheNumberSpace();
    void brokenBodyEndsTheWalk();
    void lostConnectionAborts();
};

void RetentionTest::emptyListSendsNothing()
{
    FakeServer server;
    server.expect("DATE", "111 20260310120000\r\n");
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list;
    QCOMPARE(EstimateRetention(client.conn, list), -1);

    // Anything sent before this marker would be answered out of turn.
    QByteArray reply;
    client.conn.SendCommand("DATE\r\n");
    QCOMPARE(client.conn.ReadResponse(reply), 111);
    QCOMPARE(server.commands, QList<QByteArray>{"DATE"});
}

void RetentionTest::refusedGroupGivesZero()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "411 no such group\r\n");
    server.expect("DATE", "111 20260310120000\r\n");
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1, 25);
    QCOMPARE(EstimateRetention(client.conn, list), 0);
    QCOMPARE(list[0].range.First, qint64(1));

    QByteArray reply;
    client.conn.SendCommand("DATE\r\n");
    QCOMPARE(client.conn.ReadResponse(reply), 111);
    QCOMPARE(server.commands, (QList<QByteArray>{"GROUP alt.sex.a", "DATE"}));
    QVERIFY(server.mismatches.isEmpty());
}

void RetentionTest::emptyRangesWalkToTheEnd()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 25 1 25 alt.sex.a\r\n");
    server.expect("XHDR Date 1-10", xhdr({}));
    server.expect("XHDR Date 11-20", xhdr({}));
    server.expect("XHDR Date 21-30", xhdr({}));
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1, 25);
    QCOMPARE(EstimateRetention(client.conn, list), 0);

    QCOMPARE(server.commands,
             (QList<QByteArray>{"GROUP alt.sex.a", "XHDR Date 1-10", "XHDR Date 11-20",
                                "XHDR Date 21-30"}));
    QVERIFY(server.mismatches.isEmpty());
    // The walk moves the group's lowest number in the caller's list.
    QCOMPARE(list[0].range.First, qint64(31));
}

void RetentionTest::fifthSightingEndsTheWalk()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 26 1000 1025 alt.sex.a\r\n");
    QList<QByteArray> lines;
    for (qint64 article = 1000; article <= 1003; ++article)
        lines.append(dated(article, Jan10));
    for (qint64 article = 1004; article <= 1009; ++article)
        lines.append(dated(article, Jan11));
    server.expect("XHDR Date 1000-1009", xhdr(lines));
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1000, 1025);
    const QDate before = QDate::currentDate();
    const int result = EstimateRetention(client.conn, list);
    const QDate after = QDate::currentDate();

    QVERIFY2(isAgeOf(result, QDate(2003, 1, 11), before, after), QByteArray::number(result));
    QCOMPARE(server.commands, (QList<QByteArray>{"GROUP alt.sex.a", "XHDR Date 1000-1009"}));
}

void RetentionTest::largestGroupIsChosen()
{
    FakeServer server;
    server.expect("GROUP ALT.SEX.BIG", "211 100 1 100 ALT.SEX.BIG\r\n");
    server.expect("XHDR Date 1-10", xhdr(repeated(dated(1, Jan10), 5)));
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = {
        {"alt.sex.small", {5, 1, 6}}, {"ALT.SEX.BIG", {99, 1, 100}}, {"alt.sex.big", {99, 1, 100}}};
    QVERIFY(EstimateRetention(client.conn, list) > 0);

    // Sorted in place ignoring case, equal names in their order; the first of the two
    // largest is used and advanced.
    QCOMPARE(list[0].name, QByteArray("ALT.SEX.BIG"));
    QCOMPARE(list[0].range.First, qint64(11));
    QCOMPARE(list[1].range.First, qint64(1));
    QCOMPARE(server.commands.value(0), QByteArray("GROUP ALT.SEX.BIG"));
}

void RetentionTest::oldestKeyWinsWithoutFiveSightings()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 9 1 9 alt.sex.a\r\n");
    QList<QByteArray> lines;
    for (const char *date : {Jan12, Jan10, Jan11})
        lines += repeated(dated(1, date), 3);
    server.expect("XHDR Date 1-10", xhdr(lines));
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1, 9);
    const QDate before = QDate::currentDate();
    const int result = EstimateRetention(client.conn, list);
    const QDate after = QDate::currentDate();

    QVERIFY2(isAgeOf(result, QDate(2003, 1, 10), before, after), QByteArray::number(result));
    QCOMPARE(server.commands, (QList<QByteArray>{"GROUP alt.sex.a", "XHDR Date 1-10"}));
}

void RetentionTest::gapIsSkippedWithStatAndNext()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 101 1000 1100 alt.sex.a\r\n");
    server.expect("XHDR Date 1000-1009", xhdr({dated(1001, Jan10), dated(1003, Jan10)}));
    server.expect("XHDR Date 1010-1019", xhdr({}));
    server.expect("STAT 1003", "223 1003 <a@example> status\r\n");
    server.expect("NEXT", "223 1100 <b@example> article retrieved\r\n");
    server.expect("XHDR Date 1100-1109", xhdr({}));
    server.expect("STAT 1003", "423 no such article\r\n");
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1000, 1100);
    const QDate before = QDate::currentDate();
    const int result = EstimateRetention(client.conn, list);
    const QDate after = QDate::currentDate();

    QCOMPARE(server.commands,
             (QList<QByteArray>{"GROUP alt.sex.a", "XHDR Date 1000-1009", "XHDR Date 1010-1019",
                                "STAT 1003", "NEXT", "XHDR Date 1100-1109", "STAT 1003"}));
    QVERIFY(server.mismatches.isEmpty());
    QVERIFY2(isAgeOf(result, QDate(2003, 1, 10), before, after), QByteArray::number(result));
    QCOMPARE(list[0].range.First, qint64(1110));
}

void RetentionTest::nextNeverMovesBack()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 31 1000 1030 alt.sex.a\r\n");
    server.expect("XHDR Date 1000-1009", xhdr({dated(1003, Jan10)}));
    server.expect("XHDR Date 1010-1019", xhdr({}));
    server.expect("STAT 1003", "223 1003 <a@example> status\r\n");
    server.expect("NEXT", "223 1015 <b@example> article retrieved\r\n");
    server.expect("XHDR Date 1020-1029", xhdr({}));
    server.expect("STAT 1003", "223 1003 <a@example> status\r\n");
    // Without a message-id the number is not taken.
    server.expect("NEXT", "223 1200\r\n");
    server.expect("XHDR Date 1030-1039", "420 no current article\r\n");
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1000, 1030);
    EstimateRetention(client.conn, list);

    QCOMPARE(server.commands,
             (QList<QByteArray>{"GROUP alt.sex.a", "XHDR Date 1000-1009", "XHDR Date 1010-1019",
                                "STAT 1003", "NEXT", "XHDR Date 1020-1029", "STAT 1003", "NEXT",
                                "XHDR Date 1030-1039"}));
    QVERIFY(server.mismatches.isEmpty());
}

void RetentionTest::refusedNextEndsTheWalk()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 100 1000 1100 alt.sex.a\r\n");
    server.expect("XHDR Date 1000-1009", xhdr({dated(1003, Jan10)}));
    server.expect("XHDR Date 1010-1019", xhdr({}));
    server.expect("STAT 1003", "223 1003 <a@example> status\r\n");
    server.expect("NEXT", "421 no next article\r\n");
    server.expect("DATE", "111 20260310120000\r\n");
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1000, 1100);
    const QDate before = QDate::currentDate();
    const int result = EstimateRetention(client.conn, list);
    const QDate after = QDate::currentDate();
    QVERIFY2(isAgeOf(result, QDate(2003, 1, 10), before, after), QByteArray::number(result));

    QByteArray reply;
    client.conn.SendCommand("DATE\r\n");
    QCOMPARE(client.conn.ReadResponse(reply), 111);
    QCOMPARE(server.commands,
             (QList<QByteArray>{"GROUP alt.sex.a", "XHDR Date 1000-1009", "XHDR Date 1010-1019",
                                "STAT 1003", "NEXT", "DATE"}));
}

void RetentionTest::undatedArticlesAreNotCounted()
{
    // "(none)" six times would win on count alone; it says nothing about age.
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 10 1000 1009 alt.sex.a\r\n");
    QList<QByteArray> lines = repeated("1005 (none)", 6);
    lines += {dated(1006, Jan11), dated(1007, "garbled"), dated(1008, Jan11)};
    server.expect("XHDR Date 1000-1009", xhdr(lines));
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1000, 1009);
    const QDate before = QDate::currentDate();
    const int result = EstimateRetention(client.conn, list);
    const QDate after = QDate::currentDate();
    QVERIFY2(isAgeOf(result, QDate(2003, 1, 11), before, after), QByteArray::number(result));
}

void RetentionTest::onlyUndatedArticlesGiveZero()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 16 1000 1015 alt.sex.a\r\n");
    server.expect("XHDR Date 1000-1009", xhdr({"1004 (none)", "1005 (none)"}));
    server.expect("XHDR Date 1010-1019", xhdr({}));
    // The undated article still counts as the last one seen.
    server.expect("STAT 1005", "423 no such article\r\n");
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1000, 1015);
    QCOMPARE(EstimateRetention(client.conn, list), 0);
    QCOMPARE(server.commands,
             (QList<QByteArray>{"GROUP alt.sex.a", "XHDR Date 1000-1009", "XHDR Date 1010-1019",
                                "STAT 1005"}));
    QVERIFY(server.mismatches.isEmpty());
}

void RetentionTest::lineWithoutBlankKeepsLastArticle()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 20 1000 1019 alt.sex.a\r\n");
    server.expect("XHDR Date 1000-1009", xhdr({dated(1002, Jan10), "Fri,10-Jan-2003"}));
    server.expect("XHDR Date 1010-1019", xhdr({}));
    server.expect("STAT 1002", "423 no such article\r\n");
    // A number that is not one forgets the last article: no STAT after this body.
    server.expect("XHDR Date 1020-1029", xhdr({"10x3 " + QByteArray(Jan10)}));
    server.expect("XHDR Date 1030-1039", xhdr({}));
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1000, 1039);
    EstimateRetention(client.conn, list);
    QCOMPARE(server.commands,
             (QList<QByteArray>{"GROUP alt.sex.a", "XHDR Date 1000-1009", "XHDR Date 1010-1019",
                                "STAT 1002", "XHDR Date 1020-1029", "XHDR Date 1030-1039"}));
    QVERIFY(server.mismatches.isEmpty());
}

void RetentionTest::unknownMonthIsNotCounted()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 10 1000 1009 alt.sex.a\r\n");
    QList<QByteArray> lines = repeated(dated(1001, "Fri, 10 Janvier 2003 10:00:00"), 5);
    // Sorts before every real key as text, but is no date.
    lines.append(dated(1002, "Fri, 10 Jan 1999x 10:00:00"));
    lines.append(dated(1003, Jan12));
    server.expect("XHDR Date 1000-1009", xhdr(lines));
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1000, 1009);
    const QDate before = QDate::currentDate();
    const int result = EstimateRetention(client.conn, list);
    const QDate after = QDate::currentDate();
    QVERIFY2(isAgeOf(result, QDate(2003, 1, 12), before, after), QByteArray::number(result));
}

void RetentionTest::articleNumbersBeyond32Bits()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 105 4294967296 4294967400 alt.sex.a\r\n");
    server.expect("XHDR Date 4294967296-4294967305", xhdr({dated(4294967300, Jan10)}));
    server.expect("XHDR Date 4294967306-4294967315", xhdr({}));
    server.expect("STAT 4294967300", "223 4294967300 <a@example> status\r\n");
    server.expect("NEXT", "223 4294967390 <b@example> article retrieved\r\n");
    server.expect("XHDR Date 4294967390-4294967399", xhdr({}));
    server.expect("STAT 4294967300", "423 no such article\r\n");
    server.expect("XHDR Date 4294967400-4294967409", "420 no current article\r\n");
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", Q_INT64_C(4294967296), Q_INT64_C(4294967400));
    const QDate before = QDate::currentDate();
    const int result = EstimateRetention(client.conn, list);
    const QDate after = QDate::currentDate();

    QCOMPARE(server.commands,
             (QList<QByteArray>{"GROUP alt.sex.a", "XHDR Date 4294967296-4294967305",
                                "XHDR Date 4294967306-4294967315", "STAT 4294967300", "NEXT",
                                "XHDR Date 4294967390-4294967399", "STAT 4294967300",
                                "XHDR Date 4294967400-4294967409"}));
    QVERIFY(server.mismatches.isEmpty());
    QVERIFY2(isAgeOf(result, QDate(2003, 1, 10), before, after), QByteArray::number(result));
}

void RetentionTest::rangeAtTheTopOfTheNumberSpace()
{
    // The last request ends at the largest number; nothing lies beyond it to ask for.
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 8 9223372036854775800 9223372036854775807 alt.sex.a\r\n");
    server.expect("XHDR Date 9223372036854775800-9223372036854775807", xhdr({}));
    server.expect("DATE", "111 20260310120000\r\n");
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", Int64Max - 7, Int64Max);
    QCOMPARE(EstimateRetention(client.conn, list), 0);
    QCOMPARE(list[0].range.First, Int64Max);

    QByteArray reply;
    client.conn.SendCommand("DATE\r\n");
    QCOMPARE(client.conn.ReadResponse(reply), 111);
    QCOMPARE(server.commands.size(), 3);
    QVERIFY(server.mismatches.isEmpty());
}

void RetentionTest::brokenBodyEndsTheWalk()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 26 1000 1025 alt.sex.a\r\n");
    server.expect("XHDR Date 1000-1009", "221 Date fields follow\r\n" + dated(1000, Jan10) + "\r\n",
                  FakeServer::CloseAfter);
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1000, 1025);
    QCOMPARE(EstimateRetention(client.conn, list), 0);
    QCOMPARE(server.commands, (QList<QByteArray>{"GROUP alt.sex.a", "XHDR Date 1000-1009"}));
}

void RetentionTest::lostConnectionAborts()
{
    FakeServer server;
    server.expect("GROUP alt.sex.a", "211 26 1000 1025 alt.sex.a\r\n", FakeServer::CloseAfter);
    Client client(server);
    QVERIFY(client.open());

    HierarchyList list = oneGroup("alt.sex.a", 1000, 1025);
    QVERIFY_THROWS_EXCEPTION(EAbort, EstimateRetention(client.conn, list));
}

QTEST_GUILESS_MAIN(RetentionTest)
#include "tst_retention.moc"
