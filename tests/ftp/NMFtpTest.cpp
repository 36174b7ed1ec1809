// The FTP client's control connection against a scripted peer: log-in orders, whole replies, the reply watch,
// command classification and events, log-out, and what a cancel or a lost connection leaves behind.

#include "FtpTestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(FtpLogin, PasswordAskedEventOrderAndBytesOnTheWire)
{
    ScriptPeer peer([](PeerSession& c) {
        c.send("220-Welcome\r\n220 ready\r\n");
        c.expect("USER bob");
        c.send("331 Password required\r\n");
        c.expect("PASS s3cret");
        c.send("230-Rules\r\n 1. be nice\r\n230 Logged in\r\n");
        c.expect("QUIT");
        c.send("221 Bye\r\n");
    });
    TNMFTP ftp;
    EventLog log(ftp);
    ftp.OnAuthenticationNeeded = [&](bool&) { log.add("auth"); };
    ftp.Host = "127.0.0.1";
    ftp.Port = peer.port();
    ftp.UserID = "bob";
    ftp.Password = "s3cret";
    ftp.Connect();
    ftp.Connect(); // already logged in: nothing happens
    EXPECT_EQ(ftp.ReplyNumber, 230);
    EXPECT_EQ(ftp.TransactionReply, "230-Rules\r\n");
    ftp.Disconnect();
    ftp.Disconnect(); // not connected: nothing at all
    EXPECT_EQ(log.entries, (Lines{"status:220-Welcome\r\n", "status:220 ready\r\n", "status:USER bob",
                                  "status:331 Password required\r\n", "status:PASS ", "status:230-Rules\r\n",
                                  "status: 1. be nice\r\n", "status:230 Logged in\r\n", "connect", "status:QUIT",
                                  "status:221 Bye\r\n", "disconnect"}));
    EXPECT_EQ(peer.received(), (Lines{"USER bob\r\n", "PASS s3cret\r\n", "QUIT\r\n"}));
    EXPECT_EQ(peer.failure(), "");
}

TEST(FtpLogin, UserRepliesBelow401LogInWithoutPassword)
{
    for (const std::string reply : {"230 no password needed\r\n", "400 odd, but not a refusal\r\n"}) {
        ScriptPeer peer([reply](PeerSession& c) {
            c.send("220 ready\r\n");
            c.expect("USER bob");
            c.send(reply);
        });
        TNMFTP ftp;
        EventLog log(ftp);
        ftp.OnAuthenticationNeeded = [&](bool&) { log.add("auth"); };
        loginTo(ftp, peer);
        EXPECT_EQ(log.entries,
                  (Lines{"status:220 ready\r\n", "auth", "status:USER bob", "status:" + reply, "connect"}));
    }
}

TEST(FtpLogin, RefusedPasswordEventOrder)
{
    ScriptPeer peer([](PeerSession& c) {
        c.send("220 ready\r\n");
        c.expect("USER bob");
        c.send("331 Password required\r\n");
        c.expect("PASS wrong");
        c.send("530 Login incorrect.\r\n");
        c.expect("QUIT");
        c.send("221 Bye\r\n");
    });
    TNMFTP ftp;
    EventLog log(ftp);
    ftp.Password = "wrong";
    EXPECT_EQ(failureOf<FTPException>([&] { loginTo(ftp, peer); }), "530 Login incorrect.\r\n");
    EXPECT_EQ(log.entries, (Lines{"status:220 ready\r\n", "status:USER bob", "status:331 Password required\r\n",
                                  "status:PASS ", "status:530 Login incorrect.\r\n", "failed", "status:QUIT",
                                  "status:221 Bye\r\n", "disconnect", "status:Disconnected"}));
    EXPECT_FALSE(ftp.Connected);
}

TEST(FtpLogin, RefusingGreetingIsReportedWithItsText)
{
    for (const std::string greeting : {"421 Too many users\r\n", "530 Not from your address\r\n"}) {
        ScriptPeer peer([greeting](PeerSession& c) {
            c.send(greeting);
            c.close();
        });
        TNMFTP ftp;
        EventLog log(ftp);
        auto dog = watchdog(ftp);
        EXPECT_EQ(failureOf<FTPException>([&] { loginTo(ftp, peer); }), greeting);
        // (A QUIT may go out first if the hang-up has not been seen yet.)
        EXPECT_EQ(log.entries.front(), "status:" + greeting);
        EXPECT_EQ(log.count("failed"), 1u);
        EXPECT_EQ(log.count("disconnect"), 1u);
        EXPECT_EQ(Lines(log.entries.end() - 2, log.entries.end()), (Lines{"disconnect", "status:Disconnected"}));
        EXPECT_FALSE(dog->fired);
    }
}

TEST(FtpLogin, CancelledLogInClosesWithoutQuit)
{
    ScriptPeer peer([](PeerSession& c) { c.waitClosed(); }); // accepts, and never greets
    TNMFTP ftp;
    EventLog log(ftp);
    Later operatorGivesUp(50, [&] { ftp.Cancel(); });
    EXPECT_EQ(failureOf<EAbortError>([&] { loginTo(ftp, peer); }), "Socket readln aborted");
    EXPECT_EQ(log.entries, (Lines{"disconnect", "status:Disconnected"}));
    EXPECT_FALSE(ftp.Connected);
    EXPECT_TRUE(peer.received().empty());
}

TEST(FtpReplies, SplitLinesLineEndsAndMultiLineShapes)
{
    ScriptPeer peer([](PeerSession& c) {
        serveLogin(c);
        c.expect("SITE A");
        c.send("200 Sp");
        c.peer.waitFor("half");
        c.send("lit\r\n");
        c.expect("SITE B");
        c.send("250-first\n250-second\r\n  indented\r\n25\r\n"); // LF alone, a blank-led line, a short last line
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    EventLog log(ftp);
    // The peer sends the rest of the line only once the first half is in the buffer.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (ftp.ReceiveBuffer.view() == "200 Sp")
            peer.signal("half");
    });
    watch.start(1);
    ftp.SendCommand("SITE A");
    ftp.SendCommand("SITE B");
    EXPECT_EQ(ftp.ReplyNumber, 250);
    EXPECT_EQ(log.entries,
              (Lines{"status:SITE A", "status:200 Split\r\n", "success:14", "status:SITE B", "status:250-first\n",
                     "status:250-second\r\n", "status:  indented\r\n", "status:25\r\n", "success:14"}));
}

TEST(FtpCommands, ClassificationTable)
{
    for (auto [command, kind] : {std::pair{"CWD /pub", TCmdType::ChangeDir},
                                 {"CWD", TCmdType::ChangeDir},
                                 {"MKD new", TCmdType::MakeDir},
                                 {"DELE a.zip", TCmdType::DeleteFile},
                                 {"RMD old", TCmdType::RemoveDir},
                                 {"PWD", TCmdType::CurrentDir},
                                 {"PWD ", TCmdType::Other},
                                 {"cwd /pub", TCmdType::Other},
                                 {"CWDX /pub", TCmdType::Other},
                                 {"SITE WHO", TCmdType::Other},
                                 {"", TCmdType::Other}})
        EXPECT_EQ(TNMFTP::classifyCommand(command), kind) << command;
}

TEST(FtpCommands, OutcomesUnaskedLinesAndCurrentDirectory)
{
    const std::pair<std::string, std::string> pwd[] = {{"257 \"/my dir\" is current\r\n", "/my dir"},
                                                       {"257 \"/open ended\r\n", "/open ended\r\n"},
                                                       {"257 no\r\n", ""}};
    ScriptPeer peer([&](PeerSession& c) {
        serveLogin(c);
        c.send("200 stray line nobody asked for\r\n");
        c.peer.signal("stray");
        for (const char* reply :
             {"200 who\r\n", "500 Unknown command\r\n", "550 No such directory\r\n", "550 No such directory\r\n"}) {
            c.readLine();
            c.send(reply);
        }
        for (const auto& row : pwd) {
            c.expect("PWD");
            c.send(row.first);
        }
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    ASSERT_TRUE(peer.waitFor("stray"));
    ASSERT_TRUE(pumpUntil([&] { return !ftp.ReceiveBuffer.empty(); }));
    EventLog log(ftp);
    ftp.SendCommand("SITE WHO");
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.SendCommand("SITE NOPE"); }), "500 Unknown command\r\n");
    ftp.OnFailure = [&](bool& Handled, TCmdType kind) {
        log.add("failure:" + std::to_string(int(kind)));
        Handled = kind == TCmdType::ChangeDir; // takes over CWD failures only
    };
    ftp.ChangeDirectory("/gone");
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.RemoveDirectory("/gone"); }), "550 No such directory\r\n");
    EXPECT_EQ(log.entries, (Lines{"status:SITE WHO", "status:200 who\r\n", "success:14", "status:SITE NOPE",
                                  "status:500 Unknown command\r\n", "unsupported:14", "status:CWD /gone",
                                  "status:550 No such directory\r\n", "failure:0", "status:RMD /gone",
                                  "status:550 No such directory\r\n", "failure:3"}));
    for (const auto& row : pwd)
        EXPECT_EQ(ftp.CurrentDirectory(), row.second) << row.first;
}

TEST(FtpCommands, NotConnectedSendsNothing)
{
    TNMFTP ftp;
    EventLog log(ftp);
    EXPECT_EQ(failureOf<Exception>([&] { ftp.SendCommand("SITE WHO"); }), "Not Connected");
    EXPECT_EQ(failureOf<Exception>([&] { ftp.List(); }), "Not Connected");
    EXPECT_TRUE(log.entries.empty());
    EXPECT_FALSE(ftp.isBusy());
}

TEST(FtpWaits, ReplyWatch421EndsTheWait)
{
    ScriptPeer peer([](PeerSession& c) {
        serveLogin(c);
        c.expect("SITE USERS");
        c.send("200-Users:\r\n");
        c.peer.waitFor("first line read");
        c.send("421 Timeout, closing control connection\r\n");
        c.close();
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    EventLog log(ftp);
    ftp.OnStatus = [&](QObject*, const std::string&) {
        log.add("status:" + ftp.Status);
        if (ftp.Status == "200-Users:\r\n")
            peer.signal("first line read");
    };
    auto dog = watchdog(ftp);
    EXPECT_EQ(failureOf<EAbortError>([&] { ftp.SendCommand("SITE USERS"); }), "Socket readln aborted");
    EXPECT_FALSE(dog->fired);
    ASSERT_TRUE(pumpUntil([&] { return !ftp.Connected; }));
    // The 421 line is not part of the interrupted reply; the server's hang-up follows.
    EXPECT_EQ(log.entries, (Lines{"status:SITE USERS", "status:200-Users:\r\n", "disconnect"}));
}

TEST(FtpWaits, LostConnectionEndsTheWaitAndTheClientLogsInAgain)
{
    int session = 0; // the peer thread's only
    ScriptPeer peer(
        [&session](PeerSession& c) {
            serveLogin(c);
            c.expect("SITE WHO");
            if (++session == 1) {
                c.send("200-partial reply");
                c.close(); // gone in the middle of a reply
            } else {
                c.send("200 who\r\n");
            }
        },
        2);
    TNMFTP ftp;
    loginTo(ftp, peer);
    EventLog log(ftp);
    auto dog = watchdog(ftp);
    EXPECT_EQ(failureOf<ESockError>([&] { ftp.SendCommand("SITE WHO"); }), "Connection Closed");
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(log.entries, (Lines{"status:SITE WHO", "disconnect"}));
    loginTo(ftp, peer);
    ftp.SendCommand("SITE WHO");
    EXPECT_EQ(ftp.ReplyNumber, 200);
}

TEST(FtpWaits, AnEndlessReplyLineIsCutOffNotBuffered)
{
    ScriptPeer peer([](PeerSession& c) {
        serveLogin(c);
        c.expect("SITE NFO huge.nfo");
        // A reply line that never ends: more than the client will hold unread.
        const std::string chunk(1 << 20, 'A');
        for (std::size_t sent = 0; sent <= TPowersock::MaxUnreadBytes + chunk.size(); sent += chunk.size())
            c.send("200-" + chunk);
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    auto dog = watchdog(ftp);
    EXPECT_EQ(failureOf<ESockError>([&] { ftp.SendCommand("SITE NFO huge.nfo"); }), "Reply too long");
    EXPECT_FALSE(dog->fired);
    EXPECT_FALSE(ftp.Connected);
    EXPECT_TRUE(ftp.ReceiveBuffer.empty()) << "the junk is not kept";
    EXPECT_EQ(failureOf<Exception>([&] { ftp.SendCommand("NOOP"); }), "Not Connected");
}

TEST(FtpWaits, CancelledReplyWaitLeavesAUsableClient)
{
    ScriptPeer peer([](PeerSession& c) {
        serveLogin(c);
        c.expect("SITE SLOW");
        c.peer.waitFor("cancelled");
        c.send("200 late\r\n");
        c.peer.signal("late sent");
        c.expect("NOOP");
        c.send("200 noop\r\n");
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    bool busyInside = false;
    ftp.ReportLevel = 2;
    ftp.OnStatus = [&](QObject*, const std::string&) { busyInside = ftp.isBusy(); };
    {
        Later operatorGivesUp(50, [&] { ftp.Cancel(); });
        EXPECT_EQ(failureOf<EAbortError>([&] { ftp.SendCommand("SITE SLOW"); }), "Socket readln aborted");
    }
    EXPECT_TRUE(busyInside);
    EXPECT_FALSE(ftp.isBusy());
    peer.signal("cancelled");
    ASSERT_TRUE(peer.waitFor("late sent"));
    ASSERT_TRUE(pumpUntil([&] { return !ftp.ReceiveBuffer.empty(); }));
    ftp.SendCommand("NOOP"); // the late reply is thrown away, not taken for this one
    EXPECT_EQ(ftp.TransactionReply, "200 noop\r\n");
}

TEST(FtpLogout, QuitRefusedStillClosesFirst)
{
    ScriptPeer peer([](PeerSession& c) {
        serveLogin(c);
        c.expect("QUIT");
        c.send("500 QUIT not understood\r\n");
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    EventLog log(ftp);
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.Disconnect(); }), "500 QUIT not understood\r\n");
    EXPECT_EQ(log.entries, (Lines{"status:QUIT", "status:500 QUIT not understood\r\n", "disconnect"}));
    EXPECT_EQ(ftp.Vendor, FtpVendor::Undetected);
}

TEST(FtpLogout, DestroyingALoggedInClientDoesNotWait)
{
    ScriptPeer peer([](PeerSession& c) {
        serveLogin(c);
        c.expect("QUIT"); // and never answers
    });
    auto ftp = std::make_unique<TNMFTP>();
    loginTo(*ftp, peer);
    int events = 0;
    ftp->OnDisconnect = [&](QObject*) { ++events; };
    ftp->OnStatus = [&](QObject*, const std::string&) { ++events; };
    const std::uint32_t start = GetTickCount();
    ftp.reset();
    EXPECT_LT(GetTickCount() - start, 500u);
    EXPECT_EQ(events, 0);
    EXPECT_TRUE(pumpUntil([&] { return peer.received().size() == 2; }));
    EXPECT_EQ(peer.received().back(), "QUIT\r\n");
}

} // namespace
