#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "engine/articlefetcher.h"
#include "engine/articlewalk.h"
#include "engine/grouplist.h"

struct ArticleSweepSettings
{
    static constexpr int DefaultMaxConnections = 8;
    static constexpr int MaxConnectionsLimit = 50;
    static constexpr int DefaultStepMs = 5000;
    static constexpr qint64 DefaultByteCap = 200'000'000;

    ArticleSource source;
    // 1..MaxConnectionsLimit; other values are brought into that range.
    int maxConnections = DefaultMaxConnections;
    // The connections of the first step; the benchmarks start where they measure.
    int firstConnections = 1;
    int stepMs = DefaultStepMs;
    qint64 byteCap = DefaultByteCap;
};

// One step of the sweep: its connections, all fetching, over its time.
struct ArticleStep
{
    int connections = 0;
    qint64 bytes = 0;
    qint64 elapsedUs = 0;
    qint64 bytesPerSecond = 0;
    // Cut short (stop, cap, a lost connection): shown, but neither best nor knee.
    bool complete = true;
};

// Why the sweep ended.
enum class SweepEnd {
    Maximum, // the step with the most connections asked for was run
    Knee, // a step gained less than KneeGainPercent over the one before
    Refused, // the server refused a connection before the maximum
    ByteCap, // the bytes allowed were downloaded
    Stopped, // stop() was called
    ConnectionLost, // the server closed a connection that was fetching
    NoArticles, // the group has no article left to read
    Failed, // an answer that makes the sweep impossible (AUTHINFO, GROUP, BODY refused)
};

struct ArticleSweepResult
{
    std::vector<ArticleStep> steps;
    // The fastest complete step, and its connections; 0 when none completed.
    qint64 bestBytesPerSecond = 0;
    int bestConnections = 0;
    // The connections of the step that gained less than KneeGainPercent; 0 when the speed
    // grew to the last step.
    int knee = 0;
    // The most connections ready at once, and whether the server refused one more.
    int acceptedConnections = 0;
    bool refusedMore = false;
    // Medians in microseconds; -1 when there was nothing to measure.
    qint64 greetingUs = -1;
    qint64 statUs = -1;
    qint64 articlesAsked = 0;
    qint64 articlesFound = 0;
    // Every byte received, set-up and quitting included: what the cap counts.
    qint64 totalBytes = 0;
    bool stoppedByCap = false;
    bool stoppedByUser = false;
    SweepEnd end = SweepEnd::Failed;
    // The server's answer behind Failed, or why TLS failed.
    QByteArray failureReply;
    QString failureReason;
};

// The article speed measurement: one connection, then 2, 4, 8, … up to the maximum (which is
// a step of its own when it is no power of two), each step run for a fixed time once its
// connections are ready; it ends early at the knee, at a refused connection, at the byte cap or
// at stop(). A step keeps the connections of the one before and opens only the new ones; those
// finish their article and wait meanwhile. A step's figure is every byte received over its
// time, status lines and terminators included, as a downloader's meter counts them. It runs on
// the caller's thread and pumps its event loop until it is done, so a window stays responsive
// and its stop button works. Every connection that was open says QUIT and is closed on every
// way out; answers to QUIT are waited for at most QuitWaitMs.
class ArticleSweep
{
    Q_DISABLE_COPY_MOVE(ArticleSweep)

public:
    static constexpr int KneeGainPercent = 5;
    // STATs on the first connection, before its walk: their median is the reply time.
    static constexpr int StatProbes = 5;
    // A connection not ready by then counts as refused.
    static constexpr int SetupSeconds = 30;
    // How long the answers to QUIT are waited for before the sockets are closed.
    static constexpr int QuitWaitMs = 1000;
    // A step the byte cap ended counts when it ran this long: shorter, it measured too little.
    static constexpr qint64 MinCappedStepUs = 250'000;

    ArticleSweep();
    ~ArticleSweep();

    ArticleSweepResult run(const ArticleSweepSettings &settings);
    // Ends the sweep at its next event; safe from any handler on the sweep's thread.
    void stop() { m_stopRequested = true; }

    // Told when a step begins (its connections opening) and when one ends (with its figures,
    // the last entry of the result's steps).
    std::function<void(int connections)> stepStarted;
    std::function<void(const ArticleSweepResult &result)> stepFinished;

    // Connections the last run opened, all told.
    int openedConnections() const { return m_opened; }

private:
    bool anyEnded(ArticleSweepResult &result);
    qint64 receivedBytes() const;
    void quitAll();

    std::vector<std::unique_ptr<ArticleFetcher>> m_fetchers;
    ArticleWalk m_walk;
    qint64 m_byteCap = 0;
    int m_opened = 0;
    bool m_stopRequested = false;
};

// The group to read articles from: the one with the largest range among the hierarchies'
// groups, or `fallback` when none of them has an article.
std::optional<GroupEntry> ChooseArticleGroup(const HierarchyGroups &groups,
                                             const std::optional<GroupEntry> &fallback = {});
