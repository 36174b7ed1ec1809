#pragma once

#include "gui/Prompts.h"

#include <QDialog>

class QLabel;
class QPushButton;

// The question about a server certificate that did not verify: what the certificate says, its fingerprint, and the
// advice to compare that with the one the site's owner gives. Refusing is the default (Enter and Escape refuse);
// trusting for this connection and trusting for good (the certificate pinned for the site) are separate choices.
// Every text that comes from the certificate is shown with its control, format and line-separator characters made
// visible, so a certificate cannot draw lines of its own into the question.
class TTrustForm : public QDialog {
    Q_OBJECT

public:
    TTrustForm(const TTrustQuestion& question, QWidget* parent = nullptr);

    QLabel* Problem;
    QLabel* Subject;
    QLabel* Issuer;
    QLabel* AltNames;
    QLabel* Validity;
    QLabel* Fingerprint;
    QLabel* Advice;
    QPushButton* bbRefuse;
    QPushButton* bbTrustOnce;
    QPushButton* bbTrustAlways;

    TTrustAnswer answer() const { return answer_; }

    // Shows the dialog modally and returns the operator's answer; what the prompts service calls.
    static TTrustAnswer ask(const TTrustQuestion& question, QWidget* parent);

    // A text as it may be shown on one line: control characters (C0, DEL, C1), format characters (bidirectional
    // overrides, zero-width ones), line and paragraph separators, surrogates and unassigned code points as \uXXXX.
    static QString visible(const QString& text);

private:
    TTrustAnswer answer_ = TTrustAnswer::Refuse;
};
