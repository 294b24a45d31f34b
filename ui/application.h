#pragma once

#include <QApplication>

// Shows what escapes an event handler in the standard error box, and goes on.
class Application : public QApplication
{
    Q_OBJECT

public:
    Application(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};
