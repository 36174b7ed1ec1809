// One site's session without a window, against scripted peers: its states through a log-in, commands and a
// log-out; the reply lines a command returns; the kind of each failure; a connection lost while idle, and the
// reconnect that follows it.

#include "session/SiteSession.h"
#include "FtpTestSupport.h"
#include "session/FailureText.h"

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

TEST(SiteSession, ClearTextAfterARefusedAuthTlsOnlyWhereItIsAllowed)
{
    std::atomic<int> connections{0};
    ScriptPeer peer(
        [&](PeerSession& c) {
            c.send("220 ready\r\n");
            c.expect("AUTH TLS");
            c.send("500 AUTH not understood\r\n");
            if (++connections == 1) { // the batch's session: not a word more
                if (!c.waitClosed() || !c.control().pending().empty())
                    c.peer.fail("the client went on: " + c.control().pending());
                return;
            }
            // The window's: on in clear text, as the site allows.
            c.expect("USER bob");
            c.send("331 Password required\r\n");
            c.expect("PASS s3cret");
            c.send("230 Logged in\r\n");
            c.expect("QUIT");
            c.send("221 bye\r\n");
        },
        2);
    SiteBook::Record site = siteAt(peer.port());
    site.security = TFtpSecurity::ExplicitIfOffered;
    {
        TSiteSession batch;
        batch.setClearTextFallback(false);
        batch.setSite("offered", site);
        auto dog = watchdog(batch.client());
        EXPECT_THROW(batch.logIn(), ETlsError);
        EXPECT_EQ(batch.lastFailure().kind, FailureKind::Tls);
        EXPECT_NE(batch.lastFailure().message.find("500 AUTH not understood; clear text is not allowed here"),
                  std::string::npos)
            << batch.lastFailure().message;
    }
    TSiteSession window;
    window.setSite("offered", site);
    auto dog = watchdog(window.client());
    window.logIn();
    EXPECT_TRUE(window.online());
    window.logOut();
    EXPECT_EQ(peer.failure(), "");
}

TEST(SiteSession, AReconnectAfterALogInOverTlsNeverSendsThePasswordInClearText)
{
    const TestCertificate selfSigned = TestCertificate::make("kolvane self-signed", {"127.0.0.1"});
    PeerTlsServer tls(selfSigned);
    std::atomic<int> connections{0};
    ScriptPeer peer(
        [&](PeerSession& c) {
            c.send("220 ready\r\n");
            c.expect("AUTH TLS");
            if (++connections == 1) {
                c.send("234 go ahead\r\n");
                if (!c.startTls(tls))
                    return;
                c.expect("PBSZ 0");
                c.send("200 PBSZ=0\r\n");
                c.expect("PROT P");
                c.send("200 Protection level set to P\r\n");
                c.expect("USER bob");
                c.send("331 Password required\r\n");
                c.expect("PASS s3cret");
                c.send("230 Logged in\r\n");
                if (!c.peer.waitFor("drop"))
                    c.peer.fail("never told to drop");
                return c.close();
            }
            // A relay on the path that drops the idle connection and will not speak TLS: whatever the client sends
            // after its refusal goes in clear text.
            c.send("500 AUTH not understood\r\n");
            if (!c.waitClosed() || !c.control().pending().empty())
                c.peer.fail("the client went on in clear text: " + c.control().pending());
        },
        2);
    SiteBook::Record site = siteAt(peer.port());
    site.security = TFtpSecurity::ExplicitIfOffered; // clear text where no TLS is offered: but not after TLS
    TSiteSession session;
    Judge once(TrustAnswer::TrustOnce);
    session.setCertificateJudge(&once);
    session.setSite("home", site);
    session.setReconnect(true);
    std::vector<SessionFailure> failures;
    QObject::connect(&session, &TSiteSession::failed, [&](const SessionFailure& f) { failures.push_back(f); });
    auto dog = watchdog(session.client(), 10000);
    session.logIn();
    ASSERT_TRUE(session.online());
    peer.signal("drop");
    ASSERT_TRUE(pumpUntil([&] { return !failures.empty(); }, 8000));
    session.cancel(); // no more tries
    EXPECT_EQ(failures[0].kind, FailureKind::Tls);
    EXPECT_NE(failures[0].message.find("refused AUTH TLS on the reconnect: 500 AUTH not understood; this session spoke "
                                       "TLS before"),
              std::string::npos)
        << failures[0].message;
    EXPECT_FALSE(session.online());
    EXPECT_EQ(peer.failure(), "");
}

TEST(FailureText, EachFailureHasItsOwnWordsNamingHostAndPort)
{
    SiteBook::Record site;
    site.host = "ftp.example.invalid";
    site.port = "2121";
    struct Row {
        SessionFailure failure;
        std::string message;
        std::string hintStarts;
    };
    const Row rows[] = {
        // A name that does not resolve is a host that cannot be found, not a daemon that is not running.
        {{FailureKind::Lookup, "Null Remote Address", 0, {}, true},
         "Could not find the host ftp.example.invalid: the name is not known (Null Remote Address)",
         "No name server knows ftp.example.invalid: check the spelling"},
        {{FailureKind::Refused, "Connection Failed", 0, "Connection refused", true},
         "Connection Failed: could not connect to ftp.example.invalid:2121: connection refused",
         "Check the host name and port of the site in SiTES, and that the daemon is running there."},
        {{FailureKind::Unreachable, "Connection Failed", 0, "No route to host", true},
         "Connection Failed: could not connect to ftp.example.invalid:2121: no route to host",
         "ftp.example.invalid cannot be reached from this computer"},
        {{FailureKind::TimedOut, "No answer from the server in 30 seconds", 0, {}, true},
         "No answer from the server in 30 seconds",
         "Check that the daemon is running and answering"},
        {{FailureKind::DaemonReply, "530 Login incorrect.\r\n", 530, {}, true},
         "530 Login incorrect.\r\n",
         "Check the log-in name and password of the site in SiTES."},
        {{FailureKind::DaemonReply, "530 This site requires TLS\r\n", 530, {}, true},
         "530 This site requires TLS\r\n",
         "The daemon wants TLS"},
        // A data connection that fails is no reason to doubt the site's host and port.
        {{FailureKind::Refused, "Connection Failed", 0, {}, false},
         "Connection Failed",
         "The data connection to ftp.example.invalid could not be made"},
        {{FailureKind::Cancelled, "Cancelled", 0, {}, false}, "Cancelled", ""},
    };
    for (const Row& row : rows) {
        const FailureText text = failureText(row.failure, site);
        EXPECT_EQ(text.message, row.message);
        EXPECT_EQ(text.hint.substr(0, row.hintStarts.size()), row.hintStarts) << text.hint;
        EXPECT_EQ(text.hint.empty(), row.hintStarts.empty()) << text.hint;
    }
}
