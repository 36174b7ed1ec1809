// The FiLE MAiNT page's delete, nuke and inspection buttons against quillon-sim.

#include "ConsoleFixture.h"

#include "common/WhenModal.h"
#include "files/NfoDizView.h"

#include <QPlainTextEdit>
#include <QPushButton>

namespace {

class FileCommandsTest : public ConsoleTest {
protected:
    // Logs in, opens the file page and lists /incoming below its node.
    QTreeWidgetItem* incoming(SimProcess& sim)
    {
        online(sim, &TMainForm::FileSheet);
        QTreeWidgetItem* node = child(nullptr, "incoming");
        EXPECT_NE(node, nullptr);
        if (node)
            doubleClick(node);
        return node;
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
};

TEST_F(FileCommandsTest, DeleteAsksThenTakesTheNodeAwayWhateverTheDaemonSays)
{
    SimProcess sim;
    // Before the first selection both buttons are enabled and meet the empty selection.
    online(sim, &TMainForm::FileSheet);
    ASSERT_EQ(form->TreeView1->currentItem(), nullptr);
    click(form->bbDeleteDir);
    click(form->bbNukeDir);
    EXPECT_EQ(prompts.notices,
              QStringList({"Select a directory first 'ya tool!", "Select a directory first 'ya tool!"}));
    QTreeWidgetItem* dir = child(nullptr, "incoming");
    ASSERT_NE(dir, nullptr);
    doubleClick(dir);

    QTreeWidgetItem* empty = child(dir, "Empty.Dir-GRP");
    ASSERT_NE(empty, nullptr);
    form->TreeView1->setCurrentItem(empty);
    qsizetype mark = sim.commands().size();
    prompts.confirmAnswers = {false, true};
    click(form->bbDeleteDir);
    EXPECT_EQ(prompts.confirms.last(), "Do you really want to delete Empty.Dir-GRP?");
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
    click(form->bbDeleteDir);
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"RMD /incoming/Empty.Dir-GRP"}));
    EXPECT_EQ(child(dir, "Empty.Dir-GRP"), nullptr);
    EXPECT_TRUE(prompts.errors.isEmpty());

    // A directory the daemon will not remove still leaves the tree.
    form->TreeView1->setCurrentItem(child(dir, "Some.Tool.v1.2-GRP"));
    prompts.confirmAnswers = {true};
    click(form->bbDeleteDir);
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("550"));
    EXPECT_EQ(child(dir, "Some.Tool.v1.2-GRP"), nullptr);
}

TEST_F(FileCommandsTest, NukeGoesToTheParentAndShowsTheNameTheDaemonGave)
{
    SimProcess sim;
    QTreeWidgetItem* dir = incoming(sim);
    ASSERT_NE(dir, nullptr);
    form->TreeView1->setCurrentItem(child(dir, "Game.Name.2026-GRP"));

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
    EXPECT_EQ(child(dir, "Game.Name.2026-GRP"), nullptr);
    EXPECT_NE(child(dir, "[NUKED]-Game.Name.2026-GRP"), nullptr);
    EXPECT_EQ(form->TreeView1->currentItem(), dir);

    // From elsewhere, with an empty reason: CWD to the parent first, and the line ends in a blank.
    doubleClick(child(nullptr, "archive"));
    form->TreeView1->setCurrentItem(child(dir, "Artist-Album-2026-GRP"));
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
    QTreeWidgetItem* dir = incoming(sim);
    ASSERT_NE(dir, nullptr);
    QTreeWidgetItem* release = child(dir, "Some.Tool.v1.2-GRP");
    ASSERT_NE(release, nullptr);
    doubleClick(release);
    QTreeWidgetItem* nfo = nullptr;
    for (int i = 0; i < release->childCount(); ++i)
        if (release->child(i)->text(0).startsWith("some.tool.v1.2-grp.nfo -> "))
            nfo = release->child(i);
    ASSERT_NE(nfo, nullptr);
    form->TreeView1->setCurrentItem(nfo);
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
    form->TreeView1->setCurrentItem(nfo);
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
