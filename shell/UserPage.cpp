// The USER MAiNT page: the user box, the queries, credits and user deletion, and the openers of the user dialogs.

#include "shell/UserPage.h"

#include "admin/Flags.h"
#include "admin/NewUser.h"
#include "admin/UserEdit.h"
#include "admin/UserFields.h"
#include "gui/Prompts.h"
#include "gui/WidgetKit.h"
#include "platform/Decimal.h"
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

using namespace WidgetKit;

TUserPage::TUserPage(const TPageContext& context) : TConsolePage(context, "UserSheet")
{
    Panel2 = addPanel("Panel2", 73, false);
    Label3 = label(Panel2, "Label3", QStringLiteral("USER"), QPoint(0, 8));
    UserList = editableList(Panel2, "UserList", QRect(0, 24, 113, 25), 16);
    UserList->lineEdit()->setMaxLength(10);
    bbUserInfo = button(Panel2, "bbUserInfo", QStringLiteral("GET iNFO"), QRect(120, 8, 75, 25));
    bbSetFlags = button(Panel2, "bbSetFlags", QStringLiteral("SET FLAGS"), QRect(120, 40, 75, 25));
    bbModifyUser = button(Panel2, "bbModifyUser", QStringLiteral("MODiFY"), QRect(199, 8, 75, 25));
    bbDeleteUser = button(Panel2, "bbDeleteUser", QStringLiteral("DELETE"), QRect(199, 40, 75, 25));
    bbGiveCredit = button(Panel2, "bbGiveCredit", QStringLiteral("GiVE CREDiT"), QRect(278, 8, 75, 25));
    bbTakeCredit = button(Panel2, "bbTakeCredit", QStringLiteral("TAKE CREDiT"), QRect(278, 40, 75, 25));
    bbNewUser = button(Panel2, "bbNewUser", QStringLiteral("NEW USER"), QRect(357, 8, 73, 57));
    bbKolvanes = button(Panel2, "bbKolvanes", QStringLiteral("KOLVANES"), QRect(435, 24, 70, 25));
    bbGroupOps = button(Panel2, "bbGroupOps", QStringLiteral("GROUPOPS"), QRect(512, 8, 70, 25));
    bbLeeches = button(Panel2, "bbLeeches", QStringLiteral("LEECHES"), QRect(512, 40, 70, 25));
    // Below the user box, where the panel has room, so that no documented control moves.
    bbUsersAcross = button(Panel2, "bbUsersAcross", QStringLiteral("ACROSS SiTES"), QRect(0, 51, 113, 20));
    disableSelectionButtons();
    UserMemo = addMemo("UserMemo");

    // What a newcomer reads when resting the mouse on a button, and what a screen reader calls each box.
    const std::pair<QPushButton*, const char*> tips[] = {
        {bbUserInfo, "Show the details of the user chosen in USER"},
        {bbSetFlags, "Set the flags of the user chosen in USER (disabled, leech, group operator, ...)"},
        {bbModifyUser, "Change the group, password, log-in limit, ratio or idents of the user chosen in USER"},
        {bbDeleteUser, "Delete the user chosen in USER from the site (asks first)"},
        {bbGiveCredit, "Give credit to the user chosen in USER: asks how many MB"},
        {bbTakeCredit, "Take credit from the user chosen in USER: asks how many MB"},
        {bbNewUser, "Add a new user to the site"},
        {bbKolvanes, "List the site operators (the users with the KOLVANE flag)"},
        {bbGroupOps, "List the group operators (the users with the GROUPOP flag)"},
        {bbLeeches, "List the leeches (the users with the LEECH flag, who download without a ratio)"},
        {bbUsersAcross, "Users Across Sites: who is on which site of the book, the user in USER side by side, and "
                        "one change to many sites"},
    };
    for (const auto& [control, tip] : tips)
        control->setToolTip(QString::fromUtf8(tip));
    Label3->setBuddy(UserList);
    UserMemo->setAccessibleName(QStringLiteral("USER MAiNT replies"));

    on(UserList->lineEdit(), &QLineEdit::textEdited, &TUserPage::UserListChange);
    on(UserList, &QComboBox::activated, &TUserPage::UserListChange);
    operation(bbUserInfo, &QPushButton::clicked, &TUserPage::bbUserInfoClick);
    operation(bbKolvanes, &QPushButton::clicked, &TUserPage::bbKolvanesClick);
    operation(bbGroupOps, &QPushButton::clicked, &TUserPage::bbGroupOpsClick);
    operation(bbLeeches, &QPushButton::clicked, &TUserPage::bbLeechesClick);
    operation(bbModifyUser, &QPushButton::clicked, &TUserPage::bbModifyUserClick);
    operation(bbNewUser, &QPushButton::clicked, &TUserPage::bbNewUserClick);
    operation(bbSetFlags, &QPushButton::clicked, &TUserPage::bbSetFlagsClick);
    operation(bbDeleteUser, &QPushButton::clicked, &TUserPage::bbDeleteUserClick);
    operation(bbGiveCredit, &QPushButton::clicked, &TUserPage::bbGiveCreditClick);
    operation(bbTakeCredit, &QPushButton::clicked, &TUserPage::bbTakeCreditClick);
    // Through the gate as every button of the pages, though the window it opens runs sessions of its own.
    operation(bbUsersAcross, &QPushButton::clicked, &TUserPage::bbUsersAcrossClick);
}

void TUserPage::clear()
{
    UserMemo->clear();
    clearList();
}

void TUserPage::clearList()
{
    UserList->clearEditText();
    UserList->clear();
}

void TUserPage::disableSelectionButtons()
{
    for (QPushButton* b : {bbUserInfo, bbSetFlags, bbModifyUser, bbDeleteUser, bbGiveCredit, bbTakeCredit})
        b->setEnabled(false);
}

void TUserPage::refresh()
{
    if (context_.lists.UserLineCount == 0)
        fetchUsers();
}

// The gathering flag and the cursor are put back however the fetch ends, so that a failed command leaves neither a
// gathering that would eat the next replies nor an hourglass behind.
void TUserPage::fetchUsers()
{
    TListGatherer& lists = context_.lists;
    context_.setBusyCursor(true);
    context_.setMessage(QStringLiteral("Gathering User data..."));
    Finally done([this, &lists] {
        lists.GatheringUsers = false;
        context_.setBusyCursor(false);
    });
    lists.GatheringUsers = true;
    context_.session.send("SITE USERS"); // the router gathers the names while it runs
    lists.GatheringUsers = false;
    refreshUserList();
}

void TUserPage::UserListChange()
{
    // Any change the operator makes, an empty text included, enables the per-user buttons; nothing here disables.
    for (QPushButton* b : {bbUserInfo, bbModifyUser, bbSetFlags, bbDeleteUser, bbGiveCredit, bbTakeCredit})
        b->setEnabled(true);
}

void TUserPage::refreshUserList()
{
    replaceItems(UserList, context_.lists.UserNames, true);
}

void TUserPage::bbUserInfoClick()
{
    // A query: one command line; the router shows the reply.
    context_.session.send("SITE USER " + QStringToLatin1(UserList->currentText()));
}

void TUserPage::bbKolvanesClick()
{
    context_.session.send("SITE USERS KOLVANE");
}

void TUserPage::bbGroupOpsClick()
{
    context_.session.send("SITE USERS GROUPOP");
}

void TUserPage::bbLeechesClick()
{
    context_.session.send("SITE USERS LEECH");
}

TUserContext TUserPage::userContext()
{
    return TUserContext{context_.session, context_.gate, UserList->currentText(), context_.lists.GroupNames,
                        context_.cancelWait};
}

std::unique_ptr<TUserForm> TUserPage::makeUserForm()
{
    return std::make_unique<TUserForm>(userContext(), window());
}

std::unique_ptr<TNewUserForm> TUserPage::makeNewUserForm()
{
    auto dialog = std::make_unique<TNewUserForm>(userContext(), window());
    connect(dialog.get(), &TNewUserForm::userAdded, this, &TUserPage::NewUserAdded);
    return dialog;
}

void TUserPage::bbModifyUserClick()
{
    makeUserForm()->exec(); // a new one each time, so every field starts afresh
}

void TUserPage::bbNewUserClick()
{
    makeNewUserForm()->exec();
}

void TUserPage::NewUserAdded(const QString& name)
{
    context_.lists.UserNames << name;
    refreshUserList(); // as the page refresh fills it: sorted, the typed text kept
}

void TUserPage::bbUsersAcrossClick()
{
    emit usersAcrossAsked(UserList->currentText());
}

void TUserPage::bbSetFlagsClick()
{
    if (TFlagForm* flags = context_.flagForm())
        flags->exec();
}

void TUserPage::bbDeleteUserClick()
{
    if (!Prompts().Confirm(QStringLiteral("Do you really want to delete ") + UserList->currentText() + "?"))
        return;
    // The name leaves the console's list whether or not the daemon agreed; its refusal shows afterwards.
    Finally cleanUp([this] {
        removeFirstNoCase(context_.lists.UserNames, UserList->currentText());
        UserList->clearEditText();
        refreshUserList();
        disableSelectionButtons();
    });
    context_.session.send("SITE DELUSER " + QStringToLatin1(UserList->currentText()));
}

void TUserPage::credit(const char* word, const QString& caption, const QString& prompt)
{
    const QString answer = Prompts().InputBox(caption, prompt, QStringLiteral("0"));
    if (answer == QLatin1String("0"))
        return; // Cancel gives the default, which is this too
    std::int32_t megabytes = 0;
    if (!toInt32(answer, megabytes))
        throw Exception("'" + QStringToLatin1(answer) + "' is not a valid integer value");
    // Kilobytes in 32 bits, as the daemon counts them: amounts past 2097151 MB wrap around.
    const auto kilobytes = static_cast<std::int32_t>(static_cast<std::uint32_t>(megabytes) << 10);
    context_.session.send(std::string("SITE ") + word + " " + std::to_string(kilobytes) + " " +
                          QStringToLatin1(UserList->currentText()));
}

void TUserPage::bbGiveCreditClick()
{
    credit("GIVE", QStringLiteral("GiVE CREDiT"), "Give " + UserList->currentText() + " how many MB?");
}

void TUserPage::bbTakeCreditClick()
{
    credit("TAKE", QStringLiteral("TAKE CREDiT"), "Take how many MB from " + UserList->currentText() + "?");
}
