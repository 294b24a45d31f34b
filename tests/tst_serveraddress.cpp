// What the address field takes: one row per form a user types, with the host, port and TLS
// flag it gives, or the reason the run refuses it.
#include <QTest>

#include "engine/serveraddress.h"

class TestServerAddress : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void TestServerAddress::parse_data()
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
    ok("host name", "news.example.com", "news.example.com", 119, false);
    ok("IPv4", "192.0.2.7", "192.0.2.7", 119, false);
    ok("name and port", "news.example.com:8119", "news.example.com", 8119, false);
    ok("bracketed IPv6 and port", "[2001:db8::7]:119", "2001:db8::7", 119, false);
    ok("bracketed IPv6", "[::1]", "::1", 119, false);
    ok("bare IPv6", "2001:db8::7", "2001:db8::7", 119, false);
    ok("bare loopback IPv6", "::1", "::1", 119, false);
    ok("nntps", "nntps://news.example.com", "news.example.com", 563, true);
    ok("nntps with port", "nntps://news.example.com:443", "news.example.com", 443, true);
    ok("nntps IPv6", "nntps://[::1]:5630", "::1", 5630, true);
    ok("scheme in capitals", "NNTPS://news.example.com", "news.example.com", 563, true);
    ok("nntp", "nntp://news.example.com", "news.example.com", 119, false);
    ok("nntp with port 563 stays plain", "nntp://news.example.com:563", "news.example.com", 563,
       false);
    ok("news scheme", "news://news.example.com/", "news.example.com", 119, false);
    ok("snews scheme", "snews://news.example.com", "news.example.com", 563, true);
    ok("port 563 means TLS", "news.example.com:563", "news.example.com", 563, true);
    ok("highest port", "h:65535", "h", 65535, false);
    ok("Japanese name", "ニュース.example.jp", "ニュース.example.jp", 119, false);

    refused("empty", "", "入力");
    refused("unknown scheme", "http://news.example.com", "http://");
    refused("port 0", "news.example.com:0", "ポート");
    refused("port above 65535", "news.example.com:65536", "ポート");
    refused("port of many digits", "news.example.com:0000119", "ポート");
    refused("port not a number", "news.example.com:abc", "ポート");
    refused("empty port", "news.example.com:", "ポート");
    refused("unclosed bracket", "[2001:db8::7:119", "[ ]");
    refused("bracket without IPv6", "[news.example.com]", "IPv6");
    refused("bad bare IPv6", "a:b:c", "IPv6");
    refused("junk after bracket", "[::1]x", "ホスト");
    refused("blank in the name", "news example.com", "ホスト");
    refused("blanks only", "   ", "ホスト");
    refused("user in the address", "nntps://user@news.example.com", "ホスト");
    refused("a path", "nntp://news.example.com/alt.test", "ホスト");
    refused("scheme without host", "nntps://", "入力");
    refused("too long", QString(256, u'a'), "長すぎ");
}

void TestServerAddress::parse()
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

QTEST_GUILESS_MAIN(TestServerAddress)
#include "tst_serveraddress.moc"
