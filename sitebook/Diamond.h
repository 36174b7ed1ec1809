#pragma once

#include <QObject>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/Ticks.h"

// The key the console's cipher is given when the main window is created. Every stored site password depends on it.
inline constexpr std::string_view DiamondConsoleKey = "qvxrtz42";

// The key generator behind the substitution boxes: a CRC-32 accumulator fed with the key's bytes over and over,
// each byte first passed through the filter box when one is set. It lives for one key assignment.
class DiamondKeyGenerator {
public:
    // An empty key draws as the one-byte key {0}, as TDiamond stores it.
    explicit DiamondKeyGenerator(std::string_view key);

    // A number 0..max drawn from the key. max 0 consumes nothing. A draw that keeps landing above max is folded
    // back after 97 tries, so every draw ends whatever the key.
    std::uint8_t rand(std::uint8_t max);

    // Every following key byte goes through this box; the box must outlive the generator's use of it.
    void setFilter(const std::uint8_t* box) { filter_ = box; }

    // The 1-based position of the next key byte to be used.
    std::size_t position() const { return k_; }

private:
    std::string_view key_;
    std::uint32_t acc_;
    std::size_t k_ = 1;
    const std::uint8_t* filter_ = nullptr;
};

// The password cipher: a 16-byte block cipher of ten rounds of key-dependent byte substitution with a fixed bit
// permutation between them, used in block chaining behind an enciphered seed block. The tables cost about a
// millisecond to build and are built once per key; after that each password is a handful of block operations.
class TDiamond : public QObject {
    Q_OBJECT

public:
    static constexpr int Rounds = 10;
    static constexpr int BlockSize = 16;
    using Block = std::array<std::uint8_t, BlockSize>;

    explicit TDiamond(QObject* parent = nullptr);
    ~TDiamond() override;

    // Stores the key (an empty key is the one-byte key {0}) and builds both box tables for it.
    void SetKey(const std::string& key);
    const std::string& Key() const { return key_; }

    // 16 + the plain text rounded up to the next multiple of 16 (a whole block more when it already is one).
    // Any byte may occur in the result, NUL included.
    std::string EncipherString(const std::string& plain) const;

    // The plain text, or empty when the value is no enciphered form: shorter than 32 bytes, a length that is not
    // 16 plus a multiple of 16 (a value cut short by whatever stored it), or a last padding byte outside 1..16.
    std::string DecipherString(const std::string& value) const;

    // The millisecond tick count mixed into each seed block, so that two encipherments of one password differ.
    std::function<std::uint32_t()> TickSource = GetTickCount;

    Block encipherBlock(const Block& x) const;
    Block decipherBlock(const Block& y) const;
    std::span<const std::uint8_t, 256> forwardBox(int round, int position) const;
    std::span<const std::uint8_t, 256> inverseBox(int round, int position) const;

private:
    struct Tables;
    const Tables& tables() const;

    std::string key_;
    // Built by SetKey. A component that is used before any key is assigned builds them for its key {0} on first use.
    mutable std::unique_ptr<Tables> tables_;
};
