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

void UpperCaseSjis(QByteArrayView text, QByteArray &out)
{
    out.resize(text.size());
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
}

QByteArray UpperCaseSjis(QByteArrayView text)
{
    QByteArray out;
    UpperCaseSjis(text, out);
    return out;
}

bool MatchUpperCasedPattern(QByteArrayView pattern, QByteArrayView name)
{
    if (pattern.isEmpty())
        return true;
    if (name.isEmpty())
        return false;
    const bool invert = pattern.front() == '!';
    if (invert)
        pattern = pattern.sliced(1);

    bool result = false; // also for a pattern that was "!" alone
    while (!pattern.isEmpty()) {
        if (pattern.front() != '*') {
            const qsizetype star = pattern.indexOf('*');
            if (star < 0) {
                result = pattern == name;
                break;
            }
            if (!name.startsWith(pattern.first(star))) {
                result = false;
                break;
            }
            pattern = pattern.sliced(star);
            name = name.sliced(star);
        } else if (pattern.back() != '*') {
            const qsizetype star = pattern.lastIndexOf('*');
            const QByteArrayView tail = pattern.sliced(star + 1);
            if (!name.endsWith(tail)) {
                result = false;
                break;
            }
            pattern = pattern.first(star + 1);
            name.chop(tail.size());
        } else {
            while (!pattern.isEmpty() && pattern.front() == '*')
                pattern = pattern.sliced(1);
            if (pattern.isEmpty()) {
                result = true;
                break;
            }
            // The pattern ends with "*", so another one follows the segment.
            const qsizetype star = pattern.indexOf('*');
            const QByteArrayView segment = pattern.first(star);
            pattern = pattern.sliced(star);
            const qsizetype found = name.indexOf(segment);
            if (found < 0) {
                result = false;
                break;
            }
            name = name.sliced(found + segment.size());
        }
    }
    return invert ? !result : result;
}

bool MatchPattern(QByteArrayView pattern, QByteArrayView name)
{
    if (pattern.isEmpty())
        return true;
    if (name.isEmpty())
        return false;
    return MatchUpperCasedPattern(UpperCaseSjis(pattern), UpperCaseSjis(name));
}
