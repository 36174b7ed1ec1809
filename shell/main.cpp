// Program start: the application object and the console's look, then the splash, the main window and its dialogs,
// then the event loop.

#include "shell/Main.h"
#include "gui/Application.h"
#include "gui/Look.h"
#include "shell/Startup.h"

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kolvane"));
    ApplyConsoleLook(app);
    const std::unique_ptr<TMainForm> mainForm = StartConsole();
    return app.exec();
}
