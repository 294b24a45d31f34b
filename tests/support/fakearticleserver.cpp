#include "tests/support/fakearticleserver.h"

#include <QFile>
#include <QPointer>
#include <QSslKey>
#include <QSslSocket>

#include <algorithm>
#include <limits>

namespace {

QByteArray readTlsFile(const char *name)
{
    QFile file(QStringLiteral(NEWSBENCH_SOURCE_DIR "/tests/data/tls/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    return file.readAll();
}

constexpr int TickMs = 2;
// A pace lets at most this much time's worth of bytes out at once.
constexpr qint64 BurstUs = 50000;

} // namespace

struct FakeArticleServer::Session
{
    QPointer<QSslSocket> socket;
    std::shared_ptr<Client> client;
    QByteArray input;
    QByteArray out;
    qsizetype outPos = 0;
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

QByteArray FakeArticleServer::body(qint64 number) const
{
    // Lines of 100 bytes as yEnc writes them, every seventh one beginning with a dot, which
    // goes doubled (RFC 3977 3.1.1).
    QByteArray text;
    text.reserve(articleSize + 128);
    const QByteArray head = "=ybegin part=" + QByteArray::number(number) + "\r\n";
    text += head;
    for (int line = 0; text.size() < articleSize; ++line) {
        QByteArray content(98, char('a' + line % 26));
        if (line % 7 == 3)
            content[0] = '.';
        if (content.startsWith('.'))
            content.prepend('.');
        text += content.left(qMax<qsizetype>(1, qMin(content.size(), articleSize - text.size())));
        text += "\r\n";
    }
    return text;
}

void FakeArticleServer::onNewConnection()
{
    while (QTcpSocket *plain = m_server.nextPendingConnection()) {
        auto *socket = static_cast<QSslSocket *>(plain);
        socket->setParent(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        auto session = std::make_unique<Session>();
        session->socket = socket;
        session->client = std::make_shared<Client>();
        m_clients.push_back(session->client);
        Session *raw = session.get();
        m_sessions.push_back(std::move(session));
        m_mostOpen = qMax(m_mostOpen, openCount());
        connect(socket, &QTcpSocket::disconnected, this, [raw] {
            raw->client->open = false;
            if (raw->socket)
                raw->socket->deleteLater();
        });
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { onReadyRead(raw); });
        if (m_tls) {
            socket->setLocalCertificate(QSslCertificate(readTlsFile("server.pem")));
            socket->setPrivateKey(QSslKey(readTlsFile("server.key"), QSsl::Ec));
            connect(socket, &QSslSocket::encrypted, this, [this, raw] { begin(raw); });
            socket->startServerEncryption();
        } else {
            begin(raw);
        }
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

void FakeArticleServer::onReadyRead(Session *session)
{
    if (!session->socket)
        return;
    if (m_tls && !session->socket->isEncrypted())
        return;
    session->input += session->socket->readAll();
    qsizetype end;
    while (session->socket && (end = session->input.indexOf("\r\n")) >= 0) {
        const QByteArray command = session->input.left(end);
        session->input.remove(0, end + 2);
        session->client->commands.append(command);
        answer(session, command);
    }
}

void FakeArticleServer::answer(Session *session, const QByteArray &command)
{
    const QList<QByteArray> words = command.split(' ');
    const QByteArray verb = words.value(0).toUpper();
    const qint64 number = words.value(1).toLongLong();
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
        if (words.value(1) != group) {
            queue(session, "411 no such group\r\n");
            return;
        }
        queue(session,
              "211 " + QByteArray::number(qMax<qint64>(0, last - first + 1)) + ' '
                  + QByteArray::number(first) + ' ' + QByteArray::number(last) + ' ' + group
                  + "\r\n");
    } else if ((verb == "BODY" || verb == "STAT")
               && (number < first || number > last || missing.contains(number))) {
        // Both answers a server may give for an article it does not have.
        queue(session, number % 2 ? "423 no such article\r\n" : "430 no such article\r\n");
    } else if (verb == "STAT") {
        queue(session,
              "223 " + QByteArray::number(number) + " <" + QByteArray::number(number)
                  + "@fake>\r\n");
    } else if (verb == "BODY") {
        ++m_bodies;
        const QByteArray status = "222 " + QByteArray::number(number) + " <"
            + QByteArray::number(number) + "@fake>\r\n";
        const QByteArray text = body(number);
        if (m_bodies == closeInBody) {
            session->client->dropped = true;
            queue(session, status + text.left(text.size() / 2), true);
        } else
            queue(session, status + text + ".\r\n");
    } else {
        queue(session, "500 what?\r\n");
    }
}

void FakeArticleServer::queue(Session *session, const QByteArray &bytes, bool closeAfter)
{
    session->out += bytes;
    session->closeAfter = session->closeAfter || closeAfter;
    // Unpaced, or only a close to do: at once.
    if ((bytesPerSecond <= 0 && totalBytesPerSecond <= 0)
        || session->out.size() == session->outPos) {
        flush(session, session->out.size());
        return;
    }
    if (!m_pace.isActive()) {
        m_lastTickUs = m_paceClock.nsecsElapsed() / 1000;
        m_pace.start();
    }
}

qint64 FakeArticleServer::flush(Session *session, qint64 allowance)
{
    if (!session->socket)
        return 0;
    const qint64 n = qMin<qint64>(allowance, session->out.size() - session->outPos);
    if (n > 0) {
        session->socket->write(session->out.constData() + session->outPos, n);
        session->client->bytesSent += n;
        session->outPos += n;
    }
    if (session->outPos == session->out.size()) {
        session->out.clear();
        session->outPos = 0;
        if (session->closeAfter) {
            session->closeAfter = false;
            session->socket->disconnectFromHost();
        }
    }
    return qMax<qint64>(0, n);
}

void FakeArticleServer::tick()
{
    const qint64 now = m_paceClock.nsecsElapsed() / 1000;
    const qint64 dt = now - m_lastTickUs;
    m_lastTickUs = now;
    auto earned = [dt](qint64 rate, qint64 credit) {
        return qMin(credit + rate * dt / 1000000, rate * BurstUs / 1000000);
    };
    // Credit left over carries to the next tick, up to a burst: a late tick loses nothing.
    qint64 total = totalBytesPerSecond > 0 ? earned(totalBytesPerSecond, m_totalCredit)
                                           : std::numeric_limits<qint64>::max();
    bool waiting = false;
    // Whoever waits longest goes first: the sessions take turns.
    std::rotate(m_sessions.begin(), m_sessions.begin() + (m_sessions.empty() ? 0 : 1),
                m_sessions.end());
    for (const auto &session : m_sessions) {
        if (!session->socket || session->out.size() == session->outPos)
            continue;
        qint64 allowance = total;
        if (bytesPerSecond > 0) {
            session->credit = earned(bytesPerSecond, session->credit);
            allowance = qMin(allowance, session->credit);
        }
        const qint64 used = flush(session.get(), allowance);
        if (bytesPerSecond > 0)
            session->credit -= used;
        total -= used;
        waiting = waiting || session->out.size() > session->outPos;
    }
    m_totalCredit = totalBytesPerSecond > 0 ? total : 0;
    if (!waiting)
        m_pace.stop();
}
