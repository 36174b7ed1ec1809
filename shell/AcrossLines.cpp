#include "shell/AcrossLines.h"

#include "platform/Decimal.h"
#include "platform/Exceptions.h"
#include "platform/OemText.h"
#include "session/BatchReport.h"
#include "session/Journal.h"
#include "shell/ListGatherer.h"

#include <QSet>

#include <algorithm>
#include <cstdint>
#include <map>

namespace {

QStringList once(const QStringList& names)
{
    QStringList kept;
    QSet<QString> seen;
    for (const QString& name : names)
        if (!name.isEmpty() && !seen.contains(name)) {
            seen.insert(name);
            kept << name;
        }
    return kept;
}

std::string latin1(const QString& text)
{
    return QStringToLatin1(text);
}

} // namespace

QStringList Across::usersOf(const std::vector<std::string>& reply)
{
    // Read as the router reads a "SITE USERS" reply on USER MAiNT: the command's own line is counted first, then
    // every reply line up to the totals line.
    TListGatherer gatherer;
    gatherer.GatheringUsers = true;
    gatherer.userPageLine("SITE USERS");
    for (const std::string& line : reply) {
        if (!gatherer.GatheringUsers)
            break;
        gatherer.userPageLine(line);
    }
    return once(gatherer.UserNames);
}

QStringList Across::groupsOf(const std::vector<std::string>& reply)
{
    // The group header starts the names, a line empty once trimmed ends them, as on GROUP MAiNT.
    TListGatherer gatherer;
    for (const std::string& line : reply)
        gatherer.groupPageLine(line);
    return once(gatherer.GroupNames);
}

QString Across::presenceWord(Presence presence)
{
    switch (presence) {
    case Presence::Present:
        return QStringLiteral("present");
    case Presence::Missing:
        return QStringLiteral("missing");
    case Presence::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

Across::Matrix Across::matrix(const std::vector<std::optional<QStringList>>& namesBySite)
{
    Matrix m;
    std::vector<QSet<QString>> onSite(namesBySite.size());
    QSet<QString> all;
    for (std::size_t s = 0; s < namesBySite.size(); ++s)
        if (namesBySite[s])
            for (const QString& name : *namesBySite[s]) {
                onSite[s].insert(name);
                all.insert(name);
            }
    m.names = QStringList(all.begin(), all.end());
    std::sort(m.names.begin(), m.names.end(), [](const QString& a, const QString& b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    for (const QString& name : m.names) {
        std::vector<Presence> row;
        for (std::size_t s = 0; s < namesBySite.size(); ++s)
            row.push_back(!namesBySite[s]            ? Presence::Unknown
                          : onSite[s].contains(name) ? Presence::Present
                                                     : Presence::Missing);
        m.cells.push_back(std::move(row));
    }
    return m;
}

std::vector<Across::SideReply> Across::sideBySide(const std::vector<QStringList>& replies)
{
    std::vector<SideReply> sides(replies.size());
    if (replies.empty())
        return sides;
    // The reply most sites gave word for word.
    std::map<QStringList, std::size_t> count;
    for (const QStringList& reply : replies)
        ++count[reply];
    std::size_t common = 0;
    for (std::size_t i = 1; i < replies.size(); ++i)
        if (count[replies[i]] > count[replies[common]])
            common = i;
    for (std::size_t i = 0; i < replies.size(); ++i) {
        SideReply& side = sides[i];
        side.common = replies[i] == replies[common];
        // The diff's lines in the site's own order: those both have, and those only the site has.
        for (const QString& line : journalDiff(replies[common], replies[i])) {
            if (line.startsWith(QLatin1String("- ")))
                continue;
            side.lines << line.mid(2);
            side.differs.push_back(line.startsWith(QLatin1String("+ ")));
        }
    }
    return sides;
}

QString Across::changeName(Change change)
{
    switch (change) {
    case Change::AddMask:
        return QStringLiteral("Add an IP mask");
    case Change::RemoveMask:
        return QStringLiteral("Remove an IP mask");
    case Change::Flags:
        return QStringLiteral("Change the flags");
    case Change::Password:
        return QStringLiteral("Change the password");
    case Change::Give:
        return QStringLiteral("Give credits");
    case Change::Take:
        return QStringLiteral("Take credits");
    case Change::Group:
        return QStringLiteral("Change the group");
    case Change::AddWhereMissing:
        return QStringLiteral("Add the user where missing");
    case Change::Delete:
        break;
    }
    return QStringLiteral("Delete the user");
}

bool Across::forMissing(Change change)
{
    return change == Change::AddWhereMissing;
}

const std::vector<Across::FlagName>& Across::flagNames()
{
    static const std::vector<FlagName> names{
        {"DISABLED", "DiSABLED"}, {"USEREDIT", "USEREDiT"}, {"NUKE", "NUKE"},
        {"COLOR", "COLOR"},       {"GROUPOP", "GROUPOP"},   {"KILL", "KiLL"},
        {"BETA", "BETA"},         {"LEECH", "LEECH"},       {"QUIET", "QUiET"},
    };
    return names;
}

std::vector<std::string> Across::changeLines(Change change, const ChangeInput& input)
{
    const std::string user = latin1(input.user);
    if (user.empty())
        throw Exception("Pick the user first.");
    switch (change) {
    case Change::AddMask:
    case Change::RemoveMask:
        if (input.mask.isEmpty())
            throw Exception("Type the IP mask first (ident@host, such as *@10.0.0.*).");
        return {std::string(change == Change::AddMask ? "ADDIDENTD " : "DELIDENTD ") + user + " " + latin1(input.mask)};
    case Change::Flags: {
        std::vector<std::string> lines;
        const std::vector<FlagName>& names = flagNames();
        for (std::size_t i = 0; i < names.size(); ++i) {
            const bool ticked = i < input.flags.size() && input.flags[i];
            lines.push_back("CHFLAG " + user + " " + names[i].keyword + (ticked ? " YES" : " NO"));
        }
        return lines;
    }
    case Change::Password:
        if (input.password.isEmpty())
            throw Exception("Type the new password first.");
        return {"CHPASS " + user + " " + latin1(input.password)};
    case Change::Give:
    case Change::Take: {
        if (input.amount == QLatin1String("0"))
            throw Exception("Type how many MB first: 0 sends nothing.");
        const DecimalRead read = readDecimal(input.amount, DecimalSigns::PlusOrMinus);
        if (read.outcome != DecimalRead::Number)
            throw Exception("'" + latin1(input.amount) + "' is not a valid integer value");
        // Kilobytes in 32 bits, as the daemon counts them: amounts past 2097151 MB wrap around.
        const auto kilobytes = static_cast<std::int32_t>(static_cast<std::uint32_t>(read.value) << 10);
        return {std::string(change == Change::Give ? "GIVE " : "TAKE ") + std::to_string(kilobytes) + " " + user};
    }
    case Change::Group:
        if (input.group.isEmpty())
            throw Exception("Pick the new group first.");
        return {"CHGRP " + user + " " + latin1(input.group)};
    case Change::AddWhereMissing: {
        if (input.group.isEmpty())
            throw Exception("HEY MORON! - You MUST enter a UserName and select a Group first!");
        if (input.password.isEmpty())
            throw Exception("Type the new user's password first: a user without one cannot log in.");
        return {"ADDUSER " + user + " " + latin1(input.group), "CHPASS " + user + " " + latin1(input.password)};
    }
    case Change::Delete:
        break;
    }
    return {"DELUSER " + user};
}

BatchPlan Across::changePlan(Change change, const QString& user, const std::vector<std::string>& lines)
{
    BatchPlan plan;
    const std::string look = "USER " + latin1(user);
    // A user who is not there yet has nothing to show before: the look would only be refused.
    if (!forMissing(change))
        plan.lines.push_back(look);
    plan.lines.insert(plan.lines.end(), lines.begin(), lines.end());
    plan.lines.push_back(look);
    plan.lastLineAlways = true;
    return plan;
}

QString Across::changeSummary(const SiteOutcome& outcome, Change change)
{
    const std::size_t first = forMissing(change) ? 0 : 1;
    if (outcome.replies.size() < first + 2)
        return BatchReport::summary(outcome);
    for (const LineReply& reply : outcome.replies)
        if (!reply.ok() && reply.outcome != Outcome::NotRun)
            return BatchReport::summary(outcome);
    const LineReply& last = outcome.replies[outcome.replies.size() - 2];
    return last.lines.empty() ? QString() : BatchReport::lineText(last.lines.front());
}
