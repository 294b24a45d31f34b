// The Shift-JIS conversions: the input as bytes from a server, and as UTF-16 code units a
// user typed, lone surrogates included.
#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <cstdint>
#include <cstring>

#include "engine/shiftjis.h"
#include "tests/fuzz/fuzzcheck.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The converters want an application object, as in the program.
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    // One character at most per byte, U+FFFD and nothing else for bytes that are not
    // Shift-JIS, ASCII as it is.
    const QString read = FromShiftJis(bytes);
    FUZZ_CHECK(read.size() <= bytes.size());
    FUZZ_CHECK(read.count(QChar(0x1A)) <= bytes.count('\x1A'));
    bool ascii = true;
    for (const char c : bytes)
        ascii = ascii && uchar(c) < 0x80;
    if (ascii)
        FUZZ_CHECK(read == QString::fromLatin1(bytes));
    // What was read writes back as the same characters, '?' standing in for U+FFFD.
    QString back = read;
    back.replace(QChar::ReplacementCharacter, QLatin1Char('?'));
    FUZZ_CHECK(FromShiftJis(ToShiftJis(read)) == back);

    QString typed(qsizetype(size / 2), Qt::Uninitialized);
    std::memcpy(typed.data(), data, size / 2 * 2);
    const QByteArray sent = ToShiftJis(typed);
    FUZZ_CHECK(sent.size() <= 2 * typed.size());
    FUZZ_CHECK(ToShiftJis(FromShiftJis(sent)) == sent);
    return 0;
}
