#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What the engine says to a proxy to open a tunnel, and the readers of what the proxy answers: SOCKS5 (RFC 1928)
// with its user/password method (RFC 1929), and HTTP CONNECT (RFC 9110) with Basic authentication. Plain functions
// over bytes, with no socket: the socket component sends the requests and feeds the readers what has come so far.
//
// A reader looks at the bytes from the start of the answer: More means they are not all there yet, Done that the
// answer is whole (its length says where the site's own bytes begin), Bad that no proxy answers so (text says why,
// in words for the operator). An answer is never longer than its kind allows: an HTTP header past MaxHeaderBytes
// is Bad however it goes on, and SOCKS5's answers are a few hundred bytes at most.

struct ProxyReply {
    enum class State : std::uint8_t { More, Done, Bad };
    State state = State::More;
    std::size_t length = 0; // Done: the bytes the answer takes
    int code = 0;           // Done: SOCKS5's method, status or reply code; HTTP's status code
    std::string text;       // Done (HTTP): the status line, as shownBytes shows it; Bad: what is wrong
};

namespace Socks5 {

inline constexpr int NoAuthentication = 0x00;
inline constexpr int UserPassword = 0x02;
inline constexpr int NoAcceptableMethod = 0xFF;
inline constexpr int Succeeded = 0x00;
// The longest host name a CONNECT request can carry.
inline constexpr std::size_t MaxHostName = 255;

// The methods offered: no authentication, and with a user name also user and password.
std::string greeting(bool offerUserPassword);
// The method the proxy chose (code).
ProxyReply readMethodChoice(std::string_view bytes);
// User and password of 1 to 255 bytes each.
std::string userPasswordRequest(const std::string& user, const std::string& password);
// The status of the user/password check (code; 0 took them).
ProxyReply readUserPasswordStatus(std::string_view bytes);
// A CONNECT for the host as it is named (the proxy looks the name up), or for the address an address literal
// gives; the host at most MaxHostName bytes.
std::string connectRequest(const std::string& host, std::uint16_t port);
// The reply to CONNECT (code: 0 succeeded, else why not).
ProxyReply readConnectReply(std::string_view bytes);
// A reply code in words ("connection refused").
std::string replyText(int code);

} // namespace Socks5

namespace HttpProxy {

inline constexpr std::size_t MaxHeaderBytes = 16384;

// CONNECT host:port, with Proxy-Authorization: Basic when a user is given.
std::string connectRequest(const std::string& host, std::uint16_t port, const std::string& user,
                           const std::string& password);
// The status line and the header of an answer, up to the empty line that ends them; its body, if it has one, is
// not read. A 1xx answer is Done like any other: the caller reads the next one after it.
ProxyReply readConnectReply(std::string_view bytes);

} // namespace HttpProxy

// The bytes as one line for the operator: printable ASCII as it is, every other byte as \xNN, cut after `most`
// bytes with "...".
std::string shownBytes(std::string_view bytes, std::size_t most = 120);

std::string base64Encode(std::string_view bytes);
