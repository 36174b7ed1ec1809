// kolvane-site: the site book from the command line, for scripts and for setting up a console unattended. It reads
// and writes the same settings store as the console, with the same cipher for the passwords.
//
//   kolvane-site add NAME HOST PORT LOGIN [--last] [--security WORD] [--data WORD] [--fingerprint SHA256]
//                    [--folder FOLDER] [--reconnect] [--via URL]
//   kolvane-site list
//   kolvane-site via FOLDER URL
//   kolvane-site master-password
//   kolvane-site export FILE
//   kolvane-site import FILE [--replace]
//
// Passwords are read from the terminal without echo, or one a line from standard input when that is not a
// terminal: the site's first, then the proxy's when the connection path names a user, then the master password. The
// terminal is given back as it was however the program ends, Ctrl-C included. The exit status is 0 when the command did
// what it says, 1 when it failed on the way (the store, the file, the disk), 2 for a command line or a site refused
// before anything was done.

#include "platform/ConnectPath.h"
#include "platform/OemText.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "platform/Terminal.h"
#include "sitebook/BookTransfer.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: kolvane-site add NAME HOST PORT LOGIN [--last] [--security WORD] [--data WORD] [--fingerprint SHA256]\n"
    "                        [--folder FOLDER] [--reconnect] [--via URL]\n"
    "       kolvane-site list\n"
    "       kolvane-site via FOLDER URL\n"
    "       kolvane-site master-password\n"
    "       kolvane-site export FILE\n"
    "       kolvane-site import FILE [--replace]\n"
    "       kolvane-site --help | --version\n"
    "add reads the site's password, then the proxy's when --via names a user, then a master password if the\n"
    "book has one: from the terminal, or one a line from standard input.\n";

// The commands and the words that follow each.
struct Command {
    const char* name;
    int words; // the command's own word included
    const char* takes;
};
constexpr Command kCommands[] = {
    {"add", 5, "NAME HOST PORT LOGIN"}, {"list", 1, "nothing"},    {"master-password", 1, "nothing"},
    {"export", 2, "one FILE"},          {"import", 2, "one FILE"}, {"via", 3, "FOLDER URL"},
};

// Text as a terminal may show it: as a site name is shown everywhere, whole code points in UTF-8.
std::string printable(const QString& text)
{
    return SiteBook::shownName(text).toStdString();
}

std::string printable(const std::string& text)
{
    return printable(QString::fromUtf8(text.data(), qsizetype(text.size())));
}

int refuse(const std::string& why)
{
    std::fprintf(stderr, "kolvane-site: %s\n", printable(why).c_str());
    return 2;
}

// A site's value refused by the book's check, whose words show every value they quote already.
int refused(const SiteBook::Problem& problem)
{
    std::fprintf(stderr, "kolvane-site: %s\n", problem.why.c_str());
    return 2;
}

// How far apart two words are: the letters to change, add or take away to make one the other.
qsizetype distance(const QString& a, const QString& b)
{
    std::vector<qsizetype> row(std::size_t(b.size()) + 1);
    for (qsizetype j = 0; j <= b.size(); ++j)
        row[std::size_t(j)] = j;
    for (qsizetype i = 1; i <= a.size(); ++i) {
        qsizetype diagonal = row[0];
        row[0] = i;
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const qsizetype above = row[std::size_t(j)];
            const qsizetype same = a[i - 1].toLower() == b[j - 1].toLower() ? 0 : 1;
            row[std::size_t(j)] = std::min({above + 1, row[std::size_t(j - 1)] + 1, diagonal + same});
            diagonal = above;
        }
    }
    return row[std::size_t(b.size())];
}

// An unknown command, named, with the known one it most likely meant when one is close.
int unknownCommand(const QString& word)
{
    const Command* closest = nullptr;
    qsizetype best = 3; // two typing slips at most
    for (const Command& command : kCommands) {
        const QString name = QLatin1String(command.name);
        const qsizetype apart =
            name.startsWith(word, Qt::CaseInsensitive) && word.size() >= 2 ? 1 : distance(word, name);
        if (apart < best) {
            best = apart;
            closest = &command;
        }
    }
    const std::string hint = closest ? std::string("; did you mean \"") + closest->name + "\"?" : std::string();
    std::fprintf(stderr, "kolvane-site: there is no command \"%s\"%s\n%s", printable(word).c_str(), hint.c_str(),
                 kUsage);
    return 2;
}

// The password: typed at the terminal without echo, or the first line of a pipe.
std::string readPassword()
{
    return Terminal::readSecret("Password: ").value_or(std::string());
}

// The proxy's password, read after the site's: the next line of a pipe.
std::string readProxyPassword()
{
    return Terminal::readSecret("Proxy password: ").value_or(std::string());
}

bool namesUser(const std::string& url)
{
    const std::optional<ConnectPath> path = parseConnectPath(url);
    return path && !path->user.empty();
}

// kolvane-site via FOLDER URL: one path for every site of a folder.
int applyPath(const QString& folder, const std::string& url)
{
    std::string why;
    if (!parseConnectPath(url, &why))
        return refuse(why + "; nothing was changed");
    TSettingsStore store(TSettingsStore::defaultPath());
    TDiamond cipher;
    cipher.SetKey(std::string(DiamondConsoleKey));
    const QString where = folder.isEmpty() ? QStringLiteral("the top level") : QStringLiteral("the folder ") + folder;
    qsizetype sites = 0;
    for (const QString& name : SiteBook::names(store))
        sites += SiteBook::inFolder(SiteBook::folderOf(store, SiteBook::keyName(name)), folder) ? 1 : 0;
    if (sites == 0)
        return refuse("no site is filed in " + where.toStdString() + "; nothing was changed");
    const std::string password = namesUser(url) ? readProxyPassword() : std::string();
    if (namesUser(url) && password.empty())
        return refuse("no password given for the proxy's user; nothing was changed");
    if (const std::optional<SiteBook::Problem> problem = SiteBook::pathProblem(url, password))
        return refused(*problem);
    const QStringList changed = SiteBook::setConnectVia(store, cipher, folder, url, password);
    std::fprintf(stderr, "kolvane-site: %s of %s now connect %s\n",
                 BookTransfer::siteCount(changed.size()).toUtf8().constData(), printable(where).c_str(),
                 url.empty() ? "directly" : ("through " + parseConnectPath(url)->url()).c_str());
    return 0;
}

bool holdsLineBreak(const std::string& text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kolvane-site"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KOLVANE_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Adds sites to the Kolvane console's site book and lists them.\n\n"
        "  add NAME HOST PORT LOGIN   adds or replaces the site NAME; the password is read from the terminal\n"
        "                             without echo, or from the first line of standard input\n"
        "  list                       prints the site names, one a line, each with its folder after a tab,\n"
        "                             and after another its connection path when it has one\n"
        "  via FOLDER URL             connects every site of FOLDER (and the folders below it; \"\": the top\n"
        "                             level) through the proxy URL (\"\": directly); when URL names a user, the\n"
        "                             proxy's password is read as the site's is\n"
        "  export FILE                writes the book to FILE as JSON; the passwords go sealed under a\n"
        "                             passphrase you type, or not at all when it is empty\n"
        "  import FILE                adds the sites of an export or of a FileZilla sitemanager.xml; a site\n"
        "                             the book holds stays as it is unless --replace is given\n"
        "  master-password            sets the site book's master password (empty: none), which seals the\n"
        "                             passwords that are not in the desktop's secret store\n\n"
        "add reads the site's password first, then the proxy's when --via names a user. A book with a\n"
        "master password asks for it after them (from the terminal, or the next line of standard input)\n"
        "before a password is saved."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {"last", "Make NAME the site selected at the console's next start."},
        {"security", "plain, explicit-if-offered, explicit (the default) or implicit.", "WORD", "explicit"},
        {"data", "passive, active or passive-else-active (the default).", "WORD", "passive-else-active"},
        {"fingerprint", "Pin the site's certificate: its SHA-256 fingerprint, AB:CD:...", "SHA256"},
        {"folder", "File the site in FOLDER of the book (\"Customers/EU\").", "FOLDER"},
        {"reconnect", "Log in again by itself when the connection drops while idle."},
        {"via", "Reach the site through a proxy: socks5://[user@]host:port or http://[user@]host:port.", "URL"},
        {"replace", "import: replace the sites of the book that have a name of the file's."},
    });
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("add, list, via, master-password, export or import"));
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "kolvane-site: %s\n%s", printable(parser.errorText()).c_str(), kUsage);
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    const QStringList args = parser.positionalArguments();
    if (args.isEmpty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                                      [&](const Command& known) { return args[0] == QLatin1String(known.name); });
    if (command == std::end(kCommands))
        return unknownCommand(args[0]);
    if (args.size() != command->words) {
        std::fprintf(stderr, "kolvane-site: %s takes %s\n%s", command->name, command->takes, kUsage);
        return 2;
    }
    Terminal::restoreOnSignals();
    SiteBook::setMasterPasswordAsker([](bool again) {
        if (again)
            std::fputs("kolvane-site: that is not the master password\n", stderr);
        return Terminal::readSecret("Master password: ");
    });
    try {
        if (args[0] == QLatin1String("master-password")) {
            TSettingsStore store(TSettingsStore::defaultPath());
            TDiamond cipher;
            cipher.SetKey(std::string(DiamondConsoleKey));
            if (SiteBook::hasMasterPassword(store))
                SiteBook::unlockMasterPassword(store); // the current one first: a wrong one changes nothing
            const std::optional<std::string> first = Terminal::readSecret("New master password (empty: none): ");
            if (!first)
                return refuse("no master password given; nothing was changed");
            if (::isatty(STDIN_FILENO) && Terminal::readSecret("The new master password again: ") != first)
                return refuse("the two new master passwords differ; nothing was changed");
            if (holdsLineBreak(*first))
                return refuse("a master password cannot hold a line break");
            SiteBook::setMasterPassword(store, cipher, *first);
            std::fputs(first->empty() ? "kolvane-site: the site book has no master password now: a password kept "
                                        "outside the desktop's secret store is only obscured\n"
                                      : "kolvane-site: the master password is set\n",
                       stderr);
            return 0;
        }
        if (args[0] == QLatin1String("list")) {
            TSettingsStore store(TSettingsStore::defaultPath());
            TDiamond cipher;
            cipher.SetKey(std::string(DiamondConsoleKey));
            for (const QString& name : SiteBook::names(store)) {
                const SiteBook::Record listed = SiteBook::readListed(store, SiteBook::keyName(name));
                const std::string& folder = listed.folder;
                const std::string& via = listed.connectVia;
                std::printf("%s%s%s%s%s\n", printable(name).c_str(), folder.empty() && via.empty() ? "" : "\t",
                            printable(QString::fromUtf8(folder.data(), qsizetype(folder.size()))).c_str(),
                            via.empty() ? "" : "\t", printable(Latin1ToQString(via)).c_str());
            }
            return 0;
        }
        if (args[0] == QLatin1String("via"))
            return applyPath(args[1], QStringToLatin1(args[2]));
        if (args[0] == QLatin1String("export")) {
            TSettingsStore store(TSettingsStore::defaultPath());
            TDiamond cipher;
            cipher.SetKey(std::string(DiamondConsoleKey));
            const std::optional<std::string> passphrase =
                Terminal::readSecret("Passphrase for the passwords (empty: leave the passwords out): ");
            if (!passphrase)
                return refuse("no passphrase given; nothing was written");
            if (!passphrase->empty() && ::isatty(STDIN_FILENO) &&
                Terminal::readSecret("The passphrase again: ") != passphrase)
                return refuse("the two passphrases differ; nothing was written");
            QStringList notes;
            const QByteArray file = BookTransfer::exportBook(store, cipher, {}, *passphrase, &notes);
            // A write that fails is a failure on the way (status 1), with the system's reason; the old file stays.
            BookTransfer::writeFile(args[1], file);
            std::fprintf(stderr, "kolvane-site: %s written to %s%s\n",
                         BookTransfer::siteCount(SiteBook::names(store).size()).toUtf8().constData(),
                         printable(args[1]).c_str(), passphrase->empty() ? ", without their passwords" : "");
            for (const QString& note : notes)
                std::fprintf(stderr, "  %s; it is asked at log-in where the file is imported\n",
                             note.toUtf8().constData());
            return 0;
        }
        if (args[0] == QLatin1String("import")) {
            QFile in(args[1]);
            if (!in.open(QIODevice::ReadOnly))
                return refuse("the file " + args[1].toStdString() +
                              " cannot be read: " + in.errorString().toStdString());
            const QByteArray file = in.readAll();
            std::string passphrase;
            if (BookTransfer::needsPassphrase(file))
                passphrase = Terminal::readSecret("Passphrase of the file (empty: import without the passwords): ")
                                 .value_or(std::string());
            TSettingsStore store(TSettingsStore::defaultPath());
            TDiamond cipher;
            cipher.SetKey(std::string(DiamondConsoleKey));
            const BookTransfer::Report report =
                BookTransfer::importBook(store, cipher, file, passphrase, parser.isSet(QStringLiteral("replace")));
            // The report's names and values are shown already: printed as they are.
            const QStringList lines = BookTransfer::reportLines(report);
            std::fprintf(stderr, "kolvane-site: %s\n", lines.front().toUtf8().constData());
            for (qsizetype i = 1; i < lines.size(); ++i)
                std::fprintf(stderr, "  %s\n", lines[i].toUtf8().constData());
            return 0;
        }
        const std::string key = SiteBook::keyName(args[1]);
        SiteBook::Record site = SiteBook::NewSite();
        site.host = QStringToLatin1(args[2]);
        site.port = QStringToLatin1(args[3]);
        site.login = QStringToLatin1(args[4]);
        const auto security = SiteBook::securityFromWord(parser.value(QStringLiteral("security")).toStdString());
        const auto data = SiteBook::dataModeFromWord(parser.value(QStringLiteral("data")).toStdString());
        if (parser.isSet(QStringLiteral("fingerprint")) &&
            (parser.value(QStringLiteral("fingerprint")).isEmpty() ||
             !SiteBook::validFingerprint(parser.value(QStringLiteral("fingerprint")).toStdString())))
            return refuse("--fingerprint wants a SHA-256 fingerprint: 32 hex pairs joined by colons, AB:CD:...");
        if (!security)
            return refuse("--security wants plain, explicit-if-offered, explicit or implicit");
        if (!data)
            return refuse("--data wants passive, active or passive-else-active");
        site.security = *security;
        site.dataMode = *data;
        site.certificate = parser.value(QStringLiteral("fingerprint")).toUpper().toStdString();
        site.folder = parser.value(QStringLiteral("folder")).toStdString();
        site.reconnect = parser.isSet(QStringLiteral("reconnect"));
        site.connectVia = QStringToLatin1(parser.value(QStringLiteral("via")));
        // The values as the site dialog and the import check them, before a password is asked for; the passwords
        // after they are read.
        if (const std::optional<SiteBook::Problem> problem = SiteBook::check(args[1], site))
            return refused(*problem);
        site.password = readPassword();
        if (site.password.empty())
            return refuse("no password given");
        if (namesUser(site.connectVia)) {
            site.proxyPassword = readProxyPassword();
            if (site.proxyPassword.empty())
                return refuse("no password given for the proxy's user");
        }
        if (const std::optional<SiteBook::Problem> problem = SiteBook::check(args[1], site))
            return refused(*problem);

        TSettingsStore store(TSettingsStore::defaultPath());
        TDiamond cipher;
        cipher.SetKey(std::string(DiamondConsoleKey));
        SiteBook::save(store, cipher, key, site);
        if (parser.isSet(QStringLiteral("last")))
            SettingsLayout::writeLastSite(store, static_cast<int>(SiteBook::names(store).indexOf(args[1])), args[1]);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kolvane-site: %s\n", printable(std::string(e.what())).c_str());
        return 1;
    }
}
