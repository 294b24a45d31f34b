#pragma once

#include <QtGlobal>

#include <vector>

// Where the first CR LF "." CR LF of data begins, or -1: the end of an article's body (RFC
// 3977 3.1.1; a body line that begins with a dot has it doubled, so this occurs only at the
// end). Only dots are looked at closely, 64 bytes at a time, with the widest comparisons the
// processor has: the scan is what reading a body adds to the kernel's copy, and a general
// substring search costs as much as the copy itself at loopback speed.
qsizetype FindBodyEnd(const char *data, qsizetype size);

// Each way of scanning that this processor can run, for tests.
using BodyEndScanner = qsizetype (*)(const char *data, qsizetype size);
std::vector<BodyEndScanner> BodyEndScanners();
