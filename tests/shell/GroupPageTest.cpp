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
    online(sim, "GroupSheet");
    ASSERT_GE(lists().GroupNames.indexOf("Trial"), 0);
    EXPECT_FALSE(control<QPushButton>("bbListGroupUsers")->isEnabled());

    control<QComboBox>("GroupList")->setFocus();
    QTest::keyClicks(control<QComboBox>("GroupList"), QStringLiteral("Admin"));
    EXPECT_TRUE(control<QPushButton>("bbListGroupUsers")->isEnabled());
    EXPECT_TRUE(control<QPushButton>("bbDelGroup")->isEnabled());
    EXPECT_TRUE(control<QPushButton>("bbMoveUsers")->isEnabled());
    qsizetype mark = sim.commands().size();
    click(control<QPushButton>("bbListGroupUsers"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE USERS Admin"}));
    EXPECT_TRUE(control<QPlainTextEdit>("GroupMemo")->toPlainText().contains("siteop"));

    // ADD GROUP: Cancel sends nothing; a new name is sent and listed once the daemon took it.
    mark = sim.commands().size();
    prompts.inputAnswers = {QString(), QStringLiteral("Racers")};
    click(control<QPushButton>("bbAddGroup"));
    click(control<QPushButton>("bbAddGroup"));
    EXPECT_EQ(prompts.inputs[0], "CREATE NEW GROUP|Enter the name of the group to add:|");
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE ADDGROUP Racers"}));
    EXPECT_EQ(lists().GroupNames.count("Racers"), 1);
    EXPECT_GE(control<QComboBox>("GroupList")->findText("Racers"), 0);
    EXPECT_EQ(control<QComboBox>("GroupList")->currentText(), "Admin") << "the typed group stays";
    prompts.inputAnswers = {QStringLiteral("Racers")};
    click(control<QPushButton>("bbAddGroup"));
    EXPECT_EQ(prompts.errors.size(), 1) << "the daemon has it already";
    EXPECT_EQ(lists().GroupNames.count("Racers"), 1) << "a refused group is not listed";

    // DEL GROUP: No keeps everything; Yes sends, and the group leaves the list with the box emptied.
    control<QComboBox>("GroupList")->setEditText(QStringLiteral("racers"));
    prompts.confirmAnswers = {false, true};
    mark = sim.commands().size();
    click(control<QPushButton>("bbDelGroup"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
    click(control<QPushButton>("bbDelGroup"));
    EXPECT_EQ(prompts.confirms.last(), "Do you really want to delete the group racers?");
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE DELGROUP racers"}));
    EXPECT_EQ(lists().GroupNames.indexOf("Racers"), -1) << "the look-up ignores case";
    EXPECT_EQ(control<QComboBox>("GroupList")->currentText(), "");
    EXPECT_FALSE(control<QPushButton>("bbDelGroup")->isEnabled());
    EXPECT_FALSE(control<QPushButton>("bbListGroupUsers")->isEnabled());
    EXPECT_FALSE(control<QPushButton>("bbMoveUsers")->isEnabled());

    // A refused deletion (the group still has members) still takes the group off the console's list.
    const int errors = prompts.errors.size();
    control<QComboBox>("GroupList")->setEditText(QStringLiteral("Trial"));
    emit control<QComboBox>("GroupList")->lineEdit()->textEdited(QStringLiteral("Trial"));
    prompts.confirmAnswers = {true};
    click(control<QPushButton>("bbDelGroup"));
    EXPECT_EQ(prompts.errors.size(), errors + 1);
    EXPECT_EQ(lists().GroupNames.indexOf("Trial"), -1);
}

TEST_F(GroupPageTest, MoveUsersWantsAKnownTargetAndSendsItAsTyped)
{
    SimProcess sim;
    online(sim, "GroupSheet");
    control<QComboBox>("GroupList")->setFocus();
    QTest::keyClicks(control<QComboBox>("GroupList"), QStringLiteral("Trial"));
    const qsizetype mark = sim.commands().size();

    prompts.confirmAnswers = {true, true, true, true};
    prompts.inputAnswers = {QString(), QStringLiteral("Nowhere")};
    click(control<QPushButton>("bbMoveUsers")); // Cancel gives the empty name, which is no group
    click(control<QPushButton>("bbMoveUsers"));
    EXPECT_EQ(prompts.notices, QStringList({"No such Group you dink...", "No such Group you dink..."}));
    EXPECT_EQ(prompts.confirms[0], "Do you really want to move users from Trial to a different group?");
    EXPECT_EQ(prompts.inputs[0], "MOVE USERS TO...|Enter the name of the group to move the users to:|");
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
    EXPECT_TRUE(control<QPushButton>("bbMoveUsers")->isEnabled());

    // The target is matched without regard to case but sent as typed: this daemon then knows no such group,
    // and the moved group leaves the console's list all the same.
    prompts.inputAnswers = {QStringLiteral("friends")};
    click(control<QPushButton>("bbMoveUsers"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE DELGROUP Trial friends"}));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("550"));
    EXPECT_EQ(lists().GroupNames.indexOf("Trial"), -1);
    EXPECT_EQ(control<QComboBox>("GroupList")->findText("Trial"), -1);
    EXPECT_FALSE(control<QPushButton>("bbMoveUsers")->isEnabled());

    QTest::keyClicks(control<QComboBox>("GroupList"), QStringLiteral("Leechers"));
    prompts.inputAnswers = {QStringLiteral("Friends")};
    click(control<QPushButton>("bbMoveUsers"));
    EXPECT_EQ(sim.commandsSince(mark).last(), "SITE DELGROUP Leechers Friends");
    EXPECT_EQ(prompts.errors.size(), 1) << prompts.errors.join('\n').toStdString();
    QTest::keyClicks(control<QComboBox>("GroupList"), QStringLiteral("Friends"));
    click(control<QPushButton>("bbListGroupUsers")); // the members have moved

    EXPECT_TRUE(control<QPlainTextEdit>("GroupMemo")->toPlainText().contains("leechy"));
}

} // namespace

// A page stands on the context it was given, with no window around it: its buttons start their operations through
// that gate and that runner only, and an error ends in the standard error box without adding anything to the list.
TEST(ConsolePageTest, APageRunsOnItsContextAloneThroughTheGateItWasGiven)
{
    ScriptedPrompts prompts;
    TSiteSession session; // never logged in: whatever the page sends fails
    bool busy = true;
    TOperationGate gate([&] { return busy; });
    TListGatherer lists;
    const QList<QIcon> pictures;
    int runs = 0;
    const TPageContext context{session,
                               gate,
                               [&](const std::function<void()>& handler) {
                                   ++runs;
                                   Guarded(handler);
                               },
                               [](const QString&) {},
                               [](bool) {},
                               [] {},
                               lists,
                               pictures,
                               [] { return nullptr; }};
    TGroupPage page(context);

    QStringList gated;
    for (const TOperationGate::Entry& entry : gate.entries())
        gated << entry.name;
    gated.sort();
    EXPECT_EQ(gated, QStringList({"bbAddGroup", "bbDelGroup", "bbListGroupUsers", "bbMoveUsers"}));

    page.findChild<QPushButton*>("bbAddGroup")->click(); // an operation waits: nothing is asked, nothing runs
    EXPECT_EQ(runs, 0);
    EXPECT_TRUE(prompts.inputs.isEmpty());

    busy = false;
    prompts.inputAnswers = {QStringLiteral("Couriers")};
    page.findChild<QPushButton*>("bbAddGroup")->click();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(prompts.inputs.size(), 1);
    EXPECT_EQ(prompts.errors.size(), 1) << "the failed send ends in the error box";
    EXPECT_TRUE(lists.GroupNames.isEmpty()) << "a group the daemon never got is not listed";
    EXPECT_EQ(page.findChild<QComboBox*>("GroupList")->count(), 0);
}
