#include "engine/clientsocket.h"

#include <QHostInfo>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QUrl>

#include <algorithm>
#include <fcntl.h>
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

namespace {

// RFC 6125 6.4.3: a wildcard is the whole of the leftmost label and stands for one label.
bool dnsNameMatches(const QString &pattern, const QByteArray &peer)
{
    const QByteArray name = pattern.toLatin1().toLower();
    if (!name.startsWith("*."))
        return name == peer;
    const QByteArrayView rest = QByteArrayView(name).sliced(1); // ".example.com"
    if (!rest.sliced(1).contains('.'))
        return false; // not "*.com"
    const qsizetype dot = peer.indexOf('.');
    return dot > 0 && QByteArrayView(peer).sliced(dot) == rest;
}

// The name the certificate must carry: without the final dot of a fully qualified name,
// which no certificate has.
QString verifyName(const QString &host)
{
    return host.endsWith(u'.') ? host.chopped(1) : host;
}

} // namespace

bool CertificateNamesMatch(const QSslCertificate &certificate, const QString &peerName)
{
    const auto names = certificate.subjectAlternativeNames();
    if (const QHostAddress ip(peerName); !ip.isNull()) {
        for (const QString &entry : names.values(QSsl::AlternativeNameEntryType::IpAddressEntry)) {
            if (QHostAddress(entry).isEqual(ip, QHostAddress::StrictConversion))
                return true;
        }
        return false;
    }
    const QByteArray peer = QUrl::toAce(peerName).toLower();
    if (peer.isEmpty())
        return false;
    QStringList candidates = names.values(QSsl::AlternativeNameEntryType::DnsEntry);
    if (names.isEmpty())
        candidates = certificate.subjectInfo(QSslCertificate::CommonName);
    return std::any_of(candidates.cbegin(), candidates.cend(),
                       [&](const QString &name) { return dnsNameMatches(name, peer); });
}

QString ClientSocket::stalledHandshakeReason()
{
    return ReasonHandshakeStalled;
}

ClientSocket::ClientSocket(QObject *parent)
    : QObject(parent)
{
    m_delayTimer.setSingleShot(true);
    m_delayTimer.setInterval(AttemptDelayMs);
    connect(&m_delayTimer, &QTimer::timeout, this, [this] {
        if (m_stage == Stage::Connecting && m_nextAddress < m_addresses.size())
            startAttempt();
    });
}

ClientSocket::~ClientSocket()
{
    // No events out of a dying object.
    abortSilently();
}

void ClientSocket::open()
{
    // A new attempt replaces the old one without reporting its end.
    abortSilently();
    if (m_tls && !QSslSocket::supportsSsl())
        throw std::runtime_error(ReasonNoTls.toStdString());
    m_failureReason.clear();
    m_lastError = QAbstractSocket::UnknownSocketError;
    m_addresses.clear();
    m_nextAddress = 0;
    if (QHostAddress literal; literal.setAddress(m_host)) {
        m_addresses.append(literal);
    } else if (!m_lookupResult.isEmpty()) {
        m_addresses = m_lookupResult;
    } else {
        m_stage = Stage::LookingUp;
        m_lookupId = QHostInfo::lookupHost(m_host, this, &ClientSocket::onLookedUp);
        return;
    }
    m_stage = Stage::Connecting;
    startAttempt();
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
    m_stage = Stage::Connecting;
    startAttempt();
}

bool ClientSocket::isHandshaking() const
{
    return m_stage == Stage::Connecting
        && std::any_of(m_attempts.cbegin(), m_attempts.cend(),
                       [](const Attempt &attempt) { return attempt.handshaking; });
}

ClientSocket::Attempt *ClientSocket::attemptOf(QTcpSocket *socket)
{
    for (Attempt &attempt : m_attempts) {
        if (attempt.socket == socket)
            return &attempt;
    }
    return nullptr;
}

void ClientSocket::startAttempt()
{
    const QHostAddress address = m_addresses.value(m_nextAddress++);
    QSslSocket *secure = m_tls ? new QSslSocket(this) : nullptr;
    QTcpSocket *socket = secure ? secure : new QTcpSocket(this);
    // Without a bound, a fast server fills Qt's buffer with tens of megabytes while the
    // reader is busy; a bounded one lets TCP hold the rest back.
    socket->setReadBufferSize(ReadBufferSize);
    connect(socket, &QTcpSocket::connected, this, [this, socket] { onConnected(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { onDisconnected(socket); });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (m_stage == Stage::Connected && socket == m_socket)
            emit readEvent();
    });
    connect(socket, &QTcpSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError error) { onErrorOccurred(socket, error); });
    if (secure) {
        secure->setPeerVerifyMode(QSslSocket::VerifyPeer);
        if (!m_extraAuthorities.isEmpty()) {
            QSslConfiguration config = secure->sslConfiguration();
            config.setCaCertificates(QSslConfiguration::systemCaCertificates()
                                     + m_extraAuthorities);
            secure->setSslConfiguration(config);
        }
        connect(secure, &QSslSocket::encrypted, this, [this, secure] { onEncrypted(secure); });
        connect(secure, &QSslSocket::sslErrors, this,
                [this, secure](const QList<QSslError> &errors) { onSslErrors(secure, errors); });
    }
    m_attempts.push_back({socket, false, {}});
    if (m_nextAddress < m_addresses.size())
        m_delayTimer.start();
    else
        m_delayTimer.stop();
    // The socket may report a refusal before these calls return: its handlers only queue
    // what follows.
    if (secure) {
        // The address is connected to as it is; the certificate is checked against the name
        // the user gave.
        secure->connectToHostEncrypted(address.toString(), m_port, verifyName(m_host));
    } else {
        socket->connectToHost(address, m_port);
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

void ClientSocket::retire(QTcpSocket *socket, bool abortNow)
{
    // Nothing more from it reaches this object; it may be inside one of its own signals, so
    // it is deleted later.
    socket->disconnect(this);
    if (abortNow)
        socket->abort();
    socket->deleteLater();
}

void ClientSocket::abortSilently()
{
    m_stage = Stage::Idle;
    ++m_opening;
    m_delayTimer.stop();
    // A lookup in progress cannot be stopped, only forgotten: its answer is ignored when it
    // comes. (Aborting it would also leak what Qt keeps to deliver that answer.)
    m_lookupId = -1;
    for (const Attempt &attempt : m_attempts)
        retire(attempt.socket, true);
    m_attempts.clear();
    if (m_socket) {
        retire(m_socket, true);
        m_socket = nullptr;
    }
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
    return m_socket ? m_socket->bytesAvailable() : 0;
}

QByteArray ClientSocket::receiveBlock(qint64 maxSize)
{
    return m_socket ? m_socket->read(maxSize) : QByteArray();
}

int ClientSocket::takeDescriptor(QByteArray &pending)
{
    // Qt's unsent bytes would be lost with its descriptor.
    if (!isConnected() || m_tls || m_socket->bytesToWrite() > 0)
        return -1;
    // Closing Qt's own descriptor leaves the connection open while the duplicate is.
    const int fd = ::fcntl(int(m_socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    pending = m_socket->readAll();
    abortSilently();
    return fd;
}

void ClientSocket::onConnected(QTcpSocket *socket)
{
    Attempt *attempt = attemptOf(socket);
    if (m_stage != Stage::Connecting || !attempt)
        return;
    if (m_tls) {
        attempt->handshaking = true; // the handshake has begun by itself
        return;
    }
    win(socket);
}

void ClientSocket::onEncrypted(QSslSocket *socket)
{
    if (m_stage != Stage::Connecting || !attemptOf(socket))
        return;
    // Qt also takes the CN of a certificate whose subjectAltNames name others, and matches
    // an address against names: refuse what it let through.
    if (!CertificateNamesMatch(socket->peerCertificate(), verifyName(m_host))) {
        lose(socket, QAbstractSocket::SslHandshakeFailedError, ReasonOtherName.arg(m_host));
        return;
    }
    win(socket);
}

void ClientSocket::onSslErrors(QSslSocket *socket, const QList<QSslError> &errors)
{
    // Not ignored: the socket ends the handshake and reports it as an error next.
    if (Attempt *attempt = attemptOf(socket))
        attempt->certificateReason = DescribeCertificateErrors(errors, m_host);
}

void ClientSocket::onDisconnected(QTcpSocket *socket)
{
    if (m_stage == Stage::Connecting) {
        onErrorOccurred(socket, QAbstractSocket::RemoteHostClosedError);
        return;
    }
    if (m_stage != Stage::Connected || socket != m_socket)
        return;
    announcePendingData();
    if (m_stage != Stage::Connected)
        return;
    m_stage = Stage::Idle;
    emit disconnectEvent();
}

void ClientSocket::onErrorOccurred(QTcpSocket *socket, QAbstractSocket::SocketError error)
{
    switch (m_stage) {
    case Stage::Connecting:
        if (const Attempt *attempt = attemptOf(socket)) {
            QString reason = attempt->certificateReason;
            if (reason.isEmpty() && attempt->handshaking)
                reason = error == QAbstractSocket::RemoteHostClosedError ? ReasonHandshakeClosed
                                                                         : ReasonHandshake;
            lose(socket, error, reason);
        }
        return;
    case Stage::Connected:
        if (socket != m_socket)
            return;
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

void ClientSocket::lose(QTcpSocket *socket, QAbstractSocket::SocketError error,
                        const QString &reason)
{
    const auto it
        = std::find_if(m_attempts.begin(), m_attempts.end(),
                       [socket](const Attempt &attempt) { return attempt.socket == socket; });
    if (it == m_attempts.end())
        return;
    m_attempts.erase(it);
    retire(socket, false);
    m_lastError = error;
    if (!reason.isEmpty())
        m_failureReason = reason;
    // Not from inside the socket's own signal, nor from inside startAttempt(): the next step
    // comes from the event loop.
    QMetaObject::invokeMethod(
        this,
        [this, opening = m_opening] {
            if (m_opening == opening && m_stage == Stage::Connecting)
                afterLoss();
        },
        Qt::QueuedConnection);
}

void ClientSocket::afterLoss()
{
    // RFC 8305 5: a failed attempt lets the next one start without waiting.
    if (m_nextAddress < m_addresses.size())
        startAttempt();
    else if (m_attempts.empty())
        fail(m_lastError);
}

void ClientSocket::win(QTcpSocket *socket)
{
    m_delayTimer.stop();
    for (const Attempt &attempt : m_attempts) {
        if (attempt.socket != socket)
            retire(attempt.socket, true);
    }
    m_attempts.clear();
    m_socket = socket;
    m_failureReason.clear();
    m_stage = Stage::Connected;
    emit connectEvent();
}

void ClientSocket::fail(QAbstractSocket::SocketError error)
{
    // Open until the owner closes it: the close reports the end, as for any opening.
    m_stage = Stage::Failed;
    m_delayTimer.stop();
    emit errorEvent(error);
}

void ClientSocket::announcePendingData()
{
    if (m_socket->bytesAvailable() > 0)
        emit readEvent();
}
