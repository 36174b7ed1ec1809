// The socket component against real sockets on 127.0.0.1: connect and lookup outcomes, buffers and chunking, the
// level filter, the waits that a closed connection or a cancel must end (and what a wait costs while it sleeps),
// and the error texts.

#include "FtpTestSupport.h"
#include "platform/Finally.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

namespace {

TEST(SocketTexts, ErrorTableErrnoMappingReplyCodesAddresses)
{
    TPowersock s;
    EXPECT_EQ(s.LookupErrorMessage(0), "");
    EXPECT_EQ(s.LookupErrorMessage(10061), "10061:Connection refused");
    EXPECT_EQ(s.LookupErrorMessage(11004), "11004:Valid name, no data record of requested type");
    EXPECT_EQ(s.LookupErrorMessage(12345), "Unknown Error No. 12345");
    for (auto [err, code] : {std::pair{ECONNREFUSED, 10061},
                             {ETIMEDOUT, 10060},
                             {ECONNRESET, 10054},
                             {EHOSTUNREACH, 10065},
                             {ENETUNREACH, 10051},
                             {EADDRINUSE, 10048},
                             {EWOULDBLOCK, 10035},
                             {EINPROGRESS, 10036},
                             {EACCES, 10013},
                             {EPROTO, EPROTO}})
        EXPECT_EQ(socketErrorFromErrno(err), code) << err;

    for (auto [line, code] : {std::pair{"220-Welcome\r\n", 220},
                              {"Welcome\r\n", 0},
                              {"2200 x\r\n", 2200},
                              {"99999 x\r\n", 32767},
                              {"12345678901234\r\n", 32767}}) // held, never wrapped
        EXPECT_EQ(TPowersock::replyCode(line), code) << line;

    std::uint32_t a = 0;
    EXPECT_TRUE(parseDottedAddress("10.0.0.1", a));
    EXPECT_EQ(a, 0x0A000001u);
    for (const char* bad : {"255.255.255.255", "1.2.3", "1.2.3.4 ", "256.1.1.1", "1..2.3", "localhost", ""})
        EXPECT_FALSE(parseDottedAddress(bad, a)) << bad;
}

TEST(SocketBuffers, ReadLnReadAndSendBufferRules)
{
    TPowersock s;
    s.Connected = true; // the buffers alone: nothing arrives, nothing leaves
    s.ReceiveBuffer.append("a\r\nb");
    EXPECT_EQ(s.ReadLn(), "a\r\n");
    {
        Later operatorGivesUp(30, [&] { s.Cancel(); });
        EXPECT_EQ(failureOf<EAbortError>([&] { s.ReadLn(); }), "Socket readln aborted");
    }
    EXPECT_TRUE(s.Canceled); // ReadLn leaves it set, and a ready line stays buffered
    s.ReceiveBuffer.append("\n");
    EXPECT_EQ(failureOf<EAbortError>([&] { s.ReadLn(); }), "Socket readln aborted");
    EXPECT_EQ(s.ReceiveBuffer.view(), "b\n");
    s.SendBuffer("x", 1); // cancelled: sends nothing, raises nothing
    EXPECT_TRUE(s.SendQueue.empty());
    EXPECT_EQ(failureOf<EAbortError>([&] { s.Read(0); }), "Socket send aborted");
    EXPECT_FALSE(s.Canceled); // Read clears it when it raises

    Lines statuses;
    s.ReportLevel = 8;
    s.OnStatus = [&](QObject*, const std::string& text) { statuses.push_back(text); };
    s.ReceiveBuffer.clear();
    EXPECT_EQ(s.Read(0), "");
    EXPECT_EQ(statuses, Lines{"Read( 0 )"});

    // A connection that is gone can never complete a line, a count or a send: the waits end instead of hanging.
    s.Connected = false;
    s.ReceiveBuffer.append("partial");
    EXPECT_EQ(failureOf<ESockError>([&] { s.ReadLn(); }), "Connection Closed");
    EXPECT_EQ(failureOf<ESockError>([&] { s.Read(10); }), "Connection Closed");
    EXPECT_EQ(s.ReceiveBuffer.view(), "partial");
    EXPECT_EQ(failureOf<ESockError>([&] { s.Writeln("NOOP"); }), "Connection Closed");
    EXPECT_TRUE(s.SendQueue.empty());
}

TEST(SocketConnect, RefusedThenConnectedThenAlreadyConnected)
{
    ScriptPeer peer([](PeerSession& c) {
        c.expect("HELLO");
        c.send("250 hi\r\n");
    });
    TPowersock s;
    int failed = 0, resolved = 0;
    s.OnConnectionFailed = [&](QObject*) { ++failed; };
    s.OnHostResolved = [&](QObject*) { ++resolved; };
    s.Host = "127.0.0.1";
    s.Port = closedPort();
    EXPECT_EQ(failureOf<ESockError>([&] { s.Connect(); }), "Connection Failed");
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(s.Connected);

    s.Port = peer.port(); // the same object connects after a failure
    // A handler that fails inside a notification ends that notification only, and the failure is logged.
    s.OnConnect = [](QObject*) { throw Exception("handler failed"); };
    static std::vector<std::string> logged;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext& where, const QString& text) {
            logged.push_back(std::string(where.category) + ": " + text.toStdString());
        });
    s.Connect();
    qInstallMessageHandler(previous);
    EXPECT_EQ(logged, std::vector<std::string>{"kolvane.socket: Socket notification failed: handler failed"});
    EXPECT_EQ(resolved, 0); // a dotted address needs no lookup
    EXPECT_EQ(s.LocalAddressText(), "127,0,0,1");
    EXPECT_EQ(failureOf<ESockError>([&] { s.Connect(); }), "Already connected");
    EXPECT_EQ(s.Transaction("HELLO"), "250 hi\r\n"); // the connection was left untouched
    EXPECT_EQ(s.ReplyNumber, 250);
    EXPECT_EQ(peer.failure(), "");
}

TEST(SocketConnect, ServerHangingUpAtOnceDoesNotHoldConnect)
{
    // The connect and the close notification can come in one round of events; neither may be lost.
    constexpr int rounds = 20;
    ScriptPeer peer([](PeerSession& c) { c.close(); }, rounds);
    TPowersock s;
    s.Host = "127.0.0.1";
    s.Port = peer.port();
    for (int i = 0; i < rounds; ++i) {
        auto dog = watchdog(s);
        s.Connect();
        EXPECT_FALSE(dog->fired);
        ASSERT_TRUE(pumpUntil([&] { return !s.Connected; }));
    }
}

TEST(SocketConnect, LookupOutcomes)
{
    ScriptPeer peer([](PeerSession&) {}, 2);
    TPowersock s;
    int resolved = 0, invalid = 0;
    s.OnHostResolved = [&](QObject*) { ++resolved; };
    s.Port = peer.port();
    s.Host = "localhost";
    s.Connect();
    EXPECT_EQ(resolved, 1);
    s.Disconnect();

    s.Host = "no such host"; // not a name at all: the lookup fails at once
    EXPECT_EQ(failureOf<ESockError>([&] { s.Connect(); }), "Null Remote Address");
    s.OnInvalidHost = [&](bool& Handled) { Handled = ++invalid > 0; };
    EXPECT_EQ(failureOf<ESockError>([&] { s.Connect(); }), "Null Remote Address");
    EXPECT_EQ(invalid, 1); // one retry only
    s.OnInvalidHost = [&](bool& Handled) {
        s.Host = "127.0.0.1";
        Handled = true;
    };
    s.Connect();
    s.Disconnect();

    s.Host = "localhost";
    s.ReportLevel = 8;
    s.OnStatus = [&](QObject*, const std::string& text) {
        if (text == "Resolve Host")
            s.Cancel();
    };
    EXPECT_EQ(failureOf<ESockError>([&] { s.Connect(); }), "Host Lookup Canceled");
}

// Every descriptor of the process taken (by others, for the test by copies of one it holds): the connection that
// wants one fails naming why, the component is made all the same, and once descriptors are free again the same
// client logs in and lists.
TEST(SocketLimits, RunningOutOfDescriptorsFailsThatConnectionNamingWhy)
{
    ScriptPeer peer([](PeerSession& s) {
        auto data = PeerSession::listenData(); // while there are descriptors
        const std::string passive =
            "229 Entering Extended Passive Mode (|||" + std::to_string(data->serverPort()) + "|)\r\n";
        auto serveListing = [&] {
            s.expect("EPSV");
            s.send(passive);
            s.expect("LIST");
            s.send("150 Here it comes\r\n");
            if (auto socket = s.acceptData(*data)) {
                PeerSession::sendOn(*socket, "-rw-r--r-- 1 u g 10 Jan 5 2001 a.nfo\r\n");
                socket->close();
            }
            s.send("226 Done\r\n");
        };
        serveLogin(s);
        serveListing();
        s.expect("EPSV"); // the listing whose data connection cannot be had
        s.send(passive);
        serveListing();
        s.expect("QUIT");
        s.send("221 Bye\r\n");
    });
    // A limit just above what is open now, so that filling it takes a few dozen copies rather than a million.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const qsizetype open = QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
    rlimit lowered = saved;
    lowered.rlim_cur = rlim_t(open + 64);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> taken;
    auto takeAll = [&] {
        for (int fd; (fd = ::dup(STDERR_FILENO)) >= 0;)
            taken.push_back(fd);
        EXPECT_EQ(errno, EMFILE);
    };
    auto giveBack = [&] {
        for (const int fd : taken)
            ::close(fd);
        taken.clear();
    };
    const std::string tooMany = "10024:Too many open files";
    const Finally restore([&] {
        giveBack();
        setrlimit(RLIMIT_NOFILE, &saved);
    });

    // A client at work first: everything below runs once with descriptors before it runs without (the sanitizers'
    // runtime, too, wants a descriptor the first time it looks at a type).
    TNMFTP ftp;
    ftp.Host = "127.0.0.1";
    ftp.Port = peer.port();
    ftp.UserID = "bob";
    ftp.DataMode = TDataMode::Passive;
    std::vector<std::string> items;
    ftp.OnListItem = [&](const std::string& line) { items.push_back(line); };
    ftp.Connect();
    ftp.List();

    takeAll();
    // A client made now is made all the same; its connection fails naming why.
    std::unique_ptr<TNMFTP> late;
    EXPECT_NO_THROW(late = std::make_unique<TNMFTP>());
    ASSERT_TRUE(late);
    late->Host = "127.0.0.1";
    late->Port = peer.port();
    EXPECT_EQ(failureOf<ESockError>([&] { late->Connect(); }), tooMany);
    EXPECT_FALSE(late->Connected);
    // A name is looked up with descriptors of the name service's own: none left is no name not found.
    late->Host = "localhost";
    EXPECT_EQ(failureOf<ESockError>([&] { late->Connect(); }), tooMany);
    // The listing's data connection: no socket to be had, and the control connection stays as it was.
    EXPECT_EQ(failureOf<ESockError>([&] { ftp.List(); }), tooMany);
    EXPECT_TRUE(ftp.Connected);
    giveBack();

    ftp.List();
    EXPECT_EQ(items, (std::vector<std::string>(2, "-rw-r--r-- 1 u g 10 Jan 5 2001 a.nfo")));
    ftp.Disconnect();
    EXPECT_EQ(peer.failure(), "");
}

TEST(SocketConnect, UnansweredConnectTimesOutOrIsCancelled)
{
    // A listener whose queue is full drops further connection requests, so a connect to it stays under way.
    QTcpServer full;
    full.setListenBacklogSize(0);
    full.listen(QHostAddress::LocalHost, 0);
    full.pauseAccepting();
    QTcpSocket filler;
    filler.connectToHost(QHostAddress::LocalHost, full.serverPort());
    filler.waitForConnected(2000);

    TPowersock s;
    int failed = 0;
    s.OnConnectionFailed = [&](QObject*) { ++failed; };
    s.Host = "127.0.0.1";
    s.Port = full.serverPort();
    s.TimeOut = 200;
    const std::uint32_t start = GetTickCount();
    EXPECT_EQ(failureOf<ESockError>([&] { s.Connect(); }), "Connection Timed out");
    EXPECT_LT(GetTickCount() - start, 3000u);
    s.TimeOut = 0; // no limit: only a cancel ends it
    Later operatorGivesUp(100, [&] { s.Cancel(); });
    EXPECT_EQ(failureOf<ESockError>([&] { s.Connect(); }), "Connection Canceled");
    EXPECT_EQ(failed, 2);
    EXPECT_FALSE(s.Connected);
}

TEST(SocketTransfer, FullChunkPostsReadMoreAndShortChunkDoesNot)
{
    for (std::size_t size : {std::size_t(16383), std::size_t(16382)}) {
        ScriptPeer peer([size](PeerSession& c) {
            c.peer.waitFor("go");
            c.send(std::string(size, 'x'));
            c.peer.signal("sent");
        });
        TPowersock s;
        s.Host = "127.0.0.1";
        s.Port = peer.port();
        s.Connect();
        int reads = 0;
        std::vector<int> errors;
        s.ReportLevel = 8;
        s.OnStatus = [&](QObject*, const std::string& text) { reads += text == "ReadToStream"; };
        s.OnError = [&](QObject*, std::uint16_t code, const std::string&) { errors.push_back(code); };
        peer.signal("go");
        ASSERT_TRUE(peer.waitFor("sent")); // all of it is waiting before the first notification runs
        ASSERT_TRUE(pumpUntil([&] { return s.ReceiveBuffer.size() == size; }));
        for (int i = 0; i < 10; ++i)
            PumpEvents(); // a posted read-more, if any, runs now
        EXPECT_EQ(reads, size == 16383 ? 2 : 1) << size;
        // The read-more finds nothing waiting, which the receive reports like any receive error.
        EXPECT_EQ(errors, size == 16383 ? std::vector<int>{10035} : std::vector<int>{}) << size;
    }
}

TEST(SocketTransfer, PeerClosingWithPendingDataIsDrained)
{
    ScriptPeer peer(
        [](PeerSession& c) {
            c.send("220 one\r\n220 two\r\n211 no line end");
            c.close();
        },
        2);
    TPowersock s;
    int disconnects = 0;
    s.OnDisconnect = [&](QObject*) { ++disconnects; };
    s.Host = "127.0.0.1";
    s.Port = peer.port();
    s.Connect();
    ASSERT_TRUE(pumpUntil([&] { return !s.Connected; }));
    EXPECT_EQ(s.BytesRecvd, 33);
    EXPECT_EQ(s.ReadLn(), "220 one\r\n"); // whole lines are still there after the close
    EXPECT_EQ(s.ReadLn(), "220 two\r\n");
    EXPECT_EQ(failureOf<ESockError>([&] { s.ReadLn(); }), "Connection Closed");
    EXPECT_EQ(s.ReceiveBuffer.view(), "211 no line end");
    s.Disconnect(); // closing the spare socket ends no connection
    EXPECT_EQ(disconnects, 1);
    s.ReceiveBuffer.clear();
    s.Connect();
    EXPECT_TRUE(s.Connected);
}

TEST(SocketTransfer, LinesGoWholeOrNotAtAllAndLevelsFilterStatus)
{
    const std::string longest(TPowersock::MaxWriteLength - 2, 'x'); // with its CR LF, what one write takes
    ScriptPeer peer([&](PeerSession& c) {
        const std::string cut = c.readBytes(16384);
        c.send(cut == std::string(16384, 'w') ? "200 cut\r\n" : "500 whole\r\n");
        c.expect(longest);
        c.send("200 whole\r\n");
        for (int i = 0; i < 2; ++i) {
            c.expect("NOOP"); // nothing of the refused lines came before it
            c.send("200 ok\r\n");
        }
    });
    TPowersock s;
    s.Host = "127.0.0.1";
    s.Port = peer.port();
    s.Connect();
    s.Write(std::string(20000, 'w')); // raw bytes: the first 16384 go
    EXPECT_EQ(s.ReadLn(), "200 cut\r\n");
    // A line that would go cut (without its end, gluing the next one to it) or in pieces goes not at all.
    const std::string tooLong =
        "The command is too long and was not sent: a command line holds at most 16384 bytes with its CR LF";
    const std::string lineBreak = "The command holds a line break or a NUL and was not sent";
    for (const auto& [line, failure] : {std::pair{std::string(20000, 'w'), tooLong},
                                        {longest + "x", tooLong},
                                        {std::string("NOOP\r\nDELE x"), lineBreak},
                                        {std::string("NOOP\nDELE x"), lineBreak},
                                        {std::string("NOOP\r"), lineBreak},
                                        {std::string("NO\0OP", 5), lineBreak}}) {
        const std::string& sent = line; // a lambda may not capture a structured binding (Clang refuses it)
        EXPECT_EQ(failureOf<ELineError>([&] { s.Writeln(sent); }), failure) << line.substr(0, 20);
    }
    EXPECT_EQ(s.BytesSent, 16384);
    s.Writeln(longest);
    EXPECT_EQ(s.ReadLn(), "200 whole\r\n");

    Lines statuses;
    s.OnStatus = [&](QObject*, const std::string& text) { statuses.push_back(text); };
    s.ReportLevel = 2;
    s.Transaction("NOOP");
    EXPECT_EQ(statuses, Lines{"200 ok\r\n"});
    statuses.clear();
    s.ReportLevel = 8;
    s.Transaction("NOOP");
    const Lines expected = {"Transaction", "Writeln", "Write", "Sending Buffer", "ReadLn", "200 ok\r\n"};
    Lines seen;
    std::copy_if(statuses.begin(), statuses.end(), std::back_inserter(seen), [&](const std::string& t) {
        return std::find(expected.begin(), expected.end(), t) != expected.end();
    });
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(peer.failure(), "");
}

// How many times the calling thread has slept (given up the processor of its own accord) so far.
long sleepsOfThisThread()
{
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

// A connection on a thread of its own, as a batch runs each site, sleeps through a wait until something ends it: the
// server's reply, the wait's deadline, or a cancel that another thread queues to it. It wakes for nothing in between,
// so a batch of many sites costs nothing while their servers think.
TEST(SocketWaits, WaitOnAThreadOfItsOwnSleepsUntilTheReplyTheDeadlineOrACancel)
{
    ScriptPeer peer([](PeerSession& c) {
        c.peer.waitFor("answer");
        c.send("250 late\r\n");
        c.waitClosed();
    });
    struct Wait {
        std::string outcome;
        long sleeps = 0;
        qint64 ms = 0;
    };
    std::vector<Wait> waits;
    std::atomic<TPowersock*> client{nullptr};
    std::atomic<int> begun{0}; // waits begun on the thread
    std::unique_ptr<QThread> thread(QThread::create([&] {
        TPowersock s;
        s.Host = "127.0.0.1";
        s.Port = peer.port();
        s.ReportLevel = StatusLevel::Operations;
        s.OnStatus = [&](QObject*, const std::string& text) { begun += text == "ReadLn"; };
        const auto measure = [&](std::int32_t replyTimeout) {
            s.ReplyTimeout = replyTimeout;
            Wait wait;
            QElapsedTimer clock;
            clock.start();
            const long before = sleepsOfThisThread();
            try {
                wait.outcome = s.ReadLn();
            } catch (const Exception& e) {
                wait.outcome = e.message();
            }
            wait.sleeps = sleepsOfThisThread() - before;
            wait.ms = clock.elapsed();
            waits.push_back(wait);
        };
        try {
            s.Connect();
        } catch (const Exception& e) {
            waits.push_back({"connect: " + e.message()});
            return;
        }
        client = &s;
        measure(0);   // the reply ends it
        measure(300); // the deadline does
        measure(0);   // a cancel from the main thread does
        client = nullptr;
    }));
    thread->start();
    const auto waitBegun = [&](int n) { return pumpUntil([&] { return begun >= n || thread->isFinished(); }, 10000); };
    ASSERT_TRUE(waitBegun(1));
    QThread::msleep(200); // the server thinks
    peer.signal("answer");
    ASSERT_TRUE(waitBegun(3));
    QThread::msleep(200); // the operator thinks
    if (TPowersock* s = client)
        QMetaObject::invokeMethod(
            s, [s] { s->Cancel(); }, Qt::QueuedConnection);
    ASSERT_TRUE(thread->wait(10000));

    ASSERT_EQ(waits.size(), 3u) << (waits.empty() ? "" : waits[0].outcome);
    EXPECT_EQ(waits[0].outcome, "250 late\r\n");
    EXPECT_EQ(waits[1].outcome, "No answer from the server in 0.3 seconds");
    EXPECT_GE(waits[1].ms, 300);
    EXPECT_EQ(waits[2].outcome, "Socket readln aborted");
    // Each wait lasted 200 ms or more; a wait that woke in turns of a few milliseconds would have slept a hundred
    // times or more.
    for (const Wait& wait : waits)
        EXPECT_LT(wait.sleeps, 20) << wait.outcome << " after " << wait.ms << " ms";
    EXPECT_EQ(peer.failure(), "");
}

TEST(SocketState, NotConnectedIsAStandardException)
{
    TPowersock s;
    int asked = 0;
    s.OnConnectionRequired = [&](bool& Handled) { Handled = ++asked > 0; }; // claims to connect, but does not
    try {
        s.CheckConnected();
        ADD_FAILURE() << "passed";
    } catch (const ESockError&) {
        ADD_FAILURE() << "a socket error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message(), "Not Connected");
    }
    EXPECT_EQ(asked, 1);
}

} // namespace
