#include "ui/messageboxes.h"

#include <QMessageBox>

#include "ui/texts.h"

namespace {

// Texts keep their CR LF pairs; a label wants single line breaks.
QString displayText(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    // A hostile server's reply can be a megabyte long: the box shows its start.
    constexpr qsizetype MaxShown = 2000;
    if (text.size() > MaxShown)
        text = text.left(MaxShown) + QChar(0x2026);
    return text;
}

int run(QWidget *parent, QMessageBox::Icon icon, const QString &caption, const QString &text,
        QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, caption, displayText(text), buttons, parent);
    // A server's reply is shown as it came: what looks like markup must not become markup.
    box.setTextFormat(Qt::PlainText);
    return box.exec();
}

} // namespace

namespace MessageBoxes {

bool confirm(QWidget *parent, const QString &caption, const QString &text)
{
    return run(parent, QMessageBox::NoIcon, caption, text, QMessageBox::Ok | QMessageBox::Cancel)
        == QMessageBox::Ok;
}

void inform(QWidget *parent, const QString &text)
{
    run(parent, QMessageBox::NoIcon, Texts::AppTitle, text, QMessageBox::Ok);
}

QString errorText(const QString &message)
{
    // The full stop goes after anything whose first Shift-JIS byte lies above the full
    // stop's: every non-ASCII character qualifies, Japanese punctuation included.
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + QLatin1Char('.');
    return message;
}

void showError(QWidget *parent, const QString &message)
{
    run(parent, QMessageBox::Critical, Texts::AppTitle, errorText(message), QMessageBox::Ok);
}

} // namespace MessageBoxes
