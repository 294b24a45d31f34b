#pragma once

#include <QByteArrayView>
#include <QtGlobal>

// The one rule for integers in text: leading blanks, one optional sign, then decimal
// digits or hexadecimal digits introduced by "$", "x", "X", "0x" or "0X"; nothing after.
// A decimal value must fit the signed type; a hexadecimal one may have at most 8 (16)
// digits and is taken as a two's complement value before the sign applies.
// ReadInt64 gives every text that ReadInt32 accepts the same value, so a hexadecimal
// number of up to 8 digits is still read as 32 bits wide there.
// On failure the value is left unchanged.
bool ReadInt32(QByteArrayView text, qint32 &value);
bool ReadInt64(QByteArrayView text, qint64 &value);
