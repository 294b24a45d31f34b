#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

// Splits text at `delimiter` into `fields`, which is emptied first and may be reused
// between calls. Runs of delimiters separate like one; leading delimiters give one empty
// first field, trailing ones none; everything from the first CR or NUL is ignored.
// Empty fields are appended up to `minimum`. Returns the number of fields.
// The views point into `text`.
int SplitFields(QByteArrayView text, std::vector<QByteArrayView> &fields, int minimum,
                char delimiter);

// Upper-cases ASCII a-z only; a Shift-JIS lead byte takes its trail byte along unchanged.
QByteArray UpperCaseSjis(QByteArrayView text);
// The same into a caller's buffer, whose capacity is kept between calls.
void UpperCaseSjis(QByteArrayView text, QByteArray &out);

// A group name pattern: "*" matches any run of bytes, a leading "!" inverts,
// case is ignored for ASCII letters. An empty pattern matches every name.
bool MatchPattern(QByteArrayView pattern, QByteArrayView name);
// MatchPattern for a pattern and a name that have both been through UpperCaseSjis.
bool MatchUpperCasedPattern(QByteArrayView pattern, QByteArrayView name);
