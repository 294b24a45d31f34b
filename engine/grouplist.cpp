#include "engine/grouplist.h"

#include "engine/integers.h"
#include "engine/textfields.h"

#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

qint64 RangeEstimate(qint64 first, qint64 last)
{
    qint64 estimate = 0;
    if (!__builtin_sub_overflow(last, first, &estimate))
        return estimate;
    return last >= 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
}

namespace {

// Every hierarchy pattern is a literal of printable ASCII followed by one "*": a name
// matches when it begins with the literal, ASCII case ignored. The analysis relies on that
// form.
constexpr bool isPrefixPattern(std::string_view pattern)
{
    // The literal must fit the four words the comparison holds.
    if (pattern.size() < 2 || pattern.size() > 33 || pattern.front() == '!'
        || pattern.back() != '*')
        return false;
    for (std::size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] == '*' || uchar(pattern[i]) <= ' ' || uchar(pattern[i]) >= 0x80)
            return false;
    }
    return true;
}

constexpr bool allPrefixPatterns()
{
    for (const std::string_view pattern : HierarchyPatterns) {
        if (!isPrefixPattern(pattern))
            return false;
    }
    return true;
}
static_assert(allPrefixPatterns());

} // namespace

GroupListAnalyzer::GroupListAnalyzer(HierarchyGroups &groups)
    : groups(groups)
{
    for (int i = 0; i < HierarchyCount; ++i) {
        const std::string_view literal
            = HierarchyPatterns[i].substr(0, HierarchyPatterns[i].size() - 1);
        Prefix &prefix = m_prefixes[i];
        std::array<uchar, MaxPrefixWords * 8> lower{}, fold{}, keep{};
        for (std::size_t k = 0; k < literal.size(); ++k) {
            const char c = literal[k];
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            lower[k] = uchar(letter ? (c | 0x20) : c);
            fold[k] = letter ? 0x20 : 0;
            keep[k] = 0xff;
        }
        std::memcpy(prefix.lower.data(), lower.data(), lower.size());
        std::memcpy(prefix.fold.data(), fold.data(), fold.size());
        std::memcpy(prefix.keep.data(), keep.data(), keep.size());
        Head &head = m_heads[i];
        for (std::size_t k = 0; k < head.folded.size() && k < literal.size(); ++k) {
            head.folded[k] = uchar(literal[k] | 0x20);
            head.keep |= 1u << k;
        }
    }
}

void GroupListAnalyzer::reset()
{
    for (HierarchyList &list : groups)
        list.clear();
    GroupCount = 0;
    ListByteCount = 0;
    Largest.reset();
}

bool GroupListAnalyzer::mayMatch(QByteArrayView line) const
{
    // Setting 0x20 in every byte folds letters as matchPrefixes does and a few other bytes
    // besides: a line it passes may still fail there, but one it rejects fails there too.
    // No branch depends on the line's text, and in a shuffled list of a million names a
    // branch per byte or per hierarchy would guess wrong often enough to dominate.
    std::array<char, 16> text{};
    const bool whole = line.size() >= qsizetype(text.size());
    if (!whole)
        std::memcpy(text.data(), line.data(), std::size_t(line.size()));
    bool hit = false;
#if defined(__SSE2__)
    const auto *start = reinterpret_cast<const __m128i *>(whole ? line.data() : text.data());
    const __m128i folded = _mm_or_si128(_mm_loadu_si128(start), _mm_set1_epi8(0x20));
    for (const Head &head : m_heads) {
        const __m128i literal
            = _mm_loadu_si128(reinterpret_cast<const __m128i *>(head.folded.data()));
        const auto same = quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(folded, literal)));
        hit |= (same & head.keep) == head.keep;
    }
#else
    if (whole)
        std::memcpy(text.data(), line.data(), text.size());
    for (const Head &head : m_heads) {
        quint32 same = 0;
        for (std::size_t k = 0; k < text.size(); ++k)
            same |= quint32(uchar(text[k] | 0x20) == head.folded[k]) << k;
        hit |= (same & head.keep) == head.keep;
    }
#endif
    return hit;
}

int GroupListAnalyzer::matchPrefixes(QByteArrayView line) const
{
    // The literal holds no blank, CR or NUL, so a line that begins with it has a name that
    // does, and a line shorter than the literal fails on the zeros after it; a Shift-JIS
    // lead byte never equals an ASCII one, so its trail byte is never compared. Eight bytes
    // at a time: OR-ing 0x20 into the bytes where the literal has a letter folds exactly
    // those to lower case. Words past the literal keep nothing and always compare equal.
    std::array<quint64, MaxPrefixWords> text{};
    if (line.size() >= qsizetype(sizeof text))
        std::memcpy(text.data(), line.data(), sizeof text); // most lines: four plain loads
    else
        std::memcpy(text.data(), line.data(), std::size_t(line.size()));
    for (int i = 0; i < HierarchyCount; ++i) {
        const Prefix &prefix = m_prefixes[i];
        // The first word settles nearly every line.
        if (((text[0] | prefix.fold[0]) & prefix.keep[0]) != prefix.lower[0])
            continue;
        quint64 differ = 0;
        for (int w = 1; w < MaxPrefixWords; ++w)
            differ |= ((text[w] | prefix.fold[w]) & prefix.keep[w]) ^ prefix.lower[w];
        if (differ == 0)
            return i;
    }
    return HierarchyCount;
}

GroupRange GroupListAnalyzer::readRange(QByteArrayView line, QByteArrayView &name)
{
    SplitFields(line, m_fields, 5, ' ');
    name = m_fields[0];
    GroupRange range;
    if (!ReadInt64(m_fields[2], range.First))
        range.First = 0;
    if (!ReadInt64(m_fields[1], range.Last))
        range.Last = 0;
    range.Estimate = RangeEstimate(range.First, range.Last);
    return range;
}

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A plain decimal number of at most 18 digits from `at`, ended by a blank or the end of the
// line: no overflow to check. Null when it is anything else.
const char *readPlain(const char *at, const char *end, qint64 &value)
{
    value = 0;
    const char *const begin = at;
    for (; at < end && isDigit(*at); ++at) {
        if (at - begin == 18)
            return nullptr;
        value = value * 10 + (*at - '0');
    }
    if (at == begin || (at < end && *at != ' '))
        return nullptr;
    return at;
}

} // namespace

void GroupListAnalyzer::noteLargest(QByteArrayView line)
{
    // "name highest lowest flags" with plain numbers is read here, without splitting the
    // line; any other line is read as the hierarchies' lines are, so that what is kept is
    // exactly what reading every line so would keep.
    const char *const begin = line.data();
    const char *const end = begin + line.size();
    const auto *blank = static_cast<const char *>(std::memchr(begin, ' ', line.size()));
    // A CR or NUL ends a line's fields wherever it stands.
    const bool plainName = blank && blank != begin && blank + 1 < end
        && !std::memchr(begin, '\r', std::size_t(blank - begin))
        && !std::memchr(begin, '\0', std::size_t(blank - begin));
    qint64 highest = 0, lowest = 0;
    const char *after = plainName ? readPlain(blank + 1, end, highest) : nullptr;
    if (after && after < end)
        after = readPlain(after + 1, end, lowest);
    else
        after = nullptr;
    GroupRange range;
    QByteArrayView name;
    if (after) {
        name = QByteArrayView(begin, blank - begin);
        range = {RangeEstimate(lowest, highest), lowest, highest};
    } else {
        range = readRange(line, name);
    }
    // Only a group with articles can serve, the first of equals.
    if (name.isEmpty() || range.Last <= 0 || range.Last < range.First
        || (Largest && range.Estimate <= Largest->range.Estimate))
        return;
    Largest = GroupEntry{name.toByteArray(), range};
}

void GroupListAnalyzer::GroupListChange(std::span<const QByteArrayView> lines)
{
    QByteArrayView name;
    for (const QByteArrayView line : lines) {
        ListByteCount += line.size() + 2;
        if (KeepLargest)
            noteLargest(line);
        // Nearly every line of a list fails on its first sixteen bytes: it is only counted.
        if (!mayMatch(line))
            continue;
        const int hierarchy = matchPrefixes(line);
        if (hierarchy == HierarchyCount)
            continue;
        const GroupRange range = readRange(line, name);
        groups[hierarchy].push_back({name.toByteArray(), range});
    }
    GroupCount += int(lines.size());
}
