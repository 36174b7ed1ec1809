// The reply router and the directory tree, fed status texts and listing lines through the session's signals, as
// the session tells them: one table of real lines per rule.

#include "common/ScriptedPrompts.h"
#include "platform/SettingsStore.h"
#include "shell/FilePage.h"
#include "shell/FileTree.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/Main.h"
#include "shell/PageControl.h"
#include "shell/ReplyRouter.h"
#include "shell/UserPage.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeView>
#include <memory>
#include <optional>

namespace {

class RouterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QFile::remove(QString::fromStdString(TSettingsStore::defaultPath()));
        form = std::make_unique<TMainForm>();
    }

    // A status text as the session tells it: no more of its reply at hand, so it shows at once.
    void status(const std::string& text) { emit form->session().status(text, false); }
    void show(QWidget* page) { control<TPageControl>("PageControl1")->setCurrentWidget(page); }
    template <class Control>
    Control* control(const char* name) const
    {
        auto* found = form->findChild<Control*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << "no control " << name;
        return found;
    }
    TListGatherer& lists() const { return control<TReplyRouter>("ReplyRouter")->lists(); }
    static QStringList lines(const QPlainTextEdit* memo) { return memo->toPlainText().split(QLatin1Char('\n')); }
    QString panel3() const { return control<TStatusBar>("StatusBar1")->panelText(3); }

    ScriptedPrompts prompts;
    std::unique_ptr<TMainForm> form;
};

TEST_F(RouterTest, LinesGoTrimmedToThePageShowingAndClosingCodesSayDone)
{
    status("220-Welcome to Quillon\r\n");
    status("   220 ready \r\n");
    EXPECT_EQ(lines(control<QPlainTextEdit>("StatusMemo")), QStringList({"220-Welcome to Quillon", "220 ready"}));

    status("221 Goodbye.\r\n");
    EXPECT_EQ(panel3(), "") << "a longer line that begins with 221 is no closing line";
    status("221\r\n");
    EXPECT_EQ(panel3(), "Done...");

    show(control<TInfoPage>("InfoSheet"));
    status("SITE WHO");
    status("\xc9\xcd\xcd\xbb\r\n"); // the daemon's line drawing shows as drawn
    EXPECT_EQ(lines(control<QPlainTextEdit>("InfoMemo")),
              QStringList({"SITE WHO", QString::fromUtf8("\u2554\u2550\u2550\u2557")}));

    // "SITE GROUPS" is shown on no page; "SITE USERS" everywhere but during a user gathering.
    for (QWidget* page : std::initializer_list<QWidget*>{
             control<QWidget>("StatusSheet"), control<TInfoPage>("InfoSheet"), control<TUserPage>("UserSheet"),
             control<TGroupPage>("GroupSheet"), control<TFilePage>("FileSheet")}) {
        show(page);
        status("SITE GROUPS");
    }
    EXPECT_FALSE(control<QPlainTextEdit>("StatusMemo")->toPlainText().contains("SITE GROUPS"));
    EXPECT_FALSE(control<QPlainTextEdit>("UserMemo")->toPlainText().contains("SITE GROUPS"));
    EXPECT_FALSE(control<QPlainTextEdit>("FileMemo")->toPlainText().contains("SITE GROUPS"));

    // The end of a listing shows as an empty line on the STATUS page, whatever page is showing.
    show(control<TFilePage>("FileSheet"));
    const int before = control<QPlainTextEdit>("StatusMemo")->document()->blockCount();
    emit form->session().listingEnded();
    EXPECT_EQ(control<QPlainTextEdit>("StatusMemo")->document()->blockCount(), before + 1);
    EXPECT_EQ(lines(control<QPlainTextEdit>("StatusMemo")).last(), "");
}

TEST_F(RouterTest, TheUserGatheringReadsTheCellsAndStopsAtTheTotals)
{
    show(control<TUserPage>("UserSheet"));
    lists().GatheringUsers = true;
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
    EXPECT_FALSE(lists().GatheringUsers);
    EXPECT_EQ(lists().UserNames,
              QStringList({"alice", "bob", "carol", "dave", "eve", "frank", "george", "heidi", "", " ivan"}));
    EXPECT_EQ(lists().UserLineCount, 8);
    // Nothing of the gathering is shown; the totals line and what follows it are.
    EXPECT_EQ(lines(control<QPlainTextEdit>("UserMemo")), QStringList({"200- Totals: 10 users", "shown only", "250"}));
    EXPECT_EQ(panel3(), "Done...");
}

TEST_F(RouterTest, TheGroupGatheringRunsFromItsHeaderToAnEmptyLine)
{
    for (QWidget* page :
         std::initializer_list<QWidget*>{control<TUserPage>("UserSheet"), control<TGroupPage>("GroupSheet")}) {
        SCOPED_TRACE(page->objectName().toStdString());
        lists().GroupNames.clear();
        lists().GroupCount = 0;
        show(page);
        QPlainTextEdit* memo = page == control<TUserPage>("UserSheet") ? control<QPlainTextEdit>("UserMemo")
                                                                       : control<QPlainTextEdit>("GroupMemo");
        memo->setPlainText(QStringLiteral("earlier"));
        status("214- Available Groups :\r\n");
        EXPECT_TRUE(lists().GatheringGroups);
        status(" Admin      Couriers   Seeders\r\n");
        status(std::string(12, ' ') + "Racers\r\n"); // an empty first cell is skipped
        status(" \r\n");
        EXPECT_FALSE(lists().GatheringGroups);
        status("250\r\n");
        EXPECT_EQ(lists().GroupNames, QStringList({"Admin", "Couriers", "Seeders", "Racers"}));
        EXPECT_EQ(lists().GroupCount, 4);
        EXPECT_EQ(lines(memo), QStringList({"earlier", "", "250"}))
            << "the header and names are not shown; the end line is";
    }
    // A header on another page starts nothing.
    show(control<QWidget>("StatusSheet"));
    status("214- Available Groups :\r\n");
    EXPECT_FALSE(lists().GatheringGroups);
}

TEST_F(RouterTest, UserAndGroupBoxesAreCutTo100LinesPast200)
{
    show(control<TUserPage>("UserSheet"));
    for (int i = 1; i <= 201; ++i)
        status("200-line " + std::to_string(i) + "\r\n");
    EXPECT_EQ(control<QPlainTextEdit>("UserMemo")->document()->blockCount(), 201);
    status("200-line 202\r\n");
    EXPECT_EQ(control<QPlainTextEdit>("UserMemo")->document()->blockCount(), 101);
    EXPECT_EQ(lines(control<QPlainTextEdit>("UserMemo")).first(), "200-line 102");
    EXPECT_EQ(lines(control<QPlainTextEdit>("UserMemo")).last(), "200-line 202");

    show(control<QWidget>("StatusSheet")); // the other pages are not bounded
    for (int i = 0; i < 250; ++i)
        status("x\r\n");
    EXPECT_EQ(control<QPlainTextEdit>("StatusMemo")->document()->blockCount(), 250);
}

// ---- the directory tree -----------------------------------------------------------------------------------------

class TreeTest : public RouterTest {
protected:
    void SetUp() override
    {
        RouterTest::SetUp();
        // Every change of the tree is checked against the rules an item model keeps: the view relies on them.
        checker = std::make_unique<QAbstractItemModelTester>(control<TFileTreeView>("TreeView1")->model(),
                                                             QAbstractItemModelTester::FailureReportingMode::Fatal);
    }
    void TearDown() override { checker.reset(); }
    std::unique_ptr<QAbstractItemModelTester> checker;

    // Feeds a listing as the session tells it: each line parsed first, its entry (or none) told, and the
    // listing's end told; below the node given, as a double-click's listing goes, or where the page refresh's goes.
    void listing(const std::vector<std::string>& rows, std::optional<QModelIndex> under = std::nullopt)
    {
        if (under)
            control<TFileTreeView>("TreeView1")->tree().startListing(*under);
        TFTPUnixList list;
        for (const std::string& row : rows) {
            list.ParseLine(row);
            const std::optional<TListEntry> entry = list.LastStored();
            emit form->session().listItem(entry ? &*entry : nullptr);
        }
        emit form->session().listingEnded();
    }
    QModelIndex node(int row, const QModelIndex& parent = {})
    {
        return control<TFileTreeView>("TreeView1")->model()->index(row, 0, parent);
    }
    QStringList texts(const QModelIndex& parent = {})
    {
        QStringList out;
        for (int i = 0; i < control<TFileTreeView>("TreeView1")->model()->rowCount(parent); ++i)
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
    // Each kind has its picture: the closed folder, the file, the link.
    for (int row : {0, 2, 6})
        EXPECT_FALSE(node(row).data(Qt::DecorationRole).value<QIcon>().pixmap(16, 16).isNull()) << row;
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

    // A listing that holds only its total line adds nothing.
    control<TFileTreeView>("TreeView1")->clear();
    listing({"total 0"});
    EXPECT_EQ(control<TFileTreeView>("TreeView1")->model()->rowCount(), 0);
}

TEST_F(TreeTest, PathsAndEntriesGoBelowTheSelectedNode)
{
    listing({"total 1", "drwxr-xr-x 2 u g 4096 Nov 28 21:14 a"});
    const QModelIndex a = node(0);
    listing({"total 1", "drwxr-xr-x 2 u g 4096 Nov 28 21:14 b"}, a);
    const QModelIndex b = node(0, a);
    listing({"total 2", "drwxr-xr-x 2 u g 4096 Nov 28 21:14 x", "-rw-r--r-- 1 u g 5 Nov 28 21:14 f.nfo"}, b);
    const QModelIndex x = node(0, b);
    EXPECT_EQ(TFilePage::ParentPath(a), "/");
    EXPECT_EQ(TFilePage::NodePath(a), "/a");
    EXPECT_EQ(TFilePage::ParentPath(x), "/a/b/");
    EXPECT_EQ(TFilePage::NodePath(x), "/a/b/x");
    EXPECT_EQ(TFilePage::ParentPath(node(1, b)), "/a/b/");

    listing({"total 1", "drwxr-xr-x 2 u g 4096 Nov 28 21:14 root2"}, QModelIndex());
    EXPECT_EQ(control<TFileTreeView>("TreeView1")->model()->rowCount(), 2)
        << "a listing for no node goes to the root level";
}

TEST_F(TreeTest, TheSelectionDecidesWhichButtonsAct)
{
    listing({"total 3", "drwxr-xr-x 2 u g 4096 Nov 28 21:14 dir", "-rw-r--r-- 1 u g 5 Nov 28 21:14 f.nfo",
             "lrwxrwxrwx 1 u g 5 Nov 28 21:14 l -> dir"});
    auto enabled = [this] {
        QString s;
        for (QPushButton* b :
             {control<QPushButton>("bbDeleteDir"), control<QPushButton>("bbNukeDir"), control<QPushButton>("bbViewNfo"),
              control<QPushButton>("bbViewDiz"), control<QPushButton>("bbTestZip"), control<QPushButton>("bbViewZip")})
            s += b->isEnabled() ? '1' : '0';
        return s;
    };
    EXPECT_EQ(enabled(), "111111") << "all enabled before the first selection";
    control<TFileTreeView>("TreeView1")->setCurrentIndex(node(0));
    EXPECT_EQ(enabled(), "110000");
    control<TFileTreeView>("TreeView1")->setCurrentIndex(node(1));
    EXPECT_EQ(enabled(), "001111");
    control<TFileTreeView>("TreeView1")->setCurrentIndex(node(2));
    EXPECT_EQ(enabled(), "000000");

    // Expanding and collapsing select the node and show the open or closed folder; a link too.
    const QModelIndex link = node(2);
    listing({"total 1", "-rw-r--r-- 1 u g 5 Nov 28 21:14 inside.nfo"}, link);
    control<TFileTreeView>("TreeView1")->setCurrentIndex(node(0));
    control<TFileTreeView>("TreeView1")->expand(link);
    EXPECT_EQ(control<TFileTreeView>("TreeView1")->currentIndex(), link);
    EXPECT_EQ(TFilePage::nodeKind(link), 1);
    control<TFileTreeView>("TreeView1")->collapse(link);
    EXPECT_EQ(TFilePage::nodeKind(link), 0);

    // The root level built anew takes the selection with it: no button acts on a node that is gone.
    control<TFileTreeView>("TreeView1")->setCurrentIndex(node(0));
    control<TFileTreeView>("TreeView1")->clear();
    EXPECT_EQ(enabled(), "000000");
}

} // namespace
