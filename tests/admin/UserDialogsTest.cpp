// The user modification and new-user dialogs: their layout, and the command lines they send to quillon-sim.

#include "AdminConsole.h"

#include "admin/NewUser.h"
#include "admin/SpinEdit.h"
#include "admin/UserEdit.h"

#include <QLineEdit>

namespace {

void expectTabOrder(QWidget* dialog, const std::vector<QWidget*>& expected)
{
    dialog->show();
    QApplication::setActiveWindow(dialog);
    expected.front()->setFocus();
    for (std::size_t i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* now = QApplication::focusWidget();
        EXPECT_TRUE(now == expected[i] || now->parentWidget() == expected[i]) << now->objectName().toStdString();
    }
    dialog->hide();
}

using UserDialogsTest = AdminConsole;

TEST_F(UserDialogsTest, BothDialogsHaveTheirControlsLimitsAndKeyboardOrder)
{
    form = std::make_unique<TMainForm>();
    control<QComboBox>("UserList")->setEditText(QStringLiteral("newbie"));
    lists().GroupNames = QStringList({"Admin", "Trial"});

    auto edit = control<TUserPage>("UserSheet")->makeUserForm();
    EXPECT_EQ(edit->objectName() + edit->windowTitle(), "UserFormUSER MAiNT SCREEN");
    EXPECT_EQ(edit->size(), QSize(297, 298));
    EXPECT_TRUE(edit->UserName->text() == "newbie" && edit->UserName->isReadOnly());
    EXPECT_TRUE(!edit->Group->isEditable() && edit->Group->count() == 2 && edit->Group->currentText().isEmpty());
    EXPECT_EQ(edit->MaxLogins->geometry(), QRect(136, 112, 49, 22));
    EXPECT_EQ(edit->bbRemoveIP->geometry(), QRect(96, 240, 75, 25));
    expectTabOrder(edit.get(), {edit->UserName, edit->Group, edit->Password, edit->MaxLogins, edit->Ratio, edit->Ident1,
                                edit->Ident2, edit->Ident3, edit->Ident4, edit->bbUpdate, edit->bbRemoveIP});

    auto add = control<TUserPage>("UserSheet")->makeNewUserForm();
    EXPECT_EQ(add->objectName() + add->windowTitle(), "NewUserFormNEW USER");
    EXPECT_EQ(add->size(), QSize(297, 258));
    EXPECT_EQ(add->MaxLogins->geometry(), QRect(136, 72, 41, 22));
    EXPECT_EQ(add->bbUpdate->geometry(), QRect(8, 200, 75, 25));
    retype(add->UserName, QStringLiteral("abcdefghijklmn"));
    EXPECT_EQ(add->UserName->text(), "abcdefghij");
    expectTabOrder(add.get(), {add->UserName, add->Group, add->Password, add->MaxLogins, add->Ratio, add->Ident1,
                               add->Ident2, add->Ident3, add->Ident4, add->bbUpdate});
}

TEST_F(UserDialogsTest, UpdateSendsOneLinePerChangedFieldInOrderThenCloses)
{
    logIn(QStringLiteral("newbie"));
    auto dialog = control<TUserPage>("UserSheet")->makeUserForm();
    dialog->show();
    pick(*dialog, QStringLiteral("Couriers"));
    QTest::keyClicks(dialog->Password, QStringLiteral("s3cret"));
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(dialog->MaxLogins, Qt::Key_Up);
    retype(dialog->Ratio, QStringLiteral("5"));
    retype(dialog->Ident2, QStringLiteral("nb@home"));
    retype(dialog->Ident4, QStringLiteral("*@ ")); // not exactly the untouched mask, so it goes
    prompts.confirmAnswers = {false, true};
    click(dialog->bbUpdate);
    EXPECT_TRUE(dialog->isVisible() && dialog->Password->text() == "s3cret") << "No keeps the dialog as it was";
    click(dialog->bbUpdate);
    EXPECT_EQ(prompts.confirms, QStringList(2, "Really update settings for newbie?"));
    EXPECT_EQ(sent(),
              QStringList({"SITE CHGRP newbie Couriers", "SITE CHPASS newbie s3cret", "SITE CHLOGINS newbie 3",
                           "SITE CHRATIO newbie 5", "SITE ADDIDENTD newbie nb@home", "SITE ADDIDENTD newbie *@ "}));
    EXPECT_FALSE(dialog->isVisible());
    const QString record = userRecord("newbie");
    EXPECT_TRUE(record.contains("(group Couriers)") && record.contains("Max logins : 3") && record.contains("nb@home"))
        << record.toStdString();
}

TEST_F(UserDialogsTest, ARefusedLineEndsTheSequenceAndTheDialogStaysWithItsFields)
{
    logIn(QStringLiteral("newbie"));
    auto dialog = control<TUserPage>("UserSheet")->makeUserForm();
    dialog->show();
    pick(*dialog, QStringLiteral("Seniors"));
    retype(dialog->Ident1, QStringLiteral("nomask")); // the daemon wants ident@host
    retype(dialog->Ident2, QStringLiteral("nb@home"));
    prompts.confirmAnswers = {true};
    click(dialog->bbUpdate);
    EXPECT_EQ(sent(), QStringList({"SITE CHGRP newbie Seniors", "SITE ADDIDENTD newbie nomask"}));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("501 Bad ident mask: nomask")) << prompts.errors[0].toStdString();
    EXPECT_TRUE(dialog->isVisible() && dialog->Ident1->text() == "nomask");
    EXPECT_TRUE(userRecord("newbie").contains("(group Seniors)")) << "the first line stays in effect";

    // REMOVE IP sends the masks alone; an emptied box ends in the blank after the user.
    retype(dialog->Ident1, QStringLiteral("newbie@*"));
    dialog->Ident2->clear();
    prompts.confirmAnswers = {true};
    click(dialog->bbRemoveIP);
    EXPECT_EQ(sent(), QStringList({"SITE DELIDENTD newbie newbie@*", "SITE DELIDENTD newbie "}));
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(UserDialogsTest, ClicksInsideAWaitDoNothingAndUpdateReadsCancel)
{
    logIn(QStringLiteral("newbie"));
    auto dialog = control<TUserPage>("UserSheet")->makeUserForm();
    dialog->show();
    pick(*dialog, QStringLiteral("Trial"));
    QTest::keyClicks(dialog->Password, QStringLiteral("pw"));
    prompts.confirmAnswers = {true, true, true};
    QString captionDuring;
    duringTheWait([&] {
        captionDuring = dialog->bbUpdate->text();
        click(dialog->bbRemoveIP);
        QTest::keyClicks(dialog->Password, QStringLiteral("more"));
    });
    click(dialog->bbUpdate);
    EXPECT_EQ(captionDuring, "CANCEL");
    EXPECT_EQ(prompts.confirms.size(), 1) << "the clicks in the wait asked nothing";
    EXPECT_EQ(sent(), QStringList({"SITE CHGRP newbie Trial", "SITE CHPASS newbie pw"}));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->bbUpdate->text(), "UPDATE");
    EXPECT_EQ(dialog->Password->text(), "pw");
}

TEST_F(UserDialogsTest, AddUserWantsNameAndGroupThenCreatesSetsAndListsTheUser)
{
    logIn(QString());
    const int users = control<QComboBox>("UserList")->count();
    auto dialog = control<TUserPage>("UserSheet")->makeNewUserForm();
    dialog->show();
    pick(*dialog, QStringLiteral("Friends"));
    click(dialog->bbUpdate); // a group, no name
    QTest::keyClicks(dialog->UserName, QStringLiteral("rookie"));
    dialog->Group->setCurrentIndex(-1);
    click(dialog->bbUpdate); // a name, no group
    const QString notice = "HEY MORON! - You MUST enter a UserName and select a Group first!";
    EXPECT_EQ(prompts.notices, QStringList({notice, notice}));
    EXPECT_EQ(sent(), QStringList());

    pick(*dialog, QStringLiteral("Friends"));
    QTest::keyClicks(dialog->Password, QStringLiteral("pw 2"));
    QTest::keyClick(dialog->Ratio, Qt::Key_Up);
    retype(dialog->Ident3, QStringLiteral("rk@*"));
    control<QComboBox>("UserList")->setEditText(QStringLiteral("typed"));
    prompts.confirmAnswers = {true, true};
    // ADD USER's handler as its click runs it (the button reads CANCEL in the wait, and a click there cancels).
    duringTheWait([&] {
        for (const TOperationGate::Entry& entry : form->operationGate().entries())
            if (entry.owner == dialog->bbUpdate)
                entry.run();
    });
    click(dialog->bbUpdate);
    EXPECT_EQ(prompts.confirms, QStringList({"Really add new User rookie?"})) << "nothing more inside the wait";
    EXPECT_EQ(sent(), QStringList({"SITE ADDUSER rookie Friends", "SITE CHPASS rookie pw 2", "SITE CHRATIO rookie 1",
                                   "SITE ADDIDENTD rookie rk@*"}));
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(lists().UserNames.last(), "rookie");
    ASSERT_EQ(control<QComboBox>("UserList")->count(), users + 1);
    for (int i = 1; i < control<QComboBox>("UserList")->count(); ++i)
        EXPECT_LE(control<QComboBox>("UserList")->itemText(i - 1), control<QComboBox>("UserList")->itemText(i))
            << "the user box stays sorted";
    EXPECT_EQ(control<QComboBox>("UserList")->currentText(), "typed");
}

TEST_F(UserDialogsTest, ARefusedAddUserStillListsTheNameAndSendsNoMore)
{
    logIn(QStringLiteral("newbie")); // already on the site
    auto dialog = control<TUserPage>("UserSheet")->makeNewUserForm();
    dialog->show();
    pick(*dialog, QStringLiteral("Trial"));
    QTest::keyClicks(dialog->Password, QStringLiteral("pw"));
    prompts.confirmAnswers = {true, true};
    click(dialog->bbUpdate);
    click(dialog->bbUpdate);
    EXPECT_EQ(sent(), QStringList({"SITE ADDUSER newbie Trial", "SITE ADDUSER newbie Trial"}));
    ASSERT_EQ(prompts.errors.size(), 2);
    EXPECT_TRUE(prompts.errors[0].startsWith("550 User already exists: newbie")) << prompts.errors[0].toStdString();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(lists().UserNames.count("newbie"), 3) << "appended on every press";
    int listed = 0;
    for (int i = 0; i < control<QComboBox>("UserList")->count(); ++i)
        listed += control<QComboBox>("UserList")->itemText(i) == "newbie";
    EXPECT_EQ(listed, 3);

    click(control<QPushButton>("bbLogOut"));
    dialog->UserName->setText(QStringLiteral("ghost"));
    prompts.confirmAnswers = {true};
    click(dialog->bbUpdate);
    EXPECT_TRUE(prompts.errors.last().startsWith("Not Connected")) << prompts.errors.last().toStdString();
    EXPECT_EQ(lists().UserNames, QStringList({"ghost"})) << "appended all the same; the log-out emptied the list";
}

} // namespace
