#pragma once

#include <optional>
#include <string>

// Secrets typed at a terminal, for the command-line tools: without echo, and the terminal given back as it was
// however the program ends, an interrupt included.
namespace Terminal {

// Puts the terminal back before SIGINT, SIGTERM, SIGHUP or SIGQUIT end the program as they would have.
void restoreOnSignals();

// A secret: typed at the terminal without echo after the prompt (on standard error), or the next line of standard
// input when that is not a terminal. None at the end of the input.
std::optional<std::string> readSecret(const char* prompt);

} // namespace Terminal
