#include "sim/FileArea.h"

#include <QDateTime>

#include <algorithm>
#include <deque>

namespace sim {

QByteArray joinPath(const PathParts& parts)
{
    if (parts.isEmpty())
        return "/";
    QByteArray out;
    for (const QByteArray& p : parts)
        out += '/' + p;
    return out;
}

PathParts splitPath(const QByteArray& canonical)
{
    PathParts out;
    for (const QByteArray& p : canonical.split('/')) {
        if (!p.isEmpty())
            out.append(p);
    }
    return out;
}

Node* FileArea::lookup(const PathParts& parts) const
{
    Node* node = &root_;
    for (const QByteArray& p : parts) {
        if (!node->isDir())
            return nullptr;
        node = node->child(p);
        if (!node)
            return nullptr;
    }
    return node;
}

std::optional<PathParts> FileArea::resolve(const PathParts& cwd, const QByteArray& path, FinalLink finalLink,
                                           QByteArray* error) const
{
    // Each link met on the way puts its target's components in front of what is left, so a chain of links
    // resolves the way the kernel does it; the budget stops a loop of links.
    constexpr int kLinkBudget = 8;
    int linksFollowed = 0;
    PathParts current = path.startsWith('/') ? PathParts{} : cwd;
    std::deque<QByteArray> todo;
    for (const QByteArray& p : path.split('/'))
        todo.push_back(p);

    auto onlyTrivialLeft = [&todo] {
        return std::all_of(todo.begin(), todo.end(), [](const QByteArray& p) { return p.isEmpty() || p == "."; });
    };

    while (!todo.empty()) {
        const QByteArray part = todo.front();
        todo.pop_front();
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            if (!current.isEmpty())
                current.removeLast();
            continue;
        }
        Node* dir = lookup(current);
        if (!dir || !dir->isDir()) {
            *error = "Not a directory";
            return std::nullopt;
        }
        Node* entry = dir->child(part);
        if (!entry) {
            *error = "No such file or directory";
            return std::nullopt;
        }
        const bool last = onlyTrivialLeft();
        // A trailing slash asks for the directory behind a link, as it does in a shell.
        const bool trailingSlash = last && !todo.empty();
        if (entry->kind == Node::Kind::Link && (!last || trailingSlash || finalLink == FinalLink::Follow)) {
            if (++linksFollowed > kLinkBudget) {
                *error = "Too many levels of symbolic links";
                return std::nullopt;
            }
            if (entry->target.startsWith('/'))
                current.clear();
            const QList<QByteArray> targetParts = entry->target.split('/');
            for (auto it = targetParts.rbegin(); it != targetParts.rend(); ++it)
                todo.push_front(*it);
            continue;
        }
        if (!last && !entry->isDir()) {
            *error = "Not a directory";
            return std::nullopt;
        }
        current.append(part);
    }
    return current;
}

namespace {

constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

QByteArray permissions(const Node& n)
{
    switch (n.kind) {
    case Node::Kind::Dir:
        return "drwxr-xr-x";
    case Node::Kind::Link:
        return "lrwxrwxrwx";
    case Node::Kind::File:
        break;
    }
    return "-rw-r--r--";
}

QByteArray padRight(const QByteArray& s, int width)
{
    return s.size() >= width ? s : s + QByteArray(width - s.size(), ' ');
}

QByteArray padLeft(const QByteArray& s, int width)
{
    return s.size() >= width ? s : QByteArray(width - s.size(), ' ') + s;
}

qint64 displaySize(const Node& n)
{
    switch (n.kind) {
    case Node::Kind::Dir:
        return 4096;
    case Node::Kind::Link:
        return n.target.size();
    case Node::Kind::File:
        break;
    }
    return n.size;
}

} // namespace

QByteArray lsDate(qint64 when, qint64 now)
{
    const QDateTime t = QDateTime::fromSecsSinceEpoch(when);
    const QDate d = t.date();
    QByteArray out = kMonths[d.month() - 1];
    out += ' ' + padLeft(QByteArray::number(d.day()), 2) + ' ';
    constexpr qint64 kHalfYear = 182 * 24 * 3600;
    if (when > now - kHalfYear && when < now + 3600)
        out += t.toString(QStringLiteral("HH:mm")).toLatin1();
    else
        out += ' ' + QByteArray::number(d.year());
    return out;
}

QByteArray tableDate(qint64 when)
{
    return QDateTime::fromSecsSinceEpoch(when).toString(QStringLiteral("yyyy-MM-dd HH:mm")).toLatin1();
}

QByteArray listingLine(const Node& entry, qint64 now)
{
    int links = 1;
    if (entry.isDir()) {
        links = 2;
        for (const Node& c : entry.children)
            links += c.isDir() ? 1 : 0;
    }
    QByteArray line = permissions(entry) + ' ' + padLeft(QByteArray::number(links), 3) + ' ' +
                      padRight(entry.owner, 8) + ' ' + padRight(entry.group, 8) + ' ' +
                      padLeft(QByteArray::number(displaySize(entry)), 8) + ' ' + lsDate(entry.mtime, now) + ' ' +
                      entry.name;
    if (entry.kind == Node::Kind::Link)
        line += " -> " + entry.target;
    return line;
}

QByteArray directoryListing(const Node& dir, qint64 now)
{
    std::vector<const Node*> entries;
    for (const Node& c : dir.children)
        entries.push_back(&c);
    std::sort(entries.begin(), entries.end(), [](const Node* a, const Node* b) { return a->name < b->name; });

    qint64 blocks = 0;
    QByteArray body;
    for (const Node* e : entries) {
        blocks += (displaySize(*e) + 1023) / 1024;
        body += listingLine(*e, now) + "\r\n";
    }
    return "total " + QByteArray::number(blocks) + "\r\n" + body;
}

} // namespace sim
