#pragma once

#include <QByteArray>
#include <QList>

#include <atomic>
#include <functional>
#include <thread>

// A line-protocol server on 127.0.0.1 and an ephemeral port, served from a thread of its
// own with blocking POSIX sockets, so that the client's event loop never paces it.
// Clients are served one after another; each gets a fresh session from the factory.
// Every wait is bounded: the server stops by itself when asked, when a client stalls
// or when a connection has lasted too long.
class LoopbackServer
{
    Q_DISABLE_COPY_MOVE(LoopbackServer)

public:
    struct Reply
    {
        // Sent in order, without copying: a large body is shared, not concatenated.
        QList<QByteArray> parts;
        bool close = false;
        // When set, no byte goes out before the rate allows, as over a link of that speed.
        qint64 bytesPerSecond = 0;
    };
    // Answers one command line (without CR LF).
    using Session = std::function<Reply(const QByteArray &command)>;
    using SessionFactory = std::function<Session()>;

    static constexpr int ConnectionLimitSeconds = 120;
    static constexpr int SendStallSeconds = 10;

    // greeting is sent on connection; an empty one sends nothing (a silent server).
    LoopbackServer(QByteArray greeting, SessionFactory factory);
    ~LoopbackServer();

    quint16 port() const { return m_port; }
    int connectionCount() const { return m_connections.load(); }
    // Ends the serving thread; after it returns, the sessions' effects are visible.
    void stop();

private:
    void serve();
    void serveClient(int fd);
    bool sendReply(int fd, const Reply &reply);

    QByteArray m_greeting;
    SessionFactory m_factory;
    int m_listenFd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop = false;
    std::atomic<int> m_connections = 0;
    std::thread m_thread;
};

// Sends all of data on a blocking socket; false when the peer is gone or stalls.
bool SendAll(int fd, const char *data, qsizetype size);

// A blocking client socket connected to 127.0.0.1:port, or -1.
int ConnectLoopback(quint16 port);

// Reads one reply line from a blocking socket, a byte at a time; false at a close or when
// no CR LF comes within 4 kB.
bool ReadLine(int fd);

// Sees the terminating CR LF "." CR LF of drained replies whatever the chunking, keeping only
// the last bytes read and none of the rest.
class TerminatorWatch
{
public:
    static constexpr QByteArrayView Terminator = "\r\n.\r\n";
    // True when these bytes end a reply; the next reply is then watched afresh.
    bool ends(const char *data, qint64 size);

private:
    QByteArray m_tail;
};
