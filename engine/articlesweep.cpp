#include "engine/articlesweep.h"

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

#include "engine/benchmarkrun.h"
#include "engine/connection.h"

namespace {

// The middle sample (the upper one of an even count), or -1 when there is none.
qint64 median(std::vector<qint64> samples)
{
    if (samples.empty())
        return -1;
    const auto middle = samples.begin() + qsizetype(samples.size() / 2);
    std::nth_element(samples.begin(), middle, samples.end());
    return *middle;
}

bool hasArticles(const GroupRange &range)
{
    return range.Last > 0 && range.Last >= range.First;
}

} // namespace

std::optional<GroupEntry> ChooseArticleGroup(const HierarchyGroups &groups,
                                             const std::optional<GroupEntry> &fallback)
{
    const GroupEntry *best = nullptr;
    for (const HierarchyList &list : groups) {
        for (const GroupEntry &entry : list) {
            if (hasArticles(entry.range) && (!best || entry.range.Estimate > best->range.Estimate))
                best = &entry;
        }
    }
    if (best)
        return *best;
    if (fallback && hasArticles(fallback->range))
        return fallback;
    return std::nullopt;
}

ArticleSweep::ArticleSweep() = default;

ArticleSweep::~ArticleSweep()
{
    // Not reached with connections open, as run() closes them; a plain close if it were.
    for (const auto &fetcher : m_fetchers)
        fetcher->close();
}

qint64 ArticleSweep::receivedBytes() const
{
    qint64 total = 0;
    for (const auto &fetcher : m_fetchers)
        total += fetcher->bytesReceived;
    return total;
}

bool ArticleSweep::anyEnded(ArticleSweepResult &result)
{
    if (m_stopRequested) {
        result.stoppedByUser = true;
        result.end = SweepEnd::Stopped;
        return true;
    }
    if (receivedBytes() >= m_byteCap) {
        result.stoppedByCap = true;
        result.end = SweepEnd::ByteCap;
        return true;
    }
    for (const auto &fetcher : m_fetchers) {
        if (fetcher->end() == ArticleFetcher::End::Failed) {
            result.failureReply = fetcher->failureReply;
            result.failureReason = fetcher->failureReason;
            result.end = SweepEnd::Failed;
            return true;
        }
        if (fetcher->end() == ArticleFetcher::End::Lost) {
            result.end = SweepEnd::ConnectionLost;
            return true;
        }
    }
    return false;
}

ArticleSweepResult ArticleSweep::run(const ArticleSweepSettings &settings)
{
    ArticleSweepResult result;
    m_fetchers.clear();
    m_opened = 0;
    m_stopRequested = false;
    m_byteCap = settings.byteCap > 0 ? settings.byteCap : ArticleSweepSettings::DefaultByteCap;
    const int maxConnections
        = qBound(1, settings.maxConnections, ArticleSweepSettings::MaxConnectionsLimit);
    const int stepMs = qMax(1, settings.stepMs);
    m_walk.reset(settings.source.first, settings.source.last);
    if (m_walk.isEmpty()) {
        result.end = SweepEnd::NoArticles;
        return result;
    }

    // The one timer of the sweep: the set-up's limit, then the step's time. Its event also
    // wakes the pump.
    QTimer timer;
    timer.setSingleShot(true);
    // A coarse timer may end a step 5 % early; the figures would still hold, the step time not.
    timer.setTimerType(Qt::PreciseTimer);
    bool timedOut = false;
    QObject::connect(&timer, &QTimer::timeout, [&timedOut] { timedOut = true; });
    bool ended = false;
    bool rangeTaken = false;

    for (int n = qBound(1, settings.firstConnections, maxConnections); !ended;
         n = qMin(n * 2, maxConnections)) {
        if (stepStarted)
            stepStarted(n);
        // Those of the last step finish their article and wait while the new ones open, so
        // that no byte of the set-up counts in a step.
        for (const auto &fetcher : m_fetchers)
            fetcher->setFetching(false);
        while (int(m_fetchers.size()) < n) {
            m_fetchers.push_back(std::make_unique<ArticleFetcher>(
                settings.source, m_walk, m_fetchers.empty() ? StatProbes : 0));
            ++m_opened;
            m_fetchers.back()->start();
        }
        timedOut = false;
        timer.start(SetupSeconds * 1000);
        for (;;) {
            if ((ended = anyEnded(result)))
                break;
            const bool settled
                = std::all_of(m_fetchers.begin(), m_fetchers.end(), [](const auto &fetcher) {
                      const auto state = fetcher->state();
                      return state == ArticleFetcher::State::Ready
                          || state == ArticleFetcher::State::Closed;
                  });
            if (settled || timedOut)
                break;
            Connection::pump();
        }
        timer.stop();
        if (ended)
            break;
        const int ready
            = int(std::count_if(m_fetchers.begin(), m_fetchers.end(),
                                [](const auto &fetcher) { return fetcher->isReady(); }));
        result.acceptedConnections = qMax(result.acceptedConnections, ready);
        if (ready < n) {
            // Refused at the greeting, closed, or silent past the set-up's limit.
            result.refusedMore = true;
            result.end = SweepEnd::Refused;
            break;
        }
        if (!rangeTaken) {
            // The group's answer is newer than the list it was chosen from.
            rangeTaken = true;
            if (m_fetchers.front()->groupRangeKnown)
                m_walk.reset(m_fetchers.front()->groupFirst, m_fetchers.front()->groupLast);
            if (m_walk.isEmpty()) {
                result.end = SweepEnd::NoArticles;
                break;
            }
        }

        const qint64 startBytes = receivedBytes();
        QElapsedTimer clock;
        clock.start();
        timedOut = false;
        timer.start(stepMs);
        for (const auto &fetcher : m_fetchers)
            fetcher->setFetching(true);
        while (!timedOut) {
            if ((ended = anyEnded(result)))
                break;
            if (m_walk.exhausted()) {
                result.end = SweepEnd::NoArticles;
                ended = true;
                break;
            }
            Connection::pump();
        }
        timer.stop();
        ArticleStep step;
        step.connections = n;
        step.bytes = receivedBytes() - startBytes;
        step.elapsedUs = clock.nsecsElapsed() / 1000;
        step.bytesPerSecond = BytesPerSecond(step.bytes, step.elapsedUs);
        // A step the byte cap ended has still measured the server, over the time it ran: on a
        // fast server the cap may come within the first step, and the speed is then all there is.
        step.complete
            = !ended || (result.end == SweepEnd::ByteCap && step.elapsedUs >= MinCappedStepUs);
        result.steps.push_back(step);
        if (step.complete) {
            if (step.bytesPerSecond > result.bestBytesPerSecond) {
                result.bestBytesPerSecond = step.bytesPerSecond;
                result.bestConnections = n;
            }
            if (result.steps.size() >= 2) {
                const ArticleStep &before = result.steps[result.steps.size() - 2];
                // Gains below the threshold: more connections stop paying.
                if (before.complete
                    && step.bytesPerSecond * 100
                        < before.bytesPerSecond * (100 + KneeGainPercent)) {
                    result.knee = n;
                    if (!ended)
                        result.end = SweepEnd::Knee;
                    ended = true;
                }
            }
            if (!ended && n == maxConnections) {
                result.end = SweepEnd::Maximum;
                ended = true;
            }
        }
        if (stepFinished)
            stepFinished(result);
    }

    quitAll();
    result.totalBytes = receivedBytes();
    result.articlesAsked = m_walk.asked();
    result.articlesFound = m_walk.found();
    std::vector<qint64> greetings;
    for (const auto &fetcher : m_fetchers) {
        if (fetcher->greetingUs >= 0)
            greetings.push_back(fetcher->greetingUs);
    }
    result.greetingUs = median(std::move(greetings));
    if (!m_fetchers.empty())
        result.statUs = median(m_fetchers.front()->statUs);
    m_fetchers.clear();
    return result;
}

void ArticleSweep::quitAll()
{
    for (const auto &fetcher : m_fetchers)
        fetcher->quit();
    QTimer limit;
    limit.setSingleShot(true);
    bool timedOut = false;
    QObject::connect(&limit, &QTimer::timeout, [&timedOut] { timedOut = true; });
    limit.start(QuitWaitMs);
    auto allClosed = [this] {
        return std::all_of(m_fetchers.begin(), m_fetchers.end(), [](const auto &fetcher) {
            return fetcher->state() == ArticleFetcher::State::Closed;
        });
    };
    while (!timedOut && !allClosed())
        Connection::pump();
    for (const auto &fetcher : m_fetchers)
        fetcher->close();
}
