#pragma once

#include "platform/PasswordMask.h" // the password mask, which the engine shares

#include <QString>
#include <QStringList>
#include <string>
#include <string_view>

// What the console does with a status text before a person reads it. The password mask is the engine's
// (platform/PasswordMask.h), included here for the window's callers.

// The text without the characters of code 32 or below at its start and end; at its end only.
std::string TrimmedLine(std::string_view text);
std::string TrimmedRight(std::string_view text);

// How a line of the daemon's shows in a text box: code page 437 as sent, one line whatever bytes it holds (a CR,
// a form feed or a NUL inside it shows as its control picture, never as a line break), and a line longer than
// MaxShownLine characters cut, with a marker that says how long it was.
inline constexpr qsizetype MaxShownLine = 4096;
QString ShownLine(std::string_view line);

// The SITE command words a "SITE HELP" reply line names: words of two or more capital letters.
QStringList HelpWords(std::string_view line);

// What the command box completes stays a list a person can pick from, however long a daemon's help: one reply
// teaches at most MaxHelpWordsLearned new words, and the list holds at most MaxCommandWords in all.
inline constexpr int MaxHelpWordsLearned = 200;
inline constexpr int MaxCommandWords = 300;
