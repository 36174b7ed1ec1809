// What the window says of its session: LOGiN is never usable beside an open session, another site is reached only
// by leaving this one (asked first), a log-in to another site starts from clean pages, a connection lost while idle
// is said on STATUS with its reason and time, and a failed log-in no longer claims to be connecting.

#include "ConsoleFixture.h"
#include "ftp/ScriptPeer.h"

#include <QPlainTextEdit>
#include <QTcpServer>

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
