#pragma once

#include "shell/ConsolePage.h"

#include <memory>

class QComboBox;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class TNewUserForm;
class TUserForm;
struct TUserContext;

// The USER MAiNT page: the user box filled from the gathered user names, the queries, credits and user deletion,
// and the openers of the user dialogs.
class TUserPage : public TConsolePage {
    Q_OBJECT

public:
    explicit TUserPage(const TPageContext& context);

    QFrame* Panel2;
    QLabel* Label3;
    QComboBox* UserList;
    QPushButton* bbUserInfo;
    QPushButton* bbSetFlags;
    QPushButton* bbModifyUser;
    QPushButton* bbDeleteUser;
    QPushButton* bbGiveCredit;
    QPushButton* bbTakeCredit;
    QPushButton* bbNewUser;
    QPushButton* bbKolvanes;
    QPushButton* bbGroupOps;
    QPushButton* bbLeeches;
    QPushButton* bbUsersAcross; // Users Across Sites for the user in USER, below the box
    QPlainTextEdit* UserMemo;

    void UserListChange();
    void bbUserInfoClick();
    void bbKolvanesClick();
    void bbGroupOpsClick();
    void bbLeechesClick();
    void bbModifyUserClick();
    void bbNewUserClick();
    void bbSetFlagsClick();
    void bbDeleteUserClick();
    void bbGiveCreditClick();
    void bbTakeCreditClick();
    // The new-user dialog sent ADD USER for this name.
    void NewUserAdded(const QString& name);
    void bbUsersAcrossClick();

    // The user dialogs, made for one use each, with the selected user and the gathered groups; their parent is the
    // window the page is in.
    std::unique_ptr<TUserForm> makeUserForm();
    std::unique_ptr<TNewUserForm> makeNewUserForm();

    // The page refresh: the users are asked for once after a log-in (and after the lists were emptied).
    void refresh();
    // Asks the daemon for the users (SITE USERS); the router gathers the names while the reply comes.
    void fetchUsers();
    // Copies the gathered user names into the user box's list, sorted, keeping the box's text.
    void refreshUserList();
    // Switches off the buttons that act on the chosen user: they wait for the next choice.
    void disableSelectionButtons();
    // Empties the user box; clear also empties the text box.
    void clearList();
    void clear();

signals:
    // The operator asked for this user on every site of the book (Users Across Sites).
    void usersAcrossAsked(const QString& user);

private:
    TUserContext userContext();
    void credit(const char* word, const QString& caption, const QString& prompt);
};
