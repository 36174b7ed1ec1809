// The FiLE MAiNT page's delete, nuke and inspection buttons against quillon-sim.

#include "ConsoleFixture.h"

#include "common/WhenModal.h"
#include "files/NfoDizView.h"

#include <QAbstractItemModelTester>
#include <QPlainTextEdit>
#include <QPushButton>

namespace {

class FileCommandsTest : public ConsoleTest {
protected:
    void TearDown() override
    {
        checker.reset();
        ConsoleTest::TearDown();
    }

    // Logs in and opens the file page. From the first listing on, every change of the tree is checked against the
    // rules an item model keeps: the view relies on them.
    void filePage(SimProcess& sim)
    {
        online(sim);
        checker = std::make_unique<QAbstractItemModelTester>(form->TreeView1->model(),
                                                             QAbstractItemModelTester::FailureReportingMode::Fatal);
        clickTab(form->FileSheet);
    }

    // Logs in, opens the file page and lists /incoming below its node.
    QModelIndex incoming(SimProcess& sim)
    {
        filePage(sim);
        const QModelIndex node = child({}, "incoming");
        EXPECT_TRUE(node.isValid());
        if (node.isValid())
            doubleClick(node);
        return node;
    }

    // Selects a node as the operator does, with a click.
    void select(const QModelIndex& node)
    {
        form->TreeView1->scrollTo(node);
        QTest::mouseClick(form->TreeView1->viewport(), Qt::LeftButton, {}, form->TreeView1->visualRect(node).center());
    }

    // Closes the viewer as soon as it is up, keeping what it showed.
    void readViewer(QString& title, QString& text)
    {
        whenModal(
            form.get(),
            [&](QWidget* window) {
                auto* viewer = static_cast<TNfoDizForm*>(window);
                title = viewer->windowTitle();
                text = viewer->NfoDizMemo->toPlainText();
                viewer->close();
            },
            "NfoDizForm");
    }

    std::unique_ptr<QAbstractItemModelTester> checker;
};

TEST_F(FileCommandsTest, DeleteAsksThenTakesTheNodeAwayWhateverTheDaemonSays)
{
    SimProcess sim;
    // Before the first selection both buttons are enabled and meet the empty selection.
    filePage(sim);
    ASSERT_FALSE(form->TreeView1->currentIndex().isValid());
    click(form->bbDeleteDir);
    click(form->bbNukeDir);
    EXPECT_EQ(prompts.notices,
              QStringList({"Select a directory first 'ya tool!", "Select a directory first 'ya tool!"}));
    const QModelIndex dir = child({}, "incoming");
    const QModelIndex archive = child({}, "archive");
    ASSERT_TRUE(dir.isValid() && archive.isValid());

    // The operator selects another directory while /incoming is being listed: the entries still go below the
    // node the listing is for, and the paths sent later are made from them.
    duringTheWait([&] { select(archive); }, [&] { return form->NMFTP1->DataSocket != nullptr; });
    doubleClick(dir);
    EXPECT_EQ(form->TreeView1->model()->rowCount(archive), 0);
    EXPECT_TRUE(form->TreeView1->isExpanded(dir));
    const QModelIndex empty = child(dir, "Empty.Dir-GRP");
    ASSERT_TRUE(empty.isValid());
    select(empty);
    qsizetype mark = sim.commands().size();
    prompts.confirmAnswers = {false, true};
    click(form->bbDeleteDir);
    EXPECT_EQ(prompts.confirms.last(), "Do you really want to delete Empty.Dir-GRP?");
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
    click(form->bbDeleteDir);
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"RMD /incoming/Empty.Dir-GRP"}));
    EXPECT_FALSE(child(dir, "Empty.Dir-GRP").isValid());
    EXPECT_TRUE(prompts.errors.isEmpty());

    // A directory the daemon will not remove still leaves the tree.
    select(child(dir, "Some.Tool.v1.2-GRP"));
    prompts.confirmAnswers = {true};
    click(form->bbDeleteDir);
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("550"));
    EXPECT_FALSE(child(dir, "Some.Tool.v1.2-GRP").isValid());
}

TEST_F(FileCommandsTest, NukeGoesToTheParentAndShowsTheNameTheDaemonGave)
{
    SimProcess sim;
    const QModelIndex dir = incoming(sim);
    ASSERT_TRUE(dir.isValid());
    select(child(dir, "Game.Name.2026-GRP"));

    // Cancelling the multiplier sends nothing, although the nuke was confirmed.
    qsizetype mark = sim.commands().size();
    prompts.confirmAnswers = {true};
    prompts.inputAnswers = {QString()};
    click(form->bbNukeDir);
    EXPECT_EQ(prompts.confirms.last(), "Do you really want to NUKE Game.Name.2026-GRP?");
    EXPECT_EQ(prompts.inputs.last(), "NUKE AMOUNT|Enter multiplier for this Nuke:|");
    EXPECT_EQ(sim.commandsSince(mark), QStringList());

    // The daemon already stands in /incoming: no change of directory before the nuke.
    prompts.confirmAnswers = {true};
    prompts.inputAnswers = {QStringLiteral("3"), QStringLiteral("dupe")};
    click(form->bbNukeDir);
    EXPECT_EQ(prompts.inputs.last(), "NUKE REASON|Why are you nuking this dir?|");
    QStringList sent = sim.commandsSince(mark).filter(QRegularExpression("^(PWD|CWD|SITE|LIST)"));
    EXPECT_EQ(sent, QStringList({"PWD", "SITE NUKE 3 Game.Name.2026-GRP dupe", "CWD /incoming", "LIST"}));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_FALSE(child(dir, "Game.Name.2026-GRP").isValid());
    EXPECT_TRUE(child(dir, "[NUKED]-Game.Name.2026-GRP").isValid());
    EXPECT_EQ(form->TreeView1->currentIndex(), dir);

    // From elsewhere, with an empty reason: CWD to the parent first, and the line ends in a blank.
    doubleClick(child({}, "archive"));
    select(child(dir, "Artist-Album-2026-GRP"));
    mark = sim.commands().size();
    prompts.confirmAnswers = {true};
    prompts.inputAnswers = {QStringLiteral("2"), QString()};
    click(form->bbNukeDir);
    sent = sim.commandsSince(mark).filter(QRegularExpression("^(PWD|CWD|SITE)"));
    EXPECT_EQ(sent, QStringList({"PWD", "CWD /incoming/", "SITE NUKE 2 Artist-Album-2026-GRP ", "CWD /incoming"}));
}

TEST_F(FileCommandsTest, TheViewerShowsTheWholeReplyThenLinesGoBackToThePage)
{
    SimProcess sim;
    const QModelIndex dir = incoming(sim);
    ASSERT_TRUE(dir.isValid());
    const QModelIndex release = child(dir, "Some.Tool.v1.2-GRP");
    ASSERT_TRUE(release.isValid());
    doubleClick(release);
    QModelIndex nfo;
    for (int i = 0; i < form->TreeView1->model()->rowCount(release); ++i)
        if (release.model()->index(i, 0, release).data().toString().startsWith("some.tool.v1.2-grp.nfo -> "))
            nfo = release.model()->index(i, 0, release);
    ASSERT_TRUE(nfo.isValid());
    select(nfo);
    ASSERT_TRUE(form->bbViewNfo->isEnabled());

    QString title, text;
    readViewer(title, text);
    qsizetype mark = sim.commands().size();
    click(form->bbViewNfo);
    EXPECT_EQ(title, "Kolvane NFO/DiZ/ZiP ViEWER");
    EXPECT_TRUE(text.startsWith("SITE NFO some.tool.v1.2-grp.nfo")) << text.toStdString();
    EXPECT_TRUE(text.contains(QChar(0x2588)) || text.contains(QChar(0x2550))) << "the nfo's art shows as drawn";
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"PWD", "SITE NFO some.tool.v1.2-grp.nfo"}))
        << "the daemon stands in the release already";
    EXPECT_EQ(form->NfoDizForm, nullptr);
    EXPECT_EQ(form->findChildren<TNfoDizForm*>().size(), 0);

    // A refused inspection still shows what arrived, and reports the refusal once the viewer is closed.
    readViewer(title, text);
    select(nfo);
    click(form->bbTestZip);
    EXPECT_TRUE(text.startsWith("SITE ZIPCHK some.tool.v1.2-grp.nfo"));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("5"));

    // With the viewer gone, the page's lines go to its own box again.
    form->FileMemo->clear();
    doubleClick(release);
    EXPECT_TRUE(form->FileMemo->toPlainText().contains("CWD /incoming/Some.Tool.v1.2-GRP"));
}

} // namespace
