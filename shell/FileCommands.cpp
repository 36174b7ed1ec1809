// The FiLE MAiNT page's commands on the selected node: delete and nuke a directory, and look into a release's
// NFO, DIZ and ZIP files through the viewer.

#include "shell/FilePage.h"

#include "files/NfoDizView.h"
#include "ftp/NMFtp.h"
#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "platform/Finally.h"
#include "platform/OemText.h"
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
    const std::string folder = context_.loginFolder();
    if (!node.isValid())
        throw Exception("The selected node is gone"); // nothing is sent about a node no longer shown
    const std::string parent = TFileTree::parentPath(TreeView1->tree().node(node), folder);
    if (parent != context_.client.CurrentDirectory() + '/')
        context_.client.ChangeDirectory(parent);
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
    const std::string folder = context_.loginFolder();
    if (!node.isValid())
        return; // the node went while the daemon was asked where the tree starts
    // The node goes from the tree whether or not the daemon removed the directory; a refusal shows afterwards. A
    // cancelled RMD leaves it: nobody knows whether the daemon removed the directory.
    std::exception_ptr failure;
    try {
        context_.client.RemoveDirectory(TFileTree::path(tree.node(node), folder));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!cancelled(failure))
        tree.removeNode(node);
    if (failure)
        std::rethrow_exception(failure);
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
    TPowersock::checkLine(nuke, "The command");

    // The nuke names the directory relative to the daemon's current directory, so it is not sent when the change
    // to the parent failed: it would nuke a namesake somewhere else.
    std::exception_ptr failure;
    try {
        changeToParentOf(node);
        context_.client.SendCommand(nuke);
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
            context_.listUnderSelection = false;
            context_.dirItemCount = 0;
            context_.client.ChangeDirectory(context_.loginFolder());
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
    TPowersock::checkLine(command + file, "The command"); // nothing is sent for a name that cannot go out whole
    changeToParentOf(node);                               // a failure here shows no viewer

    // The reply lines go to the viewer while it exists; it is shown once the reply is complete.
    TNfoDizForm viewer(window());
    NfoDizForm = &viewer;
    std::exception_ptr failure;
    try {
        context_.client.SendCommand(command + file);
    } catch (...) {
        failure = std::current_exception();
    }
    if (cancelled(failure)) {
        NfoDizForm = nullptr;
        std::rethrow_exception(failure); // a cancelled look shows no viewer
    }
    {
        Finally gone([this] { NfoDizForm = nullptr; });
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
