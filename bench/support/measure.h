#pragma once

#include <QByteArray>

#include <vector>

// Benchmarks run without a desktop: the offscreen platform unless the caller chose one.
void UseOffscreenPlatform();

// A "Vm..." line of /proc/self/status in kB, or -1.
qint64 StatusKb(const char *field);
// Lowers the peak resident size to the current one (Linux clear_refs "5"); false when refused.
bool ResetPeakResident();

qint64 ThreadCpuUs();
qint64 ProcessCpuUs();
// Voluntary context switches of the calling thread: how often it went to sleep.
qint64 ThreadSleeps();

qint64 Smallest(const std::vector<qint64> &samples);
qint64 Median(std::vector<qint64> samples);
// "12.3, 12.9, 13.0": samples in microseconds shown as milliseconds.
QByteArray MillisecondList(const std::vector<qint64> &samplesUs);

inline const char *YesNo(bool value)
{
    return value ? "yes" : "no";
}
