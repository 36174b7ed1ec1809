// The USER MAiNT page: the user box, the queries, credits and user deletion, and the openers of the user dialogs.

#include "shell/Main.h"

#include "admin/Flags.h"
#include "admin/NewUser.h"
#include "admin/UserEdit.h"
#include "admin/UserFields.h"
#include "ftp/NMFtp.h"
#include "gui/Prompts.h"
#include "platform/Decimal.h"
#include "platform/Finally.h"
#include "platform/OemText.h"

#include <QComboBox>
#include <QPushButton>
#include <QRegularExpression>
#include <climits>
#include <cstdint>

namespace {

// A signed 32-bit decimal number: an optional sign and digits, nothing else.
bool toInt32(const QString& text, std::int32_t& value)
{
    const DecimalRead read = readDecimal(text, DecimalSigns::PlusOrMinus);
    if (read.outcome != DecimalRead::Number)
        return false; // out of range is refused, not saturated
    value = read.value;
    return true;
}

} // namespace

void TMainForm::UserListChange()
{
    // Any change the operator makes, an empty text included, enables the per-user buttons; nothing here disables.
    for (QPushButton* b : {bbUserInfo, bbModifyUser, bbSetFlags, bbDeleteUser, bbGiveCredit, bbTakeCredit})
        b->setEnabled(true);
}

void TMainForm::refreshUserList()
{
    replaceItems(UserList, UserNames);
}

void TMainForm::bbUserInfoClick()
{
    sendQuery("SITE USER " + QStringToLatin1(UserList->currentText()));
}

void TMainForm::bbKolvanesClick()
{
    sendQuery("SITE USERS KOLVANE");
}

void TMainForm::bbGroupOpsClick()
{
    sendQuery("SITE USERS GROUPOP");
}

void TMainForm::bbLeechesClick()
{
    sendQuery("SITE USERS LEECH");
}

void TMainForm::bbModifyUserClick()
{
    makeUserForm()->exec(); // a new one each time, so every field starts afresh
}

void TMainForm::bbNewUserClick()
{
    makeNewUserForm()->exec();
}

void TMainForm::NewUserAdded(const QString& name)
{
    UserNames << name;
    refreshUserList(); // as the page refresh fills it: sorted, the typed text kept
}

void TMainForm::bbSetFlagsClick()
{
    if (FlagForm)
        FlagForm->exec();
}

void TMainForm::bbDeleteUserClick()
{
    if (!Prompts().Confirm(QStringLiteral("Do you really want to delete ") + UserList->currentText() + "?"))
        return;
    // The name leaves the console's list whether or not the daemon agreed; its refusal shows afterwards.
    Finally cleanUp([this] {
        removeFirstNoCase(UserNames, UserList->currentText());
        UserList->clearEditText();
        refreshUserList();
        for (QPushButton* b : {bbDeleteUser, bbUserInfo, bbSetFlags, bbModifyUser, bbGiveCredit, bbTakeCredit})
            b->setEnabled(false);
    });
    NMFTP1->SendCommand("SITE DELUSER " + QStringToLatin1(UserList->currentText()));
}

void TMainForm::credit(const char* word, const QString& caption, const QString& prompt)
{
    const QString answer = Prompts().InputBox(caption, prompt, QStringLiteral("0"));
    if (answer == QLatin1String("0"))
        return; // Cancel gives the default, which is this too
    std::int32_t megabytes = 0;
    if (!toInt32(answer, megabytes))
        throw Exception("'" + QStringToLatin1(answer) + "' is not a valid integer value");
    // Kilobytes in 32 bits, as the daemon counts them: amounts past 2097151 MB wrap around.
    const auto kilobytes = static_cast<std::int32_t>(static_cast<std::uint32_t>(megabytes) << 10);
    NMFTP1->SendCommand(std::string("SITE ") + word + " " + std::to_string(kilobytes) + " " +
                        QStringToLatin1(UserList->currentText()));
}

void TMainForm::bbGiveCreditClick()
{
    credit("GIVE", QStringLiteral("GiVE CREDiT"), "Give " + UserList->currentText() + " how many MB?");
}

void TMainForm::bbTakeCreditClick()
{
    credit("TAKE", QStringLiteral("TAKE CREDiT"), "Take how many MB from " + UserList->currentText() + "?");
}
