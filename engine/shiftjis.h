#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Every text that leaves the program or comes from a server is a Shift-JIS (CP932) byte
// string. Characters without a Shift-JIS code become '?'.
QByteArray ToShiftJis(const QString &text);

// Bytes that are not Shift-JIS become U+FFFD.
QString FromShiftJis(QByteArrayView bytes);
