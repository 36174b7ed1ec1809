// The decimal reader's rules, for 8-bit and UTF-16 text and for both sign rules.

#include "platform/Decimal.h"

#include <gtest/gtest.h>

#include <QString>

namespace {

TEST(Decimal, ReadsSignAndDigitsWithin32BitsAndTellsTheRestApart)
{
    using R = DecimalRead;
    struct Row {
        const char* text;
        R::Outcome plusOrMinus; // what the spin box and the credit prompt read
        R::Outcome minusOnly;   // what the store reads
        std::int32_t value;     // for every outcome that is no NoNumber
    };
    const Row rows[] = {
        {"0", R::Number, R::Number, 0},
        {"460", R::Number, R::Number, 460},
        {"007", R::Number, R::Number, 7},
        {"-3", R::Number, R::Number, -3},
        {"-0", R::Number, R::Number, 0},
        {"+7", R::Number, R::NoNumber, 7},
        {"2147483647", R::Number, R::Number, INT32_MAX},
        {"2147483648", R::Above, R::Above, INT32_MAX},
        {"+2147483648", R::Above, R::NoNumber, INT32_MAX},
        {"-2147483648", R::Number, R::Number, INT32_MIN},
        {"-2147483649", R::Below, R::Below, INT32_MIN},
        {"99999999999999999999999999", R::Above, R::Above, INT32_MAX},
        {"-99999999999999999999999999", R::Below, R::Below, INT32_MIN},
        {"", R::NoNumber, R::NoNumber, 0},
        {"-", R::NoNumber, R::NoNumber, 0},
        {"+", R::NoNumber, R::NoNumber, 0},
        {"+-5", R::NoNumber, R::NoNumber, 0},
        {"--5", R::NoNumber, R::NoNumber, 0},
        {" 5", R::NoNumber, R::NoNumber, 0},
        {"5 ", R::NoNumber, R::NoNumber, 0},
        {"- 5", R::NoNumber, R::NoNumber, 0},
        {"5\n", R::NoNumber, R::NoNumber, 0},
        {"1e3", R::NoNumber, R::NoNumber, 0},
        {"0x10", R::NoNumber, R::NoNumber, 0},
        {"1.5", R::NoNumber, R::NoNumber, 0},
        {"12a", R::NoNumber, R::NoNumber, 0},
        {"\xd9\xa3", R::NoNumber, R::NoNumber, 0},     // ARABIC-INDIC DIGIT THREE, in UTF-8 bytes
        {"\xef\xbc\x95", R::NoNumber, R::NoNumber, 0}, // FULLWIDTH DIGIT FIVE
    };
    for (const Row& row : rows) {
        const std::string bytes = row.text;
        // The same text as characters, so that the non-ASCII digits arrive as the digits they are.
        const QString chars = QString::fromUtf8(bytes);
        const std::int32_t value = row.plusOrMinus == R::NoNumber ? 0 : row.value;
        for (const DecimalRead read : {readDecimal(bytes, DecimalSigns::PlusOrMinus),
                                       readDecimal(QStringView(chars), DecimalSigns::PlusOrMinus)}) {
            EXPECT_EQ(read.outcome, row.plusOrMinus) << "'" << bytes << "' with plus or minus";
            EXPECT_EQ(read.value, value) << "'" << bytes << "' with plus or minus";
        }
        const std::int32_t strictValue = row.minusOnly == R::NoNumber ? 0 : row.value;
        for (const DecimalRead read :
             {readDecimal(bytes, DecimalSigns::MinusOnly), readDecimal(QStringView(chars), DecimalSigns::MinusOnly)}) {
            EXPECT_EQ(read.outcome, row.minusOnly) << "'" << bytes << "' with minus only";
            EXPECT_EQ(read.value, strictValue) << "'" << bytes << "' with minus only";
        }
    }
    // A byte past ASCII after a digit (Latin-1 superscript two): char is signed here, and still no digit.
    EXPECT_EQ(readDecimal(std::string_view("1\xb2"), DecimalSigns::PlusOrMinus).outcome, R::NoNumber);
}

} // namespace
