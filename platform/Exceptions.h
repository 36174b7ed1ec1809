#pragma once

#include <cstdint>
#include <exception>
#include <string>

// What ended an operation, for callers that act on the kind of failure (a hint to the operator, a batch's summary,
// whether to reconnect) rather than on its words, which stay the engine's own.
enum class FailureKind : std::uint8_t {
    Other,       // anything else: a local fault, a store that cannot be written
    Lookup,      // the host name was not found
    Refused,     // the host refused the connection: nothing listens on the port
    Unreachable, // the host could not be reached
    TimedOut,    // a connection, a reply or a handshake did not come in the time allowed
    Cancelled,   // the operator ended the wait
    Tls,         // the TLS handshake failed, or TLS was required and refused
    Certificate, // the server's certificate was neither verified nor pinned, or is not the pinned one
    Lost,        // the connection ended under way
    DaemonReply, // the daemon refused the command with a 4xx or 5xx reply
    Line,        // a line that cannot go out whole; nothing of it was sent
};

// The standard exception base of the console. Every failure that ends a handler is one of these (or derives from
// it) and carries the exact text that the standard error box shows. The message is kept as bytes: a daemon's
// reply line may hold any byte, a NUL included, so callers read message() rather than what().
class Exception : public std::exception {
public:
    explicit Exception(std::string message, FailureKind kind = FailureKind::Other)
        : msg_(std::move(message)), kind_(kind)
    {}
    const char* what() const noexcept override { return msg_.c_str(); }
    const std::string& message() const noexcept { return msg_; }
    FailureKind kind() const noexcept { return kind_; }

private:
    std::string msg_;
    FailureKind kind_;
};
