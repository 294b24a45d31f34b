#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <deque>
#include <functional>

// Answers the program's modal boxes in tests and remembers what they said.
class ModalWatcher : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        Qt::TextFormat format = Qt::AutoText;
    };

    ModalWatcher();

    // Answers in order; OK when none is left.
    std::deque<QMessageBox::StandardButton> answers;
    // Answers with the Return key, as a user at the keyboard would.
    bool answerWithKeyboard = false;
    // Called while a box is open, before it is answered.
    std::function<void(const Box &)> onShown;
    QList<Box> boxes;

private:
    void check();

    QTimer m_timer;
    QPointer<QMessageBox> m_handled;
};
