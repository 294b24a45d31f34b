#pragma once

#include <QByteArray>

#include <array>

#include "bench/support/loopbackserver.h"
#include "engine/grouplist.h"

// A LIST body as a large server sends it: "name high low flags" with zero-padded numbers,
// dot-terminated, groups of many hierarchies in no particular order.
struct GroupListBody
{
    QByteArray bytes; // the lines and the terminating ".\r\n"
    qint64 lines = 0;
    // How many lines were made to fall in each of the five hierarchies.
    std::array<qint64, HierarchyCount> hierarchyLines{};
};

// Always the same list for the same count; about 50 bytes a line. Among a million lines,
// about four thousand fall in the five hierarchies, and fewer in proportion in a smaller list
// (at least one each).
GroupListBody MakeGroupListBody(qint64 lines);

// A server that has nothing but its group list: LIST sends body (the bytes of a
// GroupListBody), GROUP finds no group, so a run skips its retention walks, and QUIT ends.
LoopbackServer::Session ListOnlySession(const QByteArray &body);
