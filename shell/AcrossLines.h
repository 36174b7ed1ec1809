#pragma once

#include "session/SiteBatch.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

// Users Across Sites without its window: what each site's replies say of its users and groups (read by the columns
// the pick lists are read by, through the list gatherer), the matrix of names by site, one user's replies side by
// side with the lines that differ from the most common reply, and the lines of each change to a user, as the USER
// MAiNT page and its dialogs send them.
namespace Across {

// The user names of a "SITE USERS" reply and the group names of a "SITE GROUPS" reply (each line without its line
// end), in the order gathered, every name once; empty names are left out.
QStringList usersOf(const std::vector<std::string>& reply);
QStringList groupsOf(const std::vector<std::string>& reply);

// Whether a name stands on a site: known only for a site whose list came.
enum class Presence { Present, Missing, Unknown };
// "present", "missing", "unknown": the cell's text, which says it without colour.
QString presenceWord(Presence presence);

// Names by site: a row per name (sorted, case aside), a column per site.
struct Matrix {
    QStringList names;
    std::vector<std::vector<Presence>> cells; // [row][site]
};
// namesBySite holds each site's list, or none (a null list) for a site whose list did not come.
Matrix matrix(const std::vector<std::optional<QStringList>>& namesBySite);

// One site's reply to "SITE USER <name>" as it stands beside the others: its lines, and for each whether it is not
// a line of the most common reply.
struct SideReply {
    QStringList lines;
    std::vector<bool> differs;
    bool common = false; // this site answered the most common reply
};
// The replies side by side. The most common reply is the one most sites gave word for word (the first of them when
// two are as common); a site's line differs when a line diff against it shows the line as the site's own.
std::vector<SideReply> sideBySide(const std::vector<QStringList>& replies);

// The changes one user can be given on many sites at once.
enum class Change { AddMask, RemoveMask, Flags, Password, Give, Take, Group, AddWhereMissing, Delete };
inline constexpr Change Changes[] = {Change::AddMask, Change::RemoveMask, Change::Flags, Change::Password,
                                     Change::Give,    Change::Take,       Change::Group, Change::AddWhereMissing,
                                     Change::Delete};
// How the change is named where the operator picks it: "Add an IP mask", ...
QString changeName(Change change);
// Whether the change goes to the sites where the user is missing (adding the user), not to those where it is.
bool forMissing(Change change);

// The flags the flags dialog offers, in the order it sends them, with their captions; the site-operator flag is
// never sent.
struct FlagName {
    const char* keyword; // in the command line: "NUKE"
    const char* caption; // as the dialog shows it: "NUKE", "KiLL"
};
const std::vector<FlagName>& flagNames();

// What the operator filled in for a change.
struct ChangeInput {
    QString user;
    QString mask;            // an ident mask to add or remove
    QString password;        // a new password, or the new user's
    QString group;           // the new group, or the new user's
    QString amount;          // megabytes to give or take
    std::vector<bool> flags; // ticked, in the order of flagNames()
};
// The lines a change sends each site, without the word SITE, exactly as the page and the dialogs build them: the
// idents as UPDATE and REMOVE IP, the flags as SET FLAGS (YES ticked, NO clear), the password as UPDATE, the
// credits as GiVE CREDiT and TAKE CREDiT (megabytes as kilobytes in 32 bits), the group as UPDATE, the new user as
// ADD USER, the deletion as DELETE. Raises Exception, in the words the page and the dialogs use, for input they
// would send nothing for.
std::vector<std::string> changeLines(Change change, const ChangeInput& input);

// The plan of a change for a site: the user's "SITE USER" before the change (where the user is there to be asked),
// the change's lines, and the user's "SITE USER" after them, which goes even when a line was refused.
BatchPlan changePlan(Change change, const QString& user, const std::vector<std::string>& lines);

// What became of a site the change was sent to: the first line that did not end ok, or the reply to the change's
// last line (the looks at the user before and after are not the change).
QString changeSummary(const SiteOutcome& outcome, Change change);

} // namespace Across
