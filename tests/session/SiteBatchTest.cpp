// One command on many sites at once, each on a thread of its own, against scripted peers: sites that answer alike
// fold into one group; a refused connection, a silent daemon, an unpinned certificate and a refusal by the daemon
// each fail or answer in their own words without holding up the others; a cancel stops every site.

#include "session/SiteBatch.h"
#include "FtpTestSupport.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTcpServer>

namespace {

SiteBook::Record siteAt(quint16 port, int replyTimeout = 5)
{
    SiteBook::Record site;
    site.host = "127.0.0.1";
    site.port = std::to_string(port);
    site.login = "op";
    site.password = "pw";
    site.replyTimeout = replyTimeout;
    return site;
}

ScriptPeer::Script answering(std::string reply)
{
    return [reply](PeerSession& c) {
        c.send("220 ready\r\n");
        c.expect("USER op");
        c.send("331 Password required\r\n");
        c.expect("PASS pw");
        c.send("230 Logged in\r\n");
        c.expect("SITE WHO");
        c.send(reply);
        c.expect("QUIT");
        c.send("221 bye\r\n");
    };
}

bool runToEnd(TSiteBatch& batch, int timeoutMs)
{
    bool ended = false;
    QObject::connect(&batch, &TSiteBatch::finished, [&] { ended = true; });
    batch.start();
    return pumpUntil([&] { return ended; }, timeoutMs);
}

} // namespace

TEST(SiteBatch, SitesRunAtOnceFailInTheirOwnWordsAndFold)
{
    const std::string who = "200- op is on\r\n200 1 user\r\n";
    ScriptPeer alpha(answering(who)), beta(answering(who)), gamma(answering("200 nobody is on\r\n"));
    ScriptPeer refusing(answering("550 SITE WHO is not allowed\r\n"));
    ScriptPeer silent([](PeerSession& c) { c.waitClosed(); });
    const TestCertificate selfSigned = TestCertificate::make("kolvane self-signed", {"127.0.0.1"});
    PeerTlsServer tls(selfSigned);
    ScriptPeer unpinned([&](PeerSession& c) {
        c.send("220 ready\r\n");
        c.expect("AUTH TLS");
        c.send("234 go ahead\r\n");
        if (c.startTls(tls) && (!c.waitClosed() || !c.control().pending().empty()))
            c.peer.fail("the client went on after the certificate");
    });
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    SiteBook::Record secure = siteAt(unpinned.port());
    secure.security = TFtpSecurity::ExplicitRequired;
    std::vector<BatchSite> sites{{"alpha", siteAt(alpha.port())},      {"beta", siteAt(beta.port())},
                                 {"gamma", siteAt(gamma.port())},      {"refusing", siteAt(refusing.port())},
                                 {"silent", siteAt(silent.port(), 1)}, {"unpinned", secure},
                                 {"gone", siteAt(closedPort)}};
    TSiteBatch batch(sites, "WHO", 8);
    std::vector<std::string> seen;
    QObject::connect(&batch, &TSiteBatch::siteChanged, [&](int i) {
        seen.push_back(batch.outcomes()[std::size_t(i)].site + ":" + stepWord(batch.outcomes()[std::size_t(i)].step));
    });
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(runToEnd(batch, 15000));
    // The silent site's second of waiting is not added to anyone else's.
    EXPECT_LT(clock.elapsed(), 5000);

    const auto& out = batch.outcomes();
    EXPECT_TRUE(out[0].ok());
    EXPECT_EQ(out[0].lines, (Lines{"200- op is on", "200 1 user"}));
    EXPECT_EQ(out[3].step, SiteOutcome::Step::Done); // the daemon's refusal is its answer
    EXPECT_FALSE(out[3].ok());
    EXPECT_EQ(out[3].code, 550);
    EXPECT_EQ(out[4].failure.kind, FailureKind::TimedOut);
    EXPECT_EQ(out[5].failure.kind, FailureKind::Certificate);
    EXPECT_EQ(out[6].failure.kind, FailureKind::Refused);
    for (const char* site : {"alpha", "silent", "gone"}) {
        EXPECT_NE(std::find(seen.begin(), seen.end(), std::string(site) + ":logging in"), seen.end()) << site;
    }

    const std::vector<ReplyGroup> groups = foldOutcomes(out);
    ASSERT_EQ(groups.size(), 6u);
    EXPECT_EQ(groups[0].members, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(groups[1].members, (std::vector<std::size_t>{2}));
    EXPECT_TRUE(groups[3].failed);
    EXPECT_EQ(groups[3].lines[0].rfind("time-out: ", 0), 0u) << groups[3].lines[0];
    for (const ScriptPeer* peer : {&alpha, &beta, &gamma, &refusing, &unpinned})
        EXPECT_EQ(peer->failure(), "");
}

TEST(SiteBatch, CancelStopsSitesUnderWayAndThoseNotBegun)
{
    ScriptPeer first([](PeerSession&c) { c.waitClosed(); }), second([](PeerSession&c) { c.waitClosed(); });
    std::vector<BatchSite> sites{{"first", siteAt(first.port(), 60)},
                                 {"second", siteAt(second.port(), 60)},
                                 {"third", siteAt(second.port(), 60)}};
    TSiteBatch batch(sites, "WHO", 2); // the third waits for a free place
    Later cancel(300, [&] { batch.cancel(); });
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(runToEnd(batch, 10000));
    EXPECT_LT(clock.elapsed(), 5000);
    for (const SiteOutcome& outcome : batch.outcomes()) {
        EXPECT_EQ(outcome.step, SiteOutcome::Step::Failed) << outcome.site;
        EXPECT_EQ(outcome.failure.kind, FailureKind::Cancelled) << outcome.site;
    }
}

TEST(SiteBatch, OnlyReadingVerbsGoWithoutAsking)
{
    for (const char* reading : {"WHO", "who", "  USERS siteop", "HELP", "WEEKTOP"})
        EXPECT_FALSE(changesDaemonState(reading)) << reading;
    for (const char* changing : {"ADDUSER bob pw", "NUKE /x 3 bad", "KILL 12", "CHPASS bob x", "wipe"})
        EXPECT_TRUE(changesDaemonState(changing)) << changing;
}
