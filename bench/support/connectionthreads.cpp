#include "bench/support/connectionthreads.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

int ListenOnLoopback(int backlog, quint16 &port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::listen(fd, backlog) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return fd;
}

ConnectionThreads::ConnectionThreads(std::function<void(int fd)> handler)
    : m_handler(std::move(handler))
    , m_listenFd(ListenOnLoopback(64, m_port))
    , m_thread([this] { accept(); })
{
}

ConnectionThreads::~ConnectionThreads()
{
    stop();
}

void ConnectionThreads::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    std::vector<std::thread> clients;
    {
        const std::lock_guard lock(m_mutex);
        clients.swap(m_clients);
    }
    for (std::thread &client : clients)
        client.join();
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
    }
}

void ConnectionThreads::accept()
{
    while (!m_stop) {
        pollfd waiting{m_listenFd, POLLIN, 0};
        if (::poll(&waiting, 1, PollMs) <= 0)
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++m_connections;
        const std::lock_guard lock(m_mutex);
        m_clients.emplace_back([this, fd] {
            m_handler(fd);
            ::close(fd);
        });
    }
}
