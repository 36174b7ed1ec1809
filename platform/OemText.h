#pragma once

#include <QString>
#include <string>
#include <string_view>

// The daemon speaks 8-bit text. Its reply lines are shown as code page 437 (the OEM set), so that the
// line-drawing characters of its tables show as drawn; names and operator input travel as Latin-1.
// Both mappings are one-to-one over the 256 byte values, so text converted for display and back is the same bytes.

QString OemToQString(std::string_view bytes);
std::string QStringToOem(const QString& text); // characters outside the set become '?'

QString Latin1ToQString(std::string_view bytes);
std::string QStringToLatin1(const QString& text); // characters outside Latin-1 become '?'
