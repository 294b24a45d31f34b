#pragma once

#include <QByteArray>

#include <array>
#include <string_view>

#include "engine/grouplist.h"

// The sixteen keys of the report query, in the order the report address carries them. The
// desktop program writes them and the report service reads them: both take them from here.
enum ReportKey {
    KeyName,
    KeyType,
    KeyServer,
    KeyPost,
    KeyGroups,
    KeySpeed,
    KeyFirstCount,
    KeyFirstExpire = KeyFirstCount + HierarchyCount,
    ReportKeyCount = KeyFirstExpire + HierarchyCount
};

inline constexpr std::array<std::string_view, KeyFirstCount> PlainReportKeys
    = {"Name", "Type", "Server", "Post", "Groups", "Speed"};

// "Name" … "Speed", then "Count" and "Expire" followed by each hierarchy's key.
inline QByteArray ReportKeyName(int key)
{
    auto bytes = [](std::string_view text) {
        return QByteArray(text.data(), qsizetype(text.size()));
    };
    if (key < KeyFirstCount)
        return bytes(PlainReportKeys[key]);
    if (key < KeyFirstExpire)
        return "Count" + bytes(HierarchyKeys[key - KeyFirstCount]);
    return "Expire" + bytes(HierarchyKeys[key - KeyFirstExpire]);
}
