// kolvane-journal: the change journal of the console and its tools, read from scripts and the terminal.
//
//   kolvane-journal [--since DATE] [--until DATE] [--site NAME] [--grep TEXT] [--json | --csv]
//
// Prints the entries the options take, newest first: one line an entry, or one JSON object a line, or CSV. Exit
// status: 0 when the journal was read (an empty or missing journal included), 1 when it cannot be read, 2 on a
// usage error.

#include "session/Journal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <string>

namespace {

constexpr const char* kUsage =
    "usage: kolvane-journal [--since DATE] [--until DATE] [--site NAME] [--grep TEXT] [--json | --csv]\n";

int usage(const std::string& why)
{
    std::fprintf(stderr, "kolvane-journal: %s\n%s", why.c_str(), kUsage);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kolvane-journal"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KOLVANE_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Prints the change journal of the Kolvane console and its tools, newest first: every command sent that\n"
        "can change a daemon's state, with its time (UTC), the account and program that sent it, the site, the\n"
        "line (passwords masked), the reply and the outcome.\n\n"
        "DATE is 2026-03-01, 2026-03-01 12:00 or 2026-03-01T12:00:00, in UTC unless it ends in Z or an offset\n"
        "(+02:00); --until with a date alone takes that whole day.\n"
        "Exit status: 0 when the journal was read, 1 when it cannot be read, 2 on a usage error."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {"since", "Only entries at or after DATE.", "DATE"},
        {"until", "Only entries at or before DATE.", "DATE"},
        {"site", "Only entries of the site NAME (whatever its case).", "NAME"},
        {"grep",
         "Only entries that hold TEXT (whatever its case) in their site, host, account, program, line, "
         "reply or user's replies.",
         "TEXT"},
        {"json", "Print one JSON object per entry and line."},
        {"csv", "Print CSV: a header row, then a row per entry."},
    });
    if (!parser.parse(app.arguments()))
        return usage(parser.errorText().toStdString());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return usage("unexpected argument " + parser.positionalArguments().front().toStdString());
    const bool json = parser.isSet(QStringLiteral("json"));
    const bool csv = parser.isSet(QStringLiteral("csv"));
    if (json && csv)
        return usage("--json and --csv each choose the output; give one of them");

    JournalFilter filter;
    for (const auto& [name, time, endOfDay] :
         {std::tuple{"since", &filter.since, false}, std::tuple{"until", &filter.until, true}}) {
        if (!parser.isSet(QLatin1String(name)))
            continue;
        const QString text = parser.value(QLatin1String(name));
        *time = parseJournalTime(text, endOfDay);
        if (!time->isValid())
            return usage("--" + std::string(name) + " wants a date such as 2026-03-01 or 2026-03-01T12:00, not " +
                         text.toStdString());
    }
    filter.site = parser.value(QStringLiteral("site"));
    filter.text = parser.value(QStringLiteral("grep"));

    try {
        TJournal journal;
        if (!QFile::exists(journal.path()))
            std::fprintf(stderr, "kolvane-journal: nothing is journaled yet (no %s)\n", qPrintable(journal.path()));
        const std::vector<JournalRecord> records = journal.query(filter);
        const std::string out = json  ? JournalReport::jsonLines(records)
                                : csv ? JournalReport::csv(records)
                                      : JournalReport::text(records);
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kolvane-journal: %s\n", e.what());
        return 1;
    }
}
