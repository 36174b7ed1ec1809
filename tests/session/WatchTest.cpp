// Watching sites against a scripted peer: rounds on one log-in that stays open, each site's text marked against
// the round before, a connection that drops between rounds or under a command and is logged in to again at the next
// round, the log-out at the end; and the lines a watch refuses.

#include "FtpTestSupport.h"
#include "session/BatchWatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>

namespace {

using Mark = LineChange::Mark;

SiteBook::Record siteAt(quint16 port)
{
    SiteBook::Record site;
    site.host = "127.0.0.1";
    site.port = std::to_string(port);
    site.login = "op";
    site.password = "pw";
    site.replyTimeout = 5;
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

std::vector<Mark> marks(const std::vector<LineChange>& changes)
{
    std::vector<Mark> out;
    for (const LineChange& change : changes)
        out.push_back(change.mark);
    return out;
}

// Rounds five times as fast as an operator may ask for: 5 "seconds" of 40 ms.
class FastSeconds {
public:
    FastSeconds() { qputenv("KOLVANE_WATCH_SECOND_MS", "40"); }
    ~FastSeconds() { qunsetenv("KOLVANE_WATCH_SECOND_MS"); }
};

} // namespace

TEST(Watch, RoundsMarkWhatChangedAndASiteThatDropsIsLoggedInAgain)
{
    FastSeconds fast;
    // The first connection answers two rounds and is closed by the daemon between rounds; the second answers one
    // and is cut under the next command; the third answers the last round and is logged out.
    auto connection = std::make_shared<std::atomic<int>>(0);
    ScriptPeer peer(
        [connection](PeerSession& c) {
            const int n = ++*connection;
            serveLogIn(c);
            if (n == 1) {
                c.expect("SITE WHO");
                c.send("200- a\r\n200 1 user\r\n");
                c.expect("SITE WHO");
                c.send("200- a\r\n200- b\r\n200 2 users\r\n");
                c.peer.waitFor("drop");
                c.close();
            } else if (n == 2) {
                c.expect("SITE WHO");
                c.send("200- b\r\n200 1 user\r\n");
                c.expect("SITE WHO");
                c.close();
            } else {
                c.expect("SITE WHO");
                c.send("200- b\r\n200 1 user\r\n");
                c.expect("QUIT");
                c.send("221 bye\r\n");
            }
        },
        3);
    TSiteBatch batch({{"site", siteAt(peer.port())}}, BatchWatching::watchPlan(BatchPlan::command("WHO"), 60));
    TBatchWatch watch(batch, 5);
    watch.maxRounds = 5;
    std::vector<SiteOutcome> rounds;
    std::vector<std::vector<LineChange>> changes;
    std::vector<bool> changed;
    QObject::connect(&watch, &TBatchWatch::roundEnded, [&](int round) {
        rounds.push_back(batch.outcomes()[0]);
        changes.push_back(watch.changes(0));
        changed.push_back(watch.changed(0));
        if (round == 2)
            peer.signal("drop"); // the daemon closes the connection while the session sits between rounds
    });
    bool ended = false;
    QObject::connect(&watch, &TBatchWatch::finished, [&] { ended = true; });
    watch.start();
    ASSERT_TRUE(pumpUntil([&] { return ended; }, 15000));
    ASSERT_EQ(rounds.size(), 5u);

    // The first round has nothing to differ from; the second marks what came and went where it stood, the lines that
    // went before those that took their place.
    EXPECT_TRUE(rounds[0].ok());
    EXPECT_FALSE(changed[0]);
    EXPECT_EQ(marks(changes[0]), (std::vector<Mark>{Mark::Added, Mark::Added}));
    EXPECT_TRUE(changed[1]);
    EXPECT_EQ(changes[1], (std::vector<LineChange>{{Mark::Same, "200- a"},
                                                   {Mark::Removed, "200 1 user"},
                                                   {Mark::Added, "200- b"},
                                                   {Mark::Added, "200 2 users"}}));
    EXPECT_FALSE(rounds[1].loggedInAgain);
    // Dropped between rounds: the next round logs in again and says so.
    EXPECT_TRUE(rounds[2].ok());
    EXPECT_TRUE(rounds[2].loggedInAgain);
    EXPECT_NE(rounds[2].note.find("The connection dropped after the last round"), std::string::npos) << rounds[2].note;
    // Cut under the command: the round says the site was lost, with what went; the next one logs in again.
    EXPECT_EQ(rounds[3].outcome, Outcome::Error);
    EXPECT_EQ(rounds[3].failure.kind, FailureKind::Lost) << rounds[3].failure.message;
    EXPECT_TRUE(changed[3]);
    EXPECT_EQ(BatchFold::countMarked(changes[3], Mark::Removed), 2u);
    EXPECT_TRUE(rounds[4].ok());
    EXPECT_TRUE(rounds[4].loggedInAgain);
    EXPECT_TRUE(changed[4]);
    EXPECT_EQ(rounds[4].lines(), (Lines{"200- b", "200 1 user"}));
    // Three log-ins for five rounds, each connection used until it ended, and the last one logged out.
    EXPECT_EQ(peer.failure(), "");
    const std::vector<std::string> received = peer.received();
    EXPECT_EQ(std::count(received.begin(), received.end(), "USER op\r\n"), 3);
    EXPECT_EQ(std::count(received.begin(), received.end(), "QUIT\r\n"), 1);
}

TEST(Watch, RefusesEveryChangingLineAndHidesItsPassword)
{
    EXPECT_FALSE(BatchWatching::refusal({"WHO", "users", "USER siteop"}));
    const std::optional<std::string> why = BatchWatching::refusal({"WHO", "ADDUSER bob Friends s3cret"});
    ASSERT_TRUE(why);
    EXPECT_EQ(why->rfind("SITE ADDUSER bob Friends ***** changes the daemon's state, and a watch repeats only the "
                         "commands that read it: ",
                         0),
              0u)
        << *why;
    EXPECT_EQ(why->find("s3cret"), std::string::npos);
    EXPECT_TRUE(BatchWatching::refusal({"wipe"}));
}
