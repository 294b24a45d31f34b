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
    if (pattern.size() < 2 || pattern.front() == '!' || pattern.back() != '*')
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
    auto lowerCase = [](char c) {
        return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    };
    for (int i = 0; i < HierarchyCount; ++i) {
        const std::string_view pattern = HierarchyPatterns[i];
        Prefix &prefix = m_prefixes[i];
        for (const char c : pattern.substr(0, pattern.size() - 1)) {
            const char lower = lowerCase(c);
            prefix.lower.append(lower);
            prefix.fold.append(lower >= 'a' && lower <= 'z' ? char(0x20) : char(0));
        }
        // The bytes a matching name can begin with, in either case.
        const char first = prefix.lower.front();
        m_firstBytes[uchar(first)] = true;
        m_firstBytes[uchar(first ^ prefix.fold.front())] = true;
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
    for (int i = 0; i < HierarchyCount; ++i) {
        const Prefix &prefix = m_prefixes[i];
        const qsizetype length = prefix.lower.size();
        if (line.size() < length)
            continue;
        qsizetype k = 0;
        for (; k + 8 <= length; k += 8) {
            quint64 text, fold, lower;
            std::memcpy(&text, line.data() + k, 8);
            std::memcpy(&fold, prefix.fold.constData() + k, 8);
            std::memcpy(&lower, prefix.lower.constData() + k, 8);
            if ((text | fold) != lower)
                break;
        }
        if (k + 8 <= length)
            continue;
        while (k < length && char(line[k] | prefix.fold[k]) == prefix.lower[k])
            ++k;
        if (k == length)
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
