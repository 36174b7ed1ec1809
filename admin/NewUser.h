#pragma once

#include "admin/UserFields.h"

#include <QString>

// The new-user dialog, made for one use by NEW USER: ADD USER creates the user in the picked group, sets each
// filled-in field as the modification dialog does, and adds the name to the console's user list.
class TNewUserForm : public TUserFieldsDialog {
    Q_OBJECT

public:
    TNewUserForm(const TUserContext& context, QWidget* parent = nullptr);

    void bbUpdateClick();

    static const char* const MissingNotice;

signals:
    // ADD USER went out for this name: it belongs in the console's user list, whether or not the daemon took it.
    void userAdded(const QString& name);
};
