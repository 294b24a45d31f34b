#include "tests/support/fakeserver.h"

#include <QAbstractEventDispatcher>
#include <QFile>
#include <QSslKey>
#include <QSslSocket>

namespace {

QByteArray readTlsFile(const char *name)
{
    QFile file(QStringLiteral(NEWSBENCH_SOURCE_DIR "/tests/data/tls/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    return file.readAll();
}

} // namespace

QList<QSslCertificate> FakeServer::testAuthority()
{
    return QSslCertificate::fromData(readTlsFile("ca.pem"));
}

void FakeServer::Listener::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    addPendingConnection(socket);
}

QSslCertificate FakeServer::testCertificate(const char *fileName)
{
    return QSslCertificate(readTlsFile(fileName));
}

FakeServer::FakeServer(Start start, const QHostAddress &address, quint16 port)
    : m_start(start)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeServer::onNewConnection);
    if (!m_server.listen(address, port))
        qFatal("cannot listen on %s port %u", qPrintable(address.toString()), unsigned(port));
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            &FakeServer::sendNextPiece);
}

FakeServer::~FakeServer()
{
    if (m_client)
        m_client->abort();
}

void FakeServer::greeting(const QList<QByteArray> &pieces, After after)
{
    m_greeting = pieces;
    m_greetingAfter = after;
}

void FakeServer::expect(const QByteArray &command, const QList<QByteArray> &reply, After after)
{
    m_steps.push_back({command, reply, after});
}

void FakeServer::send(const QByteArray &bytes)
{
    if (m_client) {
        m_client->write(bytes);
        m_client->flush();
    }
}

void FakeServer::sendInPieces(const QList<QByteArray> &pieces, After after)
{
    m_pieces.insert(m_pieces.end(), pieces.begin(), pieces.end());
    m_piecesAfter = after;
    if (m_pieces.empty() && after == CloseAfter) {
        closeClient();
        return;
    }
    // The first piece goes at once; the rest wait for the client to take each one.
    sendNextPiece();
}

void FakeServer::sendNextPiece()
{
    if (!m_client)
        return;
    if (!m_pieces.empty()) {
        send(m_pieces.front());
        m_pieces.pop_front();
        if (m_pieces.empty() && m_piecesAfter == CloseAfter)
            closeClient();
        return;
    }
    if (m_piecesAfter == CloseLater) {
        m_piecesAfter = StayOpen;
        closeClient();
    }
}

void FakeServer::closeClient()
{
    if (m_client) {
        m_client->flush();
        m_client->disconnectFromHost();
    }
}

void FakeServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        ++m_connections;
        if (m_client) {
            // One client at a time: a later one replaces the first.
            m_client->abort();
            m_client->deleteLater();
        }
        socket->setParent(this);
        // Without this, a piece after the first waits for a delayed acknowledgement.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_client = socket;
        m_pending.clear();
        m_pieces.clear();
        auto *tls = static_cast<QSslSocket *>(socket);
        switch (m_start) {
        case Start::Plain:
            begin(socket);
            break;
        case Start::Tls:
        case Start::TlsLocalhostOnlyInCn: {
            const char *name = m_start == Start::Tls ? "server" : "cnonly";
            tls->setLocalCertificate(testCertificate((QByteArray(name) + ".pem").constData()));
            tls->setPrivateKey(
                QSslKey(readTlsFile((QByteArray(name) + ".key").constData()), QSsl::Ec));
            connect(tls, &QSslSocket::encrypted, this, [this, socket] { begin(socket); });
            tls->startServerEncryption();
            break;
        }
        case Start::CloseAtOnce:
            socket->disconnectFromHost();
            break;
        case Start::Junk:
            send("200 plain text where TLS was expected\r\n");
            break;
        case Start::CloseInHandshake:
            connect(socket, &QTcpSocket::readyRead, socket, &QTcpSocket::disconnectFromHost);
            break;
        case Start::StallHandshake:
            connect(socket, &QTcpSocket::readyRead, socket, &QTcpSocket::readAll);
            break;
        }
    }
}

void FakeServer::begin(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::readyRead, this, &FakeServer::onReadyRead);
    if (!m_greeting.isEmpty() || m_greetingAfter != StayOpen)
        sendInPieces(m_greeting, m_greetingAfter);
}

void FakeServer::onReadyRead()
{
    if (!m_client)
        return;
    m_pending += m_client->readAll();
    qsizetype end;
    while (m_client && (end = m_pending.indexOf("\r\n")) >= 0) {
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 2);
        commands.append(line);
        if (!m_steps.empty()) {
            const Step step = m_steps.front();
            m_steps.pop_front();
            if (line != step.command)
                mismatches.append("expected '" + step.command + "', got '" + line + "'");
            sendInPieces(step.reply, step.after);
        } else if (m_handler) {
            m_handler(*this, line);
        } else {
            send("500 unexpected\r\n");
        }
    }
}
