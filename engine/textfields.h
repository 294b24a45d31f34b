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
