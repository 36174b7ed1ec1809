#include "sitebook/MasterKey.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>
#include <vector>

namespace MasterKey {

namespace {

constexpr int kLog2N = 15; // 2^15 * 8 * 128 bytes: 32 MiB and a tenth of a second per derivation
constexpr int kR = 8;
constexpr int kP = 1;
// A check may ask for twice the work written (a console that one day writes more), never more: 64 MiB at most.
constexpr int kMostLog2N = kLog2N + 1;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kNonceBytes = 12;
constexpr std::size_t kTagBytes = 16;
constexpr const char* kCheckText = "Kolvane site book";
constexpr const char* kCheckContext = "master password check";
constexpr const char* kSealedPrefix = "aes-256-gcm";

std::string hex(const unsigned char* data, std::size_t size)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::optional<std::vector<unsigned char>> unhex(const std::string& text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::vector<unsigned char> out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return out;
}

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(':', from);
        parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            return parts;
        from = at + 1;
    }
}

std::vector<unsigned char> randomBytes(std::size_t count)
{
    std::vector<unsigned char> bytes(count);
    if (RAND_bytes(bytes.data(), int(count)) != 1)
        throw std::runtime_error("The system gave no random bytes for the master password");
    return bytes;
}

bool derive(const std::string& password, const std::vector<unsigned char>& salt, int log2N, int r, int p, Key& key)
{
    const std::uint64_t n = std::uint64_t(1) << log2N;
    const std::uint64_t memory = 128 * n * std::uint64_t(r) * std::uint64_t(p) + (std::uint64_t(1) << 24);
    return EVP_PBE_scrypt(password.data(), password.size(), salt.data(), salt.size(), n, std::uint64_t(r),
                          std::uint64_t(p), memory, key.bytes.data(), key.bytes.size()) == 1;
}

struct CipherContext {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
};

std::optional<std::string> openParts(const Key& key, const std::string& nonceHex, const std::string& bodyHex,
                                     const std::string& context)
{
    const auto nonce = unhex(nonceHex);
    const auto body = unhex(bodyHex);
    if (!nonce || !body || nonce->size() != kNonceBytes || body->size() < kTagBytes)
        return std::nullopt;
    const std::size_t length = body->size() - kTagBytes;
    CipherContext c;
    std::string plain(length, '\0');
    int out = 0;
    int done = 0;
    const bool ok = c.ctx && EVP_DecryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
                    EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_IVLEN, int(kNonceBytes), nullptr) == 1 &&
                    EVP_DecryptInit_ex(c.ctx, nullptr, nullptr, key.bytes.data(), nonce->data()) == 1 &&
                    EVP_DecryptUpdate(c.ctx, nullptr, &out, reinterpret_cast<const unsigned char*>(context.data()),
                                      int(context.size())) == 1 &&
                    EVP_DecryptUpdate(c.ctx, reinterpret_cast<unsigned char*>(plain.data()), &out, body->data(),
                                      int(length)) == 1 &&
                    EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, int(kTagBytes),
                                        const_cast<unsigned char*>(body->data() + length)) == 1 &&
                    EVP_DecryptFinal_ex(c.ctx, reinterpret_cast<unsigned char*>(plain.data()) + out, &done) == 1;
    if (!ok) {
        OPENSSL_cleanse(plain.data(), plain.size());
        return std::nullopt;
    }
    return plain;
}

} // namespace

Key::~Key()
{
    OPENSSL_cleanse(bytes.data(), bytes.size());
}

std::string seal(const Key& key, const std::string& plain, const std::string& context)
{
    const std::vector<unsigned char> nonce = randomBytes(kNonceBytes);
    std::vector<unsigned char> body(plain.size() + kTagBytes);
    CipherContext c;
    int out = 0;
    int done = 0;
    const bool ok = c.ctx && EVP_EncryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
                    EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_IVLEN, int(kNonceBytes), nullptr) == 1 &&
                    EVP_EncryptInit_ex(c.ctx, nullptr, nullptr, key.bytes.data(), nonce.data()) == 1 &&
                    EVP_EncryptUpdate(c.ctx, nullptr, &out, reinterpret_cast<const unsigned char*>(context.data()),
                                      int(context.size())) == 1 &&
                    EVP_EncryptUpdate(c.ctx, body.data(), &out, reinterpret_cast<const unsigned char*>(plain.data()),
                                      int(plain.size())) == 1 &&
                    EVP_EncryptFinal_ex(c.ctx, body.data() + out, &done) == 1 &&
                    EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, int(kTagBytes), body.data() + plain.size()) == 1;
    if (!ok)
        throw std::runtime_error("The password could not be sealed with the master password");
    return std::string(kSealedPrefix) + ":" + hex(nonce.data(), nonce.size()) + ":" + hex(body.data(), body.size());
}

std::optional<std::string> open(const Key& key, const std::string& sealed, const std::string& context)
{
    const std::vector<std::string> parts = split(sealed);
    if (parts.size() != 3 || parts[0] != kSealedPrefix)
        return std::nullopt;
    return openParts(key, parts[1], parts[2], context);
}

std::string makeCheck(const std::string& password, Key& key)
{
    const std::vector<unsigned char> salt = randomBytes(kSaltBytes);
    if (!derive(password, salt, kLog2N, kR, kP, key))
        throw std::runtime_error("No key could be made from the master password");
    const std::string sealed = seal(key, kCheckText, kCheckContext); // "aes-256-gcm:<nonce>:<body>"
    return "scrypt:" + std::to_string(kLog2N) + ":" + std::to_string(kR) + ":" + std::to_string(kP) + ":" +
           hex(salt.data(), salt.size()) + sealed.substr(sealed.find(':'));
}

namespace {

// The cost a check names, "scrypt:<log2 N>:<r>:<p>:...": none when it is not of that form.
std::optional<std::array<int, 3>> costOf(const std::vector<std::string>& parts)
{
    if (parts.size() != 7 || parts[0] != "scrypt")
        return std::nullopt;
    std::array<int, 3> values{};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string& digits = parts[i + 1];
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        values[i] = std::stoi(digits);
    }
    return values;
}

bool costWeDerive(const std::array<int, 3>& cost)
{
    const auto [log2N, r, p] = cost;
    return log2N >= kLog2N && log2N <= kMostLog2N && r == kR && p == kP;
}

} // namespace

std::optional<std::string> costProblem(const std::string& check)
{
    const std::optional<std::array<int, 3>> cost = costOf(split(check));
    if (!cost)
        return "it is not a check of the form scrypt:<log2 N>:<r>:<p>:<salt>:<nonce>:<sealed check>";
    if (costWeDerive(*cost))
        return std::nullopt;
    const auto [log2N, r, p] = *cost;
    return "its scrypt cost is N 2^" + std::to_string(log2N) + ", r " + std::to_string(r) + ", p " + std::to_string(p) +
           ", where this console writes N 2^" + std::to_string(kLog2N) + ", r " + std::to_string(kR) + ", p " +
           std::to_string(kP) + " and derives with no more than N 2^" + std::to_string(kMostLog2N);
}

std::optional<Key> unlock(const std::string& check, const std::string& password)
{
    const std::vector<std::string> parts = split(check);
    // The work a check may ask for is the work this console puts in, never more: a damaged store or a hostile file
    // cannot make a derivation take seconds and gigabytes.
    const std::optional<std::array<int, 3>> cost = costOf(parts);
    if (!cost || !costWeDerive(*cost))
        return std::nullopt;
    const auto [log2N, r, p] = *cost;
    const auto salt = unhex(parts[4]);
    if (!salt || salt->size() < 8)
        return std::nullopt;
    Key key;
    if (!derive(password, *salt, log2N, r, p, key))
        return std::nullopt;
    const std::optional<std::string> text = openParts(key, parts[5], parts[6], kCheckContext);
    if (!text || *text != kCheckText)
        return std::nullopt;
    return key;
}

} // namespace MasterKey
