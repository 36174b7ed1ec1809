#include "platform/ProxyProtocol.h"

#include "platform/Socket.h"

#include <cstring>

namespace {

ProxyReply more()
{
    return ProxyReply();
}

ProxyReply bad(std::string why)
{
    ProxyReply r;
    r.state = ProxyReply::State::Bad;
    r.text = std::move(why);
    return r;
}

ProxyReply done(std::size_t length, int code, std::string text = std::string())
{
    ProxyReply r;
    r.state = ProxyReply::State::Done;
    r.length = length;
    r.code = code;
    r.text = std::move(text);
    return r;
}

std::uint8_t byteAt(std::string_view bytes, std::size_t i)
{
    return static_cast<std::uint8_t>(bytes[i]);
}

ProxyReply notSocks(std::string_view bytes)
{
    return bad("answered with bytes that are no SOCKS5 reply: " + shownBytes(bytes.substr(0, 16), 16));
}

std::string hostAndPort(const std::string& host, std::uint16_t port)
{
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::string shownBytes(std::string_view bytes, std::size_t most)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 32 && c < 127 && c != '\\') {
            out.push_back(char(c));
        } else {
            out += "\\x";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    if (bytes.size() > most)
        out += "...";
    return out;
}

std::string base64Encode(std::string_view bytes)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const std::uint32_t n =
            std::uint32_t(byteAt(bytes, i)) << 16 | std::uint32_t(byteAt(bytes, i + 1)) << 8 | byteAt(bytes, i + 2);
        out += {alphabet[n >> 18], alphabet[n >> 12 & 63], alphabet[n >> 6 & 63], alphabet[n & 63]};
    }
    if (i + 1 == bytes.size()) {
        const std::uint32_t n = std::uint32_t(byteAt(bytes, i)) << 16;
        out += {alphabet[n >> 18], alphabet[n >> 12 & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const std::uint32_t n = std::uint32_t(byteAt(bytes, i)) << 16 | std::uint32_t(byteAt(bytes, i + 1)) << 8;
        out += {alphabet[n >> 18], alphabet[n >> 12 & 63], alphabet[n >> 6 & 63], '='};
    }
    return out;
}

// ---------------------------------------------------------------------------------------------------------------
// SOCKS5

std::string Socks5::greeting(bool offerUserPassword)
{
    if (offerUserPassword)
        return std::string("\x05\x02\x00\x02", 4);
    return std::string("\x05\x01\x00", 3);
}

ProxyReply Socks5::readMethodChoice(std::string_view bytes)
{
    if (bytes.empty())
        return more();
    if (byteAt(bytes, 0) != 5)
        return notSocks(bytes);
    if (bytes.size() < 2)
        return more();
    return done(2, byteAt(bytes, 1));
}

std::string Socks5::userPasswordRequest(const std::string& user, const std::string& password)
{
    std::string request(1, '\x01');
    request.push_back(char(std::uint8_t(user.size())));
    request += user;
    request.push_back(char(std::uint8_t(password.size())));
    request += password;
    return request;
}

ProxyReply Socks5::readUserPasswordStatus(std::string_view bytes)
{
    if (bytes.empty())
        return more();
    // The sub-negotiation's version is 1; some proxies answer with SOCKS's own 5, which means no harm.
    if (byteAt(bytes, 0) != 1 && byteAt(bytes, 0) != 5)
        return notSocks(bytes);
    if (bytes.size() < 2)
        return more();
    return done(2, byteAt(bytes, 1));
}

std::string Socks5::connectRequest(const std::string& host, std::uint16_t port)
{
    std::string request("\x05\x01\x00", 3);
    SocketAddress address;
    if (parseAddressLiteral(host, address) && address.isIpv4()) {
        request.push_back('\x01');
        const std::uint32_t v4 = address.ipv4();
        for (int shift = 24; shift >= 0; shift -= 8)
            request.push_back(char(v4 >> shift & 255));
    } else if (parseAddressLiteral(host, address) && address.isIpv6()) {
        request.push_back('\x04');
        request.append(reinterpret_cast<const char*>(address.ipv6Bytes().data()), 16);
    } else {
        request.push_back('\x03');
        request.push_back(char(std::uint8_t(host.size())));
        request += host;
    }
    request.push_back(char(port >> 8));
    request.push_back(char(port & 255));
    return request;
}

ProxyReply Socks5::readConnectReply(std::string_view bytes)
{
    if (bytes.empty())
        return more();
    if (byteAt(bytes, 0) != 5)
        return notSocks(bytes);
    if (bytes.size() < 4)
        return more();
    // VER REP RSV ATYP, then the bound address of its type and a port of two bytes.
    std::size_t length = 0;
    switch (byteAt(bytes, 3)) {
    case 1:
        length = 4 + 4 + 2;
        break;
    case 3:
        if (bytes.size() < 5)
            return more();
        length = 4 + 1 + std::size_t(byteAt(bytes, 4)) + 2;
        break;
    case 4:
        length = 4 + 16 + 2;
        break;
    default:
        // A refusal may come with no usable address at all; its code is still the proxy's word.
        if (byteAt(bytes, 1) != Succeeded)
            return done(4, byteAt(bytes, 1));
        return bad("answered with an address of an unknown type (" + std::to_string(byteAt(bytes, 3)) + ")");
    }
    if (bytes.size() < length)
        return more();
    return done(length, byteAt(bytes, 1));
}

std::string Socks5::replyText(int code)
{
    switch (code) {
    case 0:
        return "succeeded";
    case 1:
        return "general SOCKS server failure";
    case 2:
        return "connection not allowed by its rules";
    case 3:
        return "network unreachable";
    case 4:
        return "host unreachable";
    case 5:
        return "connection refused";
    case 6:
        return "TTL expired";
    case 7:
        return "command not supported";
    case 8:
        return "address type not supported";
    default:
        return "unknown reply " + std::to_string(code);
    }
}

// ---------------------------------------------------------------------------------------------------------------
// HTTP CONNECT

std::string HttpProxy::connectRequest(const std::string& host, std::uint16_t port, const std::string& user,
                                      const std::string& password)
{
    const std::string target = hostAndPort(host, port);
    std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    if (!user.empty())
        request += "Proxy-Authorization: Basic " + base64Encode(user + ":" + password) + "\r\n";
    request += "\r\n";
    return request;
}

ProxyReply HttpProxy::readConnectReply(std::string_view bytes)
{
    // "HTTP/1.1 200 ..." from the first bytes on: anything else is no HTTP proxy, and is told at once rather than
    // after its whole header has been waited for.
    static constexpr std::string_view prefix = "HTTP/";
    const std::size_t known = std::min(bytes.size(), prefix.size());
    if (bytes.substr(0, known) != prefix.substr(0, known))
        return bad("answered with something that is no HTTP reply: " + shownBytes(bytes.substr(0, 60), 60));
    const std::size_t lineEnd = bytes.find('\n');
    const std::string_view statusLine =
        bytes.substr(0, lineEnd == std::string_view::npos ? std::min(bytes.size(), MaxHeaderBytes) : lineEnd);
    // HTTP/d.d SP ddd: the status code stands after the version's blank.
    if (statusLine.size() >= 12 || lineEnd != std::string_view::npos) {
        const bool shaped = statusLine.size() >= 12 && isDigit(statusLine[5]) && statusLine[6] == '.' &&
                            isDigit(statusLine[7]) && statusLine[8] == ' ' && isDigit(statusLine[9]) &&
                            isDigit(statusLine[10]) && isDigit(statusLine[11]) &&
                            (statusLine.size() == 12 || statusLine[12] == ' ' || statusLine[12] == '\r');
        if (!shaped)
            return bad("answered with a status line that cannot be read: " + shownBytes(statusLine, 120));
    }
    // The header ends with an empty line (CR LF CR LF, or a bare LF LF from a careless proxy).
    std::size_t end = std::string_view::npos;
    for (std::size_t at = bytes.find('\n'); at != std::string_view::npos; at = bytes.find('\n', at + 1)) {
        const std::size_t next = at + 1;
        if (next < bytes.size() && bytes[next] == '\n') {
            end = next + 1;
            break;
        }
        if (next + 1 < bytes.size() && bytes[next] == '\r' && bytes[next + 1] == '\n') {
            end = next + 2;
            break;
        }
        if (next >= MaxHeaderBytes)
            break;
    }
    if (end == std::string_view::npos || end > MaxHeaderBytes) {
        if (bytes.size() >= MaxHeaderBytes)
            return bad("sent a header longer than " + std::to_string(MaxHeaderBytes) + " bytes");
        return more();
    }
    std::string_view line = statusLine;
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    const int code = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    return done(end, code, shownBytes(line, 200));
}
