#pragma once

#include <QtGlobal>

// Where the first CR LF "." CR LF of data begins, or -1: the end of an article's body (RFC
// 3977 3.1.1; a body line that begins with a dot has it doubled, so this occurs only at the
// end). Only dots are looked at closely, found 64 bytes at a time: a general substring
// search costs as much as the socket itself at loopback speed.
qsizetype FindBodyEnd(const char *data, qsizetype size);
// The same without the processor's wider instructions, which FindBodyEnd takes where it
// has them.
qsizetype FindBodyEndPortable(const char *data, qsizetype size);
