#pragma once

#include <QStringList>
#include <string>

class TSettingsStore;

// The console's settings in the store, spelled once: every key and value name the console, the site dialog and
// kolvane-site use is named here and nowhere else. Under the user's root:
//
//   Drummock                      the program key
//   Drummock\Settings             Height, Width, LastSite, ScrollBack, KeepAlive (decimal text), SessionLog,
//                                 LastSiteName
//   Drummock\Custom Commands      Command0, Command1, ... (the command history, without "SITE ")
//   Drummock\SiTES\<site name>    HostName, Port, LogIn, PassWord, and since TLS came Security, DataConnection,
//                                 Certificate, and since proxies came ConnectVia and the proxy's password (one site
//                                 record; see sitebook/SiteBook.h)
//
// Every value is a string value; numbers are stored as their decimal text.
namespace SettingsLayout {

inline constexpr const char* ProgramKey = "Drummock";
inline constexpr const char* ProgramPath = "\\Drummock";

inline constexpr const char* Settings = "Settings";
inline constexpr const char* Height = "Height";
inline constexpr const char* Width = "Width";
inline constexpr const char* LastSite = "LastSite"; // the last site's position in the sorted list (older consoles)
// The last site by its name, read first where there is one: a site added later shifts the positions of those after
// it. LastSite is still written beside it for the consoles that know only the position.
inline constexpr const char* LastSiteName = "LastSiteName";
// Lines the STATUS, iNFO and FiLE MAiNT boxes keep (within ScrollBackBounds), and seconds between two keep-alive
// NOOPs (within KeepAliveBounds).
inline constexpr const char* ScrollBack = "ScrollBack";
inline constexpr const char* KeepAlive = "KeepAlive";
inline constexpr const char* SessionLog = "SessionLog";   // "1": each log-in's conversation is logged to a file
inline constexpr const char* RunJobs = "RunJobs";         // sites a run on many sites reaches at once
inline constexpr const char* HealthEvery = "HealthEvery"; // minutes between Site Health's checks; 0 for never
// Days the change journal keeps its entries (within JournalDaysBounds; JournalDaysDefault without it).
inline constexpr const char* JournalDays = "JournalDays";
// The site book's own random id (32 hex digits), made on first use: its passwords in the secret store are kept under
// it, so two books never share one.
inline constexpr const char* BookId = "BookId";
// The master password's check, "scrypt:<log2 N>:<r>:<p>:<salt>:<nonce>:<sealed check>" (hex); empty for none.
inline constexpr const char* MasterPassword = "MasterPassword";

inline constexpr const char* CustomCommands = "Custom Commands";
inline constexpr const char* CommandPrefix = "Command";

inline constexpr const char* SitesPath = "\\Drummock\\SiTES";
inline constexpr const char* HostName = "HostName";
inline constexpr const char* Port = "Port";
inline constexpr const char* LogIn = "LogIn";
inline constexpr const char* PassWord = "PassWord";
// How the site is reached. A record without these values (written before they existed) is plain FTP, active mode.
inline constexpr const char* Security = "Security";             // plain | explicit-if-offered | explicit | implicit
inline constexpr const char* DataConnection = "DataConnection"; // active | passive | passive-else-active
inline constexpr const char* Certificate = "Certificate";       // the pinned SHA-256 fingerprint, "AB:CD:..."
// Where the password is: "keyring" (the desktop's secret store; PassWord is then empty), "master" or "ask" (below),
// or in PassWord enciphered.
inline constexpr const char* PassWordIn = "PassWordIn";
// Seconds a reply is waited for; 0 waits for ever (ReplyTimeoutBounds).
inline constexpr const char* ReplyTimeout = "ReplyTimeout";
inline constexpr const char* StayOnline = "StayOnline"; // "1": STAY ONLiNE was on when last left
// The folder of the site book the site is filed in ("Customers/EU"); a record without it is at the top level.
inline constexpr const char* Folder = "Folder";
// "1": the session logs in again when its connection drops while idle; a record without it (or "0") does not.
inline constexpr const char* Reconnect = "Reconnect";
// How the site's connections reach it: empty (or missing) directly, else the URL of a proxy without its password,
// socks5://[user@]host:port or http://[user@]host:port (platform/ConnectPath.h).
inline constexpr const char* ConnectVia = "ConnectVia";
// The proxy's password, kept as the site's own is: ProxyPassWordIn says where ("keyring" or "master" as PassWordIn
// says them; empty: ProxyPassWord holds it enciphered), SealedProxyPassWord holds it sealed with the master password.
inline constexpr const char* ProxyPassWord = "ProxyPassWord";
inline constexpr const char* ProxyPassWordIn = "ProxyPassWordIn";
inline constexpr const char* SealedProxyPassWord = "SealedProxyPassWord";
inline constexpr const char* InKeyring = "keyring";
// PassWordIn "master": the password is SealedPassWord, "aes-256-gcm:<nonce>:<cipher text and tag>" (hex), sealed
// with the key the master password gives; PassWord is then empty.
inline constexpr const char* InMaster = "master";
inline constexpr const char* SealedPassWord = "SealedPassWord";
// PassWordIn "ask": the book keeps no password for the site (PassWord is empty); it is asked for at each log-in.
inline constexpr const char* AskedAtLogIn = "ask";

// The numbers an operator may set by hand, with their bounds. A stored value outside them reads as the nearest
// bound, one that is no number as the default, and the reader says so (a note the window shows once): a hand-edited
// value never overflows a wait's milliseconds nor keeps a box growing without end.
struct Bounds {
    int low;
    int high;
    const char* unit;
    int belowReadsAs; // what a value under low reads as
};
// ReplyTimeout: 0 waits for ever, so a value under it is no time-out the site meant and reads as the default. In
// milliseconds the most is 86,400,000, well inside the client's 32 bits.
inline constexpr int ReplyTimeoutDefault = 30;
inline constexpr Bounds ReplyTimeoutBounds{0, 86400, "seconds", ReplyTimeoutDefault};
inline constexpr Bounds ScrollBackBounds{100, 1000000, "lines", 100};
inline constexpr Bounds KeepAliveBounds{5, 3600, "seconds", 5};
inline constexpr int JournalDaysDefault = 365;
inline constexpr Bounds JournalDaysBounds{1, 36500, "days", JournalDaysDefault};

// A number read within its bounds, and the note that says what was read instead of the stored value (empty when
// the stored value was used as it is, or there was none).
struct BoundedValue {
    int value;
    std::string note;
};
// Reads name of section (relative to the store's current key) within bounds; fallback when there is no such value.
// what names the value in the note ("The setting ScrollBack", "The site home's ReplyTimeout").
BoundedValue readBounded(TSettingsStore& store, const std::string& section, const std::string& name, int fallback,
                         const Bounds& bounds, const std::string& what);

// The main window's own settings, with the defaults a store without them gives.
struct WindowSettings {
    int height = 460;
    int width = 620;
    int lastSite = -1;    // position in the site list, -1 for none
    QString lastSiteName; // the same site by its name; empty for none
    int scrollBack = 10000;
    int keepAlive = 60;
    bool sessionLog = false;
};

// Positions the store on the program key, creating it when create is set; false when it is missing.
bool openProgramKey(TSettingsStore& store, bool create);

// The command history in the store's order (commands with empty text are not stored).
QStringList readCommands(TSettingsStore& store);
// Rewrites the command history whole, as one transaction: a crash half-way never loses the stored commands.
// "Command" + N numbers each command by its position in the list; empty commands are skipped, leaving gaps.
void writeCommands(TSettingsStore& store, const QStringList& commands);

// notes, when given, gets the note of each value read within its bounds (ScrollBack, KeepAlive), to be said once.
WindowSettings readWindow(TSettingsStore& store, QStringList* notes = nullptr);
void writeWindow(TSettingsStore& store, const WindowSettings& window);
// How many sites a run on many sites reaches at once (RunJobs; 8 without it, held to 1..64).
int readRunJobs(TSettingsStore& store);
// Minutes between two checks of the Site Health window while it is open (HealthEvery; 0, never, without it; held to
// 0..1440).
int readHealthEvery(TSettingsStore& store);
void writeHealthEvery(TSettingsStore& store, int minutes);
// Makes this site (its name, and its position in the site list for older consoles) the one selected at the next
// start.
void writeLastSite(TSettingsStore& store, int position, const QString& name);

} // namespace SettingsLayout
