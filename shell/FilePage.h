#pragma once

#include "shell/ConsolePage.h"
#include "shell/FileTree.h"

#include <QModelIndex>
#include <QPersistentModelIndex>
#include <string>

class QFrame;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class TNfoDizForm;

// The FiLE MAiNT page: the site's directory tree, listed level by level, over the page's text box; its buttons
// delete and nuke the selected directory and look into a release's NFO, DIZ and ZIP files through the viewer.
class TFilePage : public TConsolePage {
    Q_OBJECT

public:
    explicit TFilePage(const TPageContext& context);

    QFrame* Panel4;
    QPushButton* bbDeleteDir;
    QPushButton* bbNukeDir;
    QPushButton* bbViewNfo;
    QPushButton* bbViewDiz;
    QPushButton* bbTestZip;
    QPushButton* bbViewZip;
    TFileTreeView* TreeView1;
    QSplitter* Splitter1;
    QPlainTextEdit* FileMemo;

    // Delete, nuke and release inspection (FileCommands.cpp)
    void bbDeleteDirClick();
    void bbNukeDirClick();
    void bbViewNfoClick();
    void bbViewDizClick();
    void bbTestZipClick();
    void bbViewZipClick();

    // The directory tree (FilePage.cpp)
    void TreeView1DblClick();
    void TreeView1Change();
    void TreeView1Expanded(const QModelIndex& node);
    void TreeView1Collapsed(const QModelIndex& node);
    static QString ParentPath(const QModelIndex& node);
    static QString NodePath(const QModelIndex& node);
    // A node's picture index, which is also its kind: 0 closed folder, 1 open folder, 2 file, 3 link.
    static int nodeKind(const QModelIndex& node);
    void setNodeKind(const QModelIndex& node, int kind);

    // One line of a listing the session parsed: the entry it stored for the line (none for a line that stored
    // nothing) becomes a node. The listing's end brings its last entries into the tree.
    void listItem(const TListEntry* entry);
    void listingEnded();
    // Where the reply router puts the page's lines: the viewer's box while the viewer is open, else FileMemo.
    QPlainTextEdit* replyBox() const;
    bool viewerOpen() const { return NfoDizForm_ != nullptr; }
    // The page refresh: the root level is listed once after a log-in (and after the lists were emptied).
    void refresh();
    void fetchDirectory();
    // A log-in starts the tree afresh: the next refresh lists the root level.
    void startOver();
    // Empties the tree, so that nothing acts on folders of a connection that is gone; clear also empties the text
    // box.
    void clearTree();
    void clear();

private:
    // The selected tree node, or none after telling the operator to select one.
    QPersistentModelIndex selectedOrNotice();
    void listSelectedDirectory();
    void changeToParentOf(const QPersistentModelIndex& node);
    void inspect(const char* command);

    TNfoDizForm* NfoDizForm_ = nullptr; // the viewer the reply lines go to while one is open
    // The listing state: the entries of the listing under way (0: the root level is still to be listed), and
    // whether they go below the selected node rather than to the root level.
    int DirItemCount_ = 0;
    bool ListUnderSelection_ = false;
};
