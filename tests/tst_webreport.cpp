#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <sys/wait.h>

#include "report/reporttexts.h"
#include "engine/shiftjis.h"
#include "report/urlencoder.h"
#include "report/webreport.h"

using namespace Qt::StringLiterals;

namespace {

ReportFields ExampleWindow()
{
    ReportFields f;
    f.name = u"My ISP"_s;
    f.serverTypeText = u"有料サーバ"_s;
    f.serverTypeIndex = 1;
    f.address = u"10.0.0.1"_s;
    f.postAllowedText = u"可"_s;
    f.postAllowed = true;
    f.groupCount = u"40000"_s;
    f.speed = u"250000"_s;
    f.counts = {u"120"_s, u"300"_s, u"45"_s, u"12"_s, u"80"_s};
    f.expires = {u"10"_s, u"14"_s, u"7"_s, u"3"_s, u"9"_s};
    return f;
}

// The part after the first "?", checking on the way that the address is the report page.
QByteArray QueryOf(const QByteArray &url)
{
    const qsizetype question = url.indexOf('?');
    if (question < 0 || !url.startsWith("http://")
        || !url.left(question).endsWith("/benchreport.php3"))
        return "not a report address: " + url;
    return url.mid(question + 1);
}

QByteArray EncodedName(const QString &name)
{
    ReportFields f = ExampleWindow();
    f.name = name;
    const QByteArray query = QueryOf(BuildReportUrl(f));
    return query.mid(5, query.indexOf("&Type=") - 5);
}

bool NoChildrenLeft()
{
    int status = 0;
    return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// An xdg-open first on PATH that writes the argument it got to a file, for as long as it lives.
class FakeBrowser
{
public:
    explicit FakeBrowser(int delaySeconds = 0, bool install = true)
        : m_oldPath(qgetenv("PATH"))
    {
        const QString dir = m_dir.path();
        if (install) {
            QFile script(dir + u"/xdg-open"_s);
            script.open(QIODevice::WriteOnly);
            script.write("#!/bin/sh\n");
            if (delaySeconds > 0)
                script.write("sleep " + QByteArray::number(delaySeconds) + "\n");
            const QByteArray out = QFile::encodeName(dir);
            script.write("printf '%s' \"$#\" > '" + out + "/argc'\n");
            script.write("printf '%s' \"$1\" > '" + out + "/argument.part'\n");
            script.write("mv '" + out + "/argument.part' '" + out + "/argument'\n");
            script.close();
            script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                  | QFileDevice::ExeOwner);
            qputenv("PATH", QFile::encodeName(dir) + ':' + m_oldPath);
        } else {
            qputenv("PATH", QFile::encodeName(dir)); // no xdg-open anywhere
        }
    }
    ~FakeBrowser() { qputenv("PATH", m_oldPath); }

    // What xdg-open was given, once it has written it, or nothing within the time.
    std::optional<QByteArray> argument(int timeoutMs = 20000) const
    {
        QFile file(m_dir.path() + u"/argument"_s);
        if (!QTest::qWaitFor([&] { return file.exists(); }, timeoutMs)
            || !file.open(QIODevice::ReadOnly))
            return std::nullopt;
        return file.readAll();
    }
    QByteArray argumentCount() const
    {
        QFile file(m_dir.path() + u"/argc"_s);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldPath;
};

} // namespace

class TestWebReport : public QObject
{
    Q_OBJECT

private slots:
    // The report address
    void exampleQuery();
    void addressBaseIsOurs();
    void nameEncoding_data();
    void nameEncoding();
    void otherValuesGoAsTyped();
    void postComesFromTheFlag();
    void emptyWindowGivesEmptyValues();

    // The URL encoder
    void encoderEveryByte();
    void encoderUpperBytes();
    void encoderDoubleByteNames();
    void encoderKeepsItsInput();

    // Handing the address to the browser
    void browserGetsTheAddressUnchanged_data();
    void browserGetsTheAddressUnchanged();
    void submitOpensTheReportAddress();
    void doesNotWaitForTheBrowser();
    void missingXdgOpenIsSilent();
};

void TestWebReport::exampleQuery()
{
    QCOMPARE(QueryOf(BuildReportUrl(ExampleWindow())),
             QByteArray("Name=My+ISP&Type=1&Server=10.0.0.1&Post=1&Groups=40000&Speed=250000"
                        "&CountABPE=120&CountAS=300&CountJBPE=45&CountAFJ=12&CountABME=80"
                        "&ExpireABPE=10&ExpireAS=14&ExpireJBPE=7&ExpireAFJ=3&ExpireABME=9"));
}

void TestWebReport::addressBaseIsOurs()
{
    const QByteArray url = BuildReportUrl(ExampleWindow());
    QVERIFY(url.startsWith(ReportUrlBase.toByteArray()));
    QVERIFY(ReportUrlBase.endsWith("/benchreport.php3?"));
    QCOMPARE(ReportUrlBase.count('?'), 1);
    const QByteArray host
        = ReportUrlBase.toByteArray().mid(7, ReportUrlBase.indexOf("/benchreport") - 7);
    QVERIFY(QRegularExpression(u"^[a-z0-9.-]+$"_s).match(QString::fromLatin1(host)).hasMatch());
}

void TestWebReport::nameEncoding_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("encoded");
    QTest::newRow("blank") << u"My ISP"_s << QByteArray("My+ISP");
    QTest::newRow("ampersand") << u"A&B"_s << QByteArray("A%26B");
    QTest::newRow("percent") << u"100%"_s << QByteArray("100%25");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("katakana, trail bytes as letters") << u"テスト"_s << QByteArray("%83e%83X%83g");
    QTest::newRow("unreserved marks too") << u"-._~*"_s << QByteArray("%2D%2E%5F%7E%2A");
    QTest::newRow("equals and plus") << u"a=b+c"_s << QByteArray("a%3Db%2Bc");
    QTest::newRow("control characters") << u"a\nb\tc"_s << QByteArray("a%0Ab%09c");
    QTest::newRow("two blanks") << u"  "_s << QByteArray("++");
    QTest::newRow("no Shift-JIS code") << u"caf\u00E9"_s << QByteArray("caf%3F");
}

void TestWebReport::nameEncoding()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, encoded);
    QCOMPARE(EncodedName(name), encoded);
    if (name.isEmpty()) {
        ReportFields f = ExampleWindow();
        f.name.clear();
        QVERIFY(QueryOf(BuildReportUrl(f)).startsWith("Name=&Type="));
    }
}

void TestWebReport::otherValuesGoAsTyped()
{
    ReportFields f = ExampleWindow();
    f.address = u"news server&x=1"_s;
    f.groupCount = u"4 0"_s;
    f.expires[4] = u"9%"_s;
    QVERIFY(QueryOf(BuildReportUrl(f)).contains("&Server=news server&x=1&Post=1&Groups=4 0&"));
    QVERIFY(QueryOf(BuildReportUrl(f)).endsWith("&ExpireABME=9%"));

    f.address = u"ニュース.jp"_s;
    f.serverTypeIndex = 2;
    const QByteArray query = QueryOf(BuildReportUrl(f));
    QVERIFY(query.contains("&Type=2&Server=\x83j\x83\x85\x81[\x83X.jp&Post="));
}

void TestWebReport::postComesFromTheFlag()
{
    ReportFields f = ExampleWindow();
    f.postAllowed = false;
    f.postAllowedText = u"可"_s; // typed by the user after a 201 greeting
    QVERIFY(QueryOf(BuildReportUrl(f)).contains("&Post=0&"));
    f.postAllowed = true;
    f.postAllowedText = u"不可"_s;
    QVERIFY(QueryOf(BuildReportUrl(f)).contains("&Post=1&"));
}

void TestWebReport::emptyWindowGivesEmptyValues()
{
    QCOMPARE(QueryOf(BuildReportUrl(ReportFields())),
             QByteArray("Name=&Type=0&Server=&Post=0&Groups=&Speed=&CountABPE=&CountAS=&CountJBPE="
                        "&CountAFJ=&CountABME=&ExpireABPE=&ExpireAS=&ExpireJBPE=&ExpireAFJ=&"
                        "ExpireABME="));
}

void TestWebReport::encoderEveryByte()
{
    UrlEncoder encoder;
    for (int b = 0; b < 256; ++b)
        encoder.InputString += char(b);
    const QByteArray out = encoder.Encode();

    // 62 letters and digits stay, the blank becomes "+", the other 193 bytes take three.
    QCOMPARE(out.size(), 62 + 1 + 193 * 3);
    QVERIFY(QRegularExpression(u"^([0-9A-Za-z+]|%[0-9A-F]{2})*$"_s)
                .match(QString::fromLatin1(out))
                .hasMatch());
    QCOMPARE(QByteArray::fromPercentEncoding(QByteArray(out).replace('+', ' ')),
             encoder.InputString);
    QVERIFY(out.contains("%2F0123456789%3A"));
    QVERIFY(out.contains("%40ABCDEFGHIJKLMNOPQRSTUVWXYZ%5B"));
    QVERIFY(out.contains("%60abcdefghijklmnopqrstuvwxyz%7B"));
    QVERIFY(out.startsWith("%00%01"));
    QVERIFY(out.contains("%1F+%21"));
}

void TestWebReport::encoderUpperBytes()
{
    for (int b = 0x80; b <= 0xFF; ++b) {
        UrlEncoder encoder;
        encoder.InputString = QByteArray(1, char(b));
        QCOMPARE(encoder.Encode(), "%" + QByteArray::number(b, 16).toUpper());
    }
    UrlEncoder encoder;
    encoder.InputString = QByteArray("\xE9\x0A\x2D");
    QCOMPARE(encoder.Encode(), QByteArray("%E9%0A%2D"));
}

void TestWebReport::encoderDoubleByteNames()
{
    // ー is 81 5B: neither byte a letter or digit, so each character grows to six.
    UrlEncoder encoder;
    encoder.InputString = ToShiftJis(u"ーーー"_s);
    QCOMPARE(encoder.Encode(), QByteArray("%81%5B%81%5B%81%5B"));
    encoder.InputString = ToShiftJis(u"ニュースサーバ"_s);
    QCOMPARE(encoder.Encode(), QByteArray("%83j%83%85%81%5B%83X%83T%81%5B%83o"));
}

void TestWebReport::encoderKeepsItsInput()
{
    UrlEncoder encoder;
    QCOMPARE(encoder.Encode(), QByteArray());
    encoder.InputString = "a b";
    QCOMPARE(encoder.Encode(), QByteArray("a+b"));
    QCOMPARE(encoder.Encode(), QByteArray("a+b"));
    QCOMPARE(encoder.InputString, QByteArray("a b"));
}

void TestWebReport::browserGetsTheAddressUnchanged_data()
{
    QTest::addColumn<QByteArray>("url");
    QTest::newRow("example") << BuildReportUrl(ExampleWindow());

    ReportFields f = ExampleWindow();
    f.name = u"ニュース接続"_s;
    f.address = u"ニュース.例え.jp"_s; // raw Shift-JIS, not valid UTF-8
    QTest::newRow("Shift-JIS address") << BuildReportUrl(f);

    QByteArray everyByte = "http://x/?";
    for (int b = 1; b < 256; ++b)
        everyByte += char(b);
    QTest::newRow("every byte but NUL") << everyByte;
    QTest::newRow("shell characters") << QByteArray("http://x/?a=$(touch y)&b=`id`;'\"\\ *");
    QTest::newRow("leading dash") << QByteArray("--help");
}

void TestWebReport::browserGetsTheAddressUnchanged()
{
    QFETCH(QByteArray, url);
    FakeBrowser browser;
    OpenInBrowser(url);
    const std::optional<QByteArray> got = browser.argument();
    QVERIFY2(got, "xdg-open was not started");
    QCOMPARE(got->toHex(' '), url.toHex(' '));
    QCOMPARE(browser.argumentCount(), QByteArray("1"));
}

void TestWebReport::submitOpensTheReportAddress()
{
    ReportFields f = ExampleWindow();
    f.name = u"テスト"_s;
    f.address = u"ニュース"_s;
    FakeBrowser browser;
    SubmitWebReport(f);
    const std::optional<QByteArray> got = browser.argument();
    QVERIFY2(got, "xdg-open was not started");
    QCOMPARE(*got,
             ReportUrlBase.toByteArray()
                 + "Name=%83e%83X%83g&Type=1&Server=\x83j\x83\x85\x81[\x83X&Post=1&Groups=40000"
                   "&Speed=250000&CountABPE=120&CountAS=300&CountJBPE=45&CountAFJ=12&CountABME="
                   "80"
                   "&ExpireABPE=10&ExpireAS=14&ExpireJBPE=7&ExpireAFJ=3&ExpireABME=9");
}

void TestWebReport::doesNotWaitForTheBrowser()
{
    FakeBrowser browser(3);
    QElapsedTimer timer;
    timer.start();
    OpenInBrowser("http://x/?slow");
    QVERIFY2(timer.elapsed() < 2000, "waited for the browser");
    // Nothing of ours is left to reap, while xdg-open is still running.
    QVERIFY(NoChildrenLeft());
    const std::optional<QByteArray> got = browser.argument();
    QVERIFY2(got, "xdg-open was not started");
    QCOMPARE(*got, QByteArray("http://x/?slow"));
    QVERIFY(NoChildrenLeft());
}

void TestWebReport::missingXdgOpenIsSilent()
{
    FakeBrowser nowhere(0, false);
    QElapsedTimer timer;
    timer.start();
    OpenInBrowser("http://x/?none");
    QVERIFY(timer.elapsed() < 2000);
    QVERIFY(NoChildrenLeft());
}

QTEST_GUILESS_MAIN(TestWebReport)
#include "tst_webreport.moc"
