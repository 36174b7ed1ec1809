#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How a connection reaches its site: directly, or through a proxy that opens a tunnel to the site for it. The proxy
// step sits under everything else the connection carries (TLS, the log-in, the listings): the site's certificate is
// checked against the site's own host name, end to end, as if there were no proxy, and every data connection of a
// log-in takes the same path as its control connection.
//
// SOCKS5 is asked for the site by its host name, which the proxy looks up: the console itself looks up only the
// proxy's name, never the site's. An HTTP proxy is asked with CONNECT host:port the same way.

enum class ProxyKind : std::uint8_t {
    Direct, // no proxy
    Socks5, // SOCKS version 5, without authentication or with a user name and password
    Http    // HTTP CONNECT, without authentication or with Basic authentication
};

struct ConnectPath {
    ProxyKind kind = ProxyKind::Direct;
    std::string host;       // the proxy's host name or address literal (an IPv6 one without its brackets)
    std::uint16_t port = 0; // the proxy's port
    std::string user;       // empty: the proxy is offered no user name and password
    // The proxy's password. It is no part of the URL form: it is kept apart, as a site's password is.
    std::string password;

    bool isDirect() const { return kind == ProxyKind::Direct; }
    // The URL form without the password ("socks5://op@proxy.example:1080"), which parseConnectPath reads back as
    // the same path; empty for a direct path.
    std::string url() const;
    // How the operator is told about this hop: "the SOCKS5 proxy proxy.example:1080".
    std::string hopName() const;

    friend bool operator==(const ConnectPath&, const ConnectPath&) = default;
};

// The one reader of the URL form, for everything that takes a connection path from a person or a file:
//   ""                           direct
//   socks5://[user@]host:port    SOCKS5
//   http://[user@]host:port      HTTP CONNECT
// The scheme is read in either case; the user name may be percent-encoded (an "@" in it as %40) and is at most 255
// bytes; the host is a name, a dotted IPv4 address or an IPv6 address in brackets; the port is required (1 to
// 65535). One "/" may close the URL; nothing else may follow the port. A password written in the URL
// ("user:secret@") is refused, so that it is never stored in the clear beside the path. On failure: none, and
// `error` says why in a sentence for the operator.
std::optional<ConnectPath> parseConnectPath(std::string_view text, std::string* error = nullptr);

// The longest user name and password a proxy is given (SOCKS5's user/password method holds each in 255 bytes).
inline constexpr std::size_t MaxProxyCredential = 255;
