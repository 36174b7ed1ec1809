// The USER MAiNT page against quillon-sim: the user box and its buttons, queries, credits, deletion, and the
// buttons that open the user dialogs.

#include "ConsoleFixture.h"

#include "admin/NewUser.h"
#include "admin/UserEdit.h"
#include "common/WhenModal.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

class UserPageTest : public ConsoleTest {
protected:
    QString perUser() const
    {
        QString s;
        for (QPushButton* b : {control<QPushButton>("bbUserInfo"), control<QPushButton>("bbModifyUser"),
                               control<QPushButton>("bbSetFlags"), control<QPushButton>("bbDeleteUser"),
                               control<QPushButton>("bbGiveCredit"), control<QPushButton>("bbTakeCredit")})
            s += b->isEnabled() ? '1' : '0';
        return s;
    }
    void type(const QString& text)
    {
        control<QComboBox>("UserList")->setFocus();
        control<QComboBox>("UserList")->clearEditText();
        QTest::keyClicks(control<QComboBox>("UserList"), text);
    }
    // Closes the modal dialog named name as soon as it is up, noting that it was.
    void closeWhenUp(const char* name, bool& seen)
    {
        whenModal(
            form.get(),
            [&seen](QWidget* modal) {
                seen = true;
                modal->close();
            },
            name);
    }
};

TEST_F(UserPageTest, TheBoxEnablesThePerUserButtonsAndQueriesSendAsTyped)
{
    SimProcess sim;
    online(sim, "UserSheet");
    EXPECT_EQ(perUser(), "000000");
    const qsizetype mark = sim.commands().size();
    click(control<QPushButton>("bbKolvanes")); // the role listings work with the box empty and the per-user buttons off
    click(control<QPushButton>("bbGroupOps"));
    click(control<QPushButton>("bbLeeches"));

    type(QStringLiteral("x"));
    EXPECT_EQ(perUser(), "111111");
    QTest::keyClick(control<QComboBox>("UserList"), Qt::Key_Backspace);
    EXPECT_EQ(perUser(), "111111") << "an emptied box keeps them on";
    click(control<QPushButton>("bbUserInfo"));
    type(QStringLiteral("nosuchuser12345"));
    EXPECT_EQ(control<QComboBox>("UserList")->currentText(), "nosuchuser") << "at most ten characters";
    type(QStringLiteral("turbo"));
    click(control<QPushButton>("bbUserInfo"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE USERS KOLVANE", "SITE USERS GROUPOP", "SITE USERS LEECH",
                                                    "SITE USER ", "SITE USER turbo"}));
    EXPECT_TRUE(control<QPlainTextEdit>("UserMemo")->toPlainText().contains("User turbo"));

    // The console's own changes enable nothing: after a log-out the buttons are off again.
    click(control<QPushButton>("bbLogOut"));
    EXPECT_EQ(perUser(), "000000");
    EXPECT_EQ(control<QComboBox>("UserList")->currentText(), "");
}

TEST_F(UserPageTest, CreditsAreSentInKilobytesAndOnlyForANumber)
{
    SimProcess sim;
    online(sim, "UserSheet");
    type(QStringLiteral("turbo"));
    const qsizetype mark = sim.commands().size();
    prompts.inputAnswers = {QString(),          QStringLiteral("0"),      QStringLiteral("00"), QStringLiteral("25"),
                            QStringLiteral(""), QStringLiteral("2097152")};
    for (int i = 0; i < 6; ++i)
        click(control<QPushButton>("bbGiveCredit"));
    EXPECT_EQ(prompts.inputs[0], "GiVE CREDiT|Give turbo how many MB?|0");
    EXPECT_EQ(prompts.errors.value(0), "'' is not a valid integer value.");
    prompts.inputAnswers = {QStringLiteral("-5"), QStringLiteral("10")};
    click(control<QPushButton>("bbTakeCredit"));
    click(control<QPushButton>("bbTakeCredit"));
    EXPECT_EQ(prompts.inputs.last(), "TAKE CREDiT|Take how many MB from turbo?|0");
    const QStringList sent = sim.commandsSince(mark);
    EXPECT_EQ(sent, QStringList({"SITE GIVE 0 turbo", "SITE GIVE 25600 turbo", "SITE GIVE -2147483648 turbo",
                                 "SITE TAKE -5120 turbo", "SITE TAKE 10240 turbo"}));
}

TEST_F(UserPageTest, DeleteTakesTheNameOffTheListEvenWhenRefused)
{
    SimProcess sim;
    online(sim, "UserSheet");
    ASSERT_GE(lists().UserNames.indexOf("zippy"), 0);
    const int users = control<QComboBox>("UserList")->count();
    type(QStringLiteral("zippy"));
    const qsizetype mark = sim.commands().size();
    prompts.confirmAnswers = {false, true};
    click(control<QPushButton>("bbDeleteUser"));
    EXPECT_EQ(prompts.confirms.last(), "Do you really want to delete zippy?");
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
    click(control<QPushButton>("bbDeleteUser"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE DELUSER zippy"}));
    EXPECT_EQ(lists().UserNames.indexOf("zippy"), -1);
    EXPECT_EQ(control<QComboBox>("UserList")->count(), users - 1);
    EXPECT_EQ(control<QComboBox>("UserList")->currentText(), "");
    EXPECT_EQ(perUser(), "000000");

    // A name typed in capitals is sent as typed; this daemon knows no such user and refuses, and the name held
    // in small letters leaves the console's list all the same, the refusal shown afterwards.
    type(QStringLiteral("TURBO"));
    prompts.confirmAnswers = {true};
    click(control<QPushButton>("bbDeleteUser"));
    EXPECT_EQ(sim.commandsSince(mark).last(), "SITE DELUSER TURBO");
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("550"));
    EXPECT_EQ(lists().UserNames.indexOf("turbo"), -1);
    EXPECT_EQ(perUser(), "000000");
}

TEST_F(UserPageTest, TheDialogButtonsOpenTheirDialogsModally)
{
    SimProcess sim;
    online(sim, "UserSheet");
    type(QStringLiteral("turbo"));
    bool modify = false, added = false, flags = false;
    closeWhenUp("UserForm", modify);
    click(control<QPushButton>("bbModifyUser"));
    closeWhenUp("NewUserForm", added);
    click(control<QPushButton>("bbNewUser"));
    closeWhenUp("FlagForm", flags);
    click(control<QPushButton>("bbSetFlags"));
    EXPECT_TRUE(modify);
    EXPECT_TRUE(added);
    EXPECT_TRUE(flags);
    EXPECT_EQ(form->findChild<QWidget*>("UserForm"), nullptr) << "the one-use dialogs are gone when closed";
    EXPECT_EQ(form->findChild<QWidget*>("NewUserForm"), nullptr);
    EXPECT_FALSE(control<TFlagForm>("FlagForm")->isVisible());
}

} // namespace
