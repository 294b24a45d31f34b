// The retention walk over a 100,000-article group whose articles sit in a few clusters with
// wide gaps between them, and whose dates never repeat often enough to stop the walk early:
// the commands it sends against the fewest the walk can do with, and its time against a
// plain client that sends exactly those.
//
//   bench_retention
#include <QCoreApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QLocale>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "bench/support/loopbackserver.h"
#include "bench/support/measure.h"
#include "engine/connection.h"
#include "engine/retention.h"

namespace {

constexpr int Repeats = 3;
constexpr int WalkLimitSeconds = 30;
constexpr qint64 FirstArticle = 1;
constexpr qint64 LastArticle = 100000;
constexpr qint64 PerRequest = 10; // Date headers the walk asks for at a time
constexpr int DatesRepeat = 4; // one short of the sightings that would end the walk
constexpr int AgeOfNewest = 30;
const QByteArray GroupName = "alt.binaries.pictures.erotica.bench";

struct Cluster
{
    qint64 start;
    qint64 size;
};
// Sizes that end on, just past and just short of a request boundary; one single article.
constexpr std::array<Cluster, 9> Clusters = {{{1, 37},
                                              {4200, 120},
                                              {15000, 3},
                                              {27777, 250},
                                              {41000, 1},
                                              {55555, 64},
                                              {70000, 10},
                                              {82345, 95},
                                              {99000, 41}}};

enum Kind { Group, Xhdr, Stat, Next, Other, KindCount };
constexpr std::array<const char *, KindCount> KindNames
    = {"GROUP", "XHDR", "STAT", "NEXT", "other"};
using Tally = std::array<std::atomic<int>, KindCount>;
using Counts = std::array<int, KindCount>;

Counts snapshot(const Tally &tally)
{
    Counts counts{};
    for (int k = 0; k < KindCount; ++k)
        counts[k] = tally[k].load();
    return counts;
}

struct Spool
{
    std::vector<qint64> numbers; // ascending
    std::vector<QByteArray> dates;
    int oldestAgeDays = 0;
};

// Oldest first, each date on DatesRepeat consecutive articles.
Spool makeSpool()
{
    Spool spool;
    for (const Cluster &c : Clusters) {
        for (qint64 n = c.start; n < c.start + c.size; ++n)
            spool.numbers.push_back(n);
    }
    const int dayCount = int((spool.numbers.size() + DatesRepeat - 1) / DatesRepeat);
    spool.oldestAgeDays = AgeOfNewest + dayCount - 1;
    const QDate oldest = QDate::currentDate().addDays(-spool.oldestAgeDays);
    for (std::size_t i = 0; i < spool.numbers.size(); ++i) {
        const QDate date = oldest.addDays(qint64(i) / DatesRepeat);
        spool.dates.push_back(
            QLocale::c().toString(date, QStringLiteral("ddd, dd MMM yyyy")).toLatin1()
            + " 12:00:00 +0000");
    }
    return spool;
}

QByteArray articleReply(qint64 number, const char *what)
{
    return "223 " + QByteArray::number(number) + " <" + QByteArray::number(number)
        + "@bench.invalid> " + what + "\r\n";
}

// An NNTP server holding one group; tallies the commands it is sent.
LoopbackServer::Session spoolSession(const Spool &spool, Tally &tally)
{
    auto current = std::make_shared<std::size_t>(0);
    return [&spool, &tally, current](const QByteArray &command) -> LoopbackServer::Reply {
        const QList<QByteArray> words = command.split(' ');
        const QByteArray verb = words.value(0).toUpper();
        const auto &numbers = spool.numbers;
        if (verb == "GROUP") {
            ++tally[Group];
            *current = 0;
            return {{"211 " + QByteArray::number(qsizetype(numbers.size())) + ' '
                     + QByteArray::number(FirstArticle) + ' ' + QByteArray::number(LastArticle)
                     + ' ' + words.value(1) + "\r\n"}};
        }
        if (verb == "XHDR") {
            ++tally[Xhdr];
            const QList<QByteArray> range = words.value(2).split('-');
            const qint64 from = range.value(0).toLongLong();
            const qint64 to = range.value(1).toLongLong();
            QByteArray reply = "221 Date fields follow\r\n";
            auto it = std::lower_bound(numbers.begin(), numbers.end(), from);
            for (; it != numbers.end() && *it <= to; ++it) {
                reply += QByteArray::number(*it) + ' '
                    + spool.dates[std::size_t(it - numbers.begin())] + "\r\n";
            }
            return {{reply + ".\r\n"}};
        }
        if (verb == "STAT") {
            ++tally[Stat];
            const qint64 wanted = words.value(1).toLongLong();
            const auto it = std::lower_bound(numbers.begin(), numbers.end(), wanted);
            if (it == numbers.end() || *it != wanted)
                return {{"423 no article with that number\r\n"}};
            *current = std::size_t(it - numbers.begin());
            return {{articleReply(wanted, "status")}};
        }
        if (verb == "NEXT") {
            ++tally[Next];
            if (*current + 1 >= numbers.size())
                return {{"421 no next article in this group\r\n"}};
            ++*current;
            return {{articleReply(numbers[*current], "retrieved")}};
        }
        ++tally[Other];
        if (verb == "QUIT")
            return {{"205 closing connection\r\n"}, true};
        return {{"500 command not recognized\r\n"}};
    };
}

bool layoutIsWide()
{
    // Every request after a cluster's last one must find nothing, so that each gap costs the
    // same: one empty XHDR, a STAT and a NEXT.
    for (std::size_t i = 0; i < Clusters.size(); ++i) {
        const Cluster &c = Clusters[i];
        const qint64 requests = (c.size + PerRequest - 1) / PerRequest;
        const qint64 emptyEnd = c.start + (requests + 1) * PerRequest - 1;
        const qint64 nextStart = i + 1 < Clusters.size() ? Clusters[i + 1].start : LastArticle + 1;
        if (emptyEnd >= nextStart || emptyEnd > LastArticle)
            return false;
    }
    return Clusters.front().start == FirstArticle;
}

// The walk with nothing wasted, from the layout alone: per cluster its requests, then per gap
// the empty request that finds it, a STAT on the last article seen and a NEXT over the gap.
// After the last cluster NEXT finds nothing; as some servers say so at a cancelled article
// with later ones still there, one request over the rest of the group must confirm it.
std::vector<QByteArray> fewestCommands()
{
    std::vector<QByteArray> commands{"GROUP " + GroupName};
    qint64 walked = FirstArticle;
    for (const Cluster &c : Clusters) {
        const qint64 requests = (c.size + PerRequest - 1) / PerRequest;
        for (qint64 r = 0; r <= requests; ++r) {
            const qint64 from = c.start + r * PerRequest;
            commands.push_back("XHDR Date " + QByteArray::number(from) + '-'
                               + QByteArray::number(from + PerRequest - 1));
            walked = from + PerRequest;
        }
        commands.push_back("STAT " + QByteArray::number(c.start + c.size - 1));
        commands.push_back("NEXT");
    }
    if (walked <= LastArticle) {
        commands.push_back("XHDR Date " + QByteArray::number(walked) + '-'
                           + QByteArray::number(LastArticle));
    }
    return commands;
}

Counts countKinds(const std::vector<QByteArray> &commands)
{
    Counts counts{};
    for (const QByteArray &command : commands) {
        const QByteArray verb = command.split(' ').value(0);
        const int kind = verb == "GROUP" ? Group
            : verb == "XHDR"             ? Xhdr
            : verb == "STAT"             ? Stat
            : verb == "NEXT"             ? Next
                                         : Other;
        ++counts[kind];
    }
    return counts;
}

// Reads up to the end of one reply: a line, or a dot-terminated body.
bool readReply(int fd, QByteArray &pending, bool multiLine)
{
    for (;;) {
        const qsizetype end = multiLine
            ? (pending.startsWith("221") ? pending.indexOf("\r\n.\r\n") : pending.indexOf("\r\n"))
            : pending.indexOf("\r\n");
        if (end >= 0) {
            pending.remove(0, end + (multiLine && pending.startsWith("221") ? 5 : 2));
            return true;
        }
        char chunk[16384];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return false;
        pending.append(chunk, got);
    }
}

// A blocking client sending exactly the fewest commands, one at a time, as the walk does.
qint64 replayFewest(quint16 port, const std::vector<QByteArray> &commands, bool &ok)
{
    ok = false;
    const int fd = ConnectLoopback(port);
    if (fd < 0)
        return 0;
    QByteArray pending;
    ok = readReply(fd, pending, false);
    QElapsedTimer clock;
    clock.start();
    for (const QByteArray &command : commands) {
        const QByteArray line = command + "\r\n";
        if (!ok || !SendAll(fd, line.constData(), line.size()))
            break;
        ok = readReply(fd, pending, command.startsWith("XHDR"));
    }
    const qint64 elapsedUs = clock.nsecsElapsed() / 1000;
    if (ok)
        ok = SendAll(fd, "QUIT\r\n", 6) && readReply(fd, pending, false);
    ::close(fd);
    return elapsedUs;
}

struct Walk
{
    bool ok = false;
    int days = 0;
    qint64 elapsedUs = 0;
};

Walk walkProgram(quint16 port)
{
    Walk walk;
    Connection connection;
    connection.ClientSocket1.setHost(QStringLiteral("127.0.0.1"));
    connection.ClientSocket1.setPort(port);
    connection.IdleCountdown = Connection::IdleSeconds;
    connection.Timer1.start();
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, &connection,
                     [&connection] { connection.ClientSocket1.close(); });
    watchdog.start(WalkLimitSeconds * 1000);
    try {
        QByteArray reply;
        if (connection.connectToServer() && connection.ReadResponse(reply) == 200) {
            const GroupRange range{RangeEstimate(FirstArticle, LastArticle), FirstArticle,
                                   LastArticle};
            HierarchyList list{{GroupName, range}};
            QElapsedTimer clock;
            clock.start();
            walk.days = EstimateRetention(connection, list);
            walk.elapsedUs = clock.nsecsElapsed() / 1000;
            connection.SendCommand("QUIT\r\n");
            walk.ok = connection.ReadClosingResponse(reply) == 205;
        }
    } catch (const EAbort &) {
        walk.ok = false;
    }
    connection.ClientSocket1.close();
    connection.Timer1.stop();
    return walk;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (!layoutIsWide()) {
        std::printf("the cluster layout has a gap narrower than a request: fix Clusters\n");
        return 1;
    }
    const Spool spool = makeSpool();
    Tally tally{};
    LoopbackServer server("200 bench news server ready\r\n",
                          [&spool, &tally] { return spoolSession(spool, tally); });

    const std::vector<QByteArray> fewest = fewestCommands();
    const Counts needed = countKinds(fewest);
    std::vector<qint64> programUs, baselineUs;
    Counts sent{};
    bool ok = true;
    bool sameEveryTime = true;
    int days = 0;
    for (int r = 0; r < Repeats; ++r) {
        bool replayed = false;
        baselineUs.push_back(replayFewest(server.port(), fewest, replayed));
        const Counts before = snapshot(tally);
        const Walk walk = walkProgram(server.port());
        const Counts after = snapshot(tally);
        Counts thisWalk{};
        for (int k = 0; k < KindCount; ++k)
            thisWalk[k] = after[k] - before[k] - (k == Other ? 1 : 0); // less its QUIT
        sameEveryTime = sameEveryTime && (r == 0 || thisWalk == sent);
        sent = thisWalk;
        ok = ok && replayed && walk.ok;
        days = walk.days;
        programUs.push_back(walk.elapsedUs);
    }
    server.stop();

    int sentTotal = 0;
    int neededTotal = 0;
    std::printf("Retention walk: %lld articles numbered %lld-%lld in %zu clusters, dates seen at "
                "most %d times each; best of %d\n",
                static_cast<long long>(spool.numbers.size()), static_cast<long long>(FirstArticle),
                static_cast<long long>(LastArticle), Clusters.size(), DatesRepeat, Repeats);
    std::printf("  %-8s %8s %8s\n", "command", "sent", "fewest");
    for (int k = 0; k < KindCount; ++k) {
        std::printf("  %-8s %8d %8d\n", KindNames[k], sent[k], needed[k]);
        sentTotal += sent[k];
        neededTotal += needed[k];
    }
    std::printf("  %-8s %8d %8d   ratio sent/fewest: %.2f%s\n", "total", sentTotal, neededTotal,
                double(sentTotal) / double(qMax(1, neededTotal)),
                sameEveryTime ? "" : " (differed between repeats)");
    std::printf("  elapsed ms: program %.2f [%s], baseline (plain client sending the fewest) %.2f "
                "[%s], ratio %.2f\n",
                double(Smallest(programUs)) / 1000.0, MillisecondList(programUs).constData(),
                double(Smallest(baselineUs)) / 1000.0, MillisecondList(baselineUs).constData(),
                double(Smallest(programUs)) / double(qMax<qint64>(1, Smallest(baselineUs))));
    std::printf("  estimate: %d days (the oldest date is %d days old)\n", days,
                spool.oldestAgeDays);
    std::printf(
        "target met: %s\n",
        YesNo(ok && sameEveryTime && sentTotal <= neededTotal && days == spool.oldestAgeDays));
    return ok ? 0 : 1;
}
