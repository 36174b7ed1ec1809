#pragma once

// The FiLE MAiNT page's directory tree: a model of its own that keeps one small record per node, and the view that
// shows it. A site's directory can hold a hundred thousand entries, so a node keeps only where it hangs, what hangs
// below it, its kind and the bytes of the listing entry it was made from; its text is made when the view asks for
// it, for the rows on screen.

#include "session/SiteSession.h"
#include "shell/TreeNodes.h"

#include <QAbstractItemModel>
#include <QIcon>
#include <QList>
#include <QTimer>
#include <QTreeView>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One node: its place in the tree, its kind (which is its picture) and the entry it shows. The entry's size field
// and name follow the record in the same allocation.
class TFileNode {
public:
    TFileNode* parent() const { return parent_; }
    int row() const { return int(row_); }
    int childCount() const { return children_ ? int(children_->size()) : 0; }
    TFileNode* child(int row) const { return (*children_)[std::size_t(row)]; }
    TNodeKind kind() const { return TNodeKind(kind_); }
    // The entry's name, byte for byte as the daemon listed it.
    std::string_view name() const { return {bytes() + sizeLength_, nameLength_}; }
    // The entry as the listing parser gave it, for NodeLook: its attributes' first character, size and name.
    TListEntry entry() const;

private:
    friend class TFileTree;
    TFileNode() = default;
    ~TFileNode() = default;
    static TFileNode* make(TFileNode* parent, const TListEntry& entry);
    static void destroy(TFileNode* node); // with its subtree
    const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }

    TFileNode* parent_ = nullptr;
    std::unique_ptr<std::vector<TFileNode*>> children_; // none for a node that has never had children
    std::uint32_t row_ = 0;                             // its position among its parent's children
    std::uint32_t nameLength_ = 0;
    std::uint8_t sizeLength_ = 0;
    std::uint8_t kind_ = ClosedFolder;
    char type_ = 0; // the first character of the entry's attributes
};

// The tree's nodes as an item model of one column. The root level hangs below an invisible root node, which the
// invalid index stands for.
//
// A listing's entries are not inserted one by one: each insertion makes the view lay out every row it shows again,
// which for a big directory costs more than the listing. They are gathered and inserted in batches that grow as the
// listing goes on (64, 128, 256, ... entries) or whose time runs out (a few milliseconds at first, growing too), so
// the view lays out a few times per listing and the first nodes still show at once.
class TFileTree : public QAbstractItemModel {
    Q_OBJECT

public:
    static constexpr int KindRole = Qt::UserRole; // the node's kind, as an int

    // pictures: the four node pictures, by kind; the list is read when a node is shown.
    explicit TFileTree(const QList<QIcon>& pictures, QObject* parent = nullptr);
    ~TFileTree() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The node of an index of this model; the root node for the invalid index.
    TFileNode* node(const QModelIndex& index) const;
    QModelIndex indexOf(const TFileNode* node) const;
    void setKind(const QModelIndex& index, TNodeKind kind);

    // The node's path on the daemon, from the names' own bytes: the folder the root level stands for, each
    // ancestor's name, each followed by "/"; and that followed by the node's name.
    static std::string parentPath(const TFileNode* node, std::string_view folder = "/");
    static std::string path(const TFileNode* node, std::string_view folder = "/");

    // A listing's entries go below the node it was started for (the root node: the root level), whatever is
    // selected meanwhile. A listing ends with endListing; starting another ends the one before.
    void startListing(const QModelIndex& target);
    bool listing() const { return listing_; }
    void add(const TListEntry& entry);
    void endListing();

    void removeNode(const QModelIndex& index); // with its subtree
    void removeChildren(const QModelIndex& index);
    void clear();

private:
    void flush();
    // Drops the listing when its node is about to go with the subtree of gone.
    void forgetTargetIn(const TFileNode* gone);

    const QList<QIcon>& pictures_;
    TFileNode* root_;
    // The running listing: its node, the entries not yet inserted, and when they will be.
    bool listing_ = false;
    TFileNode* target_ = nullptr;
    std::vector<TFileNode*> pending_;
    std::size_t batch_ = 0;
    int delay_ = 0;
    QTimer flushTimer_;
};

// TreeView1: the view of the directory tree, with the model it owns.
class TFileTreeView : public QTreeView {
    Q_OBJECT

public:
    TFileTreeView(const QList<QIcon>& pictures, QWidget* parent);
    TFileTree& tree() const { return *tree_; }
    // Removes every node, the selection first: the root level is built anew.
    void clear();

private:
    TFileTree* tree_;
};
