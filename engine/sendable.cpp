#include "engine/sendable.h"

#include <algorithm>

bool IsSendable(QStringView text)
{
    // UTF-16 units: a surrogate is never a control character, so units will do.
    return std::none_of(text.begin(), text.end(),
                        [](QChar c) { return IsControlCharacter(c.unicode()); });
}

bool IsSendable(QByteArrayView bytes)
{
    // Shift JIS and UTF-8 use bytes from 0x80 up inside their characters: only below 0x20 and
    // DEL is a byte a control wherever it stands.
    return std::none_of(bytes.begin(), bytes.end(), [](char b) {
        const auto byte = static_cast<unsigned char>(b);
        return byte < 0x20 || byte == 0x7f;
    });
}
