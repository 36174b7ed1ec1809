#include "sitebook/SiteBook.h"

#include "platform/SettingsStore.h"
#include "sitebook/Diamond.h"

TSettingsStore& SiteBook::open(TSettingsStore& store)
{
    // Always from the root: whatever key the store was left on, a site's values land below SiTES and nowhere else.
    if (!store.OpenKey(Path, true))
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

void SiteBook::save(TSettingsStore& store, const TDiamond& cipher, const std::string& key, const Record& site)
{
    open(store).transaction([&] {
        store.WriteString(key, "HostName", site.host);
        store.WriteString(key, "Port", site.port);
        store.WriteString(key, "LogIn", site.login);
        store.WriteString(key, "PassWord", cipher.EncipherString(site.password));
    });
}
