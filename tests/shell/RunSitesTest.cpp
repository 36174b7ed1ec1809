// Run on sites, driven through its widgets against two quillon-sims and a port where nothing listens: the book's
// folders as a checkable list, a read-only command that runs at once and folds the identical replies, a changing
// command that asks first and names every site, and the results saved as CSV.

#include "shell/RunSites.h"
#include "ConsoleFixture.h"

#include <QAction>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTreeWidget>

TEST_F(ConsoleTest, RunOnSitesFoldsAlikeRepliesAndAsksBeforeChangingAnything)
{
    SimProcess east, west;
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
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
    ASSERT_TRUE(QTest::qWaitFor([&] { return run->bbRun->isEnabled(); }, 15000));
    ASSERT_EQ(run->ResultTree->topLevelItemCount(), 2);
    QTreeWidgetItem* group = run->ResultTree->topLevelItem(0);
    EXPECT_EQ(group->text(0), "2 sites: east, west");
    EXPECT_EQ(group->childCount(), 2);
    QTreeWidgetItem* gone = run->ResultTree->topLevelItem(1);
    EXPECT_EQ(gone->text(1), "failed");
    EXPECT_TRUE(gone->text(3).startsWith("refused: ")) << gone->text(3).toStdString();
    run->ResultTree->setCurrentItem(gone);
    EXPECT_TRUE(run->ResultMemo->toPlainText().contains("Check the site's host and port in SiTES"));
    EXPECT_EQ(form->CommandText->itemText(form->CommandText->count() - 1), "GROUPS"); // the console's history

    QTemporaryDir dir;
    run->saveResults(dir.filePath("results.csv"));
    QFile saved(dir.filePath("results.csv"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = saved.readAll().split('\n');
    EXPECT_EQ(rows[0], "site,state,ms,code,first line,reply\r");
    EXPECT_TRUE(rows[1].startsWith("\"east\",done,")) << rows[1].toStdString();

    // A command that changes the daemons' state asks first, naming every site; No sends nothing anywhere.
    const qsizetype sent = east.commands().size();
    run->RunCommand->setEditText("ADDGROUP newgroup");
    prompts.confirmAnswers = {false};
    QTest::mouseClick(run->bbRun, Qt::LeftButton);
    ASSERT_EQ(prompts.confirms.size(), 1);
    EXPECT_TRUE(prompts.confirms[0].contains("on these 3 sites?\n\neast\nwest\ngone"))
        << prompts.confirms[0].toStdString();
    QTest::qWait(200);
    EXPECT_EQ(east.commands().size(), sent);
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
    EXPECT_TRUE(prompts.notices.last().startsWith("1 sites added.")) << prompts.notices.last().toStdString();
}
