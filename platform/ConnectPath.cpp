#include "platform/ConnectPath.h"

#include "platform/ProxyProtocol.h"
#include "platform/Socket.h"

#include <algorithm>
#include <cctype>

namespace {

bool isHex(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

int hexValue(char c)
{
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// Letters, digits, '-', '.' and '_': what a host name is made of (the underscore for the names of internal hosts
// that have one).
bool isNameCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

bool fail(std::string* error, std::string why)
{
    if (error)
        *error = std::move(why);
    return false;
}

bool decodeUser(std::string_view encoded, std::string& user, std::string* error)
{
    user.clear();
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            user.push_back(encoded[i]);
            continue;
        }
        if (i + 2 >= encoded.size() || !isHex(encoded[i + 1]) || !isHex(encoded[i + 2]))
            return fail(error, "The connection path's user name holds a % that is not followed by two hex digits");
        user.push_back(char(hexValue(encoded[i + 1]) * 16 + hexValue(encoded[i + 2])));
        i += 2;
    }
    if (user.empty())
        return fail(error, "The connection path's user name before the @ is empty");
    if (user.size() > MaxProxyCredential)
        return fail(error, "The connection path's user name is longer than 255 bytes");
    for (const char c : user)
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            return fail(error, "The connection path's user name holds a control character");
    return true;
}

bool readHost(std::string_view text, std::string& host, std::string* error)
{
    if (text.empty())
        return fail(error, "The connection path names no proxy host: write it as socks5://host:port or "
                           "http://host:port");
    if (text.front() == '[') {
        SocketAddress address;
        if (text.back() != ']' || !parseAddressLiteral(std::string(text), address) || !address.isIpv6())
            return fail(error, "The connection path's proxy address " + shownBytes(text, 60) +
                                   " is not an IPv6 address in brackets");
        host = std::string(text.substr(1, text.size() - 2));
        return true;
    }
    if (text.size() > 253 || !std::all_of(text.begin(), text.end(), isNameCharacter) || text.front() == '.' ||
        text.front() == '-' || text.find("..") != std::string_view::npos)
        return fail(error,
                    "The connection path's proxy host " + shownBytes(text, 60) + " is not a host name or address");
    host = std::string(text);
    return true;
}

bool readPort(std::string_view text, std::uint16_t& port, std::string* error)
{
    if (text.empty())
        return fail(error, "The connection path names no proxy port: write it after the host, as in "
                           "socks5://proxy.example:1080");
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || (value = value * 10 + unsigned(c - '0')) > 65535)
            return fail(error, "The connection path's proxy port must be a number from 1 to 65535");
    }
    if (value == 0 || text.size() > 5)
        return fail(error, "The connection path's proxy port must be a number from 1 to 65535");
    port = std::uint16_t(value);
    return true;
}

std::string encodeUser(const std::string& user)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : user) {
        const auto u = static_cast<unsigned char>(c);
        // RFC 3986's unreserved characters stand as they are; everything else is written as %XX.
        if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        }
    }
    return out;
}

const char* schemeOf(ProxyKind kind)
{
    return kind == ProxyKind::Socks5 ? "socks5" : "http";
}

} // namespace

std::string ConnectPath::url() const
{
    if (isDirect())
        return std::string();
    const bool ipv6 = host.find(':') != std::string::npos;
    return std::string(schemeOf(kind)) + "://" + (user.empty() ? std::string() : encodeUser(user) + "@") +
           (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string ConnectPath::hopName() const
{
    if (isDirect())
        return "the direct connection";
    const bool ipv6 = host.find(':') != std::string::npos;
    return std::string(kind == ProxyKind::Socks5 ? "the SOCKS5 proxy " : "the HTTP proxy ") +
           (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<ConnectPath> parseConnectPath(std::string_view text, std::string* error)
{
    if (error)
        error->clear();
    if (text.empty())
        return ConnectPath();
    for (const char c : text)
        if (static_cast<unsigned char>(c) <= 32 || c == 127) {
            fail(error, "The connection path holds a blank or a control character");
            return std::nullopt;
        }
    const std::size_t schemeEnd = text.find("://");
    std::string scheme(text.substr(0, schemeEnd == std::string_view::npos ? 0 : schemeEnd));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](char c) { return char(std::tolower(c)); });
    ConnectPath path;
    if (scheme == "socks5") {
        path.kind = ProxyKind::Socks5;
    } else if (scheme == "http") {
        path.kind = ProxyKind::Http;
    } else {
        fail(error, "The connection path must be empty (a direct connection), socks5://[user@]host:port or "
                    "http://[user@]host:port");
        return std::nullopt;
    }
    std::string_view rest = text.substr(schemeEnd + 3);
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    if (rest.find_first_of("/?#") != std::string_view::npos) {
        fail(error,
             "The connection path has more after its host and port: only " + scheme + "://[user@]host:port is read");
        return std::nullopt;
    }
    const std::size_t at = rest.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view userinfo = rest.substr(0, at);
        if (userinfo.find(':') != std::string_view::npos) {
            fail(error, "The connection path's URL holds a password: the proxy's password is not written in the URL "
                        "but kept apart, as the site's password is");
            return std::nullopt;
        }
        if (!decodeUser(userinfo, path.user, error))
            return std::nullopt;
        rest.remove_prefix(at + 1);
    }
    // The port follows the last colon outside the brackets of an IPv6 address.
    const std::size_t closing = rest.rfind(']');
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos || (closing != std::string_view::npos && colon < closing)) {
        if (!readHost(rest, path.host, error))
            return std::nullopt;
        readPort("", path.port, error);
        return std::nullopt;
    }
    if (!readHost(rest.substr(0, colon), path.host, error) || !readPort(rest.substr(colon + 1), path.port, error))
        return std::nullopt;
    return path;
}
