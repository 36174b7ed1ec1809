#include "sim/SiteCommands.h"

#include "sim/Connection.h"
#include "sim/FileArea.h"
#include "sim/Server.h"
#include "sim/SiteState.h"
#include "sim/TextTable.h"

#include <QCryptographicHash>
#include <QDateTime>

#include <algorithm>
#include <optional>

namespace sim {

namespace {

constexpr const char* kSiteName = "Quillon";
constexpr int kMaxIdents = 10;
constexpr int kDefaultTop = 10;

Reply usage(const QByteArray& text)
{
    return Reply::error(501, "Usage: SITE " + text);
}

Reply noUser(const QByteArray& name)
{
    return Reply::error(550, "No such user: " + name);
}

Reply noGroup(const QByteArray& name)
{
    return Reply::error(550, "No such group: " + name);
}

Reply denied()
{
    return Reply::error(550, "Permission denied.");
}

Reply badName(const char* what, const QByteArray& name)
{
    return Reply::error(501, QByteArray("Bad ") + what + " name: " + name + " (1 to 10 characters, no blanks or '/')");
}

// A whole decimal number within [min, max], sign allowed, nothing else around it.
std::optional<qint64> parseNumber(const QByteArray& text, qint64 min, qint64 max)
{
    if (text.isEmpty())
        return std::nullopt;
    bool ok = false;
    const qint64 v = text.toLongLong(&ok, 10);
    if (!ok || v < min || v > max)
        return std::nullopt;
    return v;
}

QByteArray pad10(const QByteArray& name)
{
    return name.leftJustified(10, ' ', true);
}

QByteArray megabytes(qint64 bytes)
{
    return QByteArray::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 1);
}

QByteArray duration(qint64 seconds)
{
    seconds = std::max<qint64>(0, seconds);
    return QByteArray::number(seconds / 3600).rightJustified(2, '0') + ':' +
           QByteArray::number(seconds / 60 % 60).rightJustified(2, '0') + ':' +
           QByteArray::number(seconds % 60).rightJustified(2, '0');
}

qint64 now()
{
    return QDateTime::currentSecsSinceEpoch();
}

QByteArray rank(int i)
{
    return QByteArray::number(i + 1).rightJustified(2, '0');
}

// The name lines of a user listing: up to six names a line in the cells at 2, 13, 26, 39, 52 and 65.
QList<QByteArray> userNameLines(const QList<QByteArray>& names)
{
    QList<QByteArray> out;
    for (qsizetype i = 0; i < names.size(); i += 6) {
        QByteArray line = " ";
        for (qsizetype j = 0; j < 6 && i + j < names.size(); ++j) {
            if (j == 1)
                line += ' ';
            else if (j >= 2)
                line += "   ";
            line += pad10(names[i + j]);
        }
        out.append(line);
    }
    return out;
}

// The name lines of the group listing: up to seven names a line in the cells at 2, 13, 24, 35, 46, 57, 68.
QList<QByteArray> groupNameLines(const QList<QByteArray>& names)
{
    QList<QByteArray> out;
    for (qsizetype i = 0; i < names.size(); i += 7) {
        QByteArray line = " ";
        for (qsizetype j = 0; j < 7 && i + j < names.size(); ++j)
            line += pad10(names[i + j]) + ' ';
        out.append(line);
    }
    return out;
}

QList<QByteArray> textLines(const QByteArray& text)
{
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray& l : lines) {
        if (l.endsWith('\r'))
            l.chop(1);
    }
    return lines;
}

Reply tableReply(const QByteArray& title, const TextTable& table, const QByteArray& footer)
{
    ReplyBuilder b;
    b.line(title);
    for (const QByteArray& l : table.render())
        b.line(l);
    if (!footer.isEmpty())
        b.line(footer);
    return b.close("221");
}

std::optional<int> topCount(const QByteArray& arg)
{
    if (arg.isEmpty())
        return kDefaultTop;
    const auto n = parseNumber(arg, 1, 100);
    return n ? std::optional<int>(static_cast<int>(*n)) : std::nullopt;
}

bool isZip(const QByteArray& name)
{
    return name.toLower().endsWith(".zip");
}

QByteArray crc(const QByteArray& seed)
{
    return QCryptographicHash::hash(seed, QCryptographicHash::Md5).toHex().left(8);
}

struct ZipEntry {
    QByteArray name;
    qint64 size;
};

// What is inside a ZIP archive of the file area. The archives hold no real bytes, so their contents are
// derived from the archive's name and size: the same archive always lists the same way.
QList<ZipEntry> zipEntries(const Node& zip, const Node* parent)
{
    QByteArray stem = zip.name.left(zip.name.size() - 4);
    const Node* diz = parent ? parent->child("file_id.diz") : nullptr;
    QList<ZipEntry> out = {
        {"file_id.diz", diz ? diz->size : 128},
        {"readme.txt", 1800 + zip.size % 900},
        {stem + ".exe", zip.size * 2 / 5},
        {stem + ".dat", zip.size * 9 / 10},
    };
    return out;
}

} // namespace

SiteCommands::Words SiteCommands::split(const QByteArray& raw)
{
    Words w;
    w.raw = raw;
    qsizetype i = 0;
    while (i < raw.size()) {
        while (i < raw.size() && raw[i] == ' ')
            ++i;
        if (i >= raw.size())
            break;
        const qsizetype start = i;
        while (i < raw.size() && raw[i] != ' ')
            ++i;
        w.words.append(raw.mid(start, i - start));
        w.starts.append(start);
    }
    return w;
}

QByteArray SiteCommands::Words::restAfter(qsizetype i) const
{
    if (i >= words.size())
        return {};
    const qsizetype end = starts[i] + words[i].size();
    return end + 1 <= raw.size() ? raw.mid(end + 1) : QByteArray();
}

const User* SiteCommands::me() const
{
    return server_.state().findUser(session_.user());
}

bool SiteCommands::may(quint32 flags) const
{
    const User* u = me();
    return u && (u->has(FlagKolvane) || (u->flags & flags) != 0);
}

Reply SiteCommands::run(const QByteArray& args)
{
    const Words all = split(args);
    if (all.size() == 0)
        return Reply::error(501, "Usage: SITE <command> [arguments]; SITE HELP lists them.");
    const QByteArray word = all[0].toUpper();
    const Words w = split(all.restAfter(0));

    if (word == "USERS")
        return users(w);
    if (word == "USER")
        return user(w);
    if (word == "GROUPS")
        return groups(w);
    if (word == "ADDUSER")
        return addUser(w);
    if (word == "DELUSER")
        return delUser(w);
    if (word == "CHGRP")
        return chgrp(w);
    if (word == "CHPASS")
        return chpass(w);
    if (word == "CHLOGINS")
        return chlogins(w);
    if (word == "CHRATIO")
        return chratio(w);
    if (word == "ADDIDENTD")
        return addIdent(w);
    if (word == "DELIDENTD")
        return delIdent(w);
    if (word == "CHFLAG")
        return chflag(w);
    if (word == "GIVE")
        return credit(w, true);
    if (word == "TAKE")
        return credit(w, false);
    if (word == "ADDGROUP")
        return addGroup(w);
    if (word == "DELGROUP")
        return delGroup(w);
    if (word == "WEEKTOP")
        return weekTop(w);
    if (word == "USERTOP")
        return userTop(w);
    if (word == "GROUPTOP")
        return groupTop(w);
    if (word == "WHO")
        return who(w);
    if (word == "KILL")
        return kill(w);
    if (word == "NEW")
        return newDirs(w);
    if (word == "NUKES")
        return nukes(w);
    if (word == "NUKE")
        return nuke(w);
    if (word == "NFO" || word == "DIZ")
        return showText(w, word);
    if (word == "ZIPLIST")
        return zip(w, false);
    if (word == "ZIPCHK")
        return zip(w, true);
    if (word == "HELP")
        return help();
    QByteArray shown = all[0].left(32);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 32)
            c = '?';
    }
    return Reply::error(500, "'SITE " + shown + "': command not understood.");
}

// ---- users and groups ------------------------------------------------------------------------------------------

Reply SiteCommands::users(const Words& w)
{
    if (w.size() > 1)
        return usage("USERS [group or flag]");
    const SiteState& s = server_.state();
    const QByteArray arg = w[0];
    std::optional<quint32> flag;
    // The role keywords come first: "SITE USERS LEECH" means the leeches even if a group were called so.
    for (const FlagName& f : kFlagNames) {
        if (arg == f.keyword)
            flag = f.bit;
    }
    const bool byGroup = !arg.isEmpty() && !flag;
    if (byGroup && !const_cast<SiteState&>(s).findGroup(arg))
        return Reply::error(550, "No such group or flag: " + arg);

    QList<QByteArray> names;
    for (const User& u : s.users) {
        if ((flag && !u.has(*flag)) || (byGroup && u.group != arg))
            continue;
        names.append(u.name);
    }
    std::sort(names.begin(), names.end(), [](const QByteArray& a, const QByteArray& b) {
        const int c = qstricmp(a.constData(), b.constData());
        return c != 0 ? c < 0 : a < b;
    });

    ReplyBuilder b;
    QByteArray totals = "Totals: " + QByteArray::number(names.size()) + (names.size() == 1 ? " user" : " users");
    if (flag) {
        b.line("Users with flag " + arg + " on site " + kSiteName + ':');
        totals += " with flag " + arg;
    } else if (byGroup) {
        b.line("Users in group " + arg + " on site " + kSiteName + ':');
        totals += " in group " + arg;
    } else {
        b.line(QByteArray("User list of site ") + kSiteName + ':');
        totals += " in " + QByteArray::number(s.groups.size()) + " groups";
    }
    for (const QByteArray& l : userNameLines(names))
        b.raw(l);
    // Clients read the name cells of every line up to and including this one, so the totals stand behind
    // 74 blanks: no cell holds anything, and the trimmed line still reads "200- Totals...".
    b.raw(QByteArray(74, ' ') + "200- " + totals);
    return b.close("250");
}

Reply SiteCommands::user(const Words& w)
{
    if (w.size() != 1)
        return usage("USER <name>");
    const User* u = server_.state().findUser(w[0]);
    if (!u)
        return noUser(w[0]);
    auto traffic = [](const Traffic& t) {
        return QByteArray::number(t.files) + " files, " + megabytes(t.bytes) + " MB";
    };
    QByteArray idents;
    for (const QByteArray& i : u->idents)
        idents += (idents.isEmpty() ? "" : " ") + i;
    ReplyBuilder b;
    b.line("User " + u->name + " (group " + u->group + ")")
        .line("  Flags      : " + flagKeywords(u->flags))
        .line("  Credits    : " + QByteArray::number(u->creditsKb) + " KB (" + megabytes(u->creditsKb * 1024) + " MB)")
        .line("  Ratio      : " + (u->ratio == 0 ? QByteArray("unlimited") : "1:" + QByteArray::number(u->ratio)))
        .line("  Max logins : " + (u->maxLogins == 0 ? QByteArray("no limit") : QByteArray::number(u->maxLogins)) +
              "    Logins so far: " + QByteArray::number(u->logins))
        .line("  Idents     : " + (idents.isEmpty() ? QByteArray("(none)") : idents))
        .line("  Week up    : " + traffic(u->weekUp) + "    Week down : " + traffic(u->weekDown))
        .line("  Total up   : " + traffic(u->allUp) + "    Total down: " + traffic(u->allDown))
        .line("  Password   : " + (u->passwordHash.isEmpty() ? QByteArray("not set") : QByteArray("set")))
        .line("  Added      : " + tableDate(u->added) + " by " + u->addedBy);
    return b.close("250");
}

Reply SiteCommands::groups(const Words& w)
{
    if (w.size() != 0)
        return usage("GROUPS");
    const SiteState& s = server_.state();
    QList<QByteArray> names;
    for (const Group& g : s.groups)
        names.append(g.name);
    ReplyBuilder b;
    b.raw("214- Available Groups :");
    for (const QByteArray& l : groupNameLines(names))
        b.raw(l);
    // A line that is blank once trimmed ends the clients' gathering, yet begins with a blank so the reply
    // goes on.
    b.raw(" ");
    b.raw("214- " + QByteArray::number(names.size()) + " groups, " + QByteArray::number(s.users.size()) + " users.");
    return b.close("250");
}

Reply SiteCommands::addUser(const Words& w)
{
    if (w.size() != 2)
        return usage("ADDUSER <user> <group>");
    if (!may(FlagUseredit))
        return denied();
    const QByteArray name = w[0];
    const QByteArray group = w[1];
    if (!isValidName(name))
        return badName("user", name);
    const QByteArray creator = session_.user();
    return server_.applyChange([&](SiteState& s) {
        if (s.findUser(name))
            return Reply::error(550, "User already exists: " + name);
        if (!s.findGroup(group))
            return noGroup(group);
        User u;
        u.name = name;
        u.group = group;
        u.added = now();
        u.addedBy = creator;
        s.users.append(u);
        return ReplyBuilder()
            .line("User " + name + " added to group " + group + '.')
            .line("Set a password with SITE CHPASS before " + name + " can log in.")
            .close("250");
    });
}

Reply SiteCommands::delUser(const Words& w)
{
    if (w.size() != 1)
        return usage("DELUSER <user>");
    if (!may(FlagUseredit))
        return denied();
    const QByteArray name = w[0];
    if (name == session_.user())
        return Reply::error(550, "You cannot delete your own account.");
    return server_.applyChange([&](SiteState& s) {
        if (!s.findUser(name))
            return noUser(name);
        s.users.removeIf([&](const User& u) { return u.name == name; });
        return ReplyBuilder().line("User " + name + " deleted.").close("250");
    });
}

Reply SiteCommands::chgrp(const Words& w)
{
    if (w.size() != 2)
        return usage("CHGRP <user> <group>");
    if (!may(FlagUseredit))
        return denied();
    return server_.applyChange([&](SiteState& s) {
        User* u = s.findUser(w[0]);
        if (!u)
            return noUser(w[0]);
        if (!s.findGroup(w[1]))
            return noGroup(w[1]);
        const QByteArray from = u->group;
        u->group = w[1];
        return ReplyBuilder().line("User " + u->name + " moved from group " + from + " to " + w[1] + '.').close("250");
    });
}

Reply SiteCommands::chpass(const Words& w)
{
    // The password is everything after the user name, exactly as sent.
    const QByteArray password = w.restAfter(0);
    if (w.size() < 2 || password.isEmpty())
        return usage("CHPASS <user> <password>");
    if (!may(FlagUseredit) && w[0] != session_.user())
        return denied();
    return server_.applyChange([&](SiteState& s) {
        User* u = s.findUser(w[0]);
        if (!u)
            return noUser(w[0]);
        u->setPassword(password);
        return ReplyBuilder().line("Password of " + u->name + " changed.").close("250");
    });
}

Reply SiteCommands::chlogins(const Words& w)
{
    return setUserNumber(w, 99, "CHLOGINS <user> <0-99> (0: no limit)", &User::maxLogins, "Max logins of ", "");
}

Reply SiteCommands::chratio(const Words& w)
{
    return setUserNumber(w, 100, "CHRATIO <user> <0-100> (0: unlimited)", &User::ratio, "Ratio of ", "1:");
}

// A user's number from 0 to max: CHLOGINS and CHRATIO.
Reply SiteCommands::setUserNumber(const Words& w, qint64 max, const char* usageText, int User::*field, const char* what,
                                  const char* prefix)
{
    const auto n = parseNumber(w[1], 0, max);
    if (w.size() != 2 || !n)
        return usage(usageText);
    if (!may(FlagUseredit))
        return denied();
    return server_.applyChange([&](SiteState& s) {
        User* u = s.findUser(w[0]);
        if (!u)
            return noUser(w[0]);
        u->*field = static_cast<int>(*n);
        return ReplyBuilder().line(what + u->name + " set to " + prefix + QByteArray::number(*n) + '.').close("250");
    });
}

Reply SiteCommands::addIdent(const Words& w)
{
    if (w.size() != 2)
        return usage("ADDIDENTD <user> <ident@host>");
    if (!may(FlagUseredit))
        return denied();
    const QByteArray mask = w[1];
    if (!mask.contains('@') || mask.size() > 64)
        return Reply::error(501, "Bad ident mask: " + mask.left(64) + " (ident@host, at most 64 characters)");
    return server_.applyChange([&](SiteState& s) {
        User* u = s.findUser(w[0]);
        if (!u)
            return noUser(w[0]);
        if (u->idents.contains(mask))
            return Reply::error(550, u->name + " already has the ident " + mask);
        if (u->idents.size() >= kMaxIdents)
            return Reply::error(550, u->name + " already has " + QByteArray::number(kMaxIdents) + " idents");
        u->idents.append(mask);
        return ReplyBuilder().line("Ident " + mask + " added to " + u->name + '.').close("250");
    });
}

Reply SiteCommands::delIdent(const Words& w)
{
    if (w.size() != 2)
        return usage("DELIDENTD <user> <ident@host>");
    if (!may(FlagUseredit))
        return denied();
    return server_.applyChange([&](SiteState& s) {
        User* u = s.findUser(w[0]);
        if (!u)
            return noUser(w[0]);
        if (!u->idents.removeOne(w[1]))
            return Reply::error(550, u->name + " has no ident " + w[1]);
        return ReplyBuilder().line("Ident " + w[1] + " removed from " + u->name + '.').close("250");
    });
}

Reply SiteCommands::chflag(const Words& w)
{
    if (w.size() != 3)
        return usage("CHFLAG <user> <flag> YES|NO");
    const auto flag = flagFromKeyword(w[1]);
    if (!flag)
        return Reply::error(501, "Unknown flag: " + w[1] +
                                     " (DISABLED KOLVANE USEREDIT NUKE COLOR GROUPOP KILL BETA LEECH QUIET)");
    const QByteArray value = w[2].toUpper();
    if (value != "YES" && value != "NO")
        return usage("CHFLAG <user> <flag> YES|NO");
    const bool on = value == "YES";
    if (!may(FlagUseredit) || (*flag == FlagKolvane && !may(0)))
        return denied();
    // An operator cannot lock himself out: the console would have no way back in.
    if (w[0] == session_.user() && ((*flag == FlagDisabled && on) || (*flag == FlagKolvane && !on)))
        return Reply::error(550, "You cannot lock yourself out of your own account.");
    return server_.applyChange([&](SiteState& s) {
        User* u = s.findUser(w[0]);
        if (!u)
            return noUser(w[0]);
        u->flags = on ? (u->flags | *flag) : (u->flags & ~*flag);
        return ReplyBuilder()
            .line("Flag " + w[1].toUpper() + " of " + u->name + " set to " + value + '.')
            .line("Flags of " + u->name + " now: " + flagKeywords(u->flags))
            .close("250");
    });
}

Reply SiteCommands::credit(const Words& w, bool give)
{
    // The amount is a signed 32-bit count of kilobytes, as clients compute it.
    const auto kb = parseNumber(w[0], INT32_MIN, INT32_MAX);
    if (w.size() != 2 || !kb)
        return usage(give ? "GIVE <kilobytes> <user>" : "TAKE <kilobytes> <user>");
    if (!may(FlagUseredit))
        return denied();
    const qint64 delta = give ? *kb : -*kb;
    return server_.applyChange([&](SiteState& s) {
        User* u = s.findUser(w[1]);
        if (!u)
            return noUser(w[1]);
        if (u->creditsKb + delta < 0)
            return Reply::error(550,
                                "Not enough credit: " + u->name + " has " + QByteArray::number(u->creditsKb) + " KB");
        u->creditsKb += delta;
        const QByteArray what = give ? "Gave " + QByteArray::number(*kb) + " KB of credit to "
                                     : "Took " + QByteArray::number(*kb) + " KB of credit from ";
        return ReplyBuilder()
            .line(what + u->name + '.')
            .line(u->name + " now has " + QByteArray::number(u->creditsKb) + " KB (" + megabytes(u->creditsKb * 1024) +
                  " MB).")
            .close("250");
    });
}

Reply SiteCommands::addGroup(const Words& w)
{
    if (w.size() != 1)
        return usage("ADDGROUP <group>");
    if (!may(0))
        return denied();
    const QByteArray name = w[0];
    if (!isValidName(name))
        return badName("group", name);
    if (flagFromKeyword(name))
        return Reply::error(550, "A group cannot be called like the flag " + name.toUpper() + '.');
    return server_.applyChange([&](SiteState& s) {
        if (s.findGroup(name))
            return Reply::error(550, "Group already exists: " + name);
        s.groups.append(Group{name, QByteArray()});
        return ReplyBuilder().line("Group " + name + " added.").close("250");
    });
}

Reply SiteCommands::delGroup(const Words& w)
{
    if (w.size() != 1 && w.size() != 2)
        return usage("DELGROUP <group> [group to move its members to]");
    if (!may(0))
        return denied();
    const QByteArray name = w[0];
    const QByteArray target = w[1];
    return server_.applyChange([&](SiteState& s) {
        if (!s.findGroup(name))
            return noGroup(name);
        const int members = s.memberCount(name);
        if (!target.isEmpty()) {
            if (!s.findGroup(target))
                return noGroup(target);
            if (target == name)
                return Reply::error(550, "Cannot move the members of " + name + " into " + name + " itself.");
        } else if (members > 0) {
            // Deleting a group must not leave its members in a group that no longer exists.
            return Reply::error(550, "Group " + name + " still has " + QByteArray::number(members) +
                                         " members; move them with SITE DELGROUP " + name + " <group>");
        }
        ReplyBuilder b;
        if (!target.isEmpty()) {
            for (User& u : s.users) {
                if (u.group == name)
                    u.group = target;
            }
            b.line(QByteArray::number(members) + (members == 1 ? " user" : " users") + " moved from " + name + " to " +
                   target + '.');
        }
        s.groups.removeIf([&](const Group& g) { return g.name == name; });
        return b.line("Group " + name + " deleted.").close("250");
    });
}

// ---- statistics and control ------------------------------------------------------------------------------------

Reply SiteCommands::weekTop(const Words& w)
{
    const auto count = topCount(w[0]);
    if (w.size() > 1 || !count)
        return usage("WEEKTOP [1-100]");
    QList<const User*> users;
    for (const User& u : server_.state().users)
        users.append(&u);
    std::stable_sort(users.begin(), users.end(),
                     [](const User* a, const User* b) { return a->weekUp.bytes > b->weekUp.bytes; });
    TextTable t({{"##", TextTable::Align::Right},
                 {"User"},
                 {"Group"},
                 {"Files", TextTable::Align::Right},
                 {"Megabytes", TextTable::Align::Right}});
    for (int i = 0; i < users.size() && i < *count; ++i) {
        const User* u = users[i];
        t.addRow({rank(i), u->name, u->group, QByteArray::number(u->weekUp.files), megabytes(u->weekUp.bytes)});
    }
    return tableReply(QByteArray("Top uploaders of the week on ") + kSiteName + ':', t, {});
}

Reply SiteCommands::userTop(const Words& w)
{
    const auto count = topCount(w[0]);
    if (w.size() > 1 || !count)
        return usage("USERTOP [1-100]");
    QList<const User*> users;
    for (const User& u : server_.state().users)
        users.append(&u);
    std::stable_sort(users.begin(), users.end(),
                     [](const User* a, const User* b) { return a->allUp.bytes > b->allUp.bytes; });
    TextTable t({{"##", TextTable::Align::Right},
                 {"User"},
                 {"Group"},
                 {"Up files", TextTable::Align::Right},
                 {"Up MB", TextTable::Align::Right},
                 {"Down MB", TextTable::Align::Right}});
    for (int i = 0; i < users.size() && i < *count; ++i) {
        const User* u = users[i];
        t.addRow({rank(i), u->name, u->group, QByteArray::number(u->allUp.files), megabytes(u->allUp.bytes),
                  megabytes(u->allDown.bytes)});
    }
    return tableReply(QByteArray("All-time top uploaders of ") + kSiteName + ':', t, {});
}

Reply SiteCommands::groupTop(const Words& w)
{
    const auto count = topCount(w[0]);
    if (w.size() > 1 || !count)
        return usage("GROUPTOP [1-100]");
    struct Row {
        QByteArray name;
        int members = 0;
        Traffic up;
    };
    QList<Row> rows;
    const SiteState& s = server_.state();
    for (const Group& g : s.groups) {
        Row r{g.name, 0, {}};
        for (const User& u : s.users) {
            if (u.group == g.name) {
                ++r.members;
                r.up.files += u.weekUp.files;
                r.up.bytes += u.weekUp.bytes;
            }
        }
        rows.append(r);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.up.bytes > b.up.bytes; });
    TextTable t({{"##", TextTable::Align::Right},
                 {"Group"},
                 {"Members", TextTable::Align::Right},
                 {"Files", TextTable::Align::Right},
                 {"Megabytes", TextTable::Align::Right}});
    for (int i = 0; i < rows.size() && i < *count; ++i) {
        t.addRow({rank(i), rows[i].name, QByteArray::number(rows[i].members), QByteArray::number(rows[i].up.files),
                  megabytes(rows[i].up.bytes)});
    }
    return tableReply(QByteArray("Top groups of the week on ") + kSiteName + ':', t, {});
}

Reply SiteCommands::who(const Words& w)
{
    if (w.size() != 0)
        return usage("WHO");
    const SiteState& s = server_.state();
    auto groupOf = [&s](const QByteArray& name) {
        const User* u = s.findUser(name);
        return u ? u->group : QByteArray("-");
    };
    TextTable t({{"PID", TextTable::Align::Right},
                 {"User"},
                 {"Group"},
                 {"Idle", TextTable::Align::Right},
                 {"Doing", TextTable::Align::Left, 30},
                 {"From"}});
    for (const Connection* session : server_.sessions()) {
        const QByteArray name = session->loggedIn() ? session->user() : QByteArray("-");
        t.addRow({QByteArray::number(session->pid()), name, session->loggedIn() ? groupOf(name) : QByteArray("-"),
                  duration(session->idleSeconds()), session->doing(), session->peer().toString().toLatin1()});
    }
    for (const Server::IdleLogin& l : server_.idleLogins()) {
        t.addRow({QByteArray::number(l.pid), l.user, groupOf(l.user), duration(now() - l.since), l.doing, l.from});
    }
    const QByteArray footer =
        QByteArray::number(t.rowCount()) + (t.rowCount() == 1 ? " login" : " logins") + " on " + kSiteName + '.';
    return tableReply("Who is on " + QByteArray(kSiteName) + ':', t, footer);
}

Reply SiteCommands::kill(const Words& w)
{
    const auto pid = parseNumber(w[0], 1, INT32_MAX);
    if (w.size() != 1 || !pid)
        return usage("KILL <pid>");
    if (!may(FlagKill))
        return denied();
    if (*pid == session_.pid())
        return Reply::error(550, "That is your own login; use QUIT.");
    if (Connection* target = server_.sessionByPid(static_cast<int>(*pid))) {
        const QByteArray name = target->loggedIn() ? target->user() : QByteArray("(not logged in)");
        target->kill("Killed by " + session_.user() + '.');
        return ReplyBuilder().line("Login " + w[0] + " of " + name + " killed.").close("221");
    }
    QList<Server::IdleLogin>& idle = server_.idleLogins();
    for (qsizetype i = 0; i < idle.size(); ++i) {
        if (idle[i].pid == *pid) {
            const QByteArray name = idle[i].user;
            idle.removeAt(i);
            return ReplyBuilder().line("Login " + w[0] + " of " + name + " killed.").close("221");
        }
    }
    return Reply::error(550, "No such process: " + w[0]);
}

Reply SiteCommands::newDirs(const Words& w)
{
    const auto count = parseNumber(w[0], 1, 100);
    if (w.size() != 1 || !count)
        return usage("NEW <1-100>");
    const QList<NewDir>& dirs = server_.state().newDirs;
    TextTable t({{"##", TextTable::Align::Right}, {"Made"}, {"By"}, {"Directory", TextTable::Align::Left, 60}});
    for (qsizetype i = dirs.size() - 1, n = 0; i >= 0 && n < *count; --i, ++n)
        t.addRow({rank(static_cast<int>(n)), tableDate(dirs[i].time), dirs[i].user, dirs[i].path});
    return tableReply("The last " + QByteArray::number(t.rowCount()) + " directories made on " + kSiteName + ':', t,
                      {});
}

Reply SiteCommands::nukes(const Words& w)
{
    const auto count = parseNumber(w[0], 1, 100);
    if (w.size() != 1 || !count)
        return usage("NUKES <1-100>");
    const QList<Nuke>& list = server_.state().nukes;
    TextTable t({{"When"},
                 {"Directory", TextTable::Align::Left, 60},
                 {"Mult", TextTable::Align::Right},
                 {"MB", TextTable::Align::Right},
                 {"Nuker"},
                 {"Reason", TextTable::Align::Left, 40}});
    for (qsizetype i = list.size() - 1, n = 0; i >= 0 && n < *count; --i, ++n) {
        const Nuke& k = list[i];
        t.addRow(
            {tableDate(k.time), k.path, QByteArray::number(k.multiplier) + 'x', megabytes(k.bytes), k.nuker, k.reason});
    }
    return tableReply("The last " + QByteArray::number(t.rowCount()) + " nukes on " + kSiteName + ':', t, {});
}

Reply SiteCommands::nuke(const Words& w)
{
    const auto multiplier = parseNumber(w[0], 1, 100);
    if (w.size() < 2 || !multiplier)
        return usage("NUKE <multiplier 1-100> <directory> [reason]");
    if (!may(FlagNuke))
        return denied();
    const QByteArray dirName = w[1];
    const QByteArray reason = w.restAfter(1);
    const QByteArray nuker = session_.user();
    const PathParts cwd = session_.cwd();
    QByteArray oldPath;
    QByteArray newPath;
    Reply reply = server_.applyChange([&](SiteState& s) {
        FileArea area(s.root);
        QByteArray error;
        const auto parts = area.resolve(cwd, dirName, FileArea::FinalLink::Keep, &error);
        if (!parts)
            return Reply::error(550, dirName + ": " + error + '.');
        Node* node = area.lookup(*parts);
        // Releases live inside the site's areas; the areas themselves (/incoming, /archive...) are not nuked.
        if (parts->size() < 2 || !node->isDir())
            return Reply::error(550, dirName + ": Not a release directory.");
        if (node->name.startsWith("[NUKED]-"))
            return Reply::error(550, dirName + ": Already nuked.");
        Node* parent = area.lookup(parts->mid(0, parts->size() - 1));
        const QByteArray nukedName = "[NUKED]-" + node->name;
        if (parent->child(nukedName))
            return Reply::error(550, dirName + ": " + nukedName + " already exists.");

        // A nuke takes the release's size times the multiplier from its uploader's credit, down to nothing.
        const qint64 bytes = node->treeBytes();
        const qint64 penaltyKb = bytes / 1024 * *multiplier;
        User* owner = s.findUser(node->owner);
        qint64 lostKb = 0;
        if (owner) {
            lostKb = std::min(owner->creditsKb, penaltyKb);
            owner->creditsKb = std::max<qint64>(0, owner->creditsKb - penaltyKb);
        }
        oldPath = joinPath(*parts);
        node->name = nukedName;
        PathParts renamed = *parts;
        renamed.last() = nukedName;
        newPath = joinPath(renamed);
        s.nukes.append(Nuke{now(), newPath, static_cast<int>(*multiplier), reason, nuker, node->owner, bytes});

        ReplyBuilder b;
        b.line(oldPath + " nuked " + QByteArray::number(*multiplier) + "x by " + nuker + ": " +
               (reason.isEmpty() ? QByteArray("(no reason given)") : reason))
            .line("Renamed to " + nukedName + " (" + megabytes(bytes) + " MB).");
        if (owner)
            b.line(owner->name + " loses " + QByteArray::number(lostKb) + " KB of credit.");
        return b.close("221");
    });
    if (!reply.isError())
        server_.renamePathPrefix(oldPath, newPath);
    return reply;
}

// ---- release viewing ------------------------------------------------------------------------------------------

Reply SiteCommands::showText(const Words& w, const QByteArray& command)
{
    const QByteArray path = w.raw.trimmed();
    if (path.isEmpty())
        return usage(command + " <file>");
    SiteState& s = const_cast<SiteState&>(server_.state());
    FileArea area(s.root);
    QByteArray error;
    const auto parts = area.resolve(session_.cwd(), path, FileArea::FinalLink::Follow, &error);
    if (!parts)
        return Reply::error(550, path + ": " + error + '.');
    const Node* node = area.lookup(*parts);
    if (node->kind != Node::Kind::File)
        return Reply::error(550, path + ": Not a plain file.");

    QByteArray text = node->text;
    if (text.isEmpty() && command == "DIZ" && isZip(node->name)) {
        // The description of an archive is the FILE_ID.DIZ packed into it, the one its release carries.
        const Node* parent = area.lookup(parts->mid(0, parts->size() - 1));
        const Node* diz = parent ? parent->child("file_id.diz") : nullptr;
        if (!diz || diz->text.isEmpty())
            return Reply::error(550, path + ": No FILE_ID.DIZ in this archive.");
        text = diz->text;
    }
    if (text.isEmpty())
        return Reply::error(550, path + ": Not a text file.");
    ReplyBuilder b;
    for (const QByteArray& l : textLines(text))
        b.line(l);
    return b.close("200 End of file.");
}

Reply SiteCommands::zip(const Words& w, bool check)
{
    const QByteArray path = w.raw.trimmed();
    if (path.isEmpty())
        return usage(check ? "ZIPCHK <file>" : "ZIPLIST <file>");
    SiteState& s = const_cast<SiteState&>(server_.state());
    FileArea area(s.root);
    QByteArray error;
    const auto parts = area.resolve(session_.cwd(), path, FileArea::FinalLink::Follow, &error);
    if (!parts)
        return Reply::error(550, path + ": " + error + '.');
    const Node* node = area.lookup(*parts);
    if (node->kind != Node::Kind::File || !isZip(node->name))
        return Reply::error(550, path + ": Not a ZIP archive.");
    const QList<ZipEntry> entries = zipEntries(*node, area.lookup(parts->mid(0, parts->size() - 1)));

    ReplyBuilder b;
    b.line("Archive:  " + node->name);
    if (check) {
        for (qsizetype i = 0; i < entries.size(); ++i) {
            const bool bad = node->damaged && i == entries.size() - 1;
            b.line("    testing: " + entries[i].name.leftJustified(24) +
                   (bad ? "bad CRC " + crc(entries[i].name + "x") + "  (should be " + crc(entries[i].name) + ')'
                        : QByteArray("OK")));
        }
        b.line(node->damaged ? "At least one error was detected in " + node->name + '.'
                             : "No errors detected in compressed data of " + node->name + '.');
    } else {
        const QByteArray date =
            QDateTime::fromSecsSinceEpoch(node->mtime).toString(QStringLiteral("yyyy-MM-dd HH:mm")).toLatin1();
        qint64 total = 0;
        b.line("  Length      Date    Time    Name").line("---------  ---------- -----   ----");
        for (const ZipEntry& e : entries) {
            b.line(QByteArray::number(e.size).rightJustified(9) + "  " + date + "   " + e.name);
            total += e.size;
        }
        b.line("---------                     -------")
            .line(QByteArray::number(total).rightJustified(9) + "                     " +
                  QByteArray::number(entries.size()) + " files");
    }
    return b.close("200 End of file.");
}

Reply SiteCommands::help()
{
    return ReplyBuilder()
        .line("SITE commands of this daemon:")
        .line("  USERS [group|flag]  USER <user>  GROUPS")
        .line("  ADDUSER <user> <group>  DELUSER <user>  CHGRP <user> <group>  CHPASS <user> <password>")
        .line("  CHLOGINS <user> <n>  CHRATIO <user> <n>  ADDIDENTD <user> <mask>  DELIDENTD <user> <mask>")
        .line("  CHFLAG <user> <flag> YES|NO  GIVE <kb> <user>  TAKE <kb> <user>")
        .line("  ADDGROUP <group>  DELGROUP <group> [target group]")
        .line("  WEEKTOP  GROUPTOP  USERTOP  WHO  KILL <pid>  NEW <n>  NUKES <n>")
        .line("  NUKE <multiplier> <directory> <reason>  NFO <file>  DIZ <file>  ZIPCHK <file>  ZIPLIST <file>")
        .close("221");
}

} // namespace sim
