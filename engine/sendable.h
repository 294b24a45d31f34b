#pragma once

#include <QByteArrayView>
#include <QStringView>

// The one rule for text that a user types, pastes or pipes and that goes to a server, inside
// a command (a user name, a password) or as its address: no control character. CR and LF end
// a command line early and make what follows a command of its own (RFC 3977 3.1); the other
// controls have no place in a name or a password either.

// C0 controls, DEL and C1 controls.
constexpr bool IsControlCharacter(char32_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

// True when no character of text is a control character.
bool IsSendable(QStringView text);
// The same for text already in the bytes it is sent in (ASCII, UTF-8, Shift JIS): no C0
// control byte and no DEL. C1 controls exist only as characters: check those before encoding.
bool IsSendable(QByteArrayView bytes);
