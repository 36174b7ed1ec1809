#pragma once

#include <QString>

class QWidget;

// A server certificate that did not verify, as the operator is asked about it. The texts are the certificate's own,
// as they came: whoever shows them makes every control and line-separator character visible.
struct TTrustQuestion {
    QString site;        // the site's name in the book
    QString host;        // "host:port"
    QString problem;     // why it did not verify
    QString subject;     // RFC 2253, most significant part last
    QString issuer;      // the same form
    QString altNames;    // the subject alternative names, "DNS:a, IP Address:b"
    QString notBefore;   // "2025-01-31 12:00:00 UTC"
    QString notAfter;    // the same form
    QString fingerprint; // SHA-256 of the DER form, "AB:CD:..."
};

// The operator's answer: refuse (the default), trust for this connection only, or trust and pin for the site.
enum class TTrustAnswer { Refuse, ThisTime, Always };

// The prompts service: every modal question, notice and error box of the console goes through it, so that a
// handler reads the same whether a person or a test answers. Tests install a scripted service with SetPrompts.
class TPrompts {
public:
    virtual ~TPrompts() = default;

    // Caption "Confirm", question icon, Yes and No; true only for Yes.
    virtual bool Confirm(const QString& text) = 0;
    // The same question for a step that cannot be undone: No is the default (Enter says No). A service that has no
    // such box of its own asks as Confirm does.
    virtual bool ConfirmDefaultNo(const QString& text) { return Confirm(text); }
    // An input box: caption, prompt, one field of at most 255 characters prefilled with the default.
    // OK returns the text; Cancel (or closing the box) returns the default.
    virtual QString InputBox(const QString& caption, const QString& prompt, const QString& defaultText) = 0;
    // A notice: the message and OK, the application title as caption.
    virtual void Notice(const QString& text) = 0;
    // The standard error box: error icon, OK, the application title as caption. The text is shown as given.
    virtual void ErrorBox(const QString& text) = 0;
    // A password, typed without echo: caption, prompt, one field. The text for OK; a null string for Cancel.
    virtual QString Password(const QString& caption, const QString& prompt);
    // The question about a server certificate that did not verify. Refuse unless the operator chose otherwise.
    virtual TTrustAnswer TrustCertificate(const TTrustQuestion& question);
};

// The real dialogs, parented to the active window.
class TDialogPrompts : public TPrompts {
public:
    bool Confirm(const QString& text) override;
    bool ConfirmDefaultNo(const QString& text) override;
    QString InputBox(const QString& caption, const QString& prompt, const QString& defaultText) override;
    void Notice(const QString& text) override;
    void ErrorBox(const QString& text) override;
    QString Password(const QString& caption, const QString& prompt) override;
    TTrustAnswer TrustCertificate(const TTrustQuestion& question) override;
};

// The dialog that asks the trust question lives above this layer; the layer that has it installs it here. Without
// one, the question is refused.
using TTrustDialog = TTrustAnswer (*)(const TTrustQuestion& question, QWidget* parent);
void SetTrustDialog(TTrustDialog dialog);

// The application title: "Kolvane" until the first log-in, the site's title after it; the caption of every notice
// and error box. It is the console's own rather than Qt's application display name, which Qt would append to every
// window title, the ones that name the program already included.
QString ApplicationTitle();
void SetApplicationTitle(const QString& title);

// The service in use: the real dialogs unless a test has installed another one.
TPrompts& Prompts();
// Installs a service (not owned); nullptr puts the real dialogs back.
void SetPrompts(TPrompts* prompts);
