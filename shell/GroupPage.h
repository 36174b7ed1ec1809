#pragma once

#include "shell/ConsolePage.h"

class QComboBox;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;

// The GROUP MAiNT page: the group box filled from the gathered group names, a group's members listed, groups added
// and deleted, and a group's members moved into another group.
class TGroupPage : public TConsolePage {
    Q_OBJECT

public:
    explicit TGroupPage(const TPageContext& context);

    QFrame* Panel1;
    QLabel* Label4;
    QComboBox* GroupList;
    QPushButton* bbListGroupUsers;
    QPushButton* bbAddGroup;
    QPushButton* bbDelGroup;
    QPushButton* bbMoveUsers;
    QPlainTextEdit* GroupMemo;

    void GroupListChange();
    void bbListGroupUsersClick();
    void bbAddGroupClick();
    void bbDelGroupClick();
    void bbMoveUsersClick();

    // The page refresh: the groups are asked for once after a log-in (and after the lists were emptied).
    void refresh();
    // Asks the daemon for the groups (SITE GROUPS) and fills the group box with the names gathered.
    void fetchGroups();
    // Copies the gathered group names into the group box's list, keeping the box's text.
    void refreshGroupList();
    // Switches off the buttons that act on the chosen group: they wait for the next choice.
    void disableSelectionButtons();
    // Empties the group box; clear also empties the text box.
    void clearList();
    void clear();

private:
    void groupCleanUp();
};
