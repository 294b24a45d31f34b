#include "engine/articlefetcher.h"

#include <QSignalBlocker>

#include <stdexcept>
#include <utility>

#include "engine/articlewalk.h"
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
    if (!source.testAuthorities.isEmpty())
        m_socket.addTestAuthorities(source.testAuthorities);
    m_socket.setTestAddresses(source.testAddresses);
    connect(&m_socket, &ClientSocket::connectEvent, this, &ArticleFetcher::onConnected);
    connect(&m_socket, &ClientSocket::readEvent, this, &ArticleFetcher::onRead);
    connect(&m_socket, &ClientSocket::disconnectEvent, this, &ArticleFetcher::onDisconnected);
    connect(&m_socket, &ClientSocket::errorEvent, this, &ArticleFetcher::onError);
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
    if (!m_socket.isConnected()) {
        finish(End::Closed);
        return;
    }
    m_fetching = false;
    m_quitSent = true;
    m_socket.send("QUIT\r\n");
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
    // Signals of the socket are ours; no disconnect news needed from this close.
    const QSignalBlocker blocker(&m_socket);
    m_socket.close();
    emit changed();
}

void ArticleFetcher::send(const QByteArray &command)
{
    m_clock.start();
    m_socket.send(command);
}

void ArticleFetcher::onConnected()
{
    m_clock.start();
    setState(State::Greeting);
}

void ArticleFetcher::onDisconnected()
{
    if (m_state == State::Closed)
        return;
    if (m_state == State::Quitting) {
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
    const QByteArray block = m_socket.receiveBlock(available);
    bytesReceived += block.size();
    emit bytesArrived();
    if (m_state == State::Closed)
        return;

    qsizetype pos = 0;
    if (!m_carry.isEmpty()) {
        // The line that straddles two reads is put together; the rest is read where it lies.
        qsizetype eol;
        if (m_carry.back() == '\r' && block.front() == '\n') {
            m_carry.chop(1);
            pos = 1;
        } else if ((eol = LineScan::findCrLf(block, 0)) >= 0) {
            m_carry.append(block.constData(), eol);
            pos = eol + 2;
        } else {
            m_carry.append(block);
            if (m_carry.size() > MaxLineLength)
                finish(End::Failed);
            return;
        }
        const QByteArray line = std::exchange(m_carry, {});
        if (!handleLine(line))
            return;
    }
    bool reading = true;
    pos = LineScan::forEachLine(block, pos, [&](const char *line, qsizetype size) {
        reading = handleLine(QByteArrayView(line, size));
        return reading;
    });
    if (!reading || m_state == State::Closed)
        return;
    if (pos < block.size()) {
        m_carry.append(block.constData() + pos, block.size() - pos);
        if (m_carry.size() > MaxLineLength)
            finish(End::Failed);
    }
}

bool ArticleFetcher::handleLine(QByteArrayView line)
{
    if (m_state == State::Body) {
        // RFC 3977 3.1.1: a lone dot ends the body; a doubled leading dot is one body byte
        // and counts as received like any other.
        if (line.size() != 1 || line.front() != '.')
            return true;
        m_walk.answered(true);
        next();
        return m_state != State::Closed;
    }

    const int status = ReplyStatus(line);
    switch (m_state) {
    case State::Greeting:
        greetingUs = m_clock.nsecsElapsed() / 1000;
        if (status == SERVICE_UNAVAILABLE || status == SERVICE_PERMANENTLY_UNAVAILABLE) {
            // RFC 3977 5.1.1: the server will close; QUIT costs nothing and says goodbye.
            m_socket.send("QUIT\r\n");
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
            m_state = State::Body;
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
    if (m_socket.isConnected() && !m_quitSent) {
        m_socket.send("QUIT\r\n");
        m_quitSent = true;
    }
    finish(End::Failed);
    return false;
}
