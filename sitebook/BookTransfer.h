#pragma once

#include <QByteArray>
#include <QStringList>

#include <string>

class TDiamond;
class TSettingsStore;

// Moving a site book in and out. The export is JSON:
//
//   {"format": "kolvane-sites", "version": 2,
//    "passwords": "scrypt:<log2 N>:<r>:<p>:<salt>:<nonce>:<sealed check>"    (absent: the file holds no passwords)
//    "sites": [{"name": "home", "host": "ftp.example.org", "port": "21", "login": "siteop",
//               "security": "explicit", "data": "passive-else-active", "certificate": "AB:CD:...",
//               "replyTimeout": 30, "folder": "eu/north", "reconnect": false, ("askPassword": true,)
//               ("connectVia": "socks5://op@proxy.example:1080",)
//               "password": "aes-256-gcm:<nonce>:<cipher text and tag>",
//               ("proxyPassword": "aes-256-gcm:<nonce>:<cipher text and tag>")}]}
//
// A password leaves the book only sealed under a passphrase the operator types (scrypt and AES-256-GCM), or not at
// all. In a file with a passphrase every site is sealed, a site without a password too, and the seal's associated
// data is the whole site object but its "password" in a canonical form: a record edited by someone without the
// passphrase (its host, its security, its pin, any value, one added or taken away) no longer opens, and is not
// imported. A site with a connection path has its proxy's password sealed the same way, under its own name, so the
// path is authenticated with the rest of the record. A file of version 1 sealed each password with the site's name
// only; its sites still come in, never their passwords.
//
// Import also reads a FileZilla sitemanager.xml: host, port, user, encryption, transfer mode, folders and its base64
// passwords; sites of one name in different folders come in as "<name> (<folder>)". A site whose password does not
// come in (none given, FileZilla's "Ask for password", a password sealed with FileZilla's own master password) is
// set to have its password asked at each log-in.
namespace BookTransfer {

// What an import did, in words an operator reads. Names in it are shown as SiteBook::shownName shows them.
struct Report {
    int added = 0;
    int replaced = 0;
    QStringList skipped; // "name: why"
    QStringList notes;   // what came in other than it stood in the file
};

// The report as lines: the first says what came in ("1 site added, 0 replaced, 2 skipped"), then "Not imported:"
// and a line per site skipped with why, then the notes. Every door that imports says it with these words.
QStringList reportLines(const Report& report);

// "1 site", "2 sites": a count of sites in words.
QString siteCount(qsizetype count);

// The named sites of the book (all of them when none are named) as an export. An empty passphrase leaves every
// password out. notes, when given, gets a line for each site whose password could not be had (it then asks for its
// password at log-in wherever the file is imported).
QByteArray exportBook(TSettingsStore& store, const TDiamond& cipher, const QStringList& sites,
                      const std::string& passphrase, QStringList* notes = nullptr);

// Writes an export to path: to a new file beside it that then takes its place (mode 0600), so a write that fails
// half-way (a full disk) leaves the old file as it was; a path that is no regular file (a pipe, a terminal) is
// written straight. Raises the error that says why with the system's own reason ("No space left on device").
void writeFile(const QString& path, const QByteArray& data);

// Whether the file holds passwords that only a passphrase opens.
bool needsPassphrase(const QByteArray& file);

// Adds the sites of an export or of a FileZilla sitemanager.xml to the book, as one transaction: all of them or,
// on an error or when the process ends half-way, none. A site whose name the book holds (as the store compares
// names) is left as it is unless replace is set; a second site of one name in the file is not imported. Every site
// is checked as the site dialog and kolvane-site add check one. An export's passwords need its passphrase: a wrong
// one imports nothing and raises the error that says so; an empty one imports the sites without their passwords. A
// file that is neither, damaged, or asking for more work than the console puts into a passphrase raises the error
// that says what is wrong with it, and nothing is imported.
Report importBook(TSettingsStore& store, const TDiamond& cipher, const QByteArray& file, const std::string& passphrase,
                  bool replace);

} // namespace BookTransfer
