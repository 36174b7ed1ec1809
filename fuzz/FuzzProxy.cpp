// The readers of the proxies' answers on arbitrary bytes, as a SOCKS5 or HTTP proxy might send them, and the
// connection path's URL reader on the same bytes as text. The first byte picks the reader, the rest is the answer.
// Rules that must hold: an answer that is Done is no longer than the bytes and reads the same from those bytes
// alone, and reads Done again with anything after it (those bytes are the site's); one that wants More still
// wants More, or is Done or Bad, with fewer bytes; the text of an HTTP status line or of a refusal is one line of
// printable characters; a path that is read writes a URL that reads back as the same path. A crash, a sanitizer
// report or a broken rule is a finding.

#include "platform/ConnectPath.h"
#include "platform/ProxyProtocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool rule)
{
    if (!rule)
        std::abort();
}

bool oneLine(const std::string& text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            return false;
    return text.size() <= 1000;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    using Reader = ProxyReply (*)(std::string_view);
    static constexpr Reader readers[] = {Socks5::readMethodChoice, Socks5::readUserPasswordStatus,
                                         Socks5::readConnectReply, HttpProxy::readConnectReply};
    const Reader read = readers[data[0] % std::size(readers)];
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    const ProxyReply reply = read(bytes);
    check(oneLine(reply.text));
    switch (reply.state) {
    case ProxyReply::State::Done: {
        check(reply.length > 0 && reply.length <= bytes.size());
        const ProxyReply alone = read(bytes.substr(0, reply.length));
        check(alone.state == ProxyReply::State::Done && alone.length == reply.length && alone.code == reply.code);
        const ProxyReply followed = read(std::string(bytes) + "220 ready\r\n");
        check(followed.state == ProxyReply::State::Done && followed.length == reply.length);
        break;
    }
    case ProxyReply::State::More:
        check(read(bytes.substr(0, bytes.size() / 2)).state != ProxyReply::State::Bad || bytes.size() < 2);
        check(bytes.size() < HttpProxy::MaxHeaderBytes);
        break;
    case ProxyReply::State::Bad:
        check(!reply.text.empty());
        break;
    }

    std::string error;
    if (const std::optional<ConnectPath> path = parseConnectPath(bytes, &error)) {
        check(error.empty());
        check(parseConnectPath(path->url()) == path);
        check(oneLine(path->hopName()));
    } else {
        check(!error.empty() && oneLine(error));
    }
    return 0;
}
