#include "sim/SiteState.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <set>

namespace sim {

const std::array<FlagName, 10> kFlagNames = {{
    {"DISABLED", FlagDisabled},
    {"KOLVANE", FlagKolvane},
    {"USEREDIT", FlagUseredit},
    {"NUKE", FlagNuke},
    {"COLOR", FlagColor},
    {"GROUPOP", FlagGroupOp},
    {"KILL", FlagKill},
    {"BETA", FlagBeta},
    {"LEECH", FlagLeech},
    {"QUIET", FlagQuiet},
}};

std::optional<quint32> flagFromKeyword(const QByteArray& keyword)
{
    const QByteArray upper = keyword.toUpper();
    for (const FlagName& f : kFlagNames) {
        if (upper == f.keyword)
            return f.bit;
    }
    return std::nullopt;
}

QByteArray flagKeywords(quint32 flags)
{
    QByteArray out;
    for (const FlagName& f : kFlagNames) {
        if (flags & f.bit) {
            if (!out.isEmpty())
                out += ' ';
            out += f.keyword;
        }
    }
    return out.isEmpty() ? QByteArray("(none)") : out;
}

bool isValidName(const QByteArray& name)
{
    if (name.isEmpty() || name.size() > kMaxNameLength)
        return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 32 || u == 127 || c == '/')
            return false;
    }
    return true;
}

namespace {

QByteArray hashPassword(const QByteArray& salt, const QByteArray& password)
{
    return QCryptographicHash::hash(salt + password, QCryptographicHash::Sha256).toHex();
}

} // namespace

void User::setPassword(const QByteArray& password)
{
    const quint64 r = QRandomGenerator::global()->generate64();
    passwordSalt = QByteArray::number(r, 16);
    passwordHash = hashPassword(passwordSalt, password);
}

bool User::checkPassword(const QByteArray& password) const
{
    return !passwordHash.isEmpty() && hashPassword(passwordSalt, password) == passwordHash;
}

Node* Node::child(const QByteArray& childName)
{
    for (Node& c : children) {
        if (c.name == childName)
            return &c;
    }
    return nullptr;
}

const Node* Node::child(const QByteArray& childName) const
{
    return const_cast<Node*>(this)->child(childName);
}

qint64 Node::treeBytes() const
{
    qint64 total = kind == Kind::File ? size : 0;
    for (const Node& c : children)
        total += c.treeBytes();
    return total;
}

User* SiteState::findUser(const QByteArray& name)
{
    for (User& u : users) {
        if (u.name == name)
            return &u;
    }
    return nullptr;
}

const User* SiteState::findUser(const QByteArray& name) const
{
    return const_cast<SiteState*>(this)->findUser(name);
}

Group* SiteState::findGroup(const QByteArray& name)
{
    for (Group& g : groups) {
        if (g.name == name)
            return &g;
    }
    return nullptr;
}

int SiteState::memberCount(const QByteArray& group) const
{
    int n = 0;
    for (const User& u : users)
        n += u.group == group ? 1 : 0;
    return n;
}

// ---- saving ----------------------------------------------------------------------------------------------------
// Names and texts are byte strings; JSON holds them as Latin-1 strings, which carries every byte 0-255 back
// unchanged. File contents are code page 437 art and go as base64.

namespace {

QString str(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes);
}

QJsonObject trafficJson(const Traffic& t)
{
    return QJsonObject{{"files", t.files}, {"bytes", t.bytes}};
}

QJsonObject nodeJson(const Node& n)
{
    QJsonObject o;
    o["name"] = str(n.name);
    o["kind"] = n.kind == Node::Kind::Dir ? "dir" : n.kind == Node::Kind::File ? "file" : "link";
    o["owner"] = str(n.owner);
    o["group"] = str(n.group);
    o["size"] = n.size;
    o["mtime"] = n.mtime;
    if (n.kind == Node::Kind::Link)
        o["target"] = str(n.target);
    if (!n.text.isEmpty())
        o["text"] = QString::fromLatin1(n.text.toBase64());
    if (n.damaged)
        o["damaged"] = true;
    if (n.kind == Node::Kind::Dir) {
        QJsonArray children;
        for (const Node& c : n.children)
            children.append(nodeJson(c));
        o["children"] = children;
    }
    return o;
}

} // namespace

QByteArray SiteState::toJson() const
{
    QJsonArray usersJson;
    for (const User& u : users) {
        QJsonArray flags;
        for (const FlagName& f : kFlagNames) {
            if (u.flags & f.bit)
                flags.append(f.keyword);
        }
        QJsonArray idents;
        for (const QByteArray& i : u.idents)
            idents.append(str(i));
        usersJson.append(QJsonObject{
            {"name", str(u.name)},
            {"group", str(u.group)},
            {"salt", str(u.passwordSalt)},
            {"hash", str(u.passwordHash)},
            {"flags", flags},
            {"credits_kb", u.creditsKb},
            {"ratio", u.ratio},
            {"max_logins", u.maxLogins},
            {"logins", u.logins},
            {"idents", idents},
            {"week_up", trafficJson(u.weekUp)},
            {"week_down", trafficJson(u.weekDown)},
            {"all_up", trafficJson(u.allUp)},
            {"all_down", trafficJson(u.allDown)},
            {"added", u.added},
            {"added_by", str(u.addedBy)},
        });
    }
    QJsonArray groupsJson;
    for (const Group& g : groups)
        groupsJson.append(QJsonObject{{"name", str(g.name)}, {"description", str(g.description)}});
    QJsonArray nukesJson;
    for (const Nuke& n : nukes) {
        nukesJson.append(QJsonObject{{"time", n.time},
                                     {"path", str(n.path)},
                                     {"multiplier", n.multiplier},
                                     {"reason", str(n.reason)},
                                     {"nuker", str(n.nuker)},
                                     {"owner", str(n.owner)},
                                     {"bytes", n.bytes}});
    }
    QJsonArray newJson;
    for (const NewDir& d : newDirs)
        newJson.append(QJsonObject{{"time", d.time}, {"path", str(d.path)}, {"user", str(d.user)}});

    QJsonObject top{{"format", "quillon-sim state"}, {"version", 1},       {"users", usersJson}, {"groups", groupsJson},
                    {"files", nodeJson(root)},       {"nukes", nukesJson}, {"new_dirs", newJson}};
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

// ---- loading ---------------------------------------------------------------------------------------------------
// Strict: a state that does not read back whole is reported, never half used, so the operator's data is never
// replaced by a partial copy on the next save.

namespace {

class Reader {
public:
    QString error;

    bool fail(const QString& what)
    {
        if (error.isEmpty())
            error = what;
        return false;
    }

    QJsonValue field(const QJsonObject& o, const char* key, const QString& where)
    {
        if (!o.contains(QLatin1String(key))) {
            fail(QStringLiteral("%1: missing \"%2\"").arg(where, QLatin1String(key)));
            return {};
        }
        return o.value(QLatin1String(key));
    }

    QByteArray text(const QJsonObject& o, const char* key, const QString& where)
    {
        const QJsonValue v = field(o, key, where);
        if (!error.isEmpty())
            return {};
        if (!v.isString()) {
            fail(QStringLiteral("%1: \"%2\" is not a string").arg(where, QLatin1String(key)));
            return {};
        }
        const QString s = v.toString();
        for (QChar c : s) {
            if (c.unicode() > 0xFF) {
                fail(QStringLiteral("%1: \"%2\" holds a character outside 0-255").arg(where, QLatin1String(key)));
                return {};
            }
        }
        return s.toLatin1();
    }

    qint64 number(const QJsonObject& o, const char* key, const QString& where, qint64 min, qint64 max)
    {
        const QJsonValue v = field(o, key, where);
        if (!error.isEmpty())
            return 0;
        if (!v.isDouble()) {
            fail(QStringLiteral("%1: \"%2\" is not a number").arg(where, QLatin1String(key)));
            return 0;
        }
        const double d = v.toDouble();
        const qint64 n = v.toInteger();
        if (static_cast<double>(n) != d || n < min || n > max) {
            fail(QStringLiteral("%1: \"%2\" is out of range").arg(where, QLatin1String(key)));
            return 0;
        }
        return n;
    }

    QJsonArray array(const QJsonObject& o, const char* key, const QString& where)
    {
        const QJsonValue v = field(o, key, where);
        if (!error.isEmpty())
            return {};
        if (!v.isArray()) {
            fail(QStringLiteral("%1: \"%2\" is not a list").arg(where, QLatin1String(key)));
            return {};
        }
        return v.toArray();
    }

    QJsonObject object(const QJsonValue& v, const QString& where)
    {
        if (!v.isObject()) {
            fail(QStringLiteral("%1 is not an object").arg(where));
            return {};
        }
        return v.toObject();
    }

    Traffic traffic(const QJsonObject& o, const char* key, const QString& where)
    {
        const QJsonValue v = field(o, key, where);
        if (!error.isEmpty())
            return {};
        const QJsonObject t = object(v, where + QStringLiteral(" \"%1\"").arg(QLatin1String(key)));
        Traffic out;
        out.files = number(t, "files", where, 0, Q_INT64_C(1) << 50);
        out.bytes = number(t, "bytes", where, 0, Q_INT64_C(1) << 52);
        return out;
    }

    bool node(const QJsonObject& o, Node& out, const QString& where, int depth)
    {
        if (depth > 64)
            return fail(where + QStringLiteral(": the file area is nested too deeply"));
        out.name = text(o, "name", where);
        const QByteArray kind = text(o, "kind", where);
        out.owner = text(o, "owner", where);
        out.group = text(o, "group", where);
        out.size = number(o, "size", where, 0, Q_INT64_C(1) << 52);
        out.mtime = number(o, "mtime", where, 0, Q_INT64_C(1) << 40);
        if (!error.isEmpty())
            return false;
        const QString here = where + QLatin1Char('/') + QString::fromLatin1(out.name);
        if (kind == "dir") {
            out.kind = Node::Kind::Dir;
        } else if (kind == "file") {
            out.kind = Node::Kind::File;
        } else if (kind == "link") {
            out.kind = Node::Kind::Link;
            out.target = text(o, "target", here);
        } else {
            return fail(here + QStringLiteral(": unknown kind \"%1\"").arg(QString::fromLatin1(kind)));
        }
        if (o.contains(QLatin1String("text"))) {
            const QByteArray b64 = text(o, "text", here);
            auto decoded = QByteArray::fromBase64Encoding(b64, QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded)
                return fail(here + QStringLiteral(": \"text\" is not base64"));
            out.text = *decoded;
        }
        out.damaged = o.value(QLatin1String("damaged")).toBool(false);
        if (out.kind == Node::Kind::Dir) {
            const QJsonArray children = array(o, "children", here);
            std::set<QByteArray> seen;
            for (const QJsonValue& v : children) {
                Node c;
                if (!node(object(v, here + QStringLiteral(" entry")), c, here, depth + 1))
                    return false;
                if (c.name.isEmpty() || c.name == "." || c.name == ".." || c.name.contains('/') || c.name.contains(' '))
                    return fail(here + QStringLiteral(": bad entry name \"%1\"").arg(QString::fromLatin1(c.name)));
                if (!seen.insert(c.name).second)
                    return fail(here + QStringLiteral(": \"%1\" appears twice").arg(QString::fromLatin1(c.name)));
                out.children.push_back(std::move(c));
            }
        }
        return error.isEmpty();
    }
};

} // namespace

std::optional<SiteState> SiteState::fromJson(const QByteArray& json, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (doc.isNull()) {
        *error = QStringLiteral("not valid JSON at byte %1: %2").arg(parseError.offset).arg(parseError.errorString());
        return std::nullopt;
    }
    if (!doc.isObject()) {
        *error = QStringLiteral("the top level is not an object");
        return std::nullopt;
    }
    const QJsonObject top = doc.object();
    if (top.value(QLatin1String("format")).toString() != QLatin1String("quillon-sim state") ||
        top.value(QLatin1String("version")).toInt() != 1) {
        *error = QStringLiteral("not a quillon-sim state of version 1");
        return std::nullopt;
    }

    Reader r;
    SiteState s;
    for (const QJsonValue& v : r.array(top, "groups", QStringLiteral("groups"))) {
        const QJsonObject o = r.object(v, QStringLiteral("a group"));
        Group g;
        g.name = r.text(o, "name", QStringLiteral("group"));
        g.description = r.text(o, "description", QStringLiteral("group"));
        if (!r.error.isEmpty())
            break;
        if (!isValidName(g.name) || s.findGroup(g.name)) {
            r.fail(QStringLiteral("bad or repeated group name \"%1\"").arg(QString::fromLatin1(g.name)));
            break;
        }
        s.groups.append(g);
    }
    for (const QJsonValue& v : r.array(top, "users", QStringLiteral("users"))) {
        if (!r.error.isEmpty())
            break;
        const QJsonObject o = r.object(v, QStringLiteral("a user"));
        User u;
        u.name = r.text(o, "name", QStringLiteral("user"));
        const QString where = QStringLiteral("user \"%1\"").arg(QString::fromLatin1(u.name));
        u.group = r.text(o, "group", where);
        u.passwordSalt = r.text(o, "salt", where);
        u.passwordHash = r.text(o, "hash", where);
        for (const QJsonValue& f : r.array(o, "flags", where)) {
            const auto bit = flagFromKeyword(f.toString().toLatin1());
            if (!bit) {
                r.fail(where + QStringLiteral(": unknown flag"));
                break;
            }
            u.flags |= *bit;
        }
        u.creditsKb = r.number(o, "credits_kb", where, -(Q_INT64_C(1) << 52), Q_INT64_C(1) << 52);
        u.ratio = static_cast<int>(r.number(o, "ratio", where, 0, 100));
        u.maxLogins = static_cast<int>(r.number(o, "max_logins", where, 0, 99));
        u.logins = r.number(o, "logins", where, 0, Q_INT64_C(1) << 50);
        for (const QJsonValue& i : r.array(o, "idents", where))
            u.idents.append(i.toString().toLatin1());
        u.weekUp = r.traffic(o, "week_up", where);
        u.weekDown = r.traffic(o, "week_down", where);
        u.allUp = r.traffic(o, "all_up", where);
        u.allDown = r.traffic(o, "all_down", where);
        u.added = r.number(o, "added", where, 0, Q_INT64_C(1) << 40);
        u.addedBy = r.text(o, "added_by", where);
        if (!r.error.isEmpty())
            break;
        if (!isValidName(u.name) || s.findUser(u.name)) {
            r.fail(QStringLiteral("bad or repeated user name \"%1\"").arg(QString::fromLatin1(u.name)));
            break;
        }
        if (!s.findGroup(u.group)) {
            r.fail(where + QStringLiteral(" is in the unknown group \"%1\"").arg(QString::fromLatin1(u.group)));
            break;
        }
        s.users.append(u);
    }
    if (r.error.isEmpty()) {
        const QJsonValue files = r.field(top, "files", QStringLiteral("state"));
        if (r.error.isEmpty() && r.node(r.object(files, QStringLiteral("files")), s.root, QString(), 0) &&
            !s.root.isDir())
            r.fail(QStringLiteral("the root of the file area is not a directory"));
    }
    for (const QJsonValue& v : r.array(top, "nukes", QStringLiteral("nukes"))) {
        if (!r.error.isEmpty())
            break;
        const QJsonObject o = r.object(v, QStringLiteral("a nuke"));
        Nuke n;
        n.time = r.number(o, "time", QStringLiteral("nuke"), 0, Q_INT64_C(1) << 40);
        n.path = r.text(o, "path", QStringLiteral("nuke"));
        n.multiplier = static_cast<int>(r.number(o, "multiplier", QStringLiteral("nuke"), 1, 999));
        n.reason = r.text(o, "reason", QStringLiteral("nuke"));
        n.nuker = r.text(o, "nuker", QStringLiteral("nuke"));
        n.owner = r.text(o, "owner", QStringLiteral("nuke"));
        n.bytes = r.number(o, "bytes", QStringLiteral("nuke"), 0, Q_INT64_C(1) << 52);
        s.nukes.append(n);
    }
    for (const QJsonValue& v : r.array(top, "new_dirs", QStringLiteral("new_dirs"))) {
        if (!r.error.isEmpty())
            break;
        const QJsonObject o = r.object(v, QStringLiteral("a new directory"));
        NewDir d;
        d.time = r.number(o, "time", QStringLiteral("new directory"), 0, Q_INT64_C(1) << 40);
        d.path = r.text(o, "path", QStringLiteral("new directory"));
        d.user = r.text(o, "user", QStringLiteral("new directory"));
        s.newDirs.append(d);
    }
    if (!r.error.isEmpty()) {
        *error = r.error;
        return std::nullopt;
    }
    return s;
}

} // namespace sim
