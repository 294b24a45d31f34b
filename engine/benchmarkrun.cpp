#include "engine/benchmarkrun.h"

#include <QElapsedTimer>

#include <functional>
#include <limits>
#include <stdexcept>

#include "engine/retention.h"
#include "engine/sendable.h"
#include "engine/serveraddress.h"
#include "engine/shiftjis.h"

namespace {

// RFC 3977 5.1.1, 7.2 and RFC 4643 2.3
constexpr int POSTING_ALLOWED = 200;
constexpr int POSTING_PROHIBITED = 201;
constexpr int AUTH_ACCEPTED = 281;
constexpr int PASSWORD_REQUIRED = 381;
constexpr int LIST_FOLLOWS = 215;

const QString PostAllowedText = QStringLiteral("可");
const QString PostProhibitedText = QStringLiteral("不可");
const QString ReasonUserControl = QStringLiteral("ユーザ ID に改行などの制御文字が含まれています");
const QString ReasonPasswordControl
    = QStringLiteral("パスワードに改行などの制御文字が含まれています");

// A pasted line break in a login would end its AUTHINFO line early and send the rest as a
// command of its own (RFC 3977 3.1): empty when both may be sent.
QString loginRefusal(const QByteArray &user, const QByteArray &password)
{
    if (!IsSendable(user))
        return ReasonUserControl;
    if (!IsSendable(password))
        return ReasonPasswordControl;
    return {};
}

// The value as read for its command, or the run ends.
QByteArray sendable(const QByteArray &value, const QString &refusal)
{
    if (!IsSendable(value))
        throw std::runtime_error(refusal.toStdString());
    return value;
}

// Hands each batch of the LIST body to the analysis and shows the running total. The
// screen is refreshed at most every RefreshMs while batches stream in: faster than the eye,
// and painting after every megabyte would cost a fast server a third of its measured speed.
class GroupListSink : public BodySink
{
public:
    static constexpr qint64 RefreshMs = 40;

    GroupListSink(GroupListAnalyzer &analyzer, std::function<void()> showCount)
        : m_analyzer(analyzer)
        , m_showCount(std::move(showCount))
    {
    }
    void bodyBatch(std::span<const QByteArrayView> lines) override
    {
        m_analyzer.GroupListChange(lines);
        m_pending = true;
        if (!m_shown.isValid() || m_shown.hasExpired(RefreshMs))
            showNow();
    }
    // The total as it stands, whatever the time: at the end of the body.
    void showNow()
    {
        if (!m_pending)
            return;
        m_showCount();
        m_pending = false;
        m_shown.start();
    }

private:
    GroupListAnalyzer &m_analyzer;
    std::function<void()> m_showCount;
    QElapsedTimer m_shown;
    bool m_pending = false;
};

} // namespace

qint64 BytesPerSecond(qint64 bytes, qint64 elapsedUs)
{
    if (bytes <= 0)
        return 0;
    // A list on loopback can take less than a microsecond per read; never divide by zero.
    const unsigned __int128 perSecond = static_cast<unsigned __int128>(bytes) * 1000000u
        / static_cast<quint64>(qMax<qint64>(1, elapsedUs));
    return perSecond > std::numeric_limits<qint64>::max() ? std::numeric_limits<qint64>::max()
                                                          : static_cast<qint64>(perSecond);
}

BenchmarkRun::BenchmarkRun()
    : analyzer(hierarchyGroups)
{
}

void BenchmarkRun::show(RunView &view, ResultField field, const QString &text)
{
    m_written.set(std::size_t(field));
    view.showResult(field, text);
}

void BenchmarkRun::stop()
{
    m_stopRequested = true;
    connection.ClientSocket1.close();
    articleSweep.stop();
}

RunOutcome BenchmarkRun::execute(RunView &view)
{
    m_written.reset();
    ListRefusal.clear();
    Articles.reset();
    ArticleByteCap = 0;
    m_stopRequested = false;
    const ArticleOptions articleOptions = view.articleOptions();
    analyzer.KeepLargest = articleOptions.enabled;
    QString refusal;
    const std::optional<ServerAddress> address = ParseServerAddress(view.serverAddress(), &refusal);
    if (!address) {
        // Nothing is sent anywhere for an address that cannot be used.
        view.showRunFailure(refusal);
        return RunOutcome::NoConnection;
    }
    RunOutcome outcome = RunOutcome::Completed;
    QString failure;
    try {
        if (view.useAuthentication()) {
            if (const QString login = loginRefusal(view.authUser(), view.authPassword());
                !login.isEmpty()) {
                view.showRunFailure(login);
                return RunOutcome::NoConnection;
            }
        }
        connection.ClientSocket1.setHost(address->host);
        connection.ClientSocket1.setPort(m_portOverride.value_or(address->port));
        connection.ClientSocket1.setTls(address->tls);
        connection.IdleCountdown = Connection::IdleSeconds;
        connection.Timer1.start();
        view.highlightStage(Stage::Post, -1);
        if (!connection.connectToServer()) {
            connection.ClientSocket1.close();
            outcome = RunOutcome::NoConnection;
            // A refused or unknown server explains itself; a refused certificate does not.
            if (!connection.failureReason.isEmpty())
                view.showRunFailure(connection.failureReason);
        } else {
            steps(view);
        }
    } catch (const EAbort &abort) {
        outcome = RunOutcome::Failed;
        failure = FromShiftJis(abort.message());
    } catch (const std::exception &error) {
        outcome = RunOutcome::Failed;
        failure = QString::fromUtf8(error.what());
    } catch (...) {
        // Nothing may leave the window in the middle of a run.
        outcome = RunOutcome::Failed;
    }
    if (outcome == RunOutcome::Failed) {
        connection.ClientSocket1.close();
        view.showRunFailure(failure);
    }
    connection.Timer1.stop();
    // Only after a normal end, with the conversation's connection closed: the measurement's
    // own connections never share the server with it.
    if (outcome == RunOutcome::Completed && articleOptions.enabled
        && !measureArticles(view, *address, articleOptions))
        outcome = RunOutcome::Stopped;
    return outcome;
}

bool BenchmarkRun::measureArticles(RunView &view, const ServerAddress &address,
                                   const ArticleOptions &options)
{
    view.highlightStage(Stage::Articles, -1);
    ArticleByteCap = options.byteCap;
    ArticleSweepResult result;
    const std::optional<GroupEntry> group = ChooseArticleGroup(hierarchyGroups, analyzer.Largest);
    QString login;
    ArticleSweepSettings settings;
    try {
        if (view.useAuthentication()) {
            settings.source.user = view.authUser();
            settings.source.password = view.authPassword();
            login = loginRefusal(settings.source.user, settings.source.password);
        }
    } catch (const std::exception &error) {
        login = QString::fromUtf8(error.what());
    }
    if (m_stopRequested) {
        result.end = SweepEnd::Stopped;
        result.stoppedByUser = true;
    } else if (!login.isEmpty()) {
        // Nothing is sent: the fields were changed while the run went on.
        result.end = SweepEnd::Failed;
        result.failureReason = login;
    } else if (!group) {
        result.end = SweepEnd::NoArticles;
    } else {
        ArticleSource &source = settings.source;
        source.host = address.host;
        source.port = m_portOverride.value_or(address.port);
        source.tls = address.tls;
        source.group = group->name;
        source.first = group->range.First;
        source.last = group->range.Last;
        source.trustedAuthorities = connection.ClientSocket1.trustedAuthorities();
        source.lookupResult = connection.ClientSocket1.lookupResult();
        settings.maxConnections = options.maxConnections;
        settings.stepMs = options.stepMs;
        settings.byteCap = options.byteCap;
        articleSweep.stepStarted = [&view](int connections) {
            view.showArticleStep(connections);
        };
        articleSweep.stepFinished = [&view](const ArticleSweepResult &sofar) {
            view.showArticleResults(sofar);
        };
        result = articleSweep.run(settings);
        articleSweep.stepStarted = nullptr;
        articleSweep.stepFinished = nullptr;
    }
    Articles = result;
    view.showArticleResults(result);
    return result.end != SweepEnd::Stopped;
}

void BenchmarkRun::steps(RunView &view)
{
    QByteArray reply;
    int status = connection.ReadResponse(reply);
    if (status == POSTING_ALLOWED) {
        PostAllowed = true;
        show(view, ResultField::PostAllowed, PostAllowedText);
    } else if (status == POSTING_PROHIBITED) {
        PostAllowed = false;
        show(view, ResultField::PostAllowed, PostProhibitedText);
    } else {
        throw EAbort(reply);
    }

    if (view.useAuthentication()) {
        // RFC 4643 2.3: user name first, then the password.
        connection.SendCommand("AUTHINFO USER " + sendable(view.authUser(), ReasonUserControl)
                               + "\r\n");
        if (connection.ReadResponse(reply) != PASSWORD_REQUIRED)
            throw EAbort(reply);
        connection.SendCommand("AUTHINFO PASS "
                               + sendable(view.authPassword(), ReasonPasswordControl) + "\r\n");
        if (connection.ReadResponse(reply) != AUTH_ACCEPTED)
            throw EAbort(reply);
    }

    view.highlightStage(Stage::Groups, -1);
    analyzer.reset();
    connection.ListElapsedUs = 0;
    GroupListSink sink(analyzer, [&] {
        show(view, ResultField::GroupCount, QString::number(analyzer.GroupCount));
    });
    connection.SendCommand("LIST\r\n");
    status = connection.ReadMultiLineResponse(sink, LIST_FOLLOWS, reply);
    sink.showNow();
    if (status == LIST_FOLLOWS) {
        view.highlightStage(Stage::Speed, -1);
        ListElapsedUs = connection.ListElapsedUs;
        Speed = BytesPerSecond(analyzer.ListByteCount, ListElapsedUs);
        show(view, ResultField::Speed, QString::number(Speed));

        view.highlightStage(Stage::Feed, -1);
        for (int h = 0; h < HierarchyCount; ++h)
            show(view, countField(h), QString::number(hierarchyGroups[h].size()));

        for (int h = 0; h < HierarchyCount; ++h) {
            view.highlightStage(Stage::Expire, h);
            const int days = EstimateRetention(connection, hierarchyGroups[h]);
            show(view, expireField(h), QString::number(days));
        }
    } else if (status != -1) {
        ListRefusal = reply;
    }

    if (!connection.ClientSocket1.isConnected())
        throw EAbort();
    connection.SendCommand("QUIT\r\n");
    // The server may hang up right after its answer, or instead of it: that is the end we asked
    // for.
    connection.ReadClosingResponse(reply);

    // A report must not carry another run's numbers: empty what this run did not reach.
    for (int f = 0; f < ResultFieldCount; ++f) {
        if (!m_written.test(std::size_t(f)))
            view.showResult(ResultField(f), QString());
    }
    connection.ClientSocket1.close();
}
