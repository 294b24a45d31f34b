#pragma once

#include <QByteArray>
#include <QTcpServer>

#include <functional>
#include <memory>

#include "service/clientaddress.h"

struct GuardLimits
{
    qint64 maxRequestBytes = 8192;
    // From a request's first byte to the end of its head, and from there to the end of its
    // body: a client that sends a byte now and then cannot hold a connection for long.
    int headMilliseconds = 10'000;
    int bodyMilliseconds = 30'000;
    // From an answer to the first byte of the next request; also what a client has to take
    // the answer.
    int idleMilliseconds = 60'000;
    // Each connection costs a file descriptor, and a packaged service has 1024 of them.
    int maxConnections = 512;
    int maxConnectionsPerClient = 32; // by LimitKey(); trusted proxies go uncounted; 0: none
    // An answer the client does not read stays in memory; past this, the client is cut off.
    qint64 maxUnsentBytes = 4 * 1024 * 1024;
};

// The listening socket of the report service and the watch over its connections: it caps
// connections in total and per client, gives every request a deadline to arrive whole and a
// size limit, and reads each request's head, which the HTTP server keeps to itself, for the
// HTTP version and the Connection header. What it refuses it answers itself, with what
// `answer` makes for the status (408, 413, 429 or 503) and closes the connection.
class ConnectionGuard : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectionGuard)

public:
    using Answer = std::function<QByteArray(int status, bool withBody)>;
    ConnectionGuard(const GuardLimits &limits, const QList<Subnet> &uncounted, Answer answer,
                    QObject *parent = nullptr);
    ~ConnectionGuard() override;

    // What the client asked of the connection after this answer (RFC 7230 6.3): HTTP/1.1
    // keeps it unless it said close, HTTP/1.0 only when it said keep-alive, and then wants
    // to hear keep-alive back.
    struct Persistence
    {
        bool keep = false;
        bool http10 = false;
    };
    // For the HTTP server's handler: the request on this connection has been read whole.
    static Persistence requestDone(QTcpSocket *socket);
    int connectionCount() const;

    struct Tally; // the connections counted, shared with each of them

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    GuardLimits m_limits;
    QList<Subnet> m_uncounted;
    Answer m_answer;
    std::shared_ptr<Tally> m_tally;
};
