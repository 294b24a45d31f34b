// DateKey, then KeyToDate, then DaysSince. Input: 2 bytes current year, 8 bytes Julian day of
// "now", 4 bytes time of day, 4 bytes for a made-up well-formed Date header, then header text.
#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QDateTime>
#include <QTime>
#include <QTimeZone>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "engine/retention.h"
#include "tests/fuzz/fuzzcheck.h"

namespace {

template<typename T> T take(const uint8_t *&data, size_t &size)
{
    T value{};
    const size_t n = qMin(size, sizeof(T));
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

std::optional<QDate> keyModel(QByteArrayView key, int currentYear)
{
    std::array<__int128, 3> numbers{};
    qsizetype yearDigits = 0;
    int part = 0;
    qsizetype digits = 0;
    for (const char c : key) {
        if (c == '/') {
            if (digits == 0 || part == 2)
                return std::nullopt;
            if (part == 0)
                yearDigits = digits;
            ++part;
            digits = 0;
        } else if (c >= '0' && c <= '9') {
            if (numbers[part] < 100000000)
                numbers[part] = numbers[part] * 10 + (c - '0');
            ++digits;
        } else {
            return std::nullopt;
        }
    }
    if (part != 2 || digits == 0)
        return std::nullopt;
    __int128 year = numbers[0];
    if (yearDigits <= 2) {
        // The one year with these last two digits in [currentYear - 50, currentYear + 50).
        const __int128 windowStart = __int128(currentYear) - 50;
        year = windowStart + ((year - windowStart) % 100 + 100) % 100;
    }
    if (year < 1 || year > 9999 || numbers[1] > 12 || numbers[2] > 31
        || !QDate::isValid(int(year), int(numbers[1]), int(numbers[2])))
        return std::nullopt;
    return QDate(int(year), int(numbers[1]), int(numbers[2]));
}

int daysModel(const QDate &date, const QDateTime &now)
{
    if (!date.isValid() || !now.isValid())
        return 0;
    const __int128 ms = (__int128(now.date().toJulianDay()) - date.toJulianDay()) * 86400000
        + now.time().msecsSinceStartOfDay();
    const __int128 days = ms / 86400000; // C++ division truncates toward zero
    return int(std::clamp<__int128>(days, std::numeric_limits<int>::min(),
                                    std::numeric_limits<int>::max()));
}

constexpr std::array<const char *, 12> Months
    = {"Jan", "feb", "MAR", "Apr", "may", "Jun", "jUL", "Aug", "Sep", "Oct", "Nov", "Dec"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int currentYear = take<int16_t>(data, size);
    const qint64 nowDay = take<int64_t>(data, size);
    const quint32 nowMs = take<uint32_t>(data, size);
    const std::array<uint8_t, 4> made = take<std::array<uint8_t, 4>>(data, size);
    const QByteArrayView header(reinterpret_cast<const char *>(data), qsizetype(size));

    // Far and invalid Julian days as well; UTC keeps local-time rules out of it.
    const QDateTime now(QDate::fromJulianDay(nowDay),
                        QTime::fromMSecsSinceStartOfDay(int(nowMs % 86400000)), QTimeZone::utc());

    const QByteArray key = DateKey(header);
    FUZZ_CHECK(key.count('/') >= 2);
    FUZZ_CHECK(!key.contains(' ') && !key.contains('\r') && !key.contains('\0'));

    for (const QByteArrayView candidate : {QByteArrayView(key), header}) {
        const std::optional<QDate> date = KeyToDate(candidate, currentYear);
        const std::optional<QDate> want = keyModel(candidate, currentYear);
        FUZZ_CHECK(date.has_value() == want.has_value());
        if (!date)
            continue;
        FUZZ_CHECK(*date == *want);
        FUZZ_CHECK(DaysSince(*date, now) == daysModel(*date, now));
        FUZZ_CHECK(DaysSince(*date, QDateTime(*date, QTime(0, 0), QTimeZone::utc())) == 0);
    }
    // Dates anywhere in QDate's range, not only those a key can name.
    const QDate farDate = QDate::fromJulianDay(nowDay ^ (qint64(made[0]) << 40) ^ nowMs);
    FUZZ_CHECK(DaysSince(farDate, now) == daysModel(farDate, now));

    // A well-formed header built from four bytes comes back as its date.
    const int year = 100 + (made[0] | (made[1] << 8)) % 9900;
    const int month = made[2] % 12 + 1;
    const int day = made[3] % 31 + 1;
    if (QDate::isValid(year, month, day)) {
        QByteArray text = (made[3] & 0x80) ? "Tue, " : "";
        text += QByteArray::number(day) + ' ' + Months[month - 1] + ' ' + QByteArray::number(year)
            + " 12:34:56 +0900";
        if (made[2] & 0x80)
            text += " (JST)\r\n";
        const std::optional<QDate> date = KeyToDate(DateKey(text), currentYear);
        FUZZ_CHECK(date && *date == QDate(year, month, day));
    }
    return 0;
}
