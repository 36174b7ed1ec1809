// The GROUP MAiNT page against quillon-sim: its list kept in step with what the buttons did.

#include "ConsoleFixture.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

using GroupPageTest = ConsoleTest;

TEST_F(GroupPageTest, ListAddDeleteAndTheButtonsThatFollowTheBox)
{
    SimProcess sim;
    online(sim, &TMainForm::GroupSheet);
    ASSERT_GE(form->GroupNames.indexOf("Trial"), 0);
    EXPECT_FALSE(form->bbListGroupUsers->isEnabled());

    form->GroupList->setFocus();
    QTest::keyClicks(form->GroupList, QStringLiteral("Admin"));
    EXPECT_TRUE(form->bbListGroupUsers->isEnabled());
    EXPECT_TRUE(form->bbDelGroup->isEnabled());
    EXPECT_TRUE(form->bbMoveUsers->isEnabled());
    qsizetype mark = sim.commands().size();
    click(form->bbListGroupUsers);
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE USERS Admin"}));
    EXPECT_TRUE(form->GroupMemo->toPlainText().contains("siteop"));

    // ADD GROUP: Cancel sends nothing; a new name is sent and listed once the daemon took it.
    mark = sim.commands().size();
    prompts.inputAnswers = {QString(), QStringLiteral("Racers")};
    click(form->bbAddGroup);
    click(form->bbAddGroup);
    EXPECT_EQ(prompts.inputs[0], "CREATE NEW GROUP|Enter the name of the group to add:|");
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE ADDGROUP Racers"}));
    EXPECT_EQ(form->GroupNames.count("Racers"), 1);
    EXPECT_GE(form->GroupList->findText("Racers"), 0);
    EXPECT_EQ(form->GroupList->currentText(), "Admin") << "the typed group stays";
    prompts.inputAnswers = {QStringLiteral("Racers")};
    click(form->bbAddGroup);
    EXPECT_EQ(prompts.errors.size(), 1) << "the daemon has it already";
    EXPECT_EQ(form->GroupNames.count("Racers"), 1) << "a refused group is not listed";

    // DEL GROUP: No keeps everything; Yes sends, and the group leaves the list with the box emptied.
    form->GroupList->setEditText(QStringLiteral("racers"));
    prompts.confirmAnswers = {false, true};
    mark = sim.commands().size();
    click(form->bbDelGroup);
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
    click(form->bbDelGroup);
    EXPECT_EQ(prompts.confirms.last(), "Do you really want to delete the group racers?");
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE DELGROUP racers"}));
    EXPECT_EQ(form->GroupNames.indexOf("Racers"), -1) << "the look-up ignores case";
    EXPECT_EQ(form->GroupList->currentText(), "");
    EXPECT_FALSE(form->bbDelGroup->isEnabled());
    EXPECT_FALSE(form->bbListGroupUsers->isEnabled());
    EXPECT_FALSE(form->bbMoveUsers->isEnabled());

    // A refused deletion (the group still has members) still takes the group off the console's list.
    const int errors = prompts.errors.size();
    form->GroupList->setEditText(QStringLiteral("Trial"));
    emit form->GroupList->lineEdit()->textEdited(QStringLiteral("Trial"));
    prompts.confirmAnswers = {true};
    click(form->bbDelGroup);
    EXPECT_EQ(prompts.errors.size(), errors + 1);
    EXPECT_EQ(form->GroupNames.indexOf("Trial"), -1);
}

TEST_F(GroupPageTest, MoveUsersWantsAKnownTargetAndSendsItAsTyped)
{
    SimProcess sim;
    online(sim, &TMainForm::GroupSheet);
    form->GroupList->setFocus();
    QTest::keyClicks(form->GroupList, QStringLiteral("Trial"));
    const qsizetype mark = sim.commands().size();

    prompts.confirmAnswers = {true, true, true, true};
    prompts.inputAnswers = {QString(), QStringLiteral("Nowhere")};
    click(form->bbMoveUsers); // Cancel gives the empty name, which is no group
    click(form->bbMoveUsers);
    EXPECT_EQ(prompts.notices, QStringList({"No such Group you dink...", "No such Group you dink..."}));
    EXPECT_EQ(prompts.confirms[0], "Do you really want to move users from Trial to a different group?");
    EXPECT_EQ(prompts.inputs[0], "MOVE USERS TO...|Enter the name of the group to move the users to:|");
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
    EXPECT_TRUE(form->bbMoveUsers->isEnabled());

    // The target is matched without regard to case but sent as typed: this daemon then knows no such group,
    // and the moved group leaves the console's list all the same.
    prompts.inputAnswers = {QStringLiteral("friends")};
    click(form->bbMoveUsers);
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE DELGROUP Trial friends"}));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("550"));
    EXPECT_EQ(form->GroupNames.indexOf("Trial"), -1);
    EXPECT_EQ(form->GroupList->findText("Trial"), -1);
    EXPECT_FALSE(form->bbMoveUsers->isEnabled());

    QTest::keyClicks(form->GroupList, QStringLiteral("Leechers"));
    prompts.inputAnswers = {QStringLiteral("Friends")};
    click(form->bbMoveUsers);
    EXPECT_EQ(sim.commandsSince(mark).last(), "SITE DELGROUP Leechers Friends");
    EXPECT_EQ(prompts.errors.size(), 1) << prompts.errors.join('\n').toStdString();
    QTest::keyClicks(form->GroupList, QStringLiteral("Friends"));
    click(form->bbListGroupUsers); // the members have moved

    EXPECT_TRUE(form->GroupMemo->toPlainText().contains("leechy"));
}

} // namespace
