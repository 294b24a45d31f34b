#include "service/connectionguard.h"

#include <QHash>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// A refused request has had its answer and is not worth reading further.
constexpr int DrainMilliseconds = 5'000;

} // namespace

struct ConnectionGuard::Tally
{
    int total = 0;
    QHash<QByteArray, int> perClient;
};

namespace {

// One connection under the guard. Its slots are connected before the HTTP server's reader,
// so it sees each chunk of a request first.
class GuardedSocket : public QTcpSocket
{
public:
    enum class Phase { Waiting, Head, Body };

    GuardedSocket(const GuardLimits &limits, const ConnectionGuard::Answer &answer, QObject *parent)
        : QTcpSocket(parent)
        , m_limits(limits)
        , m_answer(answer)
    {
        m_deadline.setSingleShot(true);
        QObject::connect(&m_deadline, &QTimer::timeout, this, [this] { expired(); });
        QObject::connect(this, &QIODevice::readyRead, this, [this] { arrived(); });
        QObject::connect(this, &QIODevice::bytesWritten, this, [this] { written(); });
    }

    ~GuardedSocket() override
    {
        if (!m_tally)
            return;
        --m_tally->total;
        if (!m_client.isEmpty() && --m_tally->perClient[m_client] == 0)
            m_tally->perClient.remove(m_client);
    }

    // Served: counted until it is gone. A new connection has the head's time for its first
    // request.
    void count(std::shared_ptr<ConnectionGuard::Tally> tally, const QByteArray &client)
    {
        m_tally = std::move(tally);
        m_client = client;
        ++m_tally->total;
        if (!client.isEmpty())
            ++m_tally->perClient[client];
        m_deadline.start(m_limits.headMilliseconds);
    }

    // Not served: the answer, then the connection closes and is gone.
    void turnAway(int status)
    {
        QObject::connect(this, &QAbstractSocket::disconnected, this, &QObject::deleteLater);
        refuse(status);
    }

    ConnectionGuard::Persistence requestDone()
    {
        const ConnectionGuard::Persistence done
            = m_phase == Phase::Waiting ? ConnectionGuard::Persistence{} : m_persistence;
        m_requestBytes = 0;
        m_chunked = false;
        m_phase = Phase::Waiting;
        m_head.clear();
        m_persistence = {};
        m_deadline.start(m_limits.idleMilliseconds);
        return done;
    }

private:
    void arrived()
    {
        if (m_refused) {
            readAll();
            return;
        }
        if (bytesToWrite() > m_limits.maxUnsentBytes) {
            cutOff(); // asks on and reads no answer
            return;
        }
        // What the server's parser has not taken yet: new bytes, or those of a pipelined
        // request after the previous one was answered (requestDone() began a new count).
        const qint64 available = bytesAvailable();
        if (available == 0)
            return;
        if (m_phase == Phase::Waiting) {
            m_phase = Phase::Head;
            m_deadline.start(m_limits.headMilliseconds);
        }
        if (m_phase == Phase::Head)
            readHead(peek(available));
        else if (m_chunked) // the body's end is the server's to find: all of it counts
            m_requestBytes += available;
        if (m_requestBytes > m_limits.maxRequestBytes)
            refuse(413);
    }

    // The head as the server's parser takes it: blank lines before the request line are
    // skipped (RFC 7230 3.5), and a line end is CRLF or LF alone. Its size and that of the
    // body it announces are the request's; requests pipelined after it are not.
    void readHead(const QByteArray &more)
    {
        m_head += more;
        qsizetype start = 0;
        while (start < m_head.size() && QByteArrayView(" \t\r\n\v").contains(m_head[start]))
            ++start;
        m_head.remove(0, start);
        qsizetype end = m_head.indexOf("\n\r\n"), after = end + 3;
        if (const qsizetype bare = m_head.indexOf("\n\n"); bare >= 0 && (end < 0 || bare < end))
            end = bare, after = bare + 2;
        if (end < 0) {
            m_requestBytes = m_head.size();
            return;
        }
        const qint64 rest = m_head.size() - after;
        m_head.truncate(end);

        QByteArrayList lines = m_head.split('\n');
        const QByteArrayList request = lines.takeFirst().trimmed().split(' ');
        m_head = request.first(); // the method is all that is kept
        m_persistence.http10 = request.size() == 3 && request.last() == "HTTP/1.0";
        bool close = false, keepAlive = false;
        qint64 length = 0;
        for (const QByteArray &line : std::as_const(lines)) {
            const qsizetype colon = line.indexOf(':');
            const QByteArray name = line.first(std::max<qsizetype>(colon, 0)).trimmed().toLower();
            const QByteArray value = line.sliced(colon + 1).trimmed().toLower();
            if (name == "connection") {
                for (const QByteArray &option : value.split(',')) {
                    close = close || option.trimmed() == "close";
                    keepAlive = keepAlive || option.trimmed() == "keep-alive";
                }
            } else if (name == "content-length") {
                bool ok = false;
                length = value.toLongLong(&ok);
                if (!ok) // too large to be a number at all
                    length = m_limits.maxRequestBytes + 1;
            } else if (name == "transfer-encoding") {
                m_chunked = value.contains("chunked");
            }
        }
        m_requestBytes = after + (m_chunked ? rest : std::max<qint64>(length, 0));
        m_persistence.keep = !close && (!m_persistence.http10 || keepAlive);
        // Whatever follows is the server's to read; the body, if any, has its own time.
        m_phase = Phase::Body;
        m_deadline.start(m_limits.bodyMilliseconds);
    }

    void expired()
    {
        if (m_refused || m_phase == Phase::Waiting)
            abort(); // idle, or an answer the client would not take
        else
            refuse(408);
    }

    // Answers and stops listening to the HTTP server's parser; the connection closes once
    // the answer is out.
    void refuse(int status)
    {
        m_refused = true;
        QObject::disconnect(this, &QIODevice::readyRead, nullptr, nullptr);
        QObject::connect(this, &QIODevice::readyRead, this, [this] { readAll(); });
        if (isTransactionStarted())
            rollbackTransaction();
        readAll();
        write(m_answer(status, m_head != "HEAD" && !m_head.startsWith("HEAD ")));
        m_deadline.start(DrainMilliseconds);
    }

    void cutOff()
    {
        m_refused = true;
        QObject::disconnect(this, &QIODevice::readyRead, nullptr, nullptr);
        QMetaObject::invokeMethod(this, &QAbstractSocket::abort, Qt::QueuedConnection);
    }

    void written()
    {
        // Answered: stop sending but keep reading what the client still sends, so that
        // closing does not reset the connection before it has read the answer.
        if (m_refused && bytesToWrite() == 0)
            ::shutdown(int(socketDescriptor()), SHUT_WR);
    }

    const GuardLimits &m_limits;
    const ConnectionGuard::Answer &m_answer;
    std::shared_ptr<ConnectionGuard::Tally> m_tally;
    QByteArray m_client;
    Phase m_phase = Phase::Waiting;
    QByteArray m_head;
    ConnectionGuard::Persistence m_persistence;
    qint64 m_requestBytes = 0;
    bool m_chunked = false;
    bool m_refused = false;
    QTimer m_deadline;
};

} // namespace

ConnectionGuard::ConnectionGuard(const GuardLimits &limits, const QList<Subnet> &uncounted,
                                 Answer answer, QObject *parent)
    : QTcpServer(parent)
    , m_limits(limits)
    , m_uncounted(uncounted)
    , m_answer(std::move(answer))
    , m_tally(std::make_shared<Tally>())
{
}

ConnectionGuard::~ConnectionGuard()
{
    // The connections hold references to the limits and the answer: they go first.
    qDeleteAll(findChildren<GuardedSocket *>(Qt::FindDirectChildrenOnly));
}

ConnectionGuard::Persistence ConnectionGuard::requestDone(QTcpSocket *socket)
{
    if (auto *guarded = dynamic_cast<GuardedSocket *>(socket))
        return guarded->requestDone();
    return {};
}

int ConnectionGuard::connectionCount() const
{
    return m_tally->total;
}

void ConnectionGuard::incomingConnection(qintptr descriptor)
{
    // Parented to the listening server, so that none outlives the service.
    auto socket = std::make_unique<GuardedSocket>(m_limits, m_answer, this);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(int(descriptor));
        return;
    }
    const QHostAddress peer = socket->peerAddress();
    const QByteArray client = InAny(peer, m_uncounted) ? QByteArray() : LimitKey(peer);
    if (m_tally->total >= m_limits.maxConnections) {
        socket.release()->turnAway(503);
        return;
    }
    if (!client.isEmpty() && m_limits.maxConnectionsPerClient > 0
        && m_tally->perClient.value(client) >= m_limits.maxConnectionsPerClient) {
        socket.release()->turnAway(429);
        return;
    }
    socket->count(m_tally, client);
    addPendingConnection(socket.release()); // the HTTP server takes it
}
