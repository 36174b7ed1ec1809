// The passive-mode reply parsers on arbitrary bytes as a daemon's answer to EPSV and PASV, and the message a listing
// fails with when neither names a port. An address that is found must read back the same from the reply the console
// would write for it; the message must be one line of bounded length. A crash, a sanitizer report or a broken rule
// is a finding.

#include "ftp/NMFtp.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string reply(reinterpret_cast<const char*>(data), size);

    const std::uint16_t extended = TNMFTP::extendedPassivePort(reply);
    if (extended != 0 && TNMFTP::extendedPassivePort("229 (|||" + std::to_string(extended) + "|)") != extended)
        std::abort();

    std::uint32_t address = 0;
    std::uint16_t port = 0;
    if (TNMFTP::passiveAddress(reply, address, port)) {
        if (port == 0)
            std::abort();
        const std::string again = "227 (" + std::to_string(address >> 24) + "," + std::to_string(address >> 16 & 255) +
                                  "," + std::to_string(address >> 8 & 255) + "," + std::to_string(address & 255) + "," +
                                  std::to_string(port >> 8) + "," + std::to_string(port & 255) + ")";
        std::uint32_t address2 = 0;
        std::uint16_t port2 = 0;
        if (!TNMFTP::passiveAddress(again, address2, port2) || address2 != address || port2 != port)
            std::abort();
    }

    for (const char* command : {"EPSV", "PASV"}) {
        const std::string message = TNMFTP::unreadablePassiveReply(command, reply);
        if (message.size() > 64 + TNMFTP::MaxQuotedReply + 3)
            std::abort();
        for (const char c : message)
            if (static_cast<unsigned char>(c) < 32 || c == 127)
                std::abort();
    }
    return 0;
}
