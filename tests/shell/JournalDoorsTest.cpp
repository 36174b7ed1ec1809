// The change journal from the console's doors against quillon-sim: the command box, a user dialog (which sends
// exactly its own lines, nothing for the journal's sake, and between two looks at the user keeps the user's reply
// before and after it) and Run on Sites each leave their entries, the password masked and never in the file.

#include "ConsoleFixture.h"
#include "common/WhenModal.h"
#include "session/Journal.h"
#include "shell/RunSites.h"

#include "admin/UserEdit.h"

#include <QAction>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTreeWidget>

namespace {

// The one entry whose line is line, sent to the daemon at this port (the tests of a run share one journal).
JournalRecord entryOf(TJournal& journal, const QString& line, quint16 port)
{
    JournalFilter filter;
    filter.text = line;
    std::vector<JournalRecord> found = journal.query(filter);
    std::erase_if(found, [&](const JournalRecord& r) { return r.line != line || r.port != port; });
    EXPECT_EQ(found.size(), 1u) << line.toStdString();
    return found.empty() ? JournalRecord() : found.front();
}

} // namespace

TEST_F(ConsoleTest, EveryDoorJournalsItsChangesAndTheDialogsSendNothingMore)
{
    SimProcess sim;
    online(sim, "UserSheet");
    TJournal journal(TJournal::defaultPath());

    // The command box.
    QTest::keyClicks(form->CommandText->lineEdit(), "ADDGROUP DoorCrew");
    click(form->bbExecute);
    const JournalRecord typed = entryOf(journal, "SITE ADDGROUP DoorCrew", sim.port);
    EXPECT_EQ(typed.site, "sim");
    EXPECT_EQ(typed.host, "127.0.0.1");
    EXPECT_EQ(typed.port, sim.port);
    EXPECT_EQ(typed.program, QCoreApplication::applicationName());
    EXPECT_EQ(typed.code, 200);
    EXPECT_EQ(typed.outcome, JournalOutcome::Done);

    // A dialog between two looks at the user: its lines are all that go, and the looks keep the user's before and
    // after with the changes.
    form->UserSheet->UserList->setFocus();
    QTest::keyClicks(form->UserSheet->UserList, "pal");
    click(form->UserSheet->bbUserInfo);
    const qsizetype mark = sim.commands().size();
    prompts.confirmAnswers = {true};
    whenModal(
        form.get(),
        [](QWidget* modal) {
            auto* dialog = static_cast<TUserForm*>(modal);
            dialog->Password->setText("Door-s3cret");
            dialog->Ident1->setText("*@door.example");
            QTest::mouseClick(dialog->bbUpdate, Qt::LeftButton);
        },
        "UserForm");
    click(form->UserSheet->bbModifyUser);
    EXPECT_EQ(sim.commandsSince(mark),
              (QStringList{"SITE CHPASS pal Door-s3cret", "SITE ADDIDENTD pal *@door.example"}));
    click(form->UserSheet->bbUserInfo);
    const JournalRecord password = entryOf(journal, "SITE CHPASS pal *****", sim.port);
    EXPECT_EQ(password.user, "pal");
    const JournalRecord ident = entryOf(journal, "SITE ADDIDENTD pal *@door.example", sim.port);
    const QStringList diff = journalDiff(ident.before, ident.after);
    EXPECT_EQ(diff.filter(QRegularExpression("^\\+ .*door\\.example")).size(), 1) << diff.join('\n').toStdString();

    // Run on Sites.
    form->mnuRunOnSites->trigger();
    auto* run = form->findChild<TRunSitesForm*>("RunSitesForm");
    ASSERT_TRUE(run);
    run->SiteTree->findItems("sim", Qt::MatchExactly | Qt::MatchRecursive)[0]->setCheckState(0, Qt::Checked);
    run->RunCommand->setEditText("ADDGROUP FleetCrew");
    prompts.confirmAnswers = {true};
    QTest::mouseClick(run->bbRun, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return run->bbRun->isEnabled(); }, 15000));
    const JournalRecord fleet = entryOf(journal, "SITE ADDGROUP FleetCrew", sim.port);
    EXPECT_EQ(fleet.site, "sim");
    EXPECT_EQ(fleet.outcome, JournalOutcome::Done);
    run->close();

    for (const char* suffix : {"", "-wal"}) {
        QFile file(journal.path() + suffix);
        if (file.open(QIODevice::ReadOnly)) {
            EXPECT_FALSE(file.readAll().contains("Door-s3cret")) << suffix;
        }
    }
}

// Not a test of its own: the console the test below starts in a process of its own, whose journal cannot be written
// (a file stands where its folder would be).
TEST_F(ConsoleTest, JournalTroubleChild)
{
    const QString blocked = qEnvironmentVariable("KOLVANE_JOURNAL_BLOCKED");
    if (blocked.isEmpty())
        GTEST_SKIP() << "runs only as the child of the test below";
    qputenv("XDG_STATE_HOME", blocked.toLocal8Bit()); // before the first line journaled in this process
    SimProcess sim;
    online(sim);
    for (const char* command : {"ADDGROUP One", "ADDGROUP Two"}) {
        QTest::keyClicks(form->CommandText->lineEdit(), command);
        click(form->bbExecute);
    }
    QTest::qWait(300); // the notice comes on the GUI thread once nothing waits
    EXPECT_EQ(prompts.notices.filter("cannot be written").size(), 1) << prompts.notices.join('\n').toStdString();
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(sim.commands().filter("SITE ADDGROUP").size(), 2) << "the commands went all the same";
}

TEST(JournalDoors, AConsoleWhoseJournalCannotBeWrittenSaysSoOnceAndGoesOn)
{
    QTemporaryDir dir;
    QFile blocker(dir.filePath("state"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KOLVANE_JOURNAL_BLOCKED", blocker.fileName());
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=ConsoleTest.JournalTroubleChild", "--gtest_brief=1"});
    ASSERT_TRUE(child.waitForFinished(60000));
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0);
}
