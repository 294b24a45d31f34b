#include "engine/connection.h"

#include <QCoreApplication>

#include "engine/integers.h"
#include "engine/linescan.h"

namespace {

constexpr QByteArrayView CrLf("\r\n");
constexpr std::size_t BatchLines = 256;

} // namespace

void LineList::bodyBatch(std::span<const QByteArrayView> batch)
{
    for (const QByteArrayView line : batch)
        lines.emplace_back(line.toByteArray());
}

int ReplyStatus(QByteArrayView reply)
{
    qint32 status = -1;
    if (!ReadInt32(reply.first(qMin<qsizetype>(3, reply.size())), status))
        return -1;
    return status;
}

Connection::Connection(QObject *parent)
    : QObject(parent)
{
    Timer1.setInterval(1000);
    connect(&Timer1, &QTimer::timeout, this, &Connection::Timer1Timer);
    connect(&ClientSocket1, &ClientSocket::connectEvent, this, &Connection::ClientSocket1Connect);
    connect(&ClientSocket1, &ClientSocket::disconnectEvent, this,
            &Connection::ClientSocket1Disconnect);
    connect(&ClientSocket1, &ClientSocket::readEvent, this, &Connection::ClientSocket1Read);
    connect(&ClientSocket1, &ClientSocket::errorEvent, this, &Connection::ClientSocket1Error);
}

Connection::~Connection() = default;

void Connection::ClientSocket1Connect()
{
    connectionState = ConnectionState::Connected;
    m_everConnected = true;
}

void Connection::ClientSocket1Disconnect()
{
    connectionState = ConnectionState::Closed;
}

void Connection::ClientSocket1Read()
{
    IdleCountdown = IdleSeconds;
    const qint64 available = ClientSocket1.receiveLength();
    if (available <= 0)
        return;
    // Everything that is waiting, in one block; when the reader has taken the buffer
    // already, the block becomes the buffer.
    QByteArray block = ClientSocket1.receiveBlock(available);
    if (ReceiveBuffer.isEmpty())
        ReceiveBuffer.swap(block);
    else
        ReceiveBuffer.append(block);
}

void Connection::ClientSocket1Error(QAbstractSocket::SocketError)
{
    if (connectionState == ConnectionState::None) {
        connectionState = ConnectionState::Failed;
        failureReason = ClientSocket1.failureReason();
    } else
        ClientSocket1.close();
}

void Connection::Timer1Timer()
{
    --IdleCountdown;
    if (IdleCountdown != 0)
        return;
    if (connectionState == ConnectionState::None) {
        connectionState = ConnectionState::Failed; // the run closes the socket
        if (ClientSocket1.isHandshaking())
            failureReason = ClientSocket::stalledHandshakeReason();
    } else
        ClientSocket1.close();
}

void Connection::pump()
{
    // Sleeps until the next event: a socket notification, the one-second tick, a click.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

bool Connection::connectToServer()
{
    connectionState = ConnectionState::None;
    m_everConnected = false;
    failureReason.clear();
    ReceiveBuffer.clear();
    ClientSocket1.open();
    while (connectionState == ConnectionState::None)
        pump();
    // A server may greet and hang up within one pump: what it said is still in the buffer.
    return m_everConnected;
}

void Connection::SendCommand(const QByteArray &text)
{
    m_commandSent.start();
    ClientSocket1.send(text);
}

bool Connection::readReplyLine(QByteArray &reply)
{
    reply.clear();
    for (;;) {
        // Look at what arrived before judging the connection: a server may answer and
        // close in the same moment.
        const qsizetype scanFrom = qMax<qsizetype>(0, reply.size() - 1);
        reply += ReceiveBuffer;
        ReceiveBuffer.clear();
        if (LineScan::findCrLf(reply, scanFrom) >= 0)
            return true;
        if (reply.size() > MaxLineLength) {
            dropHostileConnection();
            return false;
        }
        if (!ClientSocket1.isConnected())
            return false;
        pump();
    }
}

int Connection::ReadResponse(QByteArray &reply)
{
    if (!readReplyLine(reply))
        throw EAbort();
    return ReplyStatus(reply);
}

int Connection::ReadClosingResponse(QByteArray &reply)
{
    if (!readReplyLine(reply))
        return -1;
    return ReplyStatus(reply);
}

int Connection::ReadMultiLineResponse(BodySink &sink, int expectedStatus, QByteArray &reply)
{
    sink.bodyStarted();
    // The user waits from the command on: body bytes that come with the status line took
    // that long too.
    QElapsedTimer clock = m_commandSent;
    if (!clock.isValid())
        clock.start();
    const int status = ReadResponse(reply);
    if (status != expectedStatus)
        return status;

    const qsizetype statusEnd = LineScan::findCrLf(reply, 0) + CrLf.size();
    // The data of one pass is taken apart where it lies; only a line that straddles two
    // passes is copied, into `carry`.
    QByteArray chunk = reply.mid(statusEnd);
    reply.truncate(statusEnd);
    QByteArray carry;

    try {
        for (;;) {
            if (!chunk.isEmpty()) {
                m_batch.clear();
                bool ended = false;
                bool anyLine = false;
                bool announced = false;
                auto flush = [&] {
                    sink.bodyBatch(m_batch);
                    m_batch.clear();
                    announced = true;
                };
                // RFC 3977 3.1.1: a leading dot is doubled; a lone dot ends the body.
                auto take = [&](QByteArrayView line) {
                    anyLine = true;
                    if (!line.isEmpty() && line.front() == '.') {
                        line = line.sliced(1);
                        if (line.isEmpty()) {
                            ListElapsedUs = clock.nsecsElapsed() / 1000;
                            ended = true;
                            return;
                        }
                    }
                    m_batch.push_back(line);
                    // Batches small enough that the sink finds the lines still in the cache.
                    if (m_batch.size() == BatchLines)
                        flush();
                };
                qsizetype pos = 0;
                bool carryTaken = false;
                if (!carry.isEmpty()) {
                    bool complete = true;
                    qsizetype eol;
                    if (carry.back() == '\r' && chunk.front() == '\n') {
                        carry.chop(1);
                        pos = 1;
                    } else if ((eol = LineScan::findCrLf(chunk, 0)) >= 0) {
                        carry.append(chunk.constData(), eol);
                        pos = eol + CrLf.size();
                    } else {
                        carry.append(chunk);
                        pos = chunk.size();
                        complete = false;
                    }
                    if (complete) {
                        take(carry);
                        carryTaken = true;
                    }
                }
                if (!ended) {
                    pos = LineScan::forEachLine(chunk, pos, [&](const char *line, qsizetype size) {
                        take(QByteArrayView(line, size));
                        return !ended;
                    });
                }
                // A pass that held only the terminator is announced too, as an empty batch.
                if (!m_batch.empty() || (anyLine && !announced))
                    flush();
                if (ended)
                    return status; // whatever followed the terminator is dropped
                if (carryTaken)
                    carry.resize(0); // only now: the batch pointed into it
                if (pos < chunk.size())
                    carry.append(chunk.constData() + pos, chunk.size() - pos);
                chunk.resize(0);
            }
            if (carry.size() > MaxLineLength) {
                dropHostileConnection();
                return -1;
            }
            if (!ReceiveBuffer.isEmpty()) {
                chunk.swap(ReceiveBuffer);
                continue;
            }
            if (!ClientSocket1.isConnected())
                return -1;
            pump();
        }
    } catch (...) {
        m_batch.clear();
        return -1;
    }
}

void Connection::dropHostileConnection()
{
    ReceiveBuffer.clear();
    ClientSocket1.close();
}
