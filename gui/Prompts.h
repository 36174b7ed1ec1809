#pragma once

#include <QString>

class QWidget;

// The prompts service: every modal question, notice and error box of the console goes through it, so that a
// handler reads the same whether a person or a test answers. Tests install a scripted service with SetPrompts.
class TPrompts {
public:
    virtual ~TPrompts() = default;

    // Caption "Confirm", question icon, Yes and No; true only for Yes.
    virtual bool Confirm(const QString& text) = 0;
    // An input box: caption, prompt, one field of at most 255 characters prefilled with the default.
    // OK returns the text; Cancel (or closing the box) returns the default.
    virtual QString InputBox(const QString& caption, const QString& prompt, const QString& defaultText) = 0;
    // A notice: the message and OK, the application title as caption.
    virtual void Notice(const QString& text) = 0;
    // The standard error box: error icon, OK, the application title as caption. The text is shown as given.
    virtual void ErrorBox(const QString& text) = 0;
};

// The real dialogs, parented to the active window.
class TDialogPrompts : public TPrompts {
public:
    bool Confirm(const QString& text) override;
    QString InputBox(const QString& caption, const QString& prompt, const QString& defaultText) override;
    void Notice(const QString& text) override;
    void ErrorBox(const QString& text) override;
};

// The application title: "Kolvane" until the first log-in, the site's title after it; the caption of every notice
// and error box. It is the console's own rather than Qt's application display name, which Qt would append to every
// window title, the ones that name the program already included.
QString ApplicationTitle();
void SetApplicationTitle(const QString& title);

// The service in use: the real dialogs unless a test has installed another one.
TPrompts& Prompts();
// Installs a service (not owned); nullptr puts the real dialogs back.
void SetPrompts(TPrompts* prompts);
