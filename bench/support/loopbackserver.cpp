#include "bench/support/loopbackserver.h"

#include "bench/support/connectionthreads.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int PollMs = 200;

void setTimeouts(int fd, int seconds)
{
    timeval limit{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

} // namespace

bool SendAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false; // gone, or stalled past SO_SNDTIMEO
        data += sent;
        size -= sent;
    }
    return true;
}

int ConnectLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    setTimeouts(fd, LoopbackServer::SendStallSeconds);
    return fd;
}

LoopbackServer::LoopbackServer(QByteArray greeting, SessionFactory factory)
    : m_greeting(std::move(greeting))
    , m_factory(std::move(factory))
{
    m_listenFd = ListenOnLoopback(4, m_port);
    m_thread = std::thread([this] { serve(); });
}

LoopbackServer::~LoopbackServer()
{
    stop();
}

void LoopbackServer::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
    }
}

void LoopbackServer::serve()
{
    while (!m_stop) {
        pollfd waiting{m_listenFd, POLLIN, 0};
        if (::poll(&waiting, 1, PollMs) <= 0)
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++m_connections;
        setTimeouts(fd, SendStallSeconds);
        serveClient(fd);
        ::close(fd);
    }
}

bool LoopbackServer::sendReply(int fd, const Reply &reply)
{
    const auto start = std::chrono::steady_clock::now();
    qint64 sent = 0;
    for (const QByteArray &part : reply.parts) {
        // Slices of a twentieth of a second each, each sent once the rate has earned it.
        const qsizetype slice
            = reply.bytesPerSecond > 0 ? qMax<qint64>(1, reply.bytesPerSecond / 20) : part.size();
        for (qsizetype at = 0; at < part.size(); at += slice) {
            const qsizetype n = qMin(slice, part.size() - at);
            if (reply.bytesPerSecond > 0)
                std::this_thread::sleep_until(
                    start + std::chrono::microseconds((sent + n) * 1000000 / reply.bytesPerSecond));
            if (m_stop || !SendAll(fd, part.constData() + at, n))
                return false;
            sent += n;
        }
    }
    return true;
}

void LoopbackServer::serveClient(int fd)
{
    const auto deadline
        = std::chrono::steady_clock::now() + std::chrono::seconds(ConnectionLimitSeconds);
    if (!m_greeting.isEmpty() && !SendAll(fd, m_greeting.constData(), m_greeting.size()))
        return;
    Session session = m_factory();
    QByteArray pending;
    char chunk[4096];
    while (!m_stop && std::chrono::steady_clock::now() < deadline) {
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, PollMs);
        if (ready < 0 && errno != EINTR)
            return;
        if (ready <= 0)
            continue;
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return; // the client closed
        pending.append(chunk, got);
        qsizetype end = 0;
        while ((end = pending.indexOf("\r\n")) >= 0) {
            const QByteArray command = pending.left(end);
            pending.remove(0, end + 2);
            const Reply reply = session(command);
            if (!sendReply(fd, reply))
                return;
            if (reply.close) {
                ::shutdown(fd, SHUT_WR);
                return;
            }
        }
    }
}

bool ReadLine(int fd)
{
    QByteArray line;
    char c = 0;
    while (line.size() < 4096 && ::recv(fd, &c, 1, 0) == 1) {
        line.append(c);
        if (line.endsWith("\r\n"))
            return true;
    }
    return false;
}

bool TerminatorWatch::ends(const char *data, qint64 size)
{
    const qsizetype take = qMin<qsizetype>(size, Terminator.size());
    m_tail.append(data + size - take, take);
    if (m_tail.size() > Terminator.size())
        m_tail.remove(0, m_tail.size() - Terminator.size());
    if (m_tail != Terminator)
        return false;
    m_tail.clear();
    return true;
}
