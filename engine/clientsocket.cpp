#include "engine/clientsocket.h"

#include <QSignalBlocker>
#include <QTcpSocket>

#include <stdexcept>

ClientSocket::ClientSocket(QObject *parent)
    : QObject(parent)
    , m_socket(new QTcpSocket(this))
{
    // Without a bound, a fast server fills Qt's buffer with tens of megabytes while the
    // reader is busy; a bounded one lets TCP hold the rest back.
    m_socket->setReadBufferSize(ReadBufferSize);
    connect(m_socket, &QTcpSocket::connected, this, &ClientSocket::onConnected);
    connect(m_socket, &QTcpSocket::disconnected, this, &ClientSocket::onDisconnected);
    connect(m_socket, &QTcpSocket::readyRead, this, &ClientSocket::readEvent);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &ClientSocket::onErrorOccurred);
}

ClientSocket::~ClientSocket()
{
    // No events out of a dying object.
    const QSignalBlocker blocker(m_socket);
    m_socket->abort();
}

void ClientSocket::open()
{
    if (m_open) {
        // A new attempt replaces the old one without reporting its end.
        const QSignalBlocker blocker(m_socket);
        m_socket->abort();
    }
    m_open = true;
    m_connected = false;
    m_socket->connectToHost(m_host, m_port);
}

void ClientSocket::close()
{
    if (!m_open) {
        const QSignalBlocker blocker(m_socket);
        m_socket->abort();
        return;
    }
    m_open = false;
    m_connected = false;
    {
        // Qt reports a disconnect from abort() only for an established connection and
        // none for an abandoned lookup or connect: report it ourselves, once, in both cases.
        const QSignalBlocker blocker(m_socket);
        m_socket->abort();
    }
    emit disconnectEvent();
}

qint64 ClientSocket::send(const QByteArray &data)
{
    if (!m_connected)
        return 0;
    const qint64 written = m_socket->write(data);
    m_socket->flush();
    return written;
}

qint64 ClientSocket::receiveLength() const
{
    return m_socket->bytesAvailable();
}

QByteArray ClientSocket::receiveBlock(qint64 maxSize)
{
    return m_socket->read(maxSize);
}

void ClientSocket::onConnected()
{
    if (!m_open)
        return;
    m_connected = true;
    emit connectEvent();
}

void ClientSocket::onDisconnected()
{
    if (!m_open)
        return;
    announcePendingData();
    if (!m_open)
        return;
    m_open = false;
    m_connected = false;
    emit disconnectEvent();
}

void ClientSocket::onErrorOccurred(QAbstractSocket::SocketError error)
{
    if (!m_open)
        return;
    // The peer's last words come before the news of its leaving.
    announcePendingData();
    if (m_open)
        emit errorEvent(error);
}

void ClientSocket::announcePendingData()
{
    if (m_socket->bytesAvailable() > 0)
        emit readEvent();
}
