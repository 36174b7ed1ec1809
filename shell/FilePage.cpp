// The FiLE MAiNT page's directory tree: listing lines become folder, file and link nodes; a double-click lists
// a directory below its node; the selected node decides which of the page's buttons can act.

#include "shell/FilePage.h"

#include "files/NfoDizView.h"
#include "gui/Guard.h"
#include "gui/WidgetKit.h"
#include "platform/Finally.h"
#include "platform/OemText.h"
#include "session/SiteSession.h"
#include "shell/FileTree.h"
#include "shell/TreeNodes.h"

#include <QFrame>
#include <QItemSelectionModel>
#include <QLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>

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

TNodeKind NodeKind(const TListEntry& entry)
{
    const char first = entry.Attributes.empty() ? '\0' : entry.Attributes[0];
    if (first == 'd' || first == 'D')
        return ClosedFolder;
    if (first == 'l' || first == 'L')
        return LinkNode;
    return FileNode;
}

TNodeLook NodeLook(const TListEntry& entry)
{
    const TNodeKind kind = NodeKind(entry);
    if (kind != FileNode)
        return {Latin1ToQString(entry.Name), kind};
    return {Latin1ToQString(entry.Name) + QStringLiteral(" -> ") + kilobytes(entry.Size) + QStringLiteral(" Kb"), kind};
}

using namespace WidgetKit;

TFilePage::TFilePage(const TPageContext& context) : TConsolePage(context, "FileSheet")
{
    Panel4 = addPanel("Panel4", 41, true);
    bbDeleteDir = button(Panel4, "bbDeleteDir", QStringLiteral("DELETE"), QRect(8, 8, 75, 25));
    bbNukeDir = button(Panel4, "bbNukeDir", QStringLiteral("NUKE"), QRect(88, 8, 75, 25));
    bbViewNfo = button(Panel4, "bbViewNfo", QStringLiteral("ViEW NFO"), QRect(168, 8, 75, 25));
    bbViewDiz = button(Panel4, "bbViewDiz", QStringLiteral("ViEW DiZ"), QRect(248, 8, 75, 25));
    bbTestZip = button(Panel4, "bbTestZip", QStringLiteral("TEST ZiP"), QRect(328, 8, 75, 25));
    bbViewZip = button(Panel4, "bbViewZip", QStringLiteral("ViEW ZiP"), QRect(408, 8, 75, 25));

    Splitter1 = new QSplitter(Qt::Vertical, this);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setHandleWidth(4);
    Splitter1->setChildrenCollapsible(false);
    TreeView1 = new TFileTreeView(context_.nodePictures, Splitter1);
    TreeView1->setObjectName(QStringLiteral("TreeView1"));
    TreeView1->setHeaderHidden(true);
    TreeView1->setIndentation(19);
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView1->setSelectionMode(QAbstractItemView::SingleSelection);
    TreeView1->setExpandsOnDoubleClick(false); // a double-click lists the directory instead
    TreeView1->setIconSize(QSize(16, 16));
    FileMemo = memo(Splitter1, "FileMemo");
    FileMemo->setMinimumHeight(50);
    Splitter1->addWidget(TreeView1);
    Splitter1->addWidget(FileMemo);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    Splitter1->setSizes({1000, 75});
    layout()->addWidget(Splitter1);

    // What a newcomer reads when resting the mouse on a button, and what a screen reader calls the tree and the box.
    const std::pair<QPushButton*, const char*> tips[] = {
        {bbDeleteDir, "Delete the folder chosen in the tree (asks first)"},
        {bbNukeDir, "Nuke the release folder chosen in the tree: asks for the multiplier and the reason"},
        {bbViewNfo, "Show the NFO text of the file chosen in the tree"},
        {bbViewDiz, "Show the description (DIZ) of the file chosen in the tree"},
        {bbTestZip, "Test the ZIP file chosen in the tree"},
        {bbViewZip, "List what the ZIP file chosen in the tree holds"},
    };
    for (const auto& [control, tip] : tips)
        control->setToolTip(QString::fromUtf8(tip));
    FileMemo->setAccessibleName(QStringLiteral("FiLE MAiNT replies"));
    TreeView1->setAccessibleName(QStringLiteral("FiLE MAiNT folders and files"));

    operation(bbDeleteDir, &QPushButton::clicked, &TFilePage::bbDeleteDirClick);
    operation(bbNukeDir, &QPushButton::clicked, &TFilePage::bbNukeDirClick);
    operation(bbViewNfo, &QPushButton::clicked, &TFilePage::bbViewNfoClick);
    operation(bbViewDiz, &QPushButton::clicked, &TFilePage::bbViewDizClick);
    operation(bbTestZip, &QPushButton::clicked, &TFilePage::bbTestZipClick);
    operation(bbViewZip, &QPushButton::clicked, &TFilePage::bbViewZipClick);

    operation(TreeView1, &QTreeView::doubleClicked, &TFilePage::TreeView1DblClick);
    on(TreeView1->selectionModel(), &QItemSelectionModel::currentChanged, &TFilePage::TreeView1Change);
    connect(TreeView1, &QTreeView::expanded, this,
            [this](const QModelIndex& node) { Guarded([&] { TreeView1Expanded(node); }); });
    connect(TreeView1, &QTreeView::collapsed, this,
            [this](const QModelIndex& node) { Guarded([&] { TreeView1Collapsed(node); }); });
}

void TFilePage::clear()
{
    FileMemo->clear();
    clearTree();
}

void TFilePage::clearTree()
{
    TreeView1->clear();
    startOver();
}

void TFilePage::startOver()
{
    DirItemCount_ = 0;
    ListUnderSelection_ = false;
}

QPlainTextEdit* TFilePage::replyBox() const
{
    return NfoDizForm_ ? NfoDizForm_->NfoDizMemo : FileMemo;
}

void TFilePage::refresh()
{
    if (DirItemCount_ == 0)
        fetchDirectory();
}

void TFilePage::fetchDirectory()
{
    // The cursor is put back however the listing ends.
    context_.setBusyCursor(true);
    context_.setMessage(QStringLiteral("Gathering Directory data..."));
    Finally done([this] { context_.setBusyCursor(false); });
    if (!ListUnderSelection_)
        TreeView1->clear(); // the first listing after a log-in builds the root level anew
    // The entries go below the node chosen now, whatever the operator clicks while they come.
    TreeView1->tree().startListing(ListUnderSelection_ ? TreeView1->currentIndex() : QModelIndex());
    try {
        context_.session.list();
    } catch (...) {
        // The gathering is over: the panel no longer claims it goes on, and the entries that came (a listing cut
        // short keeps them) are in the tree before the error box says why.
        TreeView1->tree().endListing();
        context_.setMessage(QStringLiteral("Directory listing failed"));
        throw;
    }
    context_.setMessage(QStringLiteral("Done..."));
}

int TFilePage::nodeKind(const QModelIndex& node)
{
    return node.data(TFileTree::KindRole).toInt();
}

void TFilePage::setNodeKind(const QModelIndex& node, int kind)
{
    TreeView1->tree().setKind(node, TNodeKind(kind));
}

QString TFilePage::ParentPath(const QModelIndex& node)
{
    const auto* tree = qobject_cast<const TFileTree*>(node.model());
    return tree ? Latin1ToQString(TFileTree::parentPath(tree->node(node))) : QStringLiteral("/");
}

QString TFilePage::NodePath(const QModelIndex& node)
{
    return ParentPath(node) + node.data().toString();
}

void TFilePage::listItem(const TListEntry* entry)
{
    // Each node is made from the entry the parser stored for this very line: a line it did not store (the total
    // line, a short line) makes no node, wherever in the listing it stands.
    ++DirItemCount_;
    if (!entry)
        return;
    TFileTree& tree = TreeView1->tree();
    if (!tree.listing()) {
        // A listing that no handler of the tree started (the page refresh's) takes its node with its first entry:
        // the root level, or the node selected then; the rest follows there whatever is selected meanwhile.
        tree.startListing(ListUnderSelection_ ? TreeView1->currentIndex() : QModelIndex());
    }
    tree.add(*entry);
}

void TFilePage::listingEnded()
{
    TreeView1->tree().endListing();
}

void TFilePage::TreeView1DblClick()
{
    const QModelIndex node = TreeView1->currentIndex();
    if (!node.isValid() || nodeKind(node) == FileNode)
        return;
    listSelectedDirectory();
}

// Lists the selected directory node's directory below it, in place of what it held. The entries go below that
// node even when the operator selects another one while they arrive.
void TFilePage::listSelectedDirectory()
{
    TFileTree& tree = TreeView1->tree();
    const QPersistentModelIndex node = TreeView1->currentIndex();
    context_.setBusyCursor(true);
    context_.setMessage(QStringLiteral("Gathering Directory data..."));
    ListUnderSelection_ = true;
    DirItemCount_ = 0;
    {
        // Whether or not the directory change goes through, the node shows as listed and loses its old subtree.
        Finally listed([&] {
            if (node.isValid()) {
                if (nodeKind(node) != LinkNode)
                    setNodeKind(node, OpenFolder);
                tree.removeChildren(node);
            }
            context_.setBusyCursor(false);
        });
        const std::string folder = context_.session.loginFolder();
        if (!node.isValid())
            return; // the node went while the daemon was asked where the tree starts
        context_.session.changeDirectory(TFileTree::path(tree.node(node), folder));
    }
    Finally shown([&] {
        tree.endListing();
        if (node.isValid())
            TreeView1->expand(node);
        context_.setMessage(QStringLiteral("Done..."));
    });
    if (!node.isValid())
        return; // the node went while the directory changed
    tree.startListing(node);
    context_.session.list();
}

void TFilePage::TreeView1Expanded(const QModelIndex& node)
{
    TreeView1->setCurrentIndex(node);
    if (nodeKind(node) != FileNode)
        setNodeKind(node, OpenFolder);
}

void TFilePage::TreeView1Collapsed(const QModelIndex& node)
{
    TreeView1->setCurrentIndex(node);
    if (nodeKind(node) != FileNode)
        setNodeKind(node, ClosedFolder);
}

void TFilePage::TreeView1Change()
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
