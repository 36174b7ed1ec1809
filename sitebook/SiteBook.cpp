#include "sitebook/SiteBook.h"

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

// A site's password from the secret store: under the book's own name for it, or, for a record saved before books
// had ids, under the site's name alone. Such an old entry is taken over by the first book that asks for it, whose
// record says its password is there: under the shared lock it is copied under that book's name and removed from
// the old one, so a second book asking after it finds nothing to claim and says so.
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
    std::optional<std::string> old = Keyring::fetch(key, &oldWhy);
    if (!old) {
        *why = QStringLiteral("it is not there under this site book's name (%1), nor under the site's name alone, "
                              "where an earlier console kept it (another site book may have taken it over): type it "
                              "again in the site dialog and save the site")
                   .arg(why->isEmpty() ? oldWhy : *why);
        return std::nullopt;
    }
    if (!id.empty() && Keyring::keep(SiteBook::secretName(id, key), *old))
        Keyring::forget(key);
    return old;
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

std::string SiteBook::secretName(const std::string& bookId, const std::string& key)
{
    return bookId + "/" + key;
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

void SiteBook::loadInto(TNMFTP& client, const Record& site)
{
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
    store.OpenKey(Layout::SitesPath, false);
    return site;
}

void SiteBook::save(TSettingsStore& store, const TDiamond& cipher, const std::string& key, const Record& site)
{
    const std::string id = bookId(store);
    const bool inKeyring = !id.empty() && Keyring::keep(secretName(id, key), site.password);
    // Without a secret store, a book with a master password seals the password with it; the master password not
    // given (or wrong) saves nothing.
    std::string sealed;
    if (!inKeyring && hasMasterPassword(store))
        sealed = MasterKey::seal(masterKey(store), site.password, key);
    open(store).transaction([&] {
        store.WriteString(key, Layout::HostName, site.host);
        store.WriteString(key, Layout::Port, site.port);
        store.WriteString(key, Layout::LogIn, site.login);
        store.WriteString(key, Layout::PassWord,
                          inKeyring || !sealed.empty() ? std::string() : cipher.EncipherString(site.password));
        store.WriteString(key, Layout::PassWordIn,
                          inKeyring ? Layout::InKeyring : (sealed.empty() ? "" : Layout::InMaster));
        if (!sealed.empty() || store.ValueExists(key, Layout::SealedPassWord))
            store.WriteString(key, Layout::SealedPassWord, sealed);
        store.WriteString(key, Layout::Security, std::string(securityWord(site.security)));
        store.WriteString(key, Layout::DataConnection, std::string(dataModeWord(site.dataMode)));
        store.WriteString(key, Layout::Certificate, site.certificate); // empty: nothing pinned
        store.WriteInteger(key, Layout::ReplyTimeout, site.replyTimeout);
        store.WriteString(key, Layout::Folder, site.folder);
        store.WriteString(key, Layout::Reconnect, site.reconnect ? "1" : "0");
    });
}

void SiteBook::setMasterPassword(TSettingsStore& store, const TDiamond& cipher, const std::string& password)
{
    if (hasMasterPassword(store))
        masterKey(store); // the current one first: a wrong one ends here, nothing changed
    // Every password not in the secret store, in plain text for the moment it takes to seal it anew.
    std::vector<std::pair<std::string, std::string>> passwords;
    for (const QString& name : names(store)) {
        const std::string key = keyName(name);
        if (key.empty())
            continue;
        open(store);
        if (store.ReadString(key, Layout::PassWordIn, "") == Layout::InKeyring)
            continue;
        const Record site = read(store, cipher, key);
        if (!site.passwordProblem.empty())
            throw EStoreError(site.passwordProblem + "; the master password was not changed");
        passwords.emplace_back(key, site.password);
    }
    MasterKey::Key key;
    const std::string check = password.empty() ? std::string() : MasterKey::makeCheck(password, key);
    if (!Layout::openProgramKey(store, true))
        throw EStoreError("The program key cannot be created in the settings store " + store.path());
    store.transaction([&] {
        Layout::openProgramKey(store, false);
        store.WriteString(Layout::Settings, Layout::MasterPassword, check);
        open(store);
        for (const auto& [site, plain] : passwords) {
            const std::string sealed = check.empty() ? std::string() : MasterKey::seal(key, plain, site);
            store.WriteString(site, Layout::PassWord, check.empty() ? cipher.EncipherString(plain) : std::string());
            store.WriteString(site, Layout::PassWordIn, check.empty() ? "" : Layout::InMaster);
            if (!sealed.empty() || store.ValueExists(site, Layout::SealedPassWord))
                store.WriteString(site, Layout::SealedPassWord, sealed);
        }
    });
    forgetMasterPassword();
    if (!check.empty()) {
        master().check = check;
        master().key = key;
    }
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
    store.EraseSection(key);
    // Only this book's own entry: an entry under the site's name alone may be another book's.
    if (inKeyring && !id.empty())
        Keyring::forget(secretName(id, key));
}
