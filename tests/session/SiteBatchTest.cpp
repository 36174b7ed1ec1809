// A plan run on many sites at once, each on a thread of its own, against scripted peers: each outcome kind in its
// own words without holding up the others; sites folding by outcome and reply, largest first; replies bounded in
// time and size with what came kept; a cancel that keeps what came; waves and a stop past a share of failures; a
// script in one log-in; sessions kept between rounds, a NOOP keeping them open; and a run that outgrows its
// descriptors reporting every site.

#include "session/SiteBatch.h"
#include "FtpTestSupport.h"
#include "session/BatchFold.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTcpServer>
#include <QThread>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

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

void serveLogIn(PeerSession& c)
{
    c.send("220 ready\r\n");
    c.expect("USER op");
    c.send("331 Password required\r\n");
    c.expect("PASS pw");
    c.send("230 Logged in\r\n");
}

ScriptPeer::Script answering(std::string reply, std::string command = "SITE WHO")
{
    return [reply, command](PeerSession& c) {
        serveLogIn(c);
        c.expect(command);
        c.send(reply);
        c.expect("QUIT");
        c.send("221 bye\r\n");
    };
}

bool connectionOpen(PeerSession& c)
{
    return c.control().socket().state() == QAbstractSocket::ConnectedState;
}

bool runToEnd(TSiteBatch& batch, int timeoutMs)
{
    bool ended = false;
    // The connection ends with this call: a later round's end never writes into a frame that has returned.
    QObject receiver;
    QObject::connect(&batch, &TSiteBatch::finished, &receiver, [&] { ended = true; });
    batch.start();
    return pumpUntil([&] { return ended; }, timeoutMs);
}

} // namespace

TEST(SiteBatch, EachOutcomeInItsOwnWordsFoldedLargestFirst)
{
    const std::string who = "200- op is on\r\n200 1 user\r\n";
    ScriptPeer alpha(answering(who)), beta(answering(who)), gamma(answering("200 nobody is on\r\n"));
    ScriptPeer refusing(answering("550 SITE WHO is not allowed\r\n"));
    ScriptPeer wrongPassword([](PeerSession& c) {
        c.send("220 ready\r\n");
        c.expect("USER op");
        c.send("331 Password required\r\n");
        c.expect("PASS pw");
        c.send("530 Login incorrect.\r\n");
    });
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
    // A site set to TLS if offered whose server refuses AUTH TLS: no log-in name and no password in clear text.
    ScriptPeer downgrading([](PeerSession& c) {
        c.send("220 ready\r\n");
        c.expect("AUTH TLS");
        c.send("500 AUTH not understood\r\n");
        if (!c.waitClosed() || !c.control().pending().empty())
            c.peer.fail("the client went on in clear text");
    });
    SiteBook::Record secure = siteAt(unpinned.port());
    secure.security = TFtpSecurity::ExplicitRequired;
    SiteBook::Record ifOffered = siteAt(downgrading.port());
    ifOffered.security = TFtpSecurity::ExplicitIfOffered;
    // A site with no password is never sent an empty one: it fails before it connects (here, to a closed port).
    SiteBook::Record noPassword = siteAt(closedPort());
    noPassword.password.clear();
    SiteBook::Record locked = siteAt(closedPort());
    locked.passwordProblem = "The password of the site locked is sealed with the site book's master password";
    std::vector<BatchSite> sites{{"alpha", siteAt(alpha.port())},
                                 {"beta", siteAt(beta.port())},
                                 {"gamma", siteAt(gamma.port())},
                                 {"refusing", siteAt(refusing.port())},
                                 {"wrong", siteAt(wrongPassword.port())},
                                 {"silent", siteAt(silent.port(), 1)},
                                 {"unpinned", secure},
                                 {"downgrading", ifOffered},
                                 {"gone", siteAt(closedPort())},
                                 {"nopassword", noPassword},
                                 {"locked", locked}};
    TSiteBatch batch(sites, "WHO", 16);
    std::vector<std::string> seen;
    std::vector<int> ended;
    QObject::connect(&batch, &TSiteBatch::siteChanged, [&](int i) {
        seen.push_back(batch.outcomes()[std::size_t(i)].site + ":" + stepWord(batch.outcomes()[std::size_t(i)].step));
    });
    QObject::connect(&batch, &TSiteBatch::siteEnded, [&](int i) { ended.push_back(i); });
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(runToEnd(batch, 15000));
    // The silent site's second of waiting is not added to anyone else's.
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(ended.size(), sites.size());

    const auto& out = batch.outcomes();
    auto outcome = [&](std::size_t i) { return std::string(outcomeWord(out[i].outcome)); };
    EXPECT_TRUE(out[0].ok());
    EXPECT_EQ(out[0].lines(), (Lines{"200- op is on", "200 1 user"}));
    EXPECT_EQ(outcome(3), "refused");
    EXPECT_EQ(out[3].step, SiteOutcome::Step::Done); // the daemon's refusal is its answer
    EXPECT_EQ(out[3].code(), 550);
    EXPECT_EQ(outcome(4), "log-in refused");
    EXPECT_EQ(outcome(5), "time-out");
    EXPECT_EQ(outcome(6), "certificate");
    EXPECT_EQ(outcome(7), "TLS refused");
    EXPECT_NE(out[7].failure.message.find("no log-in name or password is sent in clear text"), std::string::npos)
        << out[7].failure.message;
    EXPECT_EQ(outcome(8), "unreachable");
    EXPECT_EQ(outcome(9), "log-in refused");
    EXPECT_NE(out[9].failure.message.find("an empty password is never sent"), std::string::npos);
    EXPECT_EQ(outcome(10), "log-in refused");
    EXPECT_NE(out[10].failure.message.find("master password"), std::string::npos);
    for (const char* site : {"alpha", "silent", "gone"}) {
        EXPECT_NE(std::find(seen.begin(), seen.end(), std::string(site) + ":logging in"), seen.end()) << site;
    }
    EXPECT_EQ(std::find(seen.begin(), seen.end(), "nopassword:logging in"), seen.end());

    // Alike replies fold; a refusal never folds with a success; the largest group comes first.
    const std::vector<ReplyGroup> groups = BatchFold::fold(out, false);
    ASSERT_EQ(groups.size(), 10u);
    EXPECT_EQ(groups[0].members, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(groups[1].members, (std::vector<std::size_t>{2}));
    EXPECT_EQ(groups[4].outcome, Outcome::TimedOut);
    EXPECT_EQ(groups[4].lines[0].rfind("time-out: ", 0), 0u) << groups[4].lines[0];
    EXPECT_EQ(BatchFold::recapLine(BatchFold::recap(out)),
              "3 ok, 1 refused, 3 log-in refused, 1 unreachable, 1 time-out, 1 certificate, 1 TLS refused");
    for (const ScriptPeer* peer : {&alpha, &beta, &gamma, &refusing, &wrongPassword, &unpinned, &downgrading})
        EXPECT_EQ(peer->failure(), "");
}

TEST(SiteBatch, ClearTextOnlyWhenAllowedAndSaidSo)
{
    ScriptPeer plainOnly([](PeerSession& c) {
        c.send("220 ready\r\n");
        c.expect("AUTH TLS");
        c.send("500 AUTH not understood\r\n");
        c.expect("USER op");
        c.send("331 Password required\r\n");
        c.expect("PASS pw");
        c.send("230 Logged in\r\n");
        c.expect("SITE WHO");
        c.send("200 nobody\r\n");
        c.expect("QUIT");
        c.send("221 bye\r\n");
    });
    SiteBook::Record site = siteAt(plainOnly.port());
    site.security = TFtpSecurity::ExplicitIfOffered;
    BatchPlan plan = BatchPlan::command("WHO");
    plan.allowClearText = true;
    TSiteBatch batch({{"plain", site}}, plan);
    ASSERT_TRUE(runToEnd(batch, 10000));
    EXPECT_TRUE(batch.outcomes()[0].ok());
    EXPECT_NE(batch.outcomes()[0].note.find("clear text"), std::string::npos);
    EXPECT_EQ(plainOnly.failure(), "");
}

TEST(SiteBatch, RepliesAreBoundedInTimeAndSizeAndKeepWhatCame)
{
    // One line every 200 ms, never the last: the wait between bytes is short, the reply's whole time is not.
    ScriptPeer trickling([](PeerSession& c) {
        serveLogIn(c);
        c.expect("SITE WHO");
        for (int i = 0; i < 20 && connectionOpen(c); ++i) {
            c.send("200-still here\r\n");
            QThread::msleep(200);
        }
    });
    // An endless reply, as fast as the connection takes it.
    ScriptPeer flooding([](PeerSession& c) {
        serveLogIn(c);
        c.expect("SITE WHO");
        std::string chunk;
        for (int i = 0; i < 1000; ++i)
            chunk += "200- more\r\n";
        for (int i = 0; i < 100 && connectionOpen(c); ++i)
            c.send(chunk);
    });
    ScriptPeer fine(answering("200 nobody is on\r\n"));
    TSiteBatch batch({{"trickling", siteAt(trickling.port(), 1)},
                      {"flooding", siteAt(flooding.port())},
                      {"fine", siteAt(fine.port())}},
                     "WHO");
    batch.maxReplyLines = 1000;
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(runToEnd(batch, 15000));
    EXPECT_LT(clock.elapsed(), 4000);
    const auto& out = batch.outcomes();
    EXPECT_EQ(out[0].outcome, Outcome::TimedOut);
    EXPECT_NE(out[0].failure.message.find("No whole answer from the server in 1 seconds"), std::string::npos)
        << out[0].failure.message;
    ASSERT_GE(out[0].lines().size(), 3u); // the lines that came before the time-out are kept
    EXPECT_EQ(out[0].lines().front(), "200-still here");
    EXPECT_EQ(out[1].outcome, Outcome::Error);
    EXPECT_NE(out[1].failure.message.find("more than 1000 lines"), std::string::npos) << out[1].failure.message;
    EXPECT_LE(out[1].lines().size(), 1000u);
    EXPECT_TRUE(out[2].ok());
}

TEST(SiteBatch, CancelKeepsWhatCameAndStopsThoseNotBegun)
{
    ScriptPeer first([](PeerSession& c) {
        serveLogIn(c);
        c.expect("SITE WHO");
        c.send("200- one\r\n200- two\r\n");
        c.waitClosed();
    });
    ScriptPeer second([](PeerSession& c) { c.waitClosed(); });
    std::vector<BatchSite> sites{{"first", siteAt(first.port(), 60)},
                                 {"second", siteAt(second.port(), 60)},
                                 {"third", siteAt(second.port(), 60)}};
    TSiteBatch batch(sites, "WHO", 2); // the third waits for a free place
    Later cancel(500, [&] { batch.cancel(); });
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(runToEnd(batch, 10000));
    EXPECT_LT(clock.elapsed(), 3000);
    for (const SiteOutcome& outcome : batch.outcomes()) {
        EXPECT_EQ(outcome.outcome, Outcome::Cancelled) << outcome.site;
        EXPECT_EQ(outcome.step, SiteOutcome::Step::Failed) << outcome.site;
    }
    EXPECT_EQ(batch.outcomes()[0].lines(), (Lines{"200- one", "200- two"}));
}

TEST(SiteBatch, WavesStopPastTheShareOfFailures)
{
    ScriptPeer one(answering("200 ok\r\n"));
    QTcpServer untouched; // the sites left out must never connect
    ASSERT_TRUE(untouched.listen(QHostAddress::LocalHost));
    std::vector<BatchSite> sites{{"one", siteAt(one.port())},
                                 {"two", siteAt(closedPort())},
                                 {"three", siteAt(untouched.serverPort())},
                                 {"four", siteAt(closedPort())},
                                 {"five", siteAt(untouched.serverPort())}};
    TSiteBatch batch(sites, "WHO", 8);
    batch.serial = 1;
    batch.maxFailPercent = 40; // 1 of 2 is too many; so is 2 of 4
    ASSERT_TRUE(runToEnd(batch, 10000));
    const auto& out = batch.outcomes();
    EXPECT_TRUE(out[0].ok());
    EXPECT_EQ(out[1].outcome, Outcome::Unreachable);
    for (std::size_t i : {2u, 3u, 4u}) {
        EXPECT_EQ(out[i].outcome, Outcome::NotRun) << out[i].site;
        EXPECT_NE(out[i].failure.message.find("more than 40%"), std::string::npos) << out[i].failure.message;
    }
    EXPECT_EQ(batch.stopReason(), "1 of the 2 sites run so far did not end ok, more than 40%: no more sites were "
                                  "started");
    EXPECT_FALSE(untouched.waitForNewConnection(100));
    EXPECT_EQ(one.failure(), "");
}

TEST(SiteBatch, AScriptGoesInOneLogInAndStopsAtItsFirstFailure)
{
    ScriptPeer both([](PeerSession& c) {
        serveLogIn(c);
        c.expect("SITE WHO");
        c.send("200 nobody\r\n");
        c.expect("SITE USERS");
        c.send("200 op\r\n");
        c.expect("QUIT");
        c.send("221 bye\r\n");
    });
    ScriptPeer stops([](PeerSession& c) {
        serveLogIn(c);
        c.expect("SITE WHO");
        c.send("550 no\r\n");
        c.expect("QUIT");
        c.send("221 bye\r\n");
    });
    ScriptPeer goesOn([](PeerSession& c) {
        serveLogIn(c);
        c.expect("SITE WHO");
        c.send("550 no\r\n");
        c.expect("SITE USERS");
        c.send("200 op\r\n");
        c.expect("QUIT");
        c.send("221 bye\r\n");
    });
    BatchPlan plan;
    plan.lines = BatchPlanning::scriptLines("# who is on, then who there is\r\nWHO\n\n   USERS  \n");
    ASSERT_EQ(plan.lines, (Lines{"WHO", "USERS"}));
    TSiteBatch batch({{"both", siteAt(both.port())}, {"stops", siteAt(stops.port())}}, plan);
    ASSERT_TRUE(runToEnd(batch, 10000));
    const auto& out = batch.outcomes();
    EXPECT_TRUE(out[0].ok());
    ASSERT_EQ(out[0].replies.size(), 2u);
    EXPECT_EQ(out[0].replies[1].lines, Lines{"200 op"});
    EXPECT_EQ(out[1].outcome, Outcome::Refused);
    ASSERT_EQ(out[1].replies.size(), 2u);
    EXPECT_EQ(out[1].replies[1].outcome, Outcome::NotRun);
    EXPECT_EQ(BatchFold::transcript(out[1], true), (Lines{"> WHO", "550 no", "> USERS", "(not run)"}));

    plan.keepGoing = true;
    TSiteBatch keepGoing({{"goesOn", siteAt(goesOn.port())}}, plan);
    ASSERT_TRUE(runToEnd(keepGoing, 10000));
    EXPECT_EQ(keepGoing.outcomes()[0].outcome, Outcome::Refused);
    EXPECT_EQ(keepGoing.outcomes()[0].replies[1].outcome, Outcome::Ok);
    for (const ScriptPeer* peer : {&both, &stops, &goesOn})
        EXPECT_EQ(peer->failure(), "");
}

TEST(SiteBatch, SessionsStayLoggedInBetweenRoundsKeptAliveByANoop)
{
    ScriptPeer once([](PeerSession& c) {
        serveLogIn(c);
        c.expect("SITE WHO");
        c.send("200 first\r\n");
        c.expect("NOOP"); // after a second of quiet between the rounds
        c.send("200 NOOP ok\r\n");
        c.expect("SITE WHO");
        c.send("200 second\r\n");
        c.expect("QUIT");
        c.send("221 bye\r\n");
    });
    BatchPlan plan = BatchPlan::command("WHO");
    plan.stayLoggedIn = true;
    plan.keepAliveSeconds = 1;
    {
        TSiteBatch rounds({{"once", siteAt(once.port())}}, plan);
        ASSERT_TRUE(runToEnd(rounds, 10000));
        EXPECT_EQ(rounds.outcomes()[0].lines(), Lines{"200 first"});
        ASSERT_TRUE(pumpUntil(
            [&] {
                const std::vector<std::string> received = once.received();
                return std::find(received.begin(), received.end(), "NOOP\r\n") != received.end();
            },
            5000));
        // The round may begin while the NOOP still waits for its answer: it waits its turn on the connection.
        ASSERT_TRUE(runToEnd(rounds, 10000));
        EXPECT_EQ(rounds.outcomes()[0].lines(), Lines{"200 second"});
        EXPECT_FALSE(rounds.outcomes()[0].loggedInAgain);
    } // and the session logs out as the batch goes
    EXPECT_EQ(once.failure(), "");
}

TEST(SiteBatch, ARunPastItsDescriptorsReportsEverySite)
{
    // The system's limit on open descriptors, lowered to what this process holds now and a few more, and all but a
    // handful of those taken too: a thread's event dispatcher or a site's socket that cannot be had must fail that
    // site, never the program.
    rlimit was{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &was), 0);
    int open = 0;
    for (int fd = 0; fd < 4096; ++fd)
        open = (::fcntl(fd, F_GETFD) != -1) ? fd + 1 : open;
    std::vector<BatchSite> sites;
    for (int i = 0; i < 40; ++i)
        sites.push_back({"site" + std::to_string(i), siteAt(closedPort())});
    TSiteBatch batch(sites, "WHO", 16);
    bool ended = false;
    QObject::connect(&batch, &TSiteBatch::finished, [&] { ended = true; });
    rlimit low = was;
    low.rlim_cur = rlim_t(open + 12);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> taken;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;)
        taken.push_back(fd);
    for (int i = 0; i < 3 && !taken.empty(); ++i) {
        ::close(taken.back());
        taken.pop_back();
    }
    batch.start();
    pumpUntil([&] { return ended; }, 15000);
    for (const int fd : taken)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &was);
    ASSERT_TRUE(ended);
    int withoutDescriptor = 0;
    for (const SiteOutcome& outcome : batch.outcomes()) {
        EXPECT_TRUE(outcome.ended()) << outcome.site;
        EXPECT_TRUE(outcome.outcome == Outcome::Unreachable || outcome.outcome == Outcome::Error)
            << outcome.site << ": " << outcomeWord(outcome.outcome);
        withoutDescriptor += outcome.failure.message.find("descriptor") != std::string::npos ||
                             outcome.failure.message.find("Too many open files") != std::string::npos;
    }
    EXPECT_GT(withoutDescriptor, 0);
}

TEST(SiteBatch, DifferencesAreUnifiedDiffsAndOnlyReadingVerbsGoWithoutAsking)
{
    Lines from;
    for (char c = 'a'; c <= 'p'; ++c)
        from.push_back(std::string("200- ") + c);
    Lines to = from;
    to[1] = "200- B";
    to.insert(to.begin() + 14, "200- new");
    EXPECT_EQ(BatchFold::unifiedDiff(from, to, "3 sites: a, b, c", "odd"),
              (Lines{"--- 3 sites: a, b, c", "+++ odd", "@@ -1,5 +1,5 @@", " 200- a", "-200- b", "+200- B", " 200- c",
                     " 200- d", " 200- e", "@@ -12,5 +12,6 @@", " 200- l", " 200- m", " 200- n", "+200- new", " 200- o",
                     " 200- p"}));
    EXPECT_EQ(BatchFold::unifiedDiff({"x"}, {}, "a", "b"), (Lines{"--- a", "+++ b", "@@ -1 +0,0 @@", "-x"}));
    EXPECT_TRUE(BatchFold::unifiedDiff(from, from, "a", "b").empty());

    for (const char* reading : {"WHO", "who", "  USERS siteop", "HELP", "WEEKTOP"})
        EXPECT_FALSE(changesDaemonState(reading)) << reading;
    for (const char* changing : {"ADDUSER bob pw", "NUKE /x 3 bad", "KILL 12", "CHPASS bob x", "wipe"})
        EXPECT_TRUE(changesDaemonState(changing)) << changing;
}
