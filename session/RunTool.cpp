// kolvane-run: one SITE command on many sites of the console's site book at once, from scripts and cron. It reads
// the same site book and secrets as the console and writes nothing to the book.
//
//   kolvane-run [--all | --folder NAME | SITE...] [--jobs N] [--timeout SECONDS] [--json] COMMAND...
//
// COMMAND is a SITE command without the word SITE, as typed in the console's command box. Sites whose replies are
// identical are printed once, under a header that names them all. Exit status: 0 when every site answered with a
// 2xx, 1 when any did not, 2 on a usage error.

#include "platform/OemText.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "platform/Terminal.h"
#include "session/BatchReport.h"
#include "session/SiteBatch.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

namespace {

constexpr const char* kUsage =
    "usage: kolvane-run [--all | --folder NAME | SITE...] [--jobs N] [--timeout SECONDS] [--json] COMMAND...\n";

std::atomic<bool> interrupted{false};

int usage(const std::string& why)
{
    std::fprintf(stderr, "kolvane-run: %s\n%s", why.c_str(), kUsage);
    return 2;
}

bool inFolder(const std::string& siteFolder, const std::string& folder)
{
    return siteFolder == folder || siteFolder.rfind(folder + "/", 0) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kolvane-run"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KOLVANE_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs one SITE command on many sites of the Kolvane console's site book at once.\n\n"
        "COMMAND is a SITE command without the word SITE, as typed in the console's command box. The sites are\n"
        "named first (or chosen with --all or --folder); the command starts at the first word that names no site,\n"
        "or after --. Identical replies are printed once, under a header naming every site that gave them.\n"
        "Exit status: 0 when every site answered with a 2xx, 1 when any did not, 2 on a usage error."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {"all", "Run on every site of the book."},
        {"folder", "Run on the sites filed in FOLDER (and the folders below it).", "FOLDER"},
        {"jobs", "At most N sites at once (default 8).", "N", "8"},
        {"timeout", "Wait at most SECONDS for each reply, whatever the sites say.", "SECONDS"},
        {"json", "Print one JSON object per site and line."},
    });
    parser.addPositionalArgument(QStringLiteral("SITE"), QStringLiteral("The sites to run on."),
                                 QStringLiteral("[SITE...]"));
    parser.addPositionalArgument(QStringLiteral("COMMAND"), QStringLiteral("The SITE command."),
                                 QStringLiteral("COMMAND..."));
    // A command's own words may look like options ("USERS -l"): everything after the first word is the command's.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!parser.parse(app.arguments()))
        return usage(parser.errorText().toStdString());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    bool number = false;
    const int jobs = parser.value(QStringLiteral("jobs")).toInt(&number);
    if (!number || jobs < 1 || jobs > 256)
        return usage("--jobs wants a number from 1 to 256");
    int timeout = -1;
    if (parser.isSet(QStringLiteral("timeout"))) {
        timeout = parser.value(QStringLiteral("timeout")).toInt(&number);
        if (!number || timeout < 1 || timeout > 86400)
            return usage("--timeout wants seconds from 1 to 86400");
    }
    const bool all = parser.isSet(QStringLiteral("all"));
    const bool byFolder = parser.isSet(QStringLiteral("folder"));
    if (all && byFolder)
        return usage("--all and --folder choose the sites each on their own; give one of them");

    try {
        const QString path = QString::fromStdString(TSettingsStore::defaultPath());
        if (!QFile::exists(path))
            return usage("there is no site book at " + path.toStdString());
        TSettingsStore store(TSettingsStore::defaultPath());
        const QStringList names = SiteBook::names(store);
        QStringList args = parser.positionalArguments();
        QStringList chosen;
        if (!all && !byFolder) {
            while (!args.isEmpty()) {
                if (args.front() == QLatin1String("--")) {
                    args.removeFirst();
                    break;
                }
                const auto at = std::find_if(names.begin(), names.end(), [&](const QString& name) {
                    return name.compare(args.front(), Qt::CaseInsensitive) == 0;
                });
                if (at == names.end())
                    break;
                chosen << *at;
                args.removeFirst();
            }
            if (chosen.isEmpty())
                return usage("name the sites, or choose them with --all or --folder");
        } else if (!args.isEmpty() && args.front() == QLatin1String("--")) {
            args.removeFirst();
        }
        const std::string command = QStringToLatin1(args.join(QLatin1Char(' ')));
        if (command.find_first_not_of(' ') == std::string::npos)
            return usage("no command given");

        // A book sealed with a master password asks for it once, from the terminal or the first line of input.
        Terminal::restoreOnSignals();
        SiteBook::setMasterPasswordAsker([](bool again) {
            if (again)
                std::fputs("kolvane-run: that is not the master password\n", stderr);
            return Terminal::readSecret("Master password: ");
        });
        TDiamond cipher;
        cipher.SetKey(std::string(DiamondConsoleKey));
        std::vector<BatchSite> sites;
        const std::string folder = parser.value(QStringLiteral("folder")).toStdString();
        for (const QString& name : all || byFolder ? names : chosen) {
            const std::string key = SiteBook::keyName(name);
            if (key.empty())
                continue;
            SiteBook::Record record = SiteBook::read(store, cipher, key);
            if (byFolder && !inFolder(record.folder, folder))
                continue;
            sites.push_back({key, std::move(record)});
        }
        if (sites.empty())
            return usage(byFolder ? "no site is filed in the folder " + folder : "the site book holds no site");

        TSiteBatch batch(sites, command, jobs);
        batch.replyTimeout = timeout;
        QObject::connect(&batch, &TSiteBatch::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
        // Ctrl-C ends every site's wait; what came in so far is still printed.
        std::signal(SIGINT, [](int) { interrupted = true; });
        std::signal(SIGTERM, [](int) { interrupted = true; });
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (interrupted.exchange(false))
                batch.cancel();
        });
        watch.start(100);
        batch.start();
        if (batch.running())
            app.exec();

        const std::string report = parser.isSet(QStringLiteral("json")) ? BatchReport::jsonLines(batch.outcomes())
                                                                        : BatchReport::folded(batch.outcomes());
        std::fwrite(report.data(), 1, report.size(), stdout);
        std::fflush(stdout);
        const auto& outcomes = batch.outcomes();
        return std::all_of(outcomes.begin(), outcomes.end(), [](const SiteOutcome& o) { return o.ok(); }) ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kolvane-run: %s\n", e.what());
        return 1;
    }
}
