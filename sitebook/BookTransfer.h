#pragma once

#include <QByteArray>
#include <QStringList>

#include <string>

class TDiamond;
class TSettingsStore;

// Moving a site book in and out. The export is JSON:
//
//   {"format": "kolvane-sites", "version": 1,
//    "passwords": "scrypt:<log2 N>:<r>:<p>:<salt>:<nonce>:<sealed check>"    (absent: the file holds no passwords)
//    "sites": [{"name": "home", "host": "ftp.example.org", "port": "21", "login": "siteop",
//               "security": "explicit", "data": "passive-else-active", "certificate": "AB:CD:...",
//               "replyTimeout": 30, "folder": "eu/north", "reconnect": false,
//               "password": "aes-256-gcm:<nonce>:<cipher text and tag>"}]}
//
// A password leaves the book only sealed under a passphrase the operator types (scrypt and AES-256-GCM, each
// password bound to its site's name), or not at all. Import also reads a FileZilla sitemanager.xml: host, port,
// user, encryption, transfer mode, folders and its base64 passwords.
namespace BookTransfer {

// What an import did, in words an operator reads.
struct Report {
    int added = 0;
    int replaced = 0;
    QStringList skipped; // "name: why"
    QStringList notes;   // what came in other than it stood in the file
};

// The named sites of the book (all of them when none are named) as an export. An empty passphrase leaves every
// password out.
QByteArray exportBook(TSettingsStore& store, const TDiamond& cipher, const QStringList& sites,
                      const std::string& passphrase);

// Whether the file holds passwords that only a passphrase opens.
bool needsPassphrase(const QByteArray& file);

// Adds the sites of an export or of a FileZilla sitemanager.xml to the book. A site whose name the book holds is
// left as it is unless replace is set. An export's passwords need its passphrase: a wrong one imports nothing and
// raises the error that says so; an empty one imports the sites without their passwords. A file that is neither,
// or damaged, raises the error that says what is wrong with it, and nothing is imported.
Report importBook(TSettingsStore& store, const TDiamond& cipher, const QByteArray& file, const std::string& passphrase,
                  bool replace);

} // namespace BookTransfer
