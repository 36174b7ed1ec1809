// kolvane-health: the health of sites of the console's site book, for a monitoring system (Nagios, Icinga, ...)
// and scripts. Each site is logged in to, sent NOOP and logged out, all of them at once; one line in the Monitoring
// Plugins' form is printed, and the exit status says the worst: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
//
//   kolvane-health [--all | --folder NAME | SITE...] [--warn-days 30] [--crit-days 7] [--warn-ms N] [--crit-ms N]
//                  [--json]

#include "platform/SettingsStore.h"
#include "session/BatchReport.h"
#include "session/BookChoice.h"
#include "session/HealthHistory.h"
#include "session/HealthReport.h"
#include "session/ToolKit.h"
#include "sitebook/SiteBook.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

namespace {

constexpr const char* kUsage =
    "Usage: kolvane-health [--all | --folder NAME | SITE...] [--warn-days 30] [--crit-days 7] [--warn-ms N]\n"
    "                      [--crit-ms N] [--json] [OPTION...]\n";

constexpr const char* kHelp =
    "Checks the health of sites of the Kolvane console's site book, all at once: each is logged in to, sent NOOP\n"
    "and logged out (nothing else is sent), and one line in the Monitoring Plugins' form is printed, every site\n"
    "that needs attention named before the | and the figures of every site after it. Each check is kept in the\n"
    "health history the console's Site Health window charts.\n"
    "\n"
    "Choosing the sites:\n"
    "  --all                      every site of the book\n"
    "  --folder NAME              the sites filed in NAME and the folders below it (case does not matter)\n"
    "  SITE...                    the sites named (case does not matter)\n"
    "When a site needs attention:\n"
    "  --warn-days N              WARNING when its certificate ends within N days (default 30)\n"
    "  --crit-days N              CRITICAL within N days, or once it has ended (default 7)\n"
    "  --warn-ms N                WARNING when NOOP's round trip takes N ms or more (default: never)\n"
    "  --crit-ms N                CRITICAL when it takes N ms or more (default: never)\n"
    "  A site that cannot be reached, does not answer, refuses the log-in or TLS is CRITICAL; a certificate that\n"
    "  is not the pinned one (CHANGED), or neither verifies nor is pinned, is a WARNING.\n"
    "How:\n"
    "  --jobs N                   at most N sites at once (default 8)\n"
    "  --timeout SECONDS          the longest any one answer may take, whatever the sites say\n"
    "  --allow-clear-text         log in without TLS to sites set to TLS if offered whose server refuses it\n"
    "  --master-password-file F   the site book's master password, from the first line of F\n"
    "What is printed:\n"
    "  --json                     one JSON object per site with every figure, in place of the line\n"
    "  -h, --help                 this text\n"
    "  -V, --version              the program's version\n"
    "\n"
    "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (also for a wrong command line, a book that cannot be\n"
    "read, and a run that was interrupted).\n";

constexpr int kUnknown = 3;

struct Request {
    bool all = false;
    std::optional<QString> folder;
    QStringList sites;
    HealthLimits limits;
    bool json = false;
    int jobs = 8;
    int timeout = -1;
    bool allowClearText = false;
    std::optional<QString> masterPasswordFile;
};

struct Usage {
    std::string why;
};

int number(const QString& text, int low, int high, const std::string& what)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        throw Usage{what};
    return value;
}

Request parse(const QStringList& args)
{
    Request r;
    bool words = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (words || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            r.sites << arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            words = true;
            continue;
        }
        const ToolKit::Option given = ToolKit::option(arg);
        const QString& option = given.name;
        const std::optional<QString>& inline_ = given.value;
        const std::string o = option.toStdString();
        const auto value = [&]() -> QString {
            if (inline_)
                return *inline_;
            if (i + 1 >= args.size())
                throw Usage{o + " wants a value"};
            return args[++i];
        };
        const auto flag = [&](bool& target) {
            if (inline_)
                throw Usage{o + " takes no value"};
            target = true;
        };
        if (o == "-h" || o == "--help") {
            std::printf("%s\n%s", kUsage, kHelp);
            std::exit(0);
        } else if (o == "-V" || o == "--version") {
            std::printf("kolvane-health %s\n", KOLVANE_VERSION);
            std::exit(0);
        } else if (o == "--all") {
            flag(r.all);
        } else if (o == "--folder") {
            r.folder = value();
        } else if (o == "--warn-days") {
            r.limits.warnDays = number(value(), 0, 36500, "--warn-days wants a number of days from 0 to 36500");
        } else if (o == "--crit-days") {
            r.limits.critDays = number(value(), 0, 36500, "--crit-days wants a number of days from 0 to 36500");
        } else if (o == "--warn-ms") {
            r.limits.warnMs = number(value(), 0, 86400000, "--warn-ms wants milliseconds from 0 to 86400000");
        } else if (o == "--crit-ms") {
            r.limits.critMs = number(value(), 0, 86400000, "--crit-ms wants milliseconds from 0 to 86400000");
        } else if (o == "--json") {
            flag(r.json);
        } else if (o == "--jobs") {
            r.jobs = number(value(), 1, 256, "--jobs wants a number from 1 to 256");
        } else if (o == "--timeout") {
            r.timeout = number(value(), 1, 86400, "--timeout wants seconds from 1 to 86400");
        } else if (o == "--allow-clear-text") {
            flag(r.allowClearText);
        } else if (o == "--master-password-file") {
            r.masterPasswordFile = value();
        } else {
            throw Usage{"unknown option " + BatchReport::printable(option)};
        }
    }
    return r;
}

// The line of a check that could not be made.
int unknown(const std::string& why)
{
    std::printf("KOLVANE UNKNOWN - %s\n", why.c_str());
    std::fflush(stdout);
    return kUnknown;
}

// Each check joins the history; a history that cannot be written is said once, and the check stands.
void record(const std::vector<SiteHealth>& figures)
{
    THealthHistory history;
    try {
        for (const SiteHealth& health : figures)
            history.record(health);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kolvane-health: %s\n", e.what());
    }
}

int check(const Request& r, std::vector<BatchSite> sites, QCoreApplication& app)
{
    std::unique_ptr<TSiteBatch> batch = makeHealthCheck(std::move(sites), r.jobs, r.allowClearText);
    batch->replyTimeout = r.timeout;
    QObject::connect(batch.get(), &TSiteBatch::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    // Ctrl-C or SIGTERM (a monitoring system's time-out) ends every check's wait; the sites not done are UNKNOWN.
    const TToolSignals interrupts([&](int) { batch->cancel(); }, 1500, [&] { app.quit(); });
    batch->start();
    if (batch->running())
        app.exec();
    const std::vector<SiteHealth> figures = healthOf(*batch);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const std::string out =
        r.json ? HealthReport::json(figures, r.limits, now) : HealthReport::pluginLine(figures, r.limits, now);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    record(figures);
    if (interrupts.caught())
        std::_Exit(kUnknown); // a session that cannot end at once is not waited for
    return int(HealthReport::overall(figures, r.limits, now));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kolvane-health"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KOLVANE_VERSION));
    try {
        const Request request = parse(app.arguments().mid(1));
        const std::string path = TSettingsStore::defaultPath();
        if (!QFile::exists(QString::fromStdString(path)))
            return unknown("there is no site book at " + path);
        TSettingsStore store(path);
        const QStringList names = SiteBook::names(store);
        const QStringList chosen = BookChoice::chosen(store, names, request.all, request.folder, request.sites);
        std::vector<BatchSite> sites =
            BookChoice::readSites(store, chosen, {request.masterPasswordFile, "kolvane-health", true, false});
        if (sites.empty())
            return unknown("no site matched");
        return check(request, std::move(sites), app);
    } catch (const Usage& e) {
        std::fputs(kUsage, stderr);
        return unknown(e.why);
    } catch (const BookChoice::Refused& e) {
        if (e.usage)
            std::fputs(kUsage, stderr);
        return unknown(e.why);
    } catch (const EStoreError& e) {
        return unknown(e.message());
    } catch (const std::exception& e) {
        return unknown(e.what());
    }
}
