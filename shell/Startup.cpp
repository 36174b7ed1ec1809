#include "shell/Startup.h"

#include "gui/Prompts.h"
#include "shell/Main.h"
#include "shell/Splash.h"

#include <QApplication>

std::unique_ptr<TMainForm> StartConsole(bool sessionLog)
{
    auto* splash = new TSplashScreen;
    splash->show();
    splash->repaint();
    QApplication::processEvents();

    SetApplicationTitle(QStringLiteral("Kolvane"));
    auto mainForm = std::make_unique<TMainForm>();
    mainForm->setSplash(splash);
    mainForm->CreateDialogs();
    if (sessionLog)
        mainForm->forceSessionLog();
    mainForm->show();
    return mainForm;
}
