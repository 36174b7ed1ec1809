// kolvane-site: the site book from the command line, for scripts and for setting up a console unattended. It reads
// and writes the same settings store as the console, with the same cipher for the passwords.
//
//   kolvane-site add NAME HOST PORT LOGIN [--last] [--security WORD] [--data WORD] [--fingerprint SHA256]
//   kolvane-site list
//
// The password is read from the terminal without echo, or from the first line of standard input when that is not a
// terminal.

#include "platform/OemText.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <iostream>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char* kUsage = "usage: kolvane-site add NAME HOST PORT LOGIN [--last] [--security WORD] [--data WORD] "
                               "[--fingerprint SHA256]\n"
                               "       kolvane-site list\n";

int refuse(const std::string& why)
{
    std::fprintf(stderr, "kolvane-site: %s\n", why.c_str());
    return 2;
}

bool allDigits(const std::string& text)
{
    return !text.empty() && text.size() <= 6 && text.find_first_not_of("0123456789") == std::string::npos;
}

// A name as a terminal may show it: control characters (and the escape that starts a terminal's commands) as \xHH.
std::string printable(const QString& name)
{
    std::string out;
    for (const unsigned char c : name.toUtf8()) {
        if (c < 32 || c == 127) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += char(c);
        }
    }
    return out;
}

// The password: typed at the terminal without echo, or the first line of a pipe.
std::string readPassword()
{
    std::string password;
    if (::isatty(STDIN_FILENO)) {
        termios before{};
        const bool quiet = ::tcgetattr(STDIN_FILENO, &before) == 0;
        if (quiet) {
            termios silent = before;
            silent.c_lflag &= ~tcflag_t(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
        }
        std::fputs("Password: ", stderr);
        std::fflush(stderr);
        std::getline(std::cin, password);
        if (quiet)
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
        std::fputs("\n", stderr);
    } else {
        std::getline(std::cin, password);
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return password;
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
        "  list                       prints the site names, one a line"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {"last", "Make NAME the site selected at the console's next start."},
        {"security", "plain, explicit-if-offered, explicit (the default) or implicit.", "WORD", "explicit"},
        {"data", "passive, active or passive-else-active (the default).", "WORD", "passive-else-active"},
        {"fingerprint", "Pin the site's certificate: its SHA-256 fingerprint, AB:CD:...", "SHA256"},
    });
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("add or list"));
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "kolvane-site: %s\n%s", qPrintable(parser.errorText()), kUsage);
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    const QStringList args = parser.positionalArguments();
    try {
        if (args == QStringList{QStringLiteral("list")}) {
            TSettingsStore store(TSettingsStore::defaultPath());
            for (const QString& name : SiteBook::names(store))
                std::printf("%s\n", printable(name).c_str());
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
        if (key.empty() || site.host.empty() || site.login.empty() || !allDigits(site.port))
            return refuse("a site needs a name without \\, a host, a port of 1 to 6 digits and a login");
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
        std::fprintf(stderr, "kolvane-site: %s\n", e.what());
        return 1;
    }
}
