// The user modification and new-user dialogs: their layout, and the command lines they send to quillon-sim.

#include "AdminConsole.h"

#include "admin/NewUser.h"
#include "admin/SpinEdit.h"
#include "admin/UserEdit.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

// Keyboard focus from the first widget on, one Tab at a time.
void expectTabOrder(QWidget* dialog, const std::vector<QWidget*>& expected)
{
    QApplication::setActiveWindow(dialog);
    expected.front()->setFocus();
    for (std::size_t i = 0; i + 1 < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* now = QApplication::focusWidget();
        EXPECT_TRUE(now == expected[i + 1] || now->parentWidget() == expected[i + 1])
            << "after " << expected[i]->objectName().toStdString() << " came " << now->objectName().toStdString();
    }
}

void retype(QLineEdit* box, const QString& text)
{
    box->selectAll();
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClicks(box, text);
}

void retype(TSpinEdit* box, const QString& text)
{
    retype(box->findChild<QLineEdit*>(), text);
}

class UserDialogsTest : public AdminConsole {
protected:
    void pickGroup(TUserFieldsDialog& dialog, const QString& group)
    {
        const int index = dialog.Group->findText(group);
        ASSERT_GE(index, 0) << group.toStdString();
        dialog.Group->setCurrentIndex(index);
    }
};

TEST_F(UserDialogsTest, BothDialogsHaveTheirControlsLimitsAndKeyboardOrder)
{
    form = std::make_unique<TMainForm>();
    form->show();
    form->UserList->setEditText(QStringLiteral("newbie"));
    form->GroupNames = QStringList({"Admin", "Trial", "Couriers"});

    TUserForm edit(form.get());
    EXPECT_EQ(edit.objectName(), "UserForm");
    EXPECT_EQ(edit.windowTitle(), "USER MAiNT SCREEN");
    EXPECT_EQ(edit.size(), QSize(297, 298));
    EXPECT_NE(edit.minimumSize(), edit.maximumSize()) << "the window can be resized";
    EXPECT_TRUE(edit.isModal());
    EXPECT_EQ(edit.Label8->text(), "ONLY ENTER DATA THAT YOU");
    EXPECT_EQ(edit.Label9->text(), "WANT TO CHANGE FOR THIS USER!!!");
    EXPECT_TRUE(edit.Label9->font().bold());
    EXPECT_EQ(edit.Label9->pos(), QPoint(8, 24));
    EXPECT_EQ(edit.UserName->text(), "newbie");
    EXPECT_TRUE(edit.UserName->isReadOnly());
    EXPECT_EQ(edit.UserName->geometry(), QRect(8, 64, 121, 22));
    EXPECT_EQ(edit.Label1->pos(), QPoint(8, 48));
    EXPECT_EQ(edit.Group->geometry().topLeft(), QPoint(136, 64));
    EXPECT_EQ(edit.Group->width(), 145);
    EXPECT_FALSE(edit.Group->isEditable());
    EXPECT_EQ(edit.Group->count(), 3);
    EXPECT_EQ(edit.Group->itemText(2), "Couriers") << "in the gathered order";
    EXPECT_EQ(edit.Group->currentText(), "");
    EXPECT_EQ(edit.Password->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(edit.MaxLogins->geometry(), QRect(136, 112, 49, 22));
    EXPECT_EQ(edit.Ratio->geometry(), QRect(200, 112, 49, 22));
    EXPECT_EQ(edit.Label10->text(), "LOGiNS");
    EXPECT_EQ(edit.Label11->text(), "RATiO");
    EXPECT_EQ(edit.MaxLogins->text(), "0");
    EXPECT_EQ(edit.Ident4->geometry(), QRect(136, 208, 121, 22));
    for (QLineEdit* ident : {edit.Ident1, edit.Ident2, edit.Ident3, edit.Ident4})
        EXPECT_EQ(ident->text(), "*@");
    EXPECT_EQ(edit.Label7->text(), "iDENT");
    EXPECT_EQ(edit.bbUpdate->text(), "UPDATE");
    EXPECT_EQ(edit.bbUpdate->geometry(), QRect(8, 240, 75, 25));
    EXPECT_EQ(edit.bbRemoveIP->text(), "REMOVE IP");
    EXPECT_EQ(edit.bbRemoveIP->geometry(), QRect(96, 240, 75, 25));
    edit.show();
    expectTabOrder(&edit, {edit.UserName, edit.Group, edit.Password, edit.Ident1, edit.Ident2, edit.Ident3,
                           edit.Ident4, edit.bbUpdate, edit.bbRemoveIP, edit.MaxLogins, edit.Ratio});
    edit.hide();

    TNewUserForm add(form.get());
    EXPECT_EQ(add.objectName(), "NewUserForm");
    EXPECT_EQ(add.windowTitle(), "NEW USER");
    EXPECT_EQ(add.size(), QSize(297, 258));
    EXPECT_EQ(add.findChild<QPushButton*>("bbRemoveIP"), nullptr);
    EXPECT_EQ(add.findChild<QLabel*>("Label8"), nullptr);
    EXPECT_EQ(add.UserName->geometry(), QRect(8, 24, 121, 22));
    EXPECT_FALSE(add.UserName->isReadOnly());
    EXPECT_EQ(add.UserName->text(), "newbie");
    EXPECT_EQ(add.MaxLogins->geometry(), QRect(136, 72, 41, 22));
    EXPECT_EQ(add.Ident3->geometry(), QRect(8, 168, 121, 22));
    EXPECT_EQ(add.bbUpdate->text(), "ADD USER");
    EXPECT_EQ(add.bbUpdate->geometry(), QRect(8, 200, 75, 25));
    retype(add.UserName, QStringLiteral("abcdefghijklmn"));
    EXPECT_EQ(add.UserName->text(), "abcdefghij") << "ten characters, as the user drop-down";
    add.show();
    expectTabOrder(&add, {add.UserName, add.Group, add.Password, add.Ident1, add.Ident2, add.Ident3, add.Ident4,
                          add.bbUpdate, add.MaxLogins, add.Ratio});
}

TEST_F(UserDialogsTest, UpdateSendsOneLinePerFilledInFieldInOrderThenCloses)
{
    SimProcess sim;
    logIn(sim.port, QStringLiteral("newbie"));
    TUserForm dialog(form.get());
    dialog.show();
    pickGroup(dialog, QStringLiteral("Couriers"));
    QTest::keyClicks(dialog.Password, QStringLiteral("s3cret"));
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(dialog.MaxLogins, Qt::Key_Up);
    retype(dialog.Ratio, QStringLiteral("5"));
    retype(dialog.Ident2, QStringLiteral("nb@home"));
    retype(dialog.Ident4, QStringLiteral("*@ ")); // not exactly the untouched mask, so it goes

    prompts.confirmAnswers = {true};
    const qsizetype mark = sim.commands().size();
    click(dialog.bbUpdate);
    EXPECT_EQ(prompts.confirms, QStringList({"Really update settings for newbie?"}));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(sim.commandsSince(mark),
              QStringList({"SITE CHGRP newbie Couriers", "SITE CHPASS newbie s3cret", "SITE CHLOGINS newbie 3",
                           "SITE CHRATIO newbie 5", "SITE ADDIDENTD newbie nb@home", "SITE ADDIDENTD newbie *@ "}));
    EXPECT_FALSE(dialog.isVisible());

    const QString record = userRecord("newbie");
    EXPECT_TRUE(record.contains("(group Couriers)")) << record.toStdString();
    EXPECT_TRUE(record.contains("Max logins : 3")) << record.toStdString();
    EXPECT_TRUE(record.contains("Ratio      : 1:5")) << record.toStdString();
    EXPECT_TRUE(record.contains("nb@home")) << record.toStdString();
    EXPECT_TRUE(form->UserMemo->toPlainText().startsWith("SITE USER newbie")) << "the replies go to the page";
    EXPECT_EQ(form->GroupNames.count("Couriers"), 1) << "the dialog changes no list";
}

TEST_F(UserDialogsTest, NoKeepsWhatWasTypedAndUntouchedFieldsSendNothing)
{
    SimProcess sim;
    logIn(sim.port, QStringLiteral("newbie"));
    const qsizetype mark = sim.commands().size();
    {
        TUserForm dialog(form.get());
        dialog.show();
        QTest::keyClicks(dialog.Password, QStringLiteral("pw"));
        prompts.confirmAnswers = {false, false};
        click(dialog.bbUpdate);
        click(dialog.bbRemoveIP);
        EXPECT_EQ(prompts.confirms, QStringList({"Really update settings for newbie?",
                                                 "Really remove selected Idents from newbie?"}));
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(dialog.Password->text(), "pw");

        // A log-in box holding no number (a lone minus sign) reads as 0 and leaves the limit alone.
        dialog.Password->clear();
        retype(dialog.MaxLogins, QStringLiteral("-"));
        prompts.confirmAnswers = {true};
        click(dialog.bbUpdate);
        EXPECT_FALSE(dialog.isVisible());
    }
    {
        TUserForm dialog(form.get());
        dialog.show();
        prompts.confirmAnswers = {true};
        click(dialog.bbRemoveIP);
        EXPECT_FALSE(dialog.isVisible());
    }
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
}

TEST_F(UserDialogsTest, ARefusedLineEndsTheSequenceAndTheDialogStaysWithItsFields)
{
    SimProcess sim;
    logIn(sim.port, QStringLiteral("newbie"));
    TUserForm dialog(form.get());
    dialog.show();
    pickGroup(dialog, QStringLiteral("Seniors"));
    retype(dialog.Ident1, QStringLiteral("nomask")); // the daemon wants ident@host
    retype(dialog.Ident2, QStringLiteral("nb@home"));
    prompts.confirmAnswers = {true};
    const qsizetype mark = sim.commands().size();
    click(dialog.bbUpdate);
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE CHGRP newbie Seniors", "SITE ADDIDENTD newbie nomask"}));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("501 Bad ident mask: nomask")) << prompts.errors[0].toStdString();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.Group->currentText(), "Seniors");
    EXPECT_EQ(dialog.Ident1->text(), "nomask");
    EXPECT_TRUE(userRecord("newbie").contains("(group Seniors)")) << "the first line stays in effect";

    // Logged out, the first line fails before anything is sent.
    click(form->bbLogOut);
    const qsizetype afterLogOut = sim.commands().size();
    click(dialog.bbUpdate);
    // No confirmation was scripted: the dialog stays. Yes then fails on the first line.
    prompts.confirmAnswers = {true};
    click(dialog.bbUpdate);
    ASSERT_EQ(prompts.errors.size(), 2);
    EXPECT_TRUE(prompts.errors[1].startsWith("Not Connected")) << prompts.errors[1].toStdString();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(sim.commandsSince(afterLogOut), QStringList());
}

TEST_F(UserDialogsTest, RemoveIpDeletesTheChangedMasksAndNothingElse)
{
    SimProcess sim;
    logIn(sim.port, QStringLiteral("newbie"));
    const qsizetype mark = sim.commands().size();
    {
        TUserForm dialog(form.get());
        dialog.show();
        pickGroup(dialog, QStringLiteral("Seniors"));
        QTest::keyClicks(dialog.Password, QStringLiteral("pw"));
        QTest::keyClick(dialog.Ratio, Qt::Key_Up);
        retype(dialog.Ident1, QStringLiteral("newbie@*"));
        prompts.confirmAnswers = {true};
        click(dialog.bbRemoveIP);
        EXPECT_EQ(prompts.confirms.last(), "Really remove selected Idents from newbie?");
        EXPECT_FALSE(dialog.isVisible());
    }
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE DELIDENTD newbie newbie@*"}));
    EXPECT_TRUE(userRecord("newbie").contains("Idents     : (none)"));

    // An emptied box is a change too: its line ends in the blank after the user.
    TUserForm dialog(form.get());
    dialog.show();
    dialog.Ident3->clear();
    prompts.confirmAnswers = {true};
    const qsizetype again = sim.commands().size();
    click(dialog.bbRemoveIP);
    EXPECT_EQ(sim.commandsSince(again), QStringList({"SITE DELIDENTD newbie "}));
    ASSERT_EQ(prompts.errors.size(), 1) << "the daemon wants a mask";
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(UserDialogsTest, ClicksInsideAWaitSendNothingAndACloseWaitsForTheLastLine)
{
    SimProcess sim;
    logIn(sim.port, QStringLiteral("newbie"));
    TUserForm dialog(form.get());
    dialog.show();
    pickGroup(dialog, QStringLiteral("Trial"));
    QTest::keyClicks(dialog.Password, QStringLiteral("pw"));
    prompts.confirmAnswers = {true, true, true};
    bool shownAfterClose = false;
    duringTheWait([&] {
        click(dialog.bbUpdate);
        click(dialog.bbRemoveIP);
        dialog.close(); // the close box
        shownAfterClose = dialog.isVisible();
    });
    const qsizetype mark = sim.commands().size();
    click(dialog.bbUpdate);
    EXPECT_EQ(prompts.confirms.size(), 1) << "the clicks in the wait asked nothing";
    EXPECT_TRUE(shownAfterClose);
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE CHGRP newbie Trial", "SITE CHPASS newbie pw"}));
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
}

TEST_F(UserDialogsTest, AddUserWithNameAndGroupSendsOneLineAndListsTheName)
{
    SimProcess sim;
    logIn(sim.port, QStringLiteral("rookie"));
    const int users = form->UserList->count();
    TNewUserForm dialog(form.get());
    dialog.show();
    EXPECT_EQ(dialog.UserName->text(), "rookie") << "the name typed into the user drop-down";
    pickGroup(dialog, QStringLiteral("Trial"));
    prompts.confirmAnswers = {true};
    const qsizetype mark = sim.commands().size();
    click(dialog.bbUpdate);
    EXPECT_EQ(prompts.confirms, QStringList({"Really add new User rookie?"}));
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE ADDUSER rookie Trial"}));
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();

    EXPECT_EQ(form->UserNames.last(), "rookie");
    ASSERT_EQ(form->UserList->count(), users + 1);
    EXPECT_GE(form->UserList->findText("rookie"), 0);
    for (int i = 1; i < form->UserList->count(); ++i)
        EXPECT_LE(form->UserList->itemText(i - 1), form->UserList->itemText(i)) << "the user box stays sorted";
    EXPECT_EQ(form->UserList->currentText(), "rookie") << "the typed text stays";
    EXPECT_EQ(form->UserList->currentIndex(), -1);
}

TEST_F(UserDialogsTest, AddUserWantsANameAndAGroup)
{
    SimProcess sim;
    logIn(sim.port, QString());
    const qsizetype mark = sim.commands().size();
    const int users = form->UserNames.size();
    TNewUserForm dialog(form.get());
    dialog.show();
    pickGroup(dialog, QStringLiteral("Trial"));
    click(dialog.bbUpdate); // a group, no name
    QTest::keyClicks(dialog.UserName, QStringLiteral("rookie"));
    dialog.Group->setCurrentIndex(-1);
    click(dialog.bbUpdate); // a name, no group
    const QString notice = "HEY MORON! - You MUST enter a UserName and select a Group first!";
    EXPECT_EQ(prompts.notices, QStringList({notice, notice}));
    EXPECT_TRUE(prompts.confirms.isEmpty());
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(form->UserNames.size(), users);
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
}

TEST_F(UserDialogsTest, AddUserSetsEveryFilledInFieldAfterCreatingTheUser)
{
    SimProcess sim;
    logIn(sim.port, QStringLiteral("rookie"));
    TNewUserForm dialog(form.get());
    dialog.show();
    pickGroup(dialog, QStringLiteral("Couriers"));
    pickGroup(dialog, QStringLiteral("Friends"));
    QTest::keyClicks(dialog.Password, QStringLiteral("pw 2"));
    retype(dialog.MaxLogins, QStringLiteral("2"));
    QTest::keyClick(dialog.Ratio, Qt::Key_Up);
    retype(dialog.Ident3, QStringLiteral("rk@*"));
    prompts.confirmAnswers = {true, true};
    int confirmsInWait = -1;
    duringTheWait([&] {
        click(dialog.bbUpdate);
        confirmsInWait = prompts.confirms.size();
    });
    const qsizetype mark = sim.commands().size();
    click(dialog.bbUpdate);
    EXPECT_EQ(confirmsInWait, 1) << "ADD USER does not act again inside its own wait";
    EXPECT_EQ(sim.commandsSince(mark),
              QStringList({"SITE ADDUSER rookie Friends", "SITE CHPASS rookie pw 2", "SITE CHLOGINS rookie 2",
                           "SITE CHRATIO rookie 1", "SITE ADDIDENTD rookie rk@*"}));
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(form->UserNames.count("rookie"), 1);
    const QString record = userRecord("rookie");
    EXPECT_TRUE(record.contains("(group Friends)")) << record.toStdString();
    EXPECT_TRUE(record.contains("Password   : set")) << record.toStdString();
}

TEST_F(UserDialogsTest, ARefusedAddUserStillListsTheNameAndSendsNoMore)
{
    SimProcess sim;
    logIn(sim.port, QStringLiteral("newbie")); // already on the site
    const int before = form->UserNames.count("newbie");
    ASSERT_EQ(before, 1);
    TNewUserForm dialog(form.get());
    dialog.show();
    pickGroup(dialog, QStringLiteral("Trial"));
    QTest::keyClicks(dialog.Password, QStringLiteral("pw"));
    prompts.confirmAnswers = {true, true};
    const qsizetype mark = sim.commands().size();
    click(dialog.bbUpdate);
    click(dialog.bbUpdate);
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE ADDUSER newbie Trial", "SITE ADDUSER newbie Trial"}));
    ASSERT_EQ(prompts.errors.size(), 2);
    EXPECT_TRUE(prompts.errors[0].startsWith("550 User already exists: newbie")) << prompts.errors[0].toStdString();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.Password->text(), "pw");
    EXPECT_EQ(form->UserNames.count("newbie"), 3) << "appended on every press";
    int listed = 0;
    for (int i = 0; i < form->UserList->count(); ++i)
        listed += form->UserList->itemText(i) == "newbie";
    EXPECT_EQ(listed, 3);

    // Offline, the name is appended all the same before "Not Connected" is shown.
    click(form->bbLogOut);
    dialog.UserName->setText(QStringLiteral("ghost"));
    prompts.confirmAnswers = {true};
    click(dialog.bbUpdate);
    ASSERT_EQ(prompts.errors.size(), 3);
    EXPECT_TRUE(prompts.errors[2].startsWith("Not Connected")) << prompts.errors[2].toStdString();
    EXPECT_EQ(form->UserNames, QStringList({"ghost"})) << "the log-out emptied the list";
    EXPECT_GE(form->UserList->findText("ghost"), 0);
}

} // namespace
