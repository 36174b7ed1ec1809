#include "session/BatchReport.h"

#include "platform/OemText.h"
#include "platform/PasswordMask.h"
#include "session/BatchWatch.h"
#include "sitebook/SiteBook.h"

#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <unordered_map>

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

// Appends one code point as UTF-8.
void appendUtf8(std::string& out, char32_t u)
{
    if (u < 0x80) {
        out += char(u);
    } else if (u < 0x800) {
        out += char(0xC0 | (u >> 6));
        out += char(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
        out += char(0xE0 | (u >> 12));
        out += char(0x80 | ((u >> 6) & 0x3F));
        out += char(0x80 | (u & 0x3F));
    } else {
        out += char(0xF0 | (u >> 18));
        out += char(0x80 | ((u >> 12) & 0x3F));
        out += char(0x80 | ((u >> 6) & 0x3F));
        out += char(0x80 | (u & 0x3F));
    }
}

// The text as UTF-8, code point by code point, each control character (and a lone surrogate) escaped, and with
// quotes escaped as well for JSON.
std::string encoded(const QString& text, bool json)
{
    std::string out;
    out.reserve(std::size_t(text.size()));
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text[i].unicode();
        if (json && (u == '"' || u == '\\')) {
            out += '\\';
            out += char(u);
        } else if (isControl(u)) {
            out += escaped(u);
        } else if (QChar::isHighSurrogate(u) && i + 1 < n && QChar::isLowSurrogate(text[i + 1].unicode())) {
            appendUtf8(out, QChar::surrogateToUcs4(u, text[++i].unicode()));
        } else if (QChar::isSurrogate(u)) {
            out += escaped(u);
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

std::string jsonString(const QString& text)
{
    return "\"" + encoded(text, true) + "\"";
}

std::string jsonBytes(const std::string& line)
{
    return jsonString(BatchReport::lineText(line));
}

std::string jsonLatin1(const std::string& text)
{
    return jsonString(Latin1ToQString(text));
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

std::string printableLine(const std::string& line)
{
    return BatchReport::printable(BatchReport::lineText(line));
}

bool isScript(const std::vector<SiteOutcome>& outcomes)
{
    for (const SiteOutcome& outcome : outcomes)
        if (outcome.replies.size() > 1)
            return true;
    return false;
}

// The one JSON object of a site or of one of its lines.
std::string jsonObject(const SiteOutcome& o, const LineReply* reply, std::size_t number)
{
    std::string lines;
    std::string error = "null";
    Outcome outcome = o.outcome;
    int code = 0;
    bool ok = false;
    if (reply) {
        for (const std::string& line : reply->lines)
            lines += (lines.empty() ? "" : ", ") + jsonBytes(line);
        outcome = reply->outcome;
        code = reply->code;
        ok = reply->ok();
        if (reply->outcome == Outcome::Refused && !reply->lines.empty())
            error = jsonBytes(reply->lines.front());
        else if (!ok)
            error = jsonBytes(reply->outcome == Outcome::NotRun ? std::string("not run") : failureLine(reply->failure));
    } else if (o.ended()) {
        error = jsonBytes(failureLine(o.failure));
    }
    return "{\"site\": " + jsonString(BatchReport::siteText(o.site)) + ", \"ok\": " + (ok ? "true" : "false") +
           ", \"code\": " + (code ? std::to_string(code) : std::string("null")) + ", \"lines\": [" + lines +
           "], \"error\": " + error + ", \"ms\": " + std::to_string(o.ms) + ", \"outcome\": \"" + outcomeWord(outcome) +
           "\", \"line\": " + (reply ? std::to_string(number) : std::string("null")) +
           ", \"command\": " + (reply ? jsonLatin1(MaskedCommand(reply->command)) : std::string("null")) +
           ", \"note\": " + (o.note.empty() ? std::string("null") : jsonLatin1(o.note)) + "}\n";
}

} // namespace

QString BatchReport::lineText(const std::string& line)
{
    return OemToQString(line);
}

QString BatchReport::siteText(const std::string& key)
{
    return SiteBook::shownName(QString::fromUtf8(key.data(), qsizetype(key.size())));
}

std::string BatchReport::printable(const QString& text)
{
    return encoded(text, false);
}

QString BatchReport::summary(const SiteOutcome& outcome)
{
    if (outcome.replies.empty())
        return outcome.ended() && outcome.outcome != Outcome::Ok ? lineText(failureLine(outcome.failure)) : QString();
    // The first line that did not end ok says what became of the site; else the last reply's first line.
    for (const LineReply& reply : outcome.replies) {
        if (reply.ok() || reply.outcome == Outcome::NotRun)
            continue;
        if (reply.outcome == Outcome::Refused && !reply.lines.empty())
            return lineText(reply.lines.front());
        return lineText(failureLine(reply.failure));
    }
    const std::vector<std::string>& lines = outcome.lines();
    return lines.empty() ? QString() : lineText(lines.front());
}

std::string BatchReport::groupHeader(const std::vector<SiteOutcome>& outcomes, const ReplyGroup& group,
                                     std::size_t names, bool withOutcome)
{
    std::string text;
    const std::size_t n = group.members.size();
    const std::size_t shown = names ? std::min(names, n) : n;
    for (std::size_t i = 0; i < shown; ++i)
        text += (i ? ", " : "") + printable(siteText(outcomes[group.members[i]].site));
    if (shown < n)
        text += " ...";
    if (n > 1)
        text = std::to_string(n) + " sites: " + text;
    if (withOutcome && group.outcome != Outcome::Ok)
        text += std::string(" (") + outcomeWord(group.outcome) + ")";
    return text;
}

std::string BatchReport::folded(const std::vector<SiteOutcome>& outcomes, bool script)
{
    script = script || isScript(outcomes);
    std::string out;
    for (const ReplyGroup& group : BatchFold::fold(outcomes, script)) {
        out += "== " + groupHeader(outcomes, group) + "\n";
        for (const std::string& line : group.lines)
            out += printableLine(line) + "\n";
    }
    return out;
}

std::string BatchReport::differences(const std::vector<SiteOutcome>& outcomes, bool script)
{
    script = script || isScript(outcomes);
    const std::vector<ReplyGroup> groups = BatchFold::fold(outcomes, script);
    if (groups.empty())
        return {};
    std::string out = "== " + groupHeader(outcomes, groups.front()) + "\n";
    for (const std::string& line : groups.front().lines)
        out += printableLine(line) + "\n";
    if (groups.size() == 1)
        return out;
    std::vector<std::string> largest;
    for (const std::string& line : groups.front().lines)
        largest.push_back(printableLine(line));
    const std::string largestName = groupHeader(outcomes, groups.front(), 3);
    for (std::size_t g = 1; g < groups.size(); ++g) {
        std::vector<std::string> other;
        for (const std::string& line : groups[g].lines)
            other.push_back(printableLine(line));
        out += "\n== " + groupHeader(outcomes, groups[g]) + "\n";
        for (const std::string& line :
             BatchFold::unifiedDiff(largest, other, largestName, groupHeader(outcomes, groups[g], 3)))
            out += line + "\n";
    }
    return out;
}

std::string BatchReport::jsonSite(const SiteOutcome& outcome)
{
    if (outcome.replies.empty())
        return jsonObject(outcome, nullptr, 0);
    std::string out;
    for (std::size_t i = 0; i < outcome.replies.size(); ++i)
        out += jsonObject(outcome, &outcome.replies[i], i + 1);
    return out;
}

std::string BatchReport::jsonLines(const std::vector<SiteOutcome>& outcomes)
{
    std::string out;
    for (const SiteOutcome& outcome : outcomes)
        out += jsonSite(outcome);
    return out;
}

std::string BatchReport::jsonRecap(const std::vector<SiteOutcome>& outcomes)
{
    const BatchFold::Recap counts = BatchFold::recap(outcomes);
    std::string out = "{\"recap\": {\"sites\": " + std::to_string(outcomes.size());
    for (int kind = 0; kind < OutcomeCount; ++kind)
        out += std::string(", \"") + outcomeWord(Outcome(kind)) + "\": " + std::to_string(counts[std::size_t(kind)]);
    return out + "}}\n";
}

std::string BatchReport::csv(const std::vector<SiteOutcome>& outcomes, bool script)
{
    script = script || isScript(outcomes);
    std::string out = "site,state,ms,code,first line,reply,outcome\r\n";
    for (const SiteOutcome& o : outcomes) {
        QStringList reply;
        for (const std::string& line : BatchFold::transcript(o, script))
            reply << lineText(line);
        out += csvField(siteText(o.site)) + "," + stepWord(o.step) + "," + std::to_string(o.ms) + "," +
               (o.code() ? std::to_string(o.code()) : std::string()) + "," + csvField(summary(o)) + "," +
               csvField(reply.join(QLatin1Char('\n'))) + "," + outcomeWord(o.outcome) + "\r\n";
    }
    return out;
}

std::string BatchReport::dryRun(const std::vector<BatchSite>& sites, const BatchPlan& plan)
{
    std::string out;
    for (const BatchSite& site : sites) {
        out += "== " + printable(siteText(site.key)) + " (" + printable(Latin1ToQString(site.record.host)) + ":" +
               std::to_string(site.record.portNumber()) + ")\n";
        if (const std::optional<std::string> why = BatchPlanning::cannotLogIn(site.key, site.record)) {
            out += std::string(outcomeWord(Outcome::LoginRefused)) + ": " + printable(Latin1ToQString(*why)) + "\n";
            continue;
        }
        for (const std::string& line : BatchPlanning::linesFor(site.record, plan))
            out += printable(Latin1ToQString(line)) + "\n";
    }
    return out;
}

std::string BatchReport::dryRunJson(const std::vector<BatchSite>& sites, const BatchPlan& plan)
{
    std::string out;
    for (const BatchSite& site : sites) {
        out += "{\"site\": " + jsonString(siteText(site.key)) + ", \"outcome\": \"" + outcomeWord(Outcome::NotRun) +
               "\", ";
        if (const std::optional<std::string> why = BatchPlanning::cannotLogIn(site.key, site.record)) {
            out += "\"send\": [], \"error\": " + jsonLatin1(*why) + "}\n";
            continue;
        }
        std::string lines;
        for (const std::string& line : BatchPlanning::linesFor(site.record, plan))
            lines += (lines.empty() ? "" : ", ") + jsonLatin1(line);
        out += "\"send\": [" + lines + "], \"error\": null}\n";
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

namespace {

// The changed lines of a site's text, as a key that sites with the same changes share.
std::string changesKey(Outcome outcome, const std::vector<LineChange>& changes)
{
    std::string key(1, char('0' + int(outcome)));
    for (const LineChange& change : changes)
        if (change.mark != LineChange::Mark::Same) {
            key += '\n';
            key += change.mark == LineChange::Mark::Added ? '+' : '-';
            key += change.line;
        }
    return key;
}

std::string roundTime(const QDateTime& time, bool iso)
{
    if (iso)
        return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate).toStdString();
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
}

} // namespace

std::string BatchReport::watchRound(const TBatchWatch& watch)
{
    const std::vector<SiteOutcome>& outcomes = watch.batch().outcomes();
    std::string out = "-- round " + std::to_string(watch.round()) + ", " + roundTime(watch.roundTime(), false) + ": " +
                      BatchFold::recapLine(BatchFold::recap(outcomes)) + "\n";
    const bool script = watch.batch().plan().lines.size() != 1;
    // The sites seen for the first time, whole and folded.
    std::vector<SiteOutcome> first;
    for (std::size_t i = 0; i < outcomes.size(); ++i)
        if (watch.firstSight(i))
            first.push_back(outcomes[i]);
    out += folded(first, script);
    // The others by what changed, the largest group first.
    std::vector<ReplyGroup> groups;
    std::unordered_map<std::string, std::size_t> groupOf;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (!watch.changed(i))
            continue;
        const auto [at, fresh] = groupOf.try_emplace(changesKey(outcomes[i].outcome, watch.changes(i)), groups.size());
        if (fresh)
            groups.push_back(ReplyGroup{{}, outcomes[i].outcome, {}});
        groups[at->second].members.push_back(i);
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [](const ReplyGroup& a, const ReplyGroup& b) { return a.members.size() > b.members.size(); });
    for (const ReplyGroup& group : groups) {
        out += "== " + groupHeader(outcomes, group) + "\n";
        for (const LineChange& change : watch.changes(group.members.front()))
            if (change.mark != LineChange::Mark::Same)
                out += (change.mark == LineChange::Mark::Added ? "+" : "-") + printableLine(change.line) + "\n";
    }
    return out;
}

std::string BatchReport::jsonWatchSite(const TBatchWatch& watch, std::size_t index)
{
    if (!watch.firstSight(index) && !watch.changed(index))
        return {};
    const SiteOutcome& o = watch.batch().outcomes()[index];
    std::string added, removed;
    for (const LineChange& change : watch.changes(index)) {
        std::string& list = change.mark == LineChange::Mark::Added ? added : removed;
        if (change.mark != LineChange::Mark::Same)
            list += (list.empty() ? "" : ", ") + jsonBytes(change.line);
    }
    return "{\"round\": " + std::to_string(watch.round()) + ", \"time\": \"" + roundTime(watch.roundTime(), true) +
           "\", \"site\": " + jsonString(siteText(o.site)) + ", \"outcome\": \"" + outcomeWord(o.outcome) +
           "\", \"code\": " + (o.code() ? std::to_string(o.code()) : std::string("null")) + ", \"added\": [" + added +
           "], \"removed\": [" + removed + "], \"error\": " + (o.ok() ? std::string("null") : jsonString(summary(o))) +
           ", \"note\": " + (o.note.empty() ? std::string("null") : jsonLatin1(o.note)) + "}\n";
}
