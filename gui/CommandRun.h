#pragma once

#include <QString>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class QDialog;
class QPushButton;
class TSiteSession;

// Sends a dialog's command lines through the session one at a time, each once the one before has its answer, and
// lets the operator end them from the dialog while they go. The button that started the lines reads CANCEL
// meanwhile; it, Escape and the close box end the wait under way, and the lines not yet sent stay unsent. The
// dialog says so in one notice that names the lines that went and those that did not; a cancel is the operator's
// choice, so it shows no error box. While the lines go, the dialog's other controls take no input and neither do
// the console's other windows, so nothing the lines were made from changes under them.
class TCommandRun {
public:
    // cancelWait ends the session's wait under way; without one, the session's own cancel does.
    TCommandRun(QDialog& dialog, TSiteSession& session, std::function<void()> cancelWait = {});
    TCommandRun(const TCommandRun&) = delete;
    TCommandRun& operator=(const TCommandRun&) = delete;

    enum class Outcome { Done, Cancelled };

    // Sends the lines in order. Every line is checked before the first leaves: one that cannot go out whole
    // (ELineError) sends none. A line the daemon refuses, or a connection that fails, ends the run with that
    // failure raised and the rest unsent. A cancel ends it with Cancelled, once the notice has been shown (and the
    // dialog closed first, when a close asked for it). afterLine(i) runs once line i has been tried, however that
    // ended. A run asked for while one runs sends nothing and reads as Cancelled.
    Outcome run(const std::vector<std::string>& lines, QPushButton* button,
                const std::function<void(std::size_t)>& afterLine = {});

    bool running() const { return running_; }

    // For the dialog's done(): a close asked for during a run ends the run, and the dialog closes once the run has
    // unwound. True when the close was taken so; false when no run is under way and the dialog may close now.
    bool deferClose();
    // CANCEL closes the dialog as well, as Escape does.
    bool cancelCloses = false;

    // The notice of a cancelled run: lines [0, answered) went and had their answers; when awaited, the next one went
    // and its answer was still awaited; the rest did not go. Passwords show masked.
    static QString cancelNotice(const std::vector<std::string>& lines, std::size_t answered, bool awaited);

private:
    // Ends the run under way; the dialog stays unless cancelCloses.
    void askCancel();

    QDialog& dialog_;
    TSiteSession& session_;
    std::function<void()> cancelWait_;
    bool running_ = false;
    bool cancelAsked_ = false;
    bool closeWanted_ = false;
};
