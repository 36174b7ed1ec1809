// The FiLE MAiNT page's commands on the selected node: delete and nuke a directory, and look into a release's
// NFO, DIZ and ZIP files through the viewer.

#include "shell/FilePage.h"

#include "files/NfoDizView.h"
#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "platform/Finally.h"
#include "platform/OemText.h"
#include "session/SiteSession.h"
#include "shell/FileTree.h"

#include <exception>

namespace {

const char* const kSelectFirst = "Select a directory first 'ya tool!";

// Whether the operator's CANCEL ended the operation: then nothing more is sent, and nothing is taken as done.
bool cancelled(const std::exception_ptr& failure)
{
    try {
        if (failure)
            std::rethrow_exception(failure);
    } catch (const Exception& e) {
        return e.kind() == FailureKind::Cancelled;
    } catch (...) {
    }
    return false;
}

} // namespace

void TFilePage::changeToParentOf(const QPersistentModelIndex& node)
{
    // The daemon reads the names relative to its current directory: go to the node's parent unless already there.
    const std::string folder = context_.session.loginFolder();
    if (!node.isValid())
        throw Exception("The selected node is gone"); // nothing is sent about a node no longer shown
    const std::string parent = TFileTree::parentPath(TreeView1->tree().node(node), folder);
    if (parent != context_.session.currentDirectory() + '/')
        context_.session.changeDirectory(parent);
}

QPersistentModelIndex TFilePage::selectedOrNotice()
{
    const QModelIndex node = TreeView1->currentIndex();
    if (!node.isValid())
        Prompts().Notice(QString::fromLatin1(kSelectFirst));
    return node;
}

void TFilePage::bbDeleteDirClick()
{
    const QPersistentModelIndex node = selectedOrNotice();
    if (!node.isValid())
        return;
    if (!Prompts().Confirm("Do you really want to delete " + node.data().toString() + "?"))
        return;
    TFileTree& tree = TreeView1->tree();
    const std::string folder = context_.session.loginFolder();
    if (!node.isValid())
        return; // the node went while the daemon was asked where the tree starts
    // The node goes only once the daemon has removed the directory. A refusal, a connection that is gone or a
    // cancelled RMD leave it where it is, still selected: the tree shows no folder as gone that may still be there,
    // and the next DELETE aims at the same folder, not at its neighbour.
    context_.session.removeDirectory(TFileTree::path(tree.node(node), folder));
    if (node.isValid())
        tree.removeNode(node);
}

void TFilePage::bbNukeDirClick()
{
    const QPersistentModelIndex node = selectedOrNotice();
    if (!node.isValid())
        return;
    TFileTree& tree = TreeView1->tree();
    const std::string name(tree.node(node)->name());
    if (!Prompts().Confirm("Do you really want to NUKE " + node.data().toString() + "?"))
        return;
    const QString multiplier =
        Prompts().InputBox(QStringLiteral("NUKE AMOUNT"), QStringLiteral("Enter multiplier for this Nuke:"), QString());
    if (multiplier.isEmpty())
        return;
    const QString reason =
        Prompts().InputBox(QStringLiteral("NUKE REASON"), QStringLiteral("Why are you nuking this dir?"), QString());

    // A nuke line that cannot go out whole is refused before anything is sent, the tree left as it is.
    const std::string nuke = "SITE NUKE " + QStringToLatin1(multiplier) + " " + name + " " + QStringToLatin1(reason);
    checkCommandLine(nuke, "The command");

    // The nuke names the directory relative to the daemon's current directory, so it is not sent when the change
    // to the parent failed: it would nuke a namesake somewhere else.
    std::exception_ptr failure;
    try {
        changeToParentOf(node);
        context_.session.send(nuke);
    } catch (...) {
        failure = std::current_exception();
    }
    if (cancelled(failure))
        std::rethrow_exception(failure); // the operator stopped it: nothing more goes out

    // Whatever happened, the tree shows the parent listed afresh, under the names the daemon now gives.
    const QPersistentModelIndex parent = node.parent();
    tree.removeNode(node);
    try {
        if (parent.isValid()) {
            TreeView1->setCurrentIndex(parent);
            tree.removeChildren(parent);
            listSelectedDirectory();
        } else {
            // A root-level directory has no node to list again: the root level is built anew.
            startOver();
            context_.session.changeDirectory(context_.session.loginFolder());
            fetchDirectory();
        }
    } catch (...) {
        // Both failed: the nuke's refusal is shown first, then the listing's.
        if (failure)
            ShowException(failure);
        throw;
    }
    if (failure)
        std::rethrow_exception(failure);
}

void TFilePage::inspect(const char* command)
{
    const QPersistentModelIndex node = TreeView1->currentIndex();
    if (!node.isValid())
        return;
    // The file's own name, not the node's text with its size behind it.
    const std::string file(TreeView1->tree().node(node)->name());
    checkCommandLine(command + file, "The command"); // nothing is sent for a name that cannot go out whole
    changeToParentOf(node);                          // a failure here shows no viewer

    // The reply lines go to the viewer while it exists; it is shown once the reply is complete.
    TNfoDizForm viewer(window());
    NfoDizForm_ = &viewer;
    std::exception_ptr failure;
    try {
        context_.session.send(command + file);
    } catch (...) {
        failure = std::current_exception();
    }
    if (cancelled(failure)) {
        NfoDizForm_ = nullptr;
        std::rethrow_exception(failure); // a cancelled look shows no viewer
    }
    {
        Finally gone([this] { NfoDizForm_ = nullptr; });
        viewer.exec();
    }
    if (failure)
        std::rethrow_exception(failure);
}

void TFilePage::bbViewNfoClick()
{
    inspect("SITE NFO ");
}

void TFilePage::bbViewDizClick()
{
    inspect("SITE DIZ ");
}

void TFilePage::bbTestZipClick()
{
    inspect("SITE ZIPCHK ");
}

void TFilePage::bbViewZipClick()
{
    inspect("SITE ZIPLIST ");
}
