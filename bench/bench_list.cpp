// LIST throughput: the run's own path (connection, group list analysis, running total in the
// window) against a plain socket that only drains the same bytes, both from one server that
// has a thread of its own. Then the same list over TLS, against a Qt TLS socket that only
// drains the same stream.
//
//   bench_list [lines [repeats]]   default 1000000 and 5; a smaller list suits a profiler
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "bench/support/benchform.h"
#include "bench/support/grouplistbody.h"
#include "bench/support/loopbackserver.h"
#include "bench/support/measure.h"
#include "bench/support/tlsloopbackserver.h"

namespace {

constexpr int DefaultRepeats = 5;
constexpr int RunLimitSeconds = 30;
constexpr double TargetRatio = 1.5;
constexpr double TlsTargetRatio = 1.3;

struct Drain
{
    bool ok = false;
    qint64 bytes = 0;
    qint64 elapsedUs = 0;
    // This thread's CPU over the whole exchange: steadier than wall time on a busy machine.
    qint64 cpuUs = 0;
};

// Counts a drain's body as it is read. The clock starts when LIST is sent, as the run's
// does; the last bytes are kept to see the terminating line whatever the chunking.
class BodyMeter
{
public:
    explicit BodyMeter(Drain &drain)
        : m_drain(drain)
    {
    }
    // True once the terminating line has been read: the drain is then complete.
    void commandSent() { m_clock.start(); }
    bool read(const char *data, qint64 size)
    {
        m_drain.bytes += size;
        if (!m_end.ends(data, size))
            return false;
        m_drain.elapsedUs = m_clock.nsecsElapsed() / 1000;
        m_drain.ok = true;
        return true;
    }

private:
    Drain &m_drain;
    QElapsedTimer m_clock;
    TerminatorWatch m_end;
};

// Blocking POSIX reads into one reused buffer.
Drain drainRaw(quint16 port)
{
    Drain drain;
    const qint64 cpuStart = ThreadCpuUs();
    const int fd = ConnectLoopback(port);
    BodyMeter meter(drain);
    if (fd < 0 || !ReadLine(fd) || (meter.commandSent(), !SendAll(fd, "LIST\r\n", 6))) {
        if (fd >= 0)
            ::close(fd);
        return drain;
    }
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0 || meter.read(buffer.data(), got))
            break;
    }
    if (drain.ok)
        drain.ok = SendAll(fd, "QUIT\r\n", 6) && ReadLine(fd);
    ::close(fd);
    drain.cpuUs = ThreadCpuUs() - cpuStart;
    return drain;
}

// Qt's socket driven by the event loop, reading whatever arrives and keeping none of it:
// what Qt's socket layer, and its TLS when asked, costs before any parsing.
Drain drainQt(quint16 port, bool tls = false)
{
    Drain drain;
    QSslSocket socket;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    std::vector<char> buffer(256 * 1024);
    BodyMeter meter(drain);
    enum { Greeting, Body, Closing } phase = Greeting;
    QObject::connect(&socket, &QSslSocket::readyRead, &loop, [&] {
        if (phase == Greeting) {
            if (!socket.canReadLine())
                return;
            socket.readLine();
            phase = Body;
            meter.commandSent();
            socket.write("LIST\r\n");
            return;
        }
        if (phase == Closing) {
            if (socket.canReadLine())
                loop.quit();
            return;
        }
        for (;;) {
            const qint64 got = socket.read(buffer.data(), qint64(buffer.size()));
            if (got <= 0)
                break;
            if (meter.read(buffer.data(), got)) {
                phase = Closing;
                socket.write("QUIT\r\n");
                return;
            }
        }
    });
    QObject::connect(&socket, &QSslSocket::errorOccurred, &loop, &QEventLoop::quit);
    const qint64 cpuStart = ThreadCpuUs();
    if (tls) {
        QSslConfiguration config = socket.sslConfiguration();
        config.setCaCertificates(TlsLoopbackServer::Authority());
        socket.setSslConfiguration(config);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    } else {
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    limit.start(RunLimitSeconds * 1000);
    loop.exec();
    socket.abort();
    drain.cpuUs = ThreadCpuUs() - cpuStart;
    return drain;
}

void printRow(const char *what, qint64 elapsedUs, qint64 lines, qint64 bytes, qint64 cpuUs)
{
    const double seconds = double(qMax<qint64>(1, elapsedUs)) / 1e6;
    std::printf("  %-34s %10.1f %12.0f %10.1f", what, double(elapsedUs) / 1000.0,
                double(lines) / seconds, double(bytes) / 1e6 / seconds);
    if (cpuUs >= 0)
        std::printf(" %10.1f", double(cpuUs) / 1000.0);
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    UseOffscreenPlatform();
    QApplication app(argc, argv);
    const qint64 lines = argc > 1 ? qMax(1LL, QByteArray(argv[1]).toLongLong()) : 1000000;
    const int repeats = argc > 2 ? qBound(1, QByteArray(argv[2]).toInt(), 20) : DefaultRepeats;

    QElapsedTimer making;
    making.start();
    const GroupListBody list = MakeGroupListBody(lines);
    const qint64 makingMs = making.elapsed();
    LoopbackServer server("200 bench news server ready\r\n",
                          [&list] { return ListOnlySession(list.bytes); });
    TlsLoopbackServer tlsServer("200 bench news server ready\r\n",
                                [&list] { return ListOnlySession(list.bytes); });

    BenchForm form;
    form.show();
    if (!QTest::qWaitForWindowExposed(&form))
        std::printf("note: the window was not exposed\n");

    std::vector<qint64> rawUs, rawCpuUs, qtUs, qtCpuUs, listUs, executeUs, executeCpuUs;
    qint64 socketBytes = 0;
    bool allOk = true;
    for (int r = 0; r < repeats; ++r) {
        const Drain raw = drainRaw(server.port());
        const Drain qt = drainQt(server.port());
        const qint64 cpuStart = ThreadCpuUs();
        const FormRunResult run = RunForm(form, server.port(), RunLimitSeconds);
        executeCpuUs.push_back(ThreadCpuUs() - cpuStart);
        allOk = allOk && raw.ok && qt.ok && raw.bytes == qt.bytes
            && run.outcome == RunOutcome::Completed;
        socketBytes = raw.bytes;
        rawUs.push_back(raw.elapsedUs);
        rawCpuUs.push_back(raw.cpuUs);
        qtUs.push_back(qt.elapsedUs);
        qtCpuUs.push_back(qt.cpuUs);
        listUs.push_back(run.listUs);
        executeUs.push_back(run.executeUs);
    }
    // Over TLS: the window is the same one, so the counts are checked after this.
    form.run.connection.ClientSocket1.addTrustedAuthorities(TlsLoopbackServer::Authority());
    std::vector<qint64> tlsQtUs, tlsQtCpuUs, tlsListUs;
    for (int r = 0; r < repeats; ++r) {
        const Drain qt = drainQt(tlsServer.port(), true);
        const FormRunResult run
            = RunForm(form, tlsServer.port(), RunLimitSeconds, QStringLiteral("nntps://127.0.0.1"));
        allOk = allOk && qt.ok && qt.bytes == socketBytes && run.outcome == RunOutcome::Completed;
        tlsQtUs.push_back(qt.elapsedUs);
        tlsQtCpuUs.push_back(qt.cpuUs);
        tlsListUs.push_back(run.listUs);
    }

    // The window must show what the list holds: the measured path did its whole work.
    const BenchmarkRun &run = form.run;
    bool countsRight
        = run.analyzer.GroupCount == lines && form.EditGroupCount->text().toLongLong() == lines;
    for (int h = 0; h < HierarchyCount; ++h)
        countsRight
            = countsRight && qint64(run.hierarchyGroups[h].size()) == list.hierarchyLines[h];

    const qint64 bodyBytes = list.bytes.size();
    std::printf("LIST throughput: %lld lines, %.1f MB body (%lld bytes on the socket), best of "
                "%d; list made in %lld ms\n",
                static_cast<long long>(lines), double(bodyBytes) / 1e6,
                static_cast<long long>(socketBytes), repeats, static_cast<long long>(makingMs));
    std::printf("  %-34s %10s %12s %10s %10s\n", "", "elapsed ms", "lines/s", "MB/s", "CPU ms");
    printRow("baseline: raw socket drain", Smallest(rawUs), lines, bodyBytes, Smallest(rawCpuUs));
    printRow("reference: Qt socket drain", Smallest(qtUs), lines, bodyBytes, Smallest(qtCpuUs));
    printRow("program: LIST body (ListElapsedUs)", Smallest(listUs), lines, bodyBytes, -1);
    printRow("program: whole run (execute)", Smallest(executeUs), lines, bodyBytes,
             Smallest(executeCpuUs));
    printRow("TLS baseline: QSslSocket drain", Smallest(tlsQtUs), lines, bodyBytes,
             Smallest(tlsQtCpuUs));
    printRow("TLS program: LIST body", Smallest(tlsListUs), lines, bodyBytes, -1);
    std::printf("  samples ms: raw [%s]  qt [%s]  program [%s]  execute [%s]\n",
                MillisecondList(rawUs).constData(), MillisecondList(qtUs).constData(),
                MillisecondList(listUs).constData(), MillisecondList(executeUs).constData());
    std::printf("  samples ms over TLS: qt [%s]  program [%s]\n",
                MillisecondList(tlsQtUs).constData(), MillisecondList(tlsListUs).constData());
    std::printf("  window: %s groups, speed %s bytes/s; hierarchy counts %s\n",
                qPrintable(form.EditGroupCount->text()), qPrintable(form.EditSpeed->text()),
                countsRight ? "as generated" : "WRONG");
    if (!form.failures.isEmpty())
        std::printf("  run failures: %s\n", qPrintable(form.failures.join(QLatin1String(" | "))));

    const double ratio = double(Smallest(listUs)) / double(qMax<qint64>(1, Smallest(rawUs)));
    const double medianRatio = double(Median(listUs)) / double(qMax<qint64>(1, Median(rawUs)));
    const double cpuRatio
        = double(Smallest(executeCpuUs)) / double(qMax<qint64>(1, Smallest(rawCpuUs)));
    std::printf("  ratio program/baseline: %.2f best, %.2f median (target <= %.2f); "
                "CPU of the client thread: %.2f\n",
                ratio, medianRatio, TargetRatio, cpuRatio);
    const double tlsRatio
        = double(Smallest(tlsListUs)) / double(qMax<qint64>(1, Smallest(tlsQtUs)));
    const double tlsMedianRatio
        = double(Median(tlsListUs)) / double(qMax<qint64>(1, Median(tlsQtUs)));
    std::printf("  ratio over TLS program/QSslSocket drain: %.2f best, %.2f median "
                "(target <= %.2f)\n",
                tlsRatio, tlsMedianRatio, TlsTargetRatio);
    std::printf("target met: %s\n",
                YesNo(allOk && countsRight && ratio <= TargetRatio && tlsRatio <= TlsTargetRatio));
    server.stop();
    tlsServer.stop();
    return allOk && countsRight ? 0 : 1;
}
