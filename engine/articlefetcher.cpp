#include "engine/articlefetcher.h"

#include <QSignalBlocker>

#include <cstring>

#include <stdexcept>
#include <utility>

#include "engine/articlewalk.h"
#include "engine/bodyend.h"
#include "engine/connection.h"
#include "engine/linescan.h"

namespace {

// RFC 3977 5.1.1, 6.1.1, 6.2.3, 6.2.4 and RFC 4643 2.3
constexpr int POSTING_ALLOWED = 200;
constexpr int POSTING_PROHIBITED = 201;
constexpr int SERVICE_UNAVAILABLE = 400;
constexpr int SERVICE_PERMANENTLY_UNAVAILABLE = 502;
constexpr int AUTH_ACCEPTED = 281;
constexpr int PASSWORD_REQUIRED = 381;
constexpr int GROUP_SELECTED = 211;
constexpr int BODY_FOLLOWS = 222;
constexpr int NO_SUCH_NUMBER = 423;
constexpr int NO_SUCH_ID = 430;

bool isMissing(int status)
{
    return status == NO_SUCH_NUMBER || status == NO_SUCH_ID;
}

} // namespace

ArticleFetcher::ArticleFetcher(const ArticleSource &source, ArticleWalk &walk, int statProbes,
                               QObject *parent)
    : QObject(parent)
    , m_source(source)
    , m_walk(walk)
    , m_statsLeft(statProbes)
{
    m_socket.setHost(source.host);
    m_socket.setPort(source.port);
    m_socket.setTls(source.tls);
    if (!source.trustedAuthorities.isEmpty())
        m_socket.addTrustedAuthorities(source.trustedAuthorities);
    m_socket.setLookupResult(source.lookupResult);
    connect(&m_socket, &ClientSocket::connectEvent, this, &ArticleFetcher::onConnected);
    connect(&m_socket, &ClientSocket::readEvent, this, &ArticleFetcher::onRead);
    connect(&m_socket, &ClientSocket::disconnectEvent, this, &ArticleFetcher::onDisconnected);
    connect(&m_socket, &ClientSocket::errorEvent, this, &ArticleFetcher::onError);
    connect(&m_stream, &PlainStream::readable, this, &ArticleFetcher::onStreamReadable);
}

ArticleFetcher::~ArticleFetcher() = default;

void ArticleFetcher::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit changed();
}

void ArticleFetcher::start()
{
    setState(State::Connecting);
    try {
        m_socket.open();
    } catch (const std::exception &error) {
        failureReason = QString::fromUtf8(error.what());
        finish(End::Failed);
    }
}

void ArticleFetcher::setFetching(bool fetching)
{
    m_fetching = fetching;
    if (fetching && m_state == State::Ready)
        next();
}

void ArticleFetcher::quit()
{
    if (m_state == State::Closed || m_quitSent)
        return;
    if (!isConnected()) {
        finish(End::Closed);
        return;
    }
    m_fetching = false;
    m_quitSent = true;
    write("QUIT\r\n");
    // The answer to QUIT is the next reply line unless another reply or a body comes first.
    if (m_state == State::Ready)
        setState(State::Quitting);
}

void ArticleFetcher::close()
{
    if (m_state != State::Closed)
        finish(End::Closed);
}

void ArticleFetcher::finish(End end)
{
    if (m_state == State::Closed)
        return;
    m_end = end;
    m_state = State::Closed;
    m_carry.clear();
    m_stream.close();
    // Signals of the socket are ours; no disconnect news needed from this close.
    const QSignalBlocker blocker(&m_socket);
    m_socket.close();
    emit changed();
}

void ArticleFetcher::send(const QByteArray &command)
{
    m_clock.start();
    write(command);
}

void ArticleFetcher::write(const QByteArray &data)
{
    if (m_stream.isOpen())
        m_stream.send(data);
    else
        m_socket.send(data);
}

void ArticleFetcher::onConnected()
{
    m_clock.start();
    QByteArray pending;
    const int fd = m_source.tls ? -1 : m_socket.takeDescriptor(pending);
    if (fd >= 0)
        m_stream.adopt(fd);
    setState(State::Greeting);
    if (!pending.isEmpty())
        readBlock(pending);
}

void ArticleFetcher::onDisconnected()
{
    if (m_state == State::Closed)
        return;
    if (m_quitSent) {
        finish(End::Closed); // the server hung up instead of answering QUIT: as asked
        return;
    }
    finish(isReady() ? End::Lost : End::Refused);
}

void ArticleFetcher::onError(QAbstractSocket::SocketError)
{
    if (m_state == State::Closed)
        return;
    if (m_state == State::Connecting) {
        failureReason = m_socket.failureReason();
        // A certificate refused is a failure to explain; a refused connection is a refusal.
        finish(failureReason.isEmpty() ? End::Refused : End::Failed);
        return;
    }
    onDisconnected();
}

void ArticleFetcher::onRead()
{
    const qint64 available = m_socket.receiveLength();
    if (available <= 0 || m_state == State::Closed)
        return;
    readBlock(m_socket.receiveBlock(available));
}

void ArticleFetcher::onStreamReadable()
{
    if (m_state == State::Closed)
        return;
    // One read per wake-up: each connection of a step gets its turn.
    QByteArrayView block;
    switch (m_stream.receive(block)) {
    case PlainStream::Outcome::Data:
        readBlock(block);
        break;
    case PlainStream::Outcome::Nothing:
        break;
    case PlainStream::Outcome::Closed:
    case PlainStream::Outcome::Failed:
        onDisconnected();
        break;
    }
}

void ArticleFetcher::readBlock(QByteArrayView block)
{
    bytesReceived += block.size();
    qsizetype pos = 0;
    while (pos >= 0 && pos < block.size() && m_state != State::Closed)
        pos = m_state == State::Body ? readBody(block, pos) : readLines(block, pos);
}

qsizetype ArticleFetcher::readLines(QByteArrayView block, qsizetype pos)
{
    if (!m_carry.isEmpty()) {
        // The line that straddles two reads is put together; the rest is read where it lies.
        qsizetype eol;
        if (m_carry.back() == '\r' && block.at(pos) == '\n') {
            m_carry.chop(1);
            pos += 1;
        } else if ((eol = LineScan::findCrLf(block, pos)) >= 0) {
            m_carry.append(block.constData() + pos, eol - pos);
            pos = eol + 2;
        } else {
            m_carry.append(block.constData() + pos, block.size() - pos);
            if (m_carry.size() > MaxLineLength)
                finish(End::Failed);
            return -1;
        }
        const QByteArray line = std::exchange(m_carry, {});
        if (!handleLine(line))
            return -1;
        if (m_state == State::Body)
            return pos;
    }
    bool reading = true;
    pos = LineScan::forEachLine(block, pos, [&](const char *line, qsizetype size) {
        reading = handleLine(QByteArrayView(line, size));
        // A body is read by readBody, without looking at each line.
        return reading && m_state != State::Body;
    });
    if (!reading || m_state == State::Closed)
        return -1;
    if (m_state == State::Body)
        return pos;
    if (pos < block.size()) {
        m_carry.append(block.constData() + pos, block.size() - pos);
        if (m_carry.size() > MaxLineLength)
            finish(End::Failed);
    }
    return -1;
}

bool ArticleFetcher::boundLines(const char *data, qsizetype size)
{
    // Every line shorter than MaxLineLength: the bytes since the last line feed are counted
    // across reads, and a read no longer than the limit holds no whole line longer than it.
    if (size > MaxLineLength) {
        while (size > 0) {
            const qsizetype part = qMin(size, MaxLineLength);
            if (!boundLines(data, part))
                return false;
            data += part;
            size -= part;
        }
        return true;
    }
    const auto *first = static_cast<const char *>(std::memchr(data, '\n', std::size_t(size)));
    if (!first) {
        m_sinceLineFeed += size;
        return m_sinceLineFeed <= MaxLineLength;
    }
    if (m_sinceLineFeed + (first - data) > MaxLineLength)
        return false;
    const auto *last = static_cast<const char *>(memrchr(data, '\n', std::size_t(size)));
    m_sinceLineFeed = size - (last - data) - 1;
    return true;
}

qsizetype ArticleFetcher::readBody(QByteArrayView block, qsizetype pos)
{
    // RFC 3977 3.1.1: the body ends at a line that is a lone dot; a line of the body that
    // begins with a dot has it doubled, so CR LF "." CR LF occurs only at the end. Only the
    // last four bytes before this read are kept, to find an end split between reads.
    static constexpr QByteArrayView Terminator("\r\n.\r\n");
    const char *const data = block.constData() + pos;
    const qsizetype size = block.size() - pos;
    qsizetype end = -1;
    if (m_tailSize > 0) {
        // At most four bytes of the last read and four of this one: no allocation.
        char joined[8];
        std::memcpy(joined, m_tail.data(), std::size_t(m_tailSize));
        const qsizetype more = qMin<qsizetype>(size, 4);
        std::memcpy(joined + m_tailSize, data, std::size_t(more));
        const qsizetype at = QByteArrayView(joined, m_tailSize + more).indexOf(Terminator);
        if (at >= 0)
            end = at + Terminator.size() - m_tailSize;
    }
    if (end < 0) {
        const qsizetype found = FindBodyEnd(data, size);
        if (found >= 0)
            end = found + Terminator.size();
    }
    if (!boundLines(data, end < 0 ? size : end)) {
        finish(End::Failed);
        return -1;
    }
    if (end < 0) {
        if (size >= 4) {
            std::memcpy(m_tail.data(), data + size - 4, 4);
            m_tailSize = 4;
        } else {
            char kept[8];
            std::memcpy(kept, m_tail.data(), std::size_t(m_tailSize));
            std::memcpy(kept + m_tailSize, data, std::size_t(size));
            const qsizetype total = m_tailSize + size;
            m_tailSize = qMin<qsizetype>(total, 4);
            std::memcpy(m_tail.data(), kept + total - m_tailSize, std::size_t(m_tailSize));
        }
        return -1;
    }
    m_tailSize = 0;
    m_walk.answered(true);
    next();
    return pos + end;
}

bool ArticleFetcher::handleLine(QByteArrayView line)
{
    const int status = ReplyStatus(line);
    switch (m_state) {
    case State::Greeting:
        greetingUs = m_clock.nsecsElapsed() / 1000;
        if (status == SERVICE_UNAVAILABLE || status == SERVICE_PERMANENTLY_UNAVAILABLE) {
            // RFC 3977 5.1.1: the server will close; QUIT costs nothing and says goodbye.
            write("QUIT\r\n");
            m_quitSent = true;
            finish(End::Refused);
            return false;
        }
        if (status != POSTING_ALLOWED && status != POSTING_PROHIBITED)
            return fail(line);
        if (m_quitSent) {
            setState(State::Quitting);
            return true;
        }
        if (!m_source.user.isEmpty()) {
            setState(State::AuthUser);
            send("AUTHINFO USER " + m_source.user + "\r\n");
        } else {
            setState(State::Group);
            send("GROUP " + m_source.group + "\r\n");
        }
        return true;
    case State::AuthUser:
        if (m_quitSent) {
            setState(State::Quitting);
            return true;
        }
        if (status == AUTH_ACCEPTED) {
            setState(State::Group);
            send("GROUP " + m_source.group + "\r\n");
        } else if (status == PASSWORD_REQUIRED) {
            setState(State::AuthPass);
            send("AUTHINFO PASS " + m_source.password + "\r\n");
        } else {
            return fail(line);
        }
        return true;
    case State::AuthPass:
        if (m_quitSent) {
            setState(State::Quitting);
            return true;
        }
        if (status != AUTH_ACCEPTED)
            return fail(line);
        setState(State::Group);
        send("GROUP " + m_source.group + "\r\n");
        return true;
    case State::Group: {
        if (m_quitSent) {
            setState(State::Quitting);
            return true;
        }
        if (status != GROUP_SELECTED)
            return fail(line);
        // RFC 3977 6.1.1: "211 number low high group".
        const QList<QByteArray> fields = line.toByteArray().split(' ');
        bool lowOk = false, highOk = false;
        const qint64 low = fields.value(2).toLongLong(&lowOk);
        const qint64 high = fields.value(3).toLongLong(&highOk);
        if (lowOk && highOk) {
            groupFirst = low;
            groupLast = high;
            groupRangeKnown = true;
        }
        m_statNumber = highOk ? high : m_source.last;
        if (m_statsLeft > 0 && m_statNumber > 0) {
            setState(State::Stat);
            send("STAT " + QByteArray::number(m_statNumber) + "\r\n");
        } else {
            setState(State::Ready);
            if (m_fetching)
                next();
        }
        return m_state != State::Closed;
    }
    case State::Stat:
        // Any answer is an answer: found (223), missing (423) or not understood.
        statUs.push_back(m_clock.nsecsElapsed() / 1000);
        if (m_quitSent) {
            setState(State::Quitting);
            return true;
        }
        if (--m_statsLeft > 0 && --m_statNumber > 0) {
            send("STAT " + QByteArray::number(m_statNumber) + "\r\n");
            return true;
        }
        setState(State::Ready);
        if (m_fetching)
            next();
        return m_state != State::Closed;
    case State::Asked:
        if (status == BODY_FOLLOWS) {
            // The status line's CR LF comes before the body: an empty body is "." CR LF.
            m_state = State::Body;
            m_tail[0] = '\r';
            m_tail[1] = '\n';
            m_tailSize = 2;
            m_sinceLineFeed = 0;
            return true;
        }
        if (isMissing(status)) {
            m_walk.answered(false);
            next();
            return m_state != State::Closed;
        }
        return fail(line);
    case State::Ready:
        // Nothing was asked: a server that talks out of turn is not to be trusted.
        return fail(line);
    case State::Quitting:
        finish(End::Closed);
        return false;
    case State::Idle:
    case State::Connecting:
    case State::Closed:
        return false;
    case State::Body:
        break;
    }
    return false;
}

void ArticleFetcher::next()
{
    if (m_quitSent) {
        setState(State::Quitting);
        return;
    }
    const std::optional<qint64> number = m_fetching ? m_walk.next() : std::nullopt;
    if (!number) {
        setState(State::Ready);
        return;
    }
    // Ready, Asked and Body follow each other for every article: no news of it.
    m_state = State::Asked;
    send("BODY " + QByteArray::number(*number) + "\r\n");
}

bool ArticleFetcher::fail(QByteArrayView line)
{
    failureReply = line.toByteArray();
    if (isConnected() && !m_quitSent) {
        write("QUIT\r\n");
        m_quitSent = true;
    }
    finish(End::Failed);
    return false;
}
