#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

// Asynchronous client stream socket with the guarantees the readers rely on:
// - open() returns at once; the outcome arrives as connectEvent or errorEvent;
// - close() abandons a lookup or connection attempt as well as an established
//   connection, and delivers disconnectEvent before it returns whenever the
//   socket had been opened, exactly once per opening;
// - data the peer sent before it closed is announced (readEvent) before the
//   error or disconnect that reports the close, and stays readable until then.
// Events are delivered on the owner's thread by its event loop.
class ClientSocket : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClientSocket)

public:
    static constexpr qint64 ReadBufferSize = 1024 * 1024;

    explicit ClientSocket(QObject *parent = nullptr);
    ~ClientSocket() override;

    void setHost(const QString &host) { m_host = host; }
    QString host() const { return m_host; }
    void setPort(quint16 port) { m_port = port; }
    quint16 port() const { return m_port; }

    // Throws std::runtime_error when the attempt cannot even be started.
    void open();
    void close();
    bool isOpen() const { return m_open; }
    bool isConnected() const { return m_connected; }

    // Sends all of data in one call; nothing when not connected.
    qint64 send(const QByteArray &data);
    qint64 receiveLength() const;
    // Up to maxSize bytes as one block; Qt hands its buffered block over without a copy
    // when that is all it holds.
    QByteArray receiveBlock(qint64 maxSize);

signals:
    void connectEvent();
    void disconnectEvent();
    void readEvent();
    void errorEvent(QAbstractSocket::SocketError error);

private:
    void onConnected();
    void onDisconnected();
    void onErrorOccurred(QAbstractSocket::SocketError error);
    void announcePendingData();

    QTcpSocket *m_socket = nullptr;
    QString m_host;
    quint16 m_port = 0;
    bool m_open = false;
    bool m_connected = false;
};
