#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QProcess>
#include <QTest>

#include <cstdio>
#include <stdexcept>

#include "engine/shiftjis.h"
#include "report/reporttexts.h"
#include "report/textreport.h"
#include "ui/reportclipboard.h"

using namespace Qt::StringLiterals;

namespace {

const QString Title = QStringLiteral("ニュースサーバ・ベンチマーク");
const QString Version = QStringLiteral("v1.1.0 Build 53 ");

// Set in a copy of this program that the clipboard tests start as another client.
constexpr char ChildModeVariable[] = "NEWSBENCH_TEXTREPORT_CHILD";

// The window after a run against an open server.
ReportFields FilledWindow()
{
    ReportFields f;
    f.name = QStringLiteral("ニュース接続サービス");
    f.serverTypeText = QStringLiteral("オープンサーバ");
    f.serverTypeIndex = 2;
    f.address = QStringLiteral("news.example.ne.jp");
    f.postAllowedText = QStringLiteral("可");
    f.postAllowed = true;
    f.groupCount = QStringLiteral("40000");
    f.speed = QStringLiteral("250000");
    f.counts = {u"120"_s, u"300"_s, u"45"_s, u"12"_s, u"80"_s};
    f.expires = {u"10"_s, u"14"_s, u"7"_s, u"3"_s, u"9"_s};
    return f;
}

const QStringList FilledWindowReport = {
    u"======================================="_s,
    u"ニュースサーバ・ベンチマーク v1.1.0 Build 53 "_s,
    u"Published by the newsbench project, 2026"_s,
    u"http://newsbench.example.org/newsgroup/"_s,
    u"======================================="_s,
    QString(),
    u"サービス名   : ニュース接続サービス"_s,
    u"サービス種別 : オープンサーバ"_s,
    u"アドレス     : news.example.ne.jp"_s,
    u"投稿の可否   : 可"_s,
    u"総グループ数 : 40000"_s,
    u"平均速度     : 244.14 kbps"_s,
    QString(),
    u"主なカテゴリのグループ数"_s,
    u"======================================="_s,
    u"alt.binaries.pictures.erotica.* : 120 groups"_s,
    u"alt.sex.* : 300 groups"_s,
    u"japan.binaries.pictures.erotica.* : 45 groups"_s,
    u"alt.freedom.jbpe.* : 12 groups"_s,
    u"alt.binaries.multimedia.erotica.* : 80 groups"_s,
    QString(),
    u"主なカテゴリの保存期間（推定）"_s,
    u"======================================="_s,
    u"alt.binaries.pictures.erotica.* : 10 日"_s,
    u"alt.sex.* : 14 日"_s,
    u"japan.binaries.pictures.erotica.* : 7 日"_s,
    u"alt.freedom.jbpe.* : 3 日"_s,
    u"alt.binaries.multimedia.erotica.* : 9 日"_s,
};

// The same report as a Windows program pastes it (CP932, written out independently).
const QByteArray FilledWindowReportShiftJis
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

QString NotAnIntegerMessage(const QString &speed)
{
    return u"'"_s + speed + u"' は整数ではありません"_s;
}

// Starts this program again as another clipboard client and returns what it printed.
QByteArray RunChild(const QByteArray &mode, int *exitCode = nullptr)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(ChildModeVariable), QString::fromLatin1(mode));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {});
    // Our event loop must keep running: on X11 we serve the child's clipboard request.
    if (!QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 60000)) {
        child.kill();
        child.waitForFinished();
        return "timed out";
    }
    if (exitCode)
        *exitCode = child.exitCode();
    return child.readAllStandardOutput();
}

} // namespace

class TestTextReport : public QObject
{
    Q_OBJECT

private slots:
    // The report text
    void filledWindowGivesTheReport();
    void reportBytesAreShiftJis();
    void fieldLabelsAreFifteenBytes();
    void titleLineWithAndWithoutVersion();
    void fieldsAreNotTrimmed();
    void emptyFieldsGiveTheLabelsAlone();
    void speedInKbps_data();
    void speedInKbps();
    void speedThatIsNotAnInteger_data();
    void speedThatIsNotAnInteger();

    // Shift-JIS conversion
    void shiftJisEncodesTheCodePage();
    void shiftJisFoldsInputMethodCharacters();
    void shiftJisMarksUnmappableCharacters();
    void shiftJisDecodes();

    // The clipboard
    void copyPutsBothFlavours();
    void copyReplacesFormerContents();
    void badSpeedLeavesClipboard();
    void otherProgramsPasteTheReport();
    void noClipboardWithoutGuiApplication();
};

void TestTextReport::filledWindowGivesTheReport()
{
    const QStringList lines = BuildTextReport(FilledWindow(), Title, Version);
    QCOMPARE(lines.size(), 28);
    for (int i = 0; i < 28; ++i)
        QCOMPARE(lines[i], FilledWindowReport[i]);
    for (int emptyLine : {6, 13, 21})
        QVERIFY(lines[emptyLine - 1].isEmpty());

    const QString text = JoinReportLines(lines);
    QVERIFY(text.endsWith(u"\r\n"_s));
    QCOMPARE(text.count(u"\r\n"_s), 28);
    QCOMPARE(text.count(u'\n'), 28);
    QCOMPARE(text.count(u'\r'), 28);
    QCOMPARE(text.split(u"\r\n"_s), FilledWindowReport + QStringList{QString()});
}

void TestTextReport::reportBytesAreShiftJis()
{
    const QByteArray bytes
        = ToShiftJis(JoinReportLines(BuildTextReport(FilledWindow(), Title, Version)));
    const QList<QByteArray> got = bytes.split('\n');
    const QList<QByteArray> want = FilledWindowReportShiftJis.split('\n');
    QCOMPARE(got.size(), want.size());
    for (qsizetype i = 0; i < got.size(); ++i)
        QCOMPARE(got[i].toHex(' '), want[i].toHex(' '));
    QCOMPARE(bytes, FilledWindowReportShiftJis);
}

void TestTextReport::fieldLabelsAreFifteenBytes()
{
    ReportFields f;
    f.speed = u"0"_s;
    const QStringList lines = BuildTextReport(f, Title, Version);
    for (int lineNumber = 7; lineNumber <= 12; ++lineNumber) {
        const QByteArray line = ToShiftJis(lines[lineNumber - 1]);
        const QByteArray label
            = lineNumber == 12 ? line.chopped(QByteArray("0.00 kbps").size()) : line;
        QCOMPARE(label.size(), 15);
        QCOMPARE(label.at(13), ':');
        QCOMPARE(label.at(14), ' ');
        QVERIFY(!label.contains('?'));
    }
}

void TestTextReport::titleLineWithAndWithoutVersion()
{
    const ReportFields f = FilledWindow();
    QCOMPARE(BuildTextReport(f, Title, Version).at(1),
             u"ニュースサーバ・ベンチマーク v1.1.0 Build 53 "_s);
    QCOMPARE(BuildTextReport(f, Title, u"v1.1.0 Build 53 [beta]"_s).at(1),
             u"ニュースサーバ・ベンチマーク v1.1.0 Build 53 [beta]"_s);
    QCOMPARE(BuildTextReport(f, Title, QString()).at(1), u"ニュースサーバ・ベンチマーク "_s);
}

void TestTextReport::fieldsAreNotTrimmed()
{
    ReportFields f = FilledWindow();
    f.name = u"  My ISP  "_s;
    f.address = u" 10.0.0.1\t"_s;
    f.counts[1] = u" 300 "_s;
    f.expires[4] = u"9 "_s;
    const QStringList lines = BuildTextReport(f, Title, Version);
    QCOMPARE(lines[6], u"サービス名   :   My ISP  "_s);
    QCOMPARE(lines[8], u"アドレス     :  10.0.0.1\t"_s);
    QCOMPARE(lines[16], u"alt.sex.* :  300  groups"_s);
    QCOMPARE(lines[27], u"alt.binaries.multimedia.erotica.* : 9  日"_s);
}

void TestTextReport::emptyFieldsGiveTheLabelsAlone()
{
    ReportFields f;
    f.speed = u"1536"_s;
    const QStringList lines = BuildTextReport(f, Title, QString());
    QCOMPARE(lines.size(), 28);
    QCOMPARE(lines[6], u"サービス名   : "_s);
    QCOMPARE(lines[7], u"サービス種別 : "_s);
    QCOMPARE(lines[8], u"アドレス     : "_s);
    QCOMPARE(lines[9], u"投稿の可否   : "_s);
    QCOMPARE(lines[10], u"総グループ数 : "_s);
    QCOMPARE(lines[11], u"平均速度     : 1.50 kbps"_s);
    QCOMPARE(lines[17], u"japan.binaries.pictures.erotica.* :  groups"_s);
    QCOMPARE(lines[25], u"japan.binaries.pictures.erotica.* :  日"_s);
}

void TestTextReport::speedInKbps_data()
{
    QTest::addColumn<QString>("speed");
    QTest::addColumn<QString>("line");
    QTest::newRow("1536") << u"1536"_s << u"1.50 kbps"_s;
    QTest::newRow("100000") << u"100000"_s << u"97.66 kbps"_s;
    QTest::newRow("0") << u"0"_s << u"0.00 kbps"_s;
    QTest::newRow("1023 rounds up") << u"1023"_s << u"1.00 kbps"_s;
    QTest::newRow("128 halfway to even") << u"128"_s << u"0.12 kbps"_s;
    QTest::newRow("384 halfway to even") << u"384"_s << u"0.38 kbps"_s;
    QTest::newRow("640 halfway to even") << u"640"_s << u"0.62 kbps"_s;
    QTest::newRow("250000") << u"250000"_s << u"244.14 kbps"_s;
    QTest::newRow("leading zeros") << u"0001536"_s << u"1.50 kbps"_s;
    QTest::newRow("plus sign") << u"+1536"_s << u"1.50 kbps"_s;
    QTest::newRow("leading blanks") << u"  1536"_s << u"1.50 kbps"_s;
    QTest::newRow("hexadecimal") << u"0x600"_s << u"1.50 kbps"_s;
    QTest::newRow("dollar hexadecimal") << u"$600"_s << u"1.50 kbps"_s;
    QTest::newRow("negative") << u"-1536"_s << u"-1.50 kbps"_s;
    QTest::newRow("beyond 32 bits") << u"4294967296"_s << u"4194304.00 kbps"_s;
    QTest::newRow("64-bit maximum") << u"9223372036854775807"_s << u"9007199254740992.00 kbps"_s;
    QTest::newRow("64-bit minimum") << u"-9223372036854775808"_s << u"-9007199254740992.00 kbps"_s;
}

void TestTextReport::speedInKbps()
{
    QFETCH(QString, speed);
    QFETCH(QString, line);
    QCOMPARE(SpeedInKbps(speed), line);
    ReportFields f = FilledWindow();
    f.speed = speed;
    QCOMPARE(BuildTextReport(f, Title, Version).at(11), u"平均速度     : "_s + line);
}

void TestTextReport::speedThatIsNotAnInteger_data()
{
    QTest::addColumn<QString>("speed");
    QTest::newRow("empty") << QString();
    QTest::newRow("word") << u"abc"_s;
    QTest::newRow("trailing blank") << u"1536 "_s;
    QTest::newRow("decimal point") << u"1.5"_s;
    QTest::newRow("exponent") << u"1e3"_s;
    QTest::newRow("hexadecimal without digits") << u"0x"_s;
    QTest::newRow("sign alone") << u"-"_s;
    QTest::newRow("two signs") << u"--5"_s;
    QTest::newRow("full-width digits") << u"１５３６"_s;
    QTest::newRow("one above 64-bit maximum") << u"9223372036854775808"_s;
    QTest::newRow("one below 64-bit minimum") << u"-9223372036854775809"_s;
    QTest::newRow("far too long") << u"123456789012345678901234567890"_s;
    QTest::newRow("percent s") << u"%s"_s;
}

void TestTextReport::speedThatIsNotAnInteger()
{
    QFETCH(QString, speed);
    ReportFields f = FilledWindow();
    f.speed = speed;
    try {
        BuildTextReport(f, Title, Version);
        QFAIL("no exception");
    } catch (const std::runtime_error &e) {
        QCOMPARE(QString::fromUtf8(e.what()), NotAnIntegerMessage(speed));
    }
}

void TestTextReport::shiftJisEncodesTheCodePage()
{
    QCOMPARE(ToShiftJis(u"テスト"_s), QByteArray("\x83\x65\x83\x58\x83\x67"));
    QCOMPARE(ToShiftJis(u"ABC 123\r\n"_s), QByteArray("ABC 123\r\n"));
    // CP932 extensions and half-width katakana.
    QCOMPARE(ToShiftJis(u"①髙ｱ"_s), QByteArray("\x87\x40\xFB\xFC\xB1"));
    QCOMPARE(ToShiftJis(QString()), QByteArray());
    // Control codes stay themselves both ways; bytes that are not Shift-JIS become U+FFFD.
    QCOMPARE(ToShiftJis(u"\u001A\u001C\u007F"_s), QByteArray("\x1A\x1C\x7F"));
    QCOMPARE(FromShiftJis("\x1A\x1C\x7F"), u"\u001A\u001C\u007F"_s);
    QCOMPARE(FromShiftJis("\x81 x\xFF\x80"), u"\uFFFD x\uFFFD\uFFFD"_s);
    QCOMPARE(FromShiftJis("\x83\x65\x83"), u"テ\uFFFD"_s);
}

void TestTextReport::shiftJisFoldsInputMethodCharacters()
{
    // 〜 − ‖ ¢ ¬ as a Linux input method types them, and their code-page forms.
    QCOMPARE(ToShiftJis(u"\u301C\u2212\u2016\u00A2\u00AC"_s),
             QByteArray("\x81\x60\x81\x7C\x81\x61\x81\x91\x81\xCA"));
    QCOMPARE(ToShiftJis(u"\uFF5E\uFF0D\u2225\uFFE0\uFFE2"_s),
             QByteArray("\x81\x60\x81\x7C\x81\x61\x81\x91\x81\xCA"));
    QCOMPARE(ToShiftJis(u"9時\u301C17時"_s),
             QByteArray("9\x8E\x9E\x81\x60"
                        "17\x8E\x9E"));
}

void TestTextReport::shiftJisMarksUnmappableCharacters()
{
    // One '?' per character, never the converter's FC FC, and the rest intact.
    QCOMPARE(ToShiftJis(u"caf\u00E9"_s), QByteArray("caf?"));
    QCOMPARE(ToShiftJis(u"a\U0001F600b"_s), QByteArray("a?b"));
    QCOMPARE(ToShiftJis(u"テ\u00E9スト\u4E02"_s), QByteArray("\x83\x65?\x83\x58\x83\x67?"));
    const QChar loneHigh(char16_t(0xD83D));
    const QChar loneLow(char16_t(0xDE00));
    QCOMPARE(ToShiftJis(u"x"_s + loneHigh), QByteArray("x?"));
    QCOMPARE(ToShiftJis(loneLow + u"x"_s), QByteArray("?x"));
    QCOMPARE(ToShiftJis(loneHigh + u"テ"_s), QByteArray("?\x83\x65"));
}

void TestTextReport::shiftJisDecodes()
{
    QCOMPARE(FromShiftJis("\x83\x65\x83\x58\x83\x67"), u"テスト"_s);
    QCOMPARE(FromShiftJis("\x81\x60"), u"\uFF5E"_s);
    QCOMPARE(FromShiftJis("\\~"), u"\\~"_s);
    QCOMPARE(FromShiftJis(FilledWindowReportShiftJis), JoinReportLines(FilledWindowReport));
    // A lead byte cut off at the end is not silently dropped.
    QCOMPARE(FromShiftJis("a\x82"), u"a\uFFFD"_s);
    QCOMPARE(FromShiftJis("\x82\xA0\x82"), u"あ\uFFFD"_s);
    QCOMPARE(FromShiftJis(QByteArrayView()), QString());
}

void TestTextReport::copyPutsBothFlavours()
{
    CopyTextReport(FilledWindow(), Title, Version);
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    QVERIFY(data);
    QCOMPARE(data->text(), JoinReportLines(FilledWindowReport));
    QCOMPARE(data->data(u"text/plain"_s), JoinReportLines(FilledWindowReport).toUtf8());
    QCOMPARE(data->data(u"text/plain;charset=Shift_JIS"_s), FilledWindowReportShiftJis);
}

void TestTextReport::copyReplacesFormerContents()
{
    auto *former = new QMimeData;
    former->setText(u"former text"_s);
    former->setHtml(u"<b>former</b>"_s);
    QGuiApplication::clipboard()->setMimeData(former);

    CopyReportToClipboard(u"report\r\n"_s);
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    QVERIFY(data);
    QCOMPARE(data->text(), u"report\r\n"_s);
    QVERIFY(!data->hasHtml());
    QCOMPARE(data->data(u"text/plain;charset=Shift_JIS"_s), QByteArray("report\r\n"));
}

void TestTextReport::badSpeedLeavesClipboard()
{
    QGuiApplication::clipboard()->setText(u"former text"_s);
    ReportFields f = FilledWindow();
    f.speed = u"12kb"_s;
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, CopyTextReport(f, Title, Version));
    QCOMPARE(QGuiApplication::clipboard()->text(), u"former text"_s);
    QVERIFY(
        !QGuiApplication::clipboard()->mimeData()->hasFormat(u"text/plain;charset=Shift_JIS"_s));
}

void TestTextReport::otherProgramsPasteTheReport()
{
    if (QGuiApplication::platformName() != u"xcb")
        QSKIP("another process shares the clipboard only on a display server");
    CopyTextReport(FilledWindow(), Title, Version);
    const QList<QByteArray> pasted = RunChild("paste").split('\n');
    QCOMPARE(pasted.size(), 3);
    QCOMPARE(QByteArray::fromHex(pasted[0]), JoinReportLines(FilledWindowReport).toUtf8());
    QCOMPARE(QByteArray::fromHex(pasted[1]), FilledWindowReportShiftJis);
}

void TestTextReport::noClipboardWithoutGuiApplication()
{
    int exitCode = -1;
    const QByteArray printed = RunChild("no-gui", &exitCode);
    QCOMPARE(exitCode, 3);
    QCOMPARE(QString::fromUtf8(printed), u"クリップボードを開くことができません"_s);
}

int main(int argc, char **argv)
{
    const QByteArray childMode = qgetenv(ChildModeVariable);
    if (childMode == "no-gui") {
        QCoreApplication app(argc, argv);
        try {
            CopyReportToClipboard(u"report\r\n"_s);
            return 0;
        } catch (const std::runtime_error &e) {
            std::fputs(e.what(), stdout);
            return 3;
        }
    }
    if (childMode == "paste") {
        QGuiApplication app(argc, argv);
        const QMimeData *data = QGuiApplication::clipboard()->mimeData();
        if (!data)
            return 1;
        std::printf("%s\n%s\n", data->text().toUtf8().toHex().constData(),
                    data->data(u"text/plain;charset=Shift_JIS"_s).toHex().constData());
        return 0;
    }

    QGuiApplication app(argc, argv);
    TestTextReport test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_textreport.moc"
