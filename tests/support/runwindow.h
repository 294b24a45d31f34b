#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QStringList>

#include "tests/support/modalwatcher.h"
#include "ui/formmain.h"

// The window, its run aimed at a server on 127.0.0.1, its message boxes answered. Form: the
// window's class, or one derived from it that watches the run.
template<class Form = TFormMain> struct RunWindowOf
{
    // Port 0: the one the address names.
    explicit RunWindowOf(quint16 port = 0)
    {
        if (port != 0)
            form.run.setPortOverride(port);
        form.EditAddress->setText(QStringLiteral("127.0.0.1"));
    }
    // Clicks the start button, answers the confirmation with OK, returns after the run.
    void start() { form.BtnStart->click(); }
    // The thirteen result fields in the order of ResultField.
    QStringList results() const
    {
        QStringList texts;
        for (int f = 0; f < ResultFieldCount; ++f)
            texts << form.resultEdit(ResultField(f))->text();
        return texts;
    }
    void fillResults(const QString &text)
    {
        for (int f = 0; f < ResultFieldCount; ++f)
            form.resultEdit(ResultField(f))->setText(text);
    }
    // Back at rest: start button in front, nothing bold, no timer, no connection.
    bool idle() const
    {
        return !form.isRunning() && form.BtnEnd->isEnabled()
            && !form.run.connection.Timer1.isActive() && !form.run.connection.ClientSocket1.isOpen()
            && form.highlightedStepLabel() == nullptr
            && form.childAt(form.BtnStart->geometry().center()) == form.BtnStart;
    }
    bool reportsEnabled() const
    {
        return form.BtnReport->isEnabled() && form.BtnCopyToClipboard->isEnabled();
    }

    ModalWatcher watcher;
    Form form;
};
using RunWindow = RunWindowOf<>;
