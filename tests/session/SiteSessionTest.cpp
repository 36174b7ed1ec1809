// One site's session without a window, against scripted peers: its states through a log-in, commands and a
// log-out; the reply lines a command returns; the kind of each failure; a connection lost while idle, and the
// reconnect that follows it.

#include "session/SiteSession.h"
#include "FtpTestSupport.h"

#include <gtest/gtest.h>

#include <QTcpServer>

#include <atomic>

namespace {

using State = TSiteSession::State;

SiteBook::Record siteAt(quint16 port)
{
    SiteBook::Record site;
    site.host = "127.0.0.1";
    site.port = std::to_string(port);
    site.login = "bob";
    site.password = "s3cret";
    site.replyTimeout = 5;
    return site;
}

void servePasswordLogin(PeerSession& c)
{
    c.send("220 ready\r\n");
    c.expect("USER bob");
    c.send("331 Password required\r\n");
    c.expect("PASS s3cret");
    c.send("230 Logged in\r\n");
}

struct StateLog {
    explicit StateLog(TSiteSession& session)
    {
        QObject::connect(&session, &TSiteSession::stateChanged, [this](State s) { states.push_back(s); });
    }
    std::vector<State> states;
};

class Judge : public TCertificateJudge {
public:
    explicit Judge(TrustAnswer answer) : answer_(answer) {}
    TrustAnswer judge(const std::string&, const std::string&, const TCertificateInfo& info) override
    {
        asked.push_back(info.sha256Fingerprint);
        return answer_;
    }
    std::vector<std::string> asked;

private:
    TrustAnswer answer_;
};

} // namespace

TEST(SiteSession, StatesReplyLinesAndLogOut)
{
    ScriptPeer peer([](PeerSession& c) {
        servePasswordLogin(c);
        c.expect("SITE WHO");
        c.send("200- siteop is on\r\n200 1 user\r\n");
        c.expect("SITE NUKE nothing");
        c.send("550 No such release\r\n");
        c.expect("QUIT");
        c.send("221 bye\r\n");
    });
    TSiteSession session;
    StateLog log(session);
    session.setSite("home", siteAt(peer.port()));
    auto dog = watchdog(session.client());
    session.logIn();
    EXPECT_EQ(session.state(), State::Online);
    EXPECT_EQ(session.command("SITE WHO"), (Lines{"200- siteop is on", "200 1 user"}));
    EXPECT_EQ(failureOf<FTPException>([&] { session.command("SITE NUKE nothing"); }), "550 No such release\r\n");
    EXPECT_EQ(session.lastFailure().kind, FailureKind::DaemonReply);
    EXPECT_EQ(session.lastFailure().replyCode, 550);
    EXPECT_EQ(session.state(), State::Online);
    session.logOut();
    EXPECT_EQ(log.states, (std::vector<State>{State::Connecting, State::Online, State::Waiting, State::Online,
                                              State::Waiting, State::Online, State::Closing, State::Offline}));
    EXPECT_EQ(peer.failure(), "");
}

TEST(SiteSession, EveryFailureCarriesItsKind)
{
    // Nothing listens on a port that was just given back.
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    {
        TSiteSession session;
        session.setSite("refused", siteAt(closedPort));
        EXPECT_THROW(session.logIn(), ESockError);
        EXPECT_EQ(session.lastFailure().kind, FailureKind::Refused);
        EXPECT_EQ(session.state(), State::Offline);
    }
    {
        ScriptPeer peer([](PeerSession& c) {
            c.send("220 ready\r\n");
            c.expect("USER bob");
            c.send("331 Password required\r\n");
            c.expect("PASS s3cret");
            c.send("530 Login incorrect.\r\n");
        });
        TSiteSession session;
        session.setSite("wrong password", siteAt(peer.port()));
        EXPECT_THROW(session.logIn(), FTPException);
        EXPECT_EQ(session.lastFailure().kind, FailureKind::DaemonReply);
        EXPECT_EQ(session.lastFailure().replyCode, 530);
    }
    {
        ScriptPeer peer([](PeerSession& c) { c.waitClosed(); }); // says nothing at all
        TSiteSession session;
        SiteBook::Record site = siteAt(peer.port());
        site.replyTimeout = 1;
        session.setSite("silent", site);
        EXPECT_THROW(session.logIn(), ENoAnswerError);
        EXPECT_EQ(session.lastFailure().kind, FailureKind::TimedOut);
    }
    {
        // A certificate that neither verifies nor is pinned: without a judge it is refused, and nothing is sent.
        const TestCertificate selfSigned = TestCertificate::make("kolvane self-signed", {"127.0.0.1"});
        PeerTlsServer tls(selfSigned);
        ScriptPeer peer(
            [&](PeerSession& c) {
                c.send("220 ready\r\n");
                c.expect("AUTH TLS");
                c.send("234 go ahead\r\n");
                if (!c.startTls(tls))
                    return;
                if (!c.waitClosed() || !c.control().pending().empty())
                    c.peer.fail("the client went on: " + c.control().pending());
            },
            2);
        SiteBook::Record site = siteAt(peer.port());
        site.security = TFtpSecurity::ExplicitRequired;
        TSiteSession batch;
        batch.setSite("unpinned", site);
        EXPECT_THROW(batch.logIn(), ETlsError);
        EXPECT_EQ(batch.lastFailure().kind, FailureKind::Certificate);

        // A judge that refuses is asked once, and the log-in ends the same way.
        TSiteSession window;
        Judge refuse(TrustAnswer::Refuse);
        window.setCertificateJudge(&refuse);
        window.setSite("unpinned", site);
        EXPECT_THROW(window.logIn(), ETlsError);
        EXPECT_EQ(refuse.asked, (Lines{selfSigned.fingerprint}));
        EXPECT_EQ(window.lastFailure().kind, FailureKind::Certificate);
        EXPECT_EQ(peer.failure(), "");
    }
}

TEST(SiteSession, ConnectionLostWhileIdleIsToldAndReconnects)
{
    std::atomic<int> connections{0};
    ScriptPeer peer(
        [&](PeerSession& c) {
            servePasswordLogin(c);
            if (++connections == 1) { // the first connection ends while the session is idle
                if (!c.peer.waitFor("drop"))
                    c.peer.fail("never told to drop");
                return c.close();
            }
            c.expect("QUIT");
            c.send("221 bye\r\n");
        },
        2);
    TSiteSession session;
    session.setSite("home", siteAt(peer.port()));
    session.setReconnect(true);
    std::vector<std::string> told;
    QObject::connect(&session, &TSiteSession::connectionLost,
                     [&](const SessionFailure& f) { told.push_back("lost: " + f.message); });
    QObject::connect(&session, &TSiteSession::reconnectCountdown, [&](int seconds, int attempt, int tries) {
        told.push_back("in " + std::to_string(seconds) + " s (" + std::to_string(attempt) + " of " +
                       std::to_string(tries) + ")");
    });
    QObject::connect(&session, &TSiteSession::reconnected, [&] { told.push_back("back"); });
    auto dog = watchdog(session.client(), 10000);
    session.logIn();
    peer.signal("drop");
    ASSERT_TRUE(pumpUntil([&] { return session.state() == State::Online && !told.empty(); }, 8000));
    EXPECT_EQ(told, (Lines{"lost: the server closed the connection", "in 1 s (1 of 10)", "back"}));
    EXPECT_EQ(session.lastFailure().kind, FailureKind::Lost);
    session.logOut();
    EXPECT_EQ(peer.failure(), "");
    EXPECT_EQ(TSiteSession::reconnectDelay(3), 4);
    EXPECT_EQ(TSiteSession::reconnectDelay(10), 60);
}
