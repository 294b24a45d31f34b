#include "engine/textfields.h"

namespace {

bool isSjisLeadByte(uchar c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

bool endsField(char c, char delimiter)
{
    return c == delimiter || c == '\r' || c == '\0';
}

} // namespace

int SplitFields(QByteArrayView text, std::vector<QByteArrayView> &fields, int minimum,
                char delimiter)
{
    fields.clear();
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n && text[i] != '\r' && text[i] != '\0') {
        const qsizetype start = i;
        while (i < n && !endsField(text[i], delimiter))
            ++i;
        fields.push_back(text.sliced(start, i - start));
        while (i < n && text[i] == delimiter)
            ++i;
    }
    while (fields.size() < std::size_t(qMax(minimum, 0)))
        fields.emplace_back();
    return int(fields.size());
}

QByteArray UpperCaseSjis(QByteArrayView text)
{
    QByteArray out(text.size(), Qt::Uninitialized);
    char *dst = out.data();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const uchar c = uchar(text[i]);
        if (isSjisLeadByte(c)) {
            dst[i] = char(c);
            if (i + 1 < n) {
                ++i;
                dst[i] = text[i];
            }
        } else if (c >= 'a' && c <= 'z') {
            dst[i] = char(c - 'a' + 'A');
        } else {
            dst[i] = char(c);
        }
    }
    return out;
}
