// The speed the window shows against the speed the server really sent at: a LIST body
// paced at a known rate, as over a slow link, and a short list sent whole after a delay.
//
//   bench_speed [bytes per second [seconds]]   default 200000 and 2.5
#include <QApplication>
#include <QLineEdit>
#include <QThread>

#include <cstdio>

#include "bench/support/benchform.h"
#include "bench/support/grouplistbody.h"
#include "bench/support/measure.h"

namespace {

constexpr double TargetErrorPercent = 1.0;
constexpr int ShortDelayMs = 200;

qint64 shownSpeed(quint16 port)
{
    BenchForm form;
    const FormRunResult run = RunForm(form, port, 60);
    return run.outcome == RunOutcome::Completed ? form.EditSpeed->text().toLongLong() : -1;
}

} // namespace

int main(int argc, char **argv)
{
    UseOffscreenPlatform();
    QApplication app(argc, argv);
    const qint64 rate = argc > 1 ? qMax(1000LL, QByteArray(argv[1]).toLongLong()) : 200000;
    const double seconds = argc > 2 ? qMax(0.5, QByteArray(argv[2]).toDouble()) : 2.5;

    // About rate x seconds of list, whole lines; the terminator is not part of the body.
    const GroupListBody list = MakeGroupListBody(qint64(double(rate) * seconds / 50));
    const QByteArray body = list.bytes.chopped(3);
    LoopbackServer paced("200 bench news server ready\r\n", [&] {
        return [&](const QByteArray &command) -> LoopbackServer::Reply {
            if (command == "LIST")
                return {{"215 list follows\r\n", list.bytes}, false, rate};
            return ListOnlySession(list.bytes)(command);
        };
    });
    const qint64 shown = shownSpeed(paced.port());
    // The status line and the terminator go over the same link: the body's bytes arrive
    // within (status + body + terminator) / rate.
    const double sentSeconds = double(body.size() + 18 + 3) / double(rate);
    const double real = double(body.size()) / sentSeconds;
    const double error = 100.0 * (double(shown) - real) / real;
    std::printf("Speed of a paced list: %lld bytes at %lld bytes/s (%.2f s)\n",
                static_cast<long long>(body.size()), static_cast<long long>(rate), sentSeconds);
    std::printf("  shown %lld bytes/s, sent at %.0f bytes/s: error %+.2f %% (target within "
                "%.1f %%)\n",
                static_cast<long long>(shown), real, error, TargetErrorPercent);

    // A short list that arrives whole, status line included, after a delay: the bytes count
    // over the time the user waited, not over the moment after the status line.
    const QByteArray shortList = MakeGroupListBody(40).bytes;
    LoopbackServer delayed("200 bench news server ready\r\n", [&] {
        return [&](const QByteArray &command) -> LoopbackServer::Reply {
            if (command == "LIST") {
                QThread::msleep(ShortDelayMs);
                return {{"215 list follows\r\n" + shortList}};
            }
            return ListOnlySession(shortList)(command);
        };
    });
    const qint64 shortShown = shownSpeed(delayed.port());
    const qint64 shortBound = qint64(shortList.size() - 3) * 1000 / ShortDelayMs;
    std::printf("Speed of a short list sent whole after %d ms: shown %lld bytes/s, at most "
                "%lld possible\n",
                ShortDelayMs, static_cast<long long>(shortShown),
                static_cast<long long>(shortBound));
    const bool met = shown > 0 && qAbs(error) <= TargetErrorPercent && shortShown > 0
        && shortShown <= shortBound;
    std::printf("target met: %s\n", YesNo(met));
    return shown > 0 && shortShown > 0 ? 0 : 1;
}
