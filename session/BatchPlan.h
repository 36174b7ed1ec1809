#pragma once

#include "session/SiteSession.h"

#include <QString>

#include <optional>
#include <string>
#include <vector>

// What a run on many sites sends to each site after its log-in, and what it checks before it connects anywhere.
struct BatchPlan {
    // The lines, sent one after another in one log-in per site: SITE commands as typed in the command box ("WHO"),
    // or, with sitePrefix off, protocol lines as they stand ("NOOP").
    std::vector<std::string> lines;
    bool sitePrefix = true;
    // A line the daemon refuses does not stop the site's later lines (a lost connection still does).
    bool keepGoing = false;
    // A site whose security is "TLS if offered" logs in even when the server refuses AUTH TLS, in clear text.
    // Off, such a site fails before its log-in name or password goes anywhere.
    bool allowClearText = false;
    // The sessions stay logged in when a round ends, for the next round of the same batch; they log out when the
    // batch goes away.
    bool stayLoggedIn = false;
    // While the sessions stay logged in between rounds, a NOOP after this many seconds of quiet keeps each of them
    // open (0: none).
    int keepAliveSeconds = 0;
    // The last line goes even after a line before it was refused, while the connection stands: a look at what the
    // lines before it left (Users Across Sites asks for the user's "SITE USER" after a change so).
    bool lastLineAlways = false;

    // One SITE command.
    static BatchPlan command(std::string line);
    // The line as it goes to the daemon: "SITE WHO".
    std::string sent(const std::string& line) const { return sitePrefix ? "SITE " + line : line; }
};

namespace BatchPlanning {

// The lines of a script as typed in the command box: one command a line, without the word SITE; blank lines and
// lines whose first character that is no blank is "#" are left out. Trailing blanks and a CR are dropped.
std::vector<std::string> scriptLines(const std::string& text);

// Why a site cannot log in at all, before anything is sent to it: its password could not be had from where the
// book keeps it, or it has none (an empty PASS is never sent). None when it can try.
std::optional<std::string> cannotLogIn(const std::string& siteKey, const SiteBook::Record& site);

// The security a run logs in with: "TLS if offered" becomes "TLS required" unless clear text is allowed.
TFtpSecurity runSecurity(const SiteBook::Record& site, bool allowClearText);

// Every line a site would be sent, the log-in's and the log-out's included, as the session log shows them
// (passwords hidden): the lines of a dry run.
std::vector<std::string> linesFor(const SiteBook::Record& site, const BatchPlan& plan);

} // namespace BatchPlanning
