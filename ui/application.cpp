#include "ui/application.h"

#include "ui/messageboxes.h"

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{
    // No display name: Qt would append it to every window's caption ("... — title"), and each
    // window has a caption of its own. The launcher's name comes from the .desktop file, which
    // this lets the desktop match the window to.
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
