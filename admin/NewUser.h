#pragma once

#include "admin/UserFields.h"

#include <QString>

class TMainForm;

// The new-user dialog, made for one use by NEW USER: ADD USER creates the user in the picked group, sets each
// filled-in field as the modification dialog does, and adds the name to the console's user list.
class TNewUserForm : public TUserFieldsDialog {
public:
    explicit TNewUserForm(TMainForm* owner);

    void bbUpdateClick();

    static const char* const MissingNotice;

private:
    // Adds the name to the gathered user names and refills the user drop-down from them.
    void addToUserList(const QString& name);
};
