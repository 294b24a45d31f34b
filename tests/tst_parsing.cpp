// Reading text: integers, fields, line ends, the group list and the dates of the retention
// estimate from a server; what the address field takes from the user. One row per rule.
#include <QTest>

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "engine/benchmarkrun.h"
#include "engine/grouplist.h"
#include "engine/integers.h"
#include "engine/retention.h"
#include "engine/sendable.h"
#include "engine/serveraddress.h"
#include "engine/shiftjis.h"
#include "engine/textfields.h"

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 Int64Max = std::numeric_limits<qint64>::max();
constexpr qint64 Int64Min = std::numeric_limits<qint64>::min();

// Which readings accept a text.
enum class Width { None, Only64, Both };

} // namespace

class TestParsing : public QObject
{
    Q_OBJECT

private slots:
    void integers_data();
    void integers();
    void splitFields_data();
    void splitFields();
    void largestGroup_data();
    void largestGroup();
    void groupLines_data();
    void groupLines();
    void groupAndByteCounts();
    void dates_data();
    void dates();
    void counts_data();
    void counts();
    void addresses_data();
    void addresses();
    void sendable_data();
    void sendable();
};

void TestParsing::integers_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<Width>("width");
    QTest::addColumn<qint64>("value");
    auto row = [](const char *name, const QByteArray &text, Width width, qint64 value = 0) {
        QTest::newRow(name) << text << width << value;
    };
    row("leading blanks and sign", "  -15", Width::Both, -15);
    row("long zero padding", "00000000000000000000000000000000000000120", Width::Both, 120);
    row("32-bit max", "2147483647", Width::Both, 2147483647);
    row("32-bit min", "-2147483648", Width::Both, -2147483648LL);
    row("2^31", "2147483648", Width::Only64, 2147483648LL);
    row("64-bit max", "9223372036854775807", Width::Only64, Int64Max);
    row("64-bit min", "-9223372036854775808", Width::Only64, Int64Min);
    row("2^63", "9223372036854775808", Width::None);
    row("below 64-bit min", "-9223372036854775809", Width::None);
    row("dollar hex", "$1F", Width::Both, 31);
    row("x hex", "x1f", Width::Both, 31);
    row("X hex", "X10", Width::Both, 16);
    row("0x hex", "0x10", Width::Both, 16);
    row("8 hex digits are 32 bits wide", "$FFFFFFFF", Width::Both, -1);
    row("8 hex digits negated", "-$FFFFFFFF", Width::Both, 1);
    row("9 hex digits, leading zero", "0x0FFFFFFFF", Width::Only64, 4294967295LL);
    row("hex 64-bit min negated", "-$8000000000000000", Width::Only64, Int64Min);
    row("17 hex digits", "$10000000000000000", Width::None);
    row("lone sign", " -", Width::None);
    row("trailing letter", "12a", Width::None);
    row("two signs", "+-5", Width::None);
    row("sign after prefix", "0x-1", Width::None);
    row("doubled zero prefix", "00x10", Width::None);
}

void TestParsing::integers()
{
    QFETCH(QByteArray, text);
    QFETCH(Width, width);
    QFETCH(qint64, value);

    // A failed reading leaves the value alone.
    qint32 narrow = 77;
    qint64 wide = 77;
    QCOMPARE(ReadInt32(text, narrow), width == Width::Both);
    QCOMPARE(ReadInt64(text, wide), width != Width::None);
    QCOMPARE(narrow, width == Width::Both ? qint32(value) : 77);
    QCOMPARE(wide, width != Width::None ? value : 77);
}

void TestParsing::splitFields_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("minimum");
    QTest::addColumn<char>("delimiter");
    QTest::addColumn<QList<QByteArray>>("fields");
    using L = QList<QByteArray>;
    QTest::newRow("list line") << QByteArray("alt.sex 12 3 y") << 0 << ' '
                               << L{"alt.sex", "12", "3", "y"};
    QTest::newRow("runs separate like one")
        << QByteArray("a   b  c") << 0 << ' ' << L{"a", "b", "c"};
    QTest::newRow("leading run gives one empty field")
        << QByteArray("    a b") << 0 << ' ' << L{"", "a", "b"};
    QTest::newRow("only delimiters") << QByteArray("   ") << 0 << ' ' << L{""};
    QTest::newRow("trailing delimiters") << QByteArray("a b   ") << 0 << ' ' << L{"a", "b"};
    QTest::newRow("empty") << QByteArray() << 0 << ' ' << L{};
    QTest::newRow("padded to minimum") << QByteArray("a b") << 5 << ' ' << L{"a", "b", "", "", ""};
    QTest::newRow("CR ends the text") << QByteArray("a b\r\nc d") << 0 << ' ' << L{"a", "b"};
    QTest::newRow("CR first") << QByteArray("\ra b") << 2 << ' ' << L{"", ""};
    QTest::newRow("NUL ends the text") << QByteArray("a\0b c", 5) << 0 << ' ' << L{"a"};
    QTest::newRow("tab and LF are ordinary")
        << QByteArray("a\tb\nc d") << 0 << ' ' << L{"a\tb\nc", "d"};
    QTest::newRow("other delimiter") << QByteArray("a,,b, c,") << 0 << ',' << L{"a", "b", " c"};
}

void TestParsing::splitFields()
{
    QFETCH(QByteArray, text);
    QFETCH(int, minimum);
    QFETCH(char, delimiter);
    QFETCH(QList<QByteArray>, fields);

    // The list is reused: what a longer text left in it goes.
    std::vector<QByteArrayView> got(7, QByteArrayView("stale"));
    QCOMPARE(SplitFields(text, got, minimum, delimiter), int(fields.size()));
    QList<QByteArray> texts;
    for (const QByteArrayView field : got)
        texts << field.toByteArray();
    QCOMPARE(texts, fields);
}

void TestParsing::groupLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("hierarchy"); // -1: counted, filed nowhere
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<qint64>("estimate");
    auto row = [](const char *label, const QByteArray &line, int hierarchy, qint64 first = 0,
                  qint64 last = 0, qint64 estimate = 0) {
        const qsizetype blank = line.indexOf(' ');
        QTest::newRow(label) << line << hierarchy << (blank < 0 ? line : line.left(blank)) << first
                             << last << estimate;
    };
    row("member of alt.sex.*", "alt.sex.stories 1200 1000 y", AS, 1000, 1200, 200);
    row("capitals keep their name", "ALT.SEX.STORIES 5 3 y", AS, 3, 5, 2);
    row("alt.sex itself is not a member", "alt.sex 10 1 y", -1);
    row("the prefix itself", "alt.binaries.pictures.erotica 20 10 y", ABPE, 10, 20, 10);
    row("a name that goes on without a dot", "alt.binaries.pictures.eroticax 30 10 m", ABPE, 10, 30,
        20);
    row("japan", "japan.binaries.pictures.erotica.x 7 1 y", JBPE, 1, 7, 6);
    row("alt.freedom.jbpe", "alt.freedom.jbpe 8 1 y", AFJ, 1, 8, 7);
    row("multimedia itself is not a member", "alt.binaries.multimedia.erotica 9 1 y", -1);
    row("multimedia member", "alt.binaries.multimedia.erotica.amateur 9 2 y", ABME, 2, 9, 7);
    row("elsewhere", "comp.lang 10 3 y", -1);
    row("leading blank: empty name", " alt.sex.leading 5 3 y", -1);
    row("only a name", "alt.sex.a", AS);
    row("empty group", "alt.sex.a 4 5 y", AS, 5, 4, -1);
    row("above 2^31", "alt.sex.a 3000000000 2147483648 y", AS, 2147483648LL, 3000000000LL,
        852516352LL);
    row("above 2^63", "alt.sex.a 9223372036854775808 5 y", AS, 5, 0, -5);
    row("CR LF left on the line", "alt.sex.a 9 4\r\n", AS, 4, 9, 5);
    row("difference above max saturates", "alt.sex.a 9223372036854775807 -9223372036854775808 y",
        AS, Int64Min, Int64Max, Int64Max);
    row("difference below min saturates", "alt.sex.a -9223372036854775808 9223372036854775807 y",
        AS, Int64Max, Int64Min, Int64Min);
}

void TestParsing::groupLines()
{
    QFETCH(QByteArray, line);
    QFETCH(int, hierarchy);
    QFETCH(QByteArray, name);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(qint64, estimate);

    HierarchyGroups groups;
    GroupListAnalyzer analyzer(groups);
    const QByteArrayView view(line);
    analyzer.GroupListChange(std::span(&view, 1));
    QCOMPARE(analyzer.GroupCount, 1);
    for (int h = 0; h < HierarchyCount; ++h)
        QCOMPARE(groups[h].size(), std::size_t(h == hierarchy));
    if (hierarchy < 0)
        return;
    const GroupEntry &entry = groups[hierarchy][0];
    QCOMPARE(entry.name, name);
    QCOMPARE(entry.range.First, first);
    QCOMPARE(entry.range.Last, last);
    QCOMPARE(entry.range.Estimate, estimate);
}

void TestParsing::largestGroup_data()
{
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<bool>("keep");
    QTest::addColumn<QByteArray>("name"); // empty: none kept
    QTest::addColumn<qint64>("estimate");
    const QList<QByteArray> mixed{"comp.a 100 1 y", "alt.sex.b 50 1 y", "misc.c 500 450 y",
                                  "alt.binaries.multimedia.erotica.d 90 1 y"};
    QTest::newRow("off: nothing kept") << mixed << false << QByteArray() << qint64(0);
    QTest::newRow("the largest range, in a hierarchy or not")
        << mixed << true << QByteArray("comp.a") << qint64(99);
    QTest::newRow("the first of equal ranges")
        << QList<QByteArray>{"a.x 10 1 y", "b.x 10 1 y"} << true << QByteArray("a.x") << qint64(9);
    QTest::newRow("no name, or no numbers, is no group to read")
        << QList<QByteArray>{" blank.name 1000 1 y", "only.a.name", "z.x 3 1 y"} << true
        << QByteArray("z.x") << qint64(2);
    QTest::newRow("a group without articles is none to read")
        << QList<QByteArray>{"e.x 4 5 y", "f.x 0 -9 y", "g.x 3 3 y"} << true << QByteArray("g.x")
        << qint64(0);
    // Once a range of five digits is kept, shorter highest numbers are passed over unread,
    // but for those that could still beat it.
    const QByteArray big = "big.x 100000 1 y";
    QTest::newRow("more digits are read and may win")
        << QList<QByteArray>{big, "less.x 9999 1 y", "same.x 99999 0 y", "more.x 100500 1 y"}
        << true << QByteArray("more.x") << qint64(100499);
    QTest::newRow("as many digits are read and may win")
        << QList<QByteArray>{"low.x 10001 1 y", "high.x 20000 1 y"} << true << QByteArray("high.x")
        << qint64(19999);
    QTest::newRow("a highest with 0x is read")
        << QList<QByteArray>{"big.x 1000000000000000001 1 y", "hex.x 0x7FFFFFFFFFFFFFFF 1 y"}
        << true << QByteArray("hex.x") << Int64Max - 1;
    QTest::newRow("a CR or NUL in the name ends the line")
        << QList<QByteArray>{"cr.x\r 10 1 y", QByteArray("nul.x\0 10 1 y", 14), "ok.x 3 1 y"}
        << true << QByteArray("ok.x") << qint64(2);
    QTest::newRow("a highest past 2^63 is no number")
        << QList<QByteArray>{"ok.x 10 1 y", "huge.x 9999999999999999999 1 y"} << true
        << QByteArray("ok.x") << qint64(9);
    QTest::newRow("a negative lowest is read")
        << QList<QByteArray>{big, "negative.x 5000 -200000 y"} << true << QByteArray("negative.x")
        << qint64(205000);
    QTest::newRow("a hexadecimal highest is read")
        << QList<QByteArray>{big, "hex.x $7FFFFFFF 1 y"} << true << QByteArray("hex.x")
        << qint64(2147483646);
    QTest::newRow("a hexadecimal lowest is read")
        << QList<QByteArray>{big, "wrap.x 5000 0x8000000000000000 y"} << true
        << QByteArray("wrap.x") << Int64Max;
}

void TestParsing::largestGroup()
{
    QFETCH(QList<QByteArray>, lines);
    QFETCH(bool, keep);
    QFETCH(QByteArray, name);
    QFETCH(qint64, estimate);

    HierarchyGroups groups;
    GroupListAnalyzer analyzer(groups);
    analyzer.KeepLargest = keep;
    const std::vector<QByteArrayView> views(lines.cbegin(), lines.cend());
    analyzer.GroupListChange(views);
    QCOMPARE(analyzer.Largest ? analyzer.Largest->name : QByteArray(), name);
    if (analyzer.Largest)
        QCOMPARE(analyzer.Largest->range.Estimate, estimate);
    // What the hierarchies get is the same either way.
    QCOMPARE(qsizetype(groups[AS].size()),
             std::count_if(lines.cbegin(), lines.cend(),
                           [](const QByteArray &line) { return line.startsWith("alt.sex."); }));
    analyzer.reset();
    QVERIFY(!analyzer.Largest);
}

void TestParsing::groupAndByteCounts()
{
    // Batches of 20, 30 and 40 bytes add each line's length and two for its CR LF; an empty
    // batch adds nothing; reset starts from nothing.
    HierarchyGroups groups;
    GroupListAnalyzer analyzer(groups);
    const QList<QByteArray> lines{"comp.a 1 1 y" + QByteArray(8, 'x'),
                                  "comp.b 1 1 y" + QByteArray(18, 'x'),
                                  "comp.c 1 1 y" + QByteArray(28, 'x'), "alt.sex.x 2 1 y", ""};
    const std::vector<QByteArrayView> views(lines.cbegin(), lines.cend());
    analyzer.GroupListChange(std::span(views).first(3));
    QCOMPARE(analyzer.GroupCount, 3);
    QCOMPARE(analyzer.ListByteCount, qint64(96));
    analyzer.GroupListChange({});
    analyzer.GroupListChange(std::span(views).last(2));
    QCOMPARE(analyzer.GroupCount, 5);
    QCOMPARE(analyzer.ListByteCount, qint64(96 + 17 + 2));
    QCOMPARE(groups[AS].size(), std::size_t(1));
    analyzer.reset();
    QCOMPARE(analyzer.GroupCount, 0);
    QCOMPARE(analyzer.ListByteCount, qint64(0));
    QVERIFY(groups[AS].empty());
}

void TestParsing::dates_data()
{
    // A Date header's value gives the key the dates are counted by; the key gives the date.
    QTest::addColumn<QByteArray>("value"); // empty: the row starts from its key
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("currentYear");
    QTest::addColumn<QDate>("date"); // invalid: not a date
    auto row = [](const char *name, const QByteArray &value, const QByteArray &key,
                  const QDate &date, int year = 2026) {
        QTest::newRow(name) << value << key << year << date;
    };
    const QDate none;
    row("with weekday", "Wed, 15 Jan 2003 10:20:30 +0900", "2003/01/15", {2003, 1, 15});
    row("without weekday", "5 Feb 2003 01:02:03 GMT", "2003/02/05", {2003, 2, 5});
    row("month in lower case", "Mon, 3 feb 2003 10:00:00 GMT", "2003/02/03", {2003, 2, 3});
    row("month not among the twelve", "3 February 2003", "2003/February/03", none);
    row("blanks and controls trimmed after the comma", "Wed,  \t15  Jan  2003 \r", "2003/01/15",
        {2003, 1, 15});
    row("no comma, not trimmed", " 5 Feb 2003", "Feb/05/", none);
    row("none", "(none)", "//(none)", none);
    row("second comma kept", "Wed, 15, Jan 2003", "2003/01/15,", none);
    row("two digits, ahead", {}, "75/06/01", {2075, 6, 1});
    row("window in 2010, ahead", {}, "59/01/01", {2059, 1, 1}, 2010);
    row("window in 2010, start", {}, "60/01/01", {1960, 1, 1}, 2010);
    row("window before year 50", {}, "10/01/01", {10, 1, 1}, 49);
    row("window reaching before year 1", {}, "75/01/01", none, 10);
    row("leading zeros", {}, "2003/0000000000000000000001/000000000000015", {2003, 1, 15});
    row("29 Feb, not leap", {}, "2003/02/29", none);
    row("year 0 as written", {}, "0000/01/01", none);
    row("year 10000", {}, "10000/01/01", none);
    row("huge day", {}, "2003/01/4294967311", none);
    row("trailing letter", {}, "2003/01/15x", none);
    row("sign", {}, "+2003/01/15", none);
}

void TestParsing::dates()
{
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, key);
    QFETCH(int, currentYear);
    QFETCH(QDate, date);
    if (!value.isEmpty())
        QCOMPARE(DateKey(value), key);
    QCOMPARE(KeyToDate(key, currentYear).value_or(QDate()), date);
}

void TestParsing::counts_data()
{
    QTest::addColumn<qint64>("got");
    QTest::addColumn<qint64>("expected");
    auto days = [](const char *name, const QDate &date, const QDateTime &now, int expected) {
        QTest::newRow(name) << qint64(DaysSince(date, now)) << qint64(expected);
    };
    const QDate today(2026, 3, 10);
    const QDateTime midnight(today, QTime(0, 0));
    const QDateTime lastMs(today, QTime(23, 59, 59, 999));
    const QDateTime noon(today, QTime(12, 0));
    days("days: today, last moment", today, lastMs, 0);
    days("days: yesterday, last moment", today.addDays(-1), lastMs, 1);
    days("days: two days ahead, noon", today.addDays(2), noon, -1);
    days("days: two days ahead, midnight", today.addDays(2), midnight, -2);
    days("days: years back", QDate(2003, 1, 11), noon, 8459);
    // The ends of the range QDate supports do not wrap.
    days("days: earliest date", QDate::fromJulianDay(-784350574879LL), noon,
         std::numeric_limits<int>::max());
    days("days: no date", QDate(), noon, 0);
    days("days: latest date", QDate::fromJulianDay(784354017364LL), noon,
         std::numeric_limits<int>::min());
    auto speed = [](const char *name, qint64 bytes, qint64 elapsedUs, qint64 expected) {
        QTest::newRow(name) << BytesPerSecond(bytes, elapsedUs) << expected;
    };
    speed("bytes/s: under three seconds", 1500000, 2999000, 500166);
    speed("bytes/s: under a millisecond", 5000, 999, 5005005);
    speed("bytes/s: one byte", 1, 1000000, 1);
    // Loopback can pass 4 GB/s: no 32-bit wrap, no division by zero.
    speed("bytes/s: beyond 32 bits", 50000000, 10000, 5000000000LL);
    speed("bytes/s: no time at all", 100, 0, 100000000);
    speed("bytes/s: saturated", Int64Max, 1, Int64Max);
}

void TestParsing::counts()
{
    QFETCH(qint64, got);
    QFETCH(qint64, expected);
    QCOMPARE(got, expected);
}

void TestParsing::addresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host"); // empty: refused
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("tls");
    QTest::addColumn<QString>("reason"); // a word the reason must hold

    auto ok = [](const char *row, const QString &text, const QString &host, int port, bool tls) {
        QTest::newRow(row) << text << host << port << tls << QString();
    };
    auto refused = [](const char *row, const QString &text, const QString &reason) {
        QTest::newRow(row) << text << QString() << 0 << false << reason;
    };
    ok("name and port", "news.example.com:8119", "news.example.com", 8119, false);
    ok("bracketed IPv6 and port", "[2001:db8::7]:119", "2001:db8::7", 119, false);
    ok("bare IPv6", "2001:db8::7", "2001:db8::7", 119, false);
    ok("nntps with port", "nntps://news.example.com:443", "news.example.com", 443, true);
    ok("scheme in capitals", "NNTPS://news.example.com", "news.example.com", 563, true);
    ok("news scheme", "news://news.example.com/", "news.example.com", 119, false);
    ok("snews scheme", "snews://news.example.com", "news.example.com", 563, true);
    ok("port 563 means TLS", "news.example.com:563", "news.example.com", 563, true);
    ok("Japanese name", "ニュース.example.jp", "ニュース.example.jp", 119, false);
    ok("trailing dot kept for the lookup", "news.example.com.", "news.example.com.", 119, false);
    // What a Japanese input method left on gives: read as the ASCII it stands for.
    ok("full-width colon before the port", u"news.example.com：8119"_s, "news.example.com", 8119,
       false);
    ok("full-width name", u"ｎｅｗｓ．ｅｘａｍｐｌｅ．ｃｏｍ"_s, "news.example.com", 119, false);
    ok("full-width scheme and slashes", u"ｎｎｔｐｓ：／／news.example.com"_s, "news.example.com",
       563, true);

    refused("empty", "", "入力");
    refused("unknown scheme", "http://news.example.com", "http://");
    refused("port 0", "news.example.com:0", "ポート");
    refused("port above 65535", "news.example.com:65536", "ポート");
    refused("port not a number", "news.example.com:abc", "ポート");
    refused("unclosed bracket", "[2001:db8::7:119", "[ ]");
    refused("bracket without IPv6", "[news.example.com]", "IPv6");
    refused("junk after bracket", "[::1]x", "ホスト");
    refused("full-width blank after the name", u"news.example.com　"_s, "空白");
    refused("blank after bare IPv6", "::1 ", "空白");
    refused("CR LF after a name", "news.example.com\r\n", "制御文字");
    refused("CR LF after bare IPv6", "::1\r\n", "制御文字");
    refused("C1 control in the name", u"news\u0085example.com"_s, "制御文字");
    refused("zone ID on bare IPv6", "fe80::1%eth0", "ゾーン");
    refused("zone ID in brackets", "[fe80::1%eth0]:119", "ゾーン");
    refused("nntp to the TLS port", "nntp://news.example.com:563", "nntps://");
    refused("user in the address", "nntps://user@news.example.com", "ホスト");
    refused("a path", "nntp://news.example.com/alt.test", "ホスト");
    refused("too long", QString(256, u'a'), "長すぎ");
}

void TestParsing::addresses()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, tls);
    QFETCH(QString, reason);

    QString why;
    const std::optional<ServerAddress> address = ParseServerAddress(text, &why);
    if (host.isEmpty()) {
        QVERIFY(!address);
        QVERIFY2(why.contains(reason), qPrintable(why));
        return;
    }
    QVERIFY2(address, qPrintable(why));
    QCOMPARE(address->host, host);
    QCOMPARE(int(address->port), port);
    QCOMPARE(address->tls, tls);
}

void TestParsing::sendable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("sendable");

    auto row = [](const char *name, const QString &text, bool sendable) {
        QTest::newRow(name) << text << sendable;
    };
    row("blank and punctuation", u"pass word!~"_s, true);
    row("Japanese", u"パスワード"_s, true);
    row("Japanese with 0x40 to 0x7e as second bytes", u"ソ表ポ～"_s, true);
    row("CR LF", u"secret\r\nHELP"_s, false);
    row("NUL", QString(u"a\0b"_s), false);
    row("unit separator", u"a\x1f"_s, false);
    row("DEL", u"a\x7f"_s, false);
    row("C1 NEL", u"a\u0085"_s, false);
    row("C1 end", u"a\u009f"_s, false);
    row("first after C1", u"a\u00a0"_s, true);
}

void TestParsing::sendable()
{
    // One rule for characters; the bytes of a Shift JIS text follow it for everything that
    // Shift JIS can hold, and two-byte characters never look like a control.
    QFETCH(QString, text);
    QFETCH(bool, sendable);

    QCOMPARE(IsSendable(text), sendable);
    const QByteArray shiftJis = ToShiftJis(text);
    const bool c1 = std::any_of(text.begin(), text.end(),
                                [](QChar c) { return c.unicode() >= 0x80 && c.unicode() <= 0x9f; });
    QCOMPARE(IsSendable(QByteArrayView(shiftJis)), sendable || c1);
}

QTEST_GUILESS_MAIN(TestParsing)
#include "tst_parsing.moc"
