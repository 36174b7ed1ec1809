// What the window says of its session: LOGiN is never usable beside an open session, another site is reached only
// by leaving this one (asked first), a log-in to another site starts from clean pages, a connection lost while idle
// is said on STATUS with its reason and time, a failed log-in no longer claims to be connecting, CANCEL leaves no
// reply owed, and a site set to reconnect comes back after a drop.

#include "ConsoleFixture.h"
#include "ftp/ScriptPeer.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTcpServer>

#include <atomic>

namespace {

void choose(QComboBox* box, const QString& site)
{
    box->setCurrentIndex(box->findText(site));
    emit box->activated(box->currentIndex());
}

} // namespace

TEST_F(ConsoleTest, AnotherSiteIsReachedOnlyByLeavingThisOneAndStartsFromCleanPages)
{
    SimProcess first, second;
    startConsole(first.port);
    addSite(form->store(), "other", second.port);
    form->SiteFormClosed("sim"); // the box lists the book as it is now
    click(form->bbLogin);
    ASSERT_TRUE(form->NMFTP1->Connected);
    EXPECT_FALSE(form->bbLogin->isEnabled());
    clickTab(form->InfoSheet);
    click(control<QPushButton>("bbWho"));
    ASSERT_FALSE(form->InfoSheet->InfoMemo->toPlainText().isEmpty());

    // The operator keeps the session: the box names its site again, and LOGiN stays off.
    prompts.confirmAnswers = {false};
    choose(form->SiteName, "other");
    ASSERT_EQ(prompts.confirms.size(), 1);
    EXPECT_EQ(prompts.confirms[0], "Log out of sim and log in to other?");
    EXPECT_EQ(form->SiteName->currentText(), "sim");
    EXPECT_TRUE(form->NMFTP1->Connected);
    EXPECT_FALSE(form->bbLogin->isEnabled());
    form->SiteFormClosed("sim"); // SiTES and EXiT while online
    EXPECT_FALSE(form->bbLogin->isEnabled());

    // Both: out of the first daemon, into the second, and nothing of the first site's left on the pages.
    const qsizetype before = second.commands().size();
    prompts.confirmAnswers = {true};
    choose(form->SiteName, "other");
    ASSERT_TRUE(form->NMFTP1->Connected) << prompts.errors.join('\n').toStdString();
    EXPECT_TRUE(first.commands().contains("QUIT"));
    EXPECT_GT(second.commands().size(), before);
    EXPECT_TRUE(form->InfoSheet->InfoMemo->toPlainText().isEmpty());
    EXPECT_FALSE(form->bbLogin->isEnabled());
    EXPECT_EQ(panel(1), "ONLINE");
}

TEST_F(ConsoleTest, ALostConnectionAndAFailedLogInSayWhatHappened)
{
    ScriptPeer peer([](PeerSession& c) {
        c.send("220 ready\r\n");
        c.expect("USER siteop");
        c.send("331 Password required\r\n");
        c.expect("PASS quillon");
        c.send("230 Logged in\r\n");
        if (c.peer.waitFor("drop"))
            c.close();
    });
    startConsole(peer.port());
    click(form->bbLogin);
    ASSERT_TRUE(form->NMFTP1->Connected);
    clickTab(form->InfoSheet); // the loss is said on STATUS whatever page shows
    peer.signal("drop");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->NMFTP1->Connected; }, 5000));
    const QStringList status = form->StatusMemo->toPlainText().split('\n');
    EXPECT_TRUE(QRegularExpression("^Connection lost: .+ \\(\\d\\d:\\d\\d:\\d\\d\\)$").match(status.last()).hasMatch())
        << status.last().toStdString();
    EXPECT_TRUE(form->bbLogin->isEnabled());

    // A log-in that fails ends its "Connecting to ..." at once.
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    addSite(form->store(), "gone", closedPort);
    form->SiteFormClosed("gone");
    click(form->bbLogin);
    EXPECT_EQ(prompts.errors.size(), 1) << prompts.errors.join("\n").toStdString();
    EXPECT_EQ(panel(3), "Not connected to gone");
    EXPECT_TRUE(form->bbLogin->isEnabled());
}

namespace {

// A log-in as quillon-sim answers it, for scripted peers.
void logIn(PeerSession& c)
{
    c.send("220 ready\r\n");
    c.expect("USER siteop");
    c.send("331 Password required\r\n");
    c.expect("PASS quillon");
    c.send("230 Logged in\r\n");
}

} // namespace

// CANCEL ends the wait without an error box and closes the connection, so the daemon's late answer can never be
// taken for the next command's: after logging in again, PING gets PING's reply.
TEST_F(ConsoleTest, CancelEndsTheWaitAndNoLateReplyPassesForTheNextCommand)
{
    std::atomic<int> sessions{0};
    ScriptPeer peer(
        [&](PeerSession& c) {
            logIn(c);
            if (sessions++ == 0) {
                c.expect("SITE WHO");
                if (!c.waitClosed())
                    c.peer.fail("the cancelled session stayed open");
                return;
            }
            c.expect("SITE PING");
            c.send("200 PONG\r\n");
        },
        2);
    startConsole(peer.port());
    click(form->bbLogin);
    ASSERT_TRUE(form->NMFTP1->Connected);
    clickTab(form->InfoSheet);
    duringTheWait([&] { click(form->bbLogOut); });
    click(form->findChild<QPushButton*>(QStringLiteral("bbWho")));

    EXPECT_TRUE(prompts.errors.isEmpty()) << "a cancel is no error: " << prompts.errors.join('\n').toStdString();
    const QString last = form->StatusMemo->toPlainText().split('\n').last();
    EXPECT_TRUE(QRegularExpression("^Cancelled the wait for SITE WHO: the connection to sim is closed.* "
                                   "\\(\\d\\d:\\d\\d:\\d\\d\\)$")
                    .match(last)
                    .hasMatch())
        << last.toStdString();
    EXPECT_FALSE(form->NMFTP1->Connected);
    EXPECT_TRUE(form->bbLogin->isEnabled());
    EXPECT_EQ(form->bbLogOut->text(), "LOGOUT");

    click(form->bbLogin);
    ASSERT_TRUE(form->NMFTP1->Connected) << prompts.errors.join('\n').toStdString();
    form->CommandText->setEditText(QStringLiteral("PING"));
    emit form->CommandText->lineEdit()->textEdited(QStringLiteral("PING"));
    click(form->bbExecute);
    EXPECT_TRUE(form->StatusMemo->toPlainText().contains("200 PONG"));
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
    EXPECT_EQ(peer.failure(), "");
}

// A site set to reconnect logs in again after a drop while idle, counting down on panel 3, with STAY ONLiNE as it
// was; CANCEL stops a countdown and leaves the console offline and ready.
TEST_F(ConsoleTest, ADropWhileIdleReconnectsAndCancelStopsTheCountdown)
{
    std::atomic<int> sessions{0};
    ScriptPeer peer(
        [&](PeerSession& c) {
            logIn(c);
            const int n = ++sessions;
            if (c.peer.waitFor(n == 1 ? "drop" : "drop again"))
                c.close();
        },
        2);
    startConsole(peer.port(), "quillon", [](SiteBook::Record& site) { site.reconnect = true; });
    click(form->NOOP);
    click(form->bbLogin);
    ASSERT_TRUE(form->NMFTP1->Connected);

    peer.signal("drop");
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel(3).startsWith("Reconnecting to sim in"); }, 5000));
    EXPECT_EQ(panel(3), "Reconnecting to sim in 1 s (1 of 10)");
    EXPECT_EQ(form->bbLogOut->text(), "CANCEL");
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->NMFTP1->Connected; }, 5000));
    EXPECT_TRUE(form->StatusMemo->toPlainText().contains(QRegularExpression("Reconnected to sim \\(")));
    EXPECT_TRUE(form->NOOP->isChecked());
    EXPECT_TRUE(form->Timer1->isActive()) << "STAY ONLiNE comes back";
    EXPECT_FALSE(form->bbLogin->isEnabled());
    EXPECT_EQ(form->bbLogOut->text(), "LOGOUT");

    peer.signal("drop again");
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel(3).startsWith("Reconnecting to sim in"); }, 5000));
    click(form->bbLogOut);
    EXPECT_EQ(panel(3), "Not connected to sim");
    EXPECT_TRUE(form->StatusMemo->toPlainText().split('\n').last().startsWith("Reconnecting to sim stopped (CANCEL)"));
    EXPECT_TRUE(form->bbLogin->isEnabled());
    EXPECT_EQ(form->bbLogOut->text(), "LOGOUT");
    QTest::qWait(1500); // the countdown is over: no third log-in comes
    EXPECT_FALSE(form->NMFTP1->Connected);
    EXPECT_TRUE(prompts.errors.isEmpty()) << prompts.errors.join('\n').toStdString();
}

// A passive-mode answer the console cannot read fails the listing naming it, and panel 3 stops claiming to gather.
TEST_F(ConsoleTest, AnUnreadablePassiveAnswerIsNamedAndPanelThreeTellsTheTruth)
{
    ScriptPeer peer([](PeerSession& c) {
        logIn(c);
        for (std::string line = c.readLine(); !line.empty(); line = c.readLine()) {
            if (line.rfind("EPSV", 0) == 0) {
                c.send("229 Entering Extended Passive Mode (garbage)\r\n");
                return;
            }
            c.send("200 ok\r\n");
        }
    });
    startConsole(peer.port(), "quillon", [](SiteBook::Record& site) { site.dataMode = TDataMode::Passive; });
    click(form->bbLogin);
    ASSERT_TRUE(form->NMFTP1->Connected);
    clickTab(form->FileSheet);
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("The daemon's answer to EPSV could not be read: 229 Entering Extended "
                                             "Passive Mode (garbage)"))
        << prompts.errors[0].toStdString();
    EXPECT_EQ(panel(3), "Directory listing failed");
}
