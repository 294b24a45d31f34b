#pragma once

#include <QHostAddress>

#include <vector>

// A loopback address and port where connection attempts go unanswered, as behind a filter
// that drops packets or a broken route: a listening socket with a backlog of 0 whose one
// queued connection is never accepted. With its accept queue full, the kernel drops further
// SYNs (whatever the syncookie setting), so a client waits until it gives up.
class SilentAddress
{
    Q_DISABLE_COPY_MOVE(SilentAddress)

public:
    // An IPv4 loopback address; port 0 takes an ephemeral one.
    SilentAddress(const QHostAddress &address, quint16 port);
    ~SilentAddress();

    quint16 port() const { return m_port; }
    // True once a connection attempt was seen to go unanswered.
    bool isSilent() const { return m_silent; }

private:
    int m_listener = -1;
    quint16 m_port = 0;
    bool m_silent = false;
    std::vector<int> m_fillers; // the queued connection and the unanswered probe
};
