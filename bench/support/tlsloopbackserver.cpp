#include "bench/support/tlsloopbackserver.h"

#include <QFile>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>

#include <memory>
#include <stdexcept>

namespace {

QByteArray readData(const char *name)
{
    QFile file(QStringLiteral(NEWSBENCH_SOURCE_DIR "/tests/data/tls/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read the test certificate");
    return file.readAll();
}

class Listener : public QTcpServer
{
public:
    Listener(const QByteArray &greeting, const LoopbackServer::SessionFactory &factory)
        : m_greeting(greeting)
        , m_factory(factory)
        , m_certificate(readData("server.pem"))
        , m_key(readData("server.key"), QSsl::Ec)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(m_certificate);
        socket->setPrivateKey(m_key);
        auto session = std::make_shared<LoopbackServer::Session>(m_factory());
        auto pending = std::make_shared<QByteArray>();
        connect(socket, &QSslSocket::encrypted, socket,
                [this, socket] { socket->write(m_greeting); });
        connect(socket, &QSslSocket::readyRead, socket, [socket, session, pending] {
            pending->append(socket->readAll());
            qsizetype end = 0;
            while ((end = pending->indexOf("\r\n")) >= 0) {
                const LoopbackServer::Reply reply = (*session)(pending->left(end));
                pending->remove(0, end + 2);
                for (const QByteArray &part : reply.parts)
                    socket->write(part);
                if (reply.close)
                    socket->disconnectFromHost();
            }
        });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        socket->startServerEncryption();
    }

private:
    QByteArray m_greeting;
    LoopbackServer::SessionFactory m_factory;
    QSslCertificate m_certificate;
    QSslKey m_key;
};

} // namespace

TlsLoopbackServer::TlsLoopbackServer(QByteArray greeting, LoopbackServer::SessionFactory factory)
    : m_greeting(std::move(greeting))
    , m_factory(std::move(factory))
{
    start();
    while (m_port.load() == 0 && isRunning())
        QThread::msleep(1);
    if (m_port.load() == 0)
        throw std::runtime_error("cannot listen on 127.0.0.1 for TLS");
}

TlsLoopbackServer::~TlsLoopbackServer()
{
    stop();
}

void TlsLoopbackServer::stop()
{
    quit();
    wait();
}

QList<QSslCertificate> TlsLoopbackServer::Authority()
{
    return QSslCertificate::fromData(readData("ca.pem"));
}

void TlsLoopbackServer::run()
{
    Listener listener(m_greeting, m_factory);
    if (!listener.listen(QHostAddress::LocalHost))
        return;
    m_port = listener.serverPort();
    exec();
}
