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

// "Name" … "Speed", then "Count" and "Expire" followed by each hierarchy's key. Made once:
// the report service compares every form field with all of them.
inline const QByteArray &ReportKeyName(int key)
{
    static const std::array<QByteArray, ReportKeyCount> names = [] {
        auto bytes = [](std::string_view text) {
            return QByteArray(text.data(), qsizetype(text.size()));
        };
        std::array<QByteArray, ReportKeyCount> all;
        for (int k = 0; k < KeyFirstCount; ++k)
            all[k] = bytes(PlainReportKeys[k]);
        for (int i = 0; i < HierarchyCount; ++i) {
            all[KeyFirstCount + i] = "Count" + bytes(HierarchyKeys[i]);
            all[KeyFirstExpire + i] = "Expire" + bytes(HierarchyKeys[i]);
        }
        return all;
    }();
    return names[key];
}
