// Program start: the splash first, then the application, the main window and its dialogs, then the event loop.

#include "shell/Main.h"
#include "gui/Application.h"
#include "gui/Look.h"
#include "shell/Splash.h"

int main(int argc, char** argv)
{
    TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kolvane"));
    ApplyConsoleLook(app);

    // The splash is shown and painted before anything else is set up.
    auto* splash = new TSplashScreen;
    splash->show();
    splash->repaint();
    QApplication::processEvents();

    QGuiApplication::setApplicationDisplayName(QStringLiteral("Kolvane"));
    TMainForm mainForm;
    mainForm.setSplash(splash);
    // The dialogs that live for the whole run, made hidden in this order after the main window.
    mainForm.CreateDialogs();
    mainForm.show();
    return app.exec();
}
