#pragma once

#include <QByteArrayView>

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Line ends, for a single reply line and for bulk data alike: a group list is a million short
// lines, and looking for each line end with its own search costs more than everything else
// the list needs. The data is taken 64 bytes at a time, every LF of a block found at once as
// one bit mask.
namespace LineScan {

// Bit i set where block[i] is an LF; the block is 64 readable bytes.
inline quint64 lineFeedMask(const char *block)
{
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    quint64 mask = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * i));
        mask |= quint64(quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lf)))) << (16 * i);
    }
    return mask;
#else
    quint64 mask = 0;
    for (int i = 0; i < 64; ++i)
        mask |= quint64(block[i] == '\n') << i;
    return mask;
#endif
}

// Calls onLine(begin, length) for each line of data[from, size) that ends in CR LF, the CR
// LF not included; a lone LF is an ordinary byte. onLine returns false to stop. Returns
// where the first line not handed over begins: after the line that stopped the scan, or
// the start of the unfinished last line.
template<typename OnLine>
qsizetype forEachLine(QByteArrayView data, qsizetype from, OnLine &&onLine)
{
    const char *const base = data.data();
    const qsizetype size = data.size();
    qsizetype lineStart = from;
    // Every LF at or after `from` ends a line when the byte before it is a CR of the same
    // line: an LF right at a line's start ends nothing.
    for (qsizetype blockStart = from; blockStart < size; blockStart += 64) {
        quint64 mask;
        if (size - blockStart >= 64) {
            mask = lineFeedMask(base + blockStart);
        } else {
            char tail[64] = {};
            std::memcpy(tail, base + blockStart, std::size_t(size - blockStart));
            mask = lineFeedMask(tail);
        }
        while (mask) {
            const qsizetype lf = blockStart + __builtin_ctzll(mask);
            mask &= mask - 1;
            if (lf == lineStart || base[lf - 1] != '\r')
                continue;
            if (!onLine(base + lineStart, lf - 1 - lineStart))
                return lf + 1;
            lineStart = lf + 1;
        }
    }
    return lineStart;
}

// The start of the first CR LF at or after `from`, or -1.
inline qsizetype findCrLf(QByteArrayView data, qsizetype from)
{
    const qsizetype next = forEachLine(data, from, [](const char *, qsizetype) { return false; });
    return next == from ? -1 : next - 2;
}

} // namespace LineScan
