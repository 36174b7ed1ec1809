// kolvane-site: the site book from the command line, for scripts and for setting up a console unattended.
// It reads and writes the same settings store as the console, with the same cipher for the passwords.
//
//   kolvane-site add NAME HOST PORT LOGIN [--last]   the password is read from the first line of standard input;
//                                                    --last makes NAME the site selected at the next start
//   kolvane-site list

#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

int usage()
{
    std::fputs("usage: kolvane-site add NAME HOST PORT LOGIN [--last]   (password on standard input)\n"
               "       kolvane-site list\n",
               stderr);
    return 2;
}

bool allDigits(const std::string& text)
{
    return !text.empty() && text.size() <= 6 && text.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    try {
        TSettingsStore store(TSettingsStore::defaultPath());
        if (args.size() == 1 && args[0] == "list") {
            for (const QString& name : SiteBook::names(store))
                std::printf("%s\n", name.toUtf8().constData());
            return 0;
        }
        if ((args.size() != 5 && args.size() != 6) || args[0] != "add" || (args.size() == 6 && args[5] != "--last"))
            return usage();
        const std::string key = SiteBook::keyName(args[1]);
        SiteBook::Record site{
            args[2].toLatin1().toStdString(), args[3].toLatin1().toStdString(), args[4].toLatin1().toStdString(), {}};
        if (key.empty() || site.host.empty() || site.login.empty() || !allDigits(site.port)) {
            std::fputs("kolvane-site: a site needs a name without \\, a host, a port of 1 to 6 digits and a login\n",
                       stderr);
            return 2;
        }
        std::getline(std::cin, site.password);
        if (!site.password.empty() && site.password.back() == '\r')
            site.password.pop_back();
        if (site.password.empty()) {
            std::fputs("kolvane-site: no password on standard input\n", stderr);
            return 2;
        }
        TDiamond cipher;
        cipher.SetKey(std::string(DiamondConsoleKey));
        SiteBook::save(store, cipher, key, site);
        if (args.size() == 6)
            SettingsLayout::writeLastSite(store, static_cast<int>(SiteBook::names(store).indexOf(args[1])));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kolvane-site: %s\n", e.what());
        return 1;
    }
}
