#include "shell/FileTree.h"

#include "session/SiteSession.h"

#include <QPalette>
#include <algorithm>
#include <limits>
#include <new>

namespace {

// The first batch of a listing, and how long its first entry waits at most before it shows. Both double with every
// batch; the wait stops growing at kLongestDelayMs, so that a slow listing still shows progress.
constexpr std::size_t kFirstBatch = 64;
constexpr int kFirstDelayMs = 4;
constexpr int kLongestDelayMs = 256;

} // namespace

// ---- nodes ----------------------------------------------------------------------------------------------------

TFileNode* TFileNode::make(TFileNode* parent, const TListEntry& entry)
{
    // The parser keeps a size field to 255 characters. A name is kept whole, since every path sent back is built
    // from it; the parser's lists never hold a text of more than 32 bits' length.
    const std::string_view size = entry.Size.substr(0, 255);
    const std::string_view name = entry.Name.substr(0, std::numeric_limits<std::uint32_t>::max());
    void* memory = ::operator new(sizeof(TFileNode) + size.size() + name.size());
    auto* node = new (memory) TFileNode;
    node->parent_ = parent;
    node->sizeLength_ = std::uint8_t(size.size());
    node->nameLength_ = std::uint32_t(name.size());
    node->type_ = entry.Attributes.empty() ? '\0' : entry.Attributes[0];
    node->kind_ = std::uint8_t(NodeKind(entry));
    char* bytes = reinterpret_cast<char*>(node + 1);
    std::copy(size.begin(), size.end(), bytes);
    std::copy(name.begin(), name.end(), bytes + size.size());
    return node;
}

void TFileNode::destroy(TFileNode* node)
{
    if (node->children_)
        for (TFileNode* child : *node->children_)
            destroy(child);
    node->~TFileNode();
    ::operator delete(node);
}

TListEntry TFileNode::entry() const
{
    return TListEntry{type_ ? std::string_view(&type_, 1) : std::string_view(), name(), std::string_view(),
                      std::string_view(bytes(), sizeLength_)};
}

// ---- model ----------------------------------------------------------------------------------------------------

TFileTree::TFileTree(const QList<QIcon>& pictures, QObject* parent)
    : QAbstractItemModel(parent), pictures_(pictures), root_(TFileNode::make(nullptr, TListEntry{"d", "", "", ""}))
{
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &TFileTree::flush);
}

TFileTree::~TFileTree()
{
    for (TFileNode* node : pending_)
        TFileNode::destroy(node);
    TFileNode::destroy(root_);
}

TFileNode* TFileTree::node(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<TFileNode*>(index.internalPointer()) : root_;
}

QModelIndex TFileTree::indexOf(const TFileNode* node) const
{
    return node && node != root_ ? createIndex(node->row(), 0, const_cast<TFileNode*>(node)) : QModelIndex();
}

QModelIndex TFileTree::index(int row, int column, const QModelIndex& parent) const
{
    const TFileNode* up = node(parent);
    if (column != 0 || row < 0 || row >= up->childCount())
        return {};
    return createIndex(row, 0, up->child(row));
}

QModelIndex TFileTree::parent(const QModelIndex& child) const
{
    return child.isValid() ? indexOf(node(child)->parent()) : QModelIndex();
}

int TFileTree::rowCount(const QModelIndex& parent) const
{
    return parent.column() > 0 ? 0 : node(parent)->childCount();
}

int TFileTree::columnCount(const QModelIndex&) const
{
    return 1;
}

bool TFileTree::hasChildren(const QModelIndex& parent) const
{
    return rowCount(parent) > 0;
}

QVariant TFileTree::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const TFileNode* n = node(index);
    switch (role) {
    case Qt::DisplayRole:
        return NodeLook(n->entry()).text;
    case Qt::DecorationRole:
        return pictures_.value(n->kind());
    case KindRole:
        return int(n->kind());
    default:
        return {};
    }
}

Qt::ItemFlags TFileTree::flags(const QModelIndex& index) const
{
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

void TFileTree::setKind(const QModelIndex& index, TNodeKind kind)
{
    TFileNode* n = node(index);
    if (n == root_ || n->kind() == kind)
        return;
    n->kind_ = std::uint8_t(kind);
    emit dataChanged(index, index, {Qt::DecorationRole, KindRole});
}

std::string TFileTree::parentPath(const TFileNode* node, std::string_view folder)
{
    std::vector<const TFileNode*> up;
    for (const TFileNode* n = node->parent(); n && n->parent(); n = n->parent())
        up.push_back(n);
    std::string path(folder);
    if (path.empty() || path.back() != '/')
        path.push_back('/');
    for (auto n = up.rbegin(); n != up.rend(); ++n)
        path.append((*n)->name()).push_back('/');
    return path;
}

std::string TFileTree::path(const TFileNode* node, std::string_view folder)
{
    return parentPath(node, folder).append(node->name());
}

// ---- listings -------------------------------------------------------------------------------------------------

void TFileTree::startListing(const QModelIndex& target)
{
    endListing();
    listing_ = true;
    target_ = node(target);
    batch_ = kFirstBatch;
    delay_ = kFirstDelayMs;
}

void TFileTree::add(const TListEntry& entry)
{
    if (!target_)
        return; // the listing's node is gone
    pending_.push_back(TFileNode::make(target_, entry));
    if (pending_.size() >= batch_)
        flush();
    else if (!flushTimer_.isActive())
        flushTimer_.start(delay_);
}

void TFileTree::endListing()
{
    flush();
    std::vector<TFileNode*>().swap(pending_);
    listing_ = false;
    target_ = nullptr;
}

void TFileTree::flush()
{
    flushTimer_.stop();
    if (pending_.empty())
        return;
    if (!target_->children_)
        target_->children_ = std::make_unique<std::vector<TFileNode*>>();
    std::vector<TFileNode*>& children = *target_->children_;
    const std::size_t first = children.size();
    beginInsertRows(indexOf(target_), int(first), int(first + pending_.size() - 1));
    for (TFileNode* n : pending_) {
        n->row_ = std::uint32_t(children.size());
        children.push_back(n);
    }
    pending_.clear();
    endInsertRows();
    batch_ *= 2;
    delay_ = std::min(delay_ * 2, kLongestDelayMs);
}

void TFileTree::forgetTargetIn(const TFileNode* gone)
{
    for (const TFileNode* n = target_; n; n = n->parent())
        if (n == gone) {
            target_ = nullptr;
            return;
        }
}

void TFileTree::removeNode(const QModelIndex& index)
{
    TFileNode* n = node(index);
    if (n == root_)
        return;
    flush();
    forgetTargetIn(n);
    std::vector<TFileNode*>& siblings = *n->parent()->children_;
    beginRemoveRows(index.parent(), n->row(), n->row());
    siblings.erase(siblings.begin() + n->row());
    for (std::size_t row = n->row_; row < siblings.size(); ++row)
        siblings[row]->row_ = std::uint32_t(row);
    TFileNode::destroy(n);
    endRemoveRows();
}

void TFileTree::removeChildren(const QModelIndex& index)
{
    TFileNode* n = node(index);
    flush();
    if (n->childCount() == 0)
        return;
    for (TFileNode* child : *n->children_)
        forgetTargetIn(child);
    beginRemoveRows(index, 0, n->childCount() - 1);
    const std::unique_ptr<std::vector<TFileNode*>> gone = std::move(n->children_);
    for (TFileNode* child : *gone)
        TFileNode::destroy(child);
    endRemoveRows();
}

void TFileTree::clear()
{
    endListing();
    beginResetModel();
    if (const std::unique_ptr<std::vector<TFileNode*>> gone = std::move(root_->children_))
        for (TFileNode* child : *gone)
            TFileNode::destroy(child);
    endResetModel();
}

// ---- view -----------------------------------------------------------------------------------------------------

TFileTreeView::TFileTreeView(const QList<QIcon>& pictures, QWidget* parent)
    : QTreeView(parent), tree_(new TFileTree(pictures, this))
{
    setModel(tree_);
    // Every row is one line of text beside a 16-pixel picture: the view need not measure each.
    setUniformRowHeights(true);
    // The selection stays as visible when the tree loses focus.
    QPalette look = palette();
    for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
        look.setColor(QPalette::Inactive, role, look.color(QPalette::Active, role));
    setPalette(look);
}

void TFileTreeView::clear()
{
    selectionModel()->clear(); // the selection goes as the nodes do, and says so: no button acts on a node now gone
    tree_->clear();
}
