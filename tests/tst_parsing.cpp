// The pure reading of server text: integers, fields, group patterns, the group list
// analysis and the date keys of the retention estimate.
#include <QTest>

#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "engine/grouplist.h"
#include "engine/integers.h"
#include "engine/linescan.h"
#include "engine/retention.h"
#include "engine/textfields.h"

namespace {

constexpr qint64 Int64Max = std::numeric_limits<qint64>::max();
constexpr qint64 Int64Min = std::numeric_limits<qint64>::min();

QList<QByteArray> split(QByteArrayView text, int minimum, char delimiter)
{
    std::vector<QByteArrayView> fields;
    const int count = SplitFields(text, fields, minimum, delimiter);
    QList<QByteArray> result;
    for (const QByteArrayView field : fields)
        result.append(field.toByteArray());
    if (count != int(fields.size()))
        result.append("<count mismatch>");
    return result;
}

void feed(GroupListAnalyzer &analyzer, const QList<QByteArray> &lines)
{
    std::vector<QByteArrayView> views(lines.cbegin(), lines.cend());
    analyzer.GroupListChange(views);
}

GroupEntry entry(const char *name, qint64 estimate)
{
    return {name, {estimate, 0, 0}};
}

} // namespace

class ParsingTest : public QObject
{
    Q_OBJECT

private slots:
    // Integers
    void int32_data();
    void int32();
    void int64_data();
    void int64();
    void int64AgreesWithInt32OnEveryAcceptedText();
    void failedReadLeavesValue();

    // Fields
    void splitFields_data();
    void splitFields();
    void splitFieldsReusesList();

    // Patterns
    void upperCaseLeavesShiftJisTrailBytes();

    // Line ends
    void lineScanAgreesWithPlainSearch();

    // Group list
    void groupsAreFiledByHierarchy();
    void groupNumbers_data();
    void groupNumbers();
    void groupAndByteCounts();
    void filingAgreesWithMatchPattern();
    void resetEmptiesEverything();

    // Retention dates
    void dateKey_data();
    void dateKey();
    void keyToDate_data();
    void keyToDate();
    void daysSince_data();
    void daysSince();
    void daysSinceClampsExtremeDates();
    void pickLargestGroup();
    void pickLargestGroupSortsIgnoringCase();
};

void ParsingTest::lineScanAgreesWithPlainSearch()
{
    // Lines that end in CR LF, a lone CR or LF inside them, at every distance from the
    // 64-byte blocks the scan takes; compared with a byte-by-byte search.
    std::mt19937 random(7);
    const char alphabet[] = {'a', '.', '\r', '\n', '\r', '\n'};
    for (int round = 0; round < 3000; ++round) {
        QByteArray data(qsizetype(random() % 300), Qt::Uninitialized);
        for (char &c : data)
            c = alphabet[random() % sizeof alphabet];
        const qsizetype from = data.isEmpty() ? 0 : qsizetype(random() % (data.size() + 1));
        const int stopAt = int(random() % 8); // 0: never stop

        QList<QByteArray> expected;
        qsizetype expectedEnd = from;
        for (qsizetype i = from + 1; i < data.size(); ++i) {
            if (data[i] == '\n' && data[i - 1] == '\r' && i - 1 >= expectedEnd) {
                expected << data.mid(expectedEnd, i - 1 - expectedEnd);
                expectedEnd = i + 1;
                if (expected.size() == stopAt)
                    break;
            }
        }

        QList<QByteArray> found;
        const qsizetype end
            = LineScan::forEachLine(data, from, [&](const char *line, qsizetype size) {
                  found << QByteArray(line, size);
                  return found.size() != stopAt;
              });
        QCOMPARE(found, expected);
        QCOMPARE(end, expectedEnd);
        const qsizetype firstCrLf = data.indexOf("\r\n", from);
        QCOMPARE(LineScan::findCrLf(data, from), firstCrLf);
    }
}

void ParsingTest::filingAgreesWithMatchPattern()
{
    // The list analysis files by a fast prefix test; it must file exactly as trying the
    // five patterns in order with MatchPattern would, for names near and far from them.
    QList<QByteArray> names;
    for (const std::string_view pattern : HierarchyPatterns) {
        const QByteArray literal(pattern.data(), qsizetype(pattern.size()) - 1);
        names << literal << literal + "x" << literal + ".misc" << literal.toUpper()
              << literal.left(literal.size() - 1) << literal.left(5) << "x" + literal
              << " " + literal << literal + "\x83\x61" << literal.left(3) + "\x83\x41"
              << literal.left(literal.size() - 1) + "\0" << literal.left(literal.size() - 1) + "\r";
        QByteArray flipped = literal;
        for (qsizetype i = 0; i < flipped.size(); i += 3)
            flipped[i] = char(QChar::fromLatin1(flipped[i]).toUpper().toLatin1());
        names << flipped;
        QByteArray bent = literal;
        bent[bent.size() / 2] = char(bent[bent.size() / 2] ^ 0x20); // '.' becomes 0x0E
        names << bent;
    }
    names << ""
          << "a"
          << "A"
          << "j"
          << "alt"
          << "ALT.SEX"
          << "alt.sex"
          << "alt.sexy"
          << "alt.binaries.multimedia.erotica"
          << "Japan.Binaries.Pictures.Erotica";

    // Each name with its numbers, and alone: a line shorter than sixteen bytes is tested
    // apart from the rest.
    QList<QByteArray> lines;
    for (const QByteArray &name : names)
        lines << name + " 10 1 y" << name;

    HierarchyGroups groups;
    GroupListAnalyzer analyzer(groups);
    for (const QByteArray &line : lines) {
        analyzer.reset();
        const QByteArrayView view(line);
        analyzer.GroupListChange(std::span(&view, 1));
        int filed = -1;
        for (int h = 0; h < HierarchyCount; ++h) {
            if (!groups[h].empty())
                filed = h;
        }
        std::vector<QByteArrayView> fields;
        SplitFields(line, fields, 5, ' ');
        int expected = -1;
        for (int h = 0; h < HierarchyCount && expected < 0; ++h) {
            const std::string_view pattern = HierarchyPatterns[h];
            const QByteArrayView literal(pattern.data(), qsizetype(pattern.size()) - 1);
            if (UpperCaseSjis(fields[0]).startsWith(UpperCaseSjis(literal)))
                expected = h;
        }
        QVERIFY2(filed == expected, line.toPercentEncoding().constData());
    }
}

void ParsingTest::int32_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");

    QTest::newRow("zero") << QByteArray("0") << true << 0;
    QTest::newRow("status") << QByteArray("211") << true << 211;
    QTest::newRow("leading blanks") << QByteArray("   42") << true << 42;
    QTest::newRow("plus") << QByteArray("+7") << true << 7;
    QTest::newRow("minus") << QByteArray("-7") << true << -7;
    QTest::newRow("blanks then sign") << QByteArray("  -15") << true << -15;
    QTest::newRow("zero padded") << QByteArray("0000000120") << true << 120;
    QTest::newRow("long zero padding")
        << QByteArray("00000000000000000000000000000000000000120") << true << 120;
    QTest::newRow("max") << QByteArray("2147483647") << true << std::numeric_limits<int>::max();
    QTest::newRow("min") << QByteArray("-2147483648") << true << std::numeric_limits<int>::min();
    QTest::newRow("above max") << QByteArray("2147483648") << false << 0;
    QTest::newRow("below min") << QByteArray("-2147483649") << false << 0;
    QTest::newRow("huge") << QByteArray("99999999999999999999999999") << false << 0;

    QTest::newRow("dollar hex") << QByteArray("$1F") << true << 31;
    QTest::newRow("x hex") << QByteArray("x1f") << true << 31;
    QTest::newRow("X hex") << QByteArray("X10") << true << 16;
    QTest::newRow("0x hex") << QByteArray("0x10") << true << 16;
    QTest::newRow("0X hex") << QByteArray("0XaB") << true << 171;
    QTest::newRow("hex with sign") << QByteArray(" -$10") << true << -16;
    QTest::newRow("8 hex digits all set") << QByteArray("$FFFFFFFF") << true << -1;
    QTest::newRow("8 hex digits negated") << QByteArray("-$FFFFFFFF") << true << 1;
    QTest::newRow("hex max") << QByteArray("$7FFFFFFF") << true << std::numeric_limits<int>::max();
    QTest::newRow("hex min") << QByteArray("$80000000") << true << std::numeric_limits<int>::min();
    QTest::newRow("hex min negated")
        << QByteArray("-$80000000") << true << std::numeric_limits<int>::min();
    QTest::newRow("9 hex digits") << QByteArray("$100000000") << false << 0;
    QTest::newRow("9 hex digits, leading zero") << QByteArray("$0FFFFFFFF") << false << 0;

    QTest::newRow("empty") << QByteArray() << false << 0;
    QTest::newRow("blanks only") << QByteArray("   ") << false << 0;
    QTest::newRow("lone plus") << QByteArray("+") << false << 0;
    QTest::newRow("lone minus") << QByteArray(" -") << false << 0;
    QTest::newRow("lone dollar") << QByteArray("$") << false << 0;
    QTest::newRow("lone x") << QByteArray("x") << false << 0;
    QTest::newRow("lone 0x") << QByteArray("0x") << false << 0;
    QTest::newRow("sign then lone prefix") << QByteArray("-$") << false << 0;
    QTest::newRow("trailing blank") << QByteArray("12 ") << false << 0;
    QTest::newRow("trailing letter") << QByteArray("12a") << false << 0;
    QTest::newRow("inner blank") << QByteArray("1 2") << false << 0;
    QTest::newRow("blank after sign") << QByteArray("- 5") << false << 0;
    QTest::newRow("two signs") << QByteArray("+-5") << false << 0;
    QTest::newRow("leading tab") << QByteArray("\t5") << false << 0;
    QTest::newRow("trailing CR LF") << QByteArray("5\r\n") << false << 0;
    QTest::newRow("decimal point") << QByteArray("1.5") << false << 0;
    QTest::newRow("not hex") << QByteArray("$1G") << false << 0;
    QTest::newRow("sign after prefix") << QByteArray("0x-1") << false << 0;
    QTest::newRow("doubled zero prefix") << QByteArray("00x10") << false << 0;
    QTest::newRow("embedded NUL") << QByteArray("1\0002", 3) << false << 0;
}

void ParsingTest::int32()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(int, value);

    qint32 read = 12345;
    QCOMPARE(ReadInt32(text, read), ok);
    if (ok)
        QCOMPARE(read, value);
}

void ParsingTest::int64_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("value");

    QTest::newRow("2^31") << QByteArray("2147483648") << true << Q_INT64_C(2147483648);
    QTest::newRow("2^32") << QByteArray("4294967296") << true << Q_INT64_C(4294967296);
    QTest::newRow("below -2^31") << QByteArray("-2147483649") << true << Q_INT64_C(-2147483649);
    QTest::newRow("max") << QByteArray("9223372036854775807") << true << Int64Max;
    QTest::newRow("min") << QByteArray("-9223372036854775808") << true << Int64Min;
    QTest::newRow("2^63") << QByteArray("9223372036854775808") << false << qint64(0);
    QTest::newRow("below min") << QByteArray("-9223372036854775809") << false << qint64(0);
    QTest::newRow("2^64") << QByteArray("18446744073709551616") << false << qint64(0);
    QTest::newRow("padded max") << QByteArray("  +00009223372036854775807") << true << Int64Max;
    QTest::newRow("9 hex digits") << QByteArray("$100000000") << true << Q_INT64_C(4294967296);
    QTest::newRow("9 hex digits, leading zero")
        << QByteArray("0x0FFFFFFFF") << true << Q_INT64_C(4294967295);
    QTest::newRow("16 hex digits all set") << QByteArray("$FFFFFFFFFFFFFFFF") << true << qint64(-1);
    QTest::newRow("hex min") << QByteArray("X8000000000000000") << true << Int64Min;
    QTest::newRow("hex min negated") << QByteArray("-$8000000000000000") << true << Int64Min;
    QTest::newRow("17 hex digits") << QByteArray("$10000000000000000") << false << qint64(0);
    QTest::newRow("trailing blank") << QByteArray("4294967296 ") << false << qint64(0);
    QTest::newRow("empty") << QByteArray("") << false << qint64(0);
}

void ParsingTest::int64()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);
    QFETCH(qint64, value);

    qint64 read = 12345;
    QCOMPARE(ReadInt64(text, read), ok);
    if (ok)
        QCOMPARE(read, value);
}

void ParsingTest::int64AgreesWithInt32OnEveryAcceptedText()
{
    // Widening article numbers must not change what any 32-bit number reads as.
    const QList<QByteArray> more = {"$FFFFFFFF",   "-$80000000", "x7fffffff",   "0X80000001",
                                    "-2147483648", "2147483647", " 0000000120", "+$0"};
    for (const QByteArray &text : more) {
        qint32 narrow = 0;
        qint64 wide = 0;
        QVERIFY2(ReadInt32(text, narrow), text.constData());
        QVERIFY2(ReadInt64(text, wide), text.constData());
        QCOMPARE(wide, qint64(narrow));
    }
}

void ParsingTest::failedReadLeavesValue()
{
    qint32 narrow = 77;
    QVERIFY(!ReadInt32("x", narrow));
    QCOMPARE(narrow, 77);
    qint64 wide = 77;
    QVERIFY(!ReadInt64("99999999999999999999", wide));
    QCOMPARE(wide, qint64(77));
}

void ParsingTest::splitFields_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("minimum");
    QTest::addColumn<char>("delimiter");
    QTest::addColumn<QList<QByteArray>>("fields");

    using L = QList<QByteArray>;
    QTest::newRow("plain") << QByteArray("alt.sex 12 3 y") << 0 << ' '
                           << L{"alt.sex", "12", "3", "y"};
    QTest::newRow("runs separate like one")
        << QByteArray("a   b  c") << 0 << ' ' << L{"a", "b", "c"};
    QTest::newRow("leading delimiter") << QByteArray(" a") << 0 << ' ' << L{"", "a"};
    QTest::newRow("leading run gives one empty field")
        << QByteArray("    a b") << 0 << ' ' << L{"", "a", "b"};
    QTest::newRow("only delimiters") << QByteArray("   ") << 0 << ' ' << L{""};
    QTest::newRow("trailing delimiters") << QByteArray("a b   ") << 0 << ' ' << L{"a", "b"};
    QTest::newRow("empty") << QByteArray() << 0 << ' ' << L{};
    QTest::newRow("empty padded") << QByteArray() << 3 << ' ' << L{"", "", ""};
    QTest::newRow("padded to minimum") << QByteArray("a b") << 5 << ' ' << L{"a", "b", "", "", ""};
    QTest::newRow("more than minimum") << QByteArray("a b c") << 2 << ' ' << L{"a", "b", "c"};
    QTest::newRow("CR ends the text") << QByteArray("a b\r\nc d") << 0 << ' ' << L{"a", "b"};
    QTest::newRow("CR inside a field") << QByteArray("ab\rc") << 0 << ' ' << L{"ab"};
    QTest::newRow("CR first") << QByteArray("\ra b") << 2 << ' ' << L{"", ""};
    QTest::newRow("NUL ends the text") << QByteArray("a\0b c", 5) << 0 << ' ' << L{"a"};
    QTest::newRow("tab is ordinary") << QByteArray("a\tb c") << 0 << ' ' << L{"a\tb", "c"};
    QTest::newRow("LF is ordinary") << QByteArray("a\nb") << 0 << ' ' << L{"a\nb"};
    QTest::newRow("other delimiter") << QByteArray("a,,b, c,") << 0 << ',' << L{"a", "b", " c"};
    QTest::newRow("blank not a delimiter then") << QByteArray("a b/c") << 0 << '/' << L{"a b", "c"};
}

void ParsingTest::splitFields()
{
    QFETCH(QByteArray, text);
    QFETCH(int, minimum);
    QFETCH(char, delimiter);
    QFETCH(QList<QByteArray>, fields);

    QCOMPARE(split(text, minimum, delimiter), fields);
}

void ParsingTest::splitFieldsReusesList()
{
    std::vector<QByteArrayView> fields;
    QCOMPARE(SplitFields("a b c d e f", fields, 0, ' '), 6);
    QCOMPARE(SplitFields("x", fields, 0, ' '), 1);
    QCOMPARE(fields.size(), std::size_t(1));
    QCOMPARE(fields[0], QByteArrayView("x"));
}

void ParsingTest::upperCaseLeavesShiftJisTrailBytes()
{
    QCOMPARE(UpperCaseSjis("alt.\x83\x61\x82\x62x\x9F"), QByteArray("ALT.\x83\x61\x82\x62X\x9F"));
    // A lead byte at the very end has no trail byte to take.
    QCOMPARE(UpperCaseSjis("a\x81"), QByteArray("A\x81"));
}

void ParsingTest::groupsAreFiledByHierarchy()
{
    HierarchyGroups groups;
    GroupListAnalyzer analyzer(groups);
    feed(analyzer,
         {
             "alt.sex.stories 1200 1000 y",
             "ALT.SEX.STORIES 5 3 y",
             "alt.sex 10 1 y",
             "alt.binaries.pictures.erotica 20 10 y",
             "alt.binaries.pictures.eroticax 30 10 m",
             "alt.binaries.pictures.erotica.blondes 40 10 y",
             "japan.binaries.pictures.erotica 7 1 y",
             "alt.freedom.jbpe 8 1 y",
             "alt.binaries.multimedia.erotica 9 1 y",
             "alt.binaries.multimedia.erotica.amateur 9 2 y",
             "comp.lang 10 3 y",
             " alt.sex.leading 5 3 y",
             "alt.sex.two  10  3 y",
         });

    QCOMPARE(analyzer.GroupCount, 13);

    const auto names = [&](int hierarchy) {
        QList<QByteArray> result;
        for (const GroupEntry &group : groups[hierarchy])
            result.append(group.name);
        return result;
    };
    QCOMPARE(names(AS), (QList<QByteArray>{"alt.sex.stories", "ALT.SEX.STORIES", "alt.sex.two"}));
    QCOMPARE(names(ABPE),
             (QList<QByteArray>{"alt.binaries.pictures.erotica", "alt.binaries.pictures.eroticax",
                                "alt.binaries.pictures.erotica.blondes"}));
    QCOMPARE(names(JBPE), QList<QByteArray>{"japan.binaries.pictures.erotica"});
    QCOMPARE(names(AFJ), QList<QByteArray>{"alt.freedom.jbpe"});
    QCOMPARE(names(ABME), QList<QByteArray>{"alt.binaries.multimedia.erotica.amateur"});

    const GroupRange stories = groups[AS][0].range;
    QCOMPARE(stories.First, qint64(1000));
    QCOMPARE(stories.Last, qint64(1200));
    QCOMPARE(stories.Estimate, qint64(200));
    const GroupRange capitals = groups[AS][1].range;
    QCOMPARE(capitals.Estimate, qint64(2));
    const GroupRange twoBlanks = groups[AS][2].range;
    QCOMPARE(twoBlanks.First, qint64(3));
    QCOMPARE(twoBlanks.Last, qint64(10));
}

void ParsingTest::groupNumbers_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<qint64>("estimate");

    QTest::newRow("ordinary") << QByteArray("alt.sex.a 1200 1000 y") << qint64(1000) << qint64(1200)
                              << qint64(200);
    QTest::newRow("only a name") << QByteArray("alt.sex.a") << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("empty group") << QByteArray("alt.sex.a 4 5 y") << qint64(5) << qint64(4)
                                 << qint64(-1);
    QTest::newRow("zero padded") << QByteArray("alt.sex.a 0000000120 0000000100 y") << qint64(100)
                                 << qint64(120) << qint64(20);
    QTest::newRow("above 2^31") << QByteArray("alt.sex.a 3000000000 2147483648 y")
                                << Q_INT64_C(2147483648) << Q_INT64_C(3000000000)
                                << Q_INT64_C(852516352);
    QTest::newRow("above 2^63") << QByteArray("alt.sex.a 9223372036854775808 5 y") << qint64(5)
                                << qint64(0) << qint64(-5);
    QTest::newRow("junk numbers") << QByteArray("alt.sex.a 12a b5 y") << qint64(0) << qint64(0)
                                  << qint64(0);
    QTest::newRow("CR LF kept on the line")
        << QByteArray("alt.sex.a 9 4\r\n") << qint64(4) << qint64(9) << qint64(5);
    QTest::newRow("difference above max saturates")
        << QByteArray("alt.sex.a 9223372036854775807 -9223372036854775808 y") << Int64Min
        << Int64Max << Int64Max;
    QTest::newRow("difference below min saturates")
        << QByteArray("alt.sex.a -9223372036854775808 9223372036854775807 y") << Int64Max
        << Int64Min << Int64Min;
}

void ParsingTest::groupNumbers()
{
    QFETCH(QByteArray, line);
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(qint64, estimate);

    HierarchyGroups groups;
    GroupListAnalyzer analyzer(groups);
    feed(analyzer, {line});
    QCOMPARE(groups[AS].size(), std::size_t(1));
    const GroupRange range = groups[AS][0].range;
    QCOMPARE(range.First, first);
    QCOMPARE(range.Last, last);
    QCOMPARE(range.Estimate, estimate);
}

void ParsingTest::groupAndByteCounts()
{
    HierarchyGroups groups;
    GroupListAnalyzer analyzer(groups);
    const QByteArray line20 = "comp.a 1 1 y" + QByteArray(8, 'x');
    const QByteArray line30 = "comp.b 1 1 y" + QByteArray(18, 'x');
    const QByteArray line40 = "comp.c 1 1 y" + QByteArray(28, 'x');
    QCOMPARE(line20.size() + line30.size() + line40.size(), 90);

    feed(analyzer, {line20, line30, line40});
    QCOMPARE(analyzer.GroupCount, 3);
    QCOMPARE(analyzer.ListByteCount, qint64(96));

    feed(analyzer, {});
    QCOMPARE(analyzer.GroupCount, 3);
    QCOMPARE(analyzer.ListByteCount, qint64(96));

    feed(analyzer, {"alt.sex.x 2 1 y", ""});
    QCOMPARE(analyzer.GroupCount, 5);
    QCOMPARE(analyzer.ListByteCount, qint64(96 + 17 + 2));
    QCOMPARE(groups[AS].size(), std::size_t(1));
}

void ParsingTest::resetEmptiesEverything()
{
    HierarchyGroups groups;
    GroupListAnalyzer analyzer(groups);
    feed(analyzer, {"alt.sex.x 2 1 y", "alt.freedom.jbpe 2 1 y", "comp.x 2 1 y"});
    analyzer.reset();
    QCOMPARE(analyzer.GroupCount, 0);
    QCOMPARE(analyzer.ListByteCount, qint64(0));
    for (const HierarchyList &list : groups)
        QVERIFY(list.empty());

    feed(analyzer, {"alt.sex.y 2 1 y"});
    QCOMPARE(groups[AS].size(), std::size_t(1));
    QCOMPARE(groups[AS][0].name, QByteArray("alt.sex.y"));
}

void ParsingTest::dateKey_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArray>("key");

    QTest::newRow("with weekday") << QByteArray("Wed, 15 Jan 2003 10:20:30 +0900")
                                  << QByteArray("2003/01/15");
    QTest::newRow("without weekday")
        << QByteArray("5 Feb 2003 01:02:03 GMT") << QByteArray("2003/02/05");
    QTest::newRow("two-digit year")
        << QByteArray("Sat, 1 Mar 03 00:00:00 GMT") << QByteArray("03/03/01");
    QTest::newRow("December") << QByteArray("Sun, 12 Dec 2004 08:00:00 GMT")
                              << QByteArray("2004/12/12");
    QTest::newRow("month in lower case")
        << QByteArray("Mon, 3 feb 2003 10:00:00 GMT") << QByteArray("2003/02/03");
    QTest::newRow("month in capitals") << QByteArray("Tue, 4 NOV 2003") << QByteArray("2003/11/04");
    QTest::newRow("month not among the twelve")
        << QByteArray("3 February 2003") << QByteArray("2003/February/03");
    QTest::newRow("no blank after comma")
        << QByteArray("Wed,15 Jan 2003") << QByteArray("2003/01/15");
    QTest::newRow("blanks trimmed after comma")
        << QByteArray("Wed,  \t15  Jan  2003 \r") << QByteArray("2003/01/15");
    QTest::newRow("no comma, not trimmed") << QByteArray(" 5 Feb 2003") << QByteArray("Feb/05/");
    QTest::newRow("none") << QByteArray("(none)") << QByteArray("//(none)");
    QTest::newRow("empty") << QByteArray() << QByteArray("//");
    QTest::newRow("second comma kept")
        << QByteArray("Wed, 15, Jan 2003") << QByteArray("2003/01/15,");
}

void ParsingTest::dateKey()
{
    QFETCH(QByteArray, value);
    QFETCH(QByteArray, key);

    QCOMPARE(DateKey(value), key);
}

void ParsingTest::keyToDate_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("currentYear");
    QTest::addColumn<QDate>("date");

    const QDate none;
    QTest::newRow("full year") << QByteArray("2003/01/15") << 2026 << QDate(2003, 1, 15);
    QTest::newRow("two digits, this century")
        << QByteArray("03/01/15") << 2026 << QDate(2003, 1, 15);
    QTest::newRow("two digits, last century")
        << QByteArray("99/12/31") << 2026 << QDate(1999, 12, 31);
    QTest::newRow("two digits, ahead") << QByteArray("75/06/01") << 2026 << QDate(2075, 6, 1);
    QTest::newRow("window start") << QByteArray("76/06/01") << 2026 << QDate(1976, 6, 1);
    QTest::newRow("one digit") << QByteArray("3/1/1") << 2026 << QDate(2003, 1, 1);
    QTest::newRow("zero year") << QByteArray("0/1/1") << 2026 << QDate(2000, 1, 1);
    QTest::newRow("window in 2010, ahead") << QByteArray("59/01/01") << 2010 << QDate(2059, 1, 1);
    QTest::newRow("window in 2010, start") << QByteArray("60/01/01") << 2010 << QDate(1960, 1, 1);
    QTest::newRow("three digits as written") << QByteArray("003/01/01") << 2026 << QDate(3, 1, 1);
    QTest::newRow("leading zeros")
        << QByteArray("2003/0000000000000000000001/000000000000015") << 2026 << QDate(2003, 1, 15);
    QTest::newRow("29 Feb, leap year") << QByteArray("2004/02/29") << 2026 << QDate(2004, 2, 29);
    QTest::newRow("29 Feb, 2000") << QByteArray("2000/02/29") << 2026 << QDate(2000, 2, 29);
    QTest::newRow("29 Feb, not leap") << QByteArray("2003/02/29") << 2026 << none;
    QTest::newRow("29 Feb, 1900") << QByteArray("1900/02/29") << 2026 << none;
    QTest::newRow("31 Feb") << QByteArray("2004/02/31") << 2026 << none;
    QTest::newRow("month 13") << QByteArray("2003/13/01") << 2026 << none;
    QTest::newRow("month 0") << QByteArray("2003/00/10") << 2026 << none;
    QTest::newRow("day 0") << QByteArray("2003/01/00") << 2026 << none;
    QTest::newRow("year 0 as written") << QByteArray("0000/01/01") << 2026 << none;
    QTest::newRow("year 10000") << QByteArray("10000/01/01") << 2026 << none;
    QTest::newRow("huge year") << QByteArray("99999999999999999999999999/01/01") << 2026 << none;
    QTest::newRow("huge day") << QByteArray("2003/01/4294967311") << 2026 << none;
    QTest::newRow("month name") << QByteArray("2003/February/03") << 2026 << none;
    QTest::newRow("none") << QByteArray("//(none)") << 2026 << none;
    QTest::newRow("empty") << QByteArray() << 2026 << none;
    QTest::newRow("two parts") << QByteArray("2003/01") << 2026 << none;
    QTest::newRow("four parts") << QByteArray("2003/01/15/1") << 2026 << none;
    QTest::newRow("trailing slash") << QByteArray("2003/01/15/") << 2026 << none;
    QTest::newRow("trailing letter") << QByteArray("2003/01/15x") << 2026 << none;
    QTest::newRow("sign") << QByteArray("+2003/01/15") << 2026 << none;
    QTest::newRow("negative month") << QByteArray("2003/-1/15") << 2026 << none;
    QTest::newRow("leading blank") << QByteArray(" 2003/01/15") << 2026 << none;
    QTest::newRow("hex") << QByteArray("$7D3/01/15") << 2026 << none;
}

void ParsingTest::keyToDate()
{
    QFETCH(QByteArray, key);
    QFETCH(int, currentYear);
    QFETCH(QDate, date);

    const std::optional<QDate> read = KeyToDate(key, currentYear);
    QCOMPARE(read.has_value(), date.isValid());
    if (read)
        QCOMPARE(*read, date);
}

void ParsingTest::daysSince_data()
{
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<int>("days");

    const QDate today(2026, 3, 10);
    const QDateTime midnight(today, QTime(0, 0));
    const QDateTime lastMs(today, QTime(23, 59, 59, 999));
    const QDateTime noon(today, QTime(12, 0));

    QTest::newRow("today, midnight") << today << midnight << 0;
    QTest::newRow("today, last moment") << today << lastMs << 0;
    QTest::newRow("yesterday, midnight") << today.addDays(-1) << midnight << 1;
    QTest::newRow("yesterday, last moment") << today.addDays(-1) << lastMs << 1;
    QTest::newRow("tomorrow, noon") << today.addDays(1) << noon << 0;
    QTest::newRow("two days ahead, noon") << today.addDays(2) << noon << -1;
    QTest::newRow("two days ahead, midnight") << today.addDays(2) << midnight << -2;
    QTest::newRow("years back") << QDate(2003, 1, 11) << noon << 8459;
    QTest::newRow("across a leap day")
        << QDate(2024, 2, 28) << QDateTime(QDate(2024, 3, 1), QTime(1, 0)) << 2;
}

void ParsingTest::daysSince()
{
    QFETCH(QDate, date);
    QFETCH(QDateTime, now);
    QFETCH(int, days);

    QCOMPARE(DaysSince(date, now), days);
}

void ParsingTest::daysSinceClampsExtremeDates()
{
    const QDateTime now(QDate(2026, 3, 10), QTime(12, 0));
    // The ends of the range QDate supports.
    const QDate earliest = QDate::fromJulianDay(Q_INT64_C(-784350574879));
    const QDate latest = QDate::fromJulianDay(Q_INT64_C(784354017364));
    QVERIFY(earliest.isValid() && latest.isValid());
    QCOMPARE(DaysSince(earliest, now), std::numeric_limits<int>::max());
    QCOMPARE(DaysSince(latest, now), std::numeric_limits<int>::min());
    QCOMPARE(DaysSince(QDate(1, 1, 1), now), int(QDate(1, 1, 1).daysTo(now.date())));
}

void ParsingTest::pickLargestGroup()
{
    HierarchyList list = {entry("d", 900), entry("b", 50), entry("c", 900)};
    const std::size_t index = PickLargestGroup(list);
    QCOMPARE(list[index].name, QByteArray("c"));

    HierarchyList negative = {entry("x", -5), entry("y", -1), entry("z", -9)};
    QCOMPARE(negative[PickLargestGroup(negative)].name, QByteArray("y"));

    HierarchyList empty;
    QCOMPARE(PickLargestGroup(empty), std::size_t(0));
}

void ParsingTest::pickLargestGroupSortsIgnoringCase()
{
    // Byte order would put "B" and "C" before "a".
    HierarchyList list = {entry("C.x", 1), entry("b.x", 1), entry("a.x", 1), entry("B.x", 1)};
    const std::size_t index = PickLargestGroup(list);
    QList<QByteArray> order;
    for (const GroupEntry &group : list)
        order.append(group.name);
    // Equal names keep their order.
    QCOMPARE(order, (QList<QByteArray>{"a.x", "b.x", "B.x", "C.x"}));
    QCOMPARE(index, std::size_t(0));
}

QTEST_GUILESS_MAIN(ParsingTest)
#include "tst_parsing.moc"
