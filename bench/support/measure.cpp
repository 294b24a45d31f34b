#include "bench/support/measure.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <ctime>
#include <sys/resource.h>

namespace {

qint64 clockUs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

} // namespace

void UseOffscreenPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

qint64 StatusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

bool ResetPeakResident()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

qint64 ThreadCpuUs()
{
    return clockUs(CLOCK_THREAD_CPUTIME_ID);
}

qint64 ProcessCpuUs()
{
    return clockUs(CLOCK_PROCESS_CPUTIME_ID);
}

qint64 ThreadSleeps()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

qint64 Smallest(const std::vector<qint64> &samples)
{
    return samples.empty() ? 0 : *std::min_element(samples.begin(), samples.end());
}

qint64 Median(std::vector<qint64> samples)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

QByteArray MillisecondList(const std::vector<qint64> &samplesUs)
{
    QByteArray text;
    for (const qint64 us : samplesUs) {
        if (!text.isEmpty())
            text += ", ";
        text += QByteArray::number(double(us) / 1000.0, 'f', 1);
    }
    return text;
}
