// The console online, end to end: the real main window driven through its widgets against quillon-sim.

#include "ConsoleFixture.h"

#include "admin/NewUser.h"
#include "admin/UserEdit.h"
#include "gui/Prompts.h"

#include <QAction>
#include <QCheckBox>
#include <QCompleter>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QWindow>

namespace {

using OnlineTest = ConsoleTest;

TEST_F(OnlineTest, LogInShowsTheGreetingAndLogOutPutsTheConsoleBack)
{
    SimProcess sim;
    startConsole(sim.port);
    control<TPageControl>("PageControl1")->setCurrentWidget(control<TInfoPage>("InfoSheet"));
    click(control<QPushButton>("bbLogin"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(control<TPageControl>("PageControl1")->currentWidget(), control<QWidget>("StatusSheet"));
    const QString status = control<QPlainTextEdit>("StatusMemo")->toPlainText();
    EXPECT_TRUE(status.startsWith("220-Welcome to the Quillon site.")) << status.toStdString();
    EXPECT_TRUE(status.contains("USER siteop\n331 Password required for siteop.\nPASS\n230 User siteop logged in."))
        << status.toStdString();
    EXPECT_FALSE(status.contains("quillon\n")) << "the password is never shown";
    EXPECT_EQ(panel(1), "ONLINE");
    EXPECT_EQ(panel(3), "");
    EXPECT_EQ(ApplicationTitle(), "sim ADMiN by Drummock");
    EXPECT_FALSE(control<QPushButton>("bbLogin")->isEnabled());
    EXPECT_TRUE(control<QPushButton>("bbLogOut")->isEnabled());
    EXPECT_EQ(sim.commands(), QStringList({"USER siteop", "PASS ****"}));

    click(control<QPushButton>("bbLogOut"));
    EXPECT_EQ(sim.commands().last(), "QUIT");
    EXPECT_EQ(panel(1), "OFFLINE");
    EXPECT_TRUE(control<QPushButton>("bbLogin")->isEnabled());
    EXPECT_FALSE(control<QPushButton>("bbLogOut")->isEnabled());
    EXPECT_EQ(ApplicationTitle(), "sim ADMiN by Drummock") << "the title stays";
}

TEST_F(OnlineTest, ASiteNameThatWouldReorderItsTextShowsEscapedAndStillLogsIn)
{
    SimProcess sim;
    startConsole(sim.port);
    form->close();
    form.reset();
    const QString name = QStringLiteral("prod\u202Eatad"); // shown raw, it would read "proddata"
    addSite(store(), SiteBook::keyName(name), sim.port);
    form = std::make_unique<TMainForm>();
    form->CreateDialogs();
    form->show();
    auto* box = control<QComboBox>("SiteName");
    const int at = box->findData(name);
    ASSERT_GE(at, 0);
    EXPECT_EQ(box->itemText(at), "prod\\u202Eatad");
    box->setCurrentIndex(at);
    emit box->activated(at);
    click(control<QPushButton>("bbLogin"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(panel(1), "ONLINE");
    EXPECT_EQ(session().siteName(), name) << "the site's own name reaches the session, not its shown text";
}

TEST_F(OnlineTest, PagesFetchTheirDataOncePerLogIn)
{
    SimProcess sim;
    startConsole(sim.port);
    click(control<QPushButton>("bbLogin"));

    // First visit to USER MAiNT: users then groups, both drop-downs filled.
    qsizetype mark = sim.commands().size();
    clickTab(control<TUserPage>("UserSheet"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE USERS", "SITE GROUPS"}));
    EXPECT_EQ(panel(3), "Done...");
    EXPECT_GT(control<QComboBox>("UserList")->count(), 10);
    EXPECT_GE(control<QComboBox>("UserList")->findText("siteop"), 0);
    EXPECT_EQ(control<QComboBox>("UserList")->findText(""), -1) << "the totals line adds no name";
    for (int i = 1; i < control<QComboBox>("UserList")->count(); ++i)
        EXPECT_LE(control<QComboBox>("UserList")->itemText(i - 1), control<QComboBox>("UserList")->itemText(i))
            << "the user box is sorted";
    EXPECT_GE(control<QComboBox>("GroupList")->findText("Admin"), 0);
    EXPECT_EQ(control<QComboBox>("GroupList")->count(), lists().GroupNames.size());
    EXPECT_EQ(lists().GroupCount, lists().GroupNames.size());
    const QString memo = control<QPlainTextEdit>("UserMemo")->toPlainText();
    EXPECT_TRUE(memo.contains("Totals:"));
    EXPECT_FALSE(memo.contains("SITE GROUPS"));
    EXPECT_FALSE(memo.contains("Available Groups"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();

    // GROUP MAiNT then sends nothing, nor does a second visit or a double-click on the user box.
    mark = sim.commands().size();
    clickTab(control<TGroupPage>("GroupSheet"));
    clickTab(control<TUserPage>("UserSheet"));
    QTest::mouseDClick(control<QPlainTextEdit>("UserMemo")->viewport(), Qt::LeftButton);
    EXPECT_EQ(sim.commandsSince(mark), QStringList());

    // Logged out and in again, GROUP MAiNT first fetches only the groups, USER MAiNT then only the users.
    click(control<QPushButton>("bbLogOut"));
    EXPECT_EQ(control<QComboBox>("UserList")->count(), 0);
    EXPECT_TRUE(lists().GroupNames.isEmpty());
    click(control<QPushButton>("bbLogin"));
    mark = sim.commands().size();
    clickTab(control<TGroupPage>("GroupSheet"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE GROUPS"}));
    clickTab(control<TUserPage>("UserSheet"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE GROUPS", "SITE USERS"}));
}

TEST_F(OnlineTest, TabsStayPutWhileOfflineAndTypingWantsALogIn)
{
    SimProcess sim;
    startConsole(sim.port);
    clickTab(control<TUserPage>("UserSheet"));
    EXPECT_EQ(control<TPageControl>("PageControl1")->currentWidget(), control<QWidget>("StatusSheet"));
    EXPECT_TRUE(sim.commands().isEmpty());

    control<QComboBox>("CommandText")->setFocus();
    QTest::keyClicks(control<QComboBox>("CommandText"), QStringLiteral("W"));
    EXPECT_EQ(prompts.notices, QStringList({"Login first you moron!"}));
    EXPECT_EQ(control<QComboBox>("CommandText")->currentText(), "");
    EXPECT_FALSE(control<QPushButton>("bbExecute")->isEnabled());
}

TEST_F(OnlineTest, ExecuteSendsTheCustomCommandAndKeepsItsHistory)
{
    SimProcess sim;
    startConsole(sim.port);
    click(control<QPushButton>("bbLogin"));
    control<TPageControl>("PageControl1")->setCurrentWidget(control<TInfoPage>("InfoSheet"));
    // Keys and clicks go to the window as the window system delivers them: to the focus, or to an open list.
    QWindow* window = form->windowHandle();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    const auto clickInWindow = [&](QWidget* w) {
        QTest::mouseClick(window, Qt::LeftButton, {}, w->mapTo(form.get(), w->rect().center()));
    };
    const auto typeInWindow = [&](const QString& text) {
        for (const QChar c : text)
            QTest::keyClick(window, c.toLatin1());
    };
    for (int round = 1; round <= 2; ++round) {
        control<QComboBox>("CommandText")->setFocus();
        typeInWindow(QStringLiteral("WHO"));
        ASSERT_TRUE(control<QPushButton>("bbExecute")->isEnabled());
        ASSERT_TRUE(control<QComboBox>("CommandText")->completer()->popup()->isVisible())
            << "WHO is a command the list knows";
        const qsizetype sent = sim.commands().size();
        clickInWindow(control<QPushButton>("bbExecute")); // the first click executes, though the list was open
        EXPECT_TRUE(QTest::qWaitFor([&] { return sim.commands().size() > sent; }, 5000)) << "nothing was sent";
        EXPECT_EQ(sim.commands().last(), "SITE WHO");
        EXPECT_FALSE(control<QComboBox>("CommandText")->completer()->popup()->isVisible());
        EXPECT_EQ(control<TPageControl>("PageControl1")->currentWidget(), control<QWidget>("StatusSheet"));
        EXPECT_EQ(control<QComboBox>("CommandText")->count(), 1) << "a command sent twice in a row is kept once";
        EXPECT_EQ(control<QComboBox>("CommandText")->currentText(), "");
        EXPECT_FALSE(control<QPushButton>("bbExecute")->isEnabled());
    }
    EXPECT_TRUE(control<QPlainTextEdit>("StatusMemo")->toPlainText().contains("logins on Quillon."));
    EXPECT_EQ(panel(3), "Done...") << "the WHO reply closes with 221";

    // Enter executes as EXECUTE does; Up recalls the newest command first, Down walks back to the empty line.
    typeInWindow(QStringLiteral("NEW 3"));
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_EQ(sim.commands().last(), "SITE NEW 3");
    QTest::keyClick(window, Qt::Key_Up);
    EXPECT_EQ(control<QComboBox>("CommandText")->currentText(), "NEW 3");
    QTest::keyClick(window, Qt::Key_Up);
    EXPECT_EQ(control<QComboBox>("CommandText")->currentText(), "WHO");
    QTest::keyClick(window, Qt::Key_Down);
    EXPECT_EQ(control<QComboBox>("CommandText")->currentText(), "NEW 3");
    EXPECT_TRUE(control<QPushButton>("bbExecute")->isEnabled()) << "a recalled command can be sent again";
    QTest::keyClick(window, Qt::Key_Down);
    EXPECT_EQ(control<QComboBox>("CommandText")->currentText(), "");
    EXPECT_TRUE(control<QComboBox>("CommandText")
                    ->completer()
                    ->model()
                    ->match(control<QComboBox>("CommandText")->completer()->model()->index(0, 0), Qt::DisplayRole,
                            QStringLiteral("WEEKTOP"))
                    .size() == 1)
        << "the first word completes from the SITE commands";

    // A refused command stays in the box and out of the history.
    QTest::keyClicks(control<QComboBox>("CommandText"), QStringLiteral("NOSUCHWORD"));
    click(control<QPushButton>("bbExecute"));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("500")) << prompts.errors[0].toStdString();
    EXPECT_EQ(control<QComboBox>("CommandText")->currentText(), "NOSUCHWORD");
    EXPECT_EQ(control<QComboBox>("CommandText")->count(), 2);

    click(control<QPushButton>("bbLogOut"));
    EXPECT_FALSE(control<QPushButton>("bbExecute")->isEnabled()) << "nothing to execute on while offline";
}

TEST_F(OnlineTest, InfoButtonsClearTheBoxAndAskWhereTheyMust)
{
    SimProcess sim;
    startConsole(sim.port);
    click(control<QPushButton>("bbLogin"));
    clickTab(control<TInfoPage>("InfoSheet"));
    control<QPlainTextEdit>("InfoMemo")->setPlainText(QStringLiteral("old text"));

    const qsizetype mark = sim.commands().size();
    click(control<QPushButton>("bbWeekTop"));
    EXPECT_FALSE(control<QPlainTextEdit>("InfoMemo")->toPlainText().contains("old text"));
    EXPECT_TRUE(control<QPlainTextEdit>("InfoMemo")->toPlainText().startsWith("SITE WEEKTOP"));

    control<QPlainTextEdit>("InfoMemo")->setPlainText(QStringLiteral("kept"));
    prompts.inputAnswers = {QString()}; // Cancel
    click(control<QPushButton>("bbLastNukes"));
    EXPECT_EQ(control<QPlainTextEdit>("InfoMemo")->toPlainText(), "kept");
    EXPECT_EQ(prompts.inputs.last(), "LAST NUKE'S MADE|Show how many nukes?|");

    prompts.inputAnswers = {QStringLiteral("10")};
    click(control<QPushButton>("bbLastNukes"));
    prompts.inputAnswers = {QStringLiteral(" ")};
    click(control<QPushButton>("bbLastDirs"));
    EXPECT_EQ(prompts.inputs.last(), "LAST DIR'S MADE|Show how many directories?|");
    click(control<QPushButton>("bbGroupTop"));
    click(control<QPushButton>("bbUserTop"));
    click(control<QPushButton>("bbWho"));
    prompts.inputAnswers = {QStringLiteral("99999")};
    click(control<QPushButton>("bbKillUser"));
    EXPECT_EQ(prompts.inputs.last(), "KiLL LOGiN|Kill which Login? (PID)|");
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE WEEKTOP", "SITE NUKES 10", "SITE NEW  ", "SITE GROUPTOP",
                                                    "SITE USERTOP", "SITE WHO", "SITE KILL 99999"}));
    ASSERT_EQ(prompts.errors.size(), 2) << "a blank is no number of directories, and there is no such PID";
    EXPECT_TRUE(prompts.errors[0].startsWith("501"));
    EXPECT_TRUE(prompts.errors[1].startsWith("5"));
    EXPECT_TRUE(control<QPlainTextEdit>("InfoMemo")->toPlainText().startsWith("SITE KILL 99999"))
        << "the box stays cleared but for the reply";
}

TEST_F(OnlineTest, TheTreeListsThreeLevelsDeep)
{
    SimProcess sim;
    startConsole(sim.port);
    click(control<QPushButton>("bbLogin"));
    qsizetype mark = sim.commands().size();
    clickTab(control<TFilePage>("FileSheet"));
    EXPECT_EQ(sim.commandsSince(mark).filter(QRegularExpression("^(SYST|LIST)$")), QStringList({"SYST", "LIST"}));
    EXPECT_EQ(panel(3), "Done...");
    const QAbstractItemModel* tree = control<TFileTreeView>("TreeView1")->model();
    const QModelIndex archive = child({}, "archive");
    ASSERT_TRUE(archive.isValid());
    EXPECT_EQ(TFilePage::nodeKind(archive), 0);
    EXPECT_TRUE(control<QPlainTextEdit>("FileMemo")->toPlainText().contains(QRegularExpression("Received \\d+ Bytes")));

    doubleClick(archive);
    EXPECT_EQ(TFilePage::nodeKind(archive), 1);
    EXPECT_TRUE(control<TFileTreeView>("TreeView1")->isExpanded(archive));
    const QModelIndex games = child(archive, "Games");
    ASSERT_TRUE(games.isValid());
    doubleClick(games);
    const QModelIndex retro = child(games, "Retro.Game-GRP");
    ASSERT_TRUE(retro.isValid());
    doubleClick(retro);
    EXPECT_TRUE(child(retro, "Disk1").isValid());
    const QStringList cwds = sim.commands().filter(QRegularExpression("^CWD "));
    EXPECT_EQ(cwds, QStringList({"CWD /archive", "CWD /archive/Games", "CWD /archive/Games/Retro.Game-GRP"}));
    EXPECT_EQ(sim.commands().count("SYST"), 1) << "the server kind is detected once per log-in";

    // Listing a directory again leaves one set of children; a file node lists nothing.
    const int children = tree->rowCount(retro);
    doubleClick(retro);
    EXPECT_EQ(tree->rowCount(retro), children);
    QModelIndex file;
    for (int i = 0; i < tree->rowCount(retro) && !file.isValid(); ++i)
        if (TFilePage::nodeKind(tree->index(i, 0, retro)) == 2)
            file = tree->index(i, 0, retro);
    ASSERT_TRUE(file.isValid());
    mark = sim.commands().size();
    doubleClick(file);
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();

    // A later visit lists nothing.
    clickTab(control<QWidget>("StatusSheet"));
    clickTab(control<TFilePage>("FileSheet"));
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
}

TEST_F(OnlineTest, ARefusedLogInLeavesLogInReadyForTheNextTry)
{
    SimProcess sim;
    startConsole(sim.port, "wrong password");
    click(control<QPushButton>("bbLogin"));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_EQ(prompts.errors[0], "530 Login incorrect.\nCheck the log-in name and password of the site in SiTES.");
    EXPECT_TRUE(control<QPushButton>("bbLogin")->isEnabled());
    EXPECT_FALSE(control<QPushButton>("bbLogOut")->isEnabled());
    EXPECT_EQ(panel(3), "Not connected to sim"); // the attempt is over: the panel no longer says it is connecting
    EXPECT_EQ(panel(1), "OFFLINE");
    // The box's words stay on STATUS, on one line with the time, once the box is gone.
    const QStringList status = control<QPlainTextEdit>("StatusMemo")->toPlainText().split('\n');
    ASSERT_GE(status.size(), 2);
    EXPECT_EQ(status[status.size() - 2], "Disconnected");
    EXPECT_TRUE(QRegularExpression("^530 Login incorrect\\. Check the log-in name and password of the site in "
                                   "SiTES\\. \\(\\d\\d:\\d\\d:\\d\\d\\)$")
                    .match(status.last())
                    .hasMatch())
        << status.last().toStdString();
}

TEST_F(OnlineTest, AConnectionRefusedIsReported)
{
    quint16 closedPort = 0;
    {
        SimProcess sim; // a port that was just free and is free again
        closedPort = sim.port;
    }
    startConsole(closedPort);
    click(control<QPushButton>("bbLogin"));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_EQ(prompts.errors[0],
              QStringLiteral("Connection Failed: could not connect to 127.0.0.1:%1: connection refused.\n"
                             "Check the host name and port of the site in SiTES, and that the daemon is running there.")
                  .arg(closedPort));
    const QString status = control<QPlainTextEdit>("StatusMemo")->toPlainText();
    EXPECT_TRUE(status.startsWith(QStringLiteral("Connection Failed: could not connect to 127.0.0.1:%1: connection "
                                                 "refused. Check the host name")
                                      .arg(closedPort)))
        << "what the box said stays on STATUS: " << status.toStdString();
    EXPECT_EQ(status.count('\n'), 0) << "on one line";
    EXPECT_EQ(panel(1), "OFFLINE");
    EXPECT_TRUE(control<QPushButton>("bbLogin")->isEnabled()) << "ready for the next try";
}

TEST_F(OnlineTest, AnErrorTheOperatorCanActOnSaysWhatToCheck)
{
    // A port no connection can use, as a hand-edited store may hold.
    startConsole(21, "quillon", [](SiteBook::Record& site) { site.port = "67657"; });
    click(control<QPushButton>("bbLogin"));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_EQ(prompts.errors[0], "The site's port 67657 is not a TCP port: a port is a number from 1 to 65535.\n"
                                 "Set the site's port in SiTES.");

    // A daemon that wants TLS from a site set up for clear text.
    SimProcess tls({"--tls", "--require-tls"});
    startConsole(tls.port);
    click(control<QPushButton>("bbLogin"));
    ASSERT_EQ(prompts.errors.size(), 2);
    EXPECT_TRUE(prompts.errors[1].startsWith("530 This site requires TLS: send AUTH TLS first.\nThe daemon wants TLS"))
        << prompts.errors[1].toStdString();

    // A daemon that stops answering: the wait ends at the site's time-out.
    SimProcess stalling({"--stall-on", "SITE WHO"});
    startConsole(stalling.port, "quillon", [](SiteBook::Record& site) { site.replyTimeout = 1; });
    click(control<QPushButton>("bbLogin"));
    clickTab(control<TInfoPage>("InfoSheet"));
    click(control<QPushButton>("bbWho"));
    ASSERT_EQ(prompts.errors.size(), 3);
    EXPECT_TRUE(prompts.errors[2].startsWith("No answer from the server in 1 second"));
    EXPECT_TRUE(prompts.errors[2].contains("\nCheck that the daemon is running and answering"))
        << prompts.errors[2].toStdString();
}

TEST_F(OnlineTest, ADaemonThatDropsTheConnectionMidReplyEndsTheWait)
{
    SimProcess sim({"--drop-on", "SITE WHO"});
    startConsole(sim.port);
    click(control<QPushButton>("bbLogin"));
    clickTab(control<TInfoPage>("InfoSheet"));
    click(control<QPushButton>("bbWho"));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_FALSE(session().connected());
    EXPECT_EQ(panel(1), "OFFLINE");
    EXPECT_TRUE(control<QPushButton>("bbLogin")->isEnabled()) << "a lost connection leaves LOGiN ready";
    EXPECT_FALSE(control<QPushButton>("bbLogOut")->isEnabled());
    click(control<QPushButton>("bbLogin"));
    EXPECT_EQ(panel(1), "ONLINE") << "and the console logs in again";
}

TEST_F(OnlineTest, NothingStartsWhileTheClientWaitsAndLogOutEndsTheWait)
{
    SimProcess sim({"--stall-on", "SITE WHO"});
    startConsole(sim.port);
    click(control<QPushButton>("bbLogin"));
    clickTab(control<TInfoPage>("InfoSheet"));
    control<QCheckBox>("NOOP")->setChecked(true);
    // The user dialogs live for one use; two of them are up, so that their handlers are in the gate's list too.
    const auto modify = control<TUserPage>("UserSheet")->makeUserForm();
    const auto add = control<TUserPage>("UserSheet")->makeNewUserForm();

    // Every button of the pages starts an operation, and the gate knows each one.
    QStringList gated;
    for (const TOperationGate::Entry& entry : form->operationGate().entries())
        gated << entry.name;
    for (const QPushButton* button : control<TPageControl>("PageControl1")->findChildren<QPushButton*>())
        EXPECT_TRUE(gated.contains(button->objectName())) << button->objectName().toStdString();

    qsizetype during = -1;
    QString awaited, logOutCaption;
    bool hourglass = false;
    // The stalled reply's first line is in: the client waits for the rest.
    auto replyStarted = [&] { return control<QPlainTextEdit>("InfoMemo")->toPlainText().contains("Who is on"); };
    duringTheWait(
        [&] {
            const qsizetype mark = sim.commands().size();
            // The operator sees what is awaited, the hourglass, and that LOGOUT now cancels.
            awaited = control<TStatusBar>("StatusBar1")->waitText();
            logOutCaption = control<QPushButton>("bbLogOut")->text();
            hourglass = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
            // Every handler the gate guards (the buttons, EXECUTE, LOGiN, the refresh of a tab click or a
            // double-click, the dialogs' senders) runs inside the wait, and so do the session's keep-alive ticks
            // (Timer1): none asks or sends.
            control<QComboBox>("CommandText")->setEditText(QStringLiteral("USERS"));
            control<QPushButton>("bbExecute")->setEnabled(true);
            for (const TOperationGate::Entry& entry : form->operationGate().entries())
                entry.run();
            clickTab(control<TUserPage>("UserSheet"));
            control<QTimer>("Timer1")->start(5);
            QTest::qWait(50);
            during = sim.commandsSince(mark).size();
            click(control<QPushButton>("bbLogOut")); // the way out of a daemon that stopped answering
        },
        replyStarted);
    click(control<QPushButton>("bbWho"));
    EXPECT_EQ(during, 0);
    EXPECT_EQ(awaited, "Waiting for SITE WHO...");
    EXPECT_EQ(logOutCaption, "CANCEL");
    EXPECT_TRUE(hourglass);
    EXPECT_EQ(control<TStatusBar>("StatusBar1")->waitText(), "") << "nothing is awaited once the wait has ended";
    EXPECT_EQ(control<QPushButton>("bbLogOut")->text(), "LOGOUT");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(prompts.confirms.isEmpty() && prompts.inputs.isEmpty() && prompts.notices.isEmpty());
    EXPECT_TRUE(prompts.errors.isEmpty())
        << "a cancel is the operator's choice, no error: " << prompts.errors.join('|').toStdString();
    EXPECT_TRUE(control<QPlainTextEdit>("StatusMemo")
                    ->toPlainText()
                    .split('\n')
                    .last()
                    .startsWith("Cancelled the wait for SITE WHO"));
    EXPECT_FALSE(session().busy());
    EXPECT_FALSE(session().connected()) << "no reply is left owed on the connection";
    EXPECT_TRUE(control<QPushButton>("bbLogin")->isEnabled());
}

TEST_F(OnlineTest, ClosingTheWindowDuringAWaitShutsDownCleanlyAndSavesTheSettings)
{
    SimProcess sim({"--stall-on", "SITE WHO"});
    startConsole(sim.port);
    control<QComboBox>("CommandText")->addItem(QStringLiteral("WHO"));
    click(control<QPushButton>("bbLogin"));
    clickTab(control<TInfoPage>("InfoSheet"));
    duringTheWait([&] { form->close(); },
                  [&] { return control<QPlainTextEdit>("InfoMemo")->toPlainText().contains("Who is on"); });
    click(control<QPushButton>("bbWho"));
    QTRY_VERIFY_WITH_TIMEOUT(!form->isVisible(), 15000);
    EXPECT_TRUE(prompts.errors.isEmpty())
        << "a closing console reports nothing: " << prompts.errors.join('\n').toStdString();
    EXPECT_FALSE(session().connected());
    TSettingsStore store(TSettingsStore::defaultPath());
    store.OpenKey("Drummock", false);
    EXPECT_EQ(store.ReadString("Custom Commands", "Command0", ""), "WHO");
    EXPECT_EQ(store.ReadInteger("Settings", "LastSite", -1), 0);
}

TEST_F(OnlineTest, TheSessionLogKeepsTheConversationWithPasswordsHidden)
{
    SimProcess sim;
    startConsole(sim.port);
    control<QAction>("mnuSessionLog")->trigger();
    ASSERT_TRUE(control<QAction>("mnuSessionLog")->isChecked());
    click(control<QPushButton>("bbLogin"));
    const QString path = session().log().path();
    EXPECT_TRUE(path.startsWith(qEnvironmentVariable("XDG_STATE_HOME") + "/kolvane/sessions/")) << path.toStdString();
    control<QComboBox>("CommandText")->setEditText(QStringLiteral("CHPASS newbie n3wpass"));
    control<QPushButton>("bbExecute")->setEnabled(true);
    click(control<QPushButton>("bbExecute"));
    EXPECT_TRUE(sim.commands().contains("SITE CHPASS newbie n3wpass")) << "the daemon receives the password";
    EXPECT_TRUE(control<QPlainTextEdit>("StatusMemo")->toPlainText().contains("SITE CHPASS newbie *****"));
    EXPECT_FALSE(control<QPlainTextEdit>("StatusMemo")->toPlainText().contains("n3wpass")) << "the box never shows it";
    click(control<QPushButton>("bbLogOut"));

    QFile log(path);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray bytes = log.readAll();
    const QString text = QString::fromUtf8(bytes);
    EXPECT_EQ(text.toUtf8(), bytes) << "the log is UTF-8 throughout";
    for (const char* line : {"- Log-in to 127.0.0.1:", "< 220 Quillon FTP server", "> USER siteop", "> PASS *****",
                             "< 230 User siteop logged in.", "> SITE CHPASS newbie *****", "> QUIT",
                             "- Disconnected: logged out (LOGOUT)"})
        EXPECT_TRUE(text.contains(line)) << line << "\n" << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("< 220-\u2554\u2550\u2550"))) << "the greeting's box as the boxes show it";
    EXPECT_FALSE(text.contains("PASS quillon") || text.contains("n3wpass")) << "no password in the log";
    EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} > USER",
                                   QRegularExpression::MultilineOption)
                    .match(text)
                    .hasMatch())
        << "each line with its time";
    EXPECT_EQ(log.permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup), 0);

    // A connection that ends in an error gives the error as the reason.
    SimProcess dropping({"--drop-on", "SITE WHO"});
    startConsole(dropping.port);
    control<QAction>("mnuSessionLog")->trigger();
    click(control<QPushButton>("bbLogin"));
    clickTab(control<TInfoPage>("InfoSheet"));
    click(control<QPushButton>("bbWho"));
    ASSERT_EQ(prompts.errors.size(), 1);
    QFile dropped(session().log().path());
    ASSERT_TRUE(dropped.open(QIODevice::ReadOnly));
    const QString droppedText = QString::fromUtf8(dropped.readAll());
    const QString reason =
        QRegularExpression(QStringLiteral("- Disconnected: (.+)$"), QRegularExpression::MultilineOption)
            .match(droppedText)
            .captured(1);
    EXPECT_TRUE(!reason.isEmpty() && prompts.errors[0].startsWith(reason))
        << droppedText.toStdString() << prompts.errors[0].toStdString();

    // Closing the console while logged in ends the log with that reason.
    click(control<QPushButton>("bbLogin"));
    const QString closedPath = session().log().path();
    form->close();
    QFile closed(closedPath);
    ASSERT_TRUE(closed.open(QIODevice::ReadOnly));
    const QString closedText = QString::fromUtf8(closed.readAll());
    EXPECT_TRUE(closedText.endsWith("- Disconnected: the console was closed\n")) << closedText.toStdString();
}

TEST_F(OnlineTest, ASessionLogThatCannotBeWrittenIsSaidOnceAndTheLogInsGoOn)
{
    SimProcess sim;
    // A file stands where the log's folder would go.
    QTemporaryDir dir;
    QFile blocker(dir.filePath("state"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QByteArray before = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", dir.filePath("state").toLocal8Bit());
    startConsole(sim.port);
    control<QAction>("mnuSessionLog")->trigger();
    for (int i = 0; i < 3; ++i) {
        click(control<QPushButton>("bbLogin"));
        EXPECT_TRUE(session().connected()) << prompts.errors.join('\n').toStdString();
        click(control<QPushButton>("bbLogOut"));
    }
    QTest::qWait(50); // the notice comes once the handler is over
    qputenv("XDG_STATE_HOME", before);
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    ASSERT_EQ(prompts.notices.size(), 1) << prompts.notices.join('\n').toStdString();
    EXPECT_TRUE(prompts.notices[0].startsWith("The session log's folder " + dir.filePath("state")))
        << prompts.notices[0].toStdString();
    EXPECT_EQ(sim.commands().count("QUIT"), 3);
}

TEST_F(OnlineTest, StayOnlineSendsNoopOnEachTick)
{
    SimProcess sim;
    startConsole(sim.port);
    click(control<QCheckBox>("NOOP"));
    EXPECT_TRUE(control<QTimer>("Timer1")->isActive()) << "the switch works logged in or not";
    control<QTimer>("Timer1")->setInterval(20); // a minute in the real console
    QTest::qWait(60);
    EXPECT_TRUE(sim.commands().isEmpty()) << "ticks while offline send nothing";
    click(control<QPushButton>("bbLogin"));
    QTRY_VERIFY_WITH_TIMEOUT(sim.commands().count("NOOP") >= 2, 5000);
    click(control<QCheckBox>("NOOP"));
    EXPECT_FALSE(control<QTimer>("Timer1")->isActive());
    const qsizetype mark = sim.commands().size();
    QTest::qWait(80);
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
}

} // namespace
