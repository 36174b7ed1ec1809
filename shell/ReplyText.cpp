#include "shell/ReplyText.h"

#include "platform/OemText.h"

#include <cctype>

namespace {

// Characters of code 32 or below count as blanks at a text's ends: blanks, control codes, CR and LF.
bool blank(char c)
{
    return static_cast<unsigned char>(c) <= 32;
}

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

std::string TrimmedRight(std::string_view text)
{
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
}

std::string TrimmedLine(std::string_view text)
{
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    return TrimmedRight(text);
}

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

QString ShownLine(std::string_view line)
{
    const std::size_t length = line.size();
    const bool cut = length > std::size_t(MaxShownLine);
    QString shown = OemToQString(cut ? line.substr(0, std::size_t(MaxShownLine)) : line);
    for (QChar& c : shown) {
        const char16_t u = c.unicode();
        if (u < 32 && u != '\t')
            c = QChar(char16_t(0x2400 + u)); // the control picture: a CR shows as a CR, not as a line break
        else if (u == 0x7f)
            c = QChar(char16_t(0x2421));
    }
    if (cut)
        shown += QStringLiteral(" \u2026 [line cut: %1 bytes]").arg(qulonglong(length));
    return shown;
}

QStringList HelpWords(std::string_view line)
{
    QStringList words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        std::size_t end = i;
        while (end < line.size() && line[end] != ' ')
            ++end;
        const std::string_view word = line.substr(i, end - i);
        bool capitals = word.size() >= 2;
        for (char c : word)
            capitals = capitals && c >= 'A' && c <= 'Z';
        if (capitals && word != "SITE")
            words << QString::fromLatin1(word.data(), qsizetype(word.size()));
        i = end;
    }
    return words;
}
