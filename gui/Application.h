#pragma once

#include <QApplication>

// The console's application object. Handlers guard themselves; this is the last line of defence for an
// exception that escapes an event handler anyway: it is shown in the standard error box and the event loop
// goes on, instead of unwinding through Qt.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};
