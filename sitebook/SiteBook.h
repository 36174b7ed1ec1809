#pragma once

#include "ftp/NMFtp.h"
#include "platform/ConnectPath.h"
#include "platform/SettingsLayout.h"

#include <QString>
#include <QStringList>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// A key name as the store compares it: the store takes names that differ only in the case of the ASCII letters for
// one key (and folds no other letter), so this is the UTF-8 text with A-Z made a-z. Two names are one site exactly
// when their folded keys are equal.
std::string foldedKey(const std::string& key);

// A site name as it may be shown or printed anywhere: every control character (C0, DEL, C1) as \xHH below 0x80
// and \uHHHH above, every format character (the bidirectional overrides, the zero-width ones), line or paragraph
// separator and lone surrogate as \uHHHH (\UHHHHHHHH beyond the BMP), a backslash doubled. Nothing a name holds can
// move the cursor, hide a character or reorder what is shown, and names outside the BMP stay whole.
QString shownName(const QString& name);

// The site names in the store's order.
QStringList names(TSettingsStore& store);
// Whether the book holds the site, as the store compares names.
bool exists(TSettingsStore& store, const std::string& key);

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
    std::string folder;     // the folder the site is filed in; empty: the top level
    bool reconnect = false; // log in again when the connection drops while idle
    // The path the site's connections take: empty for a direct one, else a proxy's URL without its password
    // (platform/ConnectPath.h), read with parseConnectPath.
    std::string connectVia;
    // The proxy's password in plain text, kept where the site's own would be kept; only a path that names a user
    // has one.
    std::string proxyPassword;
    bool passwordInKeyring = false; // the password is kept in the desktop's secret store, not in the record
    bool passwordSealed = false;    // the password is sealed with the book's master password
    bool passwordAsked = false;     // the book keeps no password: it is asked for at each log-in
    // Why the password, or the proxy's, could not be had from where it is kept (then it reads as empty).
    std::string passwordProblem;
    // The proxy's part of passwordProblem alone, so that a caller can tell that the site's own password was had.
    std::string proxyPasswordProblem;
    std::string boundsNote; // a stored ReplyTimeout outside its bounds: what was read instead, to say once

    // The port as the client takes it: the decimal number, or 21 when the text is none.
    int portNumber() const;
};

// The longest login the site dialog takes (its box holds 10 characters) and the longest host name.
inline constexpr std::size_t LoginLimit = 10;
inline constexpr std::size_t HostLimit = 255;

// The value of a site that is wrong, and why in words for the operator ("the port must be ...").
enum class Field { Name, Host, Port, Login, Password, Certificate, ReplyTimeout, Folder, ConnectVia, ProxyPassword };
struct Problem {
    Field field;
    std::string why;
};

// What is wrong with a name for a new or saved site: empty, a backslash, a control character (NUL among them: the
// secret store and the terminal would cut or obey it) or a lone surrogate (it has no UTF-8 form of its own).
std::optional<Problem> nameProblem(const QString& name);
// The port as every door takes it: 1 to 5 digits and nothing else, 1 to 65535.
bool validPort(std::string_view port);
// A pinned certificate: empty, or a SHA-256 fingerprint, 32 hex pairs joined by colons.
bool validFingerprint(std::string_view fingerprint);
// The one check of a site's values, for the site dialog, kolvane-site add and the import alike: the name, a host
// and a login (at most HostLimit and loginLimit characters; neither CR, LF nor NUL in them or in the password), the
// port, the pin, the reply time-out within its bounds, a folder without control characters, and a connection path
// that parseConnectPath reads, with a proxy's password of at most 255 bytes and neither CR, LF nor NUL. An empty
// password, the site's or the proxy's, is the caller's to judge. None when every value is fine.
std::optional<Problem> check(const QString& name, const Record& site, std::size_t loginLimit = LoginLimit);
// The part of check() for a connection path and its proxy's password, for a door that sets only those.
std::optional<Problem> pathProblem(const std::string& url, const std::string& proxyPassword);

// Puts a site's values into the client for its next log-in: host, port, log-in, password, security, data
// connection, pinned certificate, reply time-out (in milliseconds, held to SettingsLayout::ReplyTimeoutBounds) and
// the connection path with the proxy's password. A path that cannot be read (a hand-edited store) raises the error
// that says why and changes nothing in the client: such a site is reached neither directly nor at all.
void loadInto(TNMFTP& client, const Record& site);

// The connection path of a site, its proxy's password with it; none, with why in words for the operator, for a URL
// that parseConnectPath does not read.
std::optional<ConnectPath> connectPath(const Record& site, std::string* error = nullptr);

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
// A site's host, port, folder and connection path, as a list of the book shows them, read without its passwords:
// nothing is fetched from the secret store and nothing is asked. The other values are the record's defaults.
Record readListed(TSettingsStore& store, const std::string& key);

// Pins a certificate for a site: only the Certificate value is written.
void pinCertificate(TSettingsStore& store, const std::string& key, const std::string& fingerprint);

// Reads a site's record; a missing value reads as the record's default, a password that does not decipher as empty.
Record read(TSettingsStore& store, const TDiamond& cipher, const std::string& key);

// Where a saved site's password is kept, as its record says.
enum class PasswordPlace { None, SecretStore, MasterPassword, Obscured, AskedAtLogIn };
PasswordPlace passwordPlace(TSettingsStore& store, const std::string& key);

// Writes a site's values as one transaction. The password goes to the desktop's secret store when one takes it,
// the record then saying so; otherwise it is kept enciphered in the record, as it always was: a failed write never
// leaves half a site behind. key is a key name from keyName().
void save(TSettingsStore& store, const TDiamond& cipher, const std::string& key, const Record& site);

// Writes many sites as one transaction, all of them or (on an error, or when the process ends half-way) none. A
// site the book holds is left as it is unless replace is set. The result says for each site what became of it.
enum class Saved { Added, Replaced, Kept };
struct Saving {
    std::string key;
    Record site;
};
std::vector<Saved> saveAll(TSettingsStore& store, const TDiamond& cipher, const std::vector<Saving>& sites,
                           bool replace);

// Gives every site filed in folder, or in a folder below it (folders compared whatever their case; empty: the sites
// at the top level), the connection path url and the proxy's password, kept as save() keeps it, as one
// transaction; nothing else of the sites changes. The names of the sites changed, in the book's order.
QStringList setConnectVia(TSettingsStore& store, const TDiamond& cipher, const QString& folder, const std::string& url,
                          const std::string& proxyPassword);
// Whether a site filed in siteFolder is of folder, as setConnectVia takes it.
bool inFolder(const std::string& siteFolder, const QString& folder);

// Deletes a site with everything below its key, and its password in the secret store; a missing site is no error.
void erase(TSettingsStore& store, const std::string& key);

// The book's own id, made at random and kept in the store on first use; its passwords in the secret store are
// kept under it and the site's name, so two books (two settings stores) never reach each other's. Empty for a
// store that has none and may not be written.
std::string bookId(TSettingsStore& store);
// The name of a site's password in the secret store: the book's id, "/" and the site's folded key with every
// control byte, "%" and "/" written %HH, so that no two sites share an entry and nothing is cut on its way there.
std::string secretName(const std::string& bookId, const std::string& key);
// The name of the site's proxy password in the secret store: its own password's name and "/proxy", which no other
// site's name can give, as a site's "/" is written %2F there.
std::string proxySecretName(const std::string& bookId, const std::string& key);

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
