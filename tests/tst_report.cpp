// What leaves the program after a run: the text report and its Shift-JIS bytes, the
// report address and its hand-off to the browser, the version text.
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>

#include <clocale>
#include <cstdio>
#include <elf.h>
#include <stdexcept>
#include <sys/wait.h>

#include "engine/shiftjis.h"
#include "report/articlereport.h"
#include "report/jsonreport.h"
#include "report/reporttexts.h"
#include "report/textreport.h"
#include "report/urlencoder.h"
#include "report/versionrecord.h"
#include "report/versionstring.h"
#include "report/webreport.h"
#include "ui/reportclipboard.h"

using namespace Qt::StringLiterals;

namespace {

const QString Title = u"ニュースサーバ・ベンチマーク"_s;
const QString Version = u"v1.1.0 Build 53 "_s;

// The window after a run against an open server.
ReportFields filledWindow()
{
    ReportFields f;
    f.name = u"ニュース接続サービス"_s;
    f.serverTypeText = u"オープンサーバ"_s;
    f.serverTypeIndex = 2;
    f.address = u"news.example.ne.jp"_s;
    f.postAllowedText = u"可"_s;
    f.postAllowed = true;
    f.groupCount = u"40000"_s;
    f.speed = u"250000"_s;
    f.counts = {u"120"_s, u"300"_s, u"45"_s, u"12"_s, u"80"_s};
    f.expires = {u"10"_s, u"14"_s, u"7"_s, u"3"_s, u"9"_s};
    return f;
}

// The report of that window as a Windows program pastes it (CP932, written out by hand).
const QByteArray FilledWindowReport
    = "=======================================\r\n"
      "\x83j\x83\x85\x81[\x83X\x83T\x81[\x83o\x81"
      "E\x83x\x83\x93\x83`\x83}\x81[\x83N v1.1.0 Build 53 \r\n"
      "Published by the newsbench project, 2026\r\n"
      "http://newsbench.example.org/newsgroup/\r\n"
      "=======================================\r\n"
      "\r\n"
      "\x83T\x81[\x83r\x83X\x96\xBC   : "
      "\x83j\x83\x85\x81[\x83X\x90\xDA\x91\xB1\x83T\x81[\x83r\x83X\r\n"
      "\x83T\x81[\x83r\x83X\x8E\xED\x95\xCA : \x83I\x81[\x83v\x83\x93\x83T\x81[\x83o\r\n"
      "\x83"
      "A\x83h\x83\x8C\x83X     : news.example.ne.jp\r\n"
      "\x93\x8A\x8D"
      "e\x82\xCC\x89\xC2\x94\xDB   : \x89\xC2\r\n"
      "\x91\x8D\x83O\x83\x8B\x81[\x83v\x90\x94 : 40000\r\n"
      "\x95\xBD\x8B\xCF\x91\xAC\x93x     : 244.14 kbps\r\n"
      "\r\n"
      "\x8E\xE5\x82\xC8\x83J\x83"
      "e\x83S\x83\x8A\x82\xCC\x83O\x83\x8B\x81[\x83v\x90\x94\r\n"
      "=======================================\r\n"
      "alt.binaries.pictures.erotica.* : 120 groups\r\n"
      "alt.sex.* : 300 groups\r\n"
      "japan.binaries.pictures.erotica.* : 45 groups\r\n"
      "alt.freedom.jbpe.* : 12 groups\r\n"
      "alt.binaries.multimedia.erotica.* : 80 groups\r\n"
      "\r\n"
      "\x8E\xE5\x82\xC8\x83J\x83"
      "e\x83S\x83\x8A\x82\xCC\x95\xDB\x91\xB6\x8A\xFA\x8A\xD4\x81i\x90\x84\x92\xE8\x81j\r\n"
      "=======================================\r\n"
      "alt.binaries.pictures.erotica.* : 10 \x93\xFA\r\n"
      "alt.sex.* : 14 \x93\xFA\r\n"
      "japan.binaries.pictures.erotica.* : 7 \x93\xFA\r\n"
      "alt.freedom.jbpe.* : 3 \x93\xFA\r\n"
      "alt.binaries.multimedia.erotica.* : 9 \x93\xFA\r\n";

// True when this process has no child at all, reaped or not; reaps none.
bool noChildren()
{
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

// An xdg-open first on PATH that writes down its arguments, then waits for a go-ahead.
class FakeBrowser
{
public:
    explicit FakeBrowser(bool install = true)
        : m_oldPath(qgetenv("PATH"))
    {
        const QByteArray dir = QFile::encodeName(m_dir.path());
        if (install) {
            QFile script(m_dir.filePath(u"xdg-open"_s));
            script.open(QIODevice::WriteOnly);
            script.write(QByteArray("#!/bin/sh\nprintf '%s' \"$#\" > @/argc\nprintf '%s' \"$1\" > "
                                    "@/arg.part\nmv @/arg.part @/arg\n"
                                    "while [ -d @ ] && [ ! -e @/go ]; do sleep 0.05; done\n")
                             .replace("@", "'" + dir + "'"));
            script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        }
        qputenv("PATH", install ? dir + ':' + m_oldPath : dir);
    }
    ~FakeBrowser()
    {
        QFile(m_dir.filePath(u"go"_s)).open(QIODevice::WriteOnly);
        qputenv("PATH", m_oldPath);
    }
    QByteArray read(const QString &name) const
    {
        QFile file(m_dir.filePath(name));
        if (!QTest::qWaitFor([&] { return file.exists(); }, 20000))
            return "(not started)";
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(not started)");
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldPath;
};

// A little ELF file of this machine's kind with a version record, broken as a row asks.
struct Elf
{
    quint32 flags = 0;
    QByteArray magic{NewsbenchVersionMagic, 8};
    quint64 recordSize = sizeof(NewsbenchVersionRecord);
    quint64 recordOffset = 0;
    quint32 recordName = 1;
    quint64 namesSize = 0;
    quint16 entrySize = sizeof(Elf64_Shdr);
    quint16 namesIndex = 1;
    unsigned char byteOrder = ELFDATA2LSB;
    QByteArray sectionName = ".newsbench_version";

    QByteArray bytes() const
    {
        const QByteArray names = '\0' + sectionName + '\0';
        QByteArray file(sizeof(Elf64_Ehdr), '\0');
        const quint64 recordAt = file.size();
        NewsbenchVersionRecord record{{}, 1, 2, 3, 4, flags};
        std::memcpy(record.magic, magic.constData(), 8);
        file.append(reinterpret_cast<const char *>(&record), sizeof record);
        const quint64 namesAt = file.size();
        file.append(names);
        Elf64_Ehdr header{};
        std::memcpy(header.e_ident, ELFMAG, SELFMAG);
        header.e_ident[EI_CLASS] = ELFCLASS64;
        header.e_ident[EI_DATA] = byteOrder;
        header.e_shoff = file.size();
        header.e_shentsize = entrySize;
        header.e_shnum = 3;
        header.e_shstrndx = namesIndex;
        std::memcpy(file.data(), &header, sizeof header);
        Elf64_Shdr sections[3]{};
        sections[1]
            = {0, SHT_STRTAB, 0, 0, namesAt, namesSize ? namesSize : names.size(), 0, 0, 1, 0};
        const quint64 recordFrom = recordOffset ? recordOffset : recordAt;
        sections[2] = {recordName, SHT_PROGBITS, 0, 0, recordFrom, recordSize, 0, 0, 1, 0};
        file.append(reinterpret_cast<const char *>(sections), sizeof sections);
        return file;
    }
};

} // namespace

class TestReport : public QObject
{
    Q_OBJECT

private slots:
    void textReportLines_data();
    void textReportLines();
    void speedIgnoresTheLocale();
    void shiftJis_data();
    void shiftJis();
    void reportAddress_data();
    void reportAddress();
    void encoderEveryByte();
    void browser_data();
    void browser();
    void versionString_data();
    void versionString();
    void clipboard();
    void articleFigures();
};

void TestReport::textReportLines_data()
{
    QTest::addColumn<ReportFields>("fields");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QList<int>>("lines"); // none: no report but an error
    QTest::addColumn<QStringList>("texts");
    ReportFields blanks = filledWindow();
    blanks.name = u"  My ISP  "_s;
    blanks.counts[2].clear();
    blanks.expires[4].clear();
    QTest::newRow("no version, an untrimmed name, an empty count and retention")
        << blanks << QString() << QList<int>{2, 7, 18, 28}
        << QStringList{Title + u' ', u"サービス名   :   My ISP  "_s,
                       u"japan.binaries.pictures.erotica.* :  groups"_s,
                       u"alt.binaries.multimedia.erotica.* :  日"_s};
    const std::pair<const char *, const char *> speeds[] = {
        {"1023", "1.00"},
        {"128", "0.12"}, // halfway: to the even digit
        {"384", "0.38"},
        {"  +1536", "1.50"},
        {"0x600", "1.50"},
        {"-1536", "-1.50"},
        {"9223372036854775807", "9007199254740992.00"},
    };
    // A speed that is not an integer: the copy button's error instead of the report.
    for (const char *speed :
         {"", "abc", "1536 ", "1.5", "0x", "--5", "１５３６", "%s", "9223372036854775808"}) {
        ReportFields f = filledWindow();
        f.speed = QString::fromUtf8(speed);
        QTest::addRow("speed '%s'", speed)
            << f << Version << QList<int>()
            << QStringList{u"'"_s + f.speed + u"' は整数ではありません"_s};
    }
    for (const auto &[speed, kbps] : speeds) {
        ReportFields f = filledWindow();
        f.speed = QString::fromLatin1(speed);
        QTest::addRow("speed %s", speed)
            << f << Version << QList<int>{12}
            << QStringList{u"平均速度     : "_s + QLatin1StringView(kbps) + u" kbps"_s};
    }
}

void TestReport::textReportLines()
{
    QFETCH(ReportFields, fields);
    QFETCH(QString, version);
    QFETCH(QList<int>, lines);
    QFETCH(QStringList, texts);
    try {
        const QStringList report = BuildTextReport(fields, Title, version);
        QCOMPARE(report.size(), 28);
        QVERIFY(!lines.isEmpty());
        for (qsizetype i = 0; i < lines.size(); ++i)
            QCOMPARE(report.value(lines[i] - 1), texts[i]);
    } catch (const std::runtime_error &e) {
        QCOMPARE(QStringList{QString::fromUtf8(e.what())}, texts);
    }
}

void TestReport::speedIgnoresTheLocale()
{
    // A desktop with a decimal comma: the report is read by people and scripts elsewhere.
    QVERIFY2(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), "scripts/test.sh makes de_DE.UTF-8");
    char probe[8];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    const QString line = SpeedInKbps(u"1536"_s);
    std::setlocale(LC_NUMERIC, "C");
    QCOMPARE(probe, "1,5");
    QCOMPARE(line, u"1.50 kbps"_s);
}

void TestReport::shiftJis_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("readBack"); // what the bytes read as
    auto row = [](const char *name, const QString &text, const QByteArray &bytes,
                  const QString &readBack) {
        QTest::newRow(name) << text << bytes << readBack;
    };
    row("katakana, ASCII, control codes, code page extensions, half-width katakana",
        u"テ\r\n\\~\u001A\u001C\u007F①髙ｱﾝ"_s,
        "\x83\x65\r\n\\~\x1A\x1C\x7F\x87\x40\xFB\xFC\xB1\xDD",
        u"テ\r\n\\~\u001A\u001C\u007F①髙ｱﾝ"_s);
    row("what input methods type", u"\u301C\u2212\u2016\u00A2\u00AC"_s,
        "\x81\x60\x81\x7C\x81\x61\x81\x91\x81\xCA", u"\uFF5E\uFF0D\u2225\uFFE0\uFFE2"_s);
    row("no code, lone surrogates: one question mark each",
        u"caf\u00E9 a\U0001F600b テ\u4E02"_s + QChar(0xD83D) + u"x"_s + QChar(0xDE00),
        "caf? a?b \x83\x65??x?", u"caf? a?b テ??x?"_s);
    row("empty", QString(), QByteArray(), QString());
}

void TestReport::shiftJis()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, readBack);
    QCOMPARE(ToShiftJis(text).toHex(' '), bytes.toHex(' '));
    QCOMPARE(FromShiftJis(bytes), readBack);
    // Bytes that are not Shift-JIS read as U+FFFD, a cut-off lead byte included.
    QCOMPARE(FromShiftJis(QByteArrayView(bytes + "\x82\xA0").chopped(1)), readBack + u"\uFFFD"_s);
    QCOMPARE(FromShiftJis(bytes + "\x83\x65\x80\x40"), readBack + u"テ\uFFFD@"_s);
    QCOMPARE(FromShiftJis(bytes + "\x81 x\xFF\x80\x82"),
             readBack + u"\uFFFD x\uFFFD\uFFFD\uFFFD"_s);
}

void TestReport::reportAddress_data()
{
    // The window of the example run, with a name, an address and a posting flag per row; the
    // address as the JSON report writes it down: bytes above 0x7F as %XX in capitals.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("posting");
    QTest::addColumn<QString>("query");
    const QString rest = u"&Type=1&Server=%1&Post=%2&Groups=40000&Speed=250000"
                         "&CountABPE=120&CountAS=300&CountJBPE=45&CountAFJ=12&CountABME=80"
                         "&ExpireABPE=10&ExpireAS=14&ExpireJBPE=7&ExpireAFJ=3&ExpireABME=9"_s;
    const QString ip = u"10.0.0.1"_s;
    QTest::newRow("every key in order")
        << u"My ISP"_s << ip << true << u"Name=My+ISP"_s + rest.arg(ip, u"1"_s);
    QTest::newRow("name in Shift-JIS, encoded once")
        << u"テスト A&B 100% café -._~*=+\n\t"_s << ip << true
        << u"Name=%83e%83X%83g+A%26B+100%25+caf%3F+%2D%2E%5F%7E%2A%3D%2B%0A%09"_s
            + rest.arg(ip, u"1"_s);
    QTest::newRow("posting from the flag, not the editable text")
        << u""_s << ip << false << u"Name="_s + rest.arg(ip, u"0"_s);
    QTest::newRow("the address as typed, in Shift-JIS")
        << u"My ISP"_s << u"日本ニュース server&x=1"_s << true
        << u"Name=My+ISP"_s + rest.arg(u"%93%FA%96{%83j%83%85%81[%83X server&x=1"_s, u"1"_s);
}

void TestReport::reportAddress()
{
    QFETCH(QString, name);
    QFETCH(QString, address);
    QFETCH(bool, posting);
    QFETCH(QString, query);
    ReportFields f = filledWindow();
    f.name = name;
    f.serverTypeIndex = 1;
    f.address = address;
    f.postAllowed = posting;
    f.postAllowedText = u"可"_s;
    QVERIFY(ReportUrlBase.startsWith("http://") && ReportUrlBase.endsWith("/benchreport.php3?"));
    const QString base = QString::fromLatin1(ReportUrlBase.toByteArray());
    QCOMPARE(ReportUrlText(BuildReportUrl(f)), base + query);
    const QJsonObject report
        = QJsonDocument::fromJson(BuildJsonReport(f, {226694, 59877}, Version)).object();
    QCOMPARE(report.value(u"reportUrl"_s).toString(), base + query);
    QCOMPARE(report.value(u"name"_s).toString(), name);
    QCOMPARE(report.value(u"address"_s).toString(), address);
    QCOMPARE(report.value(u"listBytes"_s).toInteger(), 226694);
    QCOMPARE(ReportUrlText(BuildReportUrl(ReportFields())),
             base
                 + QLatin1StringView(
                     "Name=&Type=0&Server=&Post=0&Groups=&Speed=&CountABPE=&CountAS=&CountJBPE="
                     "&CountAFJ=&CountABME=&ExpireABPE=&ExpireAS=&ExpireJBPE=&ExpireAFJ=&"
                     "ExpireABME="));
}

void TestReport::encoderEveryByte()
{
    // Letters and digits stay, the blank becomes "+", every other byte "%XX".
    UrlEncoder encoder;
    QByteArray expected;
    for (int b = 0; b < 256; ++b) {
        encoder.InputString += char(b);
        const bool stays = QChar::isLetterOrNumber(char32_t(b)) && b < 0x80;
        expected += stays ? QByteArray(1, char(b))
            : b == ' '    ? QByteArray("+")
                          : "%" + QByteArray::number(b + 0x100, 16).toUpper().mid(1);
    }
    QCOMPARE(encoder.Encode(), expected);
    QCOMPARE(encoder.Encode(), expected);
}

void TestReport::browser_data()
{
    QTest::addColumn<QByteArray>("url"); // empty: the report button's own
    QTest::addColumn<bool>("installed");
    QByteArray everyByte = "http://x/?a=$(touch y)&b=`id`;'\"\\ *";
    for (int b = 1; b < 256; ++b)
        everyByte += char(b);
    QTest::newRow("the report button") << QByteArray() << true;
    QTest::newRow("every byte but NUL, shell characters") << everyByte << true;
    QTest::newRow("leading dash") << QByteArray("--help") << true;
    QTest::newRow("no browser at all") << QByteArray("http://x/?none") << false;
}

// The address goes to the browser byte for byte. The browser still runs (it waits for a
// go-ahead that comes only afterwards); a caller that waited for it would never return.
// Nothing is left behind to reap.
void TestReport::browser()
{
    QFETCH(QByteArray, url);
    QFETCH(bool, installed);
    FakeBrowser browser(installed);
    if (url.isEmpty())
        SubmitWebReport(filledWindow());
    else
        OpenInBrowser(url);
    if (installed) {
        QCOMPARE(browser.read(u"arg"_s).toHex(' '),
                 (url.isEmpty() ? BuildReportUrl(filledWindow()) : url).toHex(' '));
        QCOMPARE(browser.read(u"argc"_s), QByteArray("1"));
    }
    QVERIFY(noChildren());
}

void TestReport::versionString_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("text");
    static QTemporaryDir dir;
    auto elf = [](const char *name, const QString &text, const std::function<void(Elf &)> &change) {
        Elf e;
        change(e);
        const QString path = dir.filePath(QString::fromLatin1(name));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(e.bytes());
        QTest::newRow(name) << path << text;
    };
    QTest::newRow("the program itself") << u"" NEWSBENCH_PROGRAM ""_s << Version;
    QTest::newRow("largest, alpha")
        << u"" FIXTURE_MAX ""_s << u"v65535.65535.65535 Build 65535 [alpha]"_s;
    QTest::newRow("beta") << u"" FIXTURE_BETA ""_s << u"v1.1.0 Build 53 [beta]"_s;
    QTest::newRow("flags 3: no suffix") << u"" FIXTURE_FLAGS3 ""_s << u"v1.1.0 Build 53 "_s;
    QTest::newRow("no record") << u"" FIXTURE_NONE ""_s << QString();
    QTest::newRow("empty path") << QString() << QString();
    QTest::newRow("a device") << u"/dev/zero"_s << QString();
    elf("sound", u"v1.2.3 Build 4 "_s, [](Elf &) {});
    elf("flags 0x10001", u"v1.2.3 Build 4 "_s, [](Elf &e) { e.flags = 0x10001; });
    elf("wrong magic", {}, [](Elf &e) { e.magic = "NBVERSN0"; });
    elf("record section too small", {}, [](Elf &e) { e.recordSize = 19; });
    elf("record past the end", {}, [](Elf &e) { e.recordOffset = 0xFFFFFFF0; });
    elf("name past the name table", {}, [](Elf &e) { e.recordName = 0x7FFFFFFF; });
    elf("name is the final NUL", {}, [](Elf &e) { e.recordName = 19; });
    elf("similar name", {}, [](Elf &e) { e.sectionName = ".newsbench_version2"; });
    elf("name table size wraps", {}, [](Elf &e) { e.namesSize = 0xFFFFFFFFFFFFFFF0; });
    elf("name table cut short", {}, [](Elf &e) { e.namesSize = 5; });
    elf("section entries too small", {}, [](Elf &e) { e.entrySize = 16; });
    elf("another byte order", {}, [](Elf &e) { e.byteOrder = ELFDATA2MSB; });
    elf("name table index out of range", {}, [](Elf &e) { e.namesIndex = 3; });
}

void TestReport::versionString()
{
    QFETCH(QString, path);
    QFETCH(QString, text);
    QCOMPARE(VersionString(path), text);
}

void TestReport::clipboard()
{
    // On the clipboard as text and as the Shift-JIS bytes Windows programs paste; a speed
    // that is not a number leaves the clipboard as it was.
    QGuiApplication::clipboard()->setText(u"former"_s);
    ReportFields bad = filledWindow();
    bad.speed = u"12kb"_s;
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, CopyTextReport(bad, Title, Version));
    QCOMPARE(QGuiApplication::clipboard()->text(), u"former"_s);

    CopyTextReport(filledWindow(), Title, Version);
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    QCOMPARE(data->text(), FromShiftJis(FilledWindowReport));
    QCOMPARE(data->data(u"text/plain;charset=Shift_JIS"_s), FilledWindowReport);
}

void TestReport::articleFigures()
{
    // The article figures follow the 28 lines, the sixteen keys and the JSON report's own
    // members, and only for a run that measured them.
    ArticleSweepResult result;
    result.steps
        = {{1, 5'000'000, 1'000'000, 5'000'000, true}, {2, 9'000'000, 1'000'000, 9'000'000, true}};
    result.bestBytesPerSecond = 9'000'000;
    result.bestConnections = 2;
    result.acceptedConnections = 2;
    result.greetingUs = 1500;
    result.statUs = 400;
    result.articlesAsked = 30;
    result.articlesFound = 28;
    result.totalBytes = 14'100'000;
    result.end = SweepEnd::Maximum;
    const ReportFields classic = filledWindow();
    ReportFields f = classic;
    f.articles = result;
    f.articleByteCap = 50'000'000;
    QCOMPARE(BuildTextReport(classic, Title, Version).size(), 28);
    QCOMPARE(BuildTextReport(f, Title, Version),
             BuildTextReport(classic, Title, Version)
                 + BuildArticleReportLines(result, 50'000'000));
    QCOMPARE(BuildReportUrl(f), BuildReportUrl(classic) + BuildArticleQuery(result));
    QJsonObject report = QJsonDocument::fromJson(BuildJsonReport(f, {1, 1}, Version)).object();
    QVERIFY(!QJsonDocument::fromJson(BuildJsonReport(classic, {1, 1}, Version))
                 .object()
                 .contains(u"articles"_s));
    const QJsonObject articles = report.take(u"articles"_s).toObject();
    QCOMPARE(articles, BuildArticleJson(result));
    QCOMPARE(articles.value(u"steps"_s).toArray().size(), 2);
    QCOMPARE(report.value(u"reportUrl"_s).toString(), QString::fromLatin1(BuildReportUrl(f)));
}

QTEST_MAIN(TestReport)
#include "tst_report.moc"
