#include "tests/support/fakearticleserver.h"

#include <QFile>
#include <QPointer>
#include <QSslKey>
#include <QSslSocket>

#include <algorithm>
#include <limits>
#include <utility>

#include "tests/support/fakeserver.h"

namespace {

constexpr int TickMs = 2;
// A pace lets at most this much time's worth of bytes out at once.
constexpr qint64 BurstUs = 50000;

} // namespace

struct FakeArticleServer::Session
{
    QPointer<QSslSocket> socket;
    std::shared_ptr<Client> client;
    QByteArray input;
    QByteArray out; // what waits for the pace
    bool closeAfter = false;
    qint64 credit = 0;
};

void FakeArticleServer::Listener::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    addPendingConnection(socket);
}

FakeArticleServer::FakeArticleServer(bool tls)
    : m_tls(tls)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeArticleServer::onNewConnection);
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("cannot listen on 127.0.0.1");
    m_pace.setTimerType(Qt::PreciseTimer);
    m_pace.setInterval(TickMs);
    connect(&m_pace, &QTimer::timeout, this, &FakeArticleServer::tick);
    m_paceClock.start();
}

FakeArticleServer::~FakeArticleServer()
{
    for (const auto &session : m_sessions) {
        if (session->socket)
            session->socket->abort();
    }
}

int FakeArticleServer::openCount() const
{
    return int(std::count_if(m_clients.begin(), m_clients.end(),
                             [](const auto &client) { return client->open; }));
}

void FakeArticleServer::onNewConnection()
{
    while (QTcpSocket *plain = m_server.nextPendingConnection()) {
        auto *socket = static_cast<QSslSocket *>(plain);
        socket->setParent(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_sessions.push_back(std::make_unique<Session>(socket, std::make_shared<Client>()));
        Session *session = m_sessions.back().get();
        m_clients.push_back(session->client);
        m_mostOpen = qMax(m_mostOpen, openCount());
        connect(socket, &QTcpSocket::disconnected, this, [session] {
            session->client->open = false;
            if (session->socket)
                session->socket->deleteLater();
        });
        connect(socket, &QTcpSocket::readyRead, this, [this, session] {
            if (!session->socket || (m_tls && !session->socket->isEncrypted()))
                return;
            session->input += session->socket->readAll();
            qsizetype end;
            while (session->socket && (end = session->input.indexOf("\r\n")) >= 0) {
                const QByteArray command = session->input.left(end);
                session->input.remove(0, end + 2);
                session->client->commands.append(command);
                answer(session, command);
            }
        });
        if (!m_tls) {
            begin(session);
            continue;
        }
        QFile key(QStringLiteral(NEWSBENCH_SOURCE_DIR "/tests/data/tls/server.key"));
        if (!key.open(QIODevice::ReadOnly))
            qFatal("cannot read %s", qPrintable(key.fileName()));
        socket->setLocalCertificate(FakeServer::testCertificate("server.pem"));
        socket->setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
        connect(socket, &QSslSocket::encrypted, this, [this, session] { begin(session); });
        socket->startServerEncryption();
    }
}

void FakeArticleServer::begin(Session *session)
{
    if (maxConnections < 0 || (maxConnections > 0 && openCount() > maxConnections)) {
        // RFC 3977 5.1.1: 502 and a close for a connection the server will not serve.
        queue(session, refusal, true);
        return;
    }
    session->client->greeted = true;
    queue(session, "200 fake article server ready\r\n");
}

void FakeArticleServer::answer(Session *session, const QByteArray &command)
{
    const QList<QByteArray> words = command.split(' ');
    const QByteArray verb = words.value(0).toUpper();
    const qint64 number = words.value(1).toLongLong();
    const QByteArray id = QByteArray::number(number) + " <" + QByteArray::number(number) + "@fake>";
    if (verb == "QUIT") {
        session->client->quit = true;
        queue(session, "205 bye\r\n", true);
    } else if (verb == "AUTHINFO" && words.value(1).toUpper() == "USER") {
        queue(session, "381 password please\r\n");
    } else if (verb == "AUTHINFO" && words.value(1).toUpper() == "PASS") {
        queue(session, words.value(2) == password ? "281 welcome\r\n" : "481 no\r\n");
    } else if (!user.isEmpty()
               && !session->client->commands.contains("AUTHINFO PASS " + password)) {
        queue(session, "480 authentication required\r\n");
    } else if (verb == "LIST" && words.size() == 1) {
        // For whole runs: the group is the server's one group.
        queue(session,
              "215 list\r\n" + group + ' ' + QByteArray::number(last) + ' '
                  + QByteArray::number(first) + " y\r\n.\r\n");
    } else if (verb == "GROUP") {
        queue(session,
              words.value(1) != group
                  ? QByteArray("411 no such group\r\n")
                  : "211 " + QByteArray::number(qMax<qint64>(0, last - first + 1)) + ' '
                      + QByteArray::number(first) + ' ' + QByteArray::number(last) + ' ' + group
                      + "\r\n");
    } else if ((verb == "BODY" || verb == "STAT")
               && (number < first || number > last || missing.contains(number))) {
        // Both answers a server may give for an article it does not have.
        queue(session, number % 2 ? "423 no such article\r\n" : "430 no such article\r\n");
    } else if (verb == "STAT") {
        queue(session, "223 " + id + "\r\n");
    } else if (verb == "BODY") {
        // Lines of 100 bytes as yEnc writes them, every seventh one beginning with a dot,
        // which goes doubled (RFC 3977 3.1.1).
        QByteArray text = "=ybegin part=" + QByteArray::number(number) + "\r\n";
        for (int line = 0; text.size() < articleSize; ++line)
            text += (line % 7 == 3 ? ".." : "") + QByteArray(98, char('a' + line % 26)) + "\r\n";
        session->client->dropped = ++m_bodies == closeInBody;
        if (session->client->dropped)
            queue(session, "222 " + id + "\r\n" + text.left(text.size() / 2), true);
        else
            queue(session, "222 " + id + "\r\n" + text + ".\r\n");
    } else {
        queue(session, "500 what?\r\n");
    }
}

void FakeArticleServer::queue(Session *session, const QByteArray &bytes, bool closeAfter)
{
    session->out += bytes;
    session->closeAfter = session->closeAfter || closeAfter;
    // Unpaced, or only a close to do: at once.
    if ((bytesPerSecond <= 0 && totalBytesPerSecond <= 0) || session->out.isEmpty()) {
        flush(session, session->out.size());
    } else if (!m_pace.isActive()) {
        m_lastTickUs = m_paceClock.nsecsElapsed() / 1000;
        m_pace.start();
    }
}

qint64 FakeArticleServer::flush(Session *session, qint64 allowance)
{
    if (!session->socket)
        return 0;
    const qint64 n = qMax<qint64>(0, qMin<qint64>(allowance, session->out.size()));
    session->socket->write(session->out.constData(), n);
    session->out.remove(0, n);
    if (session->out.isEmpty() && session->closeAfter) {
        session->closeAfter = false;
        session->socket->disconnectFromHost();
    }
    return n;
}

void FakeArticleServer::tick()
{
    const qint64 now = m_paceClock.nsecsElapsed() / 1000;
    const qint64 dt = now - std::exchange(m_lastTickUs, now);
    // Credit left over carries to the next tick, up to a burst: a late tick loses nothing.
    auto earned = [dt](qint64 rate, qint64 credit) {
        return qMin(credit + rate * dt / 1000000, rate * BurstUs / 1000000);
    };
    qint64 total = totalBytesPerSecond > 0 ? earned(totalBytesPerSecond, m_totalCredit)
                                           : std::numeric_limits<qint64>::max();
    bool waiting = false;
    // Whoever waits longest goes first: the sessions take turns.
    if (!m_sessions.empty())
        std::rotate(m_sessions.begin(), m_sessions.begin() + 1, m_sessions.end());
    for (const auto &session : m_sessions) {
        if (!session->socket || session->out.isEmpty())
            continue;
        if (bytesPerSecond > 0)
            session->credit = earned(bytesPerSecond, session->credit);
        const qint64 used
            = flush(session.get(), bytesPerSecond > 0 ? qMin(total, session->credit) : total);
        session->credit -= used;
        total -= used;
        waiting = waiting || !session->out.isEmpty();
    }
    m_totalCredit = totalBytesPerSecond > 0 ? total : 0;
    if (!waiting)
        m_pace.stop();
}
