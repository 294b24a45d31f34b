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

} // namespace

QByteArray ToShiftJis(const QString &text)
{
    QString folded = text;
    for (QChar &c : folded)
        c = QChar(FoldToCodePage(c.unicode()));

    QStringEncoder encoder(CodePage, Flags);
    if (encoder.isValid()) {
        QByteArray bytes = encoder.encode(folded);
        if (!encoder.hasError())
            return bytes;
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
        const QByteArray piece = one.encode(character);
        bytes += one.hasError() || piece.isEmpty() ? QByteArray("?") : piece;
    }
    return bytes;
}

QString FromShiftJis(QByteArrayView bytes)
{
    QStringDecoder decoder(CodePage, Flags);
    if (!decoder.isValid())
        return QString::fromLatin1(bytes);
    QString text = decoder.decode(bytes);

    // The converter keeps a lead byte at the very end back, waiting for its trail byte.
    qsizetype i = 0;
    while (i < bytes.size())
        i += IsShiftJisLeadByte(static_cast<unsigned char>(bytes[i])) ? 2 : 1;
    if (i > bytes.size())
        text += QChar::ReplacementCharacter;
    return text;
}
