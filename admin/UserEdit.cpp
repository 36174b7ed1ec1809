#include "admin/UserEdit.h"

#include "admin/SpinEdit.h"
#include "gui/Guard.h"
#include "gui/OperationGate.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace WidgetKit;

TUserForm::TUserForm(const TUserContext& context, QWidget* parent)
    : TUserFieldsDialog(context, parent, 64, 49, QStringLiteral("UPDATE"))
{
    setObjectName(QStringLiteral("UserForm"));
    setWindowTitle(QStringLiteral("USER MAiNT SCREEN"));
    resize(297, 298);

    Label8 = label(this, "Label8", QStringLiteral("ONLY ENTER DATA THAT YOU"), QPoint(8, 8), true);
    Label9 = label(this, "Label9", QStringLiteral("WANT TO CHANGE FOR THIS USER!!!"), QPoint(8, 24), true);
    UserName->setReadOnly(true);
    bbRemoveIP = button(this, "bbRemoveIP", QStringLiteral("REMOVE IP"), QRect(96, 240, 75, 25));

    tabChain({UserName, Group, Password, MaxLogins, Ratio, Ident1, Ident2, Ident3, Ident4, bbUpdate, bbRemoveIP});
    bbUpdate->setToolTip(QStringLiteral("Send the boxes you changed to the daemon; the others stay as they are"));
    bbRemoveIP->setToolTip(QStringLiteral("Remove the idents typed in the iDENT boxes from the user"));
    nameControls(this);
    connectGated(context_.gate, bbUpdate, &QPushButton::clicked, this, &TUserForm::bbUpdateClick);
    connectGated(context_.gate, bbRemoveIP, &QPushButton::clicked, this, &TUserForm::bbRemoveIPClick);

    Guarded([this] { FormCreate(); });
    centreOnDesktop(this);
}

void TUserForm::bbUpdateClick()
{
    if (!Prompts().Confirm("Really update settings for " + context_.user + "?"))
        return;
    if (send(settingLines(true), bbUpdate) == TCommandRun::Outcome::Done)
        close();
}

void TUserForm::bbRemoveIPClick()
{
    if (!Prompts().Confirm("Really remove selected Idents from " + context_.user + "?"))
        return;
    if (send(identLines("SITE DELIDENTD"), bbRemoveIP) == TCommandRun::Outcome::Done)
        close();
}
