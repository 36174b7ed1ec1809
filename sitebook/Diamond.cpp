#include "sitebook/Diamond.h"

#include "sitebook/crc_32.h"

#include <cstring>

namespace {

// Past this many tries a draw that lands above max is folded back below it, which ends the draw at once.
constexpr int FoldAfterTries = 97;

// The smallest 2^m - 1 that is at least max.
std::uint8_t maskFor(std::uint8_t max)
{
    unsigned mask = max;
    mask |= mask >> 1;
    mask |= mask >> 2;
    mask |= mask >> 4;
    return static_cast<std::uint8_t>(mask);
}

// Bit b of byte i comes from byte i + b: each output byte gathers one bit from eight neighbouring input bytes, so
// one changed byte reaches eight positions in the next round.
TDiamond::Block permute(const TDiamond::Block& y)
{
    TDiamond::Block z{};
    for (int i = 0; i < TDiamond::BlockSize; ++i) {
        unsigned v = 0;
        for (int b = 0; b < 8; ++b)
            v |= y[(i + b) & 15] & (1u << b);
        z[i] = static_cast<std::uint8_t>(v);
    }
    return z;
}

TDiamond::Block unpermute(const TDiamond::Block& x)
{
    TDiamond::Block z{};
    for (int i = 0; i < TDiamond::BlockSize; ++i) {
        unsigned v = 0;
        for (int b = 0; b < 8; ++b)
            v |= x[(i - b) & 15] & (1u << b);
        z[i] = static_cast<std::uint8_t>(v);
    }
    return z;
}

void xorInto(TDiamond::Block& block, const TDiamond::Block& with)
{
    for (int i = 0; i < TDiamond::BlockSize; ++i)
        block[i] ^= with[i];
}

TDiamond::Block blockAt(const std::string& bytes, std::size_t offset)
{
    TDiamond::Block block;
    std::memcpy(block.data(), bytes.data() + offset, TDiamond::BlockSize);
    return block;
}

void appendBlock(std::string& bytes, const TDiamond::Block& block)
{
    bytes.append(reinterpret_cast<const char*>(block.data()), block.size());
}

void putLittleEndian(TDiamond::Block& block, int offset, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        block[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

} // namespace

DiamondKeyGenerator::DiamondKeyGenerator(std::string_view key)
    : key_(key.empty() ? std::string_view("\0", 1) : key), acc_(crc_32Start)
{}

std::uint8_t DiamondKeyGenerator::rand(std::uint8_t max)
{
    if (max == 0)
        return 0;
    const std::uint8_t mask = maskFor(max);
    const std::size_t length = key_.size();
    int tries = 0;
    unsigned r;
    do {
        std::uint8_t b = static_cast<std::uint8_t>(key_[k_ - 1]);
        if (filter_)
            b = filter_[b];
        acc_ = crc_32(acc_, b);
        if (++k_ > length) {
            k_ = 1;
            acc_ = crc_32(acc_, static_cast<std::uint8_t>(length));
            acc_ = crc_32(acc_, static_cast<std::uint8_t>(length >> 8));
        }
        r = acc_ & mask;
        if (++tries > FoldAfterTries && r > max)
            r -= max;
    } while (r > max);
    return static_cast<std::uint8_t>(r);
}

struct TDiamond::Tables {
    std::uint8_t forward[Rounds][BlockSize][256];
    std::uint8_t inverse[Rounds][BlockSize][256];

    explicit Tables(std::string_view key)
    {
        DiamondKeyGenerator generator(key);
        for (int r = 0; r < Rounds; ++r) {
            for (int j = 0; j < BlockSize; ++j) {
                makeBox(generator, forward[r][j]);
                generator.setFilter(forward[r][j]);
            }
        }
        for (int r = 0; r < Rounds; ++r)
            for (int j = 0; j < BlockSize; ++j)
                for (int v = 0; v < 256; ++v)
                    inverse[r][j][forward[r][j][v]] = static_cast<std::uint8_t>(v);
    }

    // Places 255, 254, ..., 0 in turn, each in the free slot that has a drawn number of free slots before it.
    // The free slots are kept in ascending order, so the chosen one is simply the p-th of them.
    static void makeBox(DiamondKeyGenerator& generator, std::uint8_t* box)
    {
        std::uint8_t freeSlots[256];
        for (int i = 0; i < 256; ++i)
            freeSlots[i] = static_cast<std::uint8_t>(i);
        for (int n = 255; n >= 0; --n) {
            const std::uint8_t p = generator.rand(static_cast<std::uint8_t>(n));
            box[freeSlots[p]] = static_cast<std::uint8_t>(n);
            std::memmove(freeSlots + p, freeSlots + p + 1, static_cast<std::size_t>(n - p));
        }
    }
};

TDiamond::TDiamond(QObject* parent) : QObject(parent), key_(1, '\0') {}

TDiamond::~TDiamond() = default;

void TDiamond::SetKey(const std::string& key)
{
    key_ = key.empty() ? std::string(1, '\0') : key;
    tables_ = std::make_unique<Tables>(key_);
}

const TDiamond::Tables& TDiamond::tables() const
{
    if (!tables_)
        tables_ = std::make_unique<Tables>(key_);
    return *tables_;
}

std::span<const std::uint8_t, 256> TDiamond::forwardBox(int round, int position) const
{
    return std::span<const std::uint8_t, 256>(tables().forward[round][position], 256);
}

std::span<const std::uint8_t, 256> TDiamond::inverseBox(int round, int position) const
{
    return std::span<const std::uint8_t, 256>(tables().inverse[round][position], 256);
}

TDiamond::Block TDiamond::encipherBlock(const Block& x) const
{
    const Tables& t = tables();
    Block y;
    for (int j = 0; j < BlockSize; ++j)
        y[j] = t.forward[0][j][x[j]];
    for (int r = 1; r < Rounds; ++r) {
        const Block z = permute(y);
        for (int j = 0; j < BlockSize; ++j)
            y[j] = t.forward[r][j][z[j]];
    }
    return y;
}

TDiamond::Block TDiamond::decipherBlock(const Block& y) const
{
    const Tables& t = tables();
    Block x;
    for (int j = 0; j < BlockSize; ++j)
        x[j] = t.inverse[Rounds - 1][j][y[j]];
    for (int r = Rounds - 2; r >= 0; --r) {
        const Block z = unpermute(x);
        for (int j = 0; j < BlockSize; ++j)
            x[j] = t.inverse[r][j][z[j]];
    }
    return x;
}

std::string TDiamond::EncipherString(const std::string& plain) const
{
    const std::size_t pad = BlockSize - plain.size() % BlockSize;
    std::string padded = plain;
    padded.append(pad, static_cast<char>(pad));

    std::uint32_t sum = 0;
    for (char ch : padded)
        sum += static_cast<std::uint8_t>(ch);
    Block seed{};
    putLittleEndian(seed, 0, crc_32(crc_32Start, padded));
    putLittleEndian(seed, 4, sum);
    putLittleEndian(seed, 8, TickSource ? TickSource() : GetTickCount());

    const Block enciphered = encipherBlock(seed);
    std::string result;
    result.reserve(BlockSize + padded.size());
    appendBlock(result, enciphered);

    Block chain = encipherBlock(enciphered);
    for (std::size_t offset = 0; offset < padded.size(); offset += BlockSize) {
        Block block = blockAt(padded, offset);
        xorInto(block, chain);
        chain = encipherBlock(block);
        appendBlock(result, chain);
    }
    return result;
}

std::string TDiamond::DecipherString(const std::string& value) const
{
    // A value cut short by whatever stored it has lost its padding byte with its tail; whatever whole blocks are
    // left would decipher to bytes that are not the password, so such a value is treated like any other that does
    // not decipher.
    if (value.size() < 2 * BlockSize || value.size() % BlockSize != 0)
        return {};

    Block chain = encipherBlock(blockAt(value, 0));
    std::string plain;
    plain.reserve(value.size() - BlockSize);
    for (std::size_t offset = BlockSize; offset < value.size(); offset += BlockSize) {
        const Block cipher = blockAt(value, offset);
        Block block = decipherBlock(cipher);
        xorInto(block, chain);
        appendBlock(plain, block);
        chain = cipher;
    }

    const auto pad = static_cast<std::uint8_t>(plain.back());
    if (pad < 1 || pad > BlockSize)
        return {};
    plain.resize(plain.size() - pad);
    return plain;
}
