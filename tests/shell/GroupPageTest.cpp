// The GROUP MAiNT page against quillon-sim: its list kept in step with what the buttons did.

#include "ConsoleFixture.h"
#include "gui/Guard.h"
#include "shell/ListGatherer.h"

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
    EXPECT_FALSE(form->GroupSheet->bbListGroupUsers->isEnabled());

    form->GroupSheet->GroupList->setFocus();
    QTest::keyClicks(form->GroupSheet->GroupList, QStringLiteral("Admin"));
    EXPECT_TRUE(form->GroupSheet->bbListGroupUsers->isEnabled());
    EXPECT_TRUE(form->GroupSheet->bbDelGroup->isEnabled());
    EXPECT_TRUE(form->GroupSheet->bbMoveUsers->isEnabled());
    qsizetype mark = sim.commands().size();
    click(control<QPushButton>("bbListGroupUsers"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE USERS Admin"}));
    EXPECT_TRUE(form->GroupSheet->GroupMemo->toPlainText().contains("siteop"));

    // ADD GROUP: Cancel sends nothing; a new name is sent and listed once the daemon took it.
    mark = sim.commands().size();
    prompts.inputAnswers = {QString(), QStringLiteral("Racers")};
    click(control<QPushButton>("bbAddGroup"));
    click(control<QPushButton>("bbAddGroup"));
    EXPECT_EQ(prompts.inputs[0], "CREATE NEW GROUP|Enter the name of the group to add:|");
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE ADDGROUP Racers"}));
    EXPECT_EQ(form->GroupNames.count("Racers"), 1);
    EXPECT_GE(form->GroupSheet->GroupList->findText("Racers"), 0);
    EXPECT_EQ(form->GroupSheet->GroupList->currentText(), "Admin") << "the typed group stays";
    prompts.inputAnswers = {QStringLiteral("Racers")};
    click(control<QPushButton>("bbAddGroup"));
    EXPECT_EQ(prompts.errors.size(), 1) << "the daemon has it already";
    EXPECT_EQ(form->GroupNames.count("Racers"), 1) << "a refused group is not listed";

    // DEL GROUP: No keeps everything; Yes sends, and the group leaves the list with the box emptied.
    form->GroupSheet->GroupList->setEditText(QStringLiteral("racers"));
    prompts.confirmAnswers = {false, true};
    mark = sim.commands().size();
    click(control<QPushButton>("bbDelGroup"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
    click(control<QPushButton>("bbDelGroup"));
    EXPECT_EQ(prompts.confirms.last(), "Do you really want to delete the group racers?");
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE DELGROUP racers"}));
    EXPECT_EQ(form->GroupNames.indexOf("Racers"), -1) << "the look-up ignores case";
    EXPECT_EQ(form->GroupSheet->GroupList->currentText(), "");
    EXPECT_FALSE(form->GroupSheet->bbDelGroup->isEnabled());
    EXPECT_FALSE(form->GroupSheet->bbListGroupUsers->isEnabled());
    EXPECT_FALSE(form->GroupSheet->bbMoveUsers->isEnabled());

    // A refused deletion (the group still has members) still takes the group off the console's list.
    const int errors = prompts.errors.size();
    form->GroupSheet->GroupList->setEditText(QStringLiteral("Trial"));
    emit form->GroupSheet->GroupList->lineEdit()->textEdited(QStringLiteral("Trial"));
    prompts.confirmAnswers = {true};
    click(control<QPushButton>("bbDelGroup"));
    EXPECT_EQ(prompts.errors.size(), errors + 1);
    EXPECT_EQ(form->GroupNames.indexOf("Trial"), -1);
}

TEST_F(GroupPageTest, MoveUsersWantsAKnownTargetAndSendsItAsTyped)
{
    SimProcess sim;
    online(sim, &TMainForm::GroupSheet);
    form->GroupSheet->GroupList->setFocus();
    QTest::keyClicks(form->GroupSheet->GroupList, QStringLiteral("Trial"));
    const qsizetype mark = sim.commands().size();

    prompts.confirmAnswers = {true, true, true, true};
    prompts.inputAnswers = {QString(), QStringLiteral("Nowhere")};
    click(control<QPushButton>("bbMoveUsers")); // Cancel gives the empty name, which is no group
    click(control<QPushButton>("bbMoveUsers"));
    EXPECT_EQ(prompts.notices, QStringList({"No such Group you dink...", "No such Group you dink..."}));
    EXPECT_EQ(prompts.confirms[0], "Do you really want to move users from Trial to a different group?");
    EXPECT_EQ(prompts.inputs[0], "MOVE USERS TO...|Enter the name of the group to move the users to:|");
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
    EXPECT_TRUE(form->GroupSheet->bbMoveUsers->isEnabled());

    // The target is matched without regard to case but sent as typed: this daemon then knows no such group,
    // and the moved group leaves the console's list all the same.
    prompts.inputAnswers = {QStringLiteral("friends")};
    click(control<QPushButton>("bbMoveUsers"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE DELGROUP Trial friends"}));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("550"));
    EXPECT_EQ(form->GroupNames.indexOf("Trial"), -1);
    EXPECT_EQ(form->GroupSheet->GroupList->findText("Trial"), -1);
    EXPECT_FALSE(form->GroupSheet->bbMoveUsers->isEnabled());

    QTest::keyClicks(form->GroupSheet->GroupList, QStringLiteral("Leechers"));
    prompts.inputAnswers = {QStringLiteral("Friends")};
    click(control<QPushButton>("bbMoveUsers"));
    EXPECT_EQ(sim.commandsSince(mark).last(), "SITE DELGROUP Leechers Friends");
    EXPECT_EQ(prompts.errors.size(), 1) << prompts.errors.join('\n').toStdString();
    QTest::keyClicks(form->GroupSheet->GroupList, QStringLiteral("Friends"));
    click(control<QPushButton>("bbListGroupUsers")); // the members have moved

    EXPECT_TRUE(form->GroupSheet->GroupMemo->toPlainText().contains("leechy"));
}

} // namespace

// A page stands on the context it was given, with no window around it: its buttons start their operations through
// that gate and that runner only, and an error ends in the standard error box without adding anything to the list.
TEST(ConsolePageTest, APageRunsOnItsContextAloneThroughTheGateItWasGiven)
{
    ScriptedPrompts prompts;
    TNMFTP client; // never connected: whatever the page sends fails
    bool busy = true;
    TOperationGate gate([&] { return busy; });
    TListGatherer lists;
    int dirItems = 0;
    bool underSelection = false;
    const QList<QIcon> pictures;
    const std::string folder = "/";
    int runs = 0;
    const TPageContext context{client,
                               gate,
                               [&](const std::function<void()>& handler) {
                                   ++runs;
                                   Guarded(handler);
                               },
                               [](const QString&) {},
                               [](bool) {},
                               [] {},
                               lists,
                               dirItems,
                               underSelection,
                               [&]() -> const std::string& { return folder; },
                               pictures,
                               [] { return nullptr; }};
    TGroupPage page(context);

    QStringList gated;
    for (const TOperationGate::Entry& entry : gate.entries())
        gated << entry.name;
    gated.sort();
    EXPECT_EQ(gated, QStringList({"bbAddGroup", "bbDelGroup", "bbListGroupUsers", "bbMoveUsers"}));

    page.bbAddGroup->click(); // an operation waits: nothing is asked, nothing runs
    EXPECT_EQ(runs, 0);
    EXPECT_TRUE(prompts.inputs.isEmpty());

    busy = false;
    prompts.inputAnswers = {QStringLiteral("Couriers")};
    page.bbAddGroup->click();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(prompts.inputs.size(), 1);
    EXPECT_EQ(prompts.errors.size(), 1) << "the failed send ends in the error box";
    EXPECT_TRUE(lists.GroupNames.isEmpty()) << "a group the daemon never got is not listed";
    EXPECT_EQ(page.GroupList->count(), 0);
}
