#include "tests/support/fakeserver.h"

FakeServer::FakeServer()
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeServer::onNewConnection);
    m_server.listen(QHostAddress::LocalHost, 0);
}

FakeServer::~FakeServer()
{
    if (m_client)
        m_client->abort();
}

void FakeServer::greeting(const QByteArray &bytes, After after)
{
    m_greeting = bytes;
    m_greetingAfter = after;
}

void FakeServer::expect(const QByteArray &command, const QByteArray &reply, After after)
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
        m_client = socket;
        m_pending.clear();
        connect(socket, &QTcpSocket::readyRead, this, &FakeServer::onReadyRead);
        if (!m_greeting.isEmpty())
            send(m_greeting);
        if (m_greetingAfter == CloseAfter)
            closeClient();
    }
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
            send(step.reply);
            if (step.after == CloseAfter)
                closeClient();
        } else if (m_handler) {
            m_handler(*this, line);
        } else {
            send("500 unexpected\r\n");
        }
    }
}
