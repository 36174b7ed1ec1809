#pragma once

#include <QString>
#include <optional>
#include <string>

// The desktop's secret store, reached through QtKeychain: site passwords kept there under the service "kolvane",
// keyed by the name the site book gives each (its own id and the site's name; see SiteBook::secretName). Every call
// waits for the store's answer in the poll loop, never longer than a few seconds, and a session without a secret store
// (no session bus: a bare console session, CI) is told apart before anything is asked, so it never waits at all.
namespace Keyring {

// Whether a secret store may be asked at all: a session bus is there.
bool reachable();

// Keeps a site's password; false, with the store's reason in why, when it was not kept.
bool keep(const std::string& site, const std::string& password, QString* why = nullptr);

// A site's password, or none with the reason in why.
std::optional<std::string> fetch(const std::string& site, QString* why = nullptr);

// Forgets a site's password; nothing when there is none or no store.
void forget(const std::string& site);

} // namespace Keyring
