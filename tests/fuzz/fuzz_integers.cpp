// ReadInt32 and ReadInt64 against a straightforward model of the rule in engine/integers.h.
#include <QByteArray>
#include <QByteArrayView>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/integers.h"
#include "tests/fuzz/fuzzcheck.h"

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Where a number's text begins after leading blanks and one sign; `negative` is the sign.
qsizetype skipBlanksAndSign(QByteArrayView text, bool &negative)
{
    qsizetype i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    return i;
}

// The value a text of the given width (32 or 64 bits) stands for, computed wide.
std::optional<__int128> model(QByteArrayView text, int bits)
{
    bool negative = false;
    const qsizetype i = skipBlanksAndSign(text, negative);
    QByteArrayView rest = text.sliced(i);

    bool hex = false;
    if (rest.startsWith("0x") || rest.startsWith("0X")) {
        hex = true;
        rest = rest.sliced(2);
    } else if (rest.startsWith("$") || rest.startsWith("x") || rest.startsWith("X")) {
        hex = true;
        rest = rest.sliced(1);
    }
    if (rest.isEmpty())
        return std::nullopt;

    const __int128 two = 2;
    const __int128 modulus = two << (bits - 1); // 2^bits
    const __int128 maxValue = modulus / 2 - 1;
    __int128 magnitude = 0;
    if (hex) {
        if (rest.size() > bits / 4)
            return std::nullopt;
        for (const char c : rest) {
            const int digit = hexValue(c);
            if (digit < 0)
                return std::nullopt;
            magnitude = magnitude * 16 + digit;
        }
        // Two's complement of the digits, then the sign.
        __int128 value = magnitude > maxValue ? magnitude - modulus : magnitude;
        if (negative)
            value = -value;
        if (value > maxValue)
            value -= modulus; // only the negated minimum wraps back onto itself
        return value;
    }
    for (const char c : rest) {
        if (c < '0' || c > '9')
            return std::nullopt;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > modulus)
            return std::nullopt; // far past any limit; keeps the wide value from overflowing
    }
    const __int128 value = negative ? -magnitude : magnitude;
    if (value > maxValue || value < -maxValue - 1)
        return std::nullopt;
    return value;
}

// True for blanks, a sign and decimal digits only: the texts whose value prints back.
bool plainDecimal(QByteArrayView text, QByteArray &canonical)
{
    bool negative = false;
    qsizetype i = skipBlanksAndSign(text, negative);
    if (i == text.size())
        return false;
    for (qsizetype j = i; j < text.size(); ++j) {
        if (text[j] < '0' || text[j] > '9')
            return false;
    }
    while (i + 1 < text.size() && text[i] == '0')
        ++i;
    canonical = text.sliced(i).toByteArray();
    if (negative && canonical != "0")
        canonical.prepend('-');
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView text(reinterpret_cast<const char *>(data), qsizetype(size));

    constexpr qint32 untouched32 = 0x5A5A5A5A;
    constexpr qint64 untouched64 = 0x5A5A5A5A5A5A5A5ALL;
    qint32 v32 = untouched32;
    qint64 v64 = untouched64;
    const bool ok32 = ReadInt32(text, v32);
    const bool ok64 = ReadInt64(text, v64);

    const std::optional<__int128> want32 = model(text, 32);
    std::optional<__int128> want64 = want32;
    if (!want64)
        want64 = model(text, 64);

    FUZZ_CHECK(ok32 == want32.has_value());
    FUZZ_CHECK(ok32 ? __int128(v32) == *want32 : v32 == untouched32);
    FUZZ_CHECK(ok64 == want64.has_value());
    FUZZ_CHECK(ok64 ? __int128(v64) == *want64 : v64 == untouched64);
    // Whatever the 32-bit reading accepts, the 64-bit one reads the same.
    FUZZ_CHECK(!ok32 || (ok64 && v64 == v32));

    QByteArray canonical;
    if (plainDecimal(text, canonical)) {
        if (ok32)
            FUZZ_CHECK(QByteArray::number(v32) == canonical);
        if (ok64)
            FUZZ_CHECK(QByteArray::number(v64) == canonical);
    }
    return 0;
}
