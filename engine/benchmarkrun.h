#pragma once

#include <QByteArray>
#include <QString>

#include <bitset>
#include <optional>

#include "engine/articlesweep.h"
#include "engine/connection.h"
#include "engine/grouplist.h"

struct ServerAddress;

// The stages a run shows in bold, in the order it reaches them.
enum class Stage { None, Post, Groups, Speed, Feed, Expire, Articles };

// The result fields a run writes, as the window shows them.
enum class ResultField {
    PostAllowed,
    GroupCount,
    Speed,
    CountABPE,
    CountAS,
    CountJBPE,
    CountAFJ,
    CountABME,
    ExpireABPE,
    ExpireAS,
    ExpireJBPE,
    ExpireAFJ,
    ExpireABME,
};
constexpr int ResultFieldCount = 13;
constexpr ResultField countField(int hierarchy)
{
    return ResultField(int(ResultField::CountABPE) + hierarchy);
}
constexpr ResultField expireField(int hierarchy)
{
    return ResultField(int(ResultField::ExpireABPE) + hierarchy);
}
// The other way: the hierarchy of a count or retention field.
constexpr bool isExpireField(ResultField field)
{
    return field >= ResultField::ExpireABPE;
}
constexpr int hierarchyOf(ResultField field)
{
    return int(field)
        - int(isExpireField(field) ? ResultField::ExpireABPE : ResultField::CountABPE);
}

// The article speed measurement as the user set it up; off unless asked for.
struct ArticleOptions
{
    bool enabled = false;
    int maxConnections = ArticleSweepSettings::DefaultMaxConnections;
    int stepMs = ArticleSweepSettings::DefaultStepMs;
    qint64 byteCap = ArticleSweepSettings::DefaultByteCap;
};

// What a run needs of the window that shows it.
class RunView
{
public:
    virtual ~RunView() = default;
    // Read once, when the run begins: see ParseServerAddress for what it may hold.
    virtual QString serverAddress() const = 0;
    virtual bool useAuthentication() const = 0;
    // Read at the moment their command is sent, in the bytes they are sent in; also before
    // connecting, to refuse a login that holds a control character.
    virtual QByteArray authUser() const = 0;
    virtual QByteArray authPassword() const = 0;
    // hierarchy is 0..4 in the retention stage, -1 otherwise.
    virtual void highlightStage(Stage stage, int hierarchy) = 0;
    virtual void showResult(ResultField field, const QString &text) = 0;
    // The failure message, shown modally while the run still owns the window. Also for a run
    // that could not connect when there is something to explain: an address that cannot be
    // used, a certificate refused, a TLS handshake that failed.
    virtual void showRunFailure(const QString &message) = 0;

    // Read once, when the run begins. A view without the measurement keeps it off.
    virtual ArticleOptions articleOptions() const { return {}; }
    // A step of the article measurement begins with this many connections.
    virtual void showArticleStep(int connections) { (void)connections; }
    // The article figures so far, after each step, and once more at the end.
    virtual void showArticleResults(const ArticleSweepResult &result) { (void)result; }
};

// Stopped: the user stopped the article measurement, after the main results were in; they
// stand on screen, but an interrupted run is not reported.
enum class RunOutcome { Completed, NoConnection, Failed, Stopped };

// One benchmark over NNTP: greeting, authentication, LIST timed and analysed, a retention
// estimate per hierarchy, QUIT; then, when the view asks for it, the article speed over
// connections of its own.
class BenchmarkRun
{
    Q_DISABLE_COPY_MOVE(BenchmarkRun)

public:
    BenchmarkRun();

    RunOutcome execute(RunView &view);
    // Connects to this port, whatever port the address names: for servers on ports that the
    // address cannot name (the tests' and benchmarks' servers on ephemeral ports).
    void setPortOverride(std::optional<quint16> port) { m_portOverride = port; }
    // The stop button: the conversation's socket is closed, the article measurement ends at
    // its next event, or does not begin. Safe from any handler on the run's thread.
    void stop();

    Connection connection;
    HierarchyGroups hierarchyGroups;
    GroupListAnalyzer analyzer;
    bool PostAllowed = false;
    qint64 Speed = 0;
    // The time of the LIST body, which Speed is measured over; later bodies do not change it.
    qint64 ListElapsedUs = 0;
    // The server's reply when it refused LIST (480 without a login, for instance): the run
    // still ends normally, but without the results that come from the list. Empty otherwise.
    QByteArray ListRefusal;
    // The article figures of this run, when it measured them, and the byte cap it had.
    std::optional<ArticleSweepResult> Articles;
    qint64 ArticleByteCap = 0;
    ArticleSweep articleSweep;

private:
    void steps(RunView &view);
    // After the main conversation has ended; false when the user stopped it.
    bool measureArticles(RunView &view, const ServerAddress &address,
                         const ArticleOptions &options);
    void show(RunView &view, ResultField field, const QString &text);

    std::optional<quint16> m_portOverride;
    bool m_stopRequested = false;
    std::bitset<ResultFieldCount> m_written;
};

// Bytes per second over an elapsed time in microseconds, truncated.
qint64 BytesPerSecond(qint64 bytes, qint64 elapsedUs);
