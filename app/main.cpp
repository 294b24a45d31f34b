#include "terminal/commandline.h"
#include "terminal/terminalrun.h"
#include "ui/application.h"
#include "ui/formmain.h"
#include "ui/messageboxes.h"

int main(int argc, char **argv)
{
    // Options ask for the terminal face, which needs no display; without them, the window.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromUtf8(argv[i]));
    if (WantsTerminal(arguments))
        return RunInTerminal(argc, argv, arguments);

    Application app(argc, argv);
    try {
        TFormMain FormMain;
        FormMain.show();
        app.exec();
    } catch (const std::exception &error) {
        MessageBoxes::showError(nullptr, QString::fromUtf8(error.what()));
    }
    return 0;
}
