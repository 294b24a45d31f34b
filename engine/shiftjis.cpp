#include "engine/shiftjis.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace {

constexpr char CodePage[] = "windows-31j";
constexpr auto Flags = QStringConverter::Flag::Stateless;

// Linux input methods give the JIS forms of these; the code page only has its own look-alikes.
char16_t FoldToCodePage(char16_t c)
{
    switch (c) {
    case u'\u301C':
        return u'\uFF5E'; // wave dash → full-width tilde
    case u'\u2212':
        return u'\uFF0D'; // minus sign → full-width hyphen-minus
    case u'\u2016':
        return u'\u2225'; // double vertical line → parallel to
    case u'\u00A2':
        return u'\uFFE0'; // cent sign → full-width cent sign
    case u'\u00AC':
        return u'\uFFE2'; // not sign → full-width not sign
    default:
        return c;
    }
}

bool IsShiftJisLeadByte(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

bool IsShiftJisTrailByte(unsigned char b)
{
    return b >= 0x40 && b <= 0xFC && b != 0x7F;
}

// The converter follows IBM's table for three control codes, where code page 932 keeps ASCII.
void RestoreControlCodes(QByteArray &bytes)
{
    for (char &c : bytes) {
        switch (static_cast<unsigned char>(c)) {
        case 0x7F:
            c = 0x1A;
            break;
        case 0x1A:
            c = 0x1C;
            break;
        case 0x1C:
            c = 0x7F;
            break;
        default:
            break;
        }
    }
}

} // namespace

QByteArray ToShiftJis(const QString &text)
{
    QString folded = text;
    for (QChar &c : folded)
        c = QChar(FoldToCodePage(c.unicode()));

    QStringEncoder encoder(CodePage, Flags);
    if (encoder.isValid()) {
        QByteArray bytes = encoder.encode(folded);
        if (!encoder.hasError()) {
            RestoreControlCodes(bytes);
            return bytes;
        }
    }

    // The converter writes FC FC for a character it cannot map, which a reader takes for a
    // kanji; one character at a time we can put '?' there instead.
    QByteArray bytes;
    bytes.reserve(folded.size() * 2);
    for (qsizetype i = 0; i < folded.size();) {
        const bool pair = folded.at(i).isHighSurrogate() && i + 1 < folded.size()
            && folded.at(i + 1).isLowSurrogate();
        const QStringView character = QStringView(folded).mid(i, pair ? 2 : 1);
        i += character.size();

        QStringEncoder one(CodePage, Flags);
        if (!one.isValid()) {
            bytes += character.front().unicode() < 0x80 ? char(character.front().unicode()) : '?';
            continue;
        }
        QByteArray piece = one.encode(character);
        RestoreControlCodes(piece);
        bytes += one.hasError() || piece.isEmpty() ? QByteArray("?") : piece;
    }
    return bytes;
}

QString FromShiftJis(QByteArrayView bytes)
{
    QStringDecoder decoder(CodePage, Flags);
    if (!decoder.isValid())
        return QString::fromLatin1(bytes);

    // Only whole double-byte characters go to the converter: it gives U+001A, not U+FFFD, for
    // a bad single byte, and IBM's control codes for ASCII.
    QString text;
    text.reserve(bytes.size());
    qsizetype i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            text += QChar(b);
            ++i;
        } else if (b >= 0xA1 && b <= 0xDF) {
            text += QChar(char16_t(0xFF61 + (b - 0xA1))); // half-width katakana
            ++i;
        } else if (IsShiftJisLeadByte(b) && i + 1 < bytes.size()
                   && IsShiftJisTrailByte(static_cast<unsigned char>(bytes[i + 1]))) {
            qsizetype end = i + 2;
            while (end + 1 < bytes.size()
                   && IsShiftJisLeadByte(static_cast<unsigned char>(bytes[end]))
                   && IsShiftJisTrailByte(static_cast<unsigned char>(bytes[end + 1])))
                end += 2;
            QString run = decoder.decode(bytes.sliced(i, end - i));
            run.replace(QChar(0x1A), QChar::ReplacementCharacter);
            text += run;
            i = end;
        } else {
            // 80, A0, FD to FF, or a lead byte without a trail byte after it.
            text += QChar::ReplacementCharacter;
            ++i;
        }
    }
    return text;
}
