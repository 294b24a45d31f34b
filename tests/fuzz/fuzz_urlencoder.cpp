// UrlEncoder::Encode and the Shift-JIS conversions. The input is taken as bytes and also as
// UTF-16 code units, lone surrogates included.
#include <QByteArray>
#include <QByteArrayView>
#include <QCoreApplication>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/shiftjis.h"
#include "report/urlencoder.h"
#include "tests/fuzz/fuzzcheck.h"

namespace {

bool staysAsIs(uchar c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // lower-case hex digits are not what Encode writes
}

void checkEncode(const QByteArray &input)
{
    UrlEncoder encoder;
    encoder.InputString = input;
    encoder.OnError = [](const UrlEncoder &, const QString &, const QString &) {
        FUZZ_CHECK(!"Encode reported an error");
    };
    const QByteArray encoded = encoder.Encode();

    QByteArray decoded;
    for (qsizetype i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '%') {
            FUZZ_CHECK(i + 2 < encoded.size());
            const int high = hexValue(encoded[i + 1]);
            const int low = hexValue(encoded[i + 2]);
            FUZZ_CHECK(high >= 0 && low >= 0);
            const char byte = char(high * 16 + low);
            // A byte that could have stayed as it is is never escaped.
            FUZZ_CHECK(!staysAsIs(uchar(byte)) && byte != ' ');
            decoded += byte;
            i += 2;
        } else if (c == '+') {
            decoded += ' ';
        } else {
            FUZZ_CHECK(staysAsIs(uchar(c)));
            decoded += c;
        }
    }
    FUZZ_CHECK(decoded == input);
}

bool isAscii(QByteArrayView bytes)
{
    for (const char c : bytes) {
        if (uchar(c) >= 0x80)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The converters want an application object, as in the program.
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    checkEncode(bytes);

    // Bytes from a server: one character at most per byte, U+FFFD and nothing else for bytes
    // that are not Shift-JIS, and ASCII as it is.
    const QString fromServer = FromShiftJis(bytes);
    FUZZ_CHECK(fromServer.size() <= bytes.size());
    FUZZ_CHECK(fromServer.count(QChar(0x1A)) <= bytes.count('\x1A'));
    if (isAscii(bytes))
        FUZZ_CHECK(fromServer == QString::fromLatin1(bytes));
    // What was read writes back as the same characters, '?' standing in for U+FFFD.
    QString expectedBack = fromServer;
    expectedBack.replace(QChar::ReplacementCharacter, QLatin1Char('?'));
    FUZZ_CHECK(FromShiftJis(ToShiftJis(fromServer)) == expectedBack);

    // Text typed by the user, any UTF-16 at all.
    QString typed(qsizetype(size / 2), Qt::Uninitialized);
    std::memcpy(typed.data(), data, size / 2 * 2);
    const QByteArray sent = ToShiftJis(typed);
    FUZZ_CHECK(sent.size() <= 2 * typed.size());
    bool typedAscii = true;
    for (const QChar c : typed)
        typedAscii = typedAscii && c.unicode() < 0x80;
    if (typedAscii)
        FUZZ_CHECK(sent == typed.toLatin1());
    // Converting what was sent back and forth again changes nothing.
    FUZZ_CHECK(ToShiftJis(FromShiftJis(sent)) == sent);
    checkEncode(sent);
    return 0;
}
