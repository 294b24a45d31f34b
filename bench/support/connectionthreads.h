#pragma once

#include <QtGlobal>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A socket listening on 127.0.0.1 and an ephemeral port; throws std::runtime_error when it
// cannot. The port is written to `port`.
int ListenOnLoopback(int backlog, quint16 &port);

// Listens on 127.0.0.1 and serves every connection from a thread of its own, with blocking
// POSIX sockets, so that the client's event loop never paces the server. The handler owns
// nothing: the connection is closed when it returns. Every wait is bounded.
class ConnectionThreads
{
    Q_DISABLE_COPY_MOVE(ConnectionThreads)

public:
    static constexpr int PollMs = 100;

    explicit ConnectionThreads(std::function<void(int fd)> handler);
    ~ConnectionThreads();

    quint16 port() const { return m_port; }
    int connectionCount() const { return m_connections.load(); }
    // Handlers look at this between their waits and return once it is set.
    bool stopping() const { return m_stop.load(); }
    void stop();

private:
    void accept();

    // In this order: the port before the socket that sets it, the thread after all it uses.
    std::function<void(int fd)> m_handler;
    quint16 m_port = 0;
    int m_listenFd = -1;
    std::atomic<bool> m_stop = false;
    std::atomic<int> m_connections = 0;
    std::mutex m_mutex;
    std::vector<std::thread> m_clients;
    std::thread m_thread;
};
