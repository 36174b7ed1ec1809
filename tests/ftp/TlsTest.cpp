// FTP over TLS and passive mode against scripted peers that misbehave on purpose: certificates that do not verify,
// are not the pinned one or are issued for another name, a refused AUTH, handshakes that stall, connections that end
// without their close notification, a data connection the server will not take because it did not resume the
// session, PASV replies that name somebody else, and passive connections that cannot be had.

#include "FtpTestSupport.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QThread>

namespace {

std::string lowerCase(std::string text)
{
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The peer's half of an explicit TLS log-in up to the handshake.
bool serveAuthTls(PeerSession& c, PeerTlsServer& tls)
{
    c.send("220 ready\r\n");
    c.expect("AUTH TLS");
    c.send("234 AUTH TLS successful\r\n");
    return c.startTls(tls);
}

// ... and the rest of it, over TLS.
void serveProtectedLogin(PeerSession& c)
{
    c.expect("PBSZ 0");
    c.send("200 PBSZ=0\r\n");
    c.expect("PROT P");
    c.send("200 Protection level set to P\r\n");
    c.expect("USER bob");
    c.send("230 in\r\n");
}

// A passive data connection: the listener's port in an EPSV reply, and the connection as it comes.
std::unique_ptr<PeerStream> servePassive(PeerSession& c, QTcpServer& listener)
{
    c.expect("EPSV");
    c.send("229 Entering Extended Passive Mode (|||" + std::to_string(listener.serverPort()) + "|)\r\n");
    auto socket = c.acceptData(listener);
    return socket ? std::make_unique<PeerStream>(std::move(socket)) : nullptr;
}

TEST(FtpTls, LogInTrustPinsAndRefusals)
{
    // The system's authorities are, for this test, one authority of its own.
    const TestCertificate authority = TestCertificate::make("Kolvane Test Authority", {}, nullptr, true);
    const TestCertificate issued = TestCertificate::make("127.0.0.1", {"127.0.0.1", "localhost"}, &authority);
    const TestCertificate otherName = TestCertificate::make("ftp.example", {"ftp.example"}, &authority);
    const TestCertificate selfSigned = TestCertificate::make("kolvane self-signed", {"127.0.0.1"});
    QTemporaryDir dir;
    TestCertificate authorityOnly = authority;
    authorityOnly.keyPem.clear();
    ASSERT_TRUE(dir.isValid() && authorityOnly.write(dir.filePath("ca.pem")));
    qputenv("SSL_CERT_FILE", dir.filePath("ca.pem").toLocal8Bit());
    // The store is read once for the process: this test's store is read by the next log-in.
    TlsContext::rereadSystemStore();

    struct Case {
        const TestCertificate& served;
        std::string pin;
        int trust; // the operator's answer; -1: nobody asked
        std::string failure;
        bool asked;
    };
    const Case cases[] = {
        {issued, "", -1, "", false},
        {selfSigned, "", 0, "The server's certificate is not trusted: self-signed certificate", true},
        {selfSigned, "", 1, "", true},
        {otherName, "", 0, "The server's certificate is not trusted: IP address mismatch", true},
        {selfSigned, lowerCase(selfSigned.fingerprint), 0, "", false}, // a pin needs no authority
        {issued, selfSigned.fingerprint, 1,
         "The server's certificate is not the pinned one: pinned " + selfSigned.fingerprint + ", presented " +
             issued.fingerprint,
         false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.served.fingerprint + " pinned " + row.pin);
        PeerTlsServer tls(row.served);
        const bool refused = !row.failure.empty();
        ScriptPeer peer([&](PeerSession& c) {
            if (!serveAuthTls(c, tls))
                return;
            if (refused) {
                // Not a byte after the handshake, not even the close notification.
                if (!c.waitClosed() || !c.control().pending().empty())
                    c.peer.fail("the client went on: " + c.control().pending());
                return;
            }
            serveProtectedLogin(c);
            c.expect("QUIT");
            c.send("221 bye\r\n");
        });
        TNMFTP ftp;
        EventLog log(ftp);
        ftp.Security = TFtpSecurity::ExplicitRequired;
        ftp.PinnedFingerprint = row.pin;
        std::vector<TCertificateInfo> asked;
        if (row.trust >= 0)
            ftp.OnUntrustedCertificate = [&](const TCertificateInfo& info, bool& Trust) {
                asked.push_back(info);
                Trust = row.trust == 1;
            };
        auto dog = watchdog(ftp);
        if (refused) {
            EXPECT_EQ(failureOf<ETlsError>([&] { loginTo(ftp, peer); }), row.failure);
            EXPECT_EQ(Lines(log.entries.end() - 3, log.entries.end()),
                      (Lines{"failed", "disconnect", "status:Disconnected"}));
        } else {
            loginTo(ftp, peer);
            ASSERT_GE(log.entries.size(), 11u);
            EXPECT_EQ(log.entries[3].rfind("status:Secured with TLSv1.3 ", 0), 0u) << log.entries[3];
            log.entries.erase(log.entries.begin() + 3);
            EXPECT_EQ(
                log.entries,
                (Lines{"status:220 ready\r\n", "status:AUTH TLS", "status:234 AUTH TLS successful\r\n", "status:PBSZ 0",
                       "status:200 PBSZ=0\r\n", "status:PROT P", "status:200 Protection level set to P\r\n",
                       "status:USER bob", "status:230 in\r\n", "connect"}));
            EXPECT_TRUE(ftp.isSecure());
            ftp.Disconnect();
        }
        EXPECT_EQ(asked.size(), row.asked ? 1u : 0u);
        if (!asked.empty()) {
            EXPECT_EQ(asked[0].sha256Fingerprint, row.served.fingerprint);
            EXPECT_NE(asked[0].subject.find("CN="), std::string::npos) << asked[0].subject;
            EXPECT_NE(asked[0].issuer.find("O=Kolvane tests"), std::string::npos) << asked[0].issuer;
            EXPECT_EQ(asked[0].notAfter.size(), 23u) << asked[0].notAfter; // 2025-01-31 12:00:00 UTC
            EXPECT_LT(asked[0].notBefore, asked[0].notAfter);
        }
        EXPECT_FALSE(dog->fired);
        EXPECT_EQ(peer.failure(), "");
    }
    qunsetenv("SSL_CERT_FILE");
    TlsContext::rereadSystemStore();

    // A server that will not speak TLS: refused where TLS is required (no user name goes out in clear text), and
    // clear text with a word to the operator where it was only wanted if offered.
    for (const TFtpSecurity security : {TFtpSecurity::ExplicitRequired, TFtpSecurity::ExplicitIfOffered}) {
        ScriptPeer peer([](PeerSession& c) {
            c.send("220 ready\r\n");
            c.expect("AUTH TLS");
            c.send("504 Security mechanism not implemented\r\n");
            c.readLine(); // USER in clear text, or nothing
            c.send("230 in\r\n");
        });
        TNMFTP ftp;
        EventLog log(ftp);
        ftp.Security = security;
        if (security == TFtpSecurity::ExplicitRequired) {
            EXPECT_EQ(failureOf<ETlsError>([&] { loginTo(ftp, peer); }),
                      "TLS is required, but the server refused AUTH TLS: 504 Security mechanism not implemented");
            EXPECT_TRUE(pumpUntil([&] { return peer.received().size() == 1; }));
            EXPECT_EQ(peer.received(), Lines{"AUTH TLS\r\n"});
        } else {
            loginTo(ftp, peer);
            EXPECT_EQ(log.entries, (Lines{"status:220 ready\r\n", "status:AUTH TLS",
                                          "status:504 Security mechanism not implemented\r\n",
                                          "status:The server does not offer TLS: going on without encryption",
                                          "status:USER bob", "status:230 in\r\n", "connect"}));
            EXPECT_FALSE(ftp.isSecure());
        }
    }
}

TEST(FtpTls, StalledHandshakesEndWhenTheOperatorCancels)
{
    const TestCertificate certificate = TestCertificate::make("kolvane", {"127.0.0.1"});
    PeerTlsServer tls(certificate);
    // Implicit TLS: the server takes the connection and never answers the client's hello, twice. Then one that does.
    int connection = 0; // the peer thread's only
    ScriptPeer peer(
        [&](PeerSession& c) {
            if (++connection <= 2) {
                c.waitClosed();
                return;
            }
            if (!c.startTls(tls))
                return;
            c.send("220 secure from the start\r\n");
            serveProtectedLogin(c);
            // A data connection that is taken, but whose handshake never gets an answer.
            auto listener = PeerSession::listenData();
            auto data = servePassive(c, *listener);
            c.expect("LIST");
            c.send("150 Here it comes\r\n");
            c.peer.waitFor("second done");
            c.expect("NOOP");
            c.send("200 still here\r\n");
        },
        3);
    TNMFTP ftp;
    EventLog log(ftp);
    ftp.Security = TFtpSecurity::Implicit;
    ftp.PinnedFingerprint = certificate.fingerprint;
    {
        Later operatorGivesUp(100, [&] { ftp.Cancel(); });
        EXPECT_EQ(failureOf<EAbortError>([&] { loginTo(ftp, peer); }), "TLS handshake aborted");
    }
    EXPECT_EQ(log.entries, (Lines{"disconnect", "status:Disconnected"}));
    EXPECT_FALSE(ftp.Connected);
    // With a reply time-out nobody has to cancel.
    log.entries.clear();
    ftp.ReplyTimeout = 300;
    EXPECT_EQ(failureOf<ENoAnswerError>([&] { loginTo(ftp, peer); }), "No answer from the server in 0.3 seconds");
    EXPECT_EQ(log.entries, (Lines{"disconnect", "status:Disconnected"}));
    ftp.ReplyTimeout = 0;
    log.entries.clear();
    loginTo(ftp, peer);
    EXPECT_EQ(log.entries.front().rfind("status:Secured with ", 0), 0u);
    EXPECT_EQ(log.entries[1], "status:220 secure from the start\r\n");
    ftp.DataMode = TDataMode::Passive;
    {
        Later operatorGivesUp(100, [&] { ftp.Cancel(); });
        EXPECT_EQ(failureOf<EAbortError>([&] { ftp.List(); }), "TLS handshake aborted");
    }
    peer.signal("second done");
    ftp.SendCommand("NOOP");
    EXPECT_EQ(ftp.TransactionReply, "200 still here\r\n");
    EXPECT_EQ(peer.failure(), "");
}

TEST(FtpTls, ListingsResumeTheSessionAndEndsWithoutCloseNotify)
{
    const TestCertificate certificate = TestCertificate::make("kolvane", {"127.0.0.1"});
    const std::string listing =
        "total 2\r\n-rw-r--r-- 1 u g 10 Jan 5 2001 a.nfo\r\n-rw-r--r-- 1 u g 7 Jan 5 2001 b.zip\r\n";
    PeerTlsServer tls(certificate);
    ScriptPeer peer([&](PeerSession& c) {
        if (!serveAuthTls(c, tls))
            return;
        serveProtectedLogin(c);
        // Passive: the data connection must resume the control connection's session; the listing ends with the
        // close notification.
        auto listener = PeerSession::listenData();
        auto data = servePassive(c, *listener);
        c.expect("LIST");
        c.send("150 Opening data connection\r\n");
        if (!data || !data->startTls(tls))
            return c.peer.fail("no TLS data connection");
        if (!data->sessionReused())
            c.peer.fail("the data connection did not resume the session");
        data->send(listing);
        data->close();
        c.send("226 Transfer complete\r\n");
        // Active: the server connects, and hangs up without the close notification.
        const std::string port = c.readLine();
        c.send("200 PORT ok\r\n");
        c.expect("LIST");
        c.send("150 Opening data connection\r\n");
        auto active = c.connectData(port);
        if (!active)
            return;
        PeerStream stream(std::move(active));
        if (!stream.startTls(tls) || !stream.sessionReused())
            return c.peer.fail("no resumed TLS active data connection");
        stream.send(listing);
        stream.close(false);
        c.send("226 Transfer complete\r\n");
        // A reply line without end, longer than the client holds: cut off as in clear text.
        c.expect("SITE NFO huge.nfo");
        const std::string chunk(1 << 20, 'A');
        for (std::size_t sent = 0; sent <= TPowersock::MaxUnreadBytes + chunk.size(); sent += chunk.size())
            c.send("200-" + chunk);
    });
    TNMFTP ftp;
    ftp.Security = TFtpSecurity::ExplicitRequired;
    ftp.PinnedFingerprint = certificate.fingerprint;
    ftp.DataMode = TDataMode::Passive;
    loginTo(ftp, peer);
    EventLog log(ftp);
    auto dog = watchdog(ftp);
    ftp.List();
    const Lines items = {"item:total 2", "item:-rw-r--r-- 1 u g 10 Jan 5 2001 a.nfo",
                         "item:-rw-r--r-- 1 u g 7 Jan 5 2001 b.zip", "stop"};
    const std::string received = "status:Received " + std::to_string(listing.size()) + " Bytes";
    ASSERT_GE(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[1].rfind("status:229 Entering Extended Passive Mode (|||", 0), 0u);
    log.entries.erase(log.entries.begin() + 1);
    EXPECT_EQ(log.entries,
              (Lines{"status:EPSV", "status:LIST", "status:150 Opening data connection\r\n", "start", items[0],
                     items[1], items[2], items[3], received, "status:226 Transfer complete\r\n", "success:4"}));
    // Without the close notification nobody can tell the server's end from somebody's on the path cutting the
    // listing short: the lines that came are handed out, but the listing is no success, whatever the reply says.
    log.entries.clear();
    ftp.DataMode = TDataMode::Active;
    EXPECT_EQ(failureOf<ESockError>([&] { ftp.List(); }), TruncatedListingMessage);
    EXPECT_EQ(
        Lines(log.entries.begin() + 5, log.entries.end()),
        (Lines{items[0], items[1], items[2], "status:The TLS data connection ended without its close notification",
               "status:226 Transfer complete\r\n"}));
    EXPECT_EQ(failureOf<ESockError>([&] { ftp.SendCommand("SITE NFO huge.nfo"); }), "Reply too long");
    EXPECT_FALSE(ftp.Connected);
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(peer.failure(), "");
}

TEST(FtpTls, AListingEndsAtTheServersCloseNotifyHoweverItComesAndIsAnswered)
{
    // Like a server that ends each listing with its close notification and confirms the transfer only once the
    // client has answered with its own: the end must be seen whether it comes in the same read as the last lines,
    // after lines that TLS has taken in but not yet handed out, or alone.
    const TestCertificate certificate = TestCertificate::make("kolvane", {"127.0.0.1"});
    PeerTlsServer tls(certificate);
    const std::string small = "total 1\r\n-rw-r--r-- 1 u g 10 Jan 5 2001 a.nfo\r\n";
    std::string large = "total 9999\r\n";
    for (int i = 0; large.size() < 100000; ++i)
        large += "-rw-r--r-- 1 u g 10 Jan 5 2001 file" + std::to_string(i) + ".nfo\r\n";
    struct Case {
        const std::string& listing;
        bool alone; // the close notification comes after the lines, not with them
    };
    const Case cases[] = {{small, false}, {large, false}, {small, true}, {large, true}};
    ScriptPeer peer([&](PeerSession& c) {
        if (!serveAuthTls(c, tls))
            return;
        serveProtectedLogin(c);
        auto listener = PeerSession::listenData();
        for (const Case& row : cases) {
            auto data = servePassive(c, *listener);
            c.expect("LIST");
            c.send("150 Here comes the directory listing.\r\n");
            if (!data || !data->startTls(tls))
                return c.peer.fail("no TLS data connection");
            if (row.alone) {
                data->send(row.listing);
                QThread::msleep(100);
                data->sendAndCloseNotify("");
            } else {
                data->sendAndCloseNotify(row.listing);
            }
            if (!data->awaitCloseNotify()) {
                c.peer.fail("the client did not answer the close notification");
                c.send("426 Failure writing network stream.\r\n");
                continue;
            }
            c.send("226 Directory send OK.\r\n");
        }
    });
    TNMFTP ftp;
    ftp.Security = TFtpSecurity::ExplicitRequired;
    ftp.PinnedFingerprint = certificate.fingerprint;
    ftp.DataMode = TDataMode::Passive;
    ftp.ParseList = true;
    ftp.Vendor = FtpVendor::Unix;
    ftp.ReplyTimeout = 2000; // a listing that waits for an end it already had fails here rather than hangs
    loginTo(ftp, peer);
    EventLog log(ftp);
    auto dog = watchdog(ftp, 10000);
    for (const Case& row : cases) {
        SCOPED_TRACE(std::to_string(row.listing.size()) + (row.alone ? " bytes, the end alone" : " bytes"));
        log.entries.clear();
        ftp.List();
        const std::size_t lines = std::size_t(std::count(row.listing.begin(), row.listing.end(), '\n'));
        EXPECT_EQ(ftp.DirectoryList->NameList.size(), lines - 1);
        EXPECT_EQ(Lines(log.entries.end() - 4, log.entries.end()),
                  (Lines{"stop", "status:Received " + std::to_string(row.listing.size()) + " Bytes",
                         "status:226 Directory send OK.\r\n", "success:4"}));
    }
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(peer.failure(), "");
}

TEST(FtpTls, OnlyForwardSecretAeadSuitesAndStrongKeys)
{
    const TestCertificate rsa = TestCertificate::make("kolvane", {"127.0.0.1"}, nullptr, false, 2048);
    const TestCertificate weak = TestCertificate::make("kolvane", {"127.0.0.1"}, nullptr, false, 1024);
    const TestCertificate ec = TestCertificate::make("kolvane", {"127.0.0.1"});
    const std::string weakKey = "The server's RSA key has 1024 bits; at least 2048 are required";
    struct Case {
        const TestCertificate& served;
        std::string tls12Ciphers; // empty: whatever the peer's OpenSSL offers, TLS 1.3 first
        std::string failure;      // empty: the log-in goes through; "handshake": the handshake fails
    };
    const Case cases[] = {
        {rsa, "AES128-SHA", "handshake"},           // no forward secrecy, CBC
        {rsa, "AES256-SHA256", "handshake"},        // no forward secrecy, CBC
        {rsa, "AES128-GCM-SHA256", "handshake"},    // no forward secrecy
        {rsa, "ECDHE-RSA-AES128-SHA", "handshake"}, // CBC
        {ec, "ECDHE-ECDSA-AES256-SHA384", "handshake"},
        {rsa, "ECDHE-RSA-AES256-GCM-SHA384", ""},
        {ec, "ECDHE-ECDSA-CHACHA20-POLY1305", ""},
        {rsa, "", ""},
        {weak, "", weakKey}, // pinned all the same
        {weak, "ECDHE-RSA-AES128-GCM-SHA256", weakKey},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.tls12Ciphers + " " + row.served.fingerprint);
        PeerTlsServer tls(row.served, true, row.tls12Ciphers);
        ScriptPeer peer([&](PeerSession& c) {
            if (row.failure == "handshake") {
                c.send("220 ready\r\n");
                c.expect("AUTH TLS");
                c.send("234 AUTH TLS successful\r\n");
                if (c.control().startTls(tls))
                    c.peer.fail("the client took " + row.tls12Ciphers);
                return;
            }
            if (!serveAuthTls(c, tls))
                return;
            if (!row.failure.empty()) {
                if (!c.waitClosed() || !c.control().pending().empty())
                    c.peer.fail("the client went on: " + c.control().pending());
                return;
            }
            serveProtectedLogin(c);
            c.expect("QUIT");
            c.send("221 bye\r\n");
        });
        TNMFTP ftp;
        EventLog log(ftp);
        ftp.Security = TFtpSecurity::ExplicitRequired;
        ftp.PinnedFingerprint = row.served.fingerprint;
        auto dog = watchdog(ftp);
        if (row.failure == "handshake") {
            EXPECT_EQ(failureOf<ETlsError>([&] { loginTo(ftp, peer); }).rfind("TLS handshake failed: ", 0), 0u);
        } else if (!row.failure.empty()) {
            EXPECT_EQ(failureOf<ETlsError>([&] { loginTo(ftp, peer); }), row.failure);
        } else {
            loginTo(ftp, peer);
            ASSERT_GE(log.entries.size(), 4u);
            const std::string secured = row.tls12Ciphers.empty() ? "TLSv1.3 " : "TLSv1.2 " + row.tls12Ciphers;
            EXPECT_EQ(log.entries[3].rfind("status:Secured with " + secured, 0), 0u) << log.entries[3];
            ftp.Disconnect();
        }
        EXPECT_FALSE(ftp.Connected);
        EXPECT_FALSE(dog->fired);
        EXPECT_EQ(peer.failure(), "");
    }
}

TEST(FtpTls, ServerRefusingAnUnresumedDataConnectionAndHangingUpWithoutCloseNotify)
{
    // A server without a session cache cannot be resumed, and it will not serve a data connection that was not.
    const TestCertificate certificate = TestCertificate::make("kolvane", {"127.0.0.1"});
    PeerTlsServer tls(certificate, false);
    ScriptPeer peer([&](PeerSession& c) {
        if (!serveAuthTls(c, tls))
            return;
        serveProtectedLogin(c);
        auto listener = PeerSession::listenData();
        auto data = servePassive(c, *listener);
        c.expect("LIST");
        c.send("150 Opening data connection\r\n");
        if (!data || !data->startTls(tls) || data->sessionReused())
            return c.peer.fail("the client resumed a session that cannot be resumed");
        data->close();
        c.send("522 Data connections must resume the TLS session\r\n");
        // Gone in the middle of a reply, without the close notification.
        c.expect("SITE WHO");
        c.send("200-partial reply");
        c.control().close(false);
    });
    TNMFTP ftp;
    ftp.Security = TFtpSecurity::ExplicitRequired;
    ftp.PinnedFingerprint = certificate.fingerprint;
    ftp.DataMode = TDataMode::PassiveElseActive;
    loginTo(ftp, peer);
    EventLog log(ftp);
    auto dog = watchdog(ftp);
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.List(); }), "522 Data connections must resume the TLS session\r\n");
    EXPECT_EQ(Lines(log.entries.end() - 3, log.entries.end()),
              (Lines{"status:Received 0 Bytes", "status:522 Data connections must resume the TLS session\r\n",
                     "status:The data connection did not resume the control connection's TLS session"}));
    EXPECT_EQ(log.count("success:4"), 0u);
    log.entries.clear();
    EXPECT_EQ(failureOf<ESockError>([&] { ftp.SendCommand("SITE WHO"); }), "Connection Closed");
    EXPECT_EQ(log.entries, (Lines{"status:SITE WHO", "disconnect"}));
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(peer.failure(), "");
}

TEST(FtpPassive, ForeignAddressRefusalsAndFallingBackToActive)
{
    const quint16 nobody = closedPort();
    auto serveOneLine = [](PeerSession& c, QTcpServer& listener) {
        c.expect("LIST");
        c.send("150 Opening data connection\r\n");
        if (auto data = c.acceptData(listener)) {
            PeerSession::sendOn(*data, "-rw-r--r-- 1 u g 1 Jan 5 2001 passive.nfo\r\n");
            data->disconnectFromHost();
        }
        c.send("226 Transfer complete\r\n");
    };
    auto serveActive = [](PeerSession& c) {
        const std::string port = c.readLine();
        c.send("200 PORT ok\r\n");
        c.expect("LIST");
        c.send("150 Opening data connection\r\n");
        if (auto data = c.connectData(port)) {
            PeerSession::sendOn(*data, "-rw-r--r-- 1 u g 1 Jan 5 2001 active.nfo\r\n");
            data->disconnectFromHost();
        }
        c.send("226 Transfer complete\r\n");
    };
    ScriptPeer peer([&](PeerSession& c) {
        serveLogin(c);
        auto listener = PeerSession::listenData();
        const quint16 p = listener->serverPort();
        // 1. EPSV refused; PASV names an address that is not the server's.
        c.expect("EPSV");
        c.send("500 EPSV not understood\r\n");
        c.expect("PASV");
        c.send("227 Entering Passive Mode (10,1,2,3," + std::to_string(p >> 8) + "," + std::to_string(p & 255) +
               ")\r\n");
        serveOneLine(c, *listener);
        // 2. Nobody listens where EPSV says: the listing fails; 3. with the fallback it goes on actively.
        for (int i = 0; i < 2; ++i) {
            c.expect("EPSV");
            c.send("229 Entering Extended Passive Mode (|||" + std::to_string(nobody) + "|)\r\n");
        }
        serveActive(c);
        // 4. Passive refused altogether, with the fallback; 5. without it.
        for (int i = 0; i < 2; ++i) {
            c.expect("EPSV");
            c.send("500 EPSV not understood\r\n");
            c.expect("PASV");
            c.send("502 PASV not implemented\r\n");
            if (i == 0)
                serveActive(c);
        }
        c.expect("NOOP");
        c.send("200 ok\r\n");
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    EventLog log(ftp);
    auto dog = watchdog(ftp);
    ftp.DataMode = TDataMode::Passive;
    ftp.List();
    EXPECT_EQ(log.entries[4], "status:The PASV reply names 10.1.2.3: connecting to 127.0.0.1");
    EXPECT_EQ(log.count("item:-rw-r--r-- 1 u g 1 Jan 5 2001 passive.nfo"), 1u);
    EXPECT_EQ(log.entries.back(), "success:4");

    EXPECT_EQ(failureOf<ESockError>([&] { ftp.List(); }), "Connection Failed");
    ftp.DataMode = TDataMode::PassiveElseActive;
    log.entries.clear();
    ftp.List();
    EXPECT_EQ(log.entries[2], "status:Passive data connection failed (Connection Failed): trying active mode");
    EXPECT_EQ(log.entries[3].rfind("status:PORT 127,0,0,1,", 0), 0u) << log.entries[3];
    EXPECT_EQ(log.count("item:-rw-r--r-- 1 u g 1 Jan 5 2001 active.nfo"), 1u);
    log.entries.clear();
    ftp.List();
    EXPECT_EQ(log.entries[4], "status:Passive mode refused: trying active mode");
    EXPECT_EQ(log.count("item:-rw-r--r-- 1 u g 1 Jan 5 2001 active.nfo"), 1u);
    ftp.DataMode = TDataMode::Passive;
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.List(); }), "502 PASV not implemented\r\n");
    ftp.SendCommand("NOOP");
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(peer.failure(), "");
}

TEST(FtpPassive, AnUnreadablePassiveAnswerFailsTheListingNamingIt)
{
    ScriptPeer peer([&](PeerSession& c) {
        serveLogin(c);
        // 1. EPSV answered, but with no port; 2. EPSV refused and PASV answered without an address; 3. the same
        // with active mode as the fall-back.
        c.expect("EPSV");
        c.send("229 Entering Extended Passive Mode (garbage)\r\n");
        for (int i = 0; i < 2; ++i) {
            c.expect("EPSV");
            c.send("500 EPSV not understood\r\n");
            c.expect("PASV");
            c.send("227 Entering passive mode (garbage)\r\n");
        }
        const std::string port = c.readLine();
        c.send("200 PORT ok\r\n");
        c.expect("LIST");
        c.send("150 Opening data connection\r\n");
        if (auto data = c.connectData(port)) {
            PeerSession::sendOn(*data, "-rw-r--r-- 1 u g 1 Jan 5 2001 active.nfo\r\n");
            data->disconnectFromHost();
        }
        c.send("226 Transfer complete\r\n");
        c.expect("NOOP");
        c.send("200 ok\r\n");
    });
    TNMFTP ftp;
    loginTo(ftp, peer);
    EventLog log(ftp);
    auto dog = watchdog(ftp);
    ftp.DataMode = TDataMode::Passive;
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.List(); }),
              "The daemon's answer to EPSV could not be read: 229 Entering Extended Passive Mode (garbage)");
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.List(); }),
              "The daemon's answer to PASV could not be read: 227 Entering passive mode (garbage)");
    ftp.DataMode = TDataMode::PassiveElseActive;
    log.entries.clear();
    ftp.List();
    EXPECT_EQ(log.count("status:The daemon's answer to PASV could not be read: 227 Entering passive mode (garbage): "
                        "trying active mode"),
              1u);
    EXPECT_EQ(log.count("item:-rw-r--r-- 1 u g 1 Jan 5 2001 active.nfo"), 1u);
    ftp.SendCommand("NOOP"); // the connection stays in step
    EXPECT_EQ(ftp.ReplyNumber, 200);
    EXPECT_FALSE(dog->fired);
    EXPECT_EQ(peer.failure(), "");

    // However the answer is made, the message is one line of a bounded length.
    EXPECT_EQ(TNMFTP::unreadablePassiveReply("PASV", "227-first\r\n227 (1,2\x1b,3)\r\n"),
              "The daemon's answer to PASV could not be read: 227-first 227 (1,2?,3)");
    const std::string cut = TNMFTP::unreadablePassiveReply("EPSV", "229 " + std::string(5000, 'x') + "\r\n");
    EXPECT_EQ(cut.substr(cut.size() - 8), "xxxxx...");
    EXPECT_LT(cut.size(), 300u);
}

} // namespace
