#pragma once

#include <QByteArrayView>
#include <QStringView>

#include <array>

#include "engine/grouplist.h"

// The fixed texts of the reports, in one place. The program turns them into Shift-JIS
// when they leave it (clipboard, report address); the blanks are ASCII blanks.

inline constexpr QStringView ReportRule = u"=======================================";
// Whoever runs a report service builds the program against it: cmake
// -DNEWSBENCH_REPORT_BASE=https://reports.example.net sets both addresses below.
#ifndef NEWSBENCH_REPORT_BASE
#define NEWSBENCH_REPORT_BASE "http://newsbench.example.org"
#endif
#define NEWSBENCH_PUBLISHER_PAGE_PATH "/newsgroup/"
#define NEWSBENCH_REPORT_PATH "/benchreport.php3"

inline constexpr QStringView PublisherNotice = u"Published by the newsbench project, 2026";
inline constexpr QStringView PublisherPageUrl
    = u"" NEWSBENCH_REPORT_BASE NEWSBENCH_PUBLISHER_PAGE_PATH;
inline constexpr QByteArrayView PublisherPagePath = NEWSBENCH_PUBLISHER_PAGE_PATH;

// Each field label is 15 bytes in Shift-JIS, so the values line up in a fixed-pitch font.
inline constexpr QStringView LabelName = u"サービス名   : ";
inline constexpr QStringView LabelServerType = u"サービス種別 : ";
inline constexpr QStringView LabelAddress = u"アドレス     : ";
inline constexpr QStringView LabelPostAllowed = u"投稿の可否   : ";
inline constexpr QStringView LabelGroupCount = u"総グループ数 : ";
inline constexpr QStringView LabelSpeed = u"平均速度     : ";

// The speed as "%.2f kbps" formats it in the C locale.
inline constexpr int SpeedDecimals = 2;
inline constexpr QStringView KbpsSuffix = u" kbps";
inline constexpr double BytesToKilobytes = 0.0009765625; // 1/1024

inline constexpr QStringView HeadingCounts = u"主なカテゴリのグループ数";
inline constexpr QStringView HeadingExpires = u"主なカテゴリの保存期間（推定）";
inline constexpr QStringView CountSuffix = u" groups";
inline constexpr QStringView ExpireSuffix = u" 日";

// The labels of the five hierarchies, in the engine's order: ABPE, AS, JBPE, AFJ, ABME.
inline constexpr std::array<QStringView, HierarchyCount> HierarchyLabels = {
    u"alt.binaries.pictures.erotica.* : ",   u"alt.sex.* : ",
    u"japan.binaries.pictures.erotica.* : ", u"alt.freedom.jbpe.* : ",
    u"alt.binaries.multimedia.erotica.* : ",
};

// %s stands for the speed text.
inline constexpr QStringView SpeedNotIntegerMessage = u"'%s' は整数ではありません";
inline constexpr QStringView ClipboardUnavailableMessage = u"クリップボードを開くことができません";

// Windows programs paste CF_TEXT as Shift-JIS; this flavour carries those bytes as well.
inline constexpr char ShiftJisMimeType[] = "text/plain;charset=Shift_JIS";

// The report service; the query follows the "?" directly.
inline constexpr QByteArrayView ReportUrlBase = NEWSBENCH_REPORT_BASE NEWSBENCH_REPORT_PATH "?";
inline constexpr QByteArrayView ReportPath = NEWSBENCH_REPORT_PATH;

// The kinds of service, by the index the report address carries.
inline constexpr std::array<QStringView, 3> ServerTypeNames
    = {u"プロバイダ", u"有料サーバ", u"オープンサーバ"};
