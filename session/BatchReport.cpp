#include "session/BatchReport.h"

#include "platform/OemText.h"

#include <cstdio>

namespace {

bool isControl(char16_t u)
{
    return u < 0x20 || u == 0x7F || (u >= 0x80 && u <= 0x9F) || u == 0x2028 || u == 0x2029;
}

std::string escaped(char16_t u)
{
    char text[12];
    std::snprintf(text, sizeof text, "\\u%04X", unsigned(u));
    return text;
}

// Text for a terminal or a file: every control character escaped, so that nothing written can steer a terminal.
std::string printable(const QString& text)
{
    std::string out;
    for (const QChar c : text)
        out += isControl(c.unicode()) ? escaped(c.unicode()) : QString(c).toUtf8().toStdString();
    return out;
}

std::string jsonString(const QString& text)
{
    std::string out = "\"";
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '"' || u == '\\')
            out += std::string("\\") + char(u);
        else if (isControl(u))
            out += escaped(u);
        else
            out += QString(c).toUtf8().toStdString();
    }
    return out + "\"";
}

std::string csvField(const QString& text)
{
    std::string out = "\"";
    for (const QChar c : text) {
        if (c == QLatin1Char('"'))
            out += "\"\"";
        else if (c == QLatin1Char('\n'))
            out += '\n';
        else
            out += isControl(c.unicode()) ? escaped(c.unicode()) : QString(c).toUtf8().toStdString();
    }
    return out + "\"";
}

} // namespace

QString BatchReport::lineText(const std::string& line)
{
    return OemToQString(line);
}

QString BatchReport::siteText(const std::string& key)
{
    return QString::fromUtf8(key.data(), qsizetype(key.size()));
}

QString BatchReport::summary(const SiteOutcome& outcome)
{
    if (outcome.step == SiteOutcome::Step::Failed)
        return lineText(failureLine(outcome.failure));
    return outcome.lines.empty() ? QString() : lineText(outcome.lines.front());
}

std::string BatchReport::folded(const std::vector<SiteOutcome>& outcomes)
{
    std::string out;
    for (const ReplyGroup& group : foldOutcomes(outcomes)) {
        std::string names;
        for (const std::size_t i : group.members)
            names += (names.empty() ? "" : ", ") + printable(siteText(outcomes[i].site));
        const std::size_t n = group.members.size();
        out += "== " + (n > 1 ? std::to_string(n) + " sites: " : std::string()) + names +
               (group.failed ? " (failed)" : "") + "\n";
        for (const std::string& line : group.lines)
            out += printable(lineText(line)) + "\n";
    }
    return out;
}

std::string BatchReport::jsonLines(const std::vector<SiteOutcome>& outcomes)
{
    std::string out;
    for (const SiteOutcome& o : outcomes) {
        std::string lines;
        for (const std::string& line : o.lines)
            lines += (lines.empty() ? "" : ", ") + jsonString(lineText(line));
        std::string error = "null";
        if (o.step == SiteOutcome::Step::Failed)
            error = jsonString(lineText(failureLine(o.failure)));
        else if (!o.ok() && !o.lines.empty())
            error = jsonString(lineText(o.lines.front()));
        out += "{\"site\": " + jsonString(siteText(o.site)) + ", \"ok\": " + (o.ok() ? "true" : "false") +
               ", \"code\": " + (o.code ? std::to_string(o.code) : std::string("null")) + ", \"lines\": [" + lines +
               "], \"error\": " + error + ", \"ms\": " + std::to_string(o.ms) + "}\n";
    }
    return out;
}

std::string BatchReport::csv(const std::vector<SiteOutcome>& outcomes)
{
    std::string out = "site,state,ms,code,first line,reply\r\n";
    for (const SiteOutcome& o : outcomes) {
        QStringList reply;
        for (const std::string& line : o.lines)
            reply << lineText(line);
        out += csvField(siteText(o.site)) + "," + stepWord(o.step) + "," + std::to_string(o.ms) + "," +
               (o.code ? std::to_string(o.code) : std::string()) + "," + csvField(summary(o)) + "," +
               csvField(reply.join(QLatin1Char('\n'))) + "\r\n";
    }
    return out;
}

std::string BatchReport::printableText(const QString& text)
{
    return printable(text);
}

std::string BatchReport::jsonText(const QString& text)
{
    return jsonString(text);
}

std::string BatchReport::csvText(const QString& text)
{
    return csvField(text);
}
