#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <optional>
#include <vector>

namespace sim {

// The ten user flags, by their keywords as SITE CHFLAG and SITE USERS take them.
enum UserFlag : quint32 {
    FlagDisabled = 1u << 0,
    FlagKolvane = 1u << 1,
    FlagUseredit = 1u << 2,
    FlagNuke = 1u << 3,
    FlagColor = 1u << 4,
    FlagGroupOp = 1u << 5,
    FlagKill = 1u << 6,
    FlagBeta = 1u << 7,
    FlagLeech = 1u << 8,
    FlagQuiet = 1u << 9,
};

struct FlagName {
    const char* keyword;
    quint32 bit;
};
extern const std::array<FlagName, 10> kFlagNames;

// The flag of a keyword, compared without regard to case.
std::optional<quint32> flagFromKeyword(const QByteArray& keyword);
QByteArray flagKeywords(quint32 flags);

constexpr int kMaxNameLength = 10;
// A user or group name: 1 to 10 printable characters, no blanks, no '/'.
bool isValidName(const QByteArray& name);

struct Traffic {
    qint64 files = 0;
    qint64 bytes = 0;
};

struct User {
    QByteArray name;
    QByteArray group;
    QByteArray passwordSalt;
    QByteArray passwordHash; // empty: no password set yet, no log-in possible
    quint32 flags = 0;
    qint64 creditsKb = 0;
    int ratio = 3;     // 1:ratio upload to download credit
    int maxLogins = 2; // 0 = no limit
    qint64 logins = 0;
    QList<QByteArray> idents;
    Traffic weekUp, weekDown, allUp, allDown;
    qint64 added = 0;
    QByteArray addedBy;

    bool has(quint32 flag) const { return (flags & flag) != 0; }
    void setPassword(const QByteArray& password);
    bool checkPassword(const QByteArray& password) const;
};

struct Group {
    QByteArray name;
    QByteArray description;
};

struct Node {
    enum class Kind { Dir, File, Link };
    Kind kind = Kind::Dir;
    QByteArray name;
    QByteArray owner;
    QByteArray group;
    qint64 size = 0;
    qint64 mtime = 0;
    QByteArray target;    // links only
    QByteArray text;      // files with readable content (.nfo, .diz, .sfv, .msg): their bytes
    bool damaged = false; // archives that fail their test
    std::vector<Node> children;

    bool isDir() const { return kind == Kind::Dir; }
    Node* child(const QByteArray& childName);
    const Node* child(const QByteArray& childName) const;
    qint64 treeBytes() const;
};

struct Nuke {
    qint64 time = 0;
    QByteArray path; // the directory's new, nuked path
    int multiplier = 1;
    QByteArray reason;
    QByteArray nuker;
    QByteArray owner;
    qint64 bytes = 0;
};

struct NewDir {
    qint64 time = 0;
    QByteArray path;
    QByteArray user;
};

// Everything the daemon keeps across restarts: users, groups, the file area, the nukes and the new directories.
struct SiteState {
    QList<User> users;
    QList<Group> groups;
    Node root;
    QList<Nuke> nukes;     // oldest first
    QList<NewDir> newDirs; // oldest first

    User* findUser(const QByteArray& name);
    const User* findUser(const QByteArray& name) const;
    Group* findGroup(const QByteArray& name);
    int memberCount(const QByteArray& group) const;

    QByteArray toJson() const;
    // Reads a saved state; on any fault returns nothing and says what is wrong in error.
    static std::optional<SiteState> fromJson(const QByteArray& json, QString* error);

    // The site a fresh daemon starts with; times are laid out backwards from now.
    static SiteState seeded(qint64 now);
};

} // namespace sim
