#include "engine/bodyend.h"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Bit i set where block[i] is a dot; 64 bytes are readable. Dots are rare in a body (yEnc
// has about one in 256 bytes), so one comparison per byte is all most blocks cost.
quint64 dotMask(const char *block)
{
#if defined(__SSE2__)
    const __m128i dot = _mm_set1_epi8('.');
    quint64 mask = 0;
    for (int i = 0; i < 4; ++i) {
        const auto *at = reinterpret_cast<const __m128i *>(block + 16 * i);
        mask |= quint64(quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(at), dot))))
            << (16 * i);
    }
    return mask;
#else
    quint64 mask = 0;
    for (int i = 0; i < 64; ++i)
        mask |= quint64(block[i] == '.') << i;
    return mask;
#endif
}

template<quint64 (*Mask)(const char *)>
[[gnu::always_inline]] inline qsizetype findBodyEndWith(const char *data, qsizetype size)
{
    const auto isEnd = [&](qsizetype dot) {
        return dot >= 2 && dot + 2 < size && data[dot - 1] == '\n' && data[dot - 2] == '\r'
            && data[dot + 1] == '\r' && data[dot + 2] == '\n';
    };
    qsizetype at = 0;
    for (; at + 64 <= size; at += 64) {
        quint64 mask = Mask(data + at);
        while (mask) {
            const qsizetype dot = at + __builtin_ctzll(mask);
            mask &= mask - 1;
            if (isEnd(dot))
                return dot - 2;
        }
    }
    for (qsizetype dot = at; dot < size; ++dot) {
        if (data[dot] == '.' && isEnd(dot))
            return dot - 2;
    }
    return -1;
}

#if defined(__x86_64__)
// Twice the bytes per comparison where the processor has it: the scan is what the program
// adds to the kernel's copy.
[[gnu::target("avx2")]] quint64 dotMaskAvx2(const char *block)
{
    const __m256i dot = _mm256_set1_epi8('.');
    const auto *at = reinterpret_cast<const __m256i *>(block);
    const quint32 low
        = quint32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(at), dot)));
    const quint32 high
        = quint32(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(at + 1), dot)));
    return quint64(low) | quint64(high) << 32;
}

[[gnu::target("avx2")]] qsizetype findBodyEndAvx2(const char *data, qsizetype size)
{
    return findBodyEndWith<dotMaskAvx2>(data, size);
}

[[gnu::target("avx512bw")]] quint64 dotMaskAvx512(const char *block)
{
    return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(block), _mm512_set1_epi8('.'));
}

[[gnu::target("avx512bw")]] qsizetype findBodyEndAvx512(const char *data, qsizetype size)
{
    return findBodyEndWith<dotMaskAvx512>(data, size);
}
#endif

} // namespace

qsizetype FindBodyEnd(const char *data, qsizetype size)
{
#if defined(__x86_64__)
    static const bool avx512 = __builtin_cpu_supports("avx512bw");
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx512)
        return findBodyEndAvx512(data, size);
    if (avx2)
        return findBodyEndAvx2(data, size);
#endif
    return findBodyEndWith<dotMask>(data, size);
}

std::vector<BodyEndScanner> BodyEndScanners()
{
    std::vector<BodyEndScanner> scanners{[](const char *data, qsizetype size) {
        return findBodyEndWith<dotMask>(data, size);
    }};
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2"))
        scanners.push_back(findBodyEndAvx2);
    if (__builtin_cpu_supports("avx512bw"))
        scanners.push_back(findBodyEndAvx512);
#endif
    return scanners;
}
