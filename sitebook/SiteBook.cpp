#include "sitebook/SiteBook.h"

#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "sitebook/Diamond.h"
#include "sitebook/Keyring.h"

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

SiteBook::Record SiteBook::read(TSettingsStore& store, const TDiamond& cipher, const std::string& key)
{
    Record site;
    if (!store.OpenKey(Layout::SitesPath, false))
        return site;
    site.host = store.ReadString(key, Layout::HostName, site.host);
    site.port = store.ReadString(key, Layout::Port, site.port);
    site.login = store.ReadString(key, Layout::LogIn, site.login);
    site.password = cipher.DecipherString(store.ReadString(key, Layout::PassWord, ""));
    site.passwordInKeyring = store.ReadString(key, Layout::PassWordIn, "") == Layout::InKeyring;
    if (site.passwordInKeyring) {
        QString why;
        if (const std::optional<std::string> kept = Keyring::fetch(key, &why))
            site.password = *kept;
        else
            site.passwordProblem =
                "The password of the site " + key +
                " is kept in the desktop's secret store, which did not give it: " + why.toStdString();
    }
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
    if (const int seconds = store.ReadInteger(key, Layout::ReplyTimeout, site.replyTimeout); seconds >= 0)
        site.replyTimeout = seconds;
    return site;
}

void SiteBook::save(TSettingsStore& store, const TDiamond& cipher, const std::string& key, const Record& site)
{
    const bool inKeyring = Keyring::keep(key, site.password);
    open(store).transaction([&] {
        store.WriteString(key, Layout::HostName, site.host);
        store.WriteString(key, Layout::Port, site.port);
        store.WriteString(key, Layout::LogIn, site.login);
        store.WriteString(key, Layout::PassWord, inKeyring ? std::string() : cipher.EncipherString(site.password));
        store.WriteString(key, Layout::PassWordIn, inKeyring ? Layout::InKeyring : "");
        store.WriteString(key, Layout::Security, std::string(securityWord(site.security)));
        store.WriteString(key, Layout::DataConnection, std::string(dataModeWord(site.dataMode)));
        store.WriteString(key, Layout::Certificate, site.certificate); // empty: nothing pinned
        store.WriteInteger(key, Layout::ReplyTimeout, site.replyTimeout);
        store.WriteString(key, Layout::Folder, site.folder);
    });
}

bool SiteBook::stayOnline(TSettingsStore& store, const std::string& key)
{
    return store.OpenKey(Layout::SitesPath, false) && store.ReadString(key, Layout::StayOnline, "") == "1";
}

void SiteBook::setStayOnline(TSettingsStore& store, const std::string& key, bool on)
{
    open(store).WriteString(key, Layout::StayOnline, on ? "1" : "0");
}

void SiteBook::pinCertificate(TSettingsStore& store, const std::string& key, const std::string& fingerprint)
{
    open(store).WriteString(key, Layout::Certificate, fingerprint);
}

void SiteBook::erase(TSettingsStore& store, const std::string& key)
{
    open(store);
    const bool inKeyring = store.ReadString(key, Layout::PassWordIn, "") == Layout::InKeyring;
    store.EraseSection(key);
    if (inKeyring)
        Keyring::forget(key);
}
