// The password cipher: reference vectors computed elsewhere from the same design, then the properties the site
// book relies on.

#include <gtest/gtest.h>

#include "sitebook/Diamond.h"
#include "sitebook/crc_32.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdlib>
#include <random>

namespace {

std::string fromHex(const QJsonValue& hex)
{
    return QByteArray::fromHex(hex.toString().toLatin1()).toStdString();
}

std::string toHex(std::string_view bytes)
{
    return QByteArray(bytes.data(), qsizetype(bytes.size())).toHex().toStdString();
}

std::string toHex(const TDiamond::Block& block)
{
    return toHex(std::string_view(reinterpret_cast<const char*>(block.data()), block.size()));
}

std::string randomBytes(std::mt19937& rng, std::size_t length)
{
    std::string bytes(length, '\0');
    for (char& ch : bytes)
        ch = static_cast<char>(rng());
    return bytes;
}

TDiamond::Block filled(std::uint8_t value, std::uint8_t last)
{
    TDiamond::Block block;
    block.fill(value);
    block[15] = last;
    return block;
}

// A two-block value whose one chained block deciphers to `plain`, built backwards through the chaining.
std::string valueDecipheringTo(const TDiamond& cipher, TDiamond::Block plain)
{
    const TDiamond::Block seed = filled(0x5A, 0x5A);
    const TDiamond::Block chain = cipher.encipherBlock(seed);
    for (int i = 0; i < TDiamond::BlockSize; ++i)
        plain[i] ^= chain[i];
    const TDiamond::Block last = cipher.encipherBlock(plain);
    return std::string(seed.begin(), seed.end()) + std::string(last.begin(), last.end());
}

class DiamondTest : public ::testing::Test {
protected:
    void SetUp() override { cipher.SetKey(std::string(DiamondConsoleKey)); }
    TDiamond cipher;
};

} // namespace

TEST(Crc32, IsTheStandardCrcWithoutItsFinalInversion)
{
    // The published check value of "123456789" is CBF43926, final inversion included.
    EXPECT_EQ(crc_32(crc_32Start, "123456789"), ~0xCBF43926u);
    EXPECT_EQ(crc_32(crc_32Start, ""), crc_32Start);
}

TEST(DiamondVectors, BoxesBlocksAndValuesMatchTheReference)
{
    QFile file(QString::fromLocal8Bit(std::getenv("KOLVANE_SOURCE_DIR")) + "/tests/sitebook/cipher-vectors.json");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << "tests/sitebook/cipher-vectors.json";
    const QJsonArray keys = QJsonDocument::fromJson(file.readAll()).object().value("keys").toArray();
    ASSERT_FALSE(keys.isEmpty());

    for (const QJsonValue& entry : keys) {
        const QJsonObject k = entry.toObject();
        TDiamond cipher;
        cipher.SetKey(fromHex(k["key_hex"]));
        SCOPED_TRACE("key " + toHex(cipher.Key()));

        QCryptographicHash boxes(QCryptographicHash::Sha256);
        for (int r = 0; r < TDiamond::Rounds; ++r)
            for (int j = 0; j < TDiamond::BlockSize; ++j)
                boxes.addData(QByteArrayView(cipher.forwardBox(r, j).data(), 256));
        EXPECT_EQ(boxes.result().toHex().toStdString(), k["boxes_sha256"].toString().toStdString());

        const QJsonArray firstBox = k["first_box"].toArray();
        ASSERT_EQ(firstBox.size(), 256);
        for (int v = 0; v < 256; ++v)
            EXPECT_EQ(cipher.forwardBox(0, 0)[v], firstBox[v].toInt()) << "box[0][0][" << v << "]";

        TDiamond::Block sequence;
        for (int i = 0; i < TDiamond::BlockSize; ++i)
            sequence[i] = static_cast<std::uint8_t>(i);
        EXPECT_EQ(toHex(cipher.encipherBlock(TDiamond::Block{})), k["E_zero"].toString().toStdString());
        EXPECT_EQ(toHex(cipher.encipherBlock(sequence)), k["E_seq"].toString().toStdString());

        for (const QJsonValue& v : k["vectors"].toArray()) {
            const auto tick = static_cast<std::uint32_t>(v["tick"].toInteger());
            const std::string plain = fromHex(v["plain_hex"]);
            cipher.TickSource = [tick] { return tick; };
            EXPECT_EQ(toHex(cipher.EncipherString(plain)), v["cipher_hex"].toString().toStdString()) << toHex(plain);
            EXPECT_EQ(cipher.DecipherString(fromHex(v["cipher_hex"])), plain);
        }
    }
}

TEST(DiamondKey, EmptyKeyIsTheOneByteZeroKey)
{
    TDiamond empty, zero, unkeyed;
    empty.SetKey("");
    zero.SetKey(std::string(1, '\0'));
    EXPECT_EQ(empty.Key(), std::string(1, '\0'));
    for (int r = 0; r < TDiamond::Rounds; ++r)
        for (int j = 0; j < TDiamond::BlockSize; ++j)
            ASSERT_TRUE(std::ranges::equal(empty.forwardBox(r, j), zero.forwardBox(r, j))) << r << "," << j;

    // Used before any key is assigned, the cipher works under that same key instead of on empty tables.
    empty.TickSource = unkeyed.TickSource = [] { return 7u; };
    EXPECT_EQ(unkeyed.EncipherString("pw"), empty.EncipherString("pw"));
}

TEST(DiamondKey, LongKeysGivePermutationBoxesWithTrueInverses)
{
    // Past 255 bytes the high byte of the key length joins the generator at every wrap.
    std::mt19937 rng(42);
    TDiamond cipher;
    cipher.SetKey(randomBytes(rng, 300));
    for (int r = 0; r < TDiamond::Rounds; ++r)
        for (int j = 0; j < TDiamond::BlockSize; ++j)
            for (int v = 0; v < 256; ++v)
                ASSERT_EQ(cipher.inverseBox(r, j)[cipher.forwardBox(r, j)[v]], v) << r << "," << j;
    const std::string plain = randomBytes(rng, 40);
    EXPECT_EQ(cipher.DecipherString(cipher.EncipherString(plain)), plain);
}

TEST(DiamondKeyGenerator, TheNinetyEighthTryFoldsATooLargeDraw)
{
    // Each of the key's first 98 bytes leaves the accumulator's low two bits at 3, so rand(2) rejects every try
    // and without the fold would run on through the key.
    std::string key;
    std::uint32_t acc = crc_32Start;
    for (int i = 0; i < 98; ++i) {
        std::uint8_t b = 0;
        while ((crc_32(acc, b) & 3u) != 3u)
            ++b;
        acc = crc_32(acc, b);
        key.push_back(static_cast<char>(b));
    }
    key.append(40, 'z');

    DiamondKeyGenerator generator(key);
    EXPECT_EQ(generator.rand(0), 0);
    EXPECT_EQ(generator.position(), 1u) << "max 0 takes no key byte";
    EXPECT_EQ(generator.rand(2), 1) << "3 folded back by 2";
    EXPECT_EQ(generator.position(), 99u) << "the 97th try must not fold yet, the 98th must";
}

TEST_F(DiamondTest, LengthIsSeedPlusTextPaddedByOneToSixteen)
{
    for (auto [plain, expected] : {std::pair{0, 32}, {1, 32}, {15, 32}, {16, 48}, {17, 48}, {32, 64}})
        EXPECT_EQ(cipher.EncipherString(std::string(plain, 'a')).size(), std::size_t(expected)) << plain;
    EXPECT_EQ(cipher.DecipherString(cipher.EncipherString("")), "");
}

TEST_F(DiamondTest, SamePasswordAtDifferentTicksGivesDifferentValuesThatBothDecipher)
{
    cipher.TickSource = [] { return 1000u; };
    const std::string first = cipher.EncipherString("hunter2");
    cipher.TickSource = [] { return 1001u; };
    const std::string second = cipher.EncipherString("hunter2");

    EXPECT_NE(first.substr(16), second.substr(16)) << "the whole chain changes with the seed";
    EXPECT_EQ(cipher.DecipherString(first), "hunter2");
    EXPECT_EQ(cipher.DecipherString(second), "hunter2");
}

TEST_F(DiamondTest, EveryByteValueRoundTrips)
{
    std::string all;
    for (int v = 0; v < 256; ++v) {
        const std::string one(1, static_cast<char>(v));
        ASSERT_EQ(cipher.DecipherString(cipher.EncipherString(one)), one) << "byte " << v;
        all += one;
    }
    EXPECT_EQ(cipher.DecipherString(cipher.EncipherString(all)), all);
    // Texts that end in what looks like padding come back whole too.
    EXPECT_EQ(cipher.DecipherString(cipher.EncipherString(std::string(16, '\x10'))), std::string(16, '\x10'));
}

TEST_F(DiamondTest, ValuesThatAreNoEncipheredFormDecipherToEmpty)
{
    const std::string value = cipher.EncipherString(std::string(40, 'p')); // 64 bytes
    ASSERT_EQ(value.size(), 64u);
    // Too short, or cut short (or grown) off a block boundary. Each is its own heap copy of exactly that length, so
    // a read past its end shows under a memory checker.
    for (std::size_t length = 0; length <= 80; ++length) {
        if (length >= 32 && length % 16 == 0)
            continue;
        std::string odd = length <= 64 ? value.substr(0, length) : value + std::string(length - 64, 'x');
        odd.shrink_to_fit();
        EXPECT_EQ(cipher.DecipherString(odd), "") << "length " << length;
    }
    // Cut at a block boundary it is read as far as it goes: its new last byte is a 'p', which is no padding.
    EXPECT_EQ(cipher.DecipherString(value.substr(0, 48)), "");

    TDiamond other;
    other.SetKey("not the console key");
    EXPECT_NE(cipher.DecipherString(other.EncipherString("secret")), "secret");
}

TEST_F(DiamondTest, PaddingByteMustBeOneToSixteen)
{
    for (int pad : {0, 17, 0xFF})
        EXPECT_EQ(cipher.DecipherString(valueDecipheringTo(cipher, filled('A', pad))), "") << "pad " << pad;
    EXPECT_EQ(cipher.DecipherString(valueDecipheringTo(cipher, filled('A', 1))), std::string(15, 'A'));
    EXPECT_EQ(cipher.DecipherString(valueDecipheringTo(cipher, filled('A', 16))), "");
}
