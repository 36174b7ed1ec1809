// The FiLE MAiNT page's directory tree: listing lines become folder, file and link nodes; a double-click lists
// a directory below its node; the selected node decides which of the page's buttons can act.

#include "shell/Main.h"

#include "ftp/NMFtp.h"
#include "platform/Finally.h"
#include "platform/OemText.h"
#include "shell/FileTree.h"
#include "shell/TreeNodes.h"

#include <QPushButton>
#include <QStatusBar>

namespace {

// The whole kilobytes of a size field, or "?" when the field is no size. Sizes are read as 64-bit, so files past
// 2 GB show their real figure.
QString kilobytes(std::string_view size)
{
    if (size.empty() || size.size() > 19 || size.find_first_not_of("0123456789") != std::string_view::npos)
        return QStringLiteral("?");
    return QString::number(std::stoull(std::string(size)) / 1024);
}

} // namespace

TNodeKind NodeKind(const TFTPListEntry& entry)
{
    const char first = entry.Attributes.empty() ? '\0' : entry.Attributes[0];
    if (first == 'd' || first == 'D')
        return ClosedFolder;
    if (first == 'l' || first == 'L')
        return LinkNode;
    return FileNode;
}

TNodeLook NodeLook(const TFTPListEntry& entry)
{
    const TNodeKind kind = NodeKind(entry);
    if (kind != FileNode)
        return {Latin1ToQString(entry.Name), kind};
    return {Latin1ToQString(entry.Name) + QStringLiteral(" -> ") + kilobytes(entry.Size) + QStringLiteral(" Kb"), kind};
}

int TMainForm::nodeKind(const QModelIndex& node)
{
    return node.data(TFileTree::KindRole).toInt();
}

void TMainForm::setNodeKind(const QModelIndex& node, int kind)
{
    TreeView1->tree().setKind(node, TNodeKind(kind));
}

QString TMainForm::ParentPath(const QModelIndex& node)
{
    const auto* tree = qobject_cast<const TFileTree*>(node.model());
    return tree ? Latin1ToQString(TFileTree::parentPath(tree->node(node))) : QStringLiteral("/");
}

QString TMainForm::NodePath(const QModelIndex& node)
{
    return ParentPath(node) + node.data().toString();
}

void TMainForm::NMFTP1ListItem(const std::string&)
{
    // Each node is made from the entry the parser stored for this very line: a line it did not store (the total
    // line, a short line) makes no node, wherever in the listing it stands.
    ++DirItemCount;
    const TFTPDirectoryList* list = NMFTP1->DirectoryList.get();
    const std::optional<TFTPListEntry> entry = list ? list->LastStored() : std::nullopt;
    if (!entry)
        return;
    TFileTree& tree = TreeView1->tree();
    if (!tree.listing()) {
        // A listing that no handler of the tree started (the page refresh's) takes its node with its first entry:
        // the root level, or the node selected then; the rest follows there whatever is selected meanwhile.
        tree.startListing(ListUnderSelection ? TreeView1->currentIndex() : QModelIndex());
    }
    tree.add(*entry);
}

void TMainForm::TreeView1DblClick()
{
    const QModelIndex node = TreeView1->currentIndex();
    if (!node.isValid() || nodeKind(node) == FileNode)
        return;
    listSelectedDirectory();
}

// Lists the selected directory node's directory below it, in place of what it held. The entries go below that
// node even when the operator selects another one while they arrive.
void TMainForm::listSelectedDirectory()
{
    TFileTree& tree = TreeView1->tree();
    const QPersistentModelIndex node = TreeView1->currentIndex();
    setBusyCursor(true);
    StatusBar1->setPanelText(3, QStringLiteral("Gathering Directory data..."));
    ListUnderSelection = true;
    DirItemCount = 0;
    {
        // Whether or not the directory change goes through, the node shows as listed and loses its old subtree.
        Finally listed([&] {
            if (node.isValid()) {
                if (nodeKind(node) != LinkNode)
                    setNodeKind(node, OpenFolder);
                tree.removeChildren(node);
            }
            setBusyCursor(false);
        });
        const std::string folder = loginFolder();
        if (!node.isValid())
            return; // the node went while the daemon was asked where the tree starts
        NMFTP1->ChangeDirectory(TFileTree::path(tree.node(node), folder));
    }
    Finally shown([&] {
        tree.endListing();
        if (node.isValid())
            TreeView1->expand(node);
        StatusBar1->setPanelText(3, QStringLiteral("Done..."));
    });
    if (!node.isValid())
        return; // the node went while the directory changed
    tree.startListing(node);
    NMFTP1->List();
}

void TMainForm::TreeView1Expanded(const QModelIndex& node)
{
    TreeView1->setCurrentIndex(node);
    if (nodeKind(node) != FileNode)
        setNodeKind(node, OpenFolder);
}

void TMainForm::TreeView1Collapsed(const QModelIndex& node)
{
    TreeView1->setCurrentIndex(node);
    if (nodeKind(node) != FileNode)
        setNodeKind(node, ClosedFolder);
}

void TMainForm::TreeView1Change()
{
    for (QPushButton* b : {bbViewNfo, bbViewDiz, bbNukeDir, bbDeleteDir, bbViewZip, bbTestZip})
        b->setEnabled(false);
    const QModelIndex node = TreeView1->currentIndex();
    if (!node.isValid())
        return;
    const int kind = nodeKind(node);
    if (kind == ClosedFolder || kind == OpenFolder) {
        bbNukeDir->setEnabled(true);
        bbDeleteDir->setEnabled(true);
    } else if (kind == FileNode) {
        for (QPushButton* b : {bbViewNfo, bbViewDiz, bbViewZip, bbTestZip})
            b->setEnabled(true);
    }
}
