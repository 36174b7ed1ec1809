// kolvane-site: the site book from the command line, for scripts and for setting up a console unattended. It reads
// and writes the same settings store as the console, with the same cipher for the passwords.
//
//   kolvane-site add NAME HOST PORT LOGIN [--last] [--security WORD] [--data WORD] [--fingerprint SHA256]
//   kolvane-site list
//   kolvane-site master-password
//   kolvane-site export FILE
//   kolvane-site import FILE [--replace]
//
// Passwords are read from the terminal without echo, or one a line from standard input when that is not a
// terminal. The terminal is given back as it was however the program ends, Ctrl-C included.

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
#include <QSaveFile>
#include <QStringList>

#include <QRegularExpression>

#include <cstdio>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

constexpr const char* kUsage = "usage: kolvane-site add NAME HOST PORT LOGIN [--last] [--security WORD] [--data WORD] "
                               "[--fingerprint SHA256]\n"
                               "       kolvane-site list\n"
                               "       kolvane-site master-password\n"
                               "       kolvane-site export FILE\n"
                               "       kolvane-site import FILE [--replace]\n";

// A text as a terminal may show it: every control character (C0, DEL, C1), format character (the bidirectional
// overrides among them) and line or paragraph separator as \xHH or \uHHHH, a backslash doubled. Nothing a name
// holds can move the cursor, start a terminal's command or reorder what is shown.
std::string printable(const QString& text)
{
    std::string out;
    for (const char32_t c : text.toUcs4()) {
        const QChar::Category kind = QChar::category(c);
        char escaped[16];
        if (c < 0x80 && (c < 32 || c == 127)) {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", unsigned(c));
            out += escaped;
        } else if (kind == QChar::Other_Control || kind == QChar::Other_Format || kind == QChar::Separator_Line ||
                   kind == QChar::Separator_Paragraph) {
            std::snprintf(escaped, sizeof escaped, "\\u%04X", unsigned(c));
            out += escaped;
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += QString::fromUcs4(&c, 1).toStdString();
        }
    }
    return out;
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

// The port: 1 to 65535, digits only.
bool validPort(const std::string& text)
{
    int value = 0;
    return text.size() <= 5 && text.find_first_not_of("0123456789") == std::string::npos &&
           TSettingsStore::ParseDecimal(text, value) && value >= 1 && value <= 65535;
}

// A SHA-256 fingerprint: 32 hex pairs joined by colons.
bool validFingerprint(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){31}$"));
    return form.match(text).hasMatch();
}

// The password: typed at the terminal without echo, or the first line of a pipe.
std::string readPassword()
{
    return Terminal::readSecret("Password: ").value_or(std::string());
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
        "  list                       prints the site names, one a line, each with its folder after a tab\n"
        "  export FILE                writes the book to FILE as JSON; the passwords go sealed under a\n"
        "                             passphrase you type, or not at all when it is empty\n"
        "  import FILE                adds the sites of an export or of a FileZilla sitemanager.xml; a site\n"
        "                             the book holds stays as it is unless --replace is given\n"
        "  master-password            sets the site book's master password (empty: none), which seals the\n"
        "                             passwords that are not in the desktop's secret store\n\n"
        "A book with a master password asks for it (from the terminal, or the next line of standard input)\n"
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
        {"replace", "import: replace the sites of the book that have a name of the file's."},
    });
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("add, list, master-password, export or import"));
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "kolvane-site: %s\n%s", printable(parser.errorText()).c_str(), kUsage);
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    const QStringList args = parser.positionalArguments();
    Terminal::restoreOnSignals();
    SiteBook::setMasterPasswordAsker([](bool again) {
        if (again)
            std::fputs("kolvane-site: that is not the master password\n", stderr);
        return Terminal::readSecret("Master password: ");
    });
    try {
        if (args == QStringList{QStringLiteral("master-password")}) {
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
        if (args == QStringList{QStringLiteral("list")}) {
            TSettingsStore store(TSettingsStore::defaultPath());
            TDiamond cipher;
            cipher.SetKey(std::string(DiamondConsoleKey));
            for (const QString& name : SiteBook::names(store)) {
                const std::string folder = SiteBook::folderOf(store, SiteBook::keyName(name));
                std::printf("%s%s%s\n", printable(name).c_str(), folder.empty() ? "" : "\t",
                            printable(QString::fromUtf8(folder.data(), qsizetype(folder.size()))).c_str());
            }
            return 0;
        }
        if (args.size() == 2 && args[0] == QLatin1String("export")) {
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
            const QByteArray file = BookTransfer::exportBook(store, cipher, {}, *passphrase);
            QSaveFile out(args[1]);
            if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size() ||
                !out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || !out.commit())
                return refuse("the file " + args[1].toStdString() +
                              " cannot be written: " + out.errorString().toStdString());
            std::fprintf(stderr, "kolvane-site: %lld sites written to %s%s\n",
                         static_cast<long long>(SiteBook::names(store).size()), printable(args[1]).c_str(),
                         passphrase->empty() ? ", without their passwords" : "");
            return 0;
        }
        if (args.size() == 2 && args[0] == QLatin1String("import")) {
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
            std::fprintf(stderr, "kolvane-site: %d sites added, %d replaced, %lld skipped\n", report.added,
                         report.replaced, static_cast<long long>(report.skipped.size()));
            for (const QString& line : report.skipped + report.notes)
                std::fprintf(stderr, "  %s\n", printable(line).c_str());
            return 0;
        }
        if (args.size() != 5 || args[0] != QLatin1String("add")) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        const std::string key = SiteBook::keyName(args[1]);
        SiteBook::Record site = SiteBook::NewSite();
        site.host = QStringToLatin1(args[2]);
        site.port = QStringToLatin1(args[3]);
        site.login = QStringToLatin1(args[4]);
        const auto security = SiteBook::securityFromWord(parser.value(QStringLiteral("security")).toStdString());
        const auto data = SiteBook::dataModeFromWord(parser.value(QStringLiteral("data")).toStdString());
        if (key.empty() || site.host.empty() || site.login.empty())
            return refuse("a site needs a name without \\, a host and a login");
        if (!validPort(site.port))
            return refuse("the port must be a number from 1 to 65535, not \"" + site.port + "\"");
        if (parser.isSet(QStringLiteral("fingerprint")) &&
            !validFingerprint(parser.value(QStringLiteral("fingerprint"))))
            return refuse("--fingerprint wants a SHA-256 fingerprint: 32 hex pairs joined by colons, AB:CD:...");
        // What the site dialog cannot show whole is refused here rather than cut there.
        if (site.login.size() > 10)
            return refuse("a login holds at most 10 characters");
        if (!security)
            return refuse("--security wants plain, explicit-if-offered, explicit or implicit");
        if (!data)
            return refuse("--data wants passive, active or passive-else-active");
        site.security = *security;
        site.dataMode = *data;
        site.certificate = parser.value(QStringLiteral("fingerprint")).toUpper().toStdString();
        site.folder = parser.value(QStringLiteral("folder")).toStdString();
        site.reconnect = parser.isSet(QStringLiteral("reconnect"));
        site.password = readPassword();
        if (site.password.empty())
            return refuse("no password given");
        if (holdsLineBreak(site.host) || holdsLineBreak(site.login) || holdsLineBreak(site.password))
            return refuse("a host, login or password cannot hold a line break");

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
