// The password decipher on arbitrary stored values: a value that deciphers gives back a plain text that enciphers
// and deciphers to itself; any other value gives the empty text. Nothing it is handed may crash it.

#include "sitebook/Diamond.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static TDiamond* const cipher = [] {
        auto* c = new TDiamond;
        c->SetKey(std::string(DiamondConsoleKey));
        return c;
    }();
    const std::string value(reinterpret_cast<const char*>(data), size);
    const std::string plain = cipher->DecipherString(value);
    if (plain.empty())
        return 0;
    if (plain.size() + TDiamond::BlockSize + 1 > value.size())
        std::abort(); // more plain text than the value had room for
    if (cipher->DecipherString(cipher->EncipherString(plain)) != plain)
        std::abort();
    return 0;
}
