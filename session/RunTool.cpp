// kolvane-run: SITE commands on many sites of the console's site book at once, from scripts and cron. It reads the
// same site book and secrets as the console and writes nothing to the book.
//
//   kolvane-run [--all | --folder NAME | --sites-from FILE | SITE...] [OPTION...] COMMAND...
//   kolvane-run [--all | --folder NAME | --sites-from FILE | SITE...] [OPTION...] --script FILE
//   kolvane-run [--all | --folder NAME | --sites-from FILE | SITE...] --watch SECONDS [--rounds N] COMMAND...
//
// COMMAND is a SITE command without the word SITE, as typed in the console's command box. Sites that ended alike
// are printed once, under a header that names them all; --json prints each site's objects as soon as it has ended.
// Exit status: 0 every site ok, 1 any site not ok, 2 usage error, 3 nothing could be run, 130 and 143 interrupted.

#include "platform/OemText.h"
#include "platform/PasswordMask.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "platform/Terminal.h"
#include "session/BatchReport.h"
#include "session/BatchWatch.h"
#include "session/BookChoice.h"
#include "session/Journal.h"
#include "session/SiteBatch.h"
#include "session/ToolKit.h"
#include "sitebook/Diamond.h"
#include "sitebook/Keyring.h"
#include "sitebook/SiteBook.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* kUsage =
    "Usage: kolvane-run [--all | --folder NAME | --sites-from FILE | SITE...] [OPTION...] COMMAND...\n"
    "       kolvane-run [--all | --folder NAME | --sites-from FILE | SITE...] [OPTION...] --script FILE\n"
    "       kolvane-run [--all | --folder NAME | --sites-from FILE | SITE...] --watch SECONDS [--rounds N] "
    "COMMAND...\n";

constexpr const char* kHelp =
    "Runs SITE commands on many sites of the Kolvane console's site book at once.\n"
    "\n"
    "COMMAND is a SITE command without the word SITE, as typed in the console's command box. The sites are named\n"
    "first (or chosen with --all, --folder or --sites-from); options may stand anywhere before the command, which\n"
    "begins at its first word that names no site, or after --. Sites that ended alike are printed once, under a\n"
    "header naming them all, the largest group first.\n"
    "\n"
    "Choosing the sites:\n"
    "  --all                      every site of the book\n"
    "  --folder NAME              the sites filed in NAME and the folders below it (case does not matter)\n"
    "  --sites-from FILE          the sites named in FILE, one a line (- for standard input)\n"
    "What is sent:\n"
    "  --script FILE              the lines of FILE, one command a line (# starts a comment), in one log-in per\n"
    "                             site; a site stops at its first line that fails\n"
    "  --keep-going               a script goes on after a line the daemon refused\n"
    "  --dry-run                  connect to nothing: print the lines each site would be sent\n"
    "  --allow-clear-text         log in without TLS to sites set to TLS if offered whose server refuses it\n"
    "How:\n"
    "  --jobs N                   at most N sites at once (default 8)\n"
    "  --serial N                 N sites at a time; the next N start when those have ended\n"
    "  --max-fail PERCENT         start no more sites once more than PERCENT of those run so far failed\n"
    "  --timeout SECONDS          the longest any one reply may take, whatever the sites say\n"
    "  --watch SECONDS            run a reading command again every SECONDS (5 or more), logged in all along,\n"
    "                             printing each round's time and what changed; Ctrl-C ends it\n"
    "  --rounds N                 end the watch after N rounds\n"
    "  --master-password-file F   the site book's master password, from the first line of F\n"
    "What is printed:\n"
    "  --json                     one JSON object per site and line as each site ends, then a recap object\n"
    "  --diff                     each smaller group as a unified diff against the largest\n"
    "  --failed-to FILE           write the names of the sites that did not end ok into FILE, one a line\n"
    "  -h, --help                 this text\n"
    "  -v, --version              the program's version\n"
    "\n"
    "Exit status: 0 every site ok, 1 any site not ok, 2 usage error, 3 nothing could be run (the book cannot be\n"
    "read, the master password is wrong or cannot be had, no site matched), 130 interrupted, 143 terminated.\n";

constexpr int kUsageError = 2;
constexpr int kNothingRun = 3;

struct UsageError {
    std::string why;
};
struct CannotRun {
    std::string why;
};

void say(const std::string& text)
{
    std::fprintf(stderr, "kolvane-run: %s\n", text.c_str());
}

std::string shown(const QString& text)
{
    return BatchReport::printable(text);
}

// What the command line asked for.
struct Request {
    bool all = false;
    std::optional<QString> folder;
    std::optional<QString> sitesFrom;
    QStringList siteWords;
    QStringList commandWords;
    std::optional<QString> script;
    bool keepGoing = false;
    bool dryRun = false;
    bool allowClearText = false;
    bool json = false;
    bool diff = false;
    std::optional<QString> failedTo;
    std::optional<QString> masterPasswordFile;
    int jobs = 8;
    int serial = 0;
    int maxFail = -1;
    int timeout = -1;
    int watch = 0; // seconds between the rounds of a watch; 0 for a single run
    int rounds = 0;
};

int number(const QString& text, int low, int high, const std::string& what)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        throw UsageError{what};
    return value;
}

// Reads the command line. Options stand anywhere before the command; the first word that names no site begins it
// (or the word after --), and from there on every word is the command's, whatever it looks like. The book's
// names are asked for only when a word must be told apart from a site's name.
Request parse(const QStringList& args, const std::function<const BookChoice::SiteIndex&()>& book)
{
    Request r;
    bool inCommand = false;
    auto value = [&](qsizetype& i, const QString& option, const std::optional<QString>& inline_) {
        if (inline_)
            return *inline_;
        if (i + 1 >= args.size())
            throw UsageError{option.toStdString() + " wants a value"};
        return args[++i];
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (inCommand) {
            r.commandWords << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            inCommand = true;
            continue;
        }
        if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            const ToolKit::Option given = ToolKit::option(arg);
            const QString& option = given.name;
            const std::optional<QString>& inline_ = given.value;
            const std::string o = option.toStdString();
            auto flag = [&](bool& target) {
                if (inline_)
                    throw UsageError{o + " takes no value"};
                target = true;
            };
            if (o == "-h" || o == "--help") {
                std::printf("%s\n%s", kUsage, kHelp);
                std::exit(0);
            } else if (o == "-v" || o == "--version") {
                std::printf("kolvane-run %s\n", KOLVANE_VERSION);
                std::exit(0);
            } else if (o == "--all") {
                flag(r.all);
            } else if (o == "--folder") {
                r.folder = value(i, option, inline_);
            } else if (o == "--sites-from") {
                r.sitesFrom = value(i, option, inline_);
            } else if (o == "--script") {
                r.script = value(i, option, inline_);
            } else if (o == "--keep-going") {
                flag(r.keepGoing);
            } else if (o == "--dry-run") {
                flag(r.dryRun);
            } else if (o == "--allow-clear-text") {
                flag(r.allowClearText);
            } else if (o == "--json") {
                flag(r.json);
            } else if (o == "--diff") {
                flag(r.diff);
            } else if (o == "--failed-to") {
                r.failedTo = value(i, option, inline_);
            } else if (o == "--master-password-file") {
                r.masterPasswordFile = value(i, option, inline_);
            } else if (o == "--jobs") {
                r.jobs = number(value(i, option, inline_), 1, 256, "--jobs wants a number from 1 to 256");
            } else if (o == "--serial") {
                r.serial = number(value(i, option, inline_), 1, 100000, "--serial wants a number of sites, 1 or more");
            } else if (o == "--max-fail") {
                r.maxFail = number(value(i, option, inline_), 0, 100, "--max-fail wants a percentage from 0 to 100");
            } else if (o == "--timeout") {
                r.timeout = number(value(i, option, inline_), 1, 86400, "--timeout wants seconds from 1 to 86400");
            } else if (o == "--watch") {
                r.watch = number(value(i, option, inline_), BatchWatching::MinimumSeconds,
                                 BatchWatching::MaximumSeconds, "--watch wants seconds from 5 to 86400");
            } else if (o == "--rounds") {
                r.rounds =
                    number(value(i, option, inline_), 1, 100000000, "--rounds wants a number of rounds, 1 or more");
            } else {
                throw UsageError{"unknown option " + shown(option) +
                                 " (the command begins at its first word, or after --; nothing was sent)"};
            }
            continue;
        }
        // A word: a site's name, or the command's first word. A documented verb after the sites begins the command
        // even where a site has its name.
        const bool chosenOtherwise = r.all || r.folder || r.sitesFrom;
        const bool verb = isKnownSiteVerb(arg) && (chosenOtherwise || !r.siteWords.isEmpty());
        if (!verb && book().named(arg)) {
            r.siteWords << arg;
            continue;
        }
        // A word near a site's name is taken for a typing error rather than sent to every site as a command.
        if (!verb)
            if (const std::optional<QString> near = BookChoice::nearestSite(arg, book().names()))
                throw UsageError{shown(arg) + " names no site of the book; did you mean " + shown(*near) +
                                 "? (to send it as the command, put -- before it)"};
        inCommand = true;
        r.commandWords << arg;
    }
    return r;
}

// The names read from a file (or standard input), one a line; blank lines and "#" comments left out.
QStringList namesFrom(const QString& path)
{
    QFile file;
    const bool input = path == QLatin1String("-");
    const bool opened =
        input ? file.open(stdin, QIODevice::ReadOnly) : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened)
        throw UsageError{"the site names cannot be read from " + shown(path) + ": " + file.errorString().toStdString()};
    QStringList names;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString name = QString::fromUtf8(raw).trimmed();
        if (!name.isEmpty() && !name.startsWith(QLatin1Char('#')))
            names << name;
    }
    return names;
}

std::string plural(std::size_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The plan from the command words or the script.
BatchPlan planOf(const Request& r)
{
    BatchPlan plan;
    if (r.script) {
        if (!r.commandWords.isEmpty())
            throw UsageError{"give the command or --script FILE, not both"};
        QFile file(*r.script);
        if (!file.open(QIODevice::ReadOnly))
            throw UsageError{"the script " + shown(*r.script) + " cannot be read: " + file.errorString().toStdString()};
        plan.lines = BatchPlanning::scriptLines(file.readAll().toStdString());
        if (plan.lines.empty())
            throw UsageError{"the script " + shown(*r.script) + " holds no command"};
    } else {
        const std::string command = QStringToLatin1(r.commandWords.join(QLatin1Char(' ')));
        if (command.find_first_not_of(' ') == std::string::npos)
            throw UsageError{"no command given"};
        plan.lines.push_back(command);
    }
    plan.keepGoing = r.keepGoing;
    plan.allowClearText = r.allowClearText;
    return plan;
}

// The chosen sites' names, in the book's order for --all and --folder, as given otherwise.
QStringList chosenNames(const Request& r, const BookChoice::SiteIndex& book, TSettingsStore& store)
{
    const QStringList& names = book.names();
    const int ways =
        int(r.all) + int(r.folder.has_value()) + int(r.sitesFrom.has_value()) + int(!r.siteWords.isEmpty());
    if (ways == 0)
        throw UsageError{"name the sites, or choose them with --all, --folder or --sites-from"};
    if (ways > 1)
        throw UsageError{"choose the sites one way: by name, --all, --folder or --sites-from"};
    QStringList chosen;
    if (r.all)
        return names;
    if (r.folder) {
        for (const QString& name : names)
            if (SiteBook::inFolder(SiteBook::folderOf(store, SiteBook::keyName(name)), *r.folder))
                chosen << name;
        if (chosen.isEmpty())
            throw CannotRun{"no site is filed in the folder " + shown(*r.folder)};
        return chosen;
    }
    const QStringList words = r.sitesFrom ? namesFrom(*r.sitesFrom) : r.siteWords;
    QStringList unknown;
    for (const QString& word : words) {
        if (const std::optional<QString> name = book.named(word)) {
            if (!chosen.contains(*name))
                chosen << *name;
        } else {
            const std::optional<QString> near = BookChoice::nearestSite(word, names);
            unknown << QString::fromStdString(shown(word)) +
                           (near ? QStringLiteral(" (did you mean %1?)").arg(QString::fromStdString(shown(*near)))
                                 : QString());
        }
    }
    if (!unknown.isEmpty())
        throw UsageError{"no site of the book is named " + unknown.join(QStringLiteral(", ")).toStdString()};
    if (chosen.isEmpty())
        throw CannotRun{"no site was named in " + shown(*r.sitesFrom)};
    return chosen;
}

// The chosen sites with their records, passwords included; a dry run needs no password that must be unlocked.
std::vector<BatchSite> readSites(const Request& r, const QStringList& chosen, TSettingsStore& store)
{
    try {
        return BookChoice::readSites(
            store, chosen, {r.masterPasswordFile, "kolvane-run", r.sitesFrom != QStringLiteral("-"), r.dryRun});
    } catch (const BookChoice::Refused& e) {
        throw CannotRun{e.why};
    }
}

// The seconds of quiet after which a session kept between rounds sends a NOOP: the console's KeepAlive setting.
int keepAliveOf(TSettingsStore& store)
{
    try {
        return SettingsLayout::readWindow(store).keepAlive;
    } catch (const EStoreError&) {
        return SettingsLayout::WindowSettings().keepAlive; // a book without the console's settings
    }
}

void write(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// The outcomes as they are to be reported: a site still under way when the run had to end was cancelled.
std::vector<SiteOutcome> finalOutcomes(const TSiteBatch& batch)
{
    std::vector<SiteOutcome> outcomes = batch.outcomes();
    for (SiteOutcome& o : outcomes)
        if (!o.ended()) {
            o.step = SiteOutcome::Step::Failed;
            o.outcome = Outcome::Cancelled;
            o.failure = SessionFailure{FailureKind::Cancelled, "Cancelled before the site had finished", 0};
        }
    return outcomes;
}

// What a run prints once it has ended (or has been ended), and the status it exits with.
class Reporter {
public:
    Reporter(const Request& r, const TSiteBatch& batch) : r_(r), batch_(batch), printed_(batch.sites().size()) {}

    // A site has ended: JSON goes out at once, flushed, so a program can follow the run as it goes.
    void siteEnded(int index)
    {
        if (!r_.json || printed_[std::size_t(index)])
            return;
        printed_[std::size_t(index)] = true;
        write(BatchReport::jsonSite(batch_.outcomes()[std::size_t(index)]));
    }

    int finish(int interruptedBy)
    {
        const std::vector<SiteOutcome> outcomes = finalOutcomes(batch_);
        if (r_.json) {
            std::string rest;
            for (std::size_t i = 0; i < outcomes.size(); ++i)
                if (!printed_[i])
                    rest += BatchReport::jsonSite(outcomes[i]);
            write(rest + BatchReport::jsonRecap(outcomes));
        } else {
            write((r_.diff ? BatchReport::differences(outcomes) : BatchReport::folded(outcomes)) + "-- " +
                  BatchFold::recapLine(BatchFold::recap(outcomes)) + "\n");
        }
        tellAside(outcomes);
        int status = std::all_of(outcomes.begin(), outcomes.end(), [](const SiteOutcome& o) { return o.ok(); }) ? 0 : 1;
        if (r_.failedTo && !writeFailed(outcomes))
            status = 1;
        if (interruptedBy == SIGINT)
            return 130;
        if (interruptedBy == SIGTERM)
            return 143;
        return status;
    }

private:
    void tellAside(const std::vector<SiteOutcome>& outcomes)
    {
        std::size_t clearRefused = 0;
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const SiteOutcome& o = outcomes[i];
            if (!o.note.empty())
                say(shown(BatchReport::siteText(o.site)) + ": " + o.note);
            clearRefused += o.outcome == Outcome::TlsRefused &&
                            batch_.sites()[i].record.security == TFtpSecurity::ExplicitIfOffered;
        }
        if (clearRefused)
            say(plural(clearRefused, "site set to TLS if offered refused", "sites set to TLS if offered refused") +
                " TLS, so nothing was sent to " + (clearRefused == 1 ? "it" : "them") +
                "; --allow-clear-text logs in to such sites in clear text");
        if (!batch_.stopReason().empty())
            say(batch_.stopReason());
    }

    bool writeFailed(const std::vector<SiteOutcome>& outcomes)
    {
        std::string names;
        for (const SiteOutcome& o : outcomes)
            if (!o.ok())
                names += o.site + "\n";
        QFile file(*r_.failedTo);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(names.data(), qint64(names.size())) != qint64(names.size()) || !file.flush()) {
            say("the failed sites cannot be written to " + shown(*r_.failedTo) + ": " +
                file.errorString().toStdString());
            return false;
        }
        return true;
    }

    const Request& r_;
    const TSiteBatch& batch_;
    std::vector<bool> printed_;
};

int run(const Request& r, const BatchPlan& plan, std::vector<BatchSite> sites, QCoreApplication& app)
{
    TSiteBatch batch(std::move(sites), plan, r.jobs);
    batch.replyTimeout = r.timeout;
    batch.serial = r.serial;
    batch.maxFailPercent = r.maxFail;
    Reporter reporter(r, batch);
    QObject::connect(&batch, &TSiteBatch::siteEnded, [&](int index) { reporter.siteEnded(index); });
    QObject::connect(&batch, &TSiteBatch::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);

    // Ctrl-C or SIGTERM ends every site's wait; what came so far is printed. A site whose thread cannot end at once
    // (a lookup the system will not give up) is not waited for past the grace: it is reported cancelled, and the
    // program ends without it.
    const TToolSignals interrupts([&](int) { batch.cancel(); }, 1500,
                                  [&] { std::_Exit(reporter.finish(interrupts.caught())); });
    batch.start();
    if (batch.running())
        app.exec();
    return reporter.finish(interrupts.caught());
}

// What a watch prints: each round once it has ended, its header and what changed; in JSON each site that changed as
// soon as it has ended in the round. Notes go to standard error as they come.
class WatchPrinter {
public:
    WatchPrinter(const Request& r, const TBatchWatch& watch) : r_(r), watch_(watch) {}

    void siteEnded(int index)
    {
        const SiteOutcome& o = watch_.batch().outcomes()[std::size_t(index)];
        if (!o.note.empty())
            say(shown(BatchReport::siteText(o.site)) + ": " + o.note);
        if (r_.json)
            write(BatchReport::jsonWatchSite(watch_, std::size_t(index)));
    }

    void roundEnded()
    {
        if (!r_.json)
            write(BatchReport::watchRound(watch_));
    }

    // The status after the last round: every site ok in it, or not.
    int finish(int interruptedBy)
    {
        if (r_.json)
            write(BatchReport::jsonRecap(finalOutcomes(watch_.batch())));
        if (interruptedBy == SIGINT)
            return 130;
        if (interruptedBy == SIGTERM)
            return 143;
        const std::vector<SiteOutcome>& outcomes = watch_.batch().outcomes();
        return std::all_of(outcomes.begin(), outcomes.end(), [](const SiteOutcome& o) { return o.ok(); }) ? 0 : 1;
    }

private:
    const Request& r_;
    const TBatchWatch& watch_;
};

// A watch: rounds on sessions that stay logged in, until --rounds have run or a signal ends it. Ctrl-C or SIGTERM
// cancels the round under way and logs out of every site, each QUIT waited for at most a second; a site that will
// not let go (a lookup the system will not give up) is not waited for past the grace.
int watch(const Request& r, const BatchPlan& plan, std::vector<BatchSite> sites, int keepAlive, QCoreApplication& app)
{
    TSiteBatch batch(std::move(sites), BatchWatching::watchPlan(plan, keepAlive), r.jobs);
    batch.replyTimeout = r.timeout;
    TBatchWatch watching(batch, r.watch);
    watching.maxRounds = r.rounds;
    WatchPrinter printer(r, watching);
    QObject::connect(&watching, &TBatchWatch::siteEnded, [&](int index) { printer.siteEnded(index); });
    QObject::connect(&watching, &TBatchWatch::roundEnded, [&] { printer.roundEnded(); });
    QObject::connect(&watching, &TBatchWatch::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);

    const TToolSignals interrupts([&](int) { watching.stop(1000); }, 2000,
                                  [&] { std::_Exit(printer.finish(interrupts.caught())); });
    watching.start();
    if (watching.watching())
        app.exec();
    return printer.finish(interrupts.caught());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kolvane-run"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KOLVANE_VERSION));
    try {
        std::unique_ptr<TSettingsStore> store;
        BookChoice::SiteIndex index;
        auto book = [&]() -> TSettingsStore& {
            if (!store) {
                const std::string path = TSettingsStore::defaultPath();
                if (!QFile::exists(QString::fromStdString(path)))
                    throw CannotRun{"there is no site book at " + path};
                store = std::make_unique<TSettingsStore>(path);
                index.fill(SiteBook::names(*store));
            }
            return *store;
        };
        const Request request = parse(app.arguments().mid(1), [&]() -> const BookChoice::SiteIndex& {
            book();
            return index;
        });
        if (request.diff && request.json)
            throw UsageError{"--diff is for the text output; --json gives every reply whole"};
        if (request.rounds && !request.watch)
            throw UsageError{"--rounds counts the rounds of a watch: give --watch SECONDS too"};
        if (request.watch &&
            (request.dryRun || request.diff || request.failedTo || request.serial || request.maxFail >= 0))
            throw UsageError{"--watch prints what changed round after round; --dry-run, --diff, --failed-to, "
                             "--serial and --max-fail are for a single run"};
        const BatchPlan plan = planOf(request);
        if (request.watch)
            if (const std::optional<std::string> why = BatchWatching::refusal(plan.lines))
                throw UsageError{"nothing was sent: " + *why};
        TSettingsStore& opened = book();
        const QStringList chosen = chosenNames(request, index, opened);
        std::vector<BatchSite> sites = readSites(request, chosen, opened);
        if (sites.empty())
            throw CannotRun{"no site matched"};
        if (request.dryRun) {
            write(request.json ? BatchReport::dryRunJson(sites, plan) : BatchReport::dryRun(sites, plan));
            const bool all = std::all_of(sites.begin(), sites.end(), [](const BatchSite& s) {
                return !BatchPlanning::cannotLogIn(s.key, s.record);
            });
            return all ? 0 : 1;
        }
        // Every change sent is journaled, kept as long as the console's setting says; a journal that cannot be
        // written is said once, and the run goes on without it.
        QString keepNote;
        TJournal::shared().setKeepDays(TJournal::keepDaysSetting(opened, &keepNote));
        if (!keepNote.isEmpty())
            say(keepNote.toStdString());
        TJournal::shared().setOnTrouble([](const QString& reason) { say(reason.toStdString()); });
        if (request.watch)
            return watch(request, plan, std::move(sites), keepAliveOf(opened), app);
        return run(request, plan, std::move(sites), app);
    } catch (const UsageError& e) {
        say(e.why);
        std::fputs(kUsage, stderr);
        return kUsageError;
    } catch (const CannotRun& e) {
        say(e.why);
        return kNothingRun;
    } catch (const EStoreError& e) {
        say(e.message());
        return kNothingRun;
    } catch (const std::exception& e) {
        say(e.what());
        return 1;
    }
}
