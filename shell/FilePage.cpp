// The FiLE MAiNT page's directory tree: listing lines become folder, file and link nodes; a double-click lists
// a directory below its node; the selected node decides which of the page's buttons can act.

#include "shell/Main.h"

#include "ftp/NMFtp.h"
#include "gui/Finally.h"
#include "platform/OemText.h"
#include "shell/TreeNodes.h"

#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>

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

TNodeLook NodeLook(const TFTPListEntry& entry)
{
    const char first = entry.Attributes.empty() ? '\0' : entry.Attributes[0];
    if (first == 'd' || first == 'D')
        return {Latin1ToQString(entry.Name), ClosedFolder};
    if (first == 'l' || first == 'L')
        return {Latin1ToQString(entry.Name), LinkNode};
    return {Latin1ToQString(entry.Name) + QStringLiteral(" -> ") + kilobytes(entry.Size) + QStringLiteral(" Kb"),
            FileNode};
}

int TMainForm::nodeKind(const QTreeWidgetItem* node)
{
    return node->data(0, Qt::UserRole).toInt();
}

void TMainForm::setNodeKind(QTreeWidgetItem* node, int kind)
{
    node->setData(0, Qt::UserRole, kind);
    node->setIcon(0, ImageList1.value(kind));
}

QString TMainForm::ParentPath(const QTreeWidgetItem* node)
{
    QString path;
    for (const QTreeWidgetItem* up = node->parent(); up; up = up->parent())
        path.prepend(up->text(0) + QLatin1Char('/'));
    return QLatin1Char('/') + path;
}

QString TMainForm::NodePath(const QTreeWidgetItem* node)
{
    return ParentPath(node) + node->text(0);
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
    const TNodeLook look = NodeLook(*entry);
    QTreeWidgetItem* parent = ListUnderSelection ? TreeView1->currentItem() : nullptr;
    auto* node = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(TreeView1);
    node->setText(0, look.text);
    setNodeKind(node, look.kind);
}

void TMainForm::TreeView1DblClick()
{
    const QTreeWidgetItem* node = TreeView1->currentItem();
    if (!node || nodeKind(node) == FileNode)
        return;
    listSelectedDirectory();
}

// Lists the selected directory node's directory below it, in place of what it held.
void TMainForm::listSelectedDirectory()
{
    QTreeWidgetItem* node = TreeView1->currentItem();
    setBusyCursor(true);
    StatusBar1->setPanelText(3, QStringLiteral("Gathering Directory data..."));
    ListUnderSelection = true;
    DirItemCount = 0;
    {
        // Whether or not the directory change goes through, the node shows as listed and loses its old subtree.
        Finally listed([&] {
            if (nodeKind(node) != LinkNode)
                setNodeKind(node, OpenFolder);
            qDeleteAll(node->takeChildren());
            setBusyCursor(false);
        });
        NMFTP1->ChangeDirectory(QStringToLatin1(NodePath(node)));
    }
    Finally shown([this] {
        if (QTreeWidgetItem* selected = TreeView1->currentItem())
            selected->setExpanded(true);
        StatusBar1->setPanelText(3, QStringLiteral("Done..."));
    });
    NMFTP1->List();
}

void TMainForm::TreeView1Expanded(QTreeWidgetItem* node)
{
    TreeView1->setCurrentItem(node);
    if (nodeKind(node) != FileNode)
        setNodeKind(node, OpenFolder);
}

void TMainForm::TreeView1Collapsed(QTreeWidgetItem* node)
{
    TreeView1->setCurrentItem(node);
    if (nodeKind(node) != FileNode)
        setNodeKind(node, ClosedFolder);
}

void TMainForm::TreeView1Change()
{
    for (QPushButton* b : {bbViewNfo, bbViewDiz, bbNukeDir, bbDeleteDir, bbViewZip, bbTestZip})
        b->setEnabled(false);
    const QTreeWidgetItem* node = TreeView1->currentItem();
    if (!node)
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
