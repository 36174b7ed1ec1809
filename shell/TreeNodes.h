#pragma once

#include "session/SiteSession.h" // TListEntry

#include <QString>

// The kinds of the file tree's nodes, which are also their picture indexes.
enum TNodeKind { ClosedFolder = 0, OpenFolder = 1, FileNode = 2, LinkNode = 3 };

// How a listing entry shows as a node: a directory ("d" attributes) is a closed folder named by the entry, a link
// ("l") a link node named by its own name, anything else a file shown as "name -> size Kb" with the size in whole
// kilobytes ("?" when the size field is no number, as in a listing the parser could only count from the end).
struct TNodeLook {
    QString text;
    TNodeKind kind;
};
TNodeLook NodeLook(const TListEntry& entry);
// The kind alone, as NodeLook gives it: what a node keeps of the look until it is shown.
TNodeKind NodeKind(const TListEntry& entry);
