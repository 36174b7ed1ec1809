#pragma once

#include <QFile>
#include <QString>
#include <functional>
#include <string_view>

// The session log: the control connection's conversation, one file for each log-in, each line with its time and
// direction ("> " sent, "< " received, "- " the console's own note), passwords hidden, in UTF-8. The files are kept
// under ${XDG_STATE_HOME:-~/.local/state}/kolvane/sessions/ (folder 0700, files 0600), so that an operator can send
// one when something goes wrong.
//
// A log that cannot be written (its folder or file cannot be made, a write fails or is cut short: a full disk) never
// stops the log-in, and never fails silently: onTrouble hears the reason, at most once for the life of the object.
// The window keeps one log for the whole run, so the operator reads it once per run, not at every log-in.
class TSessionLog {
public:
    static QString folder();

    // Told why the log cannot be written; called at most once per object. The log that failed is closed.
    std::function<void(const QString& reason)> onTrouble;

    // Starts the log of a log-in to this site: a new file in folder(), named after the time and the site.
    void start(const QString& site);
    // Starts the log in the file at path, from its start (for the tests: /dev/full, say).
    void startAt(const QString& path);
    void stop();
    bool running() const { return file_.isOpen(); }
    QString path() const { return file_.fileName(); }
    // Whether trouble has been reported.
    bool troubled() const { return troubled_; }

    // One line of the conversation, without its line end; a password on it is hidden.
    void line(bool sent, std::string_view text);
    // A note of the console's own, in UTF-8; what came into it from outside is escaped as a received line is.
    void note(std::string_view text);

private:
    void open(const QString& path, QIODevice::OpenMode how);
    void write(char direction, const QString& text);
    void trouble(const QString& reason);

    QFile file_;
    bool troubled_ = false;
};
