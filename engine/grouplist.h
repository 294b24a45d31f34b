#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

struct GroupRange
{
    qint64 Estimate = 0;
    qint64 First = 0;
    qint64 Last = 0;
};

struct GroupEntry
{
    QByteArray name;
    GroupRange range;
};

using HierarchyList = std::vector<GroupEntry>;

// The hierarchies whose groups are filed, in the order their patterns are tried.
enum Hierarchy { ABPE = 0, AS = 1, JBPE = 2, AFJ = 3, ABME = 4, HierarchyCount = 5 };

using HierarchyGroups = std::array<HierarchyList, HierarchyCount>;

inline constexpr std::array<std::string_view, HierarchyCount> HierarchyKeys
    = {"ABPE", "AS", "JBPE", "AFJ", "ABME"};

inline constexpr std::array<std::string_view, HierarchyCount> HierarchyPatterns
    = {"alt.binaries.pictures.erotica*", "alt.sex.*", "japan.binaries.pictures.erotica*",
       "alt.freedom.jbpe*", "alt.binaries.multimedia.erotica.*"};

// Last - First, saturated at the limits of qint64.
qint64 RangeEstimate(qint64 first, qint64 last);

// Reads the lines of a group list ("name highest lowest flags") as they arrive and
// files the groups of the five hierarchies into lists the caller owns.
class GroupListAnalyzer
{
    Q_DISABLE_COPY_MOVE(GroupListAnalyzer)

public:
    explicit GroupListAnalyzer(HierarchyGroups &groups);

    void reset();
    void GroupListChange(std::span<const QByteArrayView> lines);

    HierarchyGroups &groups;
    int GroupCount = 0;
    qint64 ListByteCount = 0;
    // On: the group of the whole list with articles and the largest range is kept as well
    // (the first of equals), the article measurement's source when none of the five
    // hierarchies has an article. Off, as it is unless that measurement is asked for, a line
    // is read no further than its name needs.
    bool KeepLargest = false;
    std::optional<GroupEntry> Largest;

private:
    void noteLargest(QByteArrayView line);
    // "name highest lowest flags": numbers that are not numbers count as 0.
    GroupRange readRange(QByteArrayView line, QByteArrayView &name);
    bool mayMatch(QByteArrayView line) const;
    int matchPrefixes(QByteArrayView line) const;

    // A literal as words of eight bytes: the bytes in lower case, 0x20 where a letter is
    // to be folded, and which bytes of the last word belong to the literal.
    static constexpr int MaxPrefixWords = 4;
    struct Prefix
    {
        std::array<quint64, MaxPrefixWords> lower{};
        std::array<quint64, MaxPrefixWords> fold{};
        std::array<quint64, MaxPrefixWords> keep{};
    };
    std::array<Prefix, HierarchyCount> m_prefixes;
    // The first sixteen bytes of each literal with 0x20 set in every byte, and one bit per
    // byte that belongs to the literal: a test that needs no branch per hierarchy.
    struct Head
    {
        std::array<uchar, 16> folded{};
        quint32 keep = 0;
    };
    std::array<Head, HierarchyCount> m_heads;
    std::vector<QByteArrayView> m_fields;
};
