#pragma once

#include <QString>
#include <QStringList>
#include <string>

class TDiamond;
class TSettingsStore;

// Where the site book lives in the settings store, and how a site's name becomes the name of its key.
namespace SiteBook {
inline constexpr const char* Path = "\\Drummock\\SiTES";

// Positions the store on the site book (creating it when missing), so that a section is a site's name.
TSettingsStore& open(TSettingsStore& store);

// A site name as its key name: the text as UTF-8. A name that holds the store's path separator "\" would reach
// outside its own key, so it has no key name: the result is empty, as it is for the empty name.
std::string keyName(const QString& siteName);

// The site names in the store's order.
QStringList names(TSettingsStore& store);

// One site's record as typed: every value a string, the password in plain text.
struct Record {
    std::string host;
    std::string port;
    std::string login;
    std::string password;
};

// Writes a site's four values, the password enciphered, as one transaction: a failed write never leaves half a
// site behind. key is a key name from keyName().
void save(TSettingsStore& store, const TDiamond& cipher, const std::string& key, const Record& site);
} // namespace SiteBook
