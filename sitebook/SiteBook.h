#pragma once

#include "ftp/NMFtp.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <string_view>

class TDiamond;
class TSettingsStore;

// The site book in the store: one key per site below Drummock\SiTES, named after the site. A site is read by read()
// and written by save(), and nothing else in the tree spells a site's value names.
namespace SiteBook {

// Positions the store on the site book (creating it when missing), so that a section is a site's name.
TSettingsStore& open(TSettingsStore& store);

// A site name as its key name: the text as UTF-8. A name that holds the store's path separator "\" would reach
// outside its own key, so it has no key name: the result is empty, as it is for the empty name.
std::string keyName(const QString& siteName);

// The site names in the store's order.
QStringList names(TSettingsStore& store);

// One site's record as typed: every value a string, the password in plain text. The defaults are what a record
// without the value reads as; a site made new starts from NewSite() instead.
struct Record {
    std::string host;
    std::string port = "21";
    std::string login;
    std::string password;
    TFtpSecurity security = TFtpSecurity::Plain;
    TDataMode dataMode = TDataMode::Active;
    std::string certificate;        // the pinned fingerprint, empty for none
    int replyTimeout = 30;          // seconds a reply is waited for; 0 waits for ever
    std::string folder;             // the folder the site is filed in; empty: the top level
    bool passwordInKeyring = false; // the password is kept in the desktop's secret store, not in the record
    std::string passwordProblem;    // why the password could not be had from there (then it reads as empty)

    // The port as the client takes it: the decimal number, or 21 when the text is none.
    int portNumber() const;
};

// What a site made new starts with: TLS required, passive mode with active as the fall-back.
Record NewSite();

// The stored words for the security and data-connection settings, as the README lists them.
std::string_view securityWord(TFtpSecurity security);
std::string_view dataModeWord(TDataMode mode);
std::optional<TFtpSecurity> securityFromWord(std::string_view word);
std::optional<TDataMode> dataModeFromWord(std::string_view word);

// Whether STAY ONLiNE was on when the site was last used; kept apart from the record the site dialog edits.
bool stayOnline(TSettingsStore& store, const std::string& key);
void setStayOnline(TSettingsStore& store, const std::string& key, bool on);

// Pins a certificate for a site: only the Certificate value is written.
void pinCertificate(TSettingsStore& store, const std::string& key, const std::string& fingerprint);

// Reads a site's record; a missing value reads as the record's default, a password that does not decipher as empty.
Record read(TSettingsStore& store, const TDiamond& cipher, const std::string& key);

// Writes a site's values as one transaction. The password goes to the desktop's secret store when one takes it,
// the record then saying so; otherwise it is kept enciphered in the record, as it always was: a failed write never
// leaves half a site behind. key is a key name from keyName().
void save(TSettingsStore& store, const TDiamond& cipher, const std::string& key, const Record& site);

// Deletes a site with everything below its key, and its password in the secret store; a missing site is no error.
void erase(TSettingsStore& store, const std::string& key);

} // namespace SiteBook
