#include "engine/integers.h"

#include <limits>
#include <type_traits>

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

template<typename Signed> bool readInteger(QByteArrayView text, Signed &value)
{
    using Unsigned = std::make_unsigned_t<Signed>;
    constexpr int maxHexDigits = int(sizeof(Signed)) * 2;
    constexpr Unsigned maxPositive = Unsigned(std::numeric_limits<Signed>::max());

    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }

    bool hex = false;
    if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i >= n)
        return false; // empty, a lone sign or a lone prefix

    Unsigned magnitude = 0;
    if (hex) {
        if (n - i > maxHexDigits)
            return false;
        for (; i < n; ++i) {
            const int digit = hexDigit(text[i]);
            if (digit < 0)
                return false;
            magnitude = Unsigned(magnitude << 4) | Unsigned(digit);
        }
    } else {
        // The negative limit is one more than the positive one.
        const Unsigned limit = negative ? maxPositive + 1 : maxPositive;
        for (; i < n; ++i) {
            const char c = text[i];
            if (c < '0' || c > '9')
                return false;
            const Unsigned digit = Unsigned(c - '0');
            if (magnitude > (limit - digit) / 10)
                return false;
            magnitude = magnitude * 10 + digit;
        }
    }
    // Unsigned arithmetic wraps as two's complement: "-$80000000" stays the minimum.
    if (negative)
        magnitude = Unsigned(Unsigned(0) - magnitude);
    value = static_cast<Signed>(magnitude);
    return true;
}

} // namespace

bool ReadInt32(QByteArrayView text, qint32 &value)
{
    return readInteger<qint32>(text, value);
}

bool ReadInt64(QByteArrayView text, qint64 &value)
{
    // Whatever the 32-bit reading accepts keeps its value ("$FFFFFFFF" stays -1).
    qint32 narrow = 0;
    if (readInteger<qint32>(text, narrow)) {
        value = narrow;
        return true;
    }
    return readInteger<qint64>(text, value);
}
