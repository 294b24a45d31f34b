// Idle cost: the CPU time a connection uses while it waits five seconds for a server that says
// nothing, against an event loop that only runs the same one-second timer for as long.
//
//   bench_idle
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

#include "bench/support/loopbackserver.h"
#include "bench/support/measure.h"
#include "engine/connection.h"

namespace {

constexpr int WaitMs = 5000;
constexpr double TargetShare = 0.02;

struct Usage
{
    qint64 wallUs = 0;
    qint64 threadCpuUs = 0;
    qint64 processCpuUs = 0;
    qint64 sleeps = 0;
};

class UsageClock
{
public:
    UsageClock()
    {
        m_wall.start();
        m_thread = ThreadCpuUs();
        m_process = ProcessCpuUs();
        m_sleeps = ThreadSleeps();
    }
    Usage read() const
    {
        return {m_wall.nsecsElapsed() / 1000, ThreadCpuUs() - m_thread, ProcessCpuUs() - m_process,
                ThreadSleeps() - m_sleeps};
    }

private:
    QElapsedTimer m_wall;
    qint64 m_thread = 0;
    qint64 m_process = 0;
    qint64 m_sleeps = 0;
};

// Connected, the idle countdown running, waiting for a status line that never comes; the
// wait ends when the socket is closed under it, as the stop button does.
Usage waitOnConnection(quint16 port, bool &ended)
{
    Connection connection;
    connection.ClientSocket1.setHost(QStringLiteral("127.0.0.1"));
    connection.ClientSocket1.setPort(port);
    connection.IdleCountdown = Connection::IdleSeconds;
    connection.Timer1.start();
    ended = false;
    if (!connection.connectToServer())
        return {};
    QTimer::singleShot(WaitMs, Qt::PreciseTimer, &connection,
                       [&connection] { connection.ClientSocket1.close(); });
    const UsageClock clock;
    try {
        QByteArray reply;
        connection.ReadResponse(reply);
    } catch (const EAbort &) {
        ended = true;
    }
    const Usage usage = clock.read();
    connection.Timer1.stop();
    return usage;
}

Usage waitOnEventLoop()
{
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(1000);
    QObject::connect(&tick, &QTimer::timeout, &loop, [] {});
    tick.start();
    QTimer::singleShot(WaitMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    const UsageClock clock;
    loop.exec();
    return clock.read();
}

void printRow(const char *what, const Usage &usage)
{
    std::printf("  %-40s %8.0f %10.2f %8.3f%% %12.2f %8lld\n", what, double(usage.wallUs) / 1000.0,
                double(usage.threadCpuUs) / 1000.0,
                100.0 * double(usage.threadCpuUs) / double(qMax<qint64>(1, usage.wallUs)),
                double(usage.processCpuUs) / 1000.0, static_cast<long long>(usage.sleeps));
}

} // namespace

int main(int argc, char **argv)
{
    UseOffscreenPlatform();
    QApplication app(argc, argv);
    // Accepts and never answers: no greeting, no reply.
    LoopbackServer silent(QByteArray(), [] {
        return [](const QByteArray &) {
            return LoopbackServer::Reply();
        };
    });

    const Usage baseline = waitOnEventLoop();
    bool ended = false;
    const Usage waiting = waitOnConnection(silent.port(), ended);
    silent.stop();

    std::printf("Idle cost over %d s (CPU of the waiting thread; process CPU includes the "
                "server's thread)\n",
                WaitMs / 1000);
    std::printf("  %-40s %8s %10s %9s %12s %8s\n", "", "wall ms", "CPU ms", "of wall", "process ms",
                "sleeps");
    printRow("baseline: event loop, 1 s timer", baseline);
    printRow("program: Connection::ReadResponse waiting", waiting);
    const double share = double(waiting.threadCpuUs) / double(qMax<qint64>(1, waiting.wallUs));
    std::printf("  ratio program/baseline CPU: %.2f; the wait %s by closing the socket\n",
                double(waiting.threadCpuUs) / double(qMax<qint64>(1, baseline.threadCpuUs)),
                ended ? "ended" : "did NOT end");
    std::printf("  share of wall time: %.3f%% (target < %.0f%%)\n", 100.0 * share,
                100.0 * TargetShare);
    std::printf("target met: %s\n", YesNo(ended && share < TargetShare));
    return ended ? 0 : 1;
}
