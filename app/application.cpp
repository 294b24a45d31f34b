#include "app/application.h"

#include "ui/messageboxes.h"
#include "ui/texts.h"

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{
    setApplicationDisplayName(Texts::AppTitle);
    // Lets the desktop match the window to its launcher.
    setDesktopFileName(QStringLiteral("newsbench"));
}

bool Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &error) {
        MessageBoxes::showError(activeWindow(), QString::fromUtf8(error.what()));
    } catch (...) {
        MessageBoxes::showError(activeWindow(), QString());
    }
    return false;
}
