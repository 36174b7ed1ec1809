#pragma once

#include "ftp/NMFtp.h"
#include "platform/SettingsLayout.h"

#include <QString>
#include <QStringList>
#include <functional>
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
    std::string certificate; // the pinned fingerprint, empty for none
    // Seconds a reply is waited for; 0 waits for ever.
    int replyTimeout = SettingsLayout::ReplyTimeoutDefault;
    std::string folder;             // the folder the site is filed in; empty: the top level
    bool reconnect = false;         // log in again when the connection drops while idle
    bool passwordInKeyring = false; // the password is kept in the desktop's secret store, not in the record
    bool passwordSealed = false;    // the password is sealed with the book's master password
    std::string passwordProblem;    // why the password could not be had from there (then it reads as empty)
    std::string boundsNote;         // a stored ReplyTimeout outside its bounds: what was read instead, to say once

    // The port as the client takes it: the decimal number, or 21 when the text is none.
    int portNumber() const;
};

// Puts a site's values into the client for its next log-in: host, port, log-in, password, security, data
// connection, pinned certificate and reply time-out (in milliseconds, held to SettingsLayout::ReplyTimeoutBounds).
void loadInto(TNMFTP& client, const Record& site);

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

// The folder a site is filed in, read without its password: empty for the top level.
std::string folderOf(TSettingsStore& store, const std::string& key);
// A site's host, port and folder, as a list of the book shows them, read without its password: nothing is fetched
// from the secret store and nothing is asked. The other values are the record's defaults.
Record readListed(TSettingsStore& store, const std::string& key);

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

// The book's own id, made at random and kept in the store on first use; its passwords in the secret store are
// kept under it and the site's name, so two books (two settings stores) never reach each other's. Empty for a
// store that has none and may not be written.
std::string bookId(TSettingsStore& store);
// The name of a site's password in the secret store.
std::string secretName(const std::string& bookId, const std::string& key);

// The master password: without a secret store, a book that has one keeps its passwords sealed with it instead of
// merely enciphered. The console and kolvane-site say how it is asked for; it is asked once per run, and only
// when a password sealed with it is read, or one is saved.
bool hasMasterPassword(TSettingsStore& store);
// Asks for the master password: again is set when the last answer was wrong. None: the operator would not say.
using MasterPasswordAsker = std::function<std::optional<std::string>(bool again)>;
void setMasterPasswordAsker(MasterPasswordAsker asker);
// Asks for the master password now, unless this run was told it; raises the error that says why when it is not
// given or wrong.
void unlockMasterPassword(TSettingsStore& store);
// Forgets the master password this run was told (the next use asks again).
void forgetMasterPassword();
// Sets the book's master password (empty: none), resealing every password that is not in the secret store: the
// current master password is asked first when there is one. One transaction; a wrong master password changes
// nothing and raises the error that says so.
void setMasterPassword(TSettingsStore& store, const TDiamond& cipher, const std::string& password);

} // namespace SiteBook
