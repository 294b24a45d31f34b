#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QTimer>

class QHostInfo;
class QSslSocket;
class QTcpSocket;

// Asynchronous client stream socket, plain or TLS, with the guarantees the readers rely on:
// - open() returns at once; the outcome arrives as connectEvent or errorEvent;
// - a name is looked up here and its addresses are tried one after another until one
//   connects; only the last failure is reported;
// - with TLS, connectEvent comes only after the handshake, once the server's certificate
//   has been verified against the system's authorities and the host name as given; until
//   then nothing can be sent;
// - close() abandons a lookup, a connection attempt or a handshake as well as an established
//   connection, and delivers disconnectEvent before it returns whenever the socket had been
//   opened, exactly once per opening;
// - data the peer sent before it closed is announced (readEvent) before the error or
//   disconnect that reports the close, and stays readable until then.
// Events are delivered on the owner's thread by its event loop.
class ClientSocket : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClientSocket)

public:
    static constexpr qint64 ReadBufferSize = 1024 * 1024;
    // An address that neither connects nor fails within this time gives way to the next one
    // (a broken IPv6 route, a filter that drops packets); the last one has the run's time.
    static constexpr int AttemptSeconds = 10;

    explicit ClientSocket(QObject *parent = nullptr);
    ~ClientSocket() override;

    // A host name or a literal address (IPv6 without brackets).
    void setHost(const QString &host) { m_host = host; }
    QString host() const { return m_host; }
    void setPort(quint16 port) { m_port = port; }
    quint16 port() const { return m_port; }
    // TLS from the first byte (RFC 8143).
    void setTls(bool tls) { m_tls = tls; }
    bool tls() const { return m_tls; }

    // Seams for tests: authorities trusted besides the system's, and the addresses a name
    // is taken to resolve to (no lookup then). The program itself uses neither.
    void addTestAuthorities(const QList<QSslCertificate> &authorities);
    void setTestAddresses(const QList<QHostAddress> &addresses) { m_testAddresses = addresses; }

    // Throws std::runtime_error when the attempt cannot even be started.
    void open();
    void close();
    bool isOpen() const { return m_stage != Stage::Idle; }
    bool isConnected() const { return m_stage == Stage::Connected; }
    // Between the TCP connection and the end of the TLS handshake.
    bool isHandshaking() const { return m_stage == Stage::Handshaking; }

    // Why the last attempt failed, in words for the user, when it was a TLS failure: the
    // certificate, or a handshake that broke off. Empty for a refused connection or an
    // unknown name, which need no explaining. Kept until the next open().
    QString failureReason() const { return m_failureReason; }
    // The same for a handshake that never ends, for whoever gives up waiting on it.
    static QString stalledHandshakeReason();

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
    enum class Stage { Idle, LookingUp, Connecting, Handshaking, Connected, Failed };

    void onLookedUp(const QHostInfo &info);
    void tryNextAddress();
    void onConnected();
    void onEncrypted();
    void onSslErrors(const QList<QSslError> &errors);
    void onDisconnected();
    void onErrorOccurred(QAbstractSocket::SocketError error);
    void fail(QAbstractSocket::SocketError error);
    void abortSilently();
    void announcePendingData();

    // Plain connections keep to a plain socket: a TLS socket without TLS copies every block
    // once more, into a new allocation, on its way out.
    QTcpSocket *m_plain = nullptr;
    QSslSocket *m_secure = nullptr;
    QTcpSocket *m_socket = nullptr; // the one of the two in use

    QTimer m_attemptTimer;
    QString m_host;
    quint16 m_port = 0;
    bool m_tls = false;
    Stage m_stage = Stage::Idle;
    int m_lookupId = -1;
    // Counts attempts, so that a retry queued for one that was abandoned does nothing.
    quint64 m_attempt = 0;
    QList<QHostAddress> m_addresses;
    qsizetype m_nextAddress = 0;
    QList<QHostAddress> m_testAddresses;
    QList<QSslCertificate> m_testAuthorities;
    QString m_failureReason;
};

// The reasons a certificate was refused, in words for the user, most telling first.
QString DescribeCertificateErrors(const QList<QSslError> &errors, const QString &host);
