// GroupListAnalyzer::GroupListChange on arbitrary batches. Input: lines end at '\n', a batch
// ends at '\f'; the result must not depend on how the lines were batched.
#include <QByteArray>
#include <QByteArrayView>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "engine/grouplist.h"
#include "engine/integers.h"
#include "engine/textfields.h"
#include "tests/fuzz/fuzzcheck.h"

namespace {

qint64 estimateModel(qint64 first, qint64 last)
{
    const __int128 wide = __int128(last) - first;
    return qint64(std::clamp<__int128>(wide, std::numeric_limits<qint64>::min(),
                                       std::numeric_limits<qint64>::max()));
}

// Files one line the way the analyzer is meant to, from the public helpers, and keeps the
// largest group with articles, the first of equals.
void fileModel(QByteArrayView line, HierarchyGroups &groups, std::optional<GroupEntry> &largest)
{
    std::vector<QByteArrayView> fields;
    SplitFields(line, fields, 5, ' ');
    GroupRange range;
    if (!ReadInt64(fields[2], range.First))
        range.First = 0;
    if (!ReadInt64(fields[1], range.Last))
        range.Last = 0;
    range.Estimate = estimateModel(range.First, range.Last);
    if (!fields[0].isEmpty() && range.Last > 0 && range.Last >= range.First
        && (!largest || range.Estimate > largest->range.Estimate))
        largest = GroupEntry{fields[0].toByteArray(), range};
    for (int i = 0; i < HierarchyCount; ++i) {
        const std::string_view pattern = HierarchyPatterns[i];
        const QByteArrayView literal(pattern.data(), qsizetype(pattern.size()) - 1);
        if (UpperCaseSjis(fields[0]).startsWith(UpperCaseSjis(literal))) {
            groups[i].push_back({fields[0].toByteArray(), range});
            return;
        }
    }
}

// The lists as one text, for comparing them whole.
QByteArray dump(const HierarchyGroups &groups)
{
    QByteArray text;
    for (const HierarchyList &list : groups) {
        for (const GroupEntry &g : list)
            text += g.name + ' ' + QByteArray::number(g.range.First) + ' '
                + QByteArray::number(g.range.Last) + ' ' + QByteArray::number(g.range.Estimate)
                + '\n';
        text += '\f';
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char *>(data), qsizetype(size));

    // Lines are views into the input, as the reader's views point into its buffer.
    std::vector<std::vector<QByteArrayView>> batches(1);
    std::vector<QByteArrayView> all;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= input.size(); ++i) {
        if (i < input.size() && input[i] != '\n' && input[i] != '\f')
            continue;
        if (i > start || (i < input.size() && input[i] == '\n')) {
            batches.back().push_back(input.sliced(start, i - start));
            all.push_back(batches.back().back());
        }
        if (i < input.size() && input[i] == '\f')
            batches.emplace_back();
        start = i + 1;
    }

    HierarchyGroups groups;
    GroupListAnalyzer analyzer(groups);
    for (const std::vector<QByteArrayView> &batch : batches)
        analyzer.GroupListChange(batch);

    HierarchyGroups want;
    std::optional<GroupEntry> largest;
    qint64 bytes = 0;
    for (const QByteArrayView line : all) {
        fileModel(line, want, largest);
        bytes += line.size() + 2;
    }
    FUZZ_CHECK(analyzer.GroupCount == int(all.size()));
    FUZZ_CHECK(analyzer.ListByteCount == bytes);
    FUZZ_CHECK(dump(groups) == dump(want));
    FUZZ_CHECK(!analyzer.Largest);

    // After reset, the same lines in one batch give the same lists, and the largest group
    // when it is asked for.
    analyzer.reset();
    FUZZ_CHECK(analyzer.GroupCount == 0 && analyzer.ListByteCount == 0);
    analyzer.KeepLargest = true;
    analyzer.GroupListChange(all);
    FUZZ_CHECK(bool(analyzer.Largest) == bool(largest));
    FUZZ_CHECK(!largest
               || (analyzer.Largest->name == largest->name
                   && analyzer.Largest->range.First == largest->range.First
                   && analyzer.Largest->range.Last == largest->range.Last
                   && analyzer.Largest->range.Estimate == largest->range.Estimate));
    FUZZ_CHECK(analyzer.GroupCount == int(all.size()));
    FUZZ_CHECK(analyzer.ListByteCount == bytes);
    FUZZ_CHECK(dump(groups) == dump(want));
    return 0;
}
