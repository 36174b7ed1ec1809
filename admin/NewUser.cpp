#include "admin/NewUser.h"

#include "admin/SpinEdit.h"
#include "gui/Guard.h"
#include "gui/OperationGate.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/OemText.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>

using namespace WidgetKit;

const char* const TNewUserForm::MissingNotice = "HEY MORON! - You MUST enter a UserName and select a Group first!";

TNewUserForm::TNewUserForm(const TUserContext& context, QWidget* parent)
    : TUserFieldsDialog(context, parent, 24, 41, QStringLiteral("ADD USER"))
{
    setObjectName(QStringLiteral("NewUserForm"));
    setWindowTitle(QStringLiteral("NEW USER"));
    resize(297, 258);
    UserName->setMaxLength(10); // as many as the user drop-down takes

    tabChain({UserName, Group, Password, MaxLogins, Ratio, Ident1, Ident2, Ident3, Ident4, bbUpdate});
    bbUpdate->setToolTip(QStringLiteral("Add the user to the chosen group, then set the boxes filled in"));
    nameControls(this);
    connectGated(context_.gate, bbUpdate, &QPushButton::clicked, this, &TNewUserForm::bbUpdateClick);

    Guarded([this] { FormCreate(); });
    centreOnDesktop(this);
}

void TNewUserForm::bbUpdateClick()
{
    const QString name = UserName->text();
    const QString group = Group->currentText();
    if (name.isEmpty() || group.isEmpty()) {
        Prompts().Notice(QString::fromLatin1(MissingNotice));
        return;
    }
    if (!Prompts().Confirm("Really add new User " + name + "?"))
        return;
    std::vector<std::string> lines{"SITE ADDUSER " + QStringToLatin1(name) + " " + QStringToLatin1(group)};
    for (std::string& line : settingLines(false))
        lines.push_back(std::move(line));
    // The name joins the list once ADDUSER has been tried, whether or not the daemon took it; a refusal is reported
    // after that. Nothing is sent, not even ADDUSER, when one of the lines cannot go.
    const auto listName = [&](std::size_t line) {
        if (line == 0)
            emit userAdded(name);
    };
    if (send(lines, bbUpdate, listName) == TCommandRun::Outcome::Done)
        close();
}
