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
    form->PageControl1->setCurrentWidget(form->InfoSheet);
    click(form->bbLogin);
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(form->PageControl1->currentWidget(), form->StatusSheet);
    const QString status = form->StatusMemo->toPlainText();
    EXPECT_TRUE(status.startsWith("220-Welcome to the Quillon site.")) << status.toStdString();
    EXPECT_TRUE(status.contains("USER siteop\n331 Password required for siteop.\nPASS\n230 User siteop logged in."))
        << status.toStdString();
    EXPECT_FALSE(status.contains("quillon\n")) << "the password is never shown";
    EXPECT_EQ(panel(1), "ONLINE");
    EXPECT_EQ(panel(3), "");
    EXPECT_EQ(ApplicationTitle(), "sim ADMiN by Drummock");
    EXPECT_FALSE(form->bbLogin->isEnabled());
    EXPECT_TRUE(form->bbLogOut->isEnabled());
    EXPECT_EQ(sim.commands(), QStringList({"USER siteop", "PASS ****"}));

    click(form->bbLogOut);
    EXPECT_EQ(sim.commands().last(), "QUIT");
    EXPECT_EQ(panel(1), "OFFLINE");
    EXPECT_TRUE(form->bbLogin->isEnabled());
    EXPECT_FALSE(form->bbLogOut->isEnabled());
    EXPECT_EQ(ApplicationTitle(), "sim ADMiN by Drummock") << "the title stays";
}

TEST_F(OnlineTest, PagesFetchTheirDataOncePerLogIn)
{
    SimProcess sim;
    startConsole(sim.port);
    click(form->bbLogin);

    // First visit to USER MAiNT: users then groups, both drop-downs filled.
    qsizetype mark = sim.commands().size();
    clickTab(form->UserSheet);
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE USERS", "SITE GROUPS"}));
    EXPECT_EQ(panel(3), "Done...");
    EXPECT_GT(form->UserSheet->UserList->count(), 10);
    EXPECT_GE(form->UserSheet->UserList->findText("siteop"), 0);
    EXPECT_EQ(form->UserSheet->UserList->findText(""), -1) << "the totals line adds no name";
    for (int i = 1; i < form->UserSheet->UserList->count(); ++i)
        EXPECT_LE(form->UserSheet->UserList->itemText(i - 1), form->UserSheet->UserList->itemText(i))
            << "the user box is sorted";
    EXPECT_GE(form->GroupSheet->GroupList->findText("Admin"), 0);
    EXPECT_EQ(form->GroupSheet->GroupList->count(), form->GroupNames.size());
    EXPECT_EQ(form->GroupCount, form->GroupNames.size());
    const QString memo = form->UserSheet->UserMemo->toPlainText();
    EXPECT_TRUE(memo.contains("Totals:"));
    EXPECT_FALSE(memo.contains("SITE GROUPS"));
    EXPECT_FALSE(memo.contains("Available Groups"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();

    // GROUP MAiNT then sends nothing, nor does a second visit or a double-click on the user box.
    mark = sim.commands().size();
    clickTab(form->GroupSheet);
    clickTab(form->UserSheet);
    QTest::mouseDClick(form->UserSheet->UserMemo->viewport(), Qt::LeftButton);
    EXPECT_EQ(sim.commandsSince(mark), QStringList());

    // Logged out and in again, GROUP MAiNT first fetches only the groups, USER MAiNT then only the users.
    click(form->bbLogOut);
    EXPECT_EQ(form->UserSheet->UserList->count(), 0);
    EXPECT_TRUE(form->GroupNames.isEmpty());
    click(form->bbLogin);
    mark = sim.commands().size();
    clickTab(form->GroupSheet);
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE GROUPS"}));
    clickTab(form->UserSheet);
    EXPECT_EQ(sim.commandsSince(mark), QStringList({"SITE GROUPS", "SITE USERS"}));
}

TEST_F(OnlineTest, TabsStayPutWhileOfflineAndTypingWantsALogIn)
{
    SimProcess sim;
    startConsole(sim.port);
    clickTab(form->UserSheet);
    EXPECT_EQ(form->PageControl1->currentWidget(), form->StatusSheet);
    EXPECT_TRUE(sim.commands().isEmpty());

    form->CommandText->setFocus();
    QTest::keyClicks(form->CommandText, QStringLiteral("W"));
    EXPECT_EQ(prompts.notices, QStringList({"Login first you moron!"}));
    EXPECT_EQ(form->CommandText->currentText(), "");
    EXPECT_FALSE(form->bbExecute->isEnabled());
}

TEST_F(OnlineTest, ExecuteSendsTheCustomCommandAndKeepsItsHistory)
{
    SimProcess sim;
    startConsole(sim.port);
    click(form->bbLogin);
    form->PageControl1->setCurrentWidget(form->InfoSheet);
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
        form->CommandText->setFocus();
        typeInWindow(QStringLiteral("WHO"));
        ASSERT_TRUE(form->bbExecute->isEnabled());
        ASSERT_TRUE(form->CommandText->completer()->popup()->isVisible()) << "WHO is a command the list knows";
        const qsizetype sent = sim.commands().size();
        clickInWindow(form->bbExecute); // the first click executes, though the list was open
        EXPECT_TRUE(QTest::qWaitFor([&] { return sim.commands().size() > sent; }, 5000)) << "nothing was sent";
        EXPECT_EQ(sim.commands().last(), "SITE WHO");
        EXPECT_FALSE(form->CommandText->completer()->popup()->isVisible());
        EXPECT_EQ(form->PageControl1->currentWidget(), form->StatusSheet);
        EXPECT_EQ(form->CommandText->count(), 1) << "a command sent twice in a row is kept once";
        EXPECT_EQ(form->CommandText->currentText(), "");
        EXPECT_FALSE(form->bbExecute->isEnabled());
    }
    EXPECT_TRUE(form->StatusMemo->toPlainText().contains("logins on Quillon."));
    EXPECT_EQ(panel(3), "Done...") << "the WHO reply closes with 221";

    // Enter executes as EXECUTE does; Up recalls the newest command first, Down walks back to the empty line.
    typeInWindow(QStringLiteral("NEW 3"));
    QTest::keyClick(window, Qt::Key_Return);
    EXPECT_EQ(sim.commands().last(), "SITE NEW 3");
    QTest::keyClick(window, Qt::Key_Up);
    EXPECT_EQ(form->CommandText->currentText(), "NEW 3");
    QTest::keyClick(window, Qt::Key_Up);
    EXPECT_EQ(form->CommandText->currentText(), "WHO");
    QTest::keyClick(window, Qt::Key_Down);
    EXPECT_EQ(form->CommandText->currentText(), "NEW 3");
    EXPECT_TRUE(form->bbExecute->isEnabled()) << "a recalled command can be sent again";
    QTest::keyClick(window, Qt::Key_Down);
    EXPECT_EQ(form->CommandText->currentText(), "");
    EXPECT_TRUE(
        form->CommandText->completer()
            ->model()
            ->match(form->CommandText->completer()->model()->index(0, 0), Qt::DisplayRole, QStringLiteral("WEEKTOP"))
            .size() == 1)
        << "the first word completes from the SITE commands";

    // A refused command stays in the box and out of the history.
    QTest::keyClicks(form->CommandText, QStringLiteral("NOSUCHWORD"));
    click(form->bbExecute);
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("500")) << prompts.errors[0].toStdString();
    EXPECT_EQ(form->CommandText->currentText(), "NOSUCHWORD");
    EXPECT_EQ(form->CommandText->count(), 2);

    click(form->bbLogOut);
    EXPECT_FALSE(form->bbExecute->isEnabled()) << "nothing to execute on while offline";
}

TEST_F(OnlineTest, InfoButtonsClearTheBoxAndAskWhereTheyMust)
{
    SimProcess sim;
    startConsole(sim.port);
    click(form->bbLogin);
    clickTab(form->InfoSheet);
    form->InfoSheet->InfoMemo->setPlainText(QStringLiteral("old text"));

    const qsizetype mark = sim.commands().size();
    click(control<QPushButton>("bbWeekTop"));
    EXPECT_FALSE(form->InfoSheet->InfoMemo->toPlainText().contains("old text"));
    EXPECT_TRUE(form->InfoSheet->InfoMemo->toPlainText().startsWith("SITE WEEKTOP"));

    form->InfoSheet->InfoMemo->setPlainText(QStringLiteral("kept"));
    prompts.inputAnswers = {QString()}; // Cancel
    click(control<QPushButton>("bbLastNukes"));
    EXPECT_EQ(form->InfoSheet->InfoMemo->toPlainText(), "kept");
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
    EXPECT_TRUE(form->InfoSheet->InfoMemo->toPlainText().startsWith("SITE KILL 99999"))
        << "the box stays cleared but for the reply";
}

TEST_F(OnlineTest, TheTreeListsThreeLevelsDeep)
{
    SimProcess sim;
    startConsole(sim.port);
    click(form->bbLogin);
    qsizetype mark = sim.commands().size();
    clickTab(form->FileSheet);
    EXPECT_EQ(sim.commandsSince(mark).filter(QRegularExpression("^(SYST|LIST)$")), QStringList({"SYST", "LIST"}));
    EXPECT_EQ(panel(3), "Done...");
    const QAbstractItemModel* tree = form->FileSheet->TreeView1->model();
    const QModelIndex archive = child({}, "archive");
    ASSERT_TRUE(archive.isValid());
    EXPECT_EQ(TFilePage::nodeKind(archive), 0);
    EXPECT_TRUE(form->FileSheet->FileMemo->toPlainText().contains(QRegularExpression("Received \\d+ Bytes")));

    doubleClick(archive);
    EXPECT_EQ(TFilePage::nodeKind(archive), 1);
    EXPECT_TRUE(form->FileSheet->TreeView1->isExpanded(archive));
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
    clickTab(form->StatusSheet);
    clickTab(form->FileSheet);
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
}

TEST_F(OnlineTest, ARefusedLogInLeavesLogInReadyForTheNextTry)
{
    SimProcess sim;
    startConsole(sim.port, "wrong password");
    click(form->bbLogin);
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_EQ(prompts.errors[0], "530 Login incorrect.\nCheck the log-in name and password of the site in SiTES.");
    EXPECT_TRUE(form->bbLogin->isEnabled());
    EXPECT_FALSE(form->bbLogOut->isEnabled());
    EXPECT_EQ(panel(3), "Not connected to sim"); // the attempt is over: the panel no longer says it is connecting
    EXPECT_EQ(panel(1), "OFFLINE");
    EXPECT_TRUE(form->StatusMemo->toPlainText().endsWith("Disconnected"));
}

TEST_F(OnlineTest, AConnectionRefusedIsReported)
{
    quint16 closedPort = 0;
    {
        SimProcess sim; // a port that was just free and is free again
        closedPort = sim.port;
    }
    startConsole(closedPort);
    click(form->bbLogin);
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_EQ(prompts.errors[0],
              QStringLiteral("Connection Failed: could not connect to 127.0.0.1:%1: connection refused.\n"
                             "Check the host name and port of the site in SiTES, and that the daemon is running there.")
                  .arg(closedPort));
    EXPECT_EQ(panel(1), "OFFLINE");
    EXPECT_TRUE(form->bbLogin->isEnabled()) << "ready for the next try";
}

TEST_F(OnlineTest, AnErrorTheOperatorCanActOnSaysWhatToCheck)
{
    // A port no connection can use, as a hand-edited store may hold.
    startConsole(21, "quillon", [](SiteBook::Record& site) { site.port = "67657"; });
    click(form->bbLogin);
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_EQ(prompts.errors[0], "The site's port 67657 is not a TCP port: a port is a number from 1 to 65535.\n"
                                 "Set the site's port in SiTES.");

    // A daemon that wants TLS from a site set up for clear text.
    SimProcess tls({"--tls", "--require-tls"});
    startConsole(tls.port);
    click(form->bbLogin);
    ASSERT_EQ(prompts.errors.size(), 2);
    EXPECT_TRUE(prompts.errors[1].startsWith("530 This site requires TLS: send AUTH TLS first.\nThe daemon wants TLS"))
        << prompts.errors[1].toStdString();

    // A daemon that stops answering: the wait ends at the site's time-out.
    SimProcess stalling({"--stall-on", "SITE WHO"});
    startConsole(stalling.port, "quillon", [](SiteBook::Record& site) { site.replyTimeout = 1; });
    click(form->bbLogin);
    clickTab(form->InfoSheet);
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
    click(form->bbLogin);
    clickTab(form->InfoSheet);
    click(control<QPushButton>("bbWho"));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_FALSE(form->NMFTP1->Connected);
    EXPECT_EQ(panel(1), "OFFLINE");
    EXPECT_TRUE(form->bbLogin->isEnabled()) << "a lost connection leaves LOGiN ready";
    EXPECT_FALSE(form->bbLogOut->isEnabled());
    click(form->bbLogin);
    EXPECT_EQ(panel(1), "ONLINE") << "and the console logs in again";
}

TEST_F(OnlineTest, NothingStartsWhileTheClientWaitsAndLogOutEndsTheWait)
{
    SimProcess sim({"--stall-on", "SITE WHO"});
    startConsole(sim.port);
    click(form->bbLogin);
    clickTab(form->InfoSheet);
    form->NOOP->setChecked(true);
    // The user dialogs live for one use; two of them are up, so that their handlers are in the gate's list too.
    const auto modify = form->UserSheet->makeUserForm();
    const auto add = form->UserSheet->makeNewUserForm();

    // Every button of the pages starts an operation, and the gate knows each one.
    QStringList gated;
    for (const TOperationGate::Entry& entry : form->OperationGate.entries())
        gated << entry.name;
    for (const QPushButton* button : form->PageControl1->findChildren<QPushButton*>())
        EXPECT_TRUE(gated.contains(button->objectName())) << button->objectName().toStdString();

    qsizetype during = -1;
    QString awaited, logOutCaption;
    bool hourglass = false;
    // The stalled reply's first line is in: the client waits for the rest.
    auto replyStarted = [&] { return form->InfoSheet->InfoMemo->toPlainText().contains("Who is on"); };
    duringTheWait(
        [&] {
            const qsizetype mark = sim.commands().size();
            // The operator sees what is awaited, the hourglass, and that LOGOUT now cancels.
            awaited = form->StatusBar1->waitText();
            logOutCaption = form->bbLogOut->text();
            hourglass = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
            // Every handler the gate guards (the buttons, EXECUTE, LOGiN, the refresh of a tab click or a
            // double-click, the keep-alive tick, the dialogs' senders) runs inside the wait: none asks or sends.
            form->CommandText->setEditText(QStringLiteral("USERS"));
            form->bbExecute->setEnabled(true);
            for (const TOperationGate::Entry& entry : form->OperationGate.entries())
                entry.run();
            clickTab(form->UserSheet);
            QTest::qWait(50);
            during = sim.commandsSince(mark).size();
            click(form->bbLogOut); // the way out of a daemon that stopped answering
        },
        replyStarted);
    click(control<QPushButton>("bbWho"));
    EXPECT_EQ(during, 0);
    EXPECT_EQ(awaited, "Waiting for SITE WHO...");
    EXPECT_EQ(logOutCaption, "CANCEL");
    EXPECT_TRUE(hourglass);
    EXPECT_EQ(form->StatusBar1->waitText(), "") << "nothing is awaited once the wait has ended";
    EXPECT_EQ(form->bbLogOut->text(), "LOGOUT");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(prompts.confirms.isEmpty() && prompts.inputs.isEmpty() && prompts.notices.isEmpty());
    EXPECT_TRUE(prompts.errors.isEmpty())
        << "a cancel is the operator's choice, no error: " << prompts.errors.join('|').toStdString();
    EXPECT_TRUE(form->StatusMemo->toPlainText().split('\n').last().startsWith("Cancelled the wait for SITE WHO"));
    EXPECT_FALSE(form->clientBusy());
    EXPECT_FALSE(form->NMFTP1->Connected) << "no reply is left owed on the connection";
    EXPECT_TRUE(form->bbLogin->isEnabled());
}

TEST_F(OnlineTest, ClosingTheWindowDuringAWaitShutsDownCleanlyAndSavesTheSettings)
{
    SimProcess sim({"--stall-on", "SITE WHO"});
    startConsole(sim.port);
    form->CommandText->addItem(QStringLiteral("WHO"));
    click(form->bbLogin);
    clickTab(form->InfoSheet);
    duringTheWait([&] { form->close(); },
                  [&] { return form->InfoSheet->InfoMemo->toPlainText().contains("Who is on"); });
    click(control<QPushButton>("bbWho"));
    QTRY_VERIFY_WITH_TIMEOUT(!form->isVisible(), 15000);
    EXPECT_TRUE(prompts.errors.isEmpty())
        << "a closing console reports nothing: " << prompts.errors.join('\n').toStdString();
    EXPECT_FALSE(form->NMFTP1->Connected);
    TSettingsStore store(TSettingsStore::defaultPath());
    store.OpenKey("Drummock", false);
    EXPECT_EQ(store.ReadString("Custom Commands", "Command0", ""), "WHO");
    EXPECT_EQ(store.ReadInteger("Settings", "LastSite", -1), 0);
}

TEST_F(OnlineTest, TheSessionLogKeepsTheConversationWithPasswordsHidden)
{
    SimProcess sim;
    startConsole(sim.port);
    form->mnuSessionLog->trigger();
    ASSERT_TRUE(form->mnuSessionLog->isChecked());
    click(form->bbLogin);
    const QString path = form->sessionLog().path();
    EXPECT_TRUE(path.startsWith(qEnvironmentVariable("XDG_STATE_HOME") + "/kolvane/sessions/")) << path.toStdString();
    form->CommandText->setEditText(QStringLiteral("CHPASS newbie n3wpass"));
    form->bbExecute->setEnabled(true);
    click(form->bbExecute);
    EXPECT_TRUE(sim.commands().contains("SITE CHPASS newbie n3wpass")) << "the daemon receives the password";
    EXPECT_TRUE(form->StatusMemo->toPlainText().contains("SITE CHPASS newbie *****"));
    EXPECT_FALSE(form->StatusMemo->toPlainText().contains("n3wpass")) << "the box never shows it";
    click(form->bbLogOut);

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
    form->mnuSessionLog->trigger();
    click(form->bbLogin);
    clickTab(form->InfoSheet);
    click(control<QPushButton>("bbWho"));
    ASSERT_EQ(prompts.errors.size(), 1);
    QFile dropped(form->sessionLog().path());
    ASSERT_TRUE(dropped.open(QIODevice::ReadOnly));
    const QString droppedText = QString::fromUtf8(dropped.readAll());
    const QString reason =
        QRegularExpression(QStringLiteral("- Disconnected: (.+)$"), QRegularExpression::MultilineOption)
            .match(droppedText)
            .captured(1);
    EXPECT_TRUE(!reason.isEmpty() && prompts.errors[0].startsWith(reason))
        << droppedText.toStdString() << prompts.errors[0].toStdString();

    // Closing the console while logged in ends the log with that reason.
    click(form->bbLogin);
    const QString closedPath = form->sessionLog().path();
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
    form->mnuSessionLog->trigger();
    for (int i = 0; i < 3; ++i) {
        click(form->bbLogin);
        EXPECT_TRUE(form->NMFTP1->Connected) << prompts.errors.join('\n').toStdString();
        click(form->bbLogOut);
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
    click(form->NOOP);
    EXPECT_TRUE(form->Timer1->isActive()) << "the switch works logged in or not";
    form->Timer1->setInterval(20); // a minute in the real console
    QTest::qWait(60);
    EXPECT_TRUE(sim.commands().isEmpty()) << "ticks while offline send nothing";
    click(form->bbLogin);
    QTRY_VERIFY_WITH_TIMEOUT(sim.commands().count("NOOP") >= 2, 5000);
    click(form->NOOP);
    EXPECT_FALSE(form->Timer1->isActive());
    const qsizetype mark = sim.commands().size();
    QTest::qWait(80);
    EXPECT_EQ(sim.commandsSince(mark), QStringList());
}

} // namespace
