#include "sitebook/SiteBook.h"

#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"
#include "sitebook/Diamond.h"

#include <charconv>

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
    std::vector<std::string> keys;
    open(store).GetKeyNames(keys);
    QStringList list;
    for (const std::string& key : keys)
        list << QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()));
    return list;
}

int SiteBook::Record::portNumber() const
{
    // As the store reads a decimal value: an optional minus sign and digits within 32 bits, else the default.
    int value = 0;
    const char* first = port.data();
    const char* last = port.data() + port.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (port.empty() || error != std::errc() || end != last || port[0] == '+')
        return 21;
    return value;
}

SiteBook::Record SiteBook::read(TSettingsStore& store, const TDiamond& cipher, const std::string& key)
{
    open(store);
    Record site;
    site.host = store.ReadString(key, Layout::HostName, site.host);
    site.port = store.ReadString(key, Layout::Port, site.port);
    site.login = store.ReadString(key, Layout::LogIn, site.login);
    site.password = cipher.DecipherString(store.ReadString(key, Layout::PassWord, ""));
    return site;
}

void SiteBook::save(TSettingsStore& store, const TDiamond& cipher, const std::string& key, const Record& site)
{
    open(store).transaction([&] {
        store.WriteString(key, Layout::HostName, site.host);
        store.WriteString(key, Layout::Port, site.port);
        store.WriteString(key, Layout::LogIn, site.login);
        store.WriteString(key, Layout::PassWord, cipher.EncipherString(site.password));
    });
}

void SiteBook::erase(TSettingsStore& store, const std::string& key)
{
    open(store).EraseSection(key);
}
