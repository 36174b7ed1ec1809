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
    addSite(store(), "other", second.port);
    emit control<TSiteForm>("SiteForm")->closed(QStringLiteral("sim")); // the box lists the book as it is now
    click(control<QPushButton>("bbLogin"));
    ASSERT_TRUE(session().connected());
    EXPECT_FALSE(control<QPushButton>("bbLogin")->isEnabled());
    clickTab(control<TInfoPage>("InfoSheet"));
    click(control<QPushButton>("bbWho"));
    ASSERT_FALSE(control<QPlainTextEdit>("InfoMemo")->toPlainText().isEmpty());

    // The operator keeps the session: the box names its site again, and LOGiN stays off.
    prompts.confirmAnswers = {false};
    choose(control<QComboBox>("SiteName"), "other");
    ASSERT_EQ(prompts.confirms.size(), 1);
    EXPECT_EQ(prompts.confirms[0], "Log out of sim and log in to other?");
    EXPECT_EQ(control<QComboBox>("SiteName")->currentText(), "sim");
    EXPECT_TRUE(session().connected());
    EXPECT_FALSE(control<QPushButton>("bbLogin")->isEnabled());
    emit control<TSiteForm>("SiteForm")->closed(QStringLiteral("sim")); // SiTES and EXiT while online
    EXPECT_FALSE(control<QPushButton>("bbLogin")->isEnabled());

    // Both: out of the first daemon, into the second, and nothing of the first site's left on the pages.
    const qsizetype before = second.commands().size();
    prompts.confirmAnswers = {true};
    choose(control<QComboBox>("SiteName"), "other");
    ASSERT_TRUE(session().connected()) << prompts.errors.join('\n').toStdString();
    EXPECT_TRUE(first.commands().contains("QUIT"));
    EXPECT_GT(second.commands().size(), before);
    EXPECT_TRUE(control<QPlainTextEdit>("InfoMemo")->toPlainText().isEmpty());
    EXPECT_FALSE(control<QPushButton>("bbLogin")->isEnabled());
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
    click(control<QPushButton>("bbLogin"));
    ASSERT_TRUE(session().connected());
    clickTab(control<TInfoPage>("InfoSheet")); // the loss is said on STATUS whatever page shows
    peer.signal("drop");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !session().connected(); }, 5000));
    const QStringList status = control<QPlainTextEdit>("StatusMemo")->toPlainText().split('\n');
    EXPECT_TRUE(QRegularExpression("^Connection lost: .+ \\(\\d\\d:\\d\\d:\\d\\d\\)$").match(status.last()).hasMatch())
        << status.last().toStdString();
    EXPECT_TRUE(control<QPushButton>("bbLogin")->isEnabled());

    // A log-in that fails ends its "Connecting to ..." at once.
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    addSite(store(), "gone", closedPort);
    emit control<TSiteForm>("SiteForm")->closed(QStringLiteral("gone"));
    click(control<QPushButton>("bbLogin"));
    EXPECT_EQ(prompts.errors.size(), 1) << prompts.errors.join("\n").toStdString();
    EXPECT_EQ(panel(3), "Not connected to gone");
    EXPECT_TRUE(control<QPushButton>("bbLogin")->isEnabled());
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
    click(control<QPushButton>("bbLogin"));
    ASSERT_TRUE(session().connected());
    clickTab(control<TInfoPage>("InfoSheet"));
    duringTheWait([&] { click(control<QPushButton>("bbLogOut")); });
    click(form->findChild<QPushButton*>(QStringLiteral("bbWho")));

    EXPECT_TRUE(prompts.errors.isEmpty()) << "a cancel is no error: " << prompts.errors.join('\n').toStdString();
    const QString last = control<QPlainTextEdit>("StatusMemo")->toPlainText().split('\n').last();
    EXPECT_TRUE(QRegularExpression("^Cancelled the wait for SITE WHO: the connection to sim is closed.* "
                                   "\\(\\d\\d:\\d\\d:\\d\\d\\)$")
                    .match(last)
                    .hasMatch())
        << last.toStdString();
    EXPECT_FALSE(session().connected());
    EXPECT_TRUE(control<QPushButton>("bbLogin")->isEnabled());
    EXPECT_EQ(control<QPushButton>("bbLogOut")->text(), "LOGOUT");

    click(control<QPushButton>("bbLogin"));
    ASSERT_TRUE(session().connected()) << prompts.errors.join('\n').toStdString();
    control<QComboBox>("CommandText")->setEditText(QStringLiteral("PING"));
    emit control<QComboBox>("CommandText")->lineEdit()->textEdited(QStringLiteral("PING"));
    click(control<QPushButton>("bbExecute"));
    EXPECT_TRUE(control<QPlainTextEdit>("StatusMemo")->toPlainText().contains("200 PONG"));
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
    click(control<QCheckBox>("NOOP"));
    click(control<QPushButton>("bbLogin"));
    ASSERT_TRUE(session().connected());

    peer.signal("drop");
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel(3).startsWith("Reconnecting to sim in"); }, 5000));
    EXPECT_EQ(panel(3), "Reconnecting to sim in 1 s (1 of 10)");
    EXPECT_EQ(control<QPushButton>("bbLogOut")->text(), "CANCEL");
    ASSERT_TRUE(QTest::qWaitFor([&] { return session().connected(); }, 5000));
    EXPECT_TRUE(
        control<QPlainTextEdit>("StatusMemo")->toPlainText().contains(QRegularExpression("Reconnected to sim \\(")));
    EXPECT_TRUE(control<QCheckBox>("NOOP")->isChecked());
    EXPECT_TRUE(control<QTimer>("Timer1")->isActive()) << "STAY ONLiNE comes back";
    EXPECT_FALSE(control<QPushButton>("bbLogin")->isEnabled());
    EXPECT_EQ(control<QPushButton>("bbLogOut")->text(), "LOGOUT");

    peer.signal("drop again");
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel(3).startsWith("Reconnecting to sim in"); }, 5000));
    click(control<QPushButton>("bbLogOut"));
    EXPECT_EQ(panel(3), "Not connected to sim");
    EXPECT_TRUE(control<QPlainTextEdit>("StatusMemo")
                    ->toPlainText()
                    .split('\n')
                    .last()
                    .startsWith("Reconnecting to sim stopped (CANCEL)"));
    EXPECT_TRUE(control<QPushButton>("bbLogin")->isEnabled());
    EXPECT_EQ(control<QPushButton>("bbLogOut")->text(), "LOGOUT");
    QTest::qWait(1500); // the countdown is over: no third log-in comes
    EXPECT_FALSE(session().connected());
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
    click(control<QPushButton>("bbLogin"));
    ASSERT_TRUE(session().connected());
    clickTab(control<TFilePage>("FileSheet"));
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].startsWith("The daemon's answer to EPSV could not be read: 229 Entering Extended "
                                             "Passive Mode (garbage)"))
        << prompts.errors[0].toStdString();
    EXPECT_EQ(panel(3), "Directory listing failed");
}
