// The connection layer and its two readers against a server that sends exact bytes.
#include <QSignalSpy>
#include <QTest>

#include "engine/connection.h"
#include "tests/support/fakeserver.h"

namespace {

// A connection to the fake server with the one-second tick running, as during a run.
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

// Connects, reads a 200 greeting and sends LIST: where the body tests begin.
bool startList(Client &client)
{
    QByteArray greeting;
    if (!client.conn.connectToServer() || client.conn.ReadResponse(greeting) != 200)
        return false;
    client.conn.SendCommand("LIST\r\n");
    return true;
}

void later(int ms, std::function<void()> what)
{
    QTimer::singleShot(ms, std::move(what));
}

QByteArray joined(const std::vector<QByteArray> &lines)
{
    QByteArray all;
    for (const QByteArray &line : lines)
        all += line + '|';
    return all;
}

// Counts the batches a body arrives in.
struct CountingSink : LineList
{
    void bodyBatch(std::span<const QByteArrayView> batch) override
    {
        ++batches;
        LineList::bodyBatch(batch);
    }
    int batches = 0;
};

} // namespace

class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    void singleReplies();
    void repliesSplitOverReads();
    void twoRepliesInOneRead();
    void answerThenCloseIsStillAnAnswer();
    void closeBeforeWholeReplyAborts();
    void bodyLinesAndDotStuffing();
    void terminatorSplitAcrossReads();
    void longBodyInOneRead();
    void bodySplitAnywhere();
    void unexpectedStatusLeavesBodyForNextReader();
    void bodyBrokenOff();
    void idleTimeout();
    void readEventResetsCountdown();
    void timeoutWhileConnecting();
    void stopWhileConnecting();
    void stopDuringBody();
    void refusedConnectionFails();
    void hostileLines();
};

void TestConnection::singleReplies()
{
    FakeServer server;
    server.greeting("200 welcome\r\n");
    server.expect("HELP", "ab\r\n");
    server.expect("DATE", "2x1 odd\r\n");
    server.expect("MODE", "1\r\n"); // fewer than three characters before CR LF
    Client client(server);
    QVERIFY(client.conn.connectToServer());
    QCOMPARE(client.conn.connectionState, ConnectionState::Connected);
    QByteArray reply;
    QCOMPARE(client.conn.ReadResponse(reply), 200);
    QCOMPARE(reply, QByteArray("200 welcome\r\n"));
    // Status texts that are not numbers give -1.
    client.conn.SendCommand("HELP\r\n");
    QCOMPARE(client.conn.ReadResponse(reply), -1);
    client.conn.SendCommand("DATE\r\n");
    QCOMPARE(client.conn.ReadResponse(reply), -1);
    client.conn.SendCommand("MODE\r\n");
    QCOMPARE(client.conn.ReadResponse(reply), -1);
    QCOMPARE(server.commands, (QList<QByteArray>{"HELP", "DATE", "MODE"}));
}

void TestConnection::repliesSplitOverReads()
{
    FakeServer server;
    server.greeting("20");
    Client client(server);
    QVERIFY(client.conn.connectToServer());
    later(50, [&] { server.send("0 hel"); });
    later(100, [&] { server.send("lo\r"); });
    later(150, [&] { server.send("\n"); });
    QByteArray reply;
    QCOMPARE(client.conn.ReadResponse(reply), 200);
    QCOMPARE(reply, QByteArray("200 hello\r\n"));
}

void TestConnection::twoRepliesInOneRead()
{
    FakeServer server;
    server.greeting("200 first\r\n211 second\r\n");
    server.expect("NEXT", "223 third\r\n");
    Client client(server);
    QVERIFY(client.conn.connectToServer());
    QByteArray reply;
    QCOMPARE(client.conn.ReadResponse(reply), 200);
    QCOMPARE(reply, QByteArray("200 first\r\n211 second\r\n"));
    client.conn.SendCommand("NEXT\r\n");
    QCOMPARE(client.conn.ReadResponse(reply), 223);
    QCOMPARE(reply, QByteArray("223 third\r\n"));
}

void TestConnection::answerThenCloseIsStillAnAnswer()
{
    // Servers answer QUIT and hang up within the same moment; an error greeting likewise.
    FakeServer server;
    server.greeting("502 no permission\r\n", FakeServer::CloseAfter);
    Client client(server);
    QVERIFY(client.conn.connectToServer());
    // Let the close arrive too before reading.
    QTRY_COMPARE(client.conn.connectionState, ConnectionState::Closed);
    QByteArray reply;
    QCOMPARE(client.conn.ReadResponse(reply), 502);
    QCOMPARE(reply, QByteArray("502 no permission\r\n"));

    FakeServer list;
    list.greeting("200 ok\r\n");
    list.expect("LIST", "215 list\r\nalt.a 2 1 y\r\n.\r\n", FakeServer::CloseAfter);
    Client second(list);
    QVERIFY(second.conn.connectToServer());
    QCOMPARE(second.conn.ReadResponse(reply), 200);
    second.conn.SendCommand("LIST\r\n");
    QTRY_COMPARE(second.conn.connectionState, ConnectionState::Closed);
    LineList lines;
    QCOMPARE(second.conn.ReadMultiLineResponse(lines, 215, reply), 215);
    QCOMPARE(joined(lines.lines), QByteArray("alt.a 2 1 y|"));
    // After the close, waiting for the answer to QUIT is over at once.
    second.conn.SendCommand("QUIT\r\n");
    QCOMPARE(second.conn.ReadClosingResponse(reply), -1);
}

void TestConnection::closeBeforeWholeReplyAborts()
{
    FakeServer server;
    server.greeting("200 half", FakeServer::CloseAfter);
    Client client(server);
    QVERIFY(client.conn.connectToServer());
    QByteArray reply;
    QVERIFY_THROWS_EXCEPTION(EAbort, client.conn.ReadResponse(reply));
    try {
        client.conn.ReadResponse(reply);
        QFAIL("a closed connection must abort");
    } catch (const EAbort &abort) {
        QVERIFY(abort.message().isEmpty());
    }
}

void TestConnection::bodyLinesAndDotStuffing()
{
    FakeServer server;
    server.greeting("200 ok\r\n");
    // The status line arrives together with body lines; data after the terminator is dropped.
    server.expect("LIST", "215 follows\r\n..a\r\n.b\r\n\r\nc d\r\n..\r\n.\r\n211 stray\r\n");
    server.expect("DATE", "111 20260101000000\r\n");
    Client client(server);
    QVERIFY(startList(client));
    QByteArray reply;
    CountingSink lines;
    QCOMPARE(client.conn.ReadMultiLineResponse(lines, 215, reply), 215);
    QCOMPARE(reply, QByteArray("215 follows\r\n"));
    QCOMPARE(joined(lines.lines), QByteArray(".a|b||c d|.|"));
    QCOMPARE(lines.batches, 1);
    QVERIFY(client.conn.ListElapsedUs >= 0);
    client.conn.SendCommand("DATE\r\n");
    QCOMPARE(client.conn.ReadResponse(reply), 111);
}

void TestConnection::terminatorSplitAcrossReads()
{
    FakeServer server;
    server.greeting("200 ok\r\n");
    server.expect("LIST", "215 follows\r\nalt.a 1 1 y\r");
    Client client(server);
    QVERIFY(startList(client));
    QByteArray reply;
    later(60, [&] { server.send("\nalt.b 2 2 y\r\n."); });
    later(120, [&] { server.send("\r"); });
    later(180, [&] { server.send("\n"); });
    CountingSink lines;
    QCOMPARE(client.conn.ReadMultiLineResponse(lines, 215, reply), 215);
    QCOMPARE(joined(lines.lines), QByteArray("alt.a 1 1 y|alt.b 2 2 y|"));
    // The batch that held only the terminator is still announced, empty.
    QCOMPARE(lines.batches, 2);
}

void TestConnection::longBodyInOneRead()
{
    // Thousands of lines in one read reach the sink in several batches; every line is
    // whole, the one carried over from the read before included.
    QByteArray rest;
    QByteArray expected = "alt.first 1 1 y|";
    for (int i = 0; i < 3000; ++i) {
        const QByteArray line = "group." + QByteArray::number(i) + " 9 1 y";
        rest += line + "\r\n";
        expected += line + "|";
    }
    FakeServer server;
    server.greeting("200 ok\r\n");
    server.expect("LIST", "215 follows\r\nalt.fir");
    Client client(server);
    QVERIFY(startList(client));
    QByteArray reply;
    later(60, [&] { server.send("st 1 1 y\r\n" + rest + ".\r\n"); });
    CountingSink lines;
    QCOMPARE(client.conn.ReadMultiLineResponse(lines, 215, reply), 215);
    QCOMPARE(joined(lines.lines), expected);
    QVERIFY(lines.batches > 2);
}

void TestConnection::bodySplitAnywhere()
{
    // However the bytes are cut into reads, the same lines come out: CR and LF apart, a
    // lone LF or CR inside a line, stuffed dots, an empty line, the terminator in pieces.
    const QByteArray body = "alt.a 1 1 y\r\nlone\nlf and lone\rcr\r\n..dot\r\n\r\n"
                            ".x\r\n\r\r\nend 2 2 y\r\n.\r\nafter\r\n";
    const QByteArray expected = "alt.a 1 1 y|lone\nlf and lone\rcr|.dot||x|\r|end 2 2 y|";
    for (const int piece : {1, 2, 3, 5, 13}) {
        FakeServer server;
        server.greeting("200 ok\r\n");
        server.setHandler([&](FakeServer &, const QByteArray &) {});
        Client client(server);
        QVERIFY(startList(client));
        QByteArray reply;
        const QByteArray all = "215 list\r\n" + body;
        QTimer feeder;
        qsizetype sent = 0;
        QObject::connect(&feeder, &QTimer::timeout, [&] {
            server.send(all.mid(sent, piece));
            sent += piece;
            if (sent >= all.size())
                feeder.stop();
        });
        feeder.start(2);
        LineList lines;
        QCOMPARE(client.conn.ReadMultiLineResponse(lines, 215, reply), 215);
        QCOMPARE(joined(lines.lines), expected);
        QCOMPARE(reply, QByteArray("215 list\r\n"));
    }
}

void TestConnection::unexpectedStatusLeavesBodyForNextReader()
{
    FakeServer server;
    server.greeting("200 ok\r\n");
    server.expect("LIST", "480 who are you\r\n");
    Client client(server);
    QVERIFY(startList(client));
    QByteArray reply;
    LineList lines;
    lines.lines.push_back("left over from before");
    QCOMPARE(client.conn.ReadMultiLineResponse(lines, 215, reply), 480);
    QVERIFY(lines.lines.empty());
    QCOMPARE(reply, QByteArray("480 who are you\r\n"));
}

void TestConnection::bodyBrokenOff()
{
    FakeServer server;
    server.greeting("200 ok\r\n");
    server.expect("LIST", "215 follows\r\nalt.a 1 1 y\r\nalt.b 1", FakeServer::CloseAfter);
    Client client(server);
    QVERIFY(startList(client));
    QByteArray reply;
    LineList lines;
    QCOMPARE(client.conn.ReadMultiLineResponse(lines, 215, reply), -1);
    QCOMPARE(joined(lines.lines), QByteArray("alt.a 1 1 y|"));
    QCOMPARE(client.conn.connectionState, ConnectionState::Closed);
}

void TestConnection::idleTimeout()
{
    FakeServer server; // says nothing at all
    Client client(server);
    QVERIFY(client.conn.connectToServer());
    // 180 ticks without a read event, delivered quickly instead of once a second.
    later(20, [&] {
        for (int tick = 0; tick < Connection::IdleSeconds - 1; ++tick)
            client.conn.Timer1Timer();
        QVERIFY(client.conn.ClientSocket1.isConnected());
        client.conn.Timer1Timer();
    });
    QByteArray reply;
    QVERIFY_THROWS_EXCEPTION(EAbort, client.conn.ReadResponse(reply));
    QCOMPARE(client.conn.connectionState, ConnectionState::Closed);
    QCOMPARE(client.conn.IdleCountdown, 0);
    // Later ticks go below zero and do nothing more.
    client.conn.Timer1Timer();
    QCOMPARE(client.conn.IdleCountdown, -1);
    QCOMPARE(client.conn.connectionState, ConnectionState::Closed);
}

void TestConnection::readEventResetsCountdown()
{
    FakeServer server;
    server.greeting("200 ok\r\n");
    Client client(server);
    QVERIFY(client.conn.connectToServer());
    client.conn.IdleCountdown = 3;
    client.conn.ClientSocket1Read(); // even without bytes waiting
    QCOMPARE(client.conn.IdleCountdown, Connection::IdleSeconds);
}

void TestConnection::timeoutWhileConnecting()
{
    FakeServer server;
    Client client(server);
    client.conn.connectionState = ConnectionState::None;
    client.conn.IdleCountdown = 1;
    client.conn.Timer1Timer();
    // The socket is left to the run, which closes it.
    QCOMPARE(client.conn.connectionState, ConnectionState::Failed);
}

void TestConnection::stopWhileConnecting()
{
    // Closing abandons the attempt: the disconnect arrives during the close, and nothing
    // of the attempt afterwards — during the lookup as well as during the connect.
    for (const QString &host : {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")}) {
        FakeServer server;
        Client client(server, host);
        QSignalSpy connects(&client.conn.ClientSocket1, &ClientSocket::connectEvent);
        QSignalSpy disconnects(&client.conn.ClientSocket1, &ClientSocket::disconnectEvent);
        client.conn.connectionState = ConnectionState::None;
        client.conn.ClientSocket1.open();
        client.conn.ClientSocket1.close();
        QCOMPARE(disconnects.size(), 1);
        QCOMPARE(client.conn.connectionState, ConnectionState::Closed);
        QTest::qWait(200);
        QCOMPARE(connects.size(), 0);
        QCOMPARE(disconnects.size(), 1);
        QVERIFY(!client.conn.ClientSocket1.isConnected());
        // Closing a closed socket does nothing.
        client.conn.ClientSocket1.close();
        QCOMPARE(disconnects.size(), 1);
        QCOMPARE(server.connectionCount() <= 1, true);
    }
}

void TestConnection::stopDuringBody()
{
    FakeServer server;
    server.greeting("200 ok\r\n");
    server.expect("LIST", "215 follows\r\nalt.a 1 1 y\r\n");
    Client client(server);
    QVERIFY(startList(client));
    QByteArray reply;
    later(100, [&] { client.conn.ClientSocket1.close(); }); // the stop button
    LineList lines;
    QCOMPARE(client.conn.ReadMultiLineResponse(lines, 215, reply), -1);
    QCOMPARE(joined(lines.lines), QByteArray("alt.a 1 1 y|"));

    // During a single reply the stop is an abort with an empty message.
    FakeServer quiet;
    quiet.greeting("200 ok\r\n");
    quiet.setHandler([](FakeServer &, const QByteArray &) {});
    Client second(quiet);
    QVERIFY(second.conn.connectToServer());
    QCOMPARE(second.conn.ReadResponse(reply), 200);
    second.conn.SendCommand("GROUP alt.a\r\n");
    later(100, [&] { second.conn.ClientSocket1.close(); });
    QVERIFY_THROWS_EXCEPTION(EAbort, second.conn.ReadResponse(reply));
}

void TestConnection::refusedConnectionFails()
{
    quint16 closedPort;
    {
        FakeServer gone;
        closedPort = gone.port();
    }
    Connection conn;
    conn.ClientSocket1.setHost(QStringLiteral("127.0.0.1"));
    conn.ClientSocket1.setPort(closedPort);
    conn.Timer1.start();
    QVERIFY(!conn.connectToServer());
    QCOMPARE(conn.connectionState, ConnectionState::Failed);
    // An address of blanks cannot be looked up either.
    conn.ClientSocket1.close();
    conn.ClientSocket1.setHost(QStringLiteral("   "));
    QVERIFY(!conn.connectToServer());
    QCOMPARE(conn.connectionState, ConnectionState::Failed);
    conn.ClientSocket1.close();
}

void TestConnection::hostileLines()
{
    // A reply without CR LF is not waited for forever, nor kept growing.
    FakeServer endless;
    Client client(endless);
    QVERIFY(client.conn.connectToServer());
    endless.send(QByteArray(3 * 1024 * 1024, 'x'));
    QByteArray reply;
    QVERIFY_THROWS_EXCEPTION(EAbort, client.conn.ReadResponse(reply));
    QCOMPARE(client.conn.connectionState, ConnectionState::Closed);

    // The same inside a body; NUL bytes are ordinary bytes.
    FakeServer server;
    server.greeting(QByteArray("200 nul\0here\r\n", 14));
    server.expect("LIST",
                  QByteArray("215 ok\r\na\0b 1 1 y\r\n", 19) + QByteArray(2 * 1024 * 1024, 'y'));
    Client second(server);
    QVERIFY(second.conn.connectToServer());
    QCOMPARE(second.conn.ReadResponse(reply), 200);
    QCOMPARE(reply.size(), 14);
    second.conn.SendCommand("LIST\r\n");
    LineList lines;
    QCOMPARE(second.conn.ReadMultiLineResponse(lines, 215, reply), -1);
    QCOMPARE(lines.lines.size(), std::size_t(1));
    QCOMPARE(lines.lines[0], QByteArray("a\0b 1 1 y", 9));
    QVERIFY(second.conn.ReceiveBuffer.size() < 1024 * 1024);
}

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
