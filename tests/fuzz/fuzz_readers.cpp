// Connection::ReadResponse, then "LIST" and Connection::ReadMultiLineResponse into a group list
// analysis, against a loopback server that sends the input in pieces of sizes the input chooses.
//
// Input: a flags byte, a count byte k, k piece sizes (each byte + 1), then the server's bytes.
//   flags & 1: the server sends everything at once instead of waiting for the command after
//              its first line (a server that runs ahead);
//   flags & 2: the server hangs up together with its last piece, not after its delivery.
// Whenever the server does not run ahead, the result is fixed by the bytes alone, and is
// compared with a plain model of the two readers.
#include <QCoreApplication>

#include <cstdint>

#include "engine/connection.h"
#include "engine/grouplist.h"
#include "tests/fuzz/fuzzcheck.h"
#include "tests/support/fakeserver.h"

namespace {

constexpr int ListFollows = 215;
constexpr qsizetype MaxPieces = 64; // then the rest in one piece, to keep each run short

QList<QByteArray> cut(const QByteArray &bytes, const QList<qsizetype> &sizes)
{
    QList<QByteArray> pieces;
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype n = sizes.isEmpty() || pieces.size() >= MaxPieces
            ? bytes.size() - at
            : sizes[pieces.size() % sizes.size()];
        pieces << bytes.mid(at, n);
        at += n;
    }
    return pieces;
}

struct Sink : LineList
{
    explicit Sink(GroupListAnalyzer &analyzer)
        : analyzer(analyzer)
    {
    }
    void bodyBatch(std::span<const QByteArrayView> batch) override
    {
        analyzer.GroupListChange(batch);
        LineList::bodyBatch(batch);
    }
    GroupListAnalyzer &analyzer;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const bool runAhead = data[0] & 1;
    const FakeServer::After after = data[0] & 2 ? FakeServer::CloseAfter : FakeServer::CloseLater;
    const std::size_t count = qMin<std::size_t>(data[1], size - 2);
    QList<qsizetype> sizes;
    for (std::size_t i = 0; i < count; ++i)
        sizes << qsizetype(data[2 + i]) + 1;
    const QByteArray stream(reinterpret_cast<const char *>(data + 2 + count),
                            qsizetype(size - 2 - count));
    const qsizetype greetingEnd = stream.indexOf("\r\n");
    const qsizetype waitAt = runAhead || greetingEnd < 0 ? stream.size() : greetingEnd + 2;

    FakeServer server;
    server.greeting(cut(stream.first(waitAt), sizes),
                    waitAt == stream.size() ? after : FakeServer::StayOpen);
    server.setHandler([&](FakeServer &s, const QByteArray &) {
        s.sendInPieces(cut(stream.sliced(waitAt), sizes), after);
    });
    HierarchyGroups groups;
    GroupListAnalyzer analyzer(groups);
    Sink sink(analyzer);
    Connection conn;
    conn.ClientSocket1.setHost(QStringLiteral("127.0.0.1"));
    conn.ClientSocket1.setPort(server.port());
    FUZZ_CHECK(conn.connectToServer());
    QByteArray greeting, reply;
    int greetingStatus = -2, listStatus = -2;
    try {
        greetingStatus = conn.ReadResponse(greeting);
        conn.SendCommand("LIST\r\n");
        listStatus = conn.ReadMultiLineResponse(sink, ListFollows, reply);
    } catch (const EAbort &) {
    }
    conn.ClientSocket1.close();
    for (const QByteArray &line : sink.lines)
        FUZZ_CHECK(!line.contains("\r\n"));
    if (runAhead)
        return 0;

    // The model: the greeting is the first line; then a status line and a dot-terminated body.
    FUZZ_CHECK((greetingStatus == -2) == (greetingEnd < 0));
    if (greetingEnd < 0)
        return 0;
    FUZZ_CHECK(greeting == stream.first(waitAt) && greetingStatus == ReplyStatus(greeting));
    const QByteArray rest = stream.sliced(waitAt);
    const qsizetype statusEnd = rest.indexOf("\r\n");
    FUZZ_CHECK((listStatus == -2) == (statusEnd < 0));
    if (statusEnd < 0)
        return 0;
    const QByteArray statusLine = rest.first(statusEnd + 2);
    if (ReplyStatus(statusLine) != ListFollows) {
        FUZZ_CHECK(listStatus == ReplyStatus(statusLine) && sink.lines.empty());
        FUZZ_CHECK(reply.startsWith(statusLine) && rest.startsWith(reply));
        return 0;
    }
    FUZZ_CHECK(reply == statusLine);
    std::vector<QByteArray> lines;
    bool ended = false;
    qint64 bytes = 0;
    for (qsizetype pos = statusEnd + 2, eol; !ended && (eol = rest.indexOf("\r\n", pos)) >= 0;
         pos = eol + 2) {
        QByteArray line = rest.sliced(pos, eol - pos);
        if (line.startsWith('.')) {
            line.remove(0, 1);
            ended = line.isEmpty();
        }
        if (!ended) {
            lines.push_back(line);
            bytes += line.size() + 2;
        }
    }
    FUZZ_CHECK(listStatus == (ended ? ListFollows : -1));
    FUZZ_CHECK(sink.lines == lines);
    FUZZ_CHECK(analyzer.GroupCount == int(lines.size()) && analyzer.ListByteCount == bytes);
    return 0;
}
