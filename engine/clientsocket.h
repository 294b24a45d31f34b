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

#include <vector>

class QHostInfo;
class QSslSocket;
class QTcpSocket;

// Asynchronous client stream socket, plain or TLS, with the guarantees the readers rely on:
// - open() returns at once; the outcome arrives as connectEvent or errorEvent;
// - a name is looked up here and its addresses are raced (RFC 8305 5): the first is tried at
//   once, the next AttemptDelayMs after the last one began (or at once when one fails), and
//   the first to complete TCP and, with TLS, the handshake is taken; the others are aborted
//   and never see a byte. Only when all fail is the failure reported: the last one's error,
//   with the reason of the last TLS failure;
// - with TLS, connectEvent comes only after the handshake, once the server's certificate
//   has been verified against the system's authorities and the host name as given (a final
//   dot left out, subjectAltName alone when the certificate has one); until then nothing can
//   be sent;
// - close() abandons a lookup, connection attempts or handshakes as well as an established
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
    // RFC 8305 5: the Connection Attempt Delay. An address that neither connects nor fails
    // (a broken IPv6 route, a filter that drops packets, a handshake that never ends) holds
    // up the next one no longer than this; the last one has the run's time.
    static constexpr int AttemptDelayMs = 250;

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

    // Authorities trusted besides the system's, for servers with a private authority. The
    // program itself trusts the system's alone; the tests trust their own.
    void addTrustedAuthorities(const QList<QSslCertificate> &authorities)
    {
        m_extraAuthorities += authorities;
    }
    QList<QSslCertificate> trustedAuthorities() const { return m_extraAuthorities; }
    // The addresses a name is taken to resolve to, in this order, instead of asking the
    // resolver; empty asks it again. A literal address is always used as it is. For tests,
    // which need a name with addresses that behave in set ways.
    void setLookupResult(const QList<QHostAddress> &addresses) { m_lookupResult = addresses; }
    QList<QHostAddress> lookupResult() const { return m_lookupResult; }

    // Throws std::runtime_error when the attempt cannot even be started.
    void open();
    void close();
    bool isOpen() const { return m_stage != Stage::Idle; }
    bool isConnected() const { return m_stage == Stage::Connected; }
    // Between a TCP connection and the end of its TLS handshake, while none has completed.
    bool isHandshaking() const;

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
    // Hands a connected plain connection over to the caller: a descriptor of its own for it,
    // and what had been received and not yet read. The socket is then closed without a
    // disconnectEvent, while the connection lives on in the descriptor. -1 for TLS, when not
    // connected, with bytes still to send, or when the descriptor cannot be duplicated (the socket
    // is then unchanged).
    int takeDescriptor(QByteArray &pending);

signals:
    void connectEvent();
    void disconnectEvent();
    void readEvent();
    void errorEvent(QAbstractSocket::SocketError error);

private:
    enum class Stage { Idle, LookingUp, Connecting, Connected, Failed };

    // One address being tried.
    struct Attempt
    {
        QTcpSocket *socket = nullptr;
        bool handshaking = false;
        QString certificateReason;
    };

    void onLookedUp(const QHostInfo &info);
    void startAttempt();
    void afterLoss();
    Attempt *attemptOf(QTcpSocket *socket);
    void onConnected(QTcpSocket *socket);
    void onEncrypted(QSslSocket *socket);
    void onSslErrors(QSslSocket *socket, const QList<QSslError> &errors);
    void onDisconnected(QTcpSocket *socket);
    void onErrorOccurred(QTcpSocket *socket, QAbstractSocket::SocketError error);
    void lose(QTcpSocket *socket, QAbstractSocket::SocketError error, const QString &reason);
    void win(QTcpSocket *socket);
    void retire(QTcpSocket *socket, bool abortNow);
    void fail(QAbstractSocket::SocketError error);
    void abortSilently();
    void announcePendingData();

    QTimer m_delayTimer;
    QString m_host;
    quint16 m_port = 0;
    bool m_tls = false;
    Stage m_stage = Stage::Idle;
    int m_lookupId = -1;
    // Counts openings, so that a step queued for one that was replaced does nothing.
    quint64 m_opening = 0;
    QList<QHostAddress> m_addresses;
    qsizetype m_nextAddress = 0;
    // Plain connections use plain sockets: a TLS socket without TLS copies every block once
    // more, into a new allocation, on its way out.
    std::vector<Attempt> m_attempts;
    QTcpSocket *m_socket = nullptr; // the attempt that won, until the next opening
    QAbstractSocket::SocketError m_lastError = QAbstractSocket::UnknownSocketError;
    QList<QHostAddress> m_lookupResult;
    QList<QSslCertificate> m_extraAuthorities;
    QString m_failureReason;
};

// The reasons a certificate was refused, in words for the user, most telling first.
QString DescribeCertificateErrors(const QList<QSslError> &errors, const QString &host);
// RFC 6125 6.4 and RFC 9525 6.3: a certificate with subjectAltNames is matched against them
// alone, an IP address only against IP entries; the subject's CN counts only without them.
// peerName is a name without a final dot or a literal address.
bool CertificateNamesMatch(const QSslCertificate &certificate, const QString &peerName);
