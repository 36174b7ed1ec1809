#pragma once

#include "admin/UserFields.h"

class QLabel;
class QPushButton;

// The user modification dialog, made for one use by MODiFY: the operator fills in only what is to change for the
// selected user, and UPDATE sends one command per filled-in field; REMOVE IP removes the ident masks filled in.
class TUserForm : public TUserFieldsDialog {
public:
    TUserForm(const TUserContext& context, QWidget* parent = nullptr);

    QLabel* Label8;
    QLabel* Label9;
    QPushButton* bbRemoveIP;

    void bbUpdateClick();
    void bbRemoveIPClick();
};
