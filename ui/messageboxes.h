#pragma once

#include <QString>

class QWidget;

// The program's modal boxes.
namespace MessageBoxes {

// OK and Cancel, no icon; true when the user chose OK.
bool confirm(QWidget *parent, const QString &caption, const QString &text);
// OK, no icon, the application title as caption.
void inform(QWidget *parent, const QString &text);
// The standard error box: stop icon, OK, the application title; a full stop is appended
// unless the text is empty or already ends in punctuation below the full stop.
void showError(QWidget *parent, const QString &message);
QString errorText(const QString &message);

} // namespace MessageBoxes
