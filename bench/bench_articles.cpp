// Article speed. Throughput: a loopback server streams article bodies to the program's own
// sweep with 1 and with 8 connections, against a plain drain of the same replies over as many
// sockets in one thread, in the same run (and, for reference, a drain through QTcpSocket).
// Accuracy: through a relay that paces each connection at a known rate, the sweep's figures for 1
// and 4 connections against that pace.
//
//   bench_articles [seconds per step [repeats]]   default 2 and 5
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <memory>

#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "bench/support/articleloopbackserver.h"
#include "bench/support/loopbackserver.h"
#include "bench/support/measure.h"
#include "bench/support/pacingrelay.h"
#include "engine/articlesweep.h"

namespace {

constexpr qsizetype ArticleSize = 750000; // a typical part of a binary post
constexpr double TargetRatio = 1.2;
constexpr qint64 Pace = 2000000;
constexpr double TargetErrorPercent = 2.0;

struct Rate
{
    bool ok = false;
    qint64 bytesPerSecond = 0;
    qint64 cpuUs = 0;
};

bool sendText(int fd, const QByteArray &text)
{
    return SendAll(fd, text.constData(), text.size());
}

// n blocking sockets polled from one thread: each asks for a body, reads whatever arrives
// without looking at it but for its last five bytes, and asks for the next at the terminator.
Rate drain(quint16 port, int n, int stepMs)
{
    Rate rate;
    std::vector<int> fds;
    bool ok = true;
    for (int i = 0; i < n && ok; ++i) {
        const int fd = ConnectLoopback(port);
        if (fd >= 0)
            fds.push_back(fd);
        ok = fd >= 0 && ReadLine(fd)
            && sendText(fd, QByteArray("GROUP ") + ArticleLoopbackServer::Group + "\r\n")
            && ReadLine(fd);
    }
    std::vector<TerminatorWatch> ends(fds.size());
    std::vector<pollfd> waiting;
    for (const int fd : fds)
        waiting.push_back({fd, POLLIN, 0});
    std::vector<char> buffer(256 * 1024);
    qint64 bytes = 0;
    qint64 article = ArticleLoopbackServer::Last;
    const qint64 cpuStart = ThreadCpuUs();
    QElapsedTimer clock;
    clock.start();
    for (const int fd : fds)
        ok = ok && sendText(fd, "BODY " + QByteArray::number(article--) + "\r\n");
    while (ok && !clock.hasExpired(stepMs)) {
        if (::poll(waiting.data(), nfds_t(waiting.size()), 10) <= 0)
            continue;
        for (std::size_t i = 0; i < waiting.size() && ok; ++i) {
            if (!(waiting[i].revents & POLLIN))
                continue;
            const ssize_t got = ::recv(waiting[i].fd, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                ok = false;
                break;
            }
            bytes += got;
            if (ends[i].ends(buffer.data(), got)) {
                ok = sendText(waiting[i].fd, "BODY " + QByteArray::number(article--) + "\r\n");
            }
        }
    }
    const qint64 elapsedUs = clock.nsecsElapsed() / 1000;
    rate.cpuUs = ThreadCpuUs() - cpuStart;
    for (const int fd : fds) {
        sendText(fd, "QUIT\r\n");
        ::close(fd);
    }
    rate.ok = ok;
    rate.bytesPerSecond = bytes * 1000000 / qMax<qint64>(1, elapsedUs);
    return rate;
}

// The same over QTcpSocket and the event loop, reading whatever arrives and keeping none of
// it: what Qt's socket layer costs before the program looks at a byte.
Rate qtDrain(quint16 port, int n, int stepMs)
{
    Rate rate;
    struct Link
    {
        std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
        int lines = 0; // greeting and GROUP answer
        TerminatorWatch end;
    };
    std::vector<Link> links(static_cast<std::size_t>(n));
    std::vector<char> buffer(256 * 1024);
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    qint64 bytes = 0;
    qint64 article = ArticleLoopbackServer::Last;
    int ready = 0;
    bool ok = true;
    auto ask = [&](QTcpSocket &socket) {
        socket.write("BODY " + QByteArray::number(article--) + "\r\n");
    };
    for (Link &link : links) {
        QTcpSocket &socket = *link.socket;
        QObject::connect(&socket, &QTcpSocket::errorOccurred, &loop, [&] {
            ok = false;
            loop.quit();
        });
        QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] {
            if (link.lines < 2) {
                if (!socket.canReadLine())
                    return;
                socket.readLine();
                if (++link.lines == 1) {
                    socket.write(QByteArray("GROUP ") + ArticleLoopbackServer::Group + "\r\n");
                } else if (++ready == n) {
                    clock.start();
                    limit.start(stepMs);
                    for (Link &each : links)
                        ask(*each.socket);
                }
                return;
            }
            for (;;) {
                const qint64 got = socket.read(buffer.data(), qint64(buffer.size()));
                if (got <= 0)
                    break;
                if (clock.isValid())
                    bytes += got;
                if (link.end.ends(buffer.data(), got))
                    ask(socket);
            }
        });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    const qint64 cpuStart = ThreadCpuUs();
    loop.exec();
    const qint64 elapsedUs = clock.isValid() ? clock.nsecsElapsed() / 1000 : 0;
    rate.cpuUs = ThreadCpuUs() - cpuStart;
    for (Link &link : links) {
        link.socket->write("QUIT\r\n");
        link.socket->flush();
        link.socket->abort();
    }
    rate.ok = ok && elapsedUs > 0;
    rate.bytesPerSecond = bytes * 1000000 / qMax<qint64>(1, elapsedUs);
    return rate;
}

ArticleSweepResult sweep(quint16 port, int first, int max, int stepMs)
{
    ArticleSweepSettings settings;
    settings.source.host = QStringLiteral("127.0.0.1");
    settings.source.port = port;
    settings.source.group = ArticleLoopbackServer::Group;
    settings.source.first = ArticleLoopbackServer::First;
    settings.source.last = ArticleLoopbackServer::Last;
    settings.firstConnections = first;
    settings.maxConnections = max;
    settings.stepMs = stepMs;
    settings.byteCap = std::numeric_limits<qint64>::max();
    ArticleSweep sweep;
    return sweep.run(settings);
}

// One step of n connections through the program's own path.
Rate program(quint16 port, int n, int stepMs)
{
    Rate rate;
    const qint64 cpuStart = ThreadCpuUs();
    const ArticleSweepResult result = sweep(port, n, n, stepMs);
    rate.cpuUs = ThreadCpuUs() - cpuStart;
    rate.ok = result.end == SweepEnd::Maximum && result.steps.size() == 1;
    rate.bytesPerSecond = rate.ok ? result.steps.front().bytesPerSecond : 0;
    return rate;
}

qint64 largest(const std::vector<qint64> &samples)
{
    return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
}

QByteArray megabytes(const std::vector<qint64> &samples)
{
    QByteArray text;
    for (const qint64 sample : samples) {
        if (!text.isEmpty())
            text += ", ";
        text += QByteArray::number(double(sample) / 1e6, 'f', 1);
    }
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    UseOffscreenPlatform();
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? qMax(0.5, QByteArray(argv[1]).toDouble()) : 2.0;
    const int repeats = argc > 2 ? qBound(1, QByteArray(argv[2]).toInt(), 20) : 5;
    const int stepMs = int(seconds * 1000);

    ArticleLoopbackServer server(ArticleSize);
    bool allOk = true;
    bool met = true;
    std::printf("Article throughput: bodies of %lld bytes on the socket, %.1f s per step, best "
                "of %d\n",
                static_cast<long long>(server.bodyReplySize()), seconds, repeats);
    std::printf("  %-12s %12s %12s %14s %8s %24s\n", "connections", "drain MB/s", "Qt MB/s",
                "program MB/s", "ratio", "CPU ms drain/Qt/program");
    for (const int n : {1, 8}) {
        std::vector<qint64> drains, qts, programs, drainCpu, qtCpu, programCpu;
        for (int r = 0; r < repeats; ++r) {
            const Rate d = drain(server.port(), n, stepMs);
            const Rate q = qtDrain(server.port(), n, stepMs);
            const Rate p = program(server.port(), n, stepMs);
            allOk = allOk && d.ok && q.ok && p.ok;
            drains.push_back(d.bytesPerSecond);
            qts.push_back(q.bytesPerSecond);
            programs.push_back(p.bytesPerSecond);
            drainCpu.push_back(d.cpuUs);
            qtCpu.push_back(q.cpuUs);
            programCpu.push_back(p.cpuUs);
        }
        // The time the program takes for the drain's bytes, over the drain's own time.
        const double ratio = double(largest(drains)) / double(qMax<qint64>(1, largest(programs)));
        met = met && ratio <= TargetRatio;
        std::printf("  %-12d %12.1f %12.1f %14.1f %8.2f %8.0f / %.0f / %.0f\n", n,
                    double(largest(drains)) / 1e6, double(largest(qts)) / 1e6,
                    double(largest(programs)) / 1e6, ratio, double(Smallest(drainCpu)) / 1000.0,
                    double(Smallest(qtCpu)) / 1000.0, double(Smallest(programCpu)) / 1000.0);
        std::printf("  %-12s samples MB/s: drain [%s]  Qt [%s]  program [%s]\n", "",
                    megabytes(drains).constData(), megabytes(qts).constData(),
                    megabytes(programs).constData());
    }
    std::printf("  time program/drain for the same bytes: target <= %.2f\n", TargetRatio);

    // The pace of the relay is what each connection can get; the sweep must read it back.
    PacingRelay relay(server.port(), Pace);
    const ArticleSweepResult paced = sweep(relay.port(), 1, 4, stepMs);
    allOk = allOk && paced.end == SweepEnd::Maximum && paced.steps.size() == 3;
    std::printf("Article speed accuracy: a relay paces each connection at %lld bytes/s, %.1f s "
                "per step\n",
                static_cast<long long>(Pace), seconds);
    for (const ArticleStep &step : paced.steps) {
        const double expected = double(Pace) * step.connections;
        const double error = 100.0 * (double(step.bytesPerSecond) - expected) / expected;
        if (step.connections == 1 || step.connections == 4)
            met = met && qAbs(error) <= TargetErrorPercent;
        std::printf("  %d connection%s: measured %lld bytes/s, paced %.0f: error %+.2f %%%s\n",
                    step.connections, step.connections == 1 ? "" : "s",
                    static_cast<long long>(step.bytesPerSecond), expected, error,
                    step.connections == 1 || step.connections == 4 ? " (target within 2 %)" : "");
    }
    std::printf("  end of the sweep: %s; greeting %lld us, STAT %lld us (medians)\n",
                paced.end == SweepEnd::Maximum ? "the maximum" : "early",
                static_cast<long long>(paced.greetingUs), static_cast<long long>(paced.statUs));
    relay.stop();
    server.stop();
    std::printf("target met: %s\n", YesNo(allOk && met));
    return allOk ? 0 : 1;
}
