// The reply router and the directory tree, fed status texts and listing lines directly, as the client reports
// them: one table of real lines per rule.

#include "common/ScriptedPrompts.h"
#include "files/NfoDizView.h"
#include "ftp/NMFtp.h"
#include "platform/SettingsStore.h"
#include "shell/FilePage.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/Main.h"
#include "shell/PageControl.h"
#include "shell/UserPage.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeView>
#include <memory>

namespace {

class RouterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QFile::remove(QString::fromStdString(TSettingsStore::defaultPath()));
        form = std::make_unique<TMainForm>();
    }

    void status(const std::string& text)
    {
        form->NMFTP1->Status = text;
        form->NMFTP1Status();
    }
    void show(QWidget* page) { form->PageControl1->setCurrentWidget(page); }
    static QStringList lines(const QPlainTextEdit* memo) { return memo->toPlainText().split(QLatin1Char('\n')); }
    QString panel3() const { return form->StatusBar1->panelText(3); }

    ScriptedPrompts prompts;
    std::unique_ptr<TMainForm> form;
};

TEST_F(RouterTest, LinesGoTrimmedToThePageShowingAndClosingCodesSayDone)
{
    status("220-Welcome to Quillon\r\n");
    status("   220 ready \r\n");
    EXPECT_EQ(lines(form->StatusMemo), QStringList({"220-Welcome to Quillon", "220 ready"}));

    status("221 Goodbye.\r\n");
    EXPECT_EQ(panel3(), "") << "a longer line that begins with 221 is no closing line";
    status("221\r\n");
    EXPECT_EQ(panel3(), "Done...");

    show(form->InfoSheet);
    status("SITE WHO");
    status("\xc9\xcd\xcd\xbb\r\n"); // the daemon's line drawing shows as drawn
    EXPECT_EQ(lines(form->InfoSheet->InfoMemo),
              QStringList({"SITE WHO", QString::fromUtf8("\u2554\u2550\u2550\u2557")}));

    // "SITE GROUPS" is shown on no page; "SITE USERS" everywhere but during a user gathering.
    for (QWidget* page : std::initializer_list<QWidget*>{form->StatusSheet, form->InfoSheet, form->UserSheet,
                                                         form->GroupSheet, form->FileSheet}) {
        show(page);
        status("SITE GROUPS");
    }
    EXPECT_FALSE(form->StatusMemo->toPlainText().contains("SITE GROUPS"));
    EXPECT_FALSE(form->UserSheet->UserMemo->toPlainText().contains("SITE GROUPS"));
    EXPECT_FALSE(form->FileSheet->FileMemo->toPlainText().contains("SITE GROUPS"));

    // The end of a listing shows as an empty line on the STATUS page, whatever page is showing.
    show(form->FileSheet);
    const int before = form->StatusMemo->document()->blockCount();
    form->NMFTP1TransactionStop();
    EXPECT_EQ(form->StatusMemo->document()->blockCount(), before + 1);
    EXPECT_EQ(lines(form->StatusMemo).last(), "");
}

TEST_F(RouterTest, TheUserGatheringReadsTheCellsAndStopsAtTheTotals)
{
    show(form->UserSheet);
    form->GatheringUsers = true;
    const std::string rows[] = {
        "SITE USERS",                          // line 1: the command, counted not parsed
        "200- User list of site Quillon:\r\n", // line 2: counted not parsed
        " alice      bob          carol        dave         eve          frank\r\n",
        " george\r\n",
        "250- heidi     extra text\r\n",                    // one name in characters 6 to 15
        "250-\r\n",                                         // an empty name
        "250-  ivan\r\n",                                   // blanks at its start stay
        std::string(74, ' ') + "200- Totals: 10 users\r\n", // ends the gathering, itself parsed (no cells)
        " shown only\r\n",
        "250\r\n",
    };
    for (const std::string& row : rows)
        status(row);
    EXPECT_FALSE(form->GatheringUsers);
    EXPECT_EQ(form->UserNames,
              QStringList({"alice", "bob", "carol", "dave", "eve", "frank", "george", "heidi", "", " ivan"}));
    EXPECT_EQ(form->UserLineCount, 8);
    // Nothing of the gathering is shown; the totals line and what follows it are.
    EXPECT_EQ(lines(form->UserSheet->UserMemo), QStringList({"200- Totals: 10 users", "shown only", "250"}));
    EXPECT_EQ(panel3(), "Done...");
}

TEST_F(RouterTest, TheGroupGatheringRunsFromItsHeaderToAnEmptyLine)
{
    for (QWidget* page : std::initializer_list<QWidget*>{form->UserSheet, form->GroupSheet}) {
        SCOPED_TRACE(page->objectName().toStdString());
        form->GroupNames.clear();
        form->GroupCount = 0;
        show(page);
        QPlainTextEdit* memo = page == form->UserSheet ? form->UserSheet->UserMemo : form->GroupSheet->GroupMemo;
        memo->setPlainText(QStringLiteral("earlier"));
        status("214- Available Groups :\r\n");
        EXPECT_TRUE(form->GatheringGroups);
        status(" Admin      Couriers   Seeders\r\n");
        status(std::string(12, ' ') + "Racers\r\n"); // an empty first cell is skipped
        status(" \r\n");
        EXPECT_FALSE(form->GatheringGroups);
        status("250\r\n");
        EXPECT_EQ(form->GroupNames, QStringList({"Admin", "Couriers", "Seeders", "Racers"}));
        EXPECT_EQ(form->GroupCount, 4);
        EXPECT_EQ(lines(memo), QStringList({"earlier", "", "250"}))
            << "the header and names are not shown; the end line is";
    }
    // A header on another page starts nothing.
    show(form->StatusSheet);
    status("214- Available Groups :\r\n");
    EXPECT_FALSE(form->GatheringGroups);
}

TEST_F(RouterTest, UserAndGroupBoxesAreCutTo100LinesPast200)
{
    show(form->UserSheet);
    for (int i = 1; i <= 201; ++i)
        status("200-line " + std::to_string(i) + "\r\n");
    EXPECT_EQ(form->UserSheet->UserMemo->document()->blockCount(), 201);
    status("200-line 202\r\n");
    EXPECT_EQ(form->UserSheet->UserMemo->document()->blockCount(), 101);
    EXPECT_EQ(lines(form->UserSheet->UserMemo).first(), "200-line 102");
    EXPECT_EQ(lines(form->UserSheet->UserMemo).last(), "200-line 202");

    show(form->StatusSheet); // the other pages are not bounded
    for (int i = 0; i < 250; ++i)
        status("x\r\n");
    EXPECT_EQ(form->StatusMemo->document()->blockCount(), 250);
}

TEST_F(RouterTest, AnOpenViewerTakesTheFilePagesLines)
{
    show(form->FileSheet);
    TNfoDizForm viewer(form.get());
    form->FileSheet->NfoDizForm = &viewer;
    status("200-a line of the nfo\r\n");
    status("221\r\n");
    EXPECT_EQ(lines(viewer.NfoDizMemo), QStringList({"200-a line of the nfo", "221"}));
    EXPECT_EQ(form->FileSheet->FileMemo->toPlainText(), "");
    EXPECT_EQ(panel3(), "") << "lines in the viewer never say Done";
    form->FileSheet->NfoDizForm = nullptr;
    status("221\r\n");
    EXPECT_EQ(lines(form->FileSheet->FileMemo), QStringList({"221"}));
    EXPECT_EQ(panel3(), "Done...");
}

// ---- the directory tree -----------------------------------------------------------------------------------------

class TreeTest : public RouterTest {
protected:
    void SetUp() override
    {
        RouterTest::SetUp();
        // Every change of the tree is checked against the rules an item model keeps: the view relies on them.
        checker = std::make_unique<QAbstractItemModelTester>(form->FileSheet->TreeView1->model(),
                                                             QAbstractItemModelTester::FailureReportingMode::Fatal);
    }
    void TearDown() override { checker.reset(); }
    std::unique_ptr<QAbstractItemModelTester> checker;

    // Feeds a listing as the client does: each line parsed first, then handed to the listing-item handler, and the
    // transfer's end reported.
    void listing(const std::vector<std::string>& rows)
    {
        auto& list = form->NMFTP1->DirectoryList;
        if (!list)
            list = std::make_unique<TFTPUnixList>();
        list->ClearLists();
        form->DirItemCount = 0;
        for (const std::string& row : rows) {
            list->ParseLine(row);
            form->NMFTP1ListItem(row);
        }
        form->NMFTP1->OnTransactionStop(form->NMFTP1);
    }
    QModelIndex node(int row, const QModelIndex& parent = {})
    {
        return form->FileSheet->TreeView1->model()->index(row, 0, parent);
    }
    QStringList texts(const QModelIndex& parent = {})
    {
        QStringList out;
        for (int i = 0; i < form->FileSheet->TreeView1->model()->rowCount(parent); ++i)
            out << QString("%1:%2").arg(node(i, parent).data().toString()).arg(TFilePage::nodeKind(node(i, parent)));
        return out;
    }
};

TEST_F(TreeTest, ListingLinesBecomeFolderFileAndLinkNodes)
{
    listing({
        "total 12",
        "drwxr-xr-x   2 siteop   Admin        4096 Nov 28 21:14 incoming",
        "Drwxr-xr-x   2 siteop   Admin        4096 Nov 28 21:14 upper",
        "-rw-r--r--   1 siteop   Admin     1500000 Nov 28 21:14 a.zip",
        "-rw-r--r--   1 siteop   Admin        1023 Nov 28 21:14 small.diz",
        "-rw-r--r--   1 siteop   Admin        1024 Nov 28 21:14 one.nfo",
        "-rw-r--r--   1 siteop   Admin  4831838208 Nov 28 21:14 big.iso",
        "lrwxrwxrwx   1 siteop   Admin          17 Nov 28 21:14 latest -> incoming/x.y",
    });
    EXPECT_EQ(texts(), QStringList({"incoming:0", "upper:0", "a.zip -> 1464 Kb:2", "small.diz -> 0 Kb:2",
                                    "one.nfo -> 1 Kb:2", "big.iso -> 4718592 Kb:2", "latest:3"}));
    EXPECT_EQ(form->DirItemCount, 8);
    EXPECT_FALSE(node(0).data(Qt::DecorationRole).value<QIcon>().isNull());
}

TEST_F(TreeTest, EachNodeIsMadeFromItsOwnLine)
{
    // No total line, a short line in the middle, and a name with a blank.
    listing({
        "drwxr-xr-x 2 u g 4096 Nov 28 21:14 first",
        "garbage short line",
        "-rw-r--r-- 1 u g 10 Jan 5 2001 my file.nfo",
        "",
        "-rw-r--r-- 1 u g 2048 Jan 5 2001 last.sfv",
    });
    EXPECT_EQ(texts(), QStringList({"first:0", "my file.nfo -> 0 Kb:2", "last.sfv -> 2 Kb:2"}));
    EXPECT_EQ(form->DirItemCount, 5);

    // A listing that holds only its total line adds nothing.
    form->FileSheet->TreeView1->clear();
    listing({"total 0"});
    EXPECT_EQ(form->FileSheet->TreeView1->model()->rowCount(), 0);
}

TEST_F(TreeTest, PathsAndEntriesGoBelowTheSelectedNode)
{
    listing({"total 1", "drwxr-xr-x 2 u g 4096 Nov 28 21:14 a"});
    const QModelIndex a = node(0);
    form->FileSheet->TreeView1->setCurrentIndex(a);
    form->ListUnderSelection = true;
    listing({"total 1", "drwxr-xr-x 2 u g 4096 Nov 28 21:14 b"});
    const QModelIndex b = node(0, a);
    form->FileSheet->TreeView1->setCurrentIndex(b);
    listing({"total 2", "drwxr-xr-x 2 u g 4096 Nov 28 21:14 x", "-rw-r--r-- 1 u g 5 Nov 28 21:14 f.nfo"});
    const QModelIndex x = node(0, b);
    EXPECT_EQ(TFilePage::ParentPath(a), "/");
    EXPECT_EQ(TFilePage::NodePath(a), "/a");
    EXPECT_EQ(TFilePage::ParentPath(x), "/a/b/");
    EXPECT_EQ(TFilePage::NodePath(x), "/a/b/x");
    EXPECT_EQ(TFilePage::ParentPath(node(1, b)), "/a/b/");

    form->FileSheet->TreeView1->setCurrentIndex({});
    listing({"total 1", "drwxr-xr-x 2 u g 4096 Nov 28 21:14 root2"});
    EXPECT_EQ(form->FileSheet->TreeView1->model()->rowCount(), 2)
        << "with nothing selected, entries go to the root level";
}

TEST_F(TreeTest, TheSelectionDecidesWhichButtonsAct)
{
    listing({"total 3", "drwxr-xr-x 2 u g 4096 Nov 28 21:14 dir", "-rw-r--r-- 1 u g 5 Nov 28 21:14 f.nfo",
             "lrwxrwxrwx 1 u g 5 Nov 28 21:14 l -> dir"});
    auto enabled = [this] {
        QString s;
        for (QPushButton* b : {form->FileSheet->bbDeleteDir, form->FileSheet->bbNukeDir, form->FileSheet->bbViewNfo,
                               form->FileSheet->bbViewDiz, form->FileSheet->bbTestZip, form->FileSheet->bbViewZip})
            s += b->isEnabled() ? '1' : '0';
        return s;
    };
    EXPECT_EQ(enabled(), "111111") << "all enabled before the first selection";
    form->FileSheet->TreeView1->setCurrentIndex(node(0));
    EXPECT_EQ(enabled(), "110000");
    form->FileSheet->TreeView1->setCurrentIndex(node(1));
    EXPECT_EQ(enabled(), "001111");
    form->FileSheet->TreeView1->setCurrentIndex(node(2));
    EXPECT_EQ(enabled(), "000000");

    // Expanding and collapsing select the node and show the open or closed folder; a link too.
    const QModelIndex link = node(2);
    form->ListUnderSelection = true;
    listing({"total 1", "-rw-r--r-- 1 u g 5 Nov 28 21:14 inside.nfo"});
    form->FileSheet->TreeView1->setCurrentIndex(node(0));
    form->FileSheet->TreeView1->expand(link);
    EXPECT_EQ(form->FileSheet->TreeView1->currentIndex(), link);
    EXPECT_EQ(TFilePage::nodeKind(link), 1);
    form->FileSheet->TreeView1->collapse(link);
    EXPECT_EQ(TFilePage::nodeKind(link), 0);

    // The root level built anew takes the selection with it: no button acts on a node that is gone.
    form->FileSheet->TreeView1->setCurrentIndex(node(0));
    form->FileSheet->TreeView1->clear();
    EXPECT_EQ(enabled(), "000000");
}

} // namespace
