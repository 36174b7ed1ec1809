// Run on sites, driven through its widgets against quillon-sims and a port where nothing listens: the book's
// folders as a checkable list, a read-only command that runs at once and folds the identical replies, rows kept
// and changed in place, a changing command that asks first and names every site (and past five, wants their
// number typed), a preview that sends nothing, a script one site at a time that stops past the first failure,
// DIFFERENCES, RUN AGAIN ON FAILED, CANCEL keeping what came, the results saved as CSV; and a watch that marks a
// user added from the main window as an added line until STOP logs out of every site.

#include "shell/RunSites.h"
#include "ConsoleFixture.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTreeWidget>

namespace {

QTreeWidgetItem* resultRow(QTreeWidget* tree, const QString& site)
{
    const QList<QTreeWidgetItem*> found = tree->findItems(site, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.front();
}

} // namespace

TEST_F(ConsoleTest, RunOnSitesFoldsAlikeRepliesAndAsksBeforeChangingAnything)
{
    SimProcess east, west;
    const quint16 closedPort = []() {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        return probe.serverPort();
    }();
    startConsole(east.port);
    {
        TSettingsStore& store = this->store();
        addSite(store, "east", east.port, "quillon", [](SiteBook::Record& r) { r.folder = "eu"; });
        addSite(store, "west", west.port, "quillon", [](SiteBook::Record& r) { r.folder = "eu"; });
        addSite(store, "gone", closedPort);
    }
    form->mnuRunOnSites->trigger();
    TRunSitesForm* run = form->findChild<TRunSitesForm*>("RunSitesForm");
    ASSERT_TRUE(run);
    ASSERT_TRUE(run->isVisible());

    // The folder holds its two sites; checking it checks both ("all in this folder").
    const QList<QTreeWidgetItem*> folders = run->SiteTree->findItems("eu", Qt::MatchExactly);
    ASSERT_EQ(folders.size(), 1);
    ASSERT_EQ(folders[0]->childCount(), 2);
    folders[0]->setCheckState(0, Qt::Checked);
    EXPECT_EQ(run->chosenSites(), (QStringList{"east", "west"}));
    // The filter narrows what runs to what shows.
    QTest::keyClicks(run->SiteFilter, "wes");
    EXPECT_EQ(run->chosenSites(), (QStringList{"west"}));
    run->SiteFilter->clear();
    run->SiteTree->findItems("gone", Qt::MatchExactly)[0]->setCheckState(0, Qt::Checked);

    QTest::keyClicks(run->RunCommand->lineEdit(), "GROUPS");
    QTest::mouseClick(run->bbRun, Qt::LeftButton);
    EXPECT_TRUE(prompts.confirms.isEmpty()); // reading needs no question
    // Each site has its row from the start, and that row is changed in place as the site goes, never rebuilt.
    QTreeWidgetItem* eastRow = resultRow(run->ResultTree, "east");
    ASSERT_TRUE(eastRow);
    eastRow->setData(0, Qt::UserRole + 9, "the row made at RUN");
    ASSERT_TRUE(QTest::qWaitFor([&] { return run->bbRun->isEnabled(); }, 15000));
    ASSERT_EQ(run->ResultTree->topLevelItemCount(), 2);
    QTreeWidgetItem* group = run->ResultTree->topLevelItem(0);
    EXPECT_EQ(group->text(0), "2 sites: east, west");
    EXPECT_EQ(group->text(1), "ok");
    ASSERT_EQ(group->childCount(), 2);
    EXPECT_EQ(resultRow(run->ResultTree, "east")->data(0, Qt::UserRole + 9).toString(), "the row made at RUN");
    QTreeWidgetItem* gone = run->ResultTree->topLevelItem(1);
    EXPECT_EQ(gone->text(1), "unreachable");
    EXPECT_TRUE(gone->text(3).startsWith("refused: ")) << gone->text(3).toStdString();
    EXPECT_TRUE(gone->text(3).contains("could not connect to 127.0.0.1:")) << gone->text(3).toStdString();
    EXPECT_EQ(run->RunState->text(), "2 ok, 1 unreachable");
    run->ResultTree->setCurrentItem(gone);
    EXPECT_TRUE(run->ResultMemo->toPlainText().contains("Check the host name and port of the site in SiTES"));
    EXPECT_EQ(form->CommandText->itemText(form->CommandText->count() - 1), "GROUPS"); // the console's history

    QTemporaryDir dir;
    run->saveResults(dir.filePath("results.csv"));
    QFile saved(dir.filePath("results.csv"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = saved.readAll().split('\n');
    EXPECT_EQ(rows[0], "site,state,ms,code,first line,reply,outcome\r");
    EXPECT_TRUE(rows[1].startsWith("\"east\",done,")) << rows[1].toStdString();
    EXPECT_TRUE(run->bbRunFailed->isEnabled() && run->bbDifferences->isEnabled());

    // With nothing failed and every reply alike there is nothing to run again and no difference to show.
    run->SiteTree->findItems("gone", Qt::MatchExactly)[0]->setCheckState(0, Qt::Unchecked);
    QTest::mouseClick(run->bbRun, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return run->bbRun->isEnabled(); }, 15000));
    EXPECT_EQ(run->RunState->text(), "2 ok");
    EXPECT_FALSE(run->bbRunFailed->isEnabled());
    EXPECT_FALSE(run->bbDifferences->isEnabled());
    EXPECT_TRUE(run->bbCopyResults->isEnabled());
    run->SiteTree->findItems("gone", Qt::MatchExactly)[0]->setCheckState(0, Qt::Checked);

    // A command that changes the daemons' state asks first, naming every site; No sends nothing anywhere.
    const qsizetype sent = east.commands().size();
    run->RunCommand->setEditText("ADDGROUP newgroup");
    prompts.confirmAnswers = {false};
    QTest::mouseClick(run->bbRun, Qt::LeftButton);
    ASSERT_EQ(prompts.confirms.size(), 1);
    EXPECT_EQ(prompts.confirms[0],
              "SITE ADDGROUP newgroup changes the daemon's state. Run it on these 3 sites?\n\neast\nwest\ngone");
    QTest::qWait(200);
    EXPECT_EQ(east.commands().size(), sent);
    run->close();

    // The change journal is a window beside it, on the same menu.
    form->findChild<QAction*>("mnuChangeJournal")->trigger();
    auto* journal = form->findChild<QWidget*>("JournalForm");
    ASSERT_TRUE(journal);
    EXPECT_TRUE(journal->isVisible());
    journal->close();
}

TEST_F(ConsoleTest, RunOnSitesPreviewsRunsOneAtATimeRerunsTheFailedAndCancels)
{
    SimProcess sim;
    SimProcess stalling({"--stall-on", "SITE WHO"});
    startConsole(sim.port);
    const quint16 closedPort = []() {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        return probe.serverPort();
    }();
    {
        TSettingsStore& store = this->store();
        for (const char* name : {"s1", "s2", "s3", "s4", "s5"})
            addSite(store, name, sim.port, "quillon", [](SiteBook::Record& r) { r.folder = "fleet"; });
        addSite(store, "zgone", closedPort, "quillon", [](SiteBook::Record& r) { r.folder = "fleet"; });
        addSite(store, "stalling", stalling.port);
    }
    form->mnuRunOnSites->trigger();
    TRunSitesForm* run = form->findChild<TRunSitesForm*>("RunSitesForm");
    ASSERT_TRUE(run);
    run->SiteTree->findItems("fleet", Qt::MatchExactly)[0]->setCheckState(0, Qt::Checked);
    ASSERT_EQ(run->chosenSites().size(), 6);

    // Two lines in one log-in per site; the preview shows each site's lines, passwords hidden, and sends nothing.
    run->RunAsScript->setChecked(true);
    run->RunScript->setPlainText("# a group for everyone\nADDGROUP fleet\nGROUPS\n");
    QTest::mouseClick(run->bbPreview, Qt::LeftButton);
    const QString preview = run->ResultMemo->toPlainText();
    EXPECT_EQ(preview.count("USER siteop\nPASS *****\nSITE ADDGROUP fleet\nSITE GROUPS\nQUIT"), 6)
        << preview.toStdString();
    EXPECT_FALSE(preview.contains("quillon\n"));

    // Past five sites a changing command wants the number of sites typed; a wrong number sends nothing.
    prompts.inputAnswers = {"5"};
    QTest::mouseClick(run->bbRun, Qt::LeftButton);
    ASSERT_EQ(prompts.inputs.size(), 1);
    EXPECT_TRUE(prompts.inputs[0].contains("SITE ADDGROUP fleet changes the daemon's state on 6 sites:"))
        << prompts.inputs[0].toStdString();
    EXPECT_TRUE(prompts.inputs[0].contains("Type 6 to run it on all of them.")) << prompts.inputs[0].toStdString();
    QTest::qWait(200);
    EXPECT_TRUE(sim.commands().isEmpty()) << sim.commands().join('\n').toStdString();

    // One site at a time, stopping past the first failure: s1 adds the group, s2 is refused, the rest never start.
    run->RunSerial->setValue(1);
    run->RunMaxFail->setValue(0);
    prompts.inputAnswers = {"6"};
    QTest::mouseClick(run->bbRun, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return run->bbRun->isEnabled(); }, 15000));
    EXPECT_EQ(sim.commands().filter("SITE ").join('|'), "SITE ADDGROUP fleet|SITE GROUPS|SITE ADDGROUP fleet");
    ASSERT_EQ(run->ResultTree->topLevelItemCount(), 3);
    EXPECT_EQ(run->ResultTree->topLevelItem(0)->text(0), "4 sites: s3, s4, s5, zgone"); // the largest first
    EXPECT_EQ(run->ResultTree->topLevelItem(0)->text(1), "not run");
    EXPECT_EQ(resultRow(run->ResultTree, "s2")->text(1), "refused");
    EXPECT_TRUE(run->RunState->text().startsWith("1 ok, 1 refused, 4 not run. "))
        << run->RunState->text().toStdString();
    QTest::mouseClick(run->bbDifferences, Qt::LeftButton);
    const QString differences = run->ResultMemo->toPlainText();
    EXPECT_TRUE(differences.contains("--- 4 sites: s3, s4, s5 ... (not run)\n+++ s1\n")) << differences.toStdString();
    EXPECT_TRUE(differences.contains("\n+> GROUPS\n")) << differences.toStdString();

    // The failed ones again, and only those: five sites, so a Yes does.
    run->RunMaxFail->setValue(-1);
    prompts.confirmAnswers = {true};
    QTest::mouseClick(run->bbRunFailed, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return run->bbRun->isEnabled(); }, 15000));
    ASSERT_EQ(prompts.confirms.size(), 1);
    EXPECT_TRUE(prompts.confirms[0].contains("on these 5 sites?\n\ns2\ns3\ns4\ns5\nzgone"))
        << prompts.confirms[0].toStdString();
    EXPECT_EQ(run->batch()->outcomes().size(), 5u);
    EXPECT_EQ(sim.commands().filter("SITE ADDGROUP").size(), 6);
    EXPECT_EQ(run->RunState->text(), "4 refused, 1 unreachable");

    // CANCEL while a daemon has sent only the first line of its reply: the run ends at once, and that line stays.
    run->SiteTree->findItems("fleet", Qt::MatchExactly)[0]->setCheckState(0, Qt::Unchecked);
    run->SiteTree->findItems("stalling", Qt::MatchExactly)[0]->setCheckState(0, Qt::Checked);
    run->RunAsScript->setChecked(false);
    run->RunSerial->setValue(0);
    run->RunCommand->setEditText("WHO");
    QTest::mouseClick(run->bbRun, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return stalling.commands().contains("SITE WHO"); }, 10000));
    QTest::qWait(300);
    QTest::mouseClick(run->bbCancelRun, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return run->bbRun->isEnabled(); }, 3000));
    QTreeWidgetItem* stalled = resultRow(run->ResultTree, "stalling");
    ASSERT_TRUE(stalled);
    EXPECT_EQ(stalled->text(1), "cancelled");
    run->ResultTree->setCurrentItem(stalled);
    EXPECT_TRUE(run->ResultMemo->toPlainText().startsWith("200-")) << run->ResultMemo->toPlainText().toStdString();
    run->close();
}

TEST_F(ConsoleTest, TheSiteBookGoesOutSealedAndComesBackFromTheMenu)
{
    startConsole(2121, "s3cret");
    QTemporaryDir dir;
    const QString path = dir.filePath("book.json");
    prompts.passwordAnswers = {"pass phrase", "pass phrase"};
    form->exportSitesTo(path);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_FALSE(file.readAll().contains("s3cret"));
    EXPECT_EQ(file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0);

    // Into an empty book: the site comes back with its password, and the site box lists it.
    SiteBook::erase(store(), "sim");
    prompts.passwordAnswers = {"pass phrase"};
    form->importSitesFrom(path);
    EXPECT_EQ(SiteBook::read(store(), consoleCipher(), "sim").password, "s3cret");
    EXPECT_EQ(form->SiteName->findText("sim"), 0);
    EXPECT_TRUE(prompts.notices.last().startsWith("1 site added")) << prompts.notices.last().toStdString();
}

TEST_F(ConsoleTest, RunOnSitesWatchesMarksWhatChangedAndStopLogsOut)
{
    struct FastSeconds {
        FastSeconds() { qputenv("KOLVANE_WATCH_SECOND_MS", "100"); } // a round every half second
        ~FastSeconds() { qunsetenv("KOLVANE_WATCH_SECOND_MS"); }
    } fast;
    SimProcess sim;
    online(sim); // the main window stays logged in, to change the daemon's state while the watch runs
    const std::string hidden = QString::fromUtf16(u"prod\u202Eatad").toStdString();
    addSite(store(), "east", sim.port);
    addSite(store(), hidden, sim.port);
    form->mnuRunOnSites->trigger();
    TRunSitesForm* run = form->findChild<TRunSitesForm*>("RunSitesForm");
    ASSERT_TRUE(run);
    // Names are shown as the book shows them, with what would reorder them escaped.
    const QString shown = "prod\\u202Eatad";
    for (const QString& name : {QString("east"), shown}) {
        const QList<QTreeWidgetItem*> items = run->SiteTree->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(items.size(), 1) << name.toStdString();
        items[0]->setCheckState(0, Qt::Checked);
    }

    // Only what reads is watched: a changing command is refused, saying why, and nothing is sent.
    const qsizetype sent = sim.commands().size();
    run->RunRepeat->setValue(1); // past off, the first step is the shortest interval
    EXPECT_EQ(run->RunRepeat->value(), 5);
    run->RunCommand->setEditText("ADDGROUP watchers");
    QTest::mouseClick(run->bbRun, Qt::LeftButton);
    ASSERT_FALSE(prompts.notices.isEmpty());
    EXPECT_TRUE(prompts.notices.last().startsWith(
        "Nothing was run: SITE ADDGROUP watchers changes the daemon's state, and a watch repeats only"))
        << prompts.notices.last().toStdString();
    EXPECT_TRUE(prompts.confirms.isEmpty());
    EXPECT_TRUE(run->bbRun->isEnabled());
    QTest::qWait(100);
    EXPECT_EQ(sim.commands().size(), sent);

    // USERS round after round; a user added from the main window shows in the next round as added lines, marked in
    // words and shading on the row and line by line in the reply box.
    run->RunCommand->setEditText("USERS");
    QTest::mouseClick(run->bbRun, Qt::LeftButton);
    ASSERT_TRUE(run->watch());
    EXPECT_EQ(run->bbCancelRun->text(), "STOP");
    ASSERT_TRUE(QTest::qWaitFor([&] { return run->watch()->round() >= 2 && !run->batch()->running(); }, 10000));
    ASSERT_EQ(run->ResultTree->topLevelItemCount(), 2); // a row per site, filled anew each round
    QTreeWidgetItem* east = resultRow(run->ResultTree, "east");
    ASSERT_TRUE(east);
    EXPECT_EQ(east->text(1), "ok");
    EXPECT_TRUE(resultRow(run->ResultTree, shown));
    EXPECT_TRUE(run->RunState->text().startsWith("Watching SITE USERS on 2 sites every 5 s: round "))
        << run->RunState->text().toStdString();
    QString state, spoken, memo;
    bool bold = false;
    int shaded = 0;
    QObject::connect(run->watch(), &TBatchWatch::roundEnded, run, [&] {
        if (!state.isEmpty() || !east->text(1).startsWith("ok  +"))
            return;
        state = east->text(1);
        spoken = east->data(1, Qt::AccessibleTextRole).toString();
        bold = east->font(0).bold();
        run->ResultTree->setCurrentItem(east);
        memo = run->ResultMemo->toPlainText();
        shaded = int(run->ResultMemo->extraSelections().size());
    });
    form->CommandText->lineEdit()->clear();
    QTest::keyClicks(form->CommandText->lineEdit(), "ADDUSER bobby Friends");
    ASSERT_TRUE(form->bbExecute->isEnabled());
    click(form->bbExecute);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !state.isEmpty(); }, 10000)) << east->text(1).toStdString();
    EXPECT_TRUE(QRegularExpression(R"(^ok, \d+ lines? added, \d+ removed$)").match(spoken).hasMatch())
        << spoken.toStdString();
    EXPECT_TRUE(bold);
    EXPECT_TRUE(QRegularExpression(R"(^\+ .*bobby)", QRegularExpression::MultilineOption).match(memo).hasMatch())
        << memo.toStdString();
    EXPECT_TRUE(memo.contains(QRegularExpression(R"(^- .*34 users)", QRegularExpression::MultilineOption)))
        << memo.toStdString();
    EXPECT_GT(shaded, 1);

    // STOP ends the watch and logs out of every site; one log-in each for all the rounds.
    QTest::mouseClick(run->bbCancelRun, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return run->bbRun->isEnabled(); }, 5000));
    EXPECT_FALSE(run->watch()->watching());
    EXPECT_EQ(run->bbCancelRun->text(), "CANCEL");
    EXPECT_TRUE(run->RunState->text().startsWith("The watch ended after ")) << run->RunState->text().toStdString();
    const QStringList commands = sim.commands();
    EXPECT_EQ(commands.count("USER siteop"), 3) << commands.join('\n').toStdString(); // the main window's too
    EXPECT_EQ(commands.count("QUIT"), 2) << commands.join('\n').toStdString();
    run->close();
}
