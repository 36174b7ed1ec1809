#include "platform/PasswordMask.h"

#include <cctype>

namespace {

bool separator(char c)
{
    return c == ' ' || c == '\t';
}

// A word of a line: [start, end); start == npos when there is none.
struct Word {
    std::size_t start = std::string_view::npos;
    std::size_t end = std::string_view::npos;
    explicit operator bool() const { return start != std::string_view::npos; }
};

// The next word at or after from.
Word nextWord(std::string_view line, std::size_t from)
{
    while (from < line.size() && separator(line[from]))
        ++from;
    if (from >= line.size())
        return Word{};
    std::size_t end = from;
    while (end < line.size() && !separator(line[end]))
        ++end;
    return Word{from, end};
}

bool isWord(std::string_view line, Word word, std::string_view upper)
{
    if (word.end - word.start != upper.size())
        return false;
    for (std::size_t i = 0; i < upper.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(line[word.start + i])) != upper[i])
            return false;
    return true;
}

// Where a command line's password starts (the rest of the line is the password, as the daemon takes it), or npos
// when the line carries none. The password starts right after the one separator that follows the word before it.
std::size_t passwordAt(std::string_view line)
{
    Word word = nextWord(line, 0);
    if (!word)
        return std::string_view::npos;
    int before = 0; // the words between the command word and the password
    if (isWord(line, word, "PASS")) {
        before = 0;
    } else if (isWord(line, word, "SITE")) {
        word = nextWord(line, word.end);
        if (word && isWord(line, word, "CHPASS"))
            before = 1; // the user
        else if (word && isWord(line, word, "ADDUSER"))
            before = 2; // the user and the group
        else
            return std::string_view::npos;
    } else {
        return std::string_view::npos;
    }
    for (int i = 0; i < before && word; ++i)
        word = nextWord(line, word.end);
    if (!word || !nextWord(line, word.end))
        return std::string_view::npos; // nothing but blanks after it: no password on this line
    return word.end + 1;
}

} // namespace

std::string MaskedLine(std::string_view line)
{
    const std::size_t at = passwordAt(line);
    if (at == std::string_view::npos)
        return std::string(line);
    return std::string(line.substr(0, at)) + std::string(PasswordMask);
}

namespace {

constexpr std::string_view kSite = "SITE ";

std::string asLine(std::string_view command)
{
    return std::string(kSite) + std::string(command);
}

} // namespace

std::string MaskedCommand(std::string_view command)
{
    return MaskedLine(asLine(command)).substr(kSite.size());
}

bool HidesPassword(std::string_view command)
{
    const std::string line = asLine(command);
    const std::size_t at = passwordAt(line);
    return at != std::string_view::npos && std::string_view(line).substr(at) == PasswordMask;
}

std::string WithPassword(std::string_view command, std::string_view password)
{
    const std::string line = asLine(command);
    const std::size_t at = passwordAt(line);
    if (at == std::string_view::npos)
        return std::string(command);
    return line.substr(kSite.size(), at - kSite.size()) + std::string(password);
}
