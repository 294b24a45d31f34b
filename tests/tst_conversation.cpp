// The conversation with a server that sends exact bytes: the two reply readers, the waits
// that end a connection, and the retention walk as a transcript.
#include <QSignalSpy>
#include <QTest>

#include <climits>

#include "engine/connection.h"
#include "engine/retention.h"
#include "tests/support/fakeserver.h"

namespace {

using Pieces = QList<QByteArray>;
using Script = QList<std::pair<QByteArray, QByteArray>>; // command, reply
constexpr int Aborted = INT_MIN;
constexpr qsizetype MaxLine = Connection::MaxLineLength;
constexpr qint64 Int64Max = std::numeric_limits<qint64>::max();

// A connection to the server with the one-second tick running, as during a run.
struct Client
{
    explicit Client(const FakeServer &server, const QString &host = QStringLiteral("127.0.0.1"))
    {
        conn.ClientSocket1.setHost(host);
        conn.ClientSocket1.setPort(server.port());
        conn.IdleCountdown = Connection::IdleSeconds;
        conn.Timer1.start();
    }
    Connection conn;
};

struct Sink : LineList
{
    void bodyBatch(std::span<const QByteArrayView> batch) override
    {
        ++batches;
        LineList::bodyBatch(batch);
        if (onBatch)
            onBatch();
    }
    QByteArray joined() const
    {
        QByteArray all;
        for (const QByteArray &line : lines)
            all += line + '|';
        return all;
    }
    int batches = 0;
    std::function<void()> onBatch;
};

QByteArray withBody(QByteArray reply, const QList<QByteArray> &lines)
{
    for (const QByteArray &line : lines)
        reply += line + "\r\n";
    return reply + ".\r\n";
}

QList<QByteArray> dated(qint64 from, qint64 to, const char *day)
{
    QList<QByteArray> lines;
    for (qint64 article = from; article <= to; ++article)
        lines << QByteArray::number(article) + ' ' + day + " Jan 2003 10:00:00 +0900";
    return lines;
}

// Overview lines: number, Subject, From, Date, Message-ID, References, bytes, lines.
QList<QByteArray> overview(qint64 from, qint64 to, const char *day, const char *subject = "Re: x")
{
    QList<QByteArray> lines;
    for (qint64 article = from; article <= to; ++article)
        lines << QByteArray::number(article) + '\t' + subject + "\tA <a@x>\t" + day
                + " Jan 2003 10:00:00 +0900\t<" + QByteArray::number(article) + "@x>\t\t100\t4";
    return lines;
}

// Steps of a retention walk's transcript.
using Step = std::pair<QByteArray, QByteArray>;
Step X(const QByteArray &range, const QList<QByteArray> &lines = {})
{
    return {"XHDR Date " + range, withBody("221 Date fields follow\r\n", lines)};
}
Step H(const QByteArray &range, const QList<QByteArray> &lines)
{
    return {"HDR Date " + range, withBody("225 Headers follow\r\n", lines)};
}
Step O(const QByteArray &command, const QList<QByteArray> &lines)
{
    return {command, withBody("224 Overview information follows\r\n", lines)};
}
Step stat(qint64 article, const QByteArray &reply = {})
{
    const QByteArray number = QByteArray::number(article);
    return {"STAT " + number, reply.isEmpty() ? "223 " + number + " <a@x> status\r\n" : reply};
}
Step next(const QByteArray &reply)
{
    return {"NEXT", reply};
}
Step next(qint64 article)
{
    return next("223 " + QByteArray::number(article) + " <b@x> article retrieved\r\n");
}
Step group(const char *suffix)
{
    return {QByteArray("GROUP alt.sex.") + suffix, "211 group selected\r\n"};
}
Step unknown(const QByteArray &command)
{
    return {command, "500 command not recognized\r\n"};
}

} // namespace

Q_DECLARE_METATYPE(FakeServer::After)

class TestConversation : public QObject
{
    Q_OBJECT

private slots:
    void readers_data();
    void readers();
    void idleTimeOut();
    void stopEndsTheWait();
    void retentionWalk_data();
    void retentionWalk();
};

void TestConversation::readers_data()
{
    QTest::addColumn<bool>("body"); // false: the greeting with ReadResponse; true: LIST
    QTest::addColumn<Pieces>("pieces");
    QTest::addColumn<FakeServer::After>("after");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<int>("batches"); // -1: not counted
    auto single = [](const char *name, const Pieces &pieces, int status, const QByteArray &reply,
                     FakeServer::After after = FakeServer::StayOpen) {
        QTest::newRow(name) << false << pieces << after << status << reply << QByteArray() << -1;
    };
    auto body = [](const char *name, const Pieces &pieces, int status, const QByteArray &lines,
                   int batches = -1, FakeServer::After after = FakeServer::StayOpen,
                   const QByteArray &reply = "215 list\r\n") {
        QTest::newRow(name) << true << pieces << after << status << reply << lines << batches;
    };
    single("reply in pieces", {"20", "0 hel", "lo\r", "\n"}, 200, "200 hello\r\n");
    single("two replies in one read stay together", {"200 first\r\n211 second\r\n"}, 200,
           "200 first\r\n211 second\r\n");
    single("status with a letter inside", {"2x1 odd\r\n"}, -1, "2x1 odd\r\n");
    single("fewer than three characters", {"1\r\n"}, -1, "1\r\n");
    single("NUL bytes are ordinary", {QByteArray("200 nul\0here\r\n", 14)}, 200,
           QByteArray("200 nul\0here\r\n", 14));
    single("answer and close in one moment", {"502 no permission\r\n"}, 502,
           "502 no permission\r\n", FakeServer::CloseAfter);
    single("close before a whole line", {"200 half"}, Aborted, {}, FakeServer::CloseAfter);
    const QByteArray longest = "200" + QByteArray(MaxLine - 3, 'x');
    single("line of the greatest length", {longest, "\r\n"}, 200, longest + "\r\n");
    single("line without end is dropped", {QByteArray(MaxLine + 1, 'x')}, Aborted, {});

    body("status, stuffed dots, empty line; what follows the end is dropped",
         {"215 list\r\n..a\r\n.b\r\n\r\nc d\r\n..\r\n.\r\n211 stray\r\n"}, 215, ".a|b||c d|.|", 1);
    body("end in pieces; a read of only the end is a batch of its own",
         {"215 list\r\nalt.a 1 1 y\r", "\nalt.b 2 2 y\r\n.", "\r", "\n"}, 215,
         "alt.a 1 1 y|alt.b 2 2 y|", 2);
    body("empty list", {"215 list\r\n.\r\n"}, 215, "", 1);
    const QByteArray all = "215 list\r\nalt.a 1 1 y\r\nlone\nlf and lone\rcr\r\n..dot\r\n\r\n"
                           ".x\r\n\r\r\nend 2 2 y\r\n.\r\nafter\r\n";
    for (const int size : {1, 3, 13}) {
        Pieces pieces;
        for (qsizetype at = 0; at < all.size(); at += size)
            pieces << all.mid(at, size);
        QTest::addRow("body in pieces of %d", size)
            << true << pieces << FakeServer::StayOpen << 215 << QByteArray("215 list\r\n")
            << QByteArray("alt.a 1 1 y|lone\nlf and lone\rcr|.dot||x|\r|end 2 2 y|") << -1;
    }
    QByteArray many, manyLines = "alt.first 1 1 y|";
    for (int i = 0; i < 3000; ++i) {
        many += "group." + QByteArray::number(i) + " 9 1 y\r\n";
        manyLines += "group." + QByteArray::number(i) + " 9 1 y|";
    }
    body("thousands of lines after a line begun in the read before",
         {"215 list\r\nalt.fir", "st 1 1 y\r\n" + many + ".\r\n"}, 215, manyLines);
    body("another status: nothing delivered", {"480 who are you\r\n"}, 480, "", 0,
         FakeServer::StayOpen, "480 who are you\r\n");
    body("another status with a body: what came with it is in the reply", {"412 no\r\nextra\r\n"},
         412, "", 0, FakeServer::StayOpen, "412 no\r\nextra\r\n");
    body("close in the middle", {"215 list\r\nalt.a 1 1 y\r\nalt.b 1"}, -1, "alt.a 1 1 y|", -1,
         FakeServer::CloseAfter);
    body("the whole body and the close in one moment", {"215 list\r\nalt.a 2 1 y\r\n.\r\n"}, 215,
         "alt.a 2 1 y|", 1, FakeServer::CloseAfter);
    body("body line of the greatest length",
         {"215 list\r\n", QByteArray(MaxLine, 'y'), "\r\n.\r\n"}, 215,
         QByteArray(MaxLine, 'y') + '|');
    body("body line without end is dropped",
         {QByteArray("215 list\r\na\0b 1 1 y\r\n", 21) + QByteArray(MaxLine + 1, 'y')}, -1,
         QByteArray("a\0b 1 1 y|", 10));
}

void TestConversation::readers()
{
    QFETCH(bool, body);
    QFETCH(Pieces, pieces);
    QFETCH(FakeServer::After, after);
    QFETCH(int, status);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, lines);
    QFETCH(int, batches);

    FakeServer server;
    if (body) {
        server.greeting("200 ok\r\n");
        server.expect("LIST", pieces, after);
    } else {
        server.greeting(pieces, after);
    }
    Client client(server);
    QVERIFY(client.conn.connectToServer());
    QByteArray got;
    int read = Aborted;
    Sink sink;
    sink.lines.push_back("left from before");
    try {
        if (body) {
            QCOMPARE(client.conn.ReadResponse(got), 200);
            client.conn.SendCommand("LIST\r\n");
            read = client.conn.ReadMultiLineResponse(sink, 215, got);
        } else {
            read = client.conn.ReadResponse(got);
            QVERIFY(client.conn.ReceiveBuffer.isEmpty());
        }
    } catch (const EAbort &abort) {
        QVERIFY(abort.message().isEmpty());
    }
    QCOMPARE(read, status);
    if (status != Aborted)
        QCOMPARE(got, reply);
    if (body)
        QCOMPARE(sink.joined(), lines);
    if (batches >= 0)
        QCOMPARE(sink.batches, batches);
    // A line that grows without end is not kept: the connection is dropped with it.
    if (pieces.last().size() > MaxLine) {
        QVERIFY(!client.conn.ClientSocket1.isConnected());
        QVERIFY(client.conn.ReceiveBuffer.size() <= MaxLine);
    }
}

void TestConversation::idleTimeOut()
{
    FakeServer server; // says nothing at all
    Client client(server);
    QVERIFY(client.conn.connectToServer());
    // 180 ticks without a read event, delivered at once; a read event, even without bytes,
    // starts the count again.
    client.conn.IdleCountdown = 3;
    client.conn.ClientSocket1Read();
    QCOMPARE(client.conn.IdleCountdown, Connection::IdleSeconds);
    QTimer::singleShot(0, [&] {
        for (int tick = 1; tick < Connection::IdleSeconds; ++tick)
            client.conn.Timer1Timer();
        QVERIFY(client.conn.ClientSocket1.isConnected());
        client.conn.Timer1Timer();
    });
    QByteArray reply;
    QVERIFY_THROWS_EXCEPTION(EAbort, client.conn.ReadResponse(reply));
    QCOMPARE(client.conn.connectionState, ConnectionState::Closed);
    // Later ticks go below zero and do nothing more.
    client.conn.Timer1Timer();
    QCOMPARE(client.conn.IdleCountdown, -1);
    QCOMPARE(client.conn.connectionState, ConnectionState::Closed);

    // While connecting, the time-out leaves the socket to the run.
    client.conn.connectionState = ConnectionState::None;
    client.conn.IdleCountdown = 1;
    client.conn.Timer1Timer();
    QCOMPARE(client.conn.connectionState, ConnectionState::Failed);
}

void TestConversation::stopEndsTheWait()
{
    // The stop button while connecting (during the lookup, during the connect): the
    // disconnect comes during the close, once, and nothing of the attempt afterwards.
    for (const QString &host : {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")}) {
        FakeServer server;
        Client client(server, host);
        QSignalSpy connects(&client.conn.ClientSocket1, &ClientSocket::connectEvent);
        QSignalSpy disconnects(&client.conn.ClientSocket1, &ClientSocket::disconnectEvent);
        client.conn.ClientSocket1.open();
        client.conn.ClientSocket1.close();
        QCOMPARE(disconnects.size(), 1);
        QCOMPARE(client.conn.connectionState, ConnectionState::Closed);
        QTest::qWait(100);
        client.conn.ClientSocket1.close();
        QCOMPARE(connects.size(), 0);
        QCOMPARE(disconnects.size(), 1);
    }
    // The stop button while body lines arrive: -1; while a single reply is awaited: abort.
    FakeServer server;
    server.greeting("200 ok\r\n");
    server.expect("LIST", "215 list\r\nalt.a 1 1 y\r\n");
    Client client(server);
    QVERIFY(client.conn.connectToServer());
    QByteArray reply;
    QCOMPARE(client.conn.ReadResponse(reply), 200);
    client.conn.SendCommand("LIST\r\n");
    Sink sink;
    sink.onBatch = [&] {
        client.conn.ClientSocket1.close();
    };
    QCOMPARE(client.conn.ReadMultiLineResponse(sink, 215, reply), -1);
    QCOMPARE(sink.joined(), QByteArray("alt.a 1 1 y|"));

    server.setHandler([&](FakeServer &, const QByteArray &) { client.conn.ClientSocket1.close(); });
    QVERIFY(client.conn.connectToServer());
    QCOMPARE(client.conn.ReadResponse(reply), 200);
    client.conn.SendCommand("GROUP alt.a\r\n");
    QVERIFY_THROWS_EXCEPTION(EAbort, client.conn.ReadResponse(reply));

    // A sink that throws ends the body's read as a stop does.
    server.setHandler([](FakeServer &s, const QByteArray &) { s.send("215 list\r\na\r\n.\r\n"); });
    QVERIFY(client.conn.connectToServer());
    QCOMPARE(client.conn.ReadResponse(reply), 200);
    client.conn.SendCommand("LIST\r\n");
    sink.onBatch = [] {
        throw std::runtime_error("full");
    };
    QCOMPARE(client.conn.ReadMultiLineResponse(sink, 215, reply), -1);
}

void TestConversation::retentionWalk_data()
{
    QTest::addColumn<HierarchyList>("groups");
    QTest::addColumn<Script>("script");
    QTest::addColumn<QDate>("oldest"); // invalid: the result below
    QTest::addColumn<int>("result");
    QTest::addColumn<qint64>("walkedFirst"); // where the walked group's First ends
    QTest::addColumn<bool>("hangUp"); // with the script's last reply
    // A second hierarchy walked after the first, alt.sex.b 1000-1009, on the same connection
    // (1) or a new one (2): what the first walk learnt of the server's commands is remembered.
    QTest::addColumn<int>("second");
    QTest::addColumn<QDate>("secondOldest"); // invalid: 0
    const QDate jan10(2003, 1, 10), jan11(2003, 1, 11), jan12(2003, 1, 12);
    auto rowOf = [](const char *name, const HierarchyList &groups, const Script &script,
                    const QDate &oldest, qint64 walkedFirst, int result = 0, bool hangUp = false) {
        QTest::newRow(name) << groups << script << oldest << result << walkedFirst << hangUp << 0
                            << QDate();
    };
    // alt.sex.a from first to last, selected at once.
    auto row = [&](const char *name, qint64 first, qint64 last, const Script &script,
                   const QDate &oldest, qint64 walkedFirst, int result = 0, bool hangUp = false) {
        rowOf(name, {{"alt.sex.a", {last - first, first, last}}}, Script{group("a")} + script,
              oldest, walkedFirst, result, hangUp);
    };
    auto twoWalks = [](const char *name, bool reconnect, const Script &script, const QDate &first,
                       const QDate &second) {
        QTest::newRow(name) << HierarchyList{{"alt.sex.a", {9, 1000, 1009}}}
                            << Script{group("a")} + script << first << 0
                            << qint64(first.isValid() ? 1010 : 1000) << false << (reconnect ? 2 : 1)
                            << second;
    };
    const QByteArray noArticle = "423 no such article\r\n";
    const Step xhdrUnknown = unknown("XHDR Date 1000-1009"),
               hdrUnknown = unknown("HDR Date 1000-1009");
    const Script unknownUpToOver{xhdrUnknown, hdrUnknown, unknown("XOVER 1000-1009")};

    rowOf("empty hierarchy: nothing sent", {}, {}, {}, 0, -1);
    rowOf("GROUP refused", {{"alt.sex.a", {24, 1, 25}}},
          {{"GROUP alt.sex.a", "411 no such group\r\n"}}, {}, 1);
    row("empty ranges walked to the end", 1, 25, {X("1-10"), X("11-20"), X("21-30")}, {}, 31);
    row("the fifth sighting of a date ends the walk", 1000, 1025,
        {X("1000-1009", dated(1000, 1003, "Fri, 10") + dated(1004, 1009, "Sat, 11"))}, jan11, 1010);
    rowOf("the largest group, names sorted ignoring case",
          {{"alt.sex.small", {5, 1, 6}},
           {"ALT.SEX.BIG", {99, 1, 100}},
           {"alt.sex.big", {99, 1, 100}}},
          {{"GROUP ALT.SEX.BIG", "211 group selected\r\n"}, X("1-10", dated(1, 5, "Fri, 10"))},
          jan10, 11);
    row("without five sightings the key that sorts first", 1, 9,
        {X("1-10", dated(1, 3, "Sun, 12") + dated(4, 6, "Fri, 10") + dated(7, 9, "Sat, 11"))},
        jan10, 11);
    row("a gap crossed with STAT and NEXT", 1000, 1100,
        {X("1000-1009", dated(1001, 1003, "Fri, 10")), X("1010-1019"), stat(1003), next(1100),
         X("1100-1109"), stat(1003, noArticle)},
        jan10, 1110);
    row("NEXT never moves back; a number without a message-id is not taken", 1000, 1030,
        {X("1000-1009", dated(1003, 1003, "Fri, 10")), X("1010-1019"), stat(1003), next(1015),
         X("1020-1029"), stat(1003), next("223 1200\r\n"),
         Step("XHDR Date 1030-1039", "420 no current article\r\n")},
        jan10, 1030);
    row("NEXT refused: one request over the rest of the range, none past its end", 1000, 1100,
        {X("1000-1009", dated(1003, 1003, "Fri, 10")), X("1010-1019"), stat(1003),
         next("421 no next article\r\n"), X("1020-1100")},
        jan10, 1101);
    // Servers that answer NEXT with 421 at a cancelled article, though later ones exist, and
    // STAT with 430 for a cancelled number. 89,000 empty numbers after NEXT was refused take
    // 12 requests, where ten at a time take 8,900.
    row("NEXT refused at a cancelled article: a wide gap in few requests, older dates after it",
        1000, 100000,
        {X("1000-1009", dated(1003, 1003, "Sun, 12")), X("1010-1019"), stat(1003),
         next("421 no next article\r\n"), X("1020-2019"), X("2020-4019"), X("4020-8019"),
         X("8020-16019"), X("16020-26259"), X("26260-36499"), X("36500-46739"), X("46740-56979"),
         X("56980-67219"), X("67220-77459"), X("77460-87699"),
         X("87700-97939", dated(90000, 90004, "Fri, 10"))},
        jan10, 97940);
    row("STAT refused for a cancelled article: not asked again, the gap crossed by XHDR", 1000,
        1100,
        {X("1000-1009", dated(1001, 1004, "Sun, 12")), X("1010-1019"),
         stat(1004, "430 no such article\r\n"), X("1020-1029"),
         X("1030-1049", dated(1040, 1044, "Fri, 10"))},
        jan10, 1050);
    // An undated article still counts as seen: 1005 is asked for after the gap.
    row("undated and garbled dates count for nothing", 1000, 1015,
        {X("1000-1009",
           QList<QByteArray>(6, "1005 (none)") + dated(1006, 1006, "Sat, 11")
               + QList<QByteArray>{"1007 garbled", "1008 Fri, 10 Janvier 2003",
                                   "1008 Fri, 9 Jan 1999x", "1009 (none)"}),
         X("1010-1019"), stat(1009, noArticle)},
        jan11, 1020);
    row("a line without blank keeps the last article; a bad number forgets it", 1000, 1039,
        {X("1000-1009", dated(1002, 1002, "Fri, 10") << "Fri,10-Jan-2003"), X("1010-1019"),
         stat(1002, noArticle), X("1020-1029", {"10x3 Fri, 10 Jan 2003"}), X("1030-1039")},
        jan10, 1040);
    row("a Date without weekday is read from just after the number's blank", 1000, 1009,
        {X("1000-1009",
           {"1000 10 Jan 2003 10:00:00 +0900", "1001 10 Jan 2003 11:00:00 +0900",
            "1002 10 Jan 2003 12:00:00 +0900", "1003 10 Jan 2003 13:00:00 +0900",
            "1004 10 Jan 2003 14:00:00 +0900"})},
        jan10, 1010);
    // Servers that do not know XHDR.
    row("XHDR unknown: HDR, whose empty range is 423", 1000, 1200,
        {xhdrUnknown, H("1000-1009", dated(1003, 1003, "Sun, 12")),
         Step("HDR Date 1010-1019", "423 no articles in that range\r\n"), stat(1003), next(1100),
         H("1100-1109", dated(1100, 1104, "Fri, 10"))},
        jan10, 1110);
    row("XHDR and HDR unknown: XOVER, the Date its fourth field though the Subject is empty", 1000,
        1200,
        {xhdrUnknown, hdrUnknown, O("XOVER 1000-1009", overview(1003, 1003, "Sun, 12")),
         O("XOVER 1010-1019", {}), stat(1003), next(1100),
         O("XOVER 1100-1109",
           overview(1100, 1103, "Fri, 10") + overview(1104, 1104, "Fri, 10", ""))},
        jan10, 1110);
    row("XHDR, HDR and XOVER unknown: OVER", 1000, 1200,
        unknownUpToOver + Script{O("OVER 1000-1009", overview(1000, 1004, "Fri, 10"))}, jan10,
        1010);
    row("no command dates an article: 0", 1000, 1200,
        unknownUpToOver + Script{unknown("OVER 1000-1009")}, {}, 1000);
    row("a range at the top of the number space", Int64Max - 7, Int64Max,
        {X("9223372036854775800-9223372036854775807")}, {}, Int64Max);
    row("a body that breaks off ends the walk", 1000, 1025,
        {Step("XHDR Date 1000-1009", "221 follow\r\n1000 Fri, 10 Jan 2003\r\n")}, {}, 1000, 0,
        true);
    row("a close while a status is awaited aborts", 1000, 1025, {}, {}, 1000, Aborted, true);

    twoWalks("XOVER found once serves the next hierarchy", false,
             {xhdrUnknown, hdrUnknown, O("XOVER 1000-1009", overview(1000, 1004, "Fri, 10")),
              group("b"), O("XOVER 1000-1009", overview(1000, 1004, "Sat, 11"))},
             jan10, jan11);
    twoWalks("nothing dates: the next hierarchy sends nothing", false,
             unknownUpToOver + Script{unknown("OVER 1000-1009")}, {}, {});
    twoWalks("a new connection asks afresh", true,
             {xhdrUnknown, H("1000-1009", dated(1000, 1004, "Fri, 10")), group("b"),
              X("1000-1009", dated(1000, 1004, "Sat, 11"))},
             jan10, jan11);
    twoWalks("a refusal other than 500 is not remembered", false,
             {Step("XHDR Date 1000-1009", "502 permission denied\r\n"), group("b"), xhdrUnknown,
              H("1000-1009", dated(1000, 1004, "Sat, 11"))},
             {}, jan11);
}

void TestConversation::retentionWalk()
{
    QFETCH(HierarchyList, groups);
    QFETCH(Script, script);
    QFETCH(QDate, oldest);
    QFETCH(int, result);
    QFETCH(qint64, walkedFirst);
    QFETCH(bool, hangUp);
    QFETCH(int, second);
    QFETCH(QDate, secondOldest);

    FakeServer server;
    server.greeting("200 ready\r\n");
    QList<QByteArray> expectedCommands;
    for (qsizetype i = 0; i < script.size(); ++i) {
        expectedCommands << script[i].first;
        const bool last = i + 1 == script.size();
        server.expect(script[i].first, script[i].second,
                      hangUp && last ? FakeServer::CloseAfter : FakeServer::StayOpen);
    }
    Client client(server);
    QByteArray reply;
    auto connect = [&] {
        client.conn.ClientSocket1.close();
        QVERIFY(client.conn.connectToServer());
        QCOMPARE(client.conn.ReadResponse(reply), 200);
    };
    // The walk's answer in days, or `result` when no oldest date is given.
    auto walk = [&](HierarchyList &walked, const QDate &date, int result) {
        const QDate before = QDate::currentDate();
        int got = Aborted;
        try {
            got = EstimateRetention(client.conn, walked);
        } catch (const EAbort &) {
        }
        if (date.isValid())
            QVERIFY2(got == date.daysTo(before) || got == date.daysTo(QDate::currentDate()),
                     QByteArray::number(got));
        else
            QCOMPARE(got, result);
    };
    connect();
    walk(groups, oldest, result);
    if (QTest::currentTestFailed())
        return;
    if (!groups.empty())
        QCOMPARE(groups[0].range.First, walkedFirst);
    if (second == 2)
        connect();
    if (second) {
        HierarchyList b{{"alt.sex.b", {9, 1000, 1009}}};
        walk(b, secondOldest, 0);
    }

    // A command sent out of turn would reach the server before this marker's answer.
    if (!hangUp) {
        client.conn.SendCommand("DATE\r\n");
        QCOMPARE(client.conn.ReadResponse(reply), 500);
        expectedCommands << "DATE";
    }
    QCOMPARE(server.commands, expectedCommands);
    QCOMPARE(server.mismatches, QList<QByteArray>());
}

QTEST_GUILESS_MAIN(TestConversation)
#include "tst_conversation.moc"
