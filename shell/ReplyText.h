#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <string_view>

// What the console does with a status text before a person reads it.

// The text without the characters of code 32 or below at its start and end; at its end only.
std::string TrimmedLine(std::string_view text);
std::string TrimmedRight(std::string_view text);

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

// How a line of the daemon's shows in a text box: code page 437 as sent, one line whatever bytes it holds (a CR,
// a form feed or a NUL inside it shows as its control picture, never as a line break), and a line longer than
// MaxShownLine characters cut, with a marker that says how long it was.
inline constexpr qsizetype MaxShownLine = 4096;
QString ShownLine(std::string_view line);

// The SITE command words a "SITE HELP" reply line names: words of two or more capital letters.
QStringList HelpWords(std::string_view line);
