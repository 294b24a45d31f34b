#include "tests/support/modalwatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTest>

ModalWatcher::ModalWatcher()
{
    connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::check);
    m_timer.start(10);
}

void ModalWatcher::check()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || box == m_handled || !box->isVisible())
        return;
    m_handled = box;
    const Box seen{box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                   box->textFormat()};
    boxes.append(seen);
    if (onShown)
        onShown(seen);
    if (answerWithKeyboard) {
        QTest::keyClick(box, Qt::Key_Return);
        return;
    }
    QMessageBox::StandardButton answer = QMessageBox::Ok;
    if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
    }
    if (QAbstractButton *button = box->button(answer))
        button->click();
    else
        box->reject();
}
