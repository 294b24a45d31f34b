// Connection::ReadResponse, then "LIST" and Connection::ReadMultiLineResponse into a group list
// analysis, against a loopback server that sends the input in pieces of sizes the input chooses.
//
// Input: a flags byte, a count byte k, k piece sizes (each byte + 1), then the server's bytes.
//   flags & 1: the server sends everything at once instead of waiting for the command after
//              its first line (a server that runs ahead);
//   flags & 2: the server hangs up right after writing its last piece, not after its delivery.
//
// The server writes the next piece only once the client has taken in the previous one, so the
// readers meet exactly these split points (or finer ones, should TCP split a piece).
// Whenever the server does not run ahead, the result is fixed by the bytes alone, and is
// compared with a plain model of the two readers.
#include <QByteArray>
#include <QByteArrayView>
#include <QCoreApplication>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/connection.h"
#include "engine/grouplist.h"
#include "tests/fuzz/fuzzcheck.h"

namespace {

constexpr int ListFollows = 215;
constexpr std::size_t MaxPieces = 64; // then the rest in one write, to keep each run short
constexpr QByteArrayView CrLf("\r\n");

QTcpServer *listener = nullptr;

// The server side of one exchange; driven by socket events during the readers' pumps.
struct Feed
{
    QByteArray stream;
    std::vector<qsizetype> pieces;
    bool runAhead = false;
    bool hangUpEarly = false;

    QTcpSocket *peer = nullptr;
    qsizetype limit = 0; // what may be sent before the command arrives
    qsizetype sent = 0;
    qsizetype delivered = 0; // bytes the client has moved into its receive buffer
    std::size_t piecesSent = 0;
    bool commandSeen = false;
    bool hungUp = false;
    QByteArray command;

    void hangUp()
    {
        hungUp = true;
        peer->disconnectFromHost();
    }

    void advance()
    {
        if (!peer || hungUp || delivered < sent)
            return;
        if (commandSeen)
            limit = stream.size();
        if (sent < limit) {
            qsizetype n = limit - sent;
            if (!pieces.empty() && piecesSent < MaxPieces)
                n = qMin(n, pieces[piecesSent % pieces.size()]);
            ++piecesSent;
            peer->write(stream.constData() + sent, n);
            peer->flush();
            sent += n;
            if (sent == stream.size() && hangUpEarly)
                hangUp();
        } else if (sent == stream.size()) {
            hangUp();
        }
    }
};

// Keeps the body lines and hands each batch to a group list analysis, as a run does.
struct Sink : BodySink
{
    explicit Sink(GroupListAnalyzer &analyzer)
        : analyzer(analyzer)
    {
    }
    void bodyStarted() override
    {
        ++started;
        lines.clear();
    }
    void bodyBatch(std::span<const QByteArrayView> batch) override
    {
        analyzer.GroupListChange(batch);
        for (const QByteArrayView line : batch)
            lines.push_back(line.toByteArray());
    }
    GroupListAnalyzer &analyzer;
    std::vector<QByteArray> lines;
    int started = 0;
};

struct Outcome
{
    bool greetingAborted = false;
    int greetingStatus = -1;
    QByteArray greeting;
    bool listAborted = false;
    int listStatus = -1;
    QByteArray reply;
};

// What the readers must give for a server that waits for the command after its first line.
void checkAgainstModel(const QByteArray &stream, const Outcome &got, const Sink &sink)
{
    const qsizetype greetingEnd = stream.indexOf(CrLf);
    FUZZ_CHECK(got.greetingAborted == (greetingEnd < 0));
    if (greetingEnd < 0)
        return;
    const QByteArray greeting = stream.first(greetingEnd + 2);
    FUZZ_CHECK(got.greeting == greeting);
    FUZZ_CHECK(got.greetingStatus == ReplyStatus(greeting));

    const QByteArray rest = stream.sliced(greetingEnd + 2);
    const qsizetype statusEnd = rest.indexOf(CrLf);
    FUZZ_CHECK(sink.started == 1);
    FUZZ_CHECK(got.listAborted == (statusEnd < 0));
    if (statusEnd < 0) {
        FUZZ_CHECK(sink.lines.empty());
        return;
    }
    const QByteArray statusLine = rest.first(statusEnd + 2);
    const int status = ReplyStatus(statusLine);
    if (status != ListFollows) {
        FUZZ_CHECK(got.listStatus == status);
        FUZZ_CHECK(got.reply.startsWith(statusLine) && rest.startsWith(got.reply));
        FUZZ_CHECK(sink.lines.empty());
        return;
    }
    FUZZ_CHECK(got.reply == statusLine);

    std::vector<QByteArray> lines;
    bool ended = false;
    const QByteArrayView body = QByteArrayView(rest).sliced(statusEnd + 2);
    for (qsizetype pos = 0;;) {
        const qsizetype eol = body.indexOf(CrLf, pos);
        if (eol < 0)
            break;
        QByteArrayView line = body.sliced(pos, eol - pos);
        pos = eol + 2;
        if (line.startsWith('.')) {
            line = line.sliced(1);
            if (line.isEmpty()) {
                ended = true;
                break;
            }
        }
        lines.push_back(line.toByteArray());
    }
    FUZZ_CHECK(got.listStatus == (ended ? ListFollows : -1));
    FUZZ_CHECK(sink.lines == lines);
    qint64 bytes = 0;
    for (const QByteArray &line : lines)
        bytes += line.size() + 2;
    FUZZ_CHECK(sink.analyzer.GroupCount == int(lines.size()));
    FUZZ_CHECK(sink.analyzer.ListByteCount == bytes);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    listener = new QTcpServer(&app);
    if (!listener->listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "cannot listen on loopback\n");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    Feed feed;
    feed.runAhead = data[0] & 1;
    feed.hangUpEarly = data[0] & 2;
    const std::size_t count = qMin<std::size_t>(data[1], size - 2);
    for (std::size_t i = 0; i < count; ++i)
        feed.pieces.push_back(qsizetype(data[2 + i]) + 1);
    feed.stream
        = QByteArray(reinterpret_cast<const char *>(data + 2 + count), qsizetype(size - 2 - count));
    const qsizetype greetingEnd = feed.stream.indexOf(CrLf);
    feed.limit = feed.runAhead || greetingEnd < 0 ? feed.stream.size() : greetingEnd + 2;

    const QMetaObject::Connection accepted
        = QObject::connect(listener, &QTcpServer::newConnection, [&feed] {
              QTcpSocket *peer = listener->nextPendingConnection();
              if (!peer || feed.peer) {
                  delete peer;
                  return;
              }
              feed.peer = peer;
              // Without this, each piece after the first waits for a delayed acknowledgement.
              peer->setSocketOption(QAbstractSocket::LowDelayOption, 1);
              QObject::connect(peer, &QTcpSocket::readyRead, [&feed] {
                  feed.command += feed.peer->readAll();
                  feed.commandSeen = feed.command.contains(CrLf);
                  feed.advance();
              });
              feed.advance();
          });

    Outcome got;
    HierarchyGroups groups;
    GroupListAnalyzer analyzer(groups);
    Sink sink(analyzer);
    {
        Connection conn;
        conn.ClientSocket1.setHost(QStringLiteral("127.0.0.1"));
        conn.ClientSocket1.setPort(listener->serverPort());
        // The connection's own receive handler, with a count of what it took in.
        QObject::disconnect(&conn.ClientSocket1, &ClientSocket::readEvent, &conn,
                            &Connection::ClientSocket1Read);
        QObject::connect(&conn.ClientSocket1, &ClientSocket::readEvent, &conn, [&conn, &feed] {
            const qsizetype before = conn.ReceiveBuffer.size();
            conn.ClientSocket1Read();
            feed.delivered += conn.ReceiveBuffer.size() - before;
            feed.advance();
        });
        FUZZ_CHECK(conn.connectToServer());

        try {
            got.greetingStatus = conn.ReadResponse(got.greeting);
        } catch (const EAbort &) {
            got.greetingAborted = true;
        }
        if (!got.greetingAborted) {
            conn.SendCommand("LIST\r\n");
            try {
                got.listStatus = conn.ReadMultiLineResponse(sink, ListFollows, got.reply);
            } catch (const EAbort &) {
                got.listAborted = true;
            }
        }
        FUZZ_CHECK(conn.ListElapsedUs >= 0);
        conn.ClientSocket1.close();
    }
    QObject::disconnect(accepted);
    delete feed.peer;
    while (listener->hasPendingConnections())
        delete listener->nextPendingConnection();

    for (const QByteArray &line : sink.lines)
        FUZZ_CHECK(!line.contains(CrLf));
    if (!got.greetingAborted)
        FUZZ_CHECK(got.greeting.contains(CrLf) && feed.stream.startsWith(got.greeting));
    if (!feed.runAhead)
        checkAgainstModel(feed.stream, got, sink);
    return 0;
}
