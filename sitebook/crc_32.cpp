#include "sitebook/crc_32.h"

// Spot checks of the table against the published CRC-32 table.
static_assert(crc_32Table[0] == 0x00000000u);
static_assert(crc_32Table[1] == 0x77073096u);
static_assert(crc_32Table[128] == 0xEDB88320u);
static_assert(crc_32Table[255] == 0x2D02EF8Du);

std::uint32_t crc_32(std::uint32_t crc, std::string_view bytes)
{
    for (char ch : bytes)
        crc = crc_32(crc, static_cast<std::uint8_t>(ch));
    return crc;
}
