#pragma once

#include <memory>

class TMainForm;

// Program start up to the event loop: the splash first, shown and painted before anything else is set up, then
// the application's title, the main window and the dialogs that live for the whole run, in that order. The
// application object exists already; the caller runs its event loop.
// sessionLog switches the session log on for this run (the command line's --log).
std::unique_ptr<TMainForm> StartConsole(bool sessionLog = false);
