#pragma once

#include "sim/SiteState.h"

#include <QByteArray>
#include <QList>

#include <optional>

namespace sim {

// A canonical path as its components below the root: {} is "/", {"pub", "Utils"} is "/pub/Utils".
using PathParts = QList<QByteArray>;

QByteArray joinPath(const PathParts& parts);
PathParts splitPath(const QByteArray& canonical);

// Path look-ups on the in-memory file area.
class FileArea {
public:
    explicit FileArea(Node& root) : root_(root) {}

    Node* lookup(const PathParts& parts) const;

    enum class FinalLink { Follow, Keep };
    // Resolves path (absolute, or relative to cwd) to the canonical path of an existing entry: "." and ".."
    // and repeated or trailing slashes are taken as a shell takes them, and links are followed (the last
    // component only with FinalLink::Follow). On failure, error says why, as "No such file or directory".
    std::optional<PathParts> resolve(const PathParts& cwd, const QByteArray& path, FinalLink finalLink,
                                     QByteArray* error) const;

private:
    Node& root_;
};

// One ls -l line for an entry, without line end.
QByteArray listingLine(const Node& entry, qint64 now);
// The listing of a directory as the data connection carries it: "total N", then one line per entry in name
// order, every line ended by CR LF.
QByteArray directoryListing(const Node& dir, qint64 now);

// A date as ls -l writes it: "Nov 28 21:14" within half a year of now, else "Nov 28  2023".
QByteArray lsDate(qint64 when, qint64 now);
// A date and time for the daemon's tables: "2026-11-28 21:14".
QByteArray tableDate(qint64 when);

} // namespace sim
