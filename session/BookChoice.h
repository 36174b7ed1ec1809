#pragma once

#include "session/SiteBatch.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class TSettingsStore;

// How an engine-only program chooses sites of the book and reads them, secrets included, without ever asking
// anything where there is no terminal: every site, a folder (and the folders below it, whatever their case), or sites
// by name (whatever their case; a name near one of the book's is refused with the name it was probably meant to be).
namespace BookChoice {

// A choice that cannot be made: a wrong command line (usage), or one that cannot be run (no site matched, the master
// password is wrong or cannot be had).
struct Refused {
    bool usage;
    std::string why;
};

// The book's site names, and each of them by the key the store knows it by: names that differ only in the case of
// A-Z are one site to the store, and names that differ in any other way are two.
class SiteIndex {
public:
    void fill(const QStringList& names);
    const QStringList& names() const { return names_; }
    // The site a word names, as the store compares names.
    std::optional<QString> named(const QString& word) const;

private:
    QStringList names_;
    std::unordered_map<std::string, QString> byKey_;
};
// The site name nearest to a word that names none, when one is near enough to be what was meant.
std::optional<QString> nearestSite(const QString& word, const QStringList& names);

// The chosen sites' names: the book's order for all and a folder, as given otherwise. Raises Refused.
QStringList chosen(TSettingsStore& store, const QStringList& names, bool all, const std::optional<QString>& folder,
                   const QStringList& siteWords);

// How the chosen sites' sealed passwords are had.
struct Unlocking {
    std::optional<QString> masterPasswordFile; // its first line is the master password
    const char* program = "";                  // the name the terminal's asker gives
    bool terminalFree = true;                  // standard input may be asked at (it is not the list of sites)
    bool masked = false;                       // a dry run: sealed passwords are shown masked, never unlocked
};

// The chosen sites with their records, passwords included. A password sealed with the master password is unlocked
// once: with the first line of the master password file when given, else asked at the terminal when there is one;
// without either nothing is asked, and Refused says so.
std::vector<BatchSite> readSites(TSettingsStore& store, const QStringList& chosen, const Unlocking& unlocking);

} // namespace BookChoice
