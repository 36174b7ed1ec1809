#include "sitebook/SiteBook.h"

#include "platform/OemText.h"
#include "platform/ProxyProtocol.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "sitebook/Diamond.h"
#include "sitebook/Keyring.h"
#include "sitebook/MasterKey.h"

#include <QDir>
#include <QLockFile>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <utility>

namespace Layout = SettingsLayout;

TSettingsStore& SiteBook::open(TSettingsStore& store)
{
    // Always from the root: whatever key the store was left on, a site's values land below SiTES and nowhere else.
    if (!store.OpenKey(Layout::SitesPath, true))
        throw EStoreError("The site book cannot be opened in the settings store " + store.path());
    return store;
}

std::string SiteBook::keyName(const QString& siteName)
{
    if (siteName.contains(QLatin1Char('\\')))
        return std::string();
    return siteName.toUtf8().toStdString();
}

std::string SiteBook::foldedKey(const std::string& key)
{
    std::string folded = key;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return folded;
}

namespace {

// "\\x1B", "\\u202E", "\\U000E0001": a character by its number, upper-case hex.
QString escaped(const char* prefix, char32_t c, int digits)
{
    return QLatin1String(prefix) + QString::number(uint(c), 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

} // namespace

QString SiteBook::shownName(const QString& name)
{
    QString shown;
    shown.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        char32_t c = name[i].unicode();
        // A surrogate pair is one character; a surrogate without its other half is shown for what it is.
        if (name[i].isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(name[i], name[i + 1]);
            ++i;
        }
        const QChar::Category kind = QChar::category(c);
        if (c < 0x80 && (c < 32 || c == 127))
            shown += escaped("\\x", c, 2);
        else if (kind == QChar::Other_Control || kind == QChar::Other_Format || kind == QChar::Separator_Line ||
                 kind == QChar::Separator_Paragraph || kind == QChar::Other_Surrogate)
            shown += c > 0xFFFF ? escaped("\\U", c, 8) : escaped("\\u", c, 4);
        else if (c == '\\')
            shown += QLatin1String("\\\\");
        else
            shown += QString::fromUcs4(&c, 1);
    }
    return shown;
}

QStringList SiteBook::names(TSettingsStore& store)
{
    // The site book is made when missing, as the console opens it at start-up; a store that may not be written
    // lists no sites without one.
    std::vector<std::string> keys;
    if (!store.OpenKey(Layout::SitesPath, !store.readOnly()))
        return {};
    store.GetKeyNames(keys);
    QStringList list;
    for (const std::string& key : keys)
        list << QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()));
    return list;
}

bool SiteBook::exists(TSettingsStore& store, const std::string& key)
{
    return !key.empty() && store.OpenKey(Layout::SitesPath, false) && store.SectionExists(key);
}

std::optional<SiteBook::Problem> SiteBook::nameProblem(const QString& name)
{
    if (name.isEmpty())
        return Problem{Field::Name, "a site needs a name"};
    if (name.contains(QLatin1Char('\\')))
        return Problem{Field::Name, "a site name cannot hold a backslash"};
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        if (c.isHighSurrogate() && i + 1 < name.size() && name[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.isSurrogate())
            return Problem{Field::Name, "a site name cannot hold half of a surrogate pair (it holds " +
                                            shownName(QString(c)).toStdString() + ")"};
        if (c.category() == QChar::Other_Control)
            return Problem{Field::Name, "a site name cannot hold a control character (it holds " +
                                            shownName(QString(c)).toStdString() + ")"};
    }
    return std::nullopt;
}

bool SiteBook::validPort(std::string_view port)
{
    int value = 0;
    return !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string_view::npos &&
           TSettingsStore::ParseDecimal(std::string(port), value) && value >= 1 && value <= 65535;
}

bool SiteBook::validFingerprint(std::string_view fingerprint)
{
    if (fingerprint.empty())
        return true;
    if (fingerprint.size() != 32 * 3 - 1)
        return false;
    for (std::size_t i = 0; i < fingerprint.size(); ++i)
        if (i % 3 == 2 ? fingerprint[i] != ':' : !std::isxdigit(static_cast<unsigned char>(fingerprint[i])))
            return false;
    return true;
}

namespace {

bool holdsLineBreak(const std::string& text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

} // namespace

std::optional<SiteBook::Problem> SiteBook::pathProblem(const std::string& url, const std::string& proxyPassword)
{
    // The reader's sentence begins a problem's words in small letters, as every other problem's do.
    std::string why;
    const std::optional<ConnectPath> path = parseConnectPath(url, &why);
    if (!path) {
        if (!why.empty())
            why[0] = char(std::tolower(static_cast<unsigned char>(why[0])));
        return Problem{Field::ConnectVia, why};
    }
    if (path->kind == ProxyKind::Http && path->user.find(':') != std::string::npos)
        return Problem{Field::ConnectVia, "an HTTP proxy's user name cannot hold a colon, which Basic authentication "
                                          "cannot carry"};
    if (proxyPassword.size() > MaxProxyCredential)
        return Problem{Field::ProxyPassword, "a proxy's password holds at most 255 bytes"};
    if (holdsLineBreak(proxyPassword))
        return Problem{Field::ProxyPassword, "a proxy's password cannot hold a line break or NUL"};
    return std::nullopt;
}

std::optional<SiteBook::Problem> SiteBook::check(const QString& name, const Record& site, std::size_t loginLimit)
{
    if (std::optional<Problem> problem = nameProblem(name))
        return problem;
    if (site.host.empty())
        return Problem{Field::Host, "a site needs a host"};
    if (site.host.size() > HostLimit)
        return Problem{Field::Host, "a host name holds at most " + std::to_string(HostLimit) + " characters"};
    if (holdsLineBreak(site.host))
        return Problem{Field::Host, "a host cannot hold a line break or NUL"};
    if (!validPort(site.port))
        return Problem{Field::Port, "the port must be a number from 1 to 65535, not \"" +
                                        shownName(Latin1ToQString(site.port)).toStdString() + "\""};
    if (site.login.empty())
        return Problem{Field::Login, "a site needs a login"};
    if (site.login.size() > loginLimit)
        return Problem{Field::Login, "a login holds at most " + std::to_string(loginLimit) + " characters"};
    if (holdsLineBreak(site.login))
        return Problem{Field::Login, "a login cannot hold a line break or NUL"};
    if (holdsLineBreak(site.password))
        return Problem{Field::Password, "a password cannot hold a line break or NUL"};
    if (!validFingerprint(site.certificate))
        return Problem{
            Field::Certificate,
            "the pinned certificate must be a SHA-256 fingerprint, 32 hex pairs joined by colons (AB:CD:...)"};
    const Layout::Bounds& bounds = Layout::ReplyTimeoutBounds;
    if (site.replyTimeout < bounds.low || site.replyTimeout > bounds.high)
        return Problem{Field::ReplyTimeout, "the reply time-out is " + std::to_string(bounds.low) + " to " +
                                                std::to_string(bounds.high) + " seconds, not " +
                                                std::to_string(site.replyTimeout)};
    if (std::any_of(site.folder.begin(), site.folder.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; }))
        return Problem{Field::Folder, "a folder cannot hold a control character"};
    return pathProblem(site.connectVia, site.proxyPassword);
}

int SiteBook::Record::portNumber() const
{
    // As the store reads a decimal value, else the default.
    int value = 0;
    return TSettingsStore::ParseDecimal(port, value) ? value : 21;
}

namespace {

constexpr std::pair<TFtpSecurity, std::string_view> kSecurityWords[] = {
    {TFtpSecurity::Plain, "plain"},
    {TFtpSecurity::ExplicitIfOffered, "explicit-if-offered"},
    {TFtpSecurity::ExplicitRequired, "explicit"},
    {TFtpSecurity::Implicit, "implicit"},
};
constexpr std::pair<TDataMode, std::string_view> kDataModeWords[] = {
    {TDataMode::Active, "active"},
    {TDataMode::Passive, "passive"},
    {TDataMode::PassiveElseActive, "passive-else-active"},
};

} // namespace

SiteBook::Record SiteBook::NewSite()
{
    Record site;
    site.security = TFtpSecurity::ExplicitRequired;
    site.dataMode = TDataMode::PassiveElseActive;
    return site;
}

std::string_view SiteBook::securityWord(TFtpSecurity security)
{
    for (const auto& [value, word] : kSecurityWords)
        if (value == security)
            return word;
    return {};
}

std::string_view SiteBook::dataModeWord(TDataMode mode)
{
    for (const auto& [value, word] : kDataModeWords)
        if (value == mode)
            return word;
    return {};
}

std::optional<TFtpSecurity> SiteBook::securityFromWord(std::string_view word)
{
    for (const auto& [value, known] : kSecurityWords)
        if (known == word)
            return value;
    return std::nullopt;
}

std::optional<TDataMode> SiteBook::dataModeFromWord(std::string_view word)
{
    for (const auto& [value, known] : kDataModeWords)
        if (known == word)
            return value;
    return std::nullopt;
}

namespace {

// What this run has been told of the master password: the book's check it was made for, and the key it gave.
struct MasterState {
    SiteBook::MasterPasswordAsker asker;
    std::string check;
    std::optional<MasterKey::Key> key;
};

MasterState& master()
{
    static MasterState state;
    return state;
}

std::string masterCheck(TSettingsStore& store)
{
    return Layout::openProgramKey(store, false) ? store.ReadString(Layout::Settings, Layout::MasterPassword, "")
                                                : std::string();
}

// The key of the book's master password: the one this run was told, or asked for now (three tries). The error
// says why there is none; nothing is written either way.
MasterKey::Key masterKey(TSettingsStore& store)
{
    const std::string check = masterCheck(store);
    if (check.empty())
        throw EStoreError("The site book has no master password");
    MasterState& m = master();
    if (m.key && m.check == check)
        return *m.key;
    if (const std::optional<std::string> cost = MasterKey::costProblem(check))
        throw EStoreError("The site book's master password cannot be checked: " + *cost);
    if (!m.asker)
        throw EStoreError("The site book's master password is needed, and there is nobody to ask for it");
    for (int tries = 0; tries < 3; ++tries) {
        const std::optional<std::string> given = m.asker(tries > 0);
        if (!given)
            throw EStoreError("The site book's master password was not given");
        if (std::optional<MasterKey::Key> key = MasterKey::unlock(check, *given)) {
            m.check = check;
            m.key = *key;
            return *key;
        }
    }
    throw EStoreError("The master password is wrong");
}

// Every console and kolvane-site of this user takes this lock while a password moves from its old place in the
// secret store (under the site's name alone) to a book's own name for it.
QString moveLockPath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return QDir(folder).filePath(QStringLiteral("kolvane-secrets.lock"));
}

// The names an earlier console kept a site's password under: the book's id and the site's name as it was typed,
// and before books had ids the site's name alone. A name with a control byte was cut short on its way there, and
// its entry may be another site's: it has none. Nor is a name with "%" looked for after the book's id: "a%2F" as
// typed is the name of the site "a/" now.
std::vector<std::string> oldSecretNames(const std::string& id, const std::string& key)
{
    if (std::any_of(key.begin(), key.end(), [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; }))
        return {};
    std::vector<std::string> names;
    if (!id.empty() && key.find('%') == std::string::npos && id + "/" + key != SiteBook::secretName(id, key))
        names.push_back(id + "/" + key);
    names.push_back(key);
    return names;
}

// A site's password from the secret store: under the book's own name for it, or under a name an earlier console
// kept it under. Such an old entry is taken over by the first book that asks for it, whose record says its password
// is there: under the shared lock it is copied under that book's name and removed from the old one, so a second
// book asking after it finds nothing to claim and says so.
std::optional<std::string> fetchSecret(TSettingsStore& store, const std::string& key, QString* why)
{
    const std::string id = SiteBook::bookId(store);
    if (!id.empty())
        if (std::optional<std::string> kept = Keyring::fetch(SiteBook::secretName(id, key), why))
            return kept;
    if (!Keyring::reachable())
        return std::nullopt;
    QLockFile lock(moveLockPath());
    if (!lock.tryLock(10000)) {
        *why = QStringLiteral("another console holds the secret store's lock %1").arg(moveLockPath());
        return std::nullopt;
    }
    // Another console on this very book may have moved it while this one waited for the lock.
    if (!id.empty())
        if (std::optional<std::string> kept = Keyring::fetch(SiteBook::secretName(id, key)))
            return kept;
    QString oldWhy;
    for (const std::string& old : oldSecretNames(id, key)) {
        std::optional<std::string> password = Keyring::fetch(old, &oldWhy);
        if (!password)
            continue;
        if (!id.empty() && Keyring::keep(SiteBook::secretName(id, key), *password))
            Keyring::forget(old);
        return password;
    }
    *why = QStringLiteral("it is not there under this site book's name (%1), nor under the site's name alone, "
                          "where an earlier console kept it (another site book may have taken it over): type it "
                          "again in the site dialog and save the site")
               .arg(why->isEmpty() ? oldWhy : *why);
    return std::nullopt;
}

// Whether a connection path's URL names a user, who is then given a password.
bool namesProxyUser(const std::string& url)
{
    const std::optional<ConnectPath> path = parseConnectPath(url);
    return path && !path->user.empty();
}

// What a proxy's password is sealed for: the site's key and a part no key name can hold, so that neither the site's
// own sealed password nor another site's stands in for it.
std::string proxyContext(const std::string& key)
{
    return key + "\\" + Layout::ConnectVia;
}

// The proxy's password from where the record says it is (the record's own value was read already): the problem
// when it cannot be had, else empty. A path without a user has no password, whatever the record holds.
std::string openProxyPassword(TSettingsStore& store, const std::string& key, const std::string& in,
                              const std::string& sealed, SiteBook::Record& site)
{
    if (!namesProxyUser(site.connectVia)) {
        site.proxyPassword.clear();
        return std::string();
    }
    if (in == Layout::InKeyring) {
        site.proxyPassword.clear();
        QString why = QStringLiteral("the site book has no id");
        const std::string id = SiteBook::bookId(store);
        if (const std::optional<std::string> kept =
                id.empty() ? std::nullopt : Keyring::fetch(SiteBook::proxySecretName(id, key), &why))
            site.proxyPassword = *kept;
        else
            return "The password of the site " + key +
                   "'s proxy is kept in the desktop's secret store, which did not give it: " + why.toStdString();
    } else if (in == Layout::InMaster) {
        site.proxyPassword.clear();
        try {
            if (const std::optional<std::string> opened = MasterKey::open(masterKey(store), sealed, proxyContext(key)))
                site.proxyPassword = *opened;
            else
                return "The password of the site " + key +
                       "'s proxy does not open with the master password: its stored value is damaged";
        } catch (const std::exception& e) {
            return "The password of the site " + key +
                   "'s proxy is sealed with the site book's master password: " + std::string(e.what());
        }
    }
    return std::string();
}

} // namespace

std::string SiteBook::bookId(TSettingsStore& store)
{
    auto stored = [&store] {
        return Layout::openProgramKey(store, false) ? store.ReadString(Layout::Settings, Layout::BookId, "")
                                                    : std::string();
    };
    std::string id = stored();
    if (!id.empty() || store.readOnly())
        return id;
    // Read again inside the write lock: two consoles starting on one new store make one id between them.
    store.transaction([&] {
        id = stored();
        if (!id.empty())
            return;
        for (int i = 0; i < 4; ++i)
            id +=
                QStringLiteral("%1").arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0')).toStdString();
        if (!Layout::openProgramKey(store, true))
            throw EStoreError("The program key cannot be created in the settings store " + store.path());
        store.WriteString(Layout::Settings, Layout::BookId, id);
    });
    return id;
}

std::string SiteBook::proxySecretName(const std::string& bookId, const std::string& key)
{
    return secretName(bookId, key) + "/proxy";
}

std::string SiteBook::secretName(const std::string& bookId, const std::string& key)
{
    // The secret store takes its names as C strings: a NUL would end one early, and "home\0x" would name home's
    // entry. The folded key makes "Home" and "home", one site in the store, one entry here too; "/" is written
    // %2F as well, so that a site's other secrets can be named after a further "/" without meeting another site's.
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string name = bookId + "/";
    for (const char c : foldedKey(key)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32 || byte == 127 || c == '%' || c == '/') {
            name += '%';
            name += digits[byte >> 4];
            name += digits[byte & 15];
        } else {
            name += c;
        }
    }
    return name;
}

bool SiteBook::hasMasterPassword(TSettingsStore& store)
{
    return !masterCheck(store).empty();
}

void SiteBook::setMasterPasswordAsker(MasterPasswordAsker asker)
{
    master().asker = std::move(asker);
}

void SiteBook::unlockMasterPassword(TSettingsStore& store)
{
    masterKey(store);
}

void SiteBook::forgetMasterPassword()
{
    master().check.clear();
    master().key.reset();
}

std::optional<ConnectPath> SiteBook::connectPath(const Record& site, std::string* error)
{
    std::optional<ConnectPath> path = parseConnectPath(site.connectVia, error);
    if (path && !path->user.empty())
        path->password = site.proxyPassword;
    return path;
}

void SiteBook::loadInto(TNMFTP& client, const Record& site)
{
    // A path that cannot be read is never taken for the direct one: the client is left as it was, and the log-in
    // that loads the site ends here, before anything is sent.
    std::string why;
    const std::optional<ConnectPath> path = connectPath(site, &why);
    if (!path)
        throw Exception(why + " (ConnectVia \"" + shownBytes(site.connectVia, 80) +
                        "\"): nothing is sent to the site until its connection path is set again in SiTES");
    client.Via = *path;
    client.Host = site.host;
    client.Port = site.portNumber();
    client.UserID = site.login;
    client.Password = site.password;
    client.Security = site.security;
    client.DataMode = site.dataMode;
    client.PinnedFingerprint = site.certificate;
    // In milliseconds after the bounds: a time-out that the dialog or a caller set beyond them waits the most there
    // is, never a wrapped-around few milliseconds or a negative for ever.
    const Layout::Bounds& bounds = Layout::ReplyTimeoutBounds;
    const std::int64_t seconds =
        site.replyTimeout < bounds.low ? bounds.belowReadsAs : std::min(site.replyTimeout, bounds.high);
    client.ReplyTimeout = std::int32_t(seconds * 1000);
}

SiteBook::Record SiteBook::read(TSettingsStore& store, const TDiamond& cipher, const std::string& key)
{
    Record site;
    if (!store.OpenKey(Layout::SitesPath, false))
        return site;
    site.host = store.ReadString(key, Layout::HostName, site.host);
    site.port = store.ReadString(key, Layout::Port, site.port);
    site.login = store.ReadString(key, Layout::LogIn, site.login);
    site.password = cipher.DecipherString(store.ReadString(key, Layout::PassWord, ""));
    const std::string passwordIn = store.ReadString(key, Layout::PassWordIn, "");
    site.passwordInKeyring = passwordIn == Layout::InKeyring;
    site.passwordSealed = passwordIn == Layout::InMaster;
    site.passwordAsked = passwordIn == Layout::AskedAtLogIn;
    const std::string sealed = site.passwordSealed ? store.ReadString(key, Layout::SealedPassWord, "") : "";
    // A value this console does not know (a newer console's, a hand edit) never means less protection than asked
    // for: it reads as TLS required.
    if (store.ValueExists(key, Layout::Security))
        site.security =
            securityFromWord(store.ReadString(key, Layout::Security, "")).value_or(TFtpSecurity::ExplicitRequired);
    if (store.ValueExists(key, Layout::DataConnection))
        site.dataMode =
            dataModeFromWord(store.ReadString(key, Layout::DataConnection, "")).value_or(TDataMode::PassiveElseActive);
    site.certificate = store.ReadString(key, Layout::Certificate, "");
    site.folder = store.ReadString(key, Layout::Folder, "");
    site.reconnect = store.ReadString(key, Layout::Reconnect, "") == "1";
    site.connectVia = store.ReadString(key, Layout::ConnectVia, "");
    const std::string proxyIn = store.ReadString(key, Layout::ProxyPassWordIn, "");
    site.proxyPassword = cipher.DecipherString(store.ReadString(key, Layout::ProxyPassWord, ""));
    const std::string sealedProxy =
        proxyIn == Layout::InMaster ? store.ReadString(key, Layout::SealedProxyPassWord, "") : std::string();
    const Layout::BoundedValue timeout =
        Layout::readBounded(store, key, Layout::ReplyTimeout, site.replyTimeout, Layout::ReplyTimeoutBounds,
                            "The site " + key + "'s ReplyTimeout");
    site.replyTimeout = timeout.value;
    site.boundsNote = timeout.note;

    // The password from where the record says it is; the store may be positioned elsewhere afterwards.
    if (site.passwordInKeyring) {
        QString why;
        if (const std::optional<std::string> kept = fetchSecret(store, key, &why))
            site.password = *kept;
        else
            site.passwordProblem =
                "The password of the site " + key +
                " is kept in the desktop's secret store, which did not give it: " + why.toStdString();
    } else if (site.passwordAsked) {
        // Read as a password that cannot be had: whoever logs in asks for it, and a run without anyone to ask fails
        // this site before connecting.
        site.password.clear();
        site.passwordProblem = "The book keeps no password for the site " + key + ": it is asked at each log-in";
    } else if (site.passwordSealed) {
        site.password.clear();
        try {
            if (const std::optional<std::string> opened = MasterKey::open(masterKey(store), sealed, key))
                site.password = *opened;
            else
                site.passwordProblem = "The password of the site " + key +
                                       " does not open with the master password: its stored value is damaged";
        } catch (const std::exception& e) {
            site.passwordProblem = "The password of the site " + key +
                                   " is sealed with the site book's master password: " + std::string(e.what());
        }
    }
    site.proxyPasswordProblem = openProxyPassword(store, key, proxyIn, sealedProxy, site);
    if (!site.proxyPasswordProblem.empty())
        site.passwordProblem += (site.passwordProblem.empty() ? "" : "; ") + site.proxyPasswordProblem;
    store.OpenKey(Layout::SitesPath, false);
    return site;
}

namespace {

// Where a site's password goes, settled before its record is written: the secret store has it already, or it is
// sealed with the master password, or (neither) it is enciphered into the record.
// The proxy's password goes the same way, on its own: a path without a user keeps none.
struct Keeping {
    bool inKeyring = false;
    std::string sealed;
    bool proxyInKeyring = false;
    std::string proxySealed;
};

void keepProxyPassword(TSettingsStore& store, const std::string& id, const std::string& key, const std::string& url,
                       const std::string& password, Keeping& keeping)
{
    if (!namesProxyUser(url) || password.empty())
        return;
    keeping.proxyInKeyring = !id.empty() && Keyring::keep(SiteBook::proxySecretName(id, key), password);
    if (!keeping.proxyInKeyring && SiteBook::hasMasterPassword(store))
        keeping.proxySealed = MasterKey::seal(masterKey(store), password, proxyContext(key));
}

Keeping keepPassword(TSettingsStore& store, const std::string& id, const std::string& key, const SiteBook::Record& site)
{
    Keeping keeping;
    if (!site.passwordAsked) {
        keeping.inKeyring = !id.empty() && Keyring::keep(SiteBook::secretName(id, key), site.password);
        // Without a secret store, a book with a master password seals the password with it; the master password
        // not given (or wrong) saves nothing.
        if (!keeping.inKeyring && SiteBook::hasMasterPassword(store))
            keeping.sealed = MasterKey::seal(masterKey(store), site.password, key);
    }
    keepProxyPassword(store, id, key, site.connectVia, site.proxyPassword, keeping);
    return keeping;
}

// Writes a site's connection path as parseConnectPath gives it back, and its proxy's password where keeping put
// it; the caller holds the transaction. A record that never had a path gets no values for one.
void writeConnectVia(TSettingsStore& store, const TDiamond& cipher, const std::string& key, const std::string& url,
                     const std::string& password, const Keeping& keeping)
{
    const std::optional<ConnectPath> path = parseConnectPath(url);
    const auto write = [&](const char* name, const std::string& value) {
        if (!value.empty() || store.ValueExists(key, name))
            store.WriteString(key, name, value);
    };
    write(Layout::ConnectVia, path ? path->url() : url);
    const bool kept = path && !path->user.empty() && !password.empty();
    const bool enciphered = kept && !keeping.proxyInKeyring && keeping.proxySealed.empty();
    write(Layout::ProxyPassWord, enciphered ? cipher.EncipherString(password) : std::string());
    write(Layout::ProxyPassWordIn, keeping.proxyInKeyring        ? Layout::InKeyring
                                   : keeping.proxySealed.empty() ? ""
                                                                 : Layout::InMaster);
    write(Layout::SealedProxyPassWord, keeping.proxySealed);
}

// Writes a site's values; the caller holds the transaction and has the store on the site book.
void writeSite(TSettingsStore& store, const TDiamond& cipher, const std::string& key, const SiteBook::Record& site,
               const Keeping& keeping)
{
    const bool enciphered = !site.passwordAsked && !keeping.inKeyring && keeping.sealed.empty();
    store.WriteString(key, Layout::HostName, site.host);
    store.WriteString(key, Layout::Port, site.port);
    store.WriteString(key, Layout::LogIn, site.login);
    store.WriteString(key, Layout::PassWord, enciphered ? cipher.EncipherString(site.password) : std::string());
    store.WriteString(key, Layout::PassWordIn,
                      site.passwordAsked  ? Layout::AskedAtLogIn
                      : keeping.inKeyring ? Layout::InKeyring
                                          : (keeping.sealed.empty() ? "" : Layout::InMaster));
    if (!keeping.sealed.empty() || store.ValueExists(key, Layout::SealedPassWord))
        store.WriteString(key, Layout::SealedPassWord, keeping.sealed);
    store.WriteString(key, Layout::Security, std::string(SiteBook::securityWord(site.security)));
    store.WriteString(key, Layout::DataConnection, std::string(SiteBook::dataModeWord(site.dataMode)));
    store.WriteString(key, Layout::Certificate, site.certificate); // empty: nothing pinned
    store.WriteInteger(key, Layout::ReplyTimeout, site.replyTimeout);
    store.WriteString(key, Layout::Folder, site.folder);
    store.WriteString(key, Layout::Reconnect, site.reconnect ? "1" : "0");
    writeConnectVia(store, cipher, key, site.connectVia, site.proxyPassword, keeping);
}

// A site's entries in the secret store other than the one its record now names: its own when the book no longer
// keeps the password there, and the names an earlier console used.
void forgetOtherSecrets(const std::string& id, const std::string& key, const Keeping& keeping)
{
    if (id.empty() || !Keyring::reachable())
        return;
    if (!keeping.inKeyring)
        Keyring::forget(SiteBook::secretName(id, key));
    if (!keeping.proxyInKeyring)
        Keyring::forget(SiteBook::proxySecretName(id, key));
    const std::vector<std::string> old = oldSecretNames(id, key);
    if (old.size() > 1) // the first is this book's own old name; the last, the site's name alone, may be another's
        Keyring::forget(old.front());
}

// What the secret store held for a site before a save wrote its passwords there: a save whose records cannot be
// written puts it back, so that the record left as it was still finds the password it was saved with.
struct SecretsBefore {
    std::optional<std::string> password;
    std::optional<std::string> proxyPassword;
};

SecretsBefore secretsBefore(const std::string& id, const std::string& key)
{
    if (id.empty() || !Keyring::reachable())
        return {};
    return {Keyring::fetch(SiteBook::secretName(id, key)), Keyring::fetch(SiteBook::proxySecretName(id, key))};
}

void putBack(const std::string& id, const std::string& key, const Keeping& keeping, const SecretsBefore& before)
{
    const auto restore = [](const std::string& name, const std::optional<std::string>& value) {
        if (value)
            Keyring::keep(name, *value);
        else
            Keyring::forget(name);
    };
    if (keeping.inKeyring)
        restore(SiteBook::secretName(id, key), before.password);
    if (keeping.proxyInKeyring)
        restore(SiteBook::proxySecretName(id, key), before.proxyPassword);
}

void refuseControlBytes(const std::string& key)
{
    if (std::any_of(key.begin(), key.end(), [](char c) { return static_cast<unsigned char>(c) < 32 || c == 127; }))
        throw EStoreError("A site name cannot hold a control character: nothing was saved");
}

} // namespace

void SiteBook::save(TSettingsStore& store, const TDiamond& cipher, const std::string& key, const Record& site)
{
    refuseControlBytes(key);
    const std::string id = bookId(store);
    const SecretsBefore before = secretsBefore(id, key);
    const Keeping keeping = keepPassword(store, id, key, site);
    try {
        open(store).transaction([&] { writeSite(store, cipher, key, site, keeping); });
    } catch (...) {
        putBack(id, key, keeping, before);
        throw;
    }
    forgetOtherSecrets(id, key, keeping);
}

std::vector<SiteBook::Saved> SiteBook::saveAll(TSettingsStore& store, const TDiamond& cipher,
                                               const std::vector<Saving>& sites, bool replace)
{
    for (const Saving& saving : sites)
        refuseControlBytes(saving.key);
    const std::string id = bookId(store);
    // Which sites are to be written is settled first, so that a site left as it is never has its password touched
    // in the secret store; then the passwords go where they are kept, and the records follow in one transaction.
    std::vector<Saved> outcome(sites.size(), Saved::Kept);
    open(store);
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const bool exists = store.SectionExists(sites[i].key);
        if (!exists || replace)
            outcome[i] = exists ? Saved::Replaced : Saved::Added;
    }
    std::vector<Keeping> keeping(sites.size());
    std::vector<SecretsBefore> before(sites.size());
    for (std::size_t i = 0; i < sites.size(); ++i) {
        if (outcome[i] == Saved::Kept)
            continue;
        if (outcome[i] == Saved::Replaced)
            before[i] = secretsBefore(id, sites[i].key);
        keeping[i] = keepPassword(store, id, sites[i].key, sites[i].site);
    }
    try {
        open(store).transaction([&] {
            for (std::size_t i = 0; i < sites.size(); ++i) {
                if (outcome[i] == Saved::Kept)
                    continue;
                // Another console may have added the site meanwhile.
                if (outcome[i] == Saved::Added && store.SectionExists(sites[i].key))
                    outcome[i] = replace ? Saved::Replaced : Saved::Kept;
                if (outcome[i] != Saved::Kept)
                    writeSite(store, cipher, sites[i].key, sites[i].site, keeping[i]);
            }
        });
    } catch (...) {
        // Nothing was written: the secret store gets back what it held for each site (nothing, for a new one).
        for (std::size_t i = 0; i < sites.size(); ++i)
            if (outcome[i] != Saved::Kept)
                putBack(id, sites[i].key, keeping[i], before[i]);
        throw;
    }
    for (std::size_t i = 0; i < sites.size(); ++i)
        if (outcome[i] != Saved::Kept)
            forgetOtherSecrets(id, sites[i].key, keeping[i]);
    return outcome;
}

SiteBook::PasswordPlace SiteBook::passwordPlace(TSettingsStore& store, const std::string& key)
{
    if (key.empty() || !store.OpenKey(Layout::SitesPath, false) || !store.SectionExists(key))
        return PasswordPlace::None;
    const std::string in = store.ReadString(key, Layout::PassWordIn, "");
    if (in == Layout::InKeyring)
        return PasswordPlace::SecretStore;
    if (in == Layout::InMaster)
        return PasswordPlace::MasterPassword;
    if (in == Layout::AskedAtLogIn)
        return PasswordPlace::AskedAtLogIn;
    return store.ReadString(key, Layout::PassWord, "").empty() ? PasswordPlace::None : PasswordPlace::Obscured;
}

namespace {

// A password of a site's record with the values that say where it is: the site's own, or its proxy's.
struct SecretValues {
    const char* value;
    const char* in;
    const char* sealed;
    bool proxy;
};
constexpr SecretValues OwnSecret{Layout::PassWord, Layout::PassWordIn, Layout::SealedPassWord, false};
constexpr SecretValues ProxySecret{Layout::ProxyPassWord, Layout::ProxyPassWordIn, Layout::SealedProxyPassWord, true};

std::string sealContext(const SecretValues& secret, const std::string& key)
{
    return secret.proxy ? proxyContext(key) : key;
}

// A password the record keeps itself (obscured, or sealed with the current master password), in plain text; none
// for one it does not keep: in the secret store, asked at each log-in, or a proxy's where the path names no user.
std::optional<std::string> keptInRecord(TSettingsStore& store, const TDiamond& cipher, const std::string& key,
                                        const SecretValues& secret)
{
    SiteBook::open(store);
    const std::string in = store.ReadString(key, secret.in, "");
    if (in == Layout::InKeyring || in == Layout::AskedAtLogIn)
        return std::nullopt;
    if (secret.proxy && !namesProxyUser(store.ReadString(key, Layout::ConnectVia, "")))
        return std::nullopt;
    if (in != Layout::InMaster)
        return cipher.DecipherString(store.ReadString(key, secret.value, ""));
    const std::string sealed = store.ReadString(key, secret.sealed, "");
    const std::optional<std::string> opened = MasterKey::open(masterKey(store), sealed, sealContext(secret, key));
    if (!opened)
        throw EStoreError(std::string(secret.proxy ? "The proxy's password" : "The password") + " of the site " + key +
                          " does not open with the master password: its stored value is damaged; the master "
                          "password was not changed");
    return opened;
}

struct Resealing {
    std::string site;
    const SecretValues* secret;
    std::string plain;
};

} // namespace

void SiteBook::setMasterPassword(TSettingsStore& store, const TDiamond& cipher, const std::string& password)
{
    if (hasMasterPassword(store))
        masterKey(store); // the current one first: a wrong one ends here, nothing changed
    // Every password not in the secret store, the proxies' too, in plain text for the moment it takes to seal it
    // anew. A site whose password is asked at each log-in has none to seal, and keeps asking.
    std::vector<Resealing> passwords;
    for (const QString& name : names(store)) {
        const std::string site = keyName(name);
        if (site.empty())
            continue;
        for (const SecretValues* secret : {&OwnSecret, &ProxySecret})
            if (std::optional<std::string> plain = keptInRecord(store, cipher, site, *secret))
                passwords.push_back({site, secret, std::move(*plain)});
    }
    MasterKey::Key key;
    const std::string check = password.empty() ? std::string() : MasterKey::makeCheck(password, key);
    if (!Layout::openProgramKey(store, true))
        throw EStoreError("The program key cannot be created in the settings store " + store.path());
    store.transaction([&] {
        Layout::openProgramKey(store, false);
        store.WriteString(Layout::Settings, Layout::MasterPassword, check);
        open(store);
        for (const auto& [site, secret, plain] : passwords) {
            const std::string sealed =
                check.empty() ? std::string() : MasterKey::seal(key, plain, sealContext(*secret, site));
            store.WriteString(site, secret->value, check.empty() ? cipher.EncipherString(plain) : std::string());
            store.WriteString(site, secret->in, check.empty() ? "" : Layout::InMaster);
            if (!sealed.empty() || store.ValueExists(site, secret->sealed))
                store.WriteString(site, secret->sealed, sealed);
        }
    });
    forgetMasterPassword();
    if (!check.empty()) {
        master().check = check;
        master().key = key;
    }
}

bool SiteBook::inFolder(const std::string& siteFolder, const QString& folder)
{
    const QString site = QString::fromUtf8(siteFolder.data(), qsizetype(siteFolder.size()));
    const QString wanted = folder.endsWith(QLatin1Char('/')) ? folder.chopped(1) : folder;
    return site.compare(wanted, Qt::CaseInsensitive) == 0 ||
           (!wanted.isEmpty() && site.startsWith(wanted + QLatin1Char('/'), Qt::CaseInsensitive));
}

QStringList SiteBook::setConnectVia(TSettingsStore& store, const TDiamond& cipher, const QString& folder,
                                    const std::string& url, const std::string& proxyPassword)
{
    std::string why;
    if (!parseConnectPath(url, &why))
        throw Exception(why + "; no site was changed");
    QStringList changed;
    std::vector<std::string> keys;
    for (const QString& name : names(store)) {
        const std::string key = keyName(name);
        if (!key.empty() && inFolder(folderOf(store, key), folder)) {
            changed << name;
            keys.push_back(key);
        }
    }
    // The passwords go where they are kept first, then every record in one transaction, as save() does.
    const std::string id = bookId(store);
    std::vector<Keeping> keeping(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        keepProxyPassword(store, id, keys[i], url, proxyPassword, keeping[i]);
    open(store).transaction([&] {
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (store.SectionExists(keys[i])) // another console may have deleted it meanwhile
                writeConnectVia(store, cipher, keys[i], url, proxyPassword, keeping[i]);
    });
    if (!id.empty() && Keyring::reachable())
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (!keeping[i].proxyInKeyring)
                Keyring::forget(proxySecretName(id, keys[i]));
    return changed;
}

bool SiteBook::stayOnline(TSettingsStore& store, const std::string& key)
{
    return store.OpenKey(Layout::SitesPath, false) && store.ReadString(key, Layout::StayOnline, "") == "1";
}

void SiteBook::setStayOnline(TSettingsStore& store, const std::string& key, bool on)
{
    open(store).WriteString(key, Layout::StayOnline, on ? "1" : "0");
}

std::string SiteBook::folderOf(TSettingsStore& store, const std::string& key)
{
    return store.OpenKey(Layout::SitesPath, false) ? store.ReadString(key, Layout::Folder, "") : std::string();
}

SiteBook::Record SiteBook::readListed(TSettingsStore& store, const std::string& key)
{
    Record site;
    if (!store.OpenKey(Layout::SitesPath, false))
        return site;
    site.host = store.ReadString(key, Layout::HostName, site.host);
    site.port = store.ReadString(key, Layout::Port, site.port);
    site.folder = store.ReadString(key, Layout::Folder, "");
    site.connectVia = store.ReadString(key, Layout::ConnectVia, "");
    return site;
}

void SiteBook::pinCertificate(TSettingsStore& store, const std::string& key, const std::string& fingerprint)
{
    open(store).WriteString(key, Layout::Certificate, fingerprint);
}

void SiteBook::erase(TSettingsStore& store, const std::string& key)
{
    const std::string id = bookId(store);
    open(store);
    const bool inKeyring = store.ReadString(key, Layout::PassWordIn, "") == Layout::InKeyring;
    const bool proxyInKeyring = store.ReadString(key, Layout::ProxyPassWordIn, "") == Layout::InKeyring;
    store.EraseSection(key);
    // Only this book's own entries: an entry under the site's name alone may be another book's.
    if (inKeyring && !id.empty()) {
        Keyring::forget(secretName(id, key));
        if (const std::vector<std::string> old = oldSecretNames(id, key); old.size() > 1)
            Keyring::forget(old.front());
    }
    if (proxyInKeyring && !id.empty())
        Keyring::forget(proxySecretName(id, key));
}
