// The FiLE MAiNT page's delete, nuke and inspection buttons against quillon-sim, and against a daemon of the
// test's own for what quillon-sim does not do: names with blanks, and a log-in folder other than the root.

#include "ConsoleFixture.h"

#include "common/WhenModal.h"
#include "files/NfoDizView.h"
#include "ftp/ScriptPeer.h"

#include <QAbstractItemModelTester>
#include <QPlainTextEdit>
#include <QPushButton>

#include <map>

namespace {

// A small daemon on a ScriptPeer: the log-in puts the session in `home`; each folder of `listings` can be changed
// to and listed (active mode), RMD and SITE commands are taken, anything else refused. PWD is answered with
// pwdReply when one is given. It ends with QUIT, or when the console has said nothing for a while.
ScriptPeer::Script folderDaemon(std::string home, std::map<std::string, std::string> listings,
                                std::string pwdReply = {})
{
    return [home = std::move(home), listings = std::move(listings), pwdReply = std::move(pwdReply)](PeerSession& c) {
        std::string cwd = home;
        std::string port;
        c.send("220 Ready.\r\n");
        for (int silent = 0; silent < 3;) {
            std::string line = c.readLine();
            if (line.empty()) {
                ++silent;
                continue;
            }
            silent = 0;
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                line.pop_back();
            const std::string word = line.substr(0, line.find(' '));
            std::string argument = line.size() > word.size() ? line.substr(word.size() + 1) : std::string();
            if (word == "USER") {
                c.send("331 Password required.\r\n");
            } else if (word == "PASS") {
                c.send("230 Logged in.\r\n");
            } else if (word == "SYST") {
                c.send("215 UNIX Type: L8\r\n");
            } else if (word == "PWD" && !pwdReply.empty()) {
                c.send(pwdReply);
            } else if (word == "PWD") {
                c.send("257 \"" + cwd + "\" is current directory.\r\n");
            } else if (word == "CWD") {
                while (argument.size() > 1 && argument.back() == '/')
                    argument.pop_back();
                if (listings.count(argument)) {
                    cwd = argument;
                    c.send("250 CWD command successful.\r\n");
                } else {
                    c.send("550 " + argument + ": No such directory.\r\n");
                }
            } else if (word == "PORT") {
                port = line;
                c.send("200 PORT command successful.\r\n");
            } else if (word == "LIST") {
                c.send("150 Opening ASCII mode data connection for /bin/ls.\r\n");
                if (auto data = c.connectData(port)) {
                    const auto listing = listings.find(cwd);
                    PeerSession::sendOn(*data, listing == listings.end() ? "total 0\r\n" : listing->second);
                    data->disconnectFromHost();
                    if (data->state() != QAbstractSocket::UnconnectedState)
                        data->waitForDisconnected(2000);
                }
                c.send("226 Transfer complete.\r\n");
            } else if (word == "RMD") {
                c.send("250 RMD command successful.\r\n");
            } else if (word == "SITE") {
                c.send("200 " + argument + "\r\n");
            } else if (word == "QUIT") {
                c.send("221 Goodbye.\r\n");
                return;
            } else {
                c.send("500 " + word + " not understood.\r\n");
            }
        }
    };
}

// What the console sent a ScriptPeer, without line ends and data-connection set-up.
QStringList commandsTo(const ScriptPeer& peer)
{
    QStringList out;
    for (std::string line : peer.received()) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (line.rfind("PORT ", 0) != 0)
            out << QString::fromLatin1(line.data(), qsizetype(line.size()));
    }
    return out;
}

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
        checker = std::make_unique<QAbstractItemModelTester>(control<TFileTreeView>("TreeView1")->model(),
                                                             QAbstractItemModelTester::FailureReportingMode::Fatal);
        clickTab(control<TFilePage>("FileSheet"));
    }

    // The same against a daemon of the test's own.
    void filePage(ScriptPeer& peer)
    {
        startConsole(peer.port());
        click(control<QPushButton>("bbLogin"));
        ASSERT_TRUE(session().connected()) << prompts.errors.join('\n').toStdString();
        checker = std::make_unique<QAbstractItemModelTester>(control<TFileTreeView>("TreeView1")->model(),
                                                             QAbstractItemModelTester::FailureReportingMode::Fatal);
        clickTab(control<TFilePage>("FileSheet"));
    }

    // The texts of a node's children, each with its kind.
    QStringList children(const QModelIndex& parent)
    {
        QStringList out;
        for (int i = 0; i < control<TFileTreeView>("TreeView1")->model()->rowCount(parent); ++i) {
            const QModelIndex node = control<TFileTreeView>("TreeView1")->model()->index(i, 0, parent);
            out << node.data().toString() + ":" + QString::number(TFilePage::nodeKind(node));
        }
        return out;
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
        control<TFileTreeView>("TreeView1")->scrollTo(node);
        QTest::mouseClick(control<TFileTreeView>("TreeView1")->viewport(), Qt::LeftButton, {},
                          control<TFileTreeView>("TreeView1")->visualRect(node).center());
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

TEST_F(FileCommandsTest, DeleteAsksThenTakesTheNodeAwayOnlyOnceTheDaemonRemovedIt)
{
    SimProcess sim;
    // Before the first selection both buttons are enabled and meet the empty selection.
    filePage(sim);
    ASSERT_FALSE(control<TFileTreeView>("TreeView1")->currentIndex().isValid());
    click(control<QPushButton>("bbDeleteDir"));
    click(control<QPushButton>("bbNukeDir"));
    EXPECT_EQ(prompts.notices,
              QStringList({"Select a directory first 'ya tool!", "Select a directory first 'ya tool!"}));
    const QModelIndex dir = child({}, "incoming");
    const QModelIndex archive = child({}, "archive");
    ASSERT_TRUE(dir.isValid() && archive.isValid());

    // The operator selects another directory while /incoming is being listed: the entries still go below the
    // node the listing is for, and the paths sent later are made from them.
    const auto ports = [&] { return sim.commands().filter(QRegularExpression("^PORT ")).size(); };
    const qsizetype portsBefore = ports();
    duringTheWait([&] { select(archive); }, [&] { return ports() > portsBefore; });
    doubleClick(dir);
    EXPECT_EQ(control<TFileTreeView>("TreeView1")->model()->rowCount(archive), 0);
    EXPECT_TRUE(control<TFileTreeView>("TreeView1")->isExpanded(dir));
    const QModelIndex empty = child(dir, "Empty.Dir-GRP");
    ASSERT_TRUE(empty.isValid());
    select(empty);
    qsizetype mark = sim.commands().size();
    prompts.confirmAnswers = {false, true};
    click(control<QPushButton>("bbDeleteDir"));
    EXPECT_EQ(prompts.confirms.last(), "Do you really want to delete Empty.Dir-GRP?");
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
    click(control<QPushButton>("bbDeleteDir"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"RMD /incoming/Empty.Dir-GRP"}));
    EXPECT_FALSE(child(dir, "Empty.Dir-GRP").isValid());
    EXPECT_TRUE(prompts.errors.isEmpty());

    // A directory the daemon will not remove stays in the tree, still selected: a second DELETE aims at it again,
    // not at its neighbour.
    const QModelIndex refused = child(dir, "Some.Tool.v1.2-GRP");
    select(refused);
    prompts.confirmAnswers = {true};
    click(control<QPushButton>("bbDeleteDir"));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("550"));
    EXPECT_TRUE(child(dir, "Some.Tool.v1.2-GRP").isValid());
    EXPECT_EQ(control<TFileTreeView>("TreeView1")->currentIndex(), refused);

    // After LOGOUT nothing acts on the folders of the connection that is gone: the tree is empty, its buttons off.
    click(control<QPushButton>("bbLogOut"));
    EXPECT_EQ(control<TFileTreeView>("TreeView1")->model()->rowCount(), 0);
    for (const char* name : {"bbDeleteDir", "bbNukeDir", "bbViewNfo", "bbViewDiz", "bbTestZip", "bbViewZip"})
        EXPECT_FALSE(control<QPushButton>(name)->isEnabled()) << name;
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
    click(control<QPushButton>("bbNukeDir"));
    EXPECT_EQ(prompts.confirms.last(), "Do you really want to NUKE Game.Name.2026-GRP?");
    EXPECT_EQ(prompts.inputs.last(), "NUKE AMOUNT|Enter multiplier for this Nuke:|");
    EXPECT_EQ(sim.commandsSince(mark), QStringList());

    // The daemon already stands in /incoming: no change of directory before the nuke.
    prompts.confirmAnswers = {true};
    prompts.inputAnswers = {QStringLiteral("3"), QStringLiteral("dupe")};
    click(control<QPushButton>("bbNukeDir"));
    EXPECT_EQ(prompts.inputs.last(), "NUKE REASON|Why are you nuking this dir?|");
    QStringList sent = sim.commandsSince(mark).filter(QRegularExpression("^(PWD|CWD|SITE|LIST)"));
    EXPECT_EQ(sent, QStringList({"PWD", "SITE NUKE 3 Game.Name.2026-GRP dupe", "CWD /incoming", "LIST"}));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_FALSE(child(dir, "Game.Name.2026-GRP").isValid());
    EXPECT_TRUE(child(dir, "[NUKED]-Game.Name.2026-GRP").isValid());
    EXPECT_EQ(control<TFileTreeView>("TreeView1")->currentIndex(), dir);

    // From elsewhere, with an empty reason: CWD to the parent first, and the line ends in a blank.
    doubleClick(child({}, "archive"));
    select(child(dir, "Artist-Album-2026-GRP"));
    mark = sim.commands().size();
    prompts.confirmAnswers = {true};
    prompts.inputAnswers = {QStringLiteral("2"), QString()};
    click(control<QPushButton>("bbNukeDir"));
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
    for (int i = 0; i < control<TFileTreeView>("TreeView1")->model()->rowCount(release); ++i)
        if (release.model()->index(i, 0, release).data().toString().startsWith("some.tool.v1.2-grp.nfo -> "))
            nfo = release.model()->index(i, 0, release);
    ASSERT_TRUE(nfo.isValid());
    select(nfo);
    ASSERT_TRUE(control<QPushButton>("bbViewNfo")->isEnabled());

    QString title, text;
    readViewer(title, text);
    qsizetype mark = sim.commands().size();
    click(control<QPushButton>("bbViewNfo"));
    EXPECT_EQ(title, "Kolvane NFO/DiZ/ZiP ViEWER");
    EXPECT_TRUE(text.startsWith("SITE NFO some.tool.v1.2-grp.nfo")) << text.toStdString();
    EXPECT_TRUE(text.contains(QChar(0x2588)) || text.contains(QChar(0x2550))) << "the nfo's art shows as drawn";
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"PWD", "SITE NFO some.tool.v1.2-grp.nfo"}))
        << "the daemon stands in the release already";
    EXPECT_FALSE(control<TFilePage>("FileSheet")->viewerOpen());
    EXPECT_EQ(form->findChildren<TNfoDizForm*>().size(), 0);

    // A refused inspection still shows what arrived, and reports the refusal once the viewer is closed.
    readViewer(title, text);
    select(nfo);
    click(control<QPushButton>("bbTestZip"));
    EXPECT_TRUE(text.startsWith("SITE ZIPCHK some.tool.v1.2-grp.nfo"));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("5"));

    // With the viewer gone, the page's lines go to its own box again.
    control<QPlainTextEdit>("FileMemo")->clear();
    doubleClick(release);
    EXPECT_TRUE(control<QPlainTextEdit>("FileMemo")->toPlainText().contains("CWD /incoming/Some.Tool.v1.2-GRP"));
}

TEST_F(FileCommandsTest, NamesWithBlanksAndLinksAreTheNamesEveryCommandSends)
{
    ScriptPeer peer(folderDaemon("/", {{"/", "total 1\r\ndrwxr-xr-x 4 op op 4096 Dec  9 09:31 hazard\r\n"},
                                       {"/hazard", "total 4\r\n"
                                                   "drwxr-xr-x 2 op op 4096 Dec  9 09:31 dir\r\n"
                                                   "-rw-r--r-- 1 op op 2048 Dec  9  2025 my notes.nfo\r\n"
                                                   "drwxr-xr-x 2 op op 4096 Dec  9 09:31 my dir\r\n"
                                                   "lrwxrwxrwx 1 op op    3 Dec  9 09:31 latest -> dir\r\n"},
                                       {"/hazard/my dir", "total 0\r\n"},
                                       {"/hazard/latest", "total 0\r\n"}}));
    filePage(peer);
    const QPersistentModelIndex hazard = child({}, "hazard");
    ASSERT_TRUE(hazard.isValid());
    doubleClick(hazard);
    EXPECT_EQ(children(hazard), QStringList({"dir:0", "my notes.nfo -> 2 Kb:2", "my dir:0", "latest:3"}));

    // Each node sends its own whole name: the link its name, the folder with a blank its name, never a namesake.
    doubleClick(child(hazard, "latest"));
    doubleClick(child(hazard, "my dir"));
    select(child(hazard, "my notes.nfo -> 2 Kb"));
    QString title, text;
    readViewer(title, text);
    click(control<QPushButton>("bbViewNfo"));
    select(child(hazard, "my dir"));
    prompts.confirmAnswers = {true};
    click(control<QPushButton>("bbDeleteDir"));
    EXPECT_EQ(prompts.confirms.last(), "Do you really want to delete my dir?");
    EXPECT_TRUE(child(hazard, "dir").isValid());
    EXPECT_FALSE(child(hazard, "my dir").isValid());
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();

    const QStringList sent = commandsTo(peer).filter(QRegularExpression("^(CWD|RMD|SITE)"));
    EXPECT_EQ(sent, QStringList({"CWD /hazard", "CWD /hazard/latest", "CWD /hazard/my dir", "CWD /hazard/",
                                 "SITE NFO my notes.nfo", "RMD /hazard/my dir"}));
    click(control<QPushButton>("bbLogOut"));
    EXPECT_EQ(peer.failure(), "");
}

TEST_F(FileCommandsTest, TheTreeStandsInTheFolderTheLogInStartedIn)
{
    ScriptPeer peer(folderDaemon("/home/op", {{"/home/op", "total 2\r\n"
                                                           "drwxr-xr-x 3 op op 4096 Dec  9 09:31 pub\r\n"
                                                           "drwxr-xr-x 2 op op 4096 Dec  9 09:31 old\r\n"},
                                              {"/home/op/pub", "total 2\r\n"
                                                               "drwxr-xr-x 2 op op 4096 Dec  9 09:31 Rel-GRP\r\n"
                                                               "-rw-r--r-- 1 op op 1024 Dec  9 09:31 x.nfo\r\n"}}));
    filePage(peer);
    EXPECT_EQ(children({}), QStringList({"pub:0", "old:0"}));
    EXPECT_EQ(commandsTo(peer), QStringList({"USER siteop", "PASS quillon", "SYST", "LIST"}))
        << "the root listing asks nothing more than before";

    // The first folder opened asks where the log-in started, once, off the page.
    const QPersistentModelIndex pub = child({}, "pub");
    ASSERT_TRUE(pub.isValid());
    control<QPlainTextEdit>("FileMemo")->clear();
    doubleClick(pub);
    EXPECT_EQ(children(pub), QStringList({"Rel-GRP:0", "x.nfo -> 1 Kb:2"}));
    EXPECT_TRUE(control<QPlainTextEdit>("FileMemo")->toPlainText().startsWith("CWD /home/op/pub"))
        << control<QPlainTextEdit>("FileMemo")->toPlainText().toStdString();

    // Delete, view and nuke build their paths there too.
    select(child(pub, "Rel-GRP"));
    prompts.confirmAnswers = {true};
    click(control<QPushButton>("bbDeleteDir"));
    select(child(pub, "x.nfo -> 1 Kb"));
    QString title, text;
    readViewer(title, text);
    click(control<QPushButton>("bbViewNfo"));
    select(child({}, "old"));
    prompts.confirmAnswers = {true};
    prompts.inputAnswers = {QStringLiteral("2"), QStringLiteral("dupe")};
    click(control<QPushButton>("bbNukeDir"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(commandsTo(peer).mid(4),
              QStringList({"PWD", "CWD /home/op/pub", "LIST", "RMD /home/op/pub/Rel-GRP", "PWD", "SITE NFO x.nfo",
                           "PWD", "CWD /home/op/", "SITE NUKE 2 old dupe", "CWD /home/op", "LIST"}));
    click(control<QPushButton>("bbLogOut"));
    EXPECT_EQ(peer.failure(), "");
}

TEST_F(FileCommandsTest, ADaemonThatWillNotSayWhereTheLogInStartedLeavesTheTreeAtTheRoot)
{
    ScriptPeer peer(folderDaemon(
        "/srv", {{"/srv", "total 1\r\ndrwxr-xr-x 2 op op 4096 Dec  9 09:31 pub\r\n"}, {"/pub", "total 0\r\n"}},
        "550 PWD not allowed.\r\n"));
    filePage(peer);
    doubleClick(child({}, "pub"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_FALSE(control<QPlainTextEdit>("FileMemo")->toPlainText().contains("PWD"));
    EXPECT_EQ(commandsTo(peer).mid(4), QStringList({"PWD", "CWD /pub", "LIST"}));
    click(control<QPushButton>("bbLogOut"));
    EXPECT_EQ(peer.failure(), "");
}

} // namespace
