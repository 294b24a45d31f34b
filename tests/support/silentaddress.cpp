#include "tests/support/silentaddress.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int ProbeMs = 300;
constexpr int MaxFillers = 8;

sockaddr_in socketAddress(const QHostAddress &address, quint16 port)
{
    sockaddr_in where = {};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(address.toIPv4Address());
    return where;
}

} // namespace

SilentAddress::SilentAddress(const QHostAddress &address, quint16 port)
{
    if (!address.isLoopback() || address.protocol() != QAbstractSocket::IPv4Protocol)
        qFatal("SilentAddress takes an IPv4 loopback address");
    sockaddr_in where = socketAddress(address, port);
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0
        || ::bind(m_listener, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0
        || ::listen(m_listener, 0) != 0)
        qFatal("SilentAddress: cannot listen on %s port %u", qPrintable(address.toString()),
               unsigned(port));
    socklen_t size = sizeof where;
    ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&where), &size);
    m_port = ntohs(where.sin_port);

    // Connections until one stays unanswered: the queue is full from then on.
    while (!m_silent && int(m_fillers.size()) < MaxFillers) {
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (filler < 0)
            break;
        m_fillers.push_back(filler);
        if (::connect(filler, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0)
            continue;
        if (errno != EINPROGRESS)
            break;
        pollfd wait = {filler, POLLOUT, 0};
        m_silent = ::poll(&wait, 1, ProbeMs) == 0;
    }
}

SilentAddress::~SilentAddress()
{
    for (const int filler : m_fillers)
        ::close(filler);
    if (m_listener >= 0)
        ::close(m_listener);
}
