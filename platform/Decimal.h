#pragma once

#include <QStringView>
#include <cstdint>
#include <string_view>

// The one reader of decimal integers: the store's numbers, the spin box and the credit prompt all read through it and
// differ only in what they make of its outcome. It reads an optional sign and one or more ASCII digits, nothing else:
// no blanks, no other digits, no exponent. A number past 32 bits is read to its end and told apart from no number.
struct DecimalRead {
    enum Outcome {
        Number,   // value holds it
        Above,    // more than INT32_MAX; value is INT32_MAX
        Below,    // less than INT32_MIN; value is INT32_MIN
        NoNumber, // not a sign and digits; value is 0
    };
    Outcome outcome = NoNumber;
    std::int32_t value = 0;
};

enum class DecimalSigns {
    MinusOnly,   // "-3"; a plus is no number
    PlusOrMinus, // "+7" and "-3"
};

DecimalRead readDecimal(std::string_view text, DecimalSigns signs);
DecimalRead readDecimal(QStringView text, DecimalSigns signs);
