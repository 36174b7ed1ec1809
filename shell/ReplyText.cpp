#include "shell/ReplyText.h"

#include "platform/OemText.h"

namespace {

// Characters of code 32 or below count as blanks at a text's ends: blanks, control codes, CR and LF.
bool blank(char c)
{
    return static_cast<unsigned char>(c) <= 32;
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
