#include "engine/grouplist.h"

#include "engine/integers.h"
#include "engine/textfields.h"

#include <limits>

qint64 RangeEstimate(qint64 first, qint64 last)
{
    qint64 estimate = 0;
    if (!__builtin_sub_overflow(last, first, &estimate))
        return estimate;
    return last >= 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
}

GroupListAnalyzer::GroupListAnalyzer(HierarchyGroups &groups)
    : groups(groups)
{
    for (int i = 0; i < HierarchyCount; ++i) {
        const std::string_view pattern = HierarchyPatterns[i];
        m_upperPatterns[i]
            = UpperCaseSjis(QByteArrayView(pattern.data(), qsizetype(pattern.size())));
    }
}

void GroupListAnalyzer::reset()
{
    for (HierarchyList &list : groups)
        list.clear();
    GroupCount = 0;
    ListByteCount = 0;
}

void GroupListAnalyzer::GroupListChange(std::span<const QByteArrayView> lines)
{
    for (const QByteArrayView line : lines) {
        SplitFields(line, m_fields, 5, ' ');
        const QByteArrayView name = m_fields[0];
        GroupRange range;
        if (!ReadInt64(m_fields[2], range.First))
            range.First = 0;
        if (!ReadInt64(m_fields[1], range.Last))
            range.Last = 0;
        range.Estimate = RangeEstimate(range.First, range.Last);

        // The patterns are upper-cased once; the name goes through a reused buffer.
        UpperCaseSjis(name, m_upperName);
        for (int i = 0; i < HierarchyCount; ++i) {
            if (MatchUpperCasedPattern(m_upperPatterns[i], m_upperName)) {
                groups[i].push_back({name.toByteArray(), range});
                break;
            }
        }
        ListByteCount += line.size() + 2;
    }
    GroupCount += int(lines.size());
}
