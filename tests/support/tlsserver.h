#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QTcpServer>

class QTcpSocket;
// A small NNTP server for whole runs over TLS or plain TCP on any address (IPv6 too), or one
// that spoils the TLS handshake on purpose. Runs on the test's thread. Its certificate, from
// tests/data/tls, names localhost, 127.0.0.1 and ::1; TestAuthority() is its issuer.
//
// The conversation: greeting 200, AUTHINFO USER 381, AUTHINFO PASS 281, LIST with one
// group that no hierarchy holds, QUIT 205 and a close; anything else 500.
class TlsServer : public QTcpServer
{
    Q_OBJECT

public:
    enum class Behaviour {
        Plain, // the conversation without TLS
        Tls, // the conversation after a TLS handshake
        Junk, // a plain greeting where the handshake should be
        CloseInHandshake, // reads the client's first handshake message and hangs up
        StallHandshake, // reads and never answers
    };

    explicit TlsServer(Behaviour behaviour, const QHostAddress &address = QHostAddress::LocalHost);

    // Command lines received after the handshake, without CR LF.
    QList<QByteArray> commands;

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void converse(QTcpSocket *socket);

    Behaviour m_behaviour;
};

QList<QSslCertificate> TestAuthority();
