#pragma once

#include "gui/OperationGate.h"

#include <QIcon>
#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <string>

class QComboBox;
class QFrame;
class QPlainTextEdit;
class TFlagForm;
class TListGatherer;
class TSiteSession;

// What a page of the console gets from the window it sits in, once, when it is made. The page knows nothing else of
// the window: it sends through the session, starts its operations through the gate, and tells the operator what it
// does through the status bar's message panel and the busy cursor.
struct TPageContext {
    TSiteSession& session;
    TOperationGate& gate;
    // Runs a handler as the window runs its own: the error that ends it goes to the standard error box with the line
    // that says what to check, the session log hears why a connection ended, and a closing window finishes closing.
    std::function<void(const std::function<void()>&)> run;
    std::function<void(const QString&)> setMessage; // the status bar's third panel
    std::function<void(bool)> setBusyCursor;
    // The operator's CANCEL of the wait under way, from a dialog's sequence: what the window's CANCEL does.
    std::function<void()> cancelWait;
    // The user and group lists the reply router gathers, with the counters the page refresh goes by.
    TListGatherer& lists;
    const QList<QIcon>& nodePictures;     // the tree's: 0 closed folder, 1 open folder, 2 file, 3 link
    std::function<TFlagForm*()> flagForm; // the flags dialog made at start-up; none before
};

// One page of the page control: a widget that owns its controls and its handlers and connects them itself, the
// handlers that start an operation through the gate. The page's controls sit in a column without margins: a panel
// of buttons over the page's text box.
class TConsolePage : public QWidget {
public:
    TConsolePage(const TPageContext& context, const char* name);

protected:
    // Connects a handler that starts no operation on the connection.
    template <class Page, class Sender, class Signal>
    void on(Sender* sender, Signal signal, void (Page::*handler)())
    {
        connect(sender, signal, this,
                [this, handler] { context_.run([&] { (static_cast<Page*>(this)->*handler)(); }); });
    }
    // Connects a handler that starts an operation: through the gate, which holds it off while another one waits.
    template <class Page, class Sender, class Signal>
    void operation(Sender* sender, Signal signal, void (Page::*handler)())
    {
        context_.gate.connect(sender, signal, this,
                              [this, handler] { context_.run([&] { (static_cast<Page*>(this)->*handler)(); }); });
    }

    QFrame* addPanel(const char* name, int height, bool bevel);
    QPlainTextEdit* addMemo(const char* name);
    // Puts items in the box's list, keeping the text the operator typed; sorted when asked.
    static void replaceItems(QComboBox* box, const QStringList& items, bool sorted = false);
    // Removes the first entry equal to name without regard to case; nothing when there is none.
    static void removeFirstNoCase(QStringList& list, const QString& name);

    TPageContext context_;
};
