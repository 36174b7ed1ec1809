#pragma once

#include <exception>
#include <string>

// The standard exception base of the console. Every failure that ends a handler is one of these (or derives from
// it) and carries the exact text that the standard error box shows. The message is kept as bytes: a daemon's
// reply line may hold any byte, a NUL included, so callers read message() rather than what().
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : msg_(std::move(message)) {}
    const char* what() const noexcept override { return msg_.c_str(); }
    const std::string& message() const noexcept { return msg_; }

private:
    std::string msg_;
};
