#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QStringList>

#include <array>
#include <string_view>

#include "engine/articlesweep.h"

// The article speed in the reports, for a run that measured it: query keys that follow the
// sixteen of the report address, lines that follow the 28 of the text report, and an object
// for the JSON report. A run without the measurement adds none of them.

enum ArticleReportKey {
    KeyArticleSpeed, // bytes per second of the fastest complete step
    KeyArticleConnections, // its connections
    KeyKnee, // 0: the speed grew to the last step
    KeyConnections, // the most connections the server accepted at once
    KeyMoreRefused, // 1 when it refused one more before the maximum
    KeyGreetingMs, // -1: not measured
    KeyStatMs,
    KeyArticlesAsked,
    KeyArticlesFound,
    KeyArticleBytes, // every byte the measurement downloaded
    KeyArticleEnd, // ArticleEndName of how it ended
    KeyArticleSteps, // "1:123456,2:234567,…": connections:bytes per second of each complete step
    ArticleReportKeyCount
};

inline constexpr std::array<std::string_view, ArticleReportKeyCount> ArticleReportKeys
    = {"ArticleSpeed",  "ArticleConnections", "Knee",       "Connections",
       "MoreRefused",   "GreetingMs",         "StatMs",     "ArticlesAsked",
       "ArticlesFound", "ArticleBytes",       "ArticleEnd", "ArticleSteps"};

// "knee", "maximum", "refused", "cap", "stopped", "lost", "noArticles", "failed".
QByteArray ArticleEndName(SweepEnd end);
inline constexpr int SweepEndCount = int(SweepEnd::Failed) + 1;

// "&ArticleSpeed=…&ArticleEnd=…", ASCII only, in the order of ArticleReportKey.
QByteArray BuildArticleQuery(const ArticleSweepResult &result);

// The lines that follow the text report, without line ends: a blank line, a heading, its rule,
// then one line per figure and one per step. byteCap is the cap the run had.
QStringList BuildArticleReportLines(const ArticleSweepResult &result, qint64 byteCap);

// Every figure and every step.
QJsonObject BuildArticleJson(const ArticleSweepResult &result);

// Microseconds as whole milliseconds, rounded; -1 stays -1.
qint64 RoundedMs(qint64 us);
