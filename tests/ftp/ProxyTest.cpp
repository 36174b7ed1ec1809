// The client through proxies: Dante (SOCKS5, with and without a password) and tinyproxy (HTTP CONNECT, with and
// without Basic authentication) from their Debian packages, in front of pyftpdlib, log in and list in passive mode,
// in clear text and over explicit TLS checked against the site's own name; the data connection takes the proxy too,
// and the site's name is looked up by the proxy, never here. Proxies that refuse, cannot reach the site, want another
// password or go down in the middle of a listing say so, naming the hop; scripted proxies that answer garbage, too
// much, too slowly or nothing at all end in a clear error within the time-out.

#include "FtpTestSupport.h"
#include "Proxies.h"
#include "PyFtpServer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <memory>

namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

// A name that only Dante can look up: through SOCKS5 the console never looks up the site's name itself.
const char* const siteName = "ftp.kolvane.test";

std::size_t count(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

void aimAt(TNMFTP& ftp, const ConnectPath& via, const std::string& host, quint16 port)
{
    ftp.Via = via;
    ftp.Host = host;
    ftp.Port = port;
    ftp.UserID = "kolvane";
    ftp.Password = "s3cret";
    ftp.DataMode = TDataMode::Passive;
    ftp.ParseList = true;
    ftp.ReplyTimeout = 10000;
}

// The proxies and the servers behind them, started once for the tests that only use them.
class ProxyPaths : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        shared_ = new Shared;
        Shared& s = *shared_;
        QDir dir(s.root.path());
        if (!s.root.isValid() || !dir.mkpath("pub/Some.Release-GRP") || !dir.mkpath("ca")) {
            s.problem = "cannot make the served folder";
            return;
        }
        QFile file(dir.filePath("pub/a.nfo"));
        file.open(QIODevice::WriteOnly);
        file.write("nfo");
        file.close();
        // The site's certificate is checked against the site's name through the proxy, as if there were none: the
        // system's authorities are, for these tests, one authority of their own.
        s.authority = TestCertificate::make("Kolvane Proxy Test Authority", {}, nullptr, true);
        s.certificate = TestCertificate::make(siteName, {siteName, "127.0.0.1"}, &s.authority);
        TestCertificate authorityOnly = s.authority;
        authorityOnly.keyPem.clear();
        if (!s.certificate.write(dir.filePath("server.pem")) || !authorityOnly.write(dir.filePath("ca/ca.pem"))) {
            s.problem = "cannot write the certificates";
            return;
        }
        s.caFile = dir.filePath("ca/ca.pem");
        for (const auto& [server, tls] : {std::pair{&s.plain, false}, std::pair{&s.tls, true}}) {
            const std::string problem =
                server->start(dir.filePath("pub"), "127.0.0.1", tls ? dir.filePath("server.pem") : QString());
            if (!problem.empty()) {
                s.problem = problem;
                return;
            }
        }
        const ProxyOptions password{"proxyuser", "s3cret", {{siteName, "127.0.0.1"}}, "127.0.0.2"};
        const ProxyOptions open{"", "", {{siteName, "127.0.0.1"}}, "127.0.0.2"};
        s.proxies.push_back(std::make_unique<TestProxy>(ProxyProgram::Dante, open));
        s.proxies.push_back(std::make_unique<TestProxy>(ProxyProgram::Dante, password));
        s.proxies.push_back(std::make_unique<TestProxy>(ProxyProgram::Tinyproxy, ProxyOptions{}));
        s.proxies.push_back(
            std::make_unique<TestProxy>(ProxyProgram::Tinyproxy, ProxyOptions{"proxyuser", "s3cret", {}, ""}));
        s.refusing = std::make_unique<TestProxy>(ProxyProgram::Tinyproxy, ProxyOptions{"", "", {}, "443 only"});
        if (const std::string problem = s.refusing->start(); !problem.empty()) {
            s.problem = problem;
            return;
        }
        for (auto& proxy : s.proxies)
            if (const std::string problem = proxy->start(); !problem.empty()) {
                s.problem = problem;
                return;
            }
    }
    static void TearDownTestSuite()
    {
        delete shared_;
        shared_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(shared_->problem, "") << shared_->problem; }

    struct Shared {
        QTemporaryDir root;
        TestCertificate authority, certificate;
        QString caFile;
        PyFtpServer plain, tls;
        std::vector<std::unique_ptr<TestProxy>> proxies; // Dante open, Dante with password, tinyproxy open, with
        std::unique_ptr<TestProxy> refusing;             // tinyproxy for port 443 only
        std::string problem;
    };
    static Shared* shared_;
};

ProxyPaths::Shared* ProxyPaths::shared_ = nullptr;

TEST_F(ProxyPaths, LogInAndListThroughEachProxyInClearTextAndOverTlsCheckedAgainstTheSitesName)
{
    Shared& s = *shared_;
    qputenv("SSL_CERT_FILE", s.caFile.toLocal8Bit());
    TlsContext::rereadSystemStore();
    for (auto& proxy : s.proxies) {
        for (const bool tls : {false, true}) {
            const ConnectPath via = proxy->path();
            const bool socks = via.kind == ProxyKind::Socks5;
            SCOPED_TRACE(via.url() + (tls ? " TLS" : " clear text"));
            const std::string before = proxy->logs();
            // Tinyproxy looks names up with the system, which knows nothing of the test's name; its address then.
            const std::string host = socks ? siteName : "127.0.0.1";
            TNMFTP ftp;
            EventLog log(ftp);
            bool asked = false;
            ftp.OnUntrustedCertificate = [&](const TCertificateInfo&, bool&) { asked = true; };
            aimAt(ftp, via, host, tls ? s.tls.port() : s.plain.port());
            ftp.Security = tls ? TFtpSecurity::ExplicitRequired : TFtpSecurity::Plain;
            auto dog = watchdog(ftp, 20000);
            const std::uint64_t lookups = HostLookup::startedCount();
            ftp.Connect();
            EXPECT_EQ(ftp.isSecure(), tls);
            EXPECT_FALSE(asked) << "the certificate did not verify against " << host;
            ftp.List();
            ASSERT_TRUE(ftp.DirectoryList);
            Lines names(ftp.DirectoryList->NameList.begin(), ftp.DirectoryList->NameList.end());
            std::sort(names.begin(), names.end());
            EXPECT_EQ(names, (Lines{"Some.Release-GRP", "a.nfo"}));
            EXPECT_EQ(log.entries.back(), "success:4");
            ftp.SendCommand("NOOP");
            ftp.Disconnect();
            // Logging in again (a reconnect) takes the same path.
            ftp.Connect();
            EXPECT_EQ(ftp.isSecure(), tls);
            ftp.Disconnect();
            EXPECT_EQ(HostLookup::startedCount(), lookups) << "a name was looked up here";
            EXPECT_FALSE(dog->fired);
            // Every connection, the control connections and the listing's, was a tunnel of the proxy's.
            const std::string logged = proxy->logs().substr(std::min(before.size(), proxy->logs().size()));
            const std::string request = socks ? "tcp/connect [" : "): CONNECT " + host + ":";
            EXPECT_EQ(count(logged, request), 3u) << logged;
        }
    }
    qunsetenv("SSL_CERT_FILE");
    TlsContext::rereadSystemStore();
    EXPECT_EQ(count(s.tls.stop().toStdString(), "DATA-TLS reused=1"), s.proxies.size());
}

TEST_F(ProxyPaths, FailuresNameTheHopWhereTheyHappened)
{
    Shared& s = *shared_;
    const ConnectPath danteOpen = s.proxies[0]->path(), dantePassword = s.proxies[1]->path();
    const ConnectPath tinyOpen = s.proxies[2]->path(), tinyPassword = s.proxies[3]->path();
    const quint16 closed = closedPort();
    const std::string socksAt = "The SOCKS5 proxy 127.0.0.1:", httpAt = "The HTTP proxy 127.0.0.1:";
    auto withPassword = [](ConnectPath path, std::string password) {
        path.password = std::move(password);
        return path;
    };
    auto withoutUser = [](ConnectPath path) {
        path.user.clear();
        path.password.clear();
        return path;
    };
    ConnectPath nobody = danteOpen;
    nobody.port = closed;
    struct Case {
        ConnectPath via;
        std::string host;
        quint16 port;
        std::string message;
        FailureKind kind;
        ProxyStage stage;
    };
    const std::string danteHop = socksAt + std::to_string(danteOpen.port);
    const std::string tinyHop = httpAt + std::to_string(tinyOpen.port);
    const Case cases[] = {
        {nobody, siteName, s.plain.port(),
         "Cannot reach the SOCKS5 proxy 127.0.0.1:" + std::to_string(closed) + ": 10061:Connection refused",
         FailureKind::Refused, ProxyStage::Reach},
        {danteOpen, "127.0.0.2", s.plain.port(),
         danteHop + " could not reach 127.0.0.2:" + std::to_string(s.plain.port()) +
             ": connection not allowed by its rules (SOCKS5 reply 2)",
         FailureKind::Other, ProxyStage::Tunnel},
        {danteOpen, siteName, closed,
         danteHop + " could not reach " + siteName + ":" + std::to_string(closed) +
             ": connection refused (SOCKS5 reply 5)",
         FailureKind::Refused, ProxyStage::Tunnel},
        {withPassword(dantePassword, "wrong"), siteName, s.plain.port(),
         socksAt + std::to_string(dantePassword.port) +
             " refused the user name and password given for user "
             "\"proxyuser\"",
         FailureKind::Other, ProxyStage::Accept},
        {withoutUser(dantePassword), siteName, s.plain.port(),
         socksAt + std::to_string(dantePassword.port) +
             " wants a user name and password, and the connection path names no user",
         FailureKind::Other, ProxyStage::Accept},
        {tinyOpen, "127.0.0.1", closed,
         tinyHop + " could not reach 127.0.0.1:" + std::to_string(closed) + ": HTTP/1.1 500", FailureKind::Unreachable,
         ProxyStage::Tunnel},
        {s.refusing->path(), "127.0.0.1", s.plain.port(),
         httpAt + std::to_string(s.refusing->port()) +
             " refused the tunnel to 127.0.0.1:" + std::to_string(s.plain.port()) + ": HTTP/1.1 403",
         FailureKind::Other, ProxyStage::Tunnel},
        {withPassword(tinyPassword, "wrong"), "127.0.0.1", s.plain.port(),
         httpAt + std::to_string(tinyPassword.port) +
             " refused the user name and password given for user \"proxyuser\": HTTP/1.0 401",
         FailureKind::Other, ProxyStage::Accept},
        {withoutUser(tinyPassword), "127.0.0.1", s.plain.port(),
         httpAt + std::to_string(tinyPassword.port) +
             " wants a user name and password, and the connection path names no user: HTTP/1.0 407",
         FailureKind::Other, ProxyStage::Accept},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        TNMFTP ftp;
        EventLog log(ftp);
        aimAt(ftp, c.via, c.host, c.port);
        auto dog = watchdog(ftp, 20000);
        try {
            ftp.Connect();
            ADD_FAILURE() << "the log-in went through";
        } catch (const EProxyError& e) {
            // The status words of a proxy's refusal are its own: the test holds them to their start.
            EXPECT_EQ(e.message().substr(0, c.message.size()), c.message);
            EXPECT_EQ(e.kind(), c.kind);
            EXPECT_EQ(int(e.stage()), int(c.stage));
        }
        EXPECT_FALSE(ftp.Connected);
        EXPECT_EQ(log.count("disconnect"), 0u);
        EXPECT_EQ(log.count("failed"), 1u);
        EXPECT_FALSE(dog->fired);
    }

    // Active mode cannot come back through the proxy: refused before anything goes out for the listing, and the
    // connection stays as it was.
    TNMFTP ftp;
    aimAt(ftp, danteOpen, siteName, s.plain.port());
    ftp.Connect();
    EventLog log(ftp);
    ftp.DataMode = TDataMode::Active;
    EXPECT_EQ(failureOf<ESockError>([&] { ftp.List(); }), ActiveThroughProxyMessage);
    EXPECT_EQ(log.entries, Lines{});
    ftp.DataMode = TDataMode::PassiveElseActive;
    ftp.List();
    EXPECT_EQ(ftp.DirectoryList->NameList.size(), 2u);
    ftp.Disconnect();
}

// A proxy that dies under both connections in the middle of a listing: the lines that came are handed out, and the
// listing is reported as cut, not as done.
TEST(ProxyCut, AProxyThatGoesDownMidListingCutsTheListing)
{
    for (const ProxyProgram program : {ProxyProgram::Dante, ProxyProgram::Tinyproxy}) {
        SCOPED_TRACE(TestProxy::name(program));
        TestProxy proxy(program);
        ASSERT_EQ(proxy.start(), "");
        ScriptPeer peer([](PeerSession& s) {
            serveLogin(s);
            s.expect("EPSV");
            auto data = PeerSession::listenData();
            s.send("229 Entering Extended Passive Mode (|||" + std::to_string(data->serverPort()) + "|)\r\n");
            s.expect("LIST");
            s.send("150 Here it comes\r\n");
            auto socket = s.acceptData(*data);
            if (!socket)
                return;
            PeerSession::sendOn(*socket, "-rw-r--r-- 1 u g 10 Jan 5 2001 first.nfo\r\n");
            s.peer.waitFor("cut"); // the rest never comes: the proxy is gone
        });
        TNMFTP ftp;
        EventLog log(ftp);
        aimAt(ftp, proxy.path(), "127.0.0.1", peer.port());
        ftp.UserID = "bob";
        auto dog = watchdog(ftp, 20000);
        ftp.ParseList = false;
        loginTo(ftp, peer);
        ftp.OnListItem = [&](const std::string& line) {
            log.add("item:" + line);
            proxy.kill();
        };
        EXPECT_EQ(failureOf<ESockError>([&] { ftp.List(); }), CutListingMessage);
        EXPECT_EQ(log.count("item:-rw-r--r-- 1 u g 10 Jan 5 2001 first.nfo"), 1u);
        EXPECT_EQ(log.count("success:4"), 0u);
        EXPECT_FALSE(ftp.Connected);
        EXPECT_FALSE(dog->fired);
        peer.signal("cut");
    }
}

// Scripted proxies that answer as no proxy should: each ends in a clear error within the time-out, with the
// connection closed and nothing left behind for the next log-in.
TEST(ProxyHostile, GarbageEndlessHeadersFloodsAndSilenceEndInAClearError)
{
    struct Case {
        ProxyKind kind;
        ScriptPeer::Script script;
        std::string message; // after the hop's name, its start
        FailureKind failure;
        std::string host = siteName;
    };
    const std::string socksRequest = "\x05\x01\x00\x03\x10"s + siteName + "\x00\x15"s;
    auto greeted = [](PeerSession& s) {
        if (s.readBytes(3) != "\x05\x01\x00"s)
            s.peer.fail("no SOCKS5 greeting");
    };
    const Case cases[] = {
        {ProxyKind::Socks5,
         [&](PeerSession& s) {
             greeted(s);
             s.send("HTTP/1.0 400 Bad Request\r\n\r\n");
             s.waitClosed();
         },
         " answered with bytes that are no SOCKS5 reply: HTTP/1.0 400 Ba", FailureKind::Other},
        {ProxyKind::Socks5,
         [&](PeerSession& s) {
             greeted(s);
             s.waitClosed(); // nothing at all
         },
         " did not answer in 0.6 seconds", FailureKind::TimedOut},
        {ProxyKind::Socks5, [&](PeerSession& s) { s.close(); }, " closed the connection before it answered",
         FailureKind::Lost},
        {ProxyKind::Socks5,
         [&](PeerSession& s) {
             greeted(s);
             s.send("\x05\x00"s);
             // The site's name as the operator wrote it, for the proxy to look up.
             if (s.readBytes(socksRequest.size()) != socksRequest)
                 s.peer.fail("not a CONNECT for the site's name");
             s.send("\x05\x04\x00\x01\x00\x00\x00\x00\x00\x00"s);
             s.waitClosed();
         },
         " could not reach ftp.kolvane.test:21: host unreachable (SOCKS5 reply 4)", FailureKind::Unreachable},
        {ProxyKind::Http,
         [&](PeerSession& s) {
             if (s.readLine() != "CONNECT ftp.kolvane.test:21 HTTP/1.1\r\n")
                 s.peer.fail("not a CONNECT for the site's name");
             s.send("HTTP/1.1 200 OK\r\n");
             // A header that never ends, one line at a time, each well within the time-out of the one before.
             const auto start = Clock::now();
             while (Clock::now() - start < std::chrono::seconds(3) &&
                    s.control().socket().state() == QAbstractSocket::ConnectedState) {
                 s.send("X-Padding: yes\r\n");
                 QThread::msleep(20);
             }
         },
         " did not finish its answer in 0.6 seconds", FailureKind::TimedOut},
        {ProxyKind::Http,
         [&](PeerSession& s) {
             s.readLine();
             std::string flood = "HTTP/1.1 200 OK\r\n";
             while (flood.size() < 200000)
                 flood += "X-Padding: " + std::string(100, 'y') + "\r\n";
             s.send(flood);
             s.waitClosed();
         },
         " sent a header longer than 16384 bytes", FailureKind::Other},
        {ProxyKind::Http,
         [&](PeerSession& s) {
             s.readLine();
             s.send("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"s);
             s.waitClosed();
         },
         " answered with something that is no HTTP reply: \\x16\\x03\\x01\\x02", FailureKind::Other},
        {ProxyKind::Http,
         [&](PeerSession& s) {
             // An IPv6 site written in brackets, as an operator may: one pair of them in the request.
             if (s.readLine() != "CONNECT [::1]:21 HTTP/1.1\r\n")
                 s.peer.fail("not a CONNECT for [::1]:21");
             s.send("HTTP/1.1 502 Bad Gateway\r\n\r\n");
             s.waitClosed();
         },
         " could not reach [::1]:21: HTTP/1.1 502 Bad Gateway", FailureKind::Unreachable, "[::1]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        ScriptPeer peer(c.script);
        TNMFTP ftp;
        EventLog log(ftp);
        aimAt(ftp, ConnectPath{c.kind, "127.0.0.1", peer.port(), "", ""}, c.host, 21);
        ftp.ReplyTimeout = 600;
        auto dog = watchdog(ftp, 10000);
        const std::uint64_t lookups = HostLookup::startedCount();
        const auto start = Clock::now();
        const std::string expected =
            (c.kind == ProxyKind::Socks5 ? "The SOCKS5 proxy 127.0.0.1:"s : "The HTTP proxy 127.0.0.1:"s) +
            std::to_string(peer.port()) + c.message;
        try {
            ftp.Connect();
            ADD_FAILURE() << "the log-in went through";
        } catch (const EProxyError& e) {
            EXPECT_EQ(e.message().substr(0, expected.size()), expected);
            EXPECT_EQ(e.kind(), c.failure);
        }
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(HostLookup::startedCount(), lookups);
        EXPECT_FALSE(ftp.Connected);
        EXPECT_TRUE(ftp.ReceiveBuffer.empty());
        EXPECT_EQ(log.count("disconnect"), 0u);
        EXPECT_FALSE(dog->fired);
        EXPECT_EQ(peer.failure(), "");
    }

    // A silent proxy with no time-out waits until the operator cancels, and then ends at once.
    ScriptPeer silent([](PeerSession& s) { s.waitClosed(); });
    TNMFTP ftp;
    aimAt(ftp, ConnectPath{ProxyKind::Socks5, "127.0.0.1", silent.port(), "", ""}, siteName, 21);
    ftp.ReplyTimeout = 0;
    Later cancel(300, [&] { ftp.Cancel(); });
    auto dog = watchdog(ftp, 10000);
    const auto start = Clock::now();
    try {
        ftp.Connect();
        ADD_FAILURE() << "the log-in went through";
    } catch (const ESockError& e) {
        EXPECT_EQ(e.message(), "Connection Canceled");
        EXPECT_EQ(e.kind(), FailureKind::Cancelled);
    }
    EXPECT_TRUE(cancel.fired);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(dog->fired);
}

} // namespace
