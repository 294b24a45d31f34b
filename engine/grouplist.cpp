#include "engine/grouplist.h"

#include "engine/integers.h"
#include "engine/textfields.h"

#include <cstring>
#include <limits>

qint64 RangeEstimate(qint64 first, qint64 last)
{
    qint64 estimate = 0;
    if (!__builtin_sub_overflow(last, first, &estimate))
        return estimate;
    return last >= 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
}

namespace {

// Every hierarchy pattern is an ASCII literal followed by one "*": a name matches when it
// begins with the literal, ASCII case ignored. The analysis relies on that form.
constexpr bool isPrefixPattern(std::string_view pattern)
{
    // The literal must fit the four words the comparison holds.
    if (pattern.size() < 2 || pattern.size() > 33 || pattern.front() == '!'
        || pattern.back() != '*')
        return false;
    for (std::size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] == '*' || uchar(pattern[i]) >= 0x80)
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
        prefix.length = qsizetype(literal.size());
        prefix.words = int((literal.size() + 7) / 8);
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
        // The bytes a matching name can begin with, in either case.
        m_firstBytes[lower[0]] = true;
        m_firstBytes[uchar(lower[0] ^ fold[0])] = true;
    }
}

void GroupListAnalyzer::reset()
{
    for (HierarchyList &list : groups)
        list.clear();
    GroupCount = 0;
    ListByteCount = 0;
}

int GroupListAnalyzer::matchPrefixes(QByteArrayView line) const
{
    // The literal holds no blank, CR or NUL, so a line that begins with it has a name that
    // does; a Shift-JIS lead byte never equals an ASCII one, so its trail byte is never
    // compared. Eight bytes at a time: OR-ing 0x20 into the bytes where the literal has a
    // letter folds exactly those to lower case.
    std::array<quint64, MaxPrefixWords> text{};
    if (line.size() >= qsizetype(sizeof text))
        std::memcpy(text.data(), line.data(), sizeof text);
    else
        std::memcpy(text.data(), line.data(), std::size_t(line.size()));
    for (int i = 0; i < HierarchyCount; ++i) {
        const Prefix &prefix = m_prefixes[i];
        if (line.size() < prefix.length)
            continue;
        int w = 0;
        while (w < prefix.words && ((text[w] | prefix.fold[w]) & prefix.keep[w]) == prefix.lower[w])
            ++w;
        if (w == prefix.words)
            return i;
    }
    return HierarchyCount;
}

void GroupListAnalyzer::GroupListChange(std::span<const QByteArrayView> lines)
{
    for (const QByteArrayView line : lines) {
        ListByteCount += line.size() + 2;
        // Most lines of a list cannot belong to a hierarchy by their first byte alone: they
        // are only counted. A line that starts with a blank has an empty name, which no
        // pattern of ours matches.
        if (line.isEmpty() || !m_firstBytes[uchar(line.front())])
            continue;
        const int hierarchy = matchPrefixes(line);
        if (hierarchy == HierarchyCount)
            continue;

        // "name highest lowest flags": numbers that are not numbers count as 0.
        SplitFields(line, m_fields, 5, ' ');
        const QByteArrayView name = m_fields[0];
        GroupRange range;
        if (!ReadInt64(m_fields[2], range.First))
            range.First = 0;
        if (!ReadInt64(m_fields[1], range.Last))
            range.Last = 0;
        range.Estimate = RangeEstimate(range.First, range.Last);
        groups[hierarchy].push_back({name.toByteArray(), range});
    }
    GroupCount += int(lines.size());
}
