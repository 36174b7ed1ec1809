#pragma once

#include "session/LocalRecord.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class TSettingsStore;

// The change journal: every line the console sends that can change a daemon's state, with who sent it, from which
// program, to which site, and what came of it. It is an SQLite file of its own,
// ${XDG_STATE_HOME:-~/.local/state}/kolvane/journal.db (folder 0700, file 0600), in WAL mode, shared by every
// console and command-line tool of the account: each entry is one transaction, so processes and threads writing at
// once queue up and lose nothing.
//
// An entry is written before its line goes out (begin) and completed when the reply is in (complete): a program that
// dies in between leaves "sent, outcome unknown", never nothing. The line is kept with its password masked, and a
// reply that echoes the password is kept with it masked too: no password ever reaches the file.
//
// A journal that cannot be written never stops a command: begin and complete never throw, and the reason is told
// once per journal (once per run for the shared one) to the trouble handler.

// What became of a journaled line.
enum class JournalOutcome {
    Unknown, // sent, and nothing was heard since: the program ended (or died) before the reply came
    Done,    // the daemon answered with 1xx, 2xx or 3xx
    Refused, // the daemon answered with 4xx or 5xx
    Failed,  // no reply came: the connection was lost, the wait timed out or was cancelled
};

// "sent, outcome unknown", "done", "refused", "failed".
const char* outcomeWord(JournalOutcome outcome);
// The outcome a reply code stands for: 100 to 399 done, 400 to 599 refused, anything else (0: no reply) failed.
JournalOutcome outcomeOfReply(int code);

// Whether a line sent to a daemon belongs in the journal. SITE commands do unless their verb is one of the read-only
// SITE verbs; the log-in (USER, PASS), QUIT, NOOP, moving about and listing (CWD, CDUP, PWD, LIST, NLST, MLSD, MLST,
// SIZE, MDTM, STAT, HELP), setting up data connections and TLS (PASV, EPSV, PORT, EPRT, TYPE, MODE, STRU, REST, AUTH,
// PBSZ, PROT, OPTS, ABOR), SYST, FEAT and fetching a file (RETR) do not. Every other command is journaled, those that
// change files (DELE, RMD, MKD, RNFR, RNTO, STOR, ...) and any the console does not know. The one place that decides.
bool journaled(std::string_view line);
// The user a SITE command names, for finding a user's changes: the word after ADDUSER, DELUSER, CHGRP, CHPASS,
// CHLOGINS, CHRATIO, ADDIDENTD, DELIDENTD, CHFLAG and USER, the word after the amount for GIVE and TAKE; empty for a
// line that names none.
std::string userNamedIn(std::string_view line);

// A line about to be sent, as begin takes it.
struct JournalEntry {
    std::string site;    // the site's name in the book (UTF-8)
    std::string host;    // the host as the site's record holds it
    int port = 0;        // the control connection's port
    std::string line;    // the line as it goes to the daemon, password and all: the journal masks it
    std::string program; // empty: the running program's name (QCoreApplication::applicationName)
    // Users Across Sites: the user's "SITE USER" reply before the change, line by line as received; empty for none.
    std::vector<std::string> before;
};

// One entry as a reader sees it. Texts are decoded as the console shows them: the line as Latin-1, the daemon's
// lines as code page 437; names as UTF-8.
struct JournalRecord {
    std::int64_t id = 0;
    QString time;    // UTC, ISO 8601 with milliseconds: "2026-03-01T12:00:00.123Z"
    QString account; // the local account that sent it
    QString program; // "kolvane", "kolvane-run", ...
    QString site;
    QString host;
    int port = 0;
    QString line;  // the line sent, its password masked
    QString user;  // the user the line names (userNamedIn); empty for none
    int code = 0;  // the reply's code; 0 when no reply came (or none yet)
    QString reply; // the reply's first line, or why there was none
    JournalOutcome outcome = JournalOutcome::Unknown;
    QStringList before; // a user's "SITE USER" reply before and after the change; empty when not kept
    QStringList after;
};

// What a reader asks for. Every part left empty (or invalid) takes everything.
struct JournalFilter {
    QDateTime since; // entries at or after it
    QDateTime until; // entries at or before it
    QString site;    // the site's name, whatever its case
    QString user;    // the user the line names, exactly
    QString text;    // found, whatever its case, in the site, host, account, program, line, reply, before or after
    int limit = 0;   // at most this many, the newest; 0: all
};

class TJournal : public LocalRecord::File {
public:
    static constexpr int DefaultKeepDays = 365;

    // ${XDG_STATE_HOME:-~/.local/state}/kolvane/journal.db
    static QString defaultPath();
    // The journal every part of this program writes to, at defaultPath() as it was at the first call, kept for
    // DefaultKeepDays until setKeepDays says otherwise. Safe to use from any thread.
    static TJournal& shared();
    // The setting JournalDays of the store (the days entries are kept, DefaultKeepDays without it), within its
    // bounds; note, when given, gets what was read instead of a stored value out of bounds.
    static int keepDaysSetting(TSettingsStore& store, QString* note = nullptr);

    // Nothing is opened until the first entry is begun or the first query is made.
    explicit TJournal(QString path = defaultPath(), int keepDays = DefaultKeepDays);
    ~TJournal() override;
    // Entries older than this many days are dropped when a program starts writing, and every hour it writes.
    void setKeepDays(int days);

    // Told why the journal cannot be written, at most once for the life of the journal, on the thread that met the
    // trouble. Trouble met before a handler is set is told to the handler when it is set; trouble nobody heard is
    // written to the standard error when the journal ends.
    void setOnTrouble(std::function<void(const QString& reason)> handler);
    bool troubled() const;

    // Writes the entry of a line about to be sent, before it goes: it reads "sent, outcome unknown" until
    // completed. Returns its id, or 0 when the line is not journaled (journaled()) or the entry cannot be written.
    // Never throws; safe from any thread.
    std::int64_t begin(const JournalEntry& entry);
    // Completes the entry begun as id (0 is ignored): the reply's code (0 when none came), its first line as
    // received (or, without a reply, why there was none), the outcome, and for Users Across Sites the user's
    // "SITE USER" reply after the change. Never throws; safe from any thread.
    void complete(std::int64_t id, int code, std::string_view firstLine, JournalOutcome outcome,
                  const std::vector<std::string>& after = {});

    // The entries the filter takes, newest first. A journal that does not exist yet has none. Raises Exception when
    // the file cannot be read.
    std::vector<JournalRecord> query(const JournalFilter& filter = {});
    // The sites and the users the entries name, sorted, for the readers' pick lists.
    QStringList sites();
    QStringList users();
    // Drops the entries older than the days kept, now.
    void prune();

private:
    void pruneLocked() override;
    QStringList distinct(const char* column);
    // Runs the work under the lock; an exception it raises is trouble, told once.
    void write(const std::function<void()>& work);
    void trouble(const QString& reason);

    int keepDays_;
    mutable std::mutex mutex_;
    // The passwords of the lines begun and not yet completed, to mask in their replies.
    std::unordered_map<std::int64_t, std::string> passwords_;
    std::function<void(const QString&)> onTrouble_;
    bool troubled_ = false;
    QString unheard_; // trouble met while nobody listened
};

// Times as the readers take them: "2026-03-01", "2026-03-01 12:00", "2026-03-01T12:00:00.5", each optionally
// followed by "Z" or an offset ("+02:00"); without one the time is UTC, as the journal's own times are. A date alone
// is the day's start, or its end when endOfDay is set (so that --until 2026-03-01 takes that day's entries).
// Invalid for any other text.
QDateTime parseJournalTime(const QString& text, bool endOfDay);

// The lines of before and after as a line diff: each line prefixed "  " (in both), "- " (before only) or "+ " (after
// only), in order.
QStringList journalDiff(const QStringList& before, const QStringList& after);

// Entries written out for a person, a spreadsheet or a script, with every control character a terminal or a viewer
// would act on escaped.
namespace JournalReport {

// One line an entry: "TIME  SITE (HOST:PORT)  ACCOUNT/PROGRAM  LINE  =>  REPLY  [OUTCOME]", and below an entry with
// a user's reply before and after, the diff of the two, indented.
std::string text(const std::vector<JournalRecord>& records);
// One JSON object a line and entry: {"id": ..., "time": ..., "account": ..., "program": ..., "site": ...,
// "host": ..., "port": ..., "line": ..., "user": ..., "code": ..., "reply": ..., "outcome": ..., "before": [...],
// "after": [...]} (user, code, before and after null when there are none).
std::string jsonLines(const std::vector<JournalRecord>& records);
// A header row and a row an entry (RFC 4180 quoting; before and after one line of the reply a line of the field).
std::string csv(const std::vector<JournalRecord>& records);

} // namespace JournalReport
