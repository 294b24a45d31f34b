#pragma once

#include <QtGlobal>

#include "bench/support/connectionthreads.h"

// A relay on 127.0.0.1 and an ephemeral port in front of a server on another loopback port:
// every connection to it gets one to the server, and what the server sends goes on to the
// client at no more than bytesPerSecond, each connection on its own, as over links of that
// speed. What the client sends goes through at once. A thread per connection, blocking POSIX
// sockets; every wait is bounded.
class PacingRelay
{
    Q_DISABLE_COPY_MOVE(PacingRelay)

public:
    PacingRelay(quint16 upstreamPort, qint64 bytesPerSecond);
    ~PacingRelay();

    quint16 port() const { return m_listener.port(); }
    void stop() { m_listener.stop(); }

private:
    void relay(int client);

    quint16 m_upstreamPort;
    qint64 m_rate;
    // Last: its threads start once the rate is set.
    ConnectionThreads m_listener;
};
