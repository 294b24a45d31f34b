#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QThread>

#include <atomic>

#include "bench/support/loopbackserver.h"

// The loopback server's conversation over TLS from the first byte, served by Qt's own TLS
// socket on a thread of its own. Its certificate (tests/data/tls) names 127.0.0.1; clients
// trust Authority() for it.
class TlsLoopbackServer : public QThread
{
    Q_OBJECT

public:
    TlsLoopbackServer(QByteArray greeting, LoopbackServer::SessionFactory factory);
    ~TlsLoopbackServer() override;

    quint16 port() const { return m_port.load(); }
    void stop();

    static QList<QSslCertificate> Authority();

protected:
    void run() override;

private:
    QByteArray m_greeting;
    LoopbackServer::SessionFactory m_factory;
    std::atomic<quint16> m_port = 0;
};
