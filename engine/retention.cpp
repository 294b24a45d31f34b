#include "engine/retention.h"

#include <QHash>
#include <QVariant>

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

#include "engine/connection.h"
#include "engine/integers.h"
#include "engine/textfields.h"

namespace {

constexpr int GROUP_SELECTED = 211;
constexpr int HEADERS_FOLLOW = 221;
constexpr int ARTICLE_EXISTS = 223;
constexpr int OVERVIEW_FOLLOWS = 224;
constexpr int HDR_FOLLOWS = 225;
constexpr int NO_CURRENT_ARTICLE = 420;
constexpr int NO_ARTICLE_IN_RANGE = 423;
constexpr int UNKNOWN_COMMAND = 500;

// A date seen this often among the first articles is taken as the oldest one kept.
constexpr int SightingsNeeded = 5;
constexpr qint64 ArticlesPerRequest = 10;
constexpr qint64 MsPerDay = 86400000;
// After NEXT found nothing the rest of the group is most likely empty: one request this wide
// says so, and brings at most this many lines when the server refused at a cancelled article.
constexpr qint64 RequestAfterRefusedNext = ArticlesPerRequest * 100;
// Once STAT and NEXT cannot cross gaps, each empty range doubles the next one up to this
// width: a gap of g numbers then costs about log2(g / 10) requests, and a gap of millions a
// few hundred, while a range that lands among articles brings at most this many lines.
constexpr qint64 WidestRequest = ArticlesPerRequest * 1024;

// The overview field that holds the Date: number, Subject, From, Date (RFC 3977 8.3.2).
constexpr int OverviewDateField = 3;

// The commands that can date a range of articles, in the order they are tried.
enum class DateCommand { Xhdr, Hdr, Xover, Over, None };

// Which of them the server understands belongs to the connection: it is kept on it, and
// dropped when it closes, so that the next run, perhaps to another server, asks again.
constexpr char DateCommandProperty[] = "newsbenchDateCommand";

constexpr std::array<QByteArrayView, 12> MonthNames
    = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

char foldAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

bool equalsIgnoringAsciiCase(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i]))
            return false;
    }
    return true;
}

bool lessIgnoringAsciiCase(QByteArrayView a, QByteArrayView b)
{
    const qsizetype common = qMin(a.size(), b.size());
    for (qsizetype i = 0; i < common; ++i) {
        const uchar x = uchar(foldAscii(a[i]));
        const uchar y = uchar(foldAscii(b[i]));
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

bool isBlankOrControl(char c)
{
    return uchar(c) <= 32;
}

qint64 saturatingAdd(qint64 a, qint64 b)
{
    qint64 sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<qint64>::max() : std::numeric_limits<qint64>::min();
    return sum;
}

// An unsigned decimal number at `pos`, capped so that long digit runs cannot overflow.
bool readKeyNumber(QByteArrayView key, qsizetype &pos, int &value, qsizetype &digits)
{
    constexpr int cap = 1000000;
    const qsizetype start = pos;
    int number = 0;
    while (pos < key.size() && key[pos] >= '0' && key[pos] <= '9') {
        if (number < cap)
            number = number * 10 + (key[pos] - '0');
        ++pos;
    }
    digits = pos - start;
    value = number;
    return digits > 0;
}

struct Sighting
{
    QByteArray key;
    QDate date;
    int count = 0;
};

// The command to start with, and whether it has already worked on this connection.
DateCommand rememberedCommand(const Connection &conn, bool &proven)
{
    const QVariant known = conn.property(DateCommandProperty);
    proven = known.isValid();
    return proven ? DateCommand(known.toInt()) : DateCommand::Xhdr;
}

void rememberCommand(Connection &conn, DateCommand command)
{
    if (!conn.property(DateCommandProperty).isValid()) {
        QObject::connect(
            &conn.ClientSocket1, &ClientSocket::disconnectEvent, &conn,
            [&conn] { conn.setProperty(DateCommandProperty, QVariant()); },
            Qt::SingleShotConnection);
    }
    conn.setProperty(DateCommandProperty, int(command));
}

enum class Answer { Lines, Unknown, Refused };

// Asks for the Date of the articles first..last; an empty range leaves the body empty.
Answer requestDates(Connection &conn, DateCommand command, qint64 first, qint64 last,
                    LineList &body)
{
    QByteArray text;
    int expected = HEADERS_FOLLOW;
    switch (command) {
    case DateCommand::Xhdr: // RFC 2980 2.6
        text = "XHDR Date ";
        break;
    case DateCommand::Hdr: // RFC 3977 8.5
        text = "HDR Date ";
        expected = HDR_FOLLOWS;
        break;
    case DateCommand::Xover: // RFC 2980 2.8
        text = "XOVER ";
        expected = OVERVIEW_FOLLOWS;
        break;
    case DateCommand::Over: // RFC 3977 8.3
        text = "OVER ";
        expected = OVERVIEW_FOLLOWS;
        break;
    case DateCommand::None:
        return Answer::Refused;
    }
    conn.SendCommand(text + QByteArray::number(first) + '-' + QByteArray::number(last) + "\r\n");
    QByteArray reply;
    const int status = conn.ReadMultiLineResponse(body, expected, reply);
    if (status == expected)
        return Answer::Lines;
    if (status == UNKNOWN_COMMAND)
        return Answer::Unknown;
    // RFC 3977 8.3.2, 8.5.2: a range without articles is 423; XOVER's older servers say 420.
    if (command != DateCommand::Xhdr
        && (status == NO_ARTICLE_IN_RANGE || status == NO_CURRENT_ARTICLE)) {
        body.lines.clear();
        return Answer::Lines;
    }
    return Answer::Refused;
}

// The number of the article NEXT moves to: -1 when its answer names none, nothing when it is
// refused.
std::optional<qint64> nextArticle(Connection &conn)
{
    QByteArray reply;
    conn.SendCommand("NEXT\r\n");
    if (conn.ReadResponse(reply) != ARTICLE_EXISTS)
        return std::nullopt;
    // "223 n <message-id> ..."
    const qsizetype firstBlank = reply.indexOf(' ');
    const qsizetype secondBlank = firstBlank < 0 ? -1 : reply.indexOf(' ', firstBlank + 1);
    qint64 next = -1;
    if (secondBlank < 0
        || !ReadInt64(QByteArrayView(reply).sliced(firstBlank + 1, secondBlank - firstBlank - 1),
                      next))
        return -1;
    return next;
}

// The Date value of an overview line and, when the line has fields, its article number.
QByteArrayView overviewDate(QByteArrayView line, qint64 &lastArticleSeen)
{
    // Fields are split at each single tab: an empty Subject is a field of its own.
    qsizetype tab = line.indexOf('\t');
    if (tab < 0)
        return {};
    if (!ReadInt64(line.first(tab), lastArticleSeen))
        lastArticleSeen = -1;
    for (int field = 1; field < OverviewDateField && tab >= 0; ++field)
        tab = line.indexOf('\t', tab + 1);
    if (tab < 0)
        return {};
    const QByteArrayView rest = line.sliced(tab + 1);
    const qsizetype end = rest.indexOf('\t');
    return end < 0 ? rest : rest.first(end);
}

} // namespace

QByteArray DateKey(QByteArrayView headerValue)
{
    QByteArrayView value = headerValue;
    const qsizetype comma = value.indexOf(',');
    if (comma >= 0) {
        value = value.sliced(comma + 1);
        while (!value.isEmpty() && isBlankOrControl(value.front()))
            value = value.sliced(1);
        while (!value.isEmpty() && isBlankOrControl(value.back()))
            value.chop(1);
    }

    std::vector<QByteArrayView> fields;
    SplitFields(value, fields, 5, ' ');
    QByteArray day = fields[0].toByteArray();
    QByteArray month = fields[1].toByteArray();
    const QByteArrayView year = fields[2];

    for (std::size_t i = 0; i < MonthNames.size(); ++i) {
        if (equalsIgnoringAsciiCase(month, MonthNames[i])) {
            month = QByteArray::number(int(i) + 1);
            break;
        }
    }
    if (day.size() == 1)
        day.prepend('0');
    if (month.size() == 1)
        month.prepend('0');

    QByteArray key;
    key.reserve(year.size() + month.size() + day.size() + 2);
    key.append(year).append('/').append(month).append('/').append(day);
    return key;
}

std::optional<QDate> KeyToDate(QByteArrayView key, int currentYear)
{
    std::array<int, 3> numbers{};
    std::array<qsizetype, 3> digits{};
    qsizetype pos = 0;
    for (std::size_t part = 0; part < numbers.size(); ++part) {
        if (part > 0) {
            if (pos >= key.size() || key[pos] != '/')
                return std::nullopt;
            ++pos;
        }
        if (!readKeyNumber(key, pos, numbers[part], digits[part]))
            return std::nullopt;
    }
    if (pos != key.size())
        return std::nullopt;

    int year = numbers[0];
    if (digits[0] <= 2) {
        // The hundred years starting 50 years back: in 2026, "75" is 2075 and "99" is 1999.
        const int windowStart = currentYear - 50;
        const int centuryStart
            = windowStart >= 0 ? windowStart / 100 * 100 : -((-windowStart + 99) / 100) * 100;
        year += centuryStart;
        if (year < windowStart)
            year += 100;
    }
    if (year < 1 || year > 9999 || !QDate::isValid(year, numbers[1], numbers[2]))
        return std::nullopt;
    return QDate(year, numbers[1], numbers[2]);
}

int DaysSince(const QDate &date, const QDateTime &now)
{
    if (!date.isValid() || !now.isValid())
        return 0;
    const qint64 dayDiff = now.date().toJulianDay() - date.toJulianDay();
    // Far outside the int range the milliseconds cannot bring the result back in.
    constexpr qint64 intMax = std::numeric_limits<int>::max();
    constexpr qint64 intMin = std::numeric_limits<int>::min();
    if (dayDiff > intMax + 1)
        return int(intMax);
    if (dayDiff < intMin - 1)
        return int(intMin);
    const qint64 ms = now.time().msecsSinceStartOfDay();
    const qint64 days = (dayDiff * MsPerDay + ms) / MsPerDay;
    return int(qBound(intMin, days, intMax));
}

std::size_t PickLargestGroup(HierarchyList &list)
{
    std::stable_sort(list.begin(), list.end(), [](const GroupEntry &a, const GroupEntry &b) {
        return lessIgnoringAsciiCase(a.name, b.name);
    });
    std::size_t best = list.size();
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (best == list.size() || list[i].range.Estimate > list[best].range.Estimate)
            best = i;
    }
    return best;
}

int EstimateRetention(Connection &conn, HierarchyList &list)
{
    if (list.empty())
        return -1;
    bool proven = false;
    DateCommand command = rememberedCommand(conn, proven);
    if (command == DateCommand::None)
        return 0;
    GroupEntry &group = list[PickLargestGroup(list)];
    GroupRange &range = group.range;

    QByteArray reply;
    conn.SendCommand("GROUP " + group.name + "\r\n");
    if (conn.ReadResponse(reply) != GROUP_SELECTED)
        return 0;

    const int currentYear = QDate::currentDate().year();
    LineList body;
    std::vector<Sighting> tally;
    QHash<QByteArray, std::size_t> tallyIndex; // upper-cased key -> position in tally
    qint64 lastArticleSeen = -1;
    std::optional<QDate> oldestDate;
    // Some servers answer NEXT with 421 at a cancelled article although later ones exist
    // (against RFC 3977 6.1.4), or STAT with 430 for an article just listed: after one such
    // answer the walk goes on, and crosses gaps with ever wider ranges instead.
    bool jumpsWork = true;
    qint64 width = ArticlesPerRequest;

    for (;;) {
        qint64 requestEnd = saturatingAdd(range.First, width - 1);
        if (width > ArticlesPerRequest)
            requestEnd = qMax(saturatingAdd(range.First, ArticlesPerRequest - 1),
                              qMin(requestEnd, range.Last));
        const Answer answer = requestDates(conn, command, range.First, requestEnd, body);
        if (answer == Answer::Unknown && !proven) {
            // RFC 3977 3.2.1: 500 is a command the server does not know; try the next one.
            command = DateCommand(int(command) + 1);
            if (command == DateCommand::None) {
                rememberCommand(conn, command);
                break;
            }
            continue;
        }
        if (answer != Answer::Lines)
            break;
        if (!proven) {
            rememberCommand(conn, command);
            proven = true;
        }
        const bool overview = command == DateCommand::Xover || command == DateCommand::Over;
        range.First = saturatingAdd(requestEnd, 1);

        for (const QByteArray &line : body.lines) {
            QByteArrayView value = line;
            if (overview) {
                value = overviewDate(line, lastArticleSeen);
            } else {
                const qsizetype blank = line.indexOf(' ');
                if (blank >= 0) {
                    if (!ReadInt64(value.first(blank), lastArticleSeen))
                        lastArticleSeen = -1;
                    value = value.sliced(blank + 1);
                }
            }
            const QByteArray key = DateKey(value);
            // A missing or garbled Date ("(none)") says nothing about the age of the group.
            const std::optional<QDate> date = KeyToDate(key, currentYear);
            if (!date)
                continue;
            const auto found = tallyIndex.constFind(UpperCaseSjis(key));
            std::size_t index = 0;
            if (found == tallyIndex.constEnd()) {
                index = tally.size();
                tallyIndex.insert(UpperCaseSjis(key), index);
                tally.push_back({key, *date, 0});
            } else {
                index = found.value();
            }
            if (++tally[index].count == SightingsNeeded) {
                oldestDate = tally[index].date;
                break;
            }
        }

        if (!body.lines.empty()) {
            width = ArticlesPerRequest;
        } else if (!jumpsWork) {
            width = qMin(width * 2, WidestRequest);
        } else if (lastArticleSeen != -1) {
            // Skip a gap in the numbering: find the article after the last one seen.
            conn.SendCommand("STAT " + QByteArray::number(lastArticleSeen) + "\r\n");
            if (conn.ReadResponse(reply) != ARTICLE_EXISTS) {
                jumpsWork = false;
            } else if (const std::optional<qint64> next = nextArticle(conn)) {
                if (*next > range.First)
                    range.First = *next;
            } else {
                jumpsWork = false;
                width = RequestAfterRefusedNext;
            }
        }

        // A request that reached the top of the number space leaves nothing further.
        if (range.First > range.Last || requestEnd == std::numeric_limits<qint64>::max())
            break;
        if (oldestDate)
            break;
    }

    if (!oldestDate && !tally.empty()) {
        std::stable_sort(tally.begin(), tally.end(), [](const Sighting &a, const Sighting &b) {
            return lessIgnoringAsciiCase(a.key, b.key);
        });
        oldestDate = tally.front().date;
    }
    return oldestDate ? DaysSince(*oldestDate, QDateTime::currentDateTime()) : 0;
}
