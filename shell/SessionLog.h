#pragma once

#include <QFile>
#include <QString>
#include <string_view>

// The session log: the control connection's conversation, one file for each log-in, each line with its time and
// direction ("> " sent, "< " received, "- " the console's own note), passwords hidden, in UTF-8. The files are kept
// under
// ${XDG_STATE_HOME:-~/.local/state}/kolvane/sessions/ (folder 0700, files 0600), so that an operator can send one
// when something goes wrong.
class TSessionLog {
public:
    static QString folder();

    // Starts the log of a log-in to this site: a new file named after the time and the site. Raises Exception, with
    // the reason, when the file cannot be made.
    void start(const QString& site);
    void stop();
    bool running() const { return file_.isOpen(); }
    QString path() const { return file_.fileName(); }

    // One line of the conversation, without its line end; a password on it is hidden.
    void line(bool sent, std::string_view text);
    // A note of the console's own, in UTF-8.
    void note(std::string_view text);

private:
    void write(char direction, const QString& text);

    QFile file_;
};
