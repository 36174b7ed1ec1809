#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// The CRC-32 of PKZIP and zlib (reflected polynomial EDB88320), one byte at a time. The cipher starts every CRC
// from crc_32Start and uses the accumulator as it stands: there is no final inversion anywhere in this program.

inline constexpr std::uint32_t crc_32Start = 0xFFFFFFFFu;

namespace crc_32Detail {
constexpr std::array<std::uint32_t, 256> makeTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int shift = 0; shift < 8; ++shift)
            c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}
} // namespace crc_32Detail

// Built once, by the compiler.
inline constexpr std::array<std::uint32_t, 256> crc_32Table = crc_32Detail::makeTable();

// One step: the accumulator after feeding it one byte.
constexpr std::uint32_t crc_32(std::uint32_t crc, std::uint8_t byte)
{
    return (crc >> 8) ^ crc_32Table[(crc ^ byte) & 0xFFu];
}

// The accumulator after feeding it a run of bytes in order.
std::uint32_t crc_32(std::uint32_t crc, std::string_view bytes);
