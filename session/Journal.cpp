#include "session/Journal.h"

#include "platform/Exceptions.h"
#include "platform/OemText.h"
#include "platform/PasswordMask.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "session/BatchReport.h"
#include "session/LocalRecord.h"
#include "session/SiteBatch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTimeZone>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS entries (id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL, "
    "account TEXT NOT NULL, program TEXT NOT NULL, site TEXT NOT NULL, host TEXT NOT NULL, port INTEGER NOT NULL, "
    "line TEXT NOT NULL, user TEXT, code INTEGER, reply TEXT, outcome TEXT NOT NULL, before_reply TEXT, "
    "after_reply TEXT, completed TEXT);"
    "CREATE INDEX IF NOT EXISTS entries_time ON entries (time);";

const char* const kColumns = "id, time, account, program, site, host, port, line, user, code, reply, outcome, "
                             "before_reply, after_reply";

// The blank-separated words of a line.
std::vector<std::string_view> wordsOf(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
        const std::size_t start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t')
            ++at;
        if (at > start)
            words.push_back(line.substr(start, at - start));
    }
    return words;
}

std::string upper(std::string_view word)
{
    std::string out(word);
    for (char& c : out)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string_view withoutLineEnd(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    return line;
}

QString nowText()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QString timeText(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QString accountName()
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    if (const QString user = qEnvironmentVariable("USER"); !user.isEmpty())
        return user;
    return QString::number(::getuid());
}

// The account does not change while the program runs: it is looked up once.
const QString& localAccount()
{
    static const QString account = accountName();
    return account;
}

QString programName()
{
    if (QCoreApplication::instance() && !QCoreApplication::applicationName().isEmpty())
        return QCoreApplication::applicationName();
    return QStringLiteral("kolvane");
}

// The engine's own words are UTF-8; a reply line quoted in them is the daemon's code page 437.
QString messageText(std::string_view bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    return utf8.hasError() ? OemToQString(bytes) : text;
}

// Every occurrence of the password in text, masked.
std::string scrubbed(std::string text, const std::string& password)
{
    if (password.empty())
        return text;
    for (std::size_t at = text.find(password); at != std::string::npos; at = text.find(password, at)) {
        text.replace(at, password.size(), PasswordMask);
        at += PasswordMask.size();
    }
    return text;
}

QString replyText(const std::vector<std::string>& lines, const std::string& password)
{
    QStringList shown;
    for (const std::string& line : lines)
        shown << OemToQString(scrubbed(std::string(withoutLineEnd(line)), password));
    return shown.join(QLatin1Char('\n'));
}

using LocalRecord::exec;
using LocalRecord::Statement;
using LocalRecord::transaction;

JournalOutcome outcomeNamed(const QString& word)
{
    for (const JournalOutcome outcome : {JournalOutcome::Done, JournalOutcome::Refused, JournalOutcome::Failed})
        if (word == QLatin1String(outcomeWord(outcome)))
            return outcome;
    return JournalOutcome::Unknown;
}

QStringList linesOf(const QString& text)
{
    return text.isNull() ? QStringList() : text.split(QLatin1Char('\n'));
}

} // namespace

const char* outcomeWord(JournalOutcome outcome)
{
    switch (outcome) {
    case JournalOutcome::Done:
        return "done";
    case JournalOutcome::Refused:
        return "refused";
    case JournalOutcome::Failed:
        return "failed";
    case JournalOutcome::Unknown:
        break;
    }
    return "sent, outcome unknown";
}

JournalOutcome outcomeOfReply(int code)
{
    if (code >= 100 && code <= 399)
        return JournalOutcome::Done;
    if (code >= 400 && code <= 599)
        return JournalOutcome::Refused;
    return JournalOutcome::Failed;
}

bool journaled(std::string_view line)
{
    line = withoutLineEnd(line);
    const std::vector<std::string_view> words = wordsOf(line);
    if (words.empty())
        return false; // nothing goes out
    const std::string verb = upper(words.front());
    if (verb == "SITE") {
        const std::size_t rest = std::size_t(words.front().data() + words.front().size() - line.data());
        return changesDaemonState(std::string(line.substr(rest)));
    }
    static const char* const readOnly[] = {
        "USER", "PASS", "QUIT", "NOOP", "CWD",  "CDUP", "XCWD", "XCUP", "PWD",  "XPWD", "LIST", "NLST",
        "MLSD", "MLST", "SIZE", "MDTM", "STAT", "HELP", "PASV", "EPSV", "PORT", "EPRT", "TYPE", "MODE",
        "STRU", "REST", "AUTH", "PBSZ", "PROT", "OPTS", "ABOR", "SYST", "FEAT", "RETR",
    };
    return std::none_of(std::begin(readOnly), std::end(readOnly), [&](const char* word) { return verb == word; });
}

std::string userNamedIn(std::string_view line)
{
    const std::vector<std::string_view> words = wordsOf(withoutLineEnd(line));
    if (words.size() < 3 || upper(words[0]) != "SITE")
        return std::string();
    const std::string verb = upper(words[1]);
    static const char* const userFirst[] = {"ADDUSER", "DELUSER",   "CHGRP",     "CHPASS", "CHLOGINS",
                                            "CHRATIO", "ADDIDENTD", "DELIDENTD", "CHFLAG", "USER"};
    if (std::any_of(std::begin(userFirst), std::end(userFirst), [&](const char* word) { return verb == word; }))
        return std::string(words[2]);
    if ((verb == "GIVE" || verb == "TAKE") && words.size() >= 4)
        return std::string(words[3]);
    return std::string();
}

QString TJournal::defaultPath()
{
    return LocalRecord::stateFolder() + QStringLiteral("/journal.db");
}

TJournal& TJournal::shared()
{
    static TJournal journal;
    return journal;
}

int TJournal::keepDaysSetting(TSettingsStore& store, QString* note)
{
    if (!SettingsLayout::openProgramKey(store, false))
        return SettingsLayout::JournalDaysDefault;
    const SettingsLayout::BoundedValue read = SettingsLayout::readBounded(
        store, SettingsLayout::Settings, SettingsLayout::JournalDays, SettingsLayout::JournalDaysDefault,
        SettingsLayout::JournalDaysBounds, std::string("The setting ") + SettingsLayout::JournalDays);
    if (note)
        *note = QString::fromStdString(read.note);
    return read.value;
}

TJournal::TJournal(QString path, int keepDays)
    : LocalRecord::File(std::move(path), kSchema,
                        std::string("SELECT ") + kColumns + ", completed FROM entries LIMIT 0"),
      keepDays_(std::max(1, keepDays))
{}

TJournal::~TJournal()
{
    closeDatabase();
    if (!unheard_.isEmpty())
        std::fprintf(stderr, "%s: %s\n", qPrintable(programName()), qPrintable(unheard_));
}

void TJournal::setKeepDays(int days)
{
    const std::lock_guard lock(mutex_);
    keepDays_ = std::max(1, days);
    lastPrune_ = 0; // the next entry drops what the new bound no longer keeps
}

void TJournal::setOnTrouble(std::function<void(const QString&)> handler)
{
    QString pending;
    {
        const std::lock_guard lock(mutex_);
        onTrouble_ = handler;
        if (onTrouble_)
            pending = std::exchange(unheard_, QString());
    }
    if (!pending.isEmpty())
        handler(pending);
}

bool TJournal::troubled() const
{
    const std::lock_guard lock(mutex_);
    return troubled_;
}

void TJournal::trouble(const QString& reason)
{
    std::function<void(const QString&)> handler;
    QString said;
    {
        const std::lock_guard lock(mutex_);
        if (std::exchange(troubled_, true))
            return;
        said = QStringLiteral("The change journal %1 cannot be written: %2. Commands go on without it.")
                   .arg(path_, reason);
        if (onTrouble_)
            handler = onTrouble_;
        else
            unheard_ = said;
    }
    if (handler)
        handler(said);
}

void TJournal::write(const std::function<void()>& work)
{
    QString why;
    {
        const std::lock_guard lock(mutex_);
        try {
            openForWriting();
            work();
        } catch (const Exception& e) {
            why = messageText(e.message());
        } catch (const std::exception& e) {
            why = messageText(e.what());
        }
    }
    if (!why.isEmpty())
        trouble(why);
}

void TJournal::prune()
{
    write([this] { pruneLocked(); });
}

void TJournal::pruneLocked()
{
    const QString cutoff = timeText(QDateTime::currentDateTimeUtc().addDays(-keepDays_));
    transaction(db_, [&] {
        Statement drop(db_, "DELETE FROM entries WHERE time < ?1");
        drop.bind(1, cutoff);
        drop.step();
    });
    lastPrune_ = QDateTime::currentMSecsSinceEpoch();
}

std::int64_t TJournal::begin(const JournalEntry& entry)
{
    if (!journaled(entry.line))
        return 0;
    const std::string sent(withoutLineEnd(entry.line));
    const std::string masked = MaskedLine(sent);
    // The mask replaces everything from the password on: what it replaced is the password.
    const std::string password = masked == sent ? std::string() : sent.substr(masked.size() - PasswordMask.size());
    const QString program = entry.program.empty() ? programName() : QString::fromStdString(entry.program);
    const QString user = Latin1ToQString(userNamedIn(masked));
    std::int64_t id = 0;
    write([&] {
        transaction(db_, [&] {
            Statement insert(db_, "INSERT INTO entries (time, account, program, site, host, port, line, user, "
                                  "outcome, before_reply) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
            insert.bind(1, nowText())
                .bind(2, localAccount())
                .bind(3, program)
                .bind(4, QString::fromUtf8(entry.site.data(), qsizetype(entry.site.size())))
                .bind(5, Latin1ToQString(entry.host))
                .bind(6, std::int64_t(entry.port))
                .bind(7, Latin1ToQString(masked))
                .bind(8, user.isEmpty() ? QString() : user)
                .bind(9, QString::fromLatin1(outcomeWord(JournalOutcome::Unknown)))
                .bind(10, entry.before.empty() ? QString() : replyText(entry.before, password));
            insert.step();
            id = sqlite3_last_insert_rowid(db_);
        });
        if (!password.empty())
            passwords_[id] = password;
    });
    return id;
}

void TJournal::complete(std::int64_t id, int code, std::string_view firstLine, JournalOutcome outcome,
                        const std::vector<std::string>& after)
{
    if (id <= 0)
        return;
    write([&] {
        const auto known = passwords_.find(id);
        const std::string password = known == passwords_.end() ? std::string() : known->second;
        const std::string line = scrubbed(std::string(withoutLineEnd(firstLine)), password);
        transaction(db_, [&] {
            Statement update(db_, "UPDATE entries SET code = ?2, reply = ?3, outcome = ?4, after_reply = "
                                  "COALESCE(?5, after_reply), completed = ?6 WHERE id = ?1");
            update.bind(1, id)
                .bind(3, code > 0 ? OemToQString(line) : messageText(line))
                .bind(4, QString::fromLatin1(outcomeWord(outcome)))
                .bind(5, after.empty() ? QString() : replyText(after, password))
                .bind(6, nowText());
            if (code > 0)
                update.bind(2, std::int64_t(code));
            update.step();
        });
        if (known != passwords_.end())
            passwords_.erase(known);
    });
}

std::vector<JournalRecord> TJournal::query(const JournalFilter& filter)
{
    std::vector<JournalRecord> records;
    const std::lock_guard lock(mutex_);
    try {
        if (!openForReading())
            return records;
        {
            Statement table(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'entries'");
            if (!table.step())
                return records; // made, and nothing written yet
        }
        Statement select(db_, (std::string("SELECT ") + kColumns +
                               " FROM entries WHERE (?1 IS NULL OR time >= ?1) AND (?2 IS NULL OR time <= ?2) AND "
                               "(?3 IS NULL OR site = ?3 COLLATE NOCASE) AND (?4 IS NULL OR user = ?4) "
                               "ORDER BY time DESC, id DESC")
                                  .c_str());
        select.bind(1, filter.since.isValid() ? timeText(filter.since) : QString())
            .bind(2, filter.until.isValid() ? timeText(filter.until) : QString())
            .bind(3, filter.site.isEmpty() ? QString() : filter.site)
            .bind(4, filter.user.isEmpty() ? QString() : filter.user);
        while (select.step()) {
            JournalRecord r;
            r.id = select.integer(0);
            r.time = select.text(1);
            r.account = select.text(2);
            r.program = select.text(3);
            r.site = select.text(4);
            r.host = select.text(5);
            r.port = int(select.integer(6));
            r.line = select.text(7);
            r.user = select.text(8);
            r.code = select.isNull(9) ? 0 : int(select.integer(9));
            r.reply = select.text(10);
            r.outcome = outcomeNamed(select.text(11));
            r.before = linesOf(select.text(12));
            r.after = linesOf(select.text(13));
            if (!filter.text.isEmpty()) {
                const QStringList fields =
                    QStringList{r.site, r.host, r.account, r.program, r.line, r.reply} + r.before + r.after;
                if (std::none_of(fields.begin(), fields.end(), [&](const QString& field) {
                        return field.contains(filter.text, Qt::CaseInsensitive);
                    }))
                    continue;
            }
            records.push_back(std::move(r));
            if (filter.limit > 0 && int(records.size()) >= filter.limit)
                break;
        }
    } catch (const Exception& e) {
        throw Exception("The change journal " + path_.toStdString() + " cannot be read: " + e.message());
    }
    return records;
}

QStringList TJournal::sites()
{
    return distinct("site");
}

QStringList TJournal::users()
{
    return distinct("user");
}

QStringList TJournal::distinct(const char* column)
{
    QStringList names;
    const std::lock_guard lock(mutex_);
    try {
        if (!openForReading())
            return names;
        Statement table(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'entries'");
        if (!table.step())
            return names;
        // Site names are the book's, whose names are one whatever their case; user names are the daemon's.
        const std::string group = std::string(column) + (std::string_view(column) == "site" ? " COLLATE NOCASE" : "");
        Statement select(db_, ("SELECT MAX(" + std::string(column) + ") FROM entries WHERE " + column +
                               " IS NOT NULL AND " + column + " <> '' GROUP BY " + group)
                                  .c_str());
        while (select.step())
            names << select.text(0);
    } catch (const Exception& e) {
        throw Exception("The change journal " + path_.toStdString() + " cannot be read: " + e.message());
    }
    names.sort(Qt::CaseInsensitive);
    return names;
}

QDateTime parseJournalTime(const QString& text, bool endOfDay)
{
    static const QRegularExpression form(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})(?:[T "
                       "](\\d{2}):(\\d{2})(?::(\\d{2})(?:\\.(\\d{1,3}))?)?)?(Z|[+-]\\d{2}:?\\d{2})?$"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return QDateTime();
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    if (!date.isValid())
        return QDateTime();
    QTime time(0, 0);
    if (match.hasCaptured(4)) {
        const QString ms = match.captured(7).leftJustified(3, QLatin1Char('0'));
        time = QTime(match.captured(4).toInt(), match.captured(5).toInt(), match.captured(6).toInt(), ms.toInt());
        if (!time.isValid())
            return QDateTime();
    } else if (endOfDay) {
        time = QTime(23, 59, 59, 999);
    }
    int offset = 0;
    if (const QString zone = match.captured(8); !zone.isEmpty() && zone != QLatin1String("Z")) {
        const QString digits = QString(zone).remove(QLatin1Char(':'));
        const int hours = digits.mid(1, 2).toInt();
        const int minutes = digits.mid(3, 2).toInt();
        if (hours > 23 || minutes > 59)
            return QDateTime();
        offset = (hours * 60 + minutes) * 60 * (zone.startsWith(QLatin1Char('-')) ? -1 : 1);
    }
    return QDateTime(date, time, QTimeZone(offset)).toUTC();
}

QStringList journalDiff(const QStringList& before, const QStringList& after)
{
    const qsizetype n = before.size();
    const qsizetype m = after.size();
    QStringList out;
    // A reply is a few dozen lines; a table of their common lines beyond a million cells is no reply, and is shown
    // whole, as removed and added.
    if (n * m > 1000000) {
        for (const QString& line : before)
            out << QStringLiteral("- ") + line;
        for (const QString& line : after)
            out << QStringLiteral("+ ") + line;
        return out;
    }
    // common[i][j]: the longest run of lines before[i..] and after[j..] share, in order.
    std::vector<std::vector<int>> common(std::size_t(n + 1), std::vector<int>(std::size_t(m + 1), 0));
    for (qsizetype i = n - 1; i >= 0; --i)
        for (qsizetype j = m - 1; j >= 0; --j)
            common[i][j] =
                before[i] == after[j] ? common[i + 1][j + 1] + 1 : std::max(common[i + 1][j], common[i][j + 1]);
    qsizetype i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && before[i] == after[j]) {
            out << QStringLiteral("  ") + before[i++];
            ++j;
        } else if (i < n && (j == m || common[i + 1][j] >= common[i][j + 1])) {
            out << QStringLiteral("- ") + before[i++]; // what went comes before what came in its place
        } else {
            out << QStringLiteral("+ ") + after[j++];
        }
    }
    return out;
}

namespace {

std::string jsonLinesArray(const QStringList& lines)
{
    if (lines.isEmpty())
        return "null";
    std::string out = "[";
    for (qsizetype i = 0; i < lines.size(); ++i)
        out += (i ? ", " : "") + BatchReport::jsonText(lines[i]);
    return out + "]";
}

std::string optionalJson(const QString& text)
{
    return text.isEmpty() ? std::string("null") : BatchReport::jsonText(text);
}

} // namespace

std::string JournalReport::text(const std::vector<JournalRecord>& records)
{
    using BatchReport::printableText;
    std::string out;
    for (const JournalRecord& r : records) {
        out += printableText(r.time) + "  " + printableText(r.site) + " (" + printableText(r.host) + ":" +
               std::to_string(r.port) + ")  " + printableText(r.account) + "/" + printableText(r.program) + "  " +
               printableText(r.line) + "  =>  " + printableText(r.reply) + "  [" + outcomeWord(r.outcome) + "]\n";
        if (!r.before.isEmpty() || !r.after.isEmpty())
            for (const QString& line : journalDiff(r.before, r.after))
                out += "    " + printableText(line) + "\n";
    }
    return out;
}

std::string JournalReport::jsonLines(const std::vector<JournalRecord>& records)
{
    using BatchReport::jsonText;
    std::string out;
    for (const JournalRecord& r : records) {
        out += "{\"id\": " + std::to_string(r.id) + ", \"time\": " + jsonText(r.time) +
               ", \"account\": " + jsonText(r.account) + ", \"program\": " + jsonText(r.program) +
               ", \"site\": " + jsonText(r.site) + ", \"host\": " + jsonText(r.host) +
               ", \"port\": " + std::to_string(r.port) + ", \"line\": " + jsonText(r.line) +
               ", \"user\": " + optionalJson(r.user) +
               ", \"code\": " + (r.code ? std::to_string(r.code) : std::string("null")) +
               ", \"reply\": " + optionalJson(r.reply) +
               ", \"outcome\": " + jsonText(QLatin1String(outcomeWord(r.outcome))) +
               ", \"before\": " + jsonLinesArray(r.before) + ", \"after\": " + jsonLinesArray(r.after) + "}\n";
    }
    return out;
}

std::string JournalReport::csv(const std::vector<JournalRecord>& records)
{
    using BatchReport::csvText;
    std::string out = "time,account,program,site,host,port,line,user,code,reply,outcome,before,after\r\n";
    for (const JournalRecord& r : records)
        out += csvText(r.time) + "," + csvText(r.account) + "," + csvText(r.program) + "," + csvText(r.site) + "," +
               csvText(r.host) + "," + std::to_string(r.port) + "," + csvText(r.line) + "," + csvText(r.user) + "," +
               (r.code ? std::to_string(r.code) : std::string()) + "," + csvText(r.reply) + "," +
               csvText(QLatin1String(outcomeWord(r.outcome))) + "," + csvText(r.before.join(QLatin1Char('\n'))) + "," +
               csvText(r.after.join(QLatin1Char('\n'))) + "\r\n";
    return out;
}
