// The GROUP MAiNT page: list a group's members, add, delete, and move a group's members into another group.

#include "shell/Main.h"

#include "ftp/NMFtp.h"
#include "gui/Prompts.h"
#include "platform/Finally.h"
#include "platform/OemText.h"

#include <QComboBox>
#include <QPushButton>

void TMainForm::GroupListChange()
{
    for (QPushButton* b : {bbListGroupUsers, bbDelGroup, bbMoveUsers})
        b->setEnabled(true);
}

void TMainForm::bbListGroupUsersClick()
{
    sendQuery("SITE USERS " + QStringToLatin1(GroupList->currentText()));
}

void TMainForm::bbAddGroupClick()
{
    const QString group = Prompts().InputBox(QStringLiteral("CREATE NEW GROUP"),
                                             QStringLiteral("Enter the name of the group to add:"), QString());
    if (group.isEmpty())
        return;
    NMFTP1->SendCommand("SITE ADDGROUP " + QStringToLatin1(group));
    GroupNames << group; // only once the daemon took it, and without looking for a twin
    replaceItems(GroupList, GroupNames);
}

// The group leaves the console's list whether or not the daemon agreed; the box empties and the per-group
// buttons wait for the next choice.
void TMainForm::groupCleanUp()
{
    removeFirstNoCase(GroupNames, GroupList->currentText());
    GroupList->clearEditText();
    replaceItems(GroupList, GroupNames);
    for (QPushButton* b : {bbDelGroup, bbListGroupUsers, bbMoveUsers})
        b->setEnabled(false);
}

void TMainForm::bbDelGroupClick()
{
    const QString group = GroupList->currentText();
    if (!Prompts().Confirm("Do you really want to delete the group " + group + "?"))
        return;
    Finally cleanUp([this] { groupCleanUp(); });
    NMFTP1->SendCommand("SITE DELGROUP " + QStringToLatin1(group));
}

void TMainForm::bbMoveUsersClick()
{
    const QString group = GroupList->currentText();
    if (!Prompts().Confirm("Do you really want to move users from " + group + " to a different group?"))
        return;
    const QString target =
        Prompts().InputBox(QStringLiteral("MOVE USERS TO..."),
                           QStringLiteral("Enter the name of the group to move the users to:"), QString());
    if (!GroupNames.contains(target, Qt::CaseInsensitive)) {
        Prompts().Notice(QStringLiteral("No such Group you dink..."));
        return;
    }
    Finally cleanUp([this] { groupCleanUp(); });
    NMFTP1->SendCommand("SITE DELGROUP " + QStringToLatin1(group) + " " + QStringToLatin1(target));
}
