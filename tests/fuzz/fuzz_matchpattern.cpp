// MatchPattern and UpperCaseSjis. Input: pattern length byte, pattern, then the name.
#include <QByteArray>
#include <QByteArrayView>

#include <cstddef>
#include <cstdint>

#include "engine/textfields.h"
#include "tests/fuzz/fuzzcheck.h"

namespace {

bool isLeadByte(uchar c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

QByteArray upperModel(QByteArrayView text)
{
    QByteArray out = text.toByteArray();
    for (qsizetype i = 0; i < out.size(); ++i) {
        const uchar c = uchar(out[i]);
        if (isLeadByte(c))
            ++i; // the trail byte stays as it is
        else if (c >= 'a' && c <= 'z')
            out[i] = char(c - 'a' + 'A');
    }
    return out;
}

// Plain wildcard matching, "*" for any run of bytes, by the usual backtracking over the last star.
bool globModel(QByteArrayView pattern, QByteArrayView name)
{
    qsizetype p = 0, n = 0, star = -1, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (star >= 0) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool matchModel(QByteArrayView pattern, QByteArrayView name)
{
    if (pattern.isEmpty())
        return true;
    if (name.isEmpty())
        return false;
    const QByteArray upperPattern = upperModel(pattern);
    const QByteArray upperName = upperModel(name);
    if (upperPattern.front() == '!')
        return !globModel(QByteArrayView(upperPattern).sliced(1), upperName);
    return globModel(upperPattern, upperName);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArrayView rest(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const qsizetype split = qMin<qsizetype>(data[0], rest.size());
    const QByteArrayView pattern = rest.first(split);
    const QByteArrayView name = rest.sliced(split);

    // Upper-casing: the model, both forms alike, a reused buffer no different.
    const QByteArray upperName = UpperCaseSjis(name);
    FUZZ_CHECK(upperName == upperModel(name));
    static QByteArray reused;
    UpperCaseSjis(pattern, reused);
    FUZZ_CHECK(reused == upperModel(pattern));
    UpperCaseSjis(name, reused);
    FUZZ_CHECK(reused == upperName);
    FUZZ_CHECK(UpperCaseSjis(upperName) == upperName);

    const bool matched = MatchPattern(pattern, name);
    FUZZ_CHECK(matched == matchModel(pattern, name));
    FUZZ_CHECK(matched == MatchUpperCasedPattern(UpperCaseSjis(pattern), upperName));
    FUZZ_CHECK(MatchPattern(QByteArrayView(), name));
    if (!name.isEmpty()) {
        FUZZ_CHECK(MatchPattern("*", name));
        FUZZ_CHECK(MatchPattern(name, name) || name.front() == '!');
        if (!pattern.isEmpty() && pattern.front() != '!') {
            const QByteArray inverted = '!' + pattern.toByteArray();
            FUZZ_CHECK(MatchPattern(inverted, name) == !matched);
        }
    } else {
        FUZZ_CHECK(matched == pattern.isEmpty());
    }
    return 0;
}
