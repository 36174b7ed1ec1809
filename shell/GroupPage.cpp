// The GROUP MAiNT page: list a group's members, add, delete, and move a group's members into another group.

#include "shell/GroupPage.h"

#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/Finally.h"
#include "platform/OemText.h"
#include "session/SiteSession.h"
#include "shell/ListGatherer.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

using namespace WidgetKit;

TGroupPage::TGroupPage(const TPageContext& context) : TConsolePage(context, "GroupSheet")
{
    Panel1 = addPanel("Panel1", 57, false);
    Label4 = label(Panel1, "Label4", QStringLiteral("GROUP"), QPoint(0, 8));
    GroupList = editableList(Panel1, "GroupList", QRect(0, 24, 121, 25), 8);
    bbListGroupUsers = button(Panel1, "bbListGroupUsers", QStringLiteral("LiST USERS"), QRect(128, 24, 78, 25));
    bbAddGroup = button(Panel1, "bbAddGroup", QStringLiteral("ADD GROUP"), QRect(208, 24, 78, 25));
    bbDelGroup = button(Panel1, "bbDelGroup", QStringLiteral("DEL GROUP"), QRect(288, 24, 78, 25));
    bbMoveUsers = button(Panel1, "bbMoveUsers", QStringLiteral("MOVE USERS"), QRect(368, 24, 78, 25));
    for (QPushButton* b : {bbListGroupUsers, bbDelGroup, bbMoveUsers})
        b->setEnabled(false);
    GroupMemo = addMemo("GroupMemo");

    // What a newcomer reads when resting the mouse on a button, and what a screen reader calls each box.
    const std::pair<QPushButton*, const char*> tips[] = {
        {bbListGroupUsers, "List the members of the group chosen in GROUP"},
        {bbAddGroup, "Add a new group: asks for its name"},
        {bbDelGroup, "Delete the group chosen in GROUP (asks first)"},
        {bbMoveUsers, "Move every user of the group chosen in GROUP into another group: asks which"},
    };
    for (const auto& [control, tip] : tips)
        control->setToolTip(QString::fromUtf8(tip));
    Label4->setBuddy(GroupList);
    GroupMemo->setAccessibleName(QStringLiteral("GROUP MAiNT replies"));

    on(GroupList->lineEdit(), &QLineEdit::textEdited, &TGroupPage::GroupListChange);
    on(GroupList, &QComboBox::activated, &TGroupPage::GroupListChange);
    operation(bbListGroupUsers, &QPushButton::clicked, &TGroupPage::bbListGroupUsersClick);
    operation(bbAddGroup, &QPushButton::clicked, &TGroupPage::bbAddGroupClick);
    operation(bbDelGroup, &QPushButton::clicked, &TGroupPage::bbDelGroupClick);
    operation(bbMoveUsers, &QPushButton::clicked, &TGroupPage::bbMoveUsersClick);
}

void TGroupPage::clear()
{
    GroupMemo->clear();
    clearList();
}

void TGroupPage::clearList()
{
    GroupList->clearEditText();
    GroupList->clear();
}

void TGroupPage::disableSelectionButtons()
{
    for (QPushButton* b : {bbDelGroup, bbListGroupUsers, bbMoveUsers})
        b->setEnabled(false);
}

void TGroupPage::refreshGroupList()
{
    replaceItems(GroupList, context_.lists.GroupNames);
}

void TGroupPage::refresh()
{
    if (context_.lists.GroupCount == 0)
        fetchGroups();
}

// The gathering flag and the cursor are put back however the fetch ends, so that a failed command leaves neither a
// gathering that would eat the next replies nor an hourglass behind.
void TGroupPage::fetchGroups()
{
    TListGatherer& lists = context_.lists;
    context_.setBusyCursor(true);
    context_.setMessage(QStringLiteral("Gathering Group data..."));
    Finally done([this, &lists] {
        lists.GatheringGroups = false;
        context_.setBusyCursor(false);
    });
    context_.session.send("SITE GROUPS");
    lists.GatheringGroups = false;
    refreshGroupList();
    context_.setMessage(QStringLiteral("Done..."));
}

void TGroupPage::GroupListChange()
{
    for (QPushButton* b : {bbListGroupUsers, bbDelGroup, bbMoveUsers})
        b->setEnabled(true);
}

void TGroupPage::bbListGroupUsersClick()
{
    // A query: one command line; the router shows the reply.
    context_.session.send("SITE USERS " + QStringToLatin1(GroupList->currentText()));
}

void TGroupPage::bbAddGroupClick()
{
    const QString group = Prompts().InputBox(QStringLiteral("CREATE NEW GROUP"),
                                             QStringLiteral("Enter the name of the group to add:"), QString());
    if (group.isEmpty())
        return;
    context_.session.send("SITE ADDGROUP " + QStringToLatin1(group));
    context_.lists.GroupNames << group; // only once the daemon took it, and without looking for a twin
    refreshGroupList();
}

// The group leaves the console's list whether or not the daemon agreed; the box empties and the per-group
// buttons wait for the next choice.
void TGroupPage::groupCleanUp()
{
    removeFirstNoCase(context_.lists.GroupNames, GroupList->currentText());
    GroupList->clearEditText();
    refreshGroupList();
    disableSelectionButtons();
}

void TGroupPage::bbDelGroupClick()
{
    const QString group = GroupList->currentText();
    if (!Prompts().Confirm("Do you really want to delete the group " + group + "?"))
        return;
    Finally cleanUp([this] { groupCleanUp(); });
    context_.session.send("SITE DELGROUP " + QStringToLatin1(group));
}

void TGroupPage::bbMoveUsersClick()
{
    const QString group = GroupList->currentText();
    if (!Prompts().Confirm("Do you really want to move users from " + group + " to a different group?"))
        return;
    const QString target =
        Prompts().InputBox(QStringLiteral("MOVE USERS TO..."),
                           QStringLiteral("Enter the name of the group to move the users to:"), QString());
    if (!context_.lists.GroupNames.contains(target, Qt::CaseInsensitive)) {
        Prompts().Notice(QStringLiteral("No such Group you dink..."));
        return;
    }
    Finally cleanUp([this] { groupCleanUp(); });
    context_.session.send("SITE DELGROUP " + QStringToLatin1(group) + " " + QStringToLatin1(target));
}
