#include "app/application.h"
#include "ui/formmain.h"
#include "ui/messageboxes.h"

int main(int argc, char **argv)
{
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
