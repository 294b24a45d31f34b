#include "bench/support/pacingrelay.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "bench/support/loopbackserver.h"

namespace {

constexpr qint64 PiecesPerSecond = 400;

} // namespace

PacingRelay::PacingRelay(quint16 upstreamPort, qint64 bytesPerSecond)
    : m_upstreamPort(upstreamPort)
    , m_rate(qMax<qint64>(1000, bytesPerSecond))
    , m_listener([this](int client) { relay(client); })
{
}

PacingRelay::~PacingRelay()
{
    stop();
}

void PacingRelay::relay(int client)
{
    const int server = ConnectLoopback(m_upstreamPort);
    if (server < 0)
        return;
    timeval limit{LoopbackServer::SendStallSeconds, 0};
    setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    // Pieces are smaller than a loopback segment: Nagle's algorithm would hold each one back
    // until the reader's delayed acknowledgement of the last.
    const int noDelay = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    using Clock = std::chrono::steady_clock;
    // Bytes go out in pieces of a four-hundredth of a second's worth: no flood of tiny
    // segments, and an error of a piece at either end of a measurement.
    const qint64 piece = qMax<qint64>(1, m_rate / PiecesPerSecond);
    const qint64 idleCredit = piece * 2;
    std::vector<char> buffer(static_cast<std::size_t>(piece * 8));
    // What the pace allows from `start` on, minus what was sent: a token bucket kept as a
    // count, so that rounding never adds up. A thread that was scheduled late catches up; only
    // a connection with nothing to send loses its credit beyond two pieces, as a link would.
    const Clock::time_point start = Clock::now();
    qint64 sent = 0;
    while (!m_listener.stopping()) {
        const qint64 elapsedUs
            = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        const qint64 allowed = elapsedUs * m_rate / 1000000 - sent;
        const bool mayRead = allowed >= piece;
        pollfd waiting[2] = {{client, POLLIN, 0}, {server, short(mayRead ? POLLIN : 0), 0}};
        // Until the next piece is due; when one is due and nothing comes, a piece's time, so
        // that a wait for the server never saves up credit: a longer wait would let the
        // first bytes of the next answer out at once, faster than the pace.
        const qint64 waitUs = mayRead ? 1000000 / PiecesPerSecond
                                      : (piece - allowed) * 1000000 / m_rate + 1;
        const timespec timeout{time_t(waitUs / 1000000), long(waitUs % 1000000) * 1000};
        const int ready = ::ppoll(waiting, 2, &timeout, nullptr);
        if (ready < 0 && errno != EINTR)
            break;
        const bool serverReady
            = mayRead && ready > 0 && (waiting[1].revents & (POLLIN | POLLHUP | POLLERR));
        if (mayRead && !serverReady && allowed > idleCredit)
            sent += allowed - idleCredit; // idle: the credit does not pile up
        if (ready <= 0)
            continue;
        if (waiting[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char chunk[4096];
            const ssize_t got = ::recv(client, chunk, sizeof chunk, 0);
            if (got <= 0 || !SendAll(server, chunk, got))
                break;
        }
        if (serverReady) {
            const qint64 take = qMin<qint64>(allowed, qint64(buffer.size()));
            const ssize_t got = ::recv(server, buffer.data(), std::size_t(take), 0);
            if (got <= 0 || !SendAll(client, buffer.data(), got))
                break;
            sent += got;
        }
    }
    ::close(server);
}
