// The FiLE MAiNT page's commands on the selected node: delete and nuke a directory, and look into a release's
// NFO, DIZ and ZIP files through the viewer.

#include "shell/Main.h"

#include "files/NfoDizView.h"
#include "ftp/NMFtp.h"
#include "gui/Finally.h"
#include "gui/Guard.h"
#include "gui/Prompts.h"
#include "platform/OemText.h"

#include <QTreeWidget>
#include <exception>

namespace {

const char* const kSelectFirst = "Select a directory first 'ya tool!";

} // namespace

void TMainForm::changeToParentOf(const QTreeWidgetItem* node)
{
    // The daemon reads the names relative to its current directory: go to the node's parent unless already there.
    const QString parent = ParentPath(node);
    if (parent != Latin1ToQString(NMFTP1->CurrentDirectory()) + QLatin1Char('/'))
        NMFTP1->ChangeDirectory(QStringToLatin1(parent));
}

QTreeWidgetItem* TMainForm::selectedOrNotice()
{
    QTreeWidgetItem* node = TreeView1->currentItem();
    if (!node)
        Prompts().Notice(QString::fromLatin1(kSelectFirst));
    return node;
}

void TMainForm::bbDeleteDirClick()
{
    QTreeWidgetItem* node = selectedOrNotice();
    if (!node)
        return;
    if (!Prompts().Confirm("Do you really want to delete " + node->text(0) + "?"))
        return;
    // The node goes from the tree whether or not the daemon removed the directory; a refusal shows afterwards.
    Finally remove([node] { delete node; });
    NMFTP1->RemoveDirectory(QStringToLatin1(NodePath(node)));
}

void TMainForm::bbNukeDirClick()
{
    QTreeWidgetItem* node = selectedOrNotice();
    if (!node)
        return;
    const QString name = node->text(0);
    if (!Prompts().Confirm("Do you really want to NUKE " + name + "?"))
        return;
    const QString multiplier =
        Prompts().InputBox(QStringLiteral("NUKE AMOUNT"), QStringLiteral("Enter multiplier for this Nuke:"), QString());
    if (multiplier.isEmpty())
        return;
    const QString reason =
        Prompts().InputBox(QStringLiteral("NUKE REASON"), QStringLiteral("Why are you nuking this dir?"), QString());

    // The nuke names the directory relative to the daemon's current directory, so it is not sent when the change
    // to the parent failed: it would nuke a namesake somewhere else.
    std::exception_ptr failure;
    try {
        changeToParentOf(node);
        NMFTP1->SendCommand("SITE NUKE " + QStringToLatin1(multiplier) + " " + QStringToLatin1(name) + " " +
                            QStringToLatin1(reason));
    } catch (...) {
        failure = std::current_exception();
    }

    // Whatever happened, the tree shows the parent listed afresh, under the names the daemon now gives.
    QTreeWidgetItem* parent = node->parent();
    delete node;
    try {
        if (parent) {
            TreeView1->setCurrentItem(parent);
            qDeleteAll(parent->takeChildren());
            listSelectedDirectory();
        } else {
            // A root-level directory has no node to list again: the root level is built anew.
            ListUnderSelection = false;
            DirItemCount = 0;
            NMFTP1->ChangeDirectory("/");
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

void TMainForm::inspect(const char* command)
{
    const QTreeWidgetItem* node = TreeView1->currentItem();
    if (!node)
        return;
    changeToParentOf(node); // a failure here shows no viewer
    QString file = node->text(0);
    if (const qsizetype suffix = file.indexOf(QStringLiteral(" ->")); suffix >= 0)
        file.truncate(suffix);

    // The reply lines go to the viewer while it exists; it is shown once the reply is complete.
    TNfoDizForm viewer(this);
    NfoDizForm = &viewer;
    std::exception_ptr failure;
    try {
        NMFTP1->SendCommand(command + QStringToLatin1(file));
    } catch (...) {
        failure = std::current_exception();
    }
    {
        Finally gone([this] { NfoDizForm = nullptr; });
        viewer.exec();
    }
    if (failure)
        std::rethrow_exception(failure);
}

void TMainForm::bbViewNfoClick()
{
    inspect("SITE NFO ");
}

void TMainForm::bbViewDizClick()
{
    inspect("SITE DIZ ");
}

void TMainForm::bbTestZipClick()
{
    inspect("SITE ZIPCHK ");
}

void TMainForm::bbViewZipClick()
{
    inspect("SITE ZIPLIST ");
}
