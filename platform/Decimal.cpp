#include "platform/Decimal.h"

#include <algorithm>

namespace {

// Over 8-bit and UTF-16 text alike: a character is a digit only if it is one of '0'..'9'.
template <class Char>
DecimalRead readAny(const Char* text, std::size_t size, DecimalSigns signs)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < size && (text[i] == Char('-') || (signs == DecimalSigns::PlusOrMinus && text[i] == Char('+'))))
        negative = text[i++] == Char('-');
    if (i == size)
        return {};
    // Counted in 64 bits and held just past the 32-bit range, so that any number of digits reads without overflow.
    constexpr std::int64_t past = std::int64_t(INT32_MAX) + 2;
    std::int64_t magnitude = 0;
    for (; i < size; ++i) {
        const Char c = text[i];
        if (c < Char('0') || c > Char('9'))
            return {};
        magnitude = std::min(magnitude * 10 + (c - Char('0')), past);
    }
    const std::int64_t number = negative ? -magnitude : magnitude;
    if (number > INT32_MAX)
        return {DecimalRead::Above, INT32_MAX};
    if (number < INT32_MIN)
        return {DecimalRead::Below, INT32_MIN};
    return {DecimalRead::Number, std::int32_t(number)};
}

} // namespace

DecimalRead readDecimal(std::string_view text, DecimalSigns signs)
{
    return readAny(text.data(), text.size(), signs);
}

DecimalRead readDecimal(QStringView text, DecimalSigns signs)
{
    return readAny(text.utf16(), std::size_t(text.size()), signs);
}
