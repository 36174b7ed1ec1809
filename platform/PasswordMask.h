#pragma once

#include <string>
#include <string_view>

// The password mask: what every place that shows, logs or keeps a command line does to the password on it. The
// engine's session log uses it as the window's boxes and the command history do.

// What a hidden password shows as.
inline constexpr std::string_view PasswordMask = "*****";

// A command line with its password hidden: everything after "PASS", after "SITE CHPASS <user>" and after
// "SITE ADDUSER <user> <group>" shows as PasswordMask, whatever the blanks before and between the words and the
// case of the words. Any other line comes back as it is. The daemon still receives the password; only what is
// shown, logged and kept hides it. Every place that shows, logs or keeps a command line goes through this.
std::string MaskedLine(std::string_view line);

// The same for a custom command, the text typed after "SITE " ("CHPASS bob s3cret" -> "CHPASS bob *****").
std::string MaskedCommand(std::string_view command);
// Whether a custom command's password is the mask itself: a command recalled from the history, whose password
// must be typed again before it can go.
bool HidesPassword(std::string_view command);
// A custom command with its password (the mask, say) replaced by password.
std::string WithPassword(std::string_view command, std::string_view password);
