#include "engine/clientsocket.h"

#include <QHostInfo>
#include <QSignalBlocker>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>

#include <algorithm>
#include <stdexcept>

namespace {

const QString ReasonSelfSigned
    = QStringLiteral("サーバの証明書は自己署名で、信頼できる発行者のものではありません");
const QString ReasonUntrusted = QStringLiteral("サーバの証明書の発行者は信頼されていません");
const QString ReasonExpired = QStringLiteral("サーバの証明書は有効期限が切れています");
const QString ReasonNotYetValid = QStringLiteral("サーバの証明書はまだ有効になっていません");
const QString ReasonRevoked = QStringLiteral("サーバの証明書は失効しています");
const QString ReasonOtherName
    = QStringLiteral("サーバの証明書は別の名前に発行されたもので、%1 のものではありません");
const QString ReasonCertificate = QStringLiteral("サーバの証明書を確認できませんでした（%1）");
const QString ReasonHandshake = QStringLiteral(
    "TLS の接続手順に失敗しました（サーバが TLS に対応していない可能性があります）");
const QString ReasonHandshakeClosed
    = QStringLiteral("TLS の接続手順の途中でサーバが接続を切りました");
const QString ReasonHandshakeStalled
    = QStringLiteral("TLS の接続手順が終わらないまま時間切れになりました");
const QString ReasonNoTls = QStringLiteral("この環境では TLS を使えません");

// Most telling first: an untrusted certificate is refused whatever else is wrong with it.
int rank(QSslError::SslError error)
{
    switch (error) {
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
        return 0;
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
    case QSslError::CertificateRejected:
    case QSslError::InvalidCaCertificate:
        return 1;
    case QSslError::CertificateExpired:
        return 2;
    case QSslError::CertificateNotYetValid:
        return 3;
    case QSslError::CertificateRevoked:
        return 4;
    case QSslError::HostNameMismatch:
        return 5;
    default:
        return 6;
    }
}

QString describe(const QSslError &error, const QString &host)
{
    switch (rank(error.error())) {
    case 0:
        return ReasonSelfSigned;
    case 1:
        return ReasonUntrusted;
    case 2:
        return ReasonExpired;
    case 3:
        return ReasonNotYetValid;
    case 4:
        return ReasonRevoked;
    case 5:
        return ReasonOtherName.arg(host);
    default:
        return ReasonCertificate.arg(error.errorString());
    }
}

} // namespace

QString DescribeCertificateErrors(const QList<QSslError> &errors, const QString &host)
{
    QList<QSslError> sorted = errors;
    std::stable_sort(sorted.begin(), sorted.end(), [](const QSslError &a, const QSslError &b) {
        return rank(a.error()) < rank(b.error());
    });
    QStringList reasons;
    for (const QSslError &error : sorted) {
        const QString reason = describe(error, host);
        if (!reasons.contains(reason))
            reasons.append(reason);
    }
    return reasons.join(QLatin1Char('\n'));
}

QString ClientSocket::stalledHandshakeReason()
{
    return ReasonHandshakeStalled;
}

ClientSocket::ClientSocket(QObject *parent)
    : QObject(parent)
    , m_plain(new QTcpSocket(this))
    , m_secure(new QSslSocket(this))
    , m_socket(m_plain)
{
    m_secure->setPeerVerifyMode(QSslSocket::VerifyPeer);
    connect(m_secure, &QSslSocket::encrypted, this, &ClientSocket::onEncrypted);
    connect(m_secure, &QSslSocket::sslErrors, this, &ClientSocket::onSslErrors);
    for (QTcpSocket *socket : {m_plain, static_cast<QTcpSocket *>(m_secure)}) {
        // Without a bound, a fast server fills Qt's buffer with tens of megabytes while the
        // reader is busy; a bounded one lets TCP hold the rest back.
        socket->setReadBufferSize(ReadBufferSize);
        connect(socket, &QTcpSocket::connected, this, &ClientSocket::onConnected);
        connect(socket, &QTcpSocket::disconnected, this, &ClientSocket::onDisconnected);
        connect(socket, &QTcpSocket::readyRead, this, [this] {
            if (m_stage == Stage::Connected)
                emit readEvent();
        });
        connect(socket, &QTcpSocket::errorOccurred, this, &ClientSocket::onErrorOccurred);
    }
    m_attemptTimer.setSingleShot(true);
    m_attemptTimer.setInterval(AttemptSeconds * 1000);
    connect(&m_attemptTimer, &QTimer::timeout, this, [this] {
        if (m_stage == Stage::Connecting)
            tryNextAddress();
    });
}

ClientSocket::~ClientSocket()
{
    // No events out of a dying object.
    abortSilently();
}

void ClientSocket::addTestAuthorities(const QList<QSslCertificate> &authorities)
{
    m_testAuthorities += authorities;
    QSslConfiguration config = m_secure->sslConfiguration();
    config.setCaCertificates(QSslConfiguration::systemCaCertificates() + m_testAuthorities);
    m_secure->setSslConfiguration(config);
}

void ClientSocket::open()
{
    // A new attempt replaces the old one without reporting its end.
    abortSilently();
    if (m_tls && !QSslSocket::supportsSsl())
        throw std::runtime_error(ReasonNoTls.toStdString());
    m_socket = m_tls ? m_secure : m_plain;
    m_failureReason.clear();
    m_addresses.clear();
    m_nextAddress = 0;
    if (QHostAddress literal; literal.setAddress(m_host)) {
        m_addresses.append(literal);
    } else if (!m_testAddresses.isEmpty()) {
        m_addresses = m_testAddresses;
    } else {
        m_stage = Stage::LookingUp;
        m_lookupId = QHostInfo::lookupHost(m_host, this, &ClientSocket::onLookedUp);
        return;
    }
    tryNextAddress();
}

void ClientSocket::onLookedUp(const QHostInfo &info)
{
    if (m_stage != Stage::LookingUp || info.lookupId() != m_lookupId)
        return;
    m_lookupId = -1;
    m_addresses = info.addresses();
    if (info.error() != QHostInfo::NoError || m_addresses.isEmpty()) {
        fail(QAbstractSocket::HostNotFoundError);
        return;
    }
    tryNextAddress();
}

void ClientSocket::tryNextAddress()
{
    const QHostAddress address = m_addresses.value(m_nextAddress++);
    ++m_attempt;
    {
        const QSignalBlocker blocker(m_socket);
        m_socket->abort();
    }
    m_stage = Stage::Connecting;
    if (m_nextAddress < m_addresses.size())
        m_attemptTimer.start();
    else
        m_attemptTimer.stop();
    if (m_tls) {
        // The address is connected to as it is; the certificate is checked against the name
        // the user gave.
        m_secure->connectToHostEncrypted(address.toString(), m_port, m_host);
    } else {
        m_socket->connectToHost(address, m_port);
    }
}

void ClientSocket::close()
{
    const bool wasOpen = isOpen();
    abortSilently();
    if (!wasOpen)
        return;
    // Qt reports a disconnect from abort() only for an established connection and none for
    // an abandoned lookup, connect or handshake: report it ourselves, once, in every case.
    emit disconnectEvent();
}

void ClientSocket::abortSilently()
{
    m_stage = Stage::Idle;
    ++m_attempt;
    m_attemptTimer.stop();
    // A lookup in progress cannot be stopped, only forgotten: its answer is ignored when it
    // comes. (Aborting it would also leak what Qt keeps to deliver that answer.)
    m_lookupId = -1;
    const QSignalBlocker blocker(m_socket);
    m_socket->abort();
}

qint64 ClientSocket::send(const QByteArray &data)
{
    if (!isConnected())
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
    if (m_stage != Stage::Connecting)
        return;
    m_attemptTimer.stop();
    if (m_tls) {
        m_stage = Stage::Handshaking; // the handshake has begun by itself
        return;
    }
    m_stage = Stage::Connected;
    emit connectEvent();
}

void ClientSocket::onEncrypted()
{
    if (m_stage != Stage::Handshaking)
        return;
    m_stage = Stage::Connected;
    emit connectEvent();
}

void ClientSocket::onSslErrors(const QList<QSslError> &errors)
{
    // Not ignored: the socket ends the handshake and reports it as an error next.
    if (m_stage == Stage::Handshaking)
        m_failureReason = DescribeCertificateErrors(errors, m_host);
}

void ClientSocket::onDisconnected()
{
    if (m_stage == Stage::Connecting || m_stage == Stage::Handshaking) {
        onErrorOccurred(QAbstractSocket::RemoteHostClosedError);
        return;
    }
    if (m_stage != Stage::Connected)
        return;
    announcePendingData();
    if (m_stage != Stage::Connected)
        return;
    m_stage = Stage::Idle;
    emit disconnectEvent();
}

void ClientSocket::onErrorOccurred(QAbstractSocket::SocketError error)
{
    switch (m_stage) {
    case Stage::Connecting:
        if (m_nextAddress < m_addresses.size()) {
            // Not from inside the socket's own signal: it is still busy with this attempt.
            QMetaObject::invokeMethod(
                this,
                [this, attempt = m_attempt] {
                    if (m_stage == Stage::Connecting && m_attempt == attempt)
                        tryNextAddress();
                },
                Qt::QueuedConnection);
            return;
        }
        fail(error);
        return;
    case Stage::Handshaking:
        if (m_failureReason.isEmpty())
            m_failureReason = error == QAbstractSocket::RemoteHostClosedError
                ? ReasonHandshakeClosed
                : ReasonHandshake;
        fail(error);
        return;
    case Stage::Connected:
        // The peer's last words come before the news of its leaving.
        announcePendingData();
        if (m_stage == Stage::Connected)
            emit errorEvent(error);
        return;
    case Stage::Idle:
    case Stage::LookingUp:
    case Stage::Failed:
        return;
    }
}

void ClientSocket::fail(QAbstractSocket::SocketError error)
{
    // Open until the owner closes it: the close reports the end, as for any opening.
    m_stage = Stage::Failed;
    m_attemptTimer.stop();
    emit errorEvent(error);
}

void ClientSocket::announcePendingData()
{
    if (m_socket->bytesAvailable() > 0)
        emit readEvent();
}
