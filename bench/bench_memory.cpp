// Peak resident memory of a whole run over a 1,000,000-line list against the same run over a
// 1,000-line list. Each run is a child process of its own (this program started again with
// --child), so that peaks do not mix; the lists live in this parent, which serves them.
//
//   bench_memory
#include <QApplication>
#include <QProcess>
#include <QTest>

#include <cstdio>

#include "bench/support/benchform.h"
#include "bench/support/grouplistbody.h"
#include "bench/support/loopbackserver.h"
#include "bench/support/measure.h"

namespace {

constexpr qint64 LargeList = 1000000;
constexpr qint64 SmallList = 1000;
constexpr int RunsEach = 2;
constexpr int RunLimitSeconds = 30;
constexpr qint64 TargetGrowthBytes = 10 * 1000 * 1000;

struct ChildFigures
{
    bool ok = false;
    qint64 residentBeforeKb = 0;
    qint64 peakKb = 0;
    qint64 groups = 0;
    bool peakReset = false;
    qint64 growthKb() const { return peakKb - residentBeforeKb; }
};

// The window, a run, and the peak resident size it reached above where it started.
int runChild(int argc, char **argv)
{
    UseOffscreenPlatform();
    QApplication app(argc, argv);
    const quint16 port = quint16(QByteArray(argv[2]).toUInt());
    BenchForm form;
    form.show();
    (void)QTest::qWaitForWindowExposed(&form);
    QCoreApplication::processEvents();

    const qint64 before = StatusKb("VmRSS");
    const bool reset = ResetPeakResident();
    const FormRunResult result = RunForm(form, port, RunLimitSeconds);
    const qint64 peak = StatusKb("VmHWM");
    std::printf("%lld %lld %d %d %d\n", static_cast<long long>(before),
                static_cast<long long>(peak), form.run.analyzer.GroupCount, int(reset),
                int(result.outcome == RunOutcome::Completed));
    return 0;
}

ChildFigures startChild(const QString &program, quint16 port)
{
    ChildFigures figures;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(program, {QStringLiteral("--child"), QString::number(port)});
    if (!child.waitForFinished(RunLimitSeconds * 2 * 1000)) {
        child.kill();
        child.waitForFinished(5000);
        return figures;
    }
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() != 5)
        return figures;
    figures.residentBeforeKb = fields[0].toLongLong();
    figures.peakKb = fields[1].toLongLong();
    figures.groups = fields[2].toLongLong();
    figures.peakReset = fields[3] == "1";
    figures.ok = fields[4] == "1" && child.exitCode() == 0;
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 2 && QByteArray(argv[1]) == "--child")
        return runChild(argc, argv);

    QCoreApplication app(argc, argv);
    UseOffscreenPlatform(); // inherited by the children
    const GroupListBody large = MakeGroupListBody(LargeList);
    const GroupListBody small = MakeGroupListBody(SmallList);
    const QByteArray greeting = "200 bench news server ready\r\n";
    LoopbackServer largeServer(greeting, [&large] { return ListOnlySession(large.bytes); });
    LoopbackServer smallServer(greeting, [&small] { return ListOnlySession(small.bytes); });

    std::vector<ChildFigures> smallRuns, largeRuns;
    for (int r = 0; r < RunsEach; ++r) {
        smallRuns.push_back(
            startChild(QCoreApplication::applicationFilePath(), smallServer.port()));
        largeRuns.push_back(
            startChild(QCoreApplication::applicationFilePath(), largeServer.port()));
    }

    bool ok = true;
    std::printf("Peak resident memory of a run, each in a child process (%d each)\n", RunsEach);
    std::printf("  %-22s %12s %12s %12s %10s\n", "list", "before kB", "peak kB", "growth kB",
                "groups");
    qint64 smallGrowth = 0;
    qint64 largeGrowth = 0;
    const auto show = [&](const char *what, const std::vector<ChildFigures> &runs, qint64 lines,
                          qint64 &largest) {
        for (const ChildFigures &f : runs) {
            ok = ok && f.ok && f.groups == lines && f.peakReset;
            largest = qMax(largest, f.growthKb());
            std::printf("  %-22s %12lld %12lld %12lld %10lld%s\n", what,
                        static_cast<long long>(f.residentBeforeKb),
                        static_cast<long long>(f.peakKb), static_cast<long long>(f.growthKb()),
                        static_cast<long long>(f.groups), f.ok ? "" : "  (run failed)");
        }
    };
    show("baseline: 1,000 lines", smallRuns, SmallList, smallGrowth);
    show("1,000,000 lines", largeRuns, LargeList, largeGrowth);
    const qint64 extraBytes = (largeGrowth - smallGrowth) * 1024;
    std::printf("  list of %.1f MB; growth of the large run over the small one (largest of "
                "each): %.1f MB (target < %.0f MB)\n",
                double(large.bytes.size()) / 1e6, double(extraBytes) / 1e6,
                double(TargetGrowthBytes) / 1e6);
    if (!ok)
        std::printf("  note: a child failed, or the peak could not be reset: figures are not "
                    "comparable\n");
    std::printf("target met: %s\n", YesNo(ok && extraBytes < TargetGrowthBytes));
    return ok ? 0 : 1;
}
