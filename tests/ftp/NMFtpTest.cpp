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

TEST(FtpLogin, RefusedPasswordIsRaisedAtOnce)
{
    ScriptPeer peer([](PeerSession& c) {
        c.send("220 ready\r\n");
        c.expect("USER bob");
        c.send("331 Password required\r\n");
        c.expect("PASS wrong");
        c.send("530 Login incorrect.\r\n");
        c.expect("QUIT"); // and never answers: the refusal must not wait for it
    });
    TNMFTP ftp;
    EventLog log(ftp);
    ftp.Password = "wrong";
    auto dog = watchdog(ftp);
    EXPECT_EQ(failureOf<FTPException>([&] { loginTo(ftp, peer); }), "530 Login incorrect.\r\n");
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(log.entries,
              (Lines{"status:220 ready\r\n", "status:USER bob", "status:331 Password required\r\n", "status:PASS ",
                     "status:530 Login incorrect.\r\n", "failed", "status:QUIT", "disconnect", "status:Disconnected"}));
    EXPECT_FALSE(ftp.Connected);
    EXPECT_TRUE(pumpUntil([&] { return peer.received().size() == 3; }));
    EXPECT_EQ(peer.failure(), "");
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
        c.expect("SITE C");
        c.send(std::string("200-\0\x01\xff\x80 junk\0\r\n \0\x7f\r\n200 \xfe\r\n", 28)); // junk, NULs included
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
    ftp.SendCommand("SITE C");
    EXPECT_EQ(log.entries,
              (Lines{"status:SITE A", "status:200 Split\r\n", "success:14", "status:SITE B", "status:250-first\n",
                     "status:250-second\r\n", "status:  indented\r\n", "status:25\r\n", "success:14", "status:SITE C",
                     std::string("status:200-\0\x01\xff\x80 junk\0\r\n", 23), std::string("status: \0\x7f\r\n", 12),
                     "status:200 \xfe\r\n", "success:14"}));
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

TEST(FtpWaits, ReplyWatch421EndsTheWaitWithTheServersOwnLine)
{
    // The daemon gives up in the middle of a reply, as the whole reply, and while a listing waits for its data
    // connection.
    const std::string bye = "421 Timeout, closing control connection\r\n";
    int session = 0; // the peer thread's only
    ScriptPeer peer(
        [&](PeerSession& c) {
            serveLogin(c);
            switch (++session) {
            case 1:
                c.expect("SITE USERS");
                c.send("200-Users:\r\n");
                c.peer.waitFor("first line read");
                break;
            case 2:
                c.expect("SITE WHO");
                break;
            case 3:
                c.readLine();
                c.send("200 PORT ok\r\n");
                c.expect("LIST");
                c.send("150 Opening data connection\r\n"); // and never connects
                c.peer.waitFor("accepting");
                break;
            }
            c.send(bye);
            c.close();
        },
        3);
    TNMFTP ftp;
    EventLog log(ftp);
    ftp.OnStatus = [&](QObject*, const std::string&) {
        log.add("status:" + ftp.Status);
        if (ftp.Status == "200-Users:\r\n")
            peer.signal("first line read");
    };
    ftp.OnTransactionStart = [&](QObject*) { peer.signal("accepting"); };
    auto dog = watchdog(ftp);
    // The daemon's own words, not the wait's end, reach the operator: first as a status line, then as the failure.
    const std::function<void()> operations[] = {[&] { ftp.SendCommand("SITE USERS"); },
                                                [&] { ftp.SendCommand("SITE WHO"); }, [&] { ftp.List(); }};
    const Lines before[] = {{"status:SITE USERS", "status:200-Users:\r\n"}, {"status:SITE WHO"}, {}};
    for (int i = 0; i < 3; ++i) {
        loginTo(ftp, peer);
        log.entries.clear();
        EXPECT_EQ(failureOf<FTPException>(operations[i]), bye) << i;
        ASSERT_TRUE(pumpUntil([&] { return !ftp.Connected; }));
        Lines expected = before[i];
        expected.insert(expected.end(), {"status:" + bye, "disconnect"});
        if (i < 2)
            EXPECT_EQ(log.entries, expected);
        else
            EXPECT_EQ(Lines(log.entries.end() - 2, log.entries.end()), Lines(expected.end() - 2, expected.end()));
    }
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(peer.failure(), "");
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

TEST(FtpWaits, AnOverlongReplyLineIsCutOffNotBuffered)
{
    // A 10 MB reply line, once without its end and once with it: more than the client will hold unread either way.
    for (const bool lineEnd : {false, true}) {
        ScriptPeer peer([lineEnd](PeerSession& c) {
            serveLogin(c);
            c.expect("SITE NFO huge.nfo");
            const std::string chunk(1 << 20, 'A');
            c.send("200-");
            for (int i = 0; i < 10; ++i)
                c.send(chunk);
            if (lineEnd)
                c.send("\r\n200 done\r\n");
        });
        TNMFTP ftp;
        loginTo(ftp, peer);
        std::size_t mostHeld = 0;
        ftp.ReportLevel = 8; // each read reports itself: what is held at that moment is what the reads left
        ftp.OnStatus = [&](QObject*, const std::string&) { mostHeld = std::max(mostHeld, ftp.ReceiveBuffer.size()); };
        auto dog = watchdog(ftp);
        EXPECT_EQ(failureOf<ESockError>([&] { ftp.SendCommand("SITE NFO huge.nfo"); }), "Reply too long") << lineEnd;
        EXPECT_FALSE(dog->fired);
        EXPECT_FALSE(ftp.Connected);
        EXPECT_LE(mostHeld, TPowersock::MaxUnreadBytes);
        EXPECT_TRUE(ftp.ReceiveBuffer.empty()) << "the junk is not kept";
        EXPECT_EQ(failureOf<Exception>([&] { ftp.SendCommand("NOOP"); }), "Not Connected");
    }
}

TEST(FtpCommands, LinesThatCannotGoWholeAreRefusedBeforeAnythingIsSent)
{
    const std::string longest = "SITE " + std::string(TPowersock::MaxWriteLength - 2 - 5, 'x');
    ScriptPeer peer([&](PeerSession& c) {
        serveLogin(c);
        c.expect(longest);
        c.send("200 whole\r\n");
        c.expect("NOOP"); // nothing of the refused lines came before it
        c.send("200 ok\r\n");
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    EventLog log(ftp);
    const std::string lineBreak = "The command holds a line break or a NUL and was not sent";
    const std::string tooLong =
        "The command is too long and was not sent: a command line holds at most 16384 bytes with its CR LF";
    const std::pair<std::function<void()>, std::string> refused[] = {
        {[&] { ftp.SendCommand("SITE WHO\r\nSITE KILL 1"); }, lineBreak},
        {[&] { ftp.SendCommand("SITE WHO\nSITE KILL 1"); }, lineBreak},
        {[&] { ftp.SendCommand(std::string("SITE WHO\0", 9)); }, lineBreak},
        {[&] { ftp.ChangeDirectory("/pub\r\nDELE /pub/a.zip"); }, lineBreak},
        {[&] { ftp.RemoveDirectory("old\rRMD /"); }, lineBreak},
        {[&] { ftp.Transaction("NOOP\r\nQUIT"); }, lineBreak},
        {[&] { ftp.SendCommand(longest + "x"); }, tooLong},
        {[&] { ftp.SendCommand("SITE " + std::string(20000, 'w')); }, tooLong},
    };
    for (const auto& [send, failure] : refused)
        EXPECT_EQ(failureOf<ELineError>(send), failure);
    EXPECT_TRUE(log.entries.empty()); // not even reported as sent
    ftp.SendCommand(longest);         // the longest line that goes whole
    ftp.SendCommand("NOOP");
    EXPECT_EQ(ftp.TransactionReply, "200 ok\r\n");
    EXPECT_EQ(peer.failure(), "");

    // At log-in the stored name and password are judged before anything happens, the connect included: nobody
    // listens on this port, and a connect would fail otherwise.
    const quint16 nobody = closedPort();
    struct LoginRow {
        std::string user, password, proxy, host, failure;
    };
    for (const LoginRow& row : {
             LoginRow{"bob\r\nSITE ADDUSER evil", "x", "", "127.0.0.1",
                      "The log-in name holds a line break or a NUL and was not sent"},
             LoginRow{"bob", std::string("pw\0SITE", 8), "", "127.0.0.1",
                      "The password holds a line break or a NUL and was not sent"},
             LoginRow{"bob", "x", "127.0.0.1", "site\nSITE KILL 1",
                      "The host name holds a line break or a NUL and was not sent"},
             LoginRow{std::string(16380, 'b'), "x", "", "127.0.0.1",
                      "The log-in name is too long and was not sent: a command line holds at most 16384 bytes with its "
                      "CR LF"},
         }) {
        TNMFTP client;
        EventLog events(client);
        client.UserID = row.user;
        client.Password = row.password;
        client.Proxy = row.proxy;
        client.ProxyPort = nobody;
        client.Host = row.host;
        client.Port = nobody;
        EXPECT_EQ(failureOf<ELineError>([&] { client.Connect(); }), row.failure);
        EXPECT_TRUE(events.entries.empty());
    }
}

TEST(FtpWaits, ReplyTimeoutEndsTheWaitAndTheConnection)
{
    // A daemon that answers nothing: to a command, with its greeting, and with a listing's data connection.
    int session = 0; // the peer thread's only
    ScriptPeer peer(
        [&session](PeerSession& c) {
            switch (++session) {
            case 1:
                serveLogin(c);
                c.expect("SITE SLOW");
                c.send("200-first line, then nothing"); // a part of a line is no answer either
                break;
            case 2:
                break; // no greeting
            case 3:
                serveLogin(c);
                c.readLine();
                c.send("200 PORT ok\r\n");
                c.expect("LIST");
                c.send("150 Opening data connection\r\n"); // and never connects
                break;
            }
            c.waitClosed();
        },
        3);
    TNMFTP ftp;
    ftp.ReplyTimeout = 300;
    loginTo(ftp, peer);
    EventLog log(ftp);
    auto dog = watchdog(ftp);
    const std::string noAnswer = "No answer from the server in 0.3 seconds";
    EXPECT_EQ(failureOf<ENoAnswerError>([&] { ftp.SendCommand("SITE SLOW"); }), noAnswer);
    // A late reply would be taken for the next command's: the connection ends with the wait.
    EXPECT_FALSE(ftp.Connected);
    EXPECT_EQ(log.entries, (Lines{"status:SITE SLOW", "disconnect"}));

    log.entries.clear();
    EXPECT_EQ(failureOf<ENoAnswerError>([&] { loginTo(ftp, peer); }), noAnswer);
    EXPECT_EQ(log.entries, (Lines{"disconnect", "status:Disconnected"}));
    EXPECT_FALSE(ftp.Connected);

    loginTo(ftp, peer);
    log.entries.clear();
    EXPECT_EQ(failureOf<ENoAnswerError>([&] { ftp.List(); }), noAnswer);
    EXPECT_EQ(log.entries.back(), "disconnect");
    EXPECT_EQ(ftp.DataSocket, nullptr);
    EXPECT_FALSE(ftp.Connected);
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(peer.failure(), "");
    for (auto [ms, text] : {std::pair{30000, "No answer from the server in 30 seconds"},
                            {1000, "No answer from the server in 1 second"},
                            {1500, "No answer from the server in 1.5 seconds"}})
        EXPECT_EQ(noAnswerMessage(ms), text);
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
