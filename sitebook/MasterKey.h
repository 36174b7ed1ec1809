#pragma once

#include <array>
#include <optional>
#include <string>

// The site book's master password: a key made from it with scrypt (a random salt per book) seals each password with
// AES-256-GCM (a random nonce per password). The book keeps a check, a known text sealed with that key, so a wrong
// master password is told at once and never seals or opens anything. All texts are hex.
namespace MasterKey {

struct Key {
    std::array<unsigned char, 32> bytes{};
    ~Key();
};

// A check for a new master password, "scrypt:<log2 N>:<r>:<p>:<salt>:<nonce>:<sealed check>", and the key it gives.
std::string makeCheck(const std::string& password, Key& key);

// Why a check asks for a derivation this console does not make, in words for the operator ("its scrypt cost is
// 2^20, r 16, p 1, where this console derives only with ..."); none for a check of the cost it writes (or a little
// above). Told before anything is derived, so a file cannot make a derivation take seconds and gigabytes.
std::optional<std::string> costProblem(const std::string& check);

// The key a master password gives when it is the one the check was made with; none when it is not, or when the
// check is not one this console made (costProblem says why, for a cost it does not derive with).
std::optional<Key> unlock(const std::string& check, const std::string& password);

// A password sealed under the key, "aes-256-gcm:<nonce>:<cipher text and tag>"; context (the site's key name) is
// bound in, so a sealed value copied to another site does not open there.
std::string seal(const Key& key, const std::string& plain, const std::string& context);

// The sealed password, or none when the key, the context or the value is not the one it was sealed with.
std::optional<std::string> open(const Key& key, const std::string& sealed, const std::string& context);

} // namespace MasterKey
