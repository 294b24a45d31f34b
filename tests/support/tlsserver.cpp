#include "tests/support/tlsserver.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

namespace {

QByteArray readData(const char *name)
{
    QFile file(QStringLiteral(NEWSBENCH_SOURCE_DIR "/tests/data/tls/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    return file.readAll();
}

} // namespace

QList<QSslCertificate> TestAuthority()
{
    return QSslCertificate::fromData(readData("ca.pem"));
}

TlsServer::TlsServer(Behaviour behaviour, const QHostAddress &address)
    : m_behaviour(behaviour)
{
    if (!listen(address))
        qFatal("cannot listen on %s", qPrintable(address.toString()));
}

void TlsServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    switch (m_behaviour) {
    case Behaviour::Plain:
        converse(socket);
        break;
    case Behaviour::Tls:
        socket->setLocalCertificate(QSslCertificate(readData("server.pem")));
        socket->setPrivateKey(QSslKey(readData("server.key"), QSsl::Ec));
        connect(socket, &QSslSocket::encrypted, this, [this, socket] { converse(socket); });
        socket->startServerEncryption();
        break;
    case Behaviour::Junk:
        socket->write("200 plain text where TLS was expected\r\n");
        break;
    case Behaviour::CloseInHandshake:
        connect(socket, &QSslSocket::readyRead, socket, &QSslSocket::disconnectFromHost);
        break;
    case Behaviour::StallHandshake:
        connect(socket, &QSslSocket::readyRead, socket, &QSslSocket::readAll);
        break;
    }
}

void TlsServer::converse(QTcpSocket *socket)
{
    socket->write("200 ready\r\n");
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        while (socket->canReadLine()) {
            const QByteArray command = socket->readLine().chopped(2);
            commands.append(command);
            if (command.startsWith("AUTHINFO USER")) {
                socket->write("381 more\r\n");
            } else if (command.startsWith("AUTHINFO PASS")) {
                socket->write("281 ok\r\n");
            } else if (command == "LIST") {
                socket->write("215 list\r\ncomp.lang.c 5 1 y\r\n.\r\n");
            } else if (command == "QUIT") {
                socket->write("205 bye\r\n");
                socket->disconnectFromHost();
            } else {
                socket->write("500 what\r\n");
            }
        }
    });
}
