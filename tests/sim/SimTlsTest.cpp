// The daemon over TLS: explicit and implicit TLS with our own client and with lftp, protected data connections
// in every mode, the refusals of --require-tls, session resumption, and the TLS faults the console's tests use.

#include "sim/SimHarness.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace simtest;

namespace {

const QStringList kTls = {QStringLiteral("--tls")};

// A logged-in control connection over explicit TLS with PBSZ 0 and PROT P.
bool protectedLogin(FtpClient& c, quint16 port)
{
    return c.connectTo(port) && code(c.readReply()) == 220 && c.startTls() && c.login() &&
           code(c.command("PBSZ 0")) == 200 && code(c.command("PROT P")) == 200;
}

// The fingerprint of the first PEM certificate in a file.
QByteArray fingerprintOfFile(const QString& path)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(path);
    return certificates.isEmpty() ? QByteArray() : fingerprintOf(certificates.first());
}

} // namespace

TEST(SimTls, ExplicitTlsProtectsLogInAndListingsInEveryMode)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString certPath = dir.filePath(QStringLiteral("sim.pem"));
    SimProcess sim;
    ASSERT_TRUE(sim.start(kTls + QStringList{QStringLiteral("--cert-out"), certPath})) << qPrintable(sim.error());

    // One certificate: the printed fingerprint, the written file and what the connection shows all agree.
    ASSERT_EQ(sim.fingerprint().size(), 95);
    EXPECT_EQ(fingerprintOfFile(certPath), sim.fingerprint());
    const QSslCertificate certificate = QSslCertificate::fromPath(certPath).value(0);
    EXPECT_EQ(certificate.subjectInfo(QSslCertificate::CommonName), QStringList{QStringLiteral("127.0.0.1")});
    const auto alternatives = certificate.subjectAlternativeNames();
    EXPECT_TRUE(alternatives.contains(QSsl::IpAddressEntry, QStringLiteral("127.0.0.1")));
    EXPECT_TRUE(alternatives.contains(QSsl::IpAddressEntry, QStringLiteral("0:0:0:0:0:0:0:1")) ||
                alternatives.contains(QSsl::IpAddressEntry, QStringLiteral("::1")));
    EXPECT_TRUE(alternatives.contains(QSsl::DnsEntry, QStringLiteral("localhost")));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    EXPECT_LE(certificate.effectiveDate(), now.addSecs(60));
    EXPECT_GT(certificate.expiryDate(), now.addDays(360));

    FtpClient c;
    ASSERT_TRUE(c.connectTo(sim.port()));
    c.readReply();
    const Lines feat = c.command("FEAT");
    EXPECT_TRUE(wellFormed(feat));
    for (const char* feature : {" AUTH TLS", " PBSZ", " PROT", " EPRT", " EPSV", " PASV"})
        EXPECT_TRUE(feat.contains(feature)) << feature;
    EXPECT_EQ(c.command("PBSZ 0"), Lines{"503 Send AUTH TLS first."});
    EXPECT_EQ(code(c.command("PROT P")), 503);
    EXPECT_EQ(code(c.command("AUTH KERBEROS_V4")), 504);

    // Lines sent along with AUTH TLS, before the handshake, are not taken as commands.
    c.sendRaw("AUTH TLS\r\nUSER siteop\r\n");
    EXPECT_EQ(code(c.readReply()), 234);
    ASSERT_TRUE(c.handshake()) << qPrintable(c.socket().errorString());
    EXPECT_GE(c.socket().sessionProtocol(), QSsl::TlsV1_2);
    EXPECT_EQ(fingerprintOf(c.socket().peerCertificate()), sim.fingerprint());
    EXPECT_EQ(c.command("PASS quillon"), Lines{"503 Login with USER first."});
    EXPECT_EQ(c.command("AUTH TLS"), Lines{"503 TLS is already in use on this connection."});
    ASSERT_TRUE(c.login());
    EXPECT_EQ(c.command("PROT P"), Lines{"503 Send PBSZ 0 first."});
    EXPECT_EQ(c.command("PBSZ 0"), Lines{"200 PBSZ=0"});
    EXPECT_EQ(code(c.command("PROT S")), 536);

    // Without PROT P the data connection stays in clear; that listing is the reference for the others.
    const FtpClient::Listing clear = c.list({"EPSV"}, "/incoming");
    ASSERT_EQ(clear.completion, Lines{"226 Transfer complete."});
    ASSERT_GT(clear.data.size(), 100);

    EXPECT_EQ(code(c.command("PROT P")), 200);
    for (const QByteArray setup : {"PASV", "EPSV", "PORT", "EPRT"}) {
        const FtpClient::Listing l = c.list({setup, true}, "/incoming");
        EXPECT_TRUE(l.encrypted) << setup.constData();
        EXPECT_EQ(l.fingerprint, sim.fingerprint()) << setup.constData();
        ASSERT_EQ(l.opening.size(), 1) << setup.constData();
        EXPECT_EQ(l.opening.first(), "150 Opening ASCII mode data connection for /bin/ls (" +
                                         QByteArray::number(clear.data.size()) + " bytes).");
        EXPECT_EQ(l.data, clear.data) << setup.constData();
        EXPECT_TRUE(l.closeNotify) << setup.constData();
        EXPECT_EQ(l.completion, Lines{"226 Transfer complete."}) << setup.constData();
    }
    FtpClient::Data nlst("EPSV", true);
    nlst.command = "NLST";
    const FtpClient::Listing names = c.list(nlst, "/pub");
    EXPECT_TRUE(names.data.contains("welcome.msg\r\n"));
    EXPECT_EQ(names.completion, Lines{"226 Transfer complete."});

    // The control connection ends the way TLS connections should: with close_notify.
    bool closeNotify = false;
    QObject::connect(&c.socket(), &QSslSocket::alertReceived,
                     [&closeNotify](QSsl::AlertLevel, QSsl::AlertType type, const QString&) {
                         closeNotify |= type == QSsl::AlertType::CloseNotify;
                     });
    EXPECT_EQ(c.command("QUIT"), Lines{"221 Goodbye."});
    EXPECT_TRUE(c.waitClosed());
    EXPECT_TRUE(closeNotify);
}

TEST(SimTls, LftpListsOverExplicitAndImplicitTls)
{
    const QString lftp = QStandardPaths::findExecutable(QStringLiteral("lftp"));
    if (lftp.isEmpty())
        GTEST_SKIP() << "lftp is needed";
    for (const bool implicit : {false, true}) {
        SimProcess sim;
        ASSERT_TRUE(sim.start(
            {implicit ? QStringLiteral("--implicit-tls") : QStringLiteral("--tls"), QStringLiteral("--require-tls")}))
            << qPrintable(sim.error());
        QProcess p;
        p.start(lftp, {QStringLiteral("-c"),
                       QStringLiteral("set ftp:ssl-force true; set ftp:ssl-protect-data true; set ftp:passive-mode "
                                      "true; set ssl:verify-certificate no; set net:max-retries 1; set net:timeout 5; "
                                      "open -u siteop,quillon %1://127.0.0.1:%2; cls -l /")
                           .arg(implicit ? QStringLiteral("ftps") : QStringLiteral("ftp"))
                           .arg(sim.port())});
        if (!p.waitForFinished(20000)) {
            p.kill();
            p.waitForFinished(3000);
            FAIL() << "lftp did not finish (implicit: " << implicit << ")";
        }
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();
        const QByteArray out = p.readAllStandardOutput();
        EXPECT_TRUE(out.contains(" /incoming/")) << out.constData();
        EXPECT_TRUE(out.contains(" /pub/")) << out.constData();
    }
}

TEST(SimTls, RequireTlsRefusesClearLogInsAndListings)
{
    SimProcess sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--tls"), QStringLiteral("--require-tls")})) << qPrintable(sim.error());
    FtpClient c;
    ASSERT_TRUE(c.connectTo(sim.port()));
    c.readReply();
    EXPECT_EQ(c.command("USER siteop"), Lines{"530 This site requires TLS: send AUTH TLS first."});
    EXPECT_EQ(c.command("PASS quillon"), Lines{"530 This site requires TLS: send AUTH TLS first."});
    ASSERT_TRUE(c.startTls());
    ASSERT_TRUE(c.login());
    const Lines refused = {"521 Data connections must be protected: send PROT P."};
    EXPECT_EQ(c.list({"EPSV"}, "/pub").opening, refused);
    EXPECT_EQ(code(c.command("PBSZ 0")), 200);
    EXPECT_EQ(code(c.command("PROT C")), 200);
    EXPECT_EQ(c.list({"PASV"}, "/pub").opening, refused);
    EXPECT_EQ(code(c.command("PROT P")), 200);
    EXPECT_EQ(c.list({"EPSV", true}, "/pub").completion, Lines{"226 Transfer complete."});

    // Implicit TLS: the greeting comes over TLS, log-in needs no AUTH, listings still need PROT P.
    SimProcess implicit;
    ASSERT_TRUE(implicit.start({QStringLiteral("--implicit-tls"), QStringLiteral("--require-tls")}))
        << qPrintable(implicit.error());
    FtpClient d;
    ASSERT_TRUE(d.connectTo(implicit.port(), QHostAddress(QHostAddress::LocalHost), true));
    EXPECT_EQ(fingerprintOf(d.socket().peerCertificate()), implicit.fingerprint());
    const Lines greeting = d.readReply();
    EXPECT_TRUE(wellFormed(greeting));
    EXPECT_EQ(code(greeting), 220);
    EXPECT_EQ(code(d.command("AUTH TLS")), 503);
    const Lines feat = d.command("FEAT");
    EXPECT_FALSE(feat.contains(" AUTH TLS"));
    EXPECT_TRUE(feat.contains(" PROT"));
    ASSERT_TRUE(d.login());
    EXPECT_EQ(d.list({"EPSV"}, "/pub").opening, refused);
    EXPECT_EQ(code(d.command("PBSZ 0")), 200);
    EXPECT_EQ(code(d.command("PROT P")), 200);
    EXPECT_EQ(d.list({"EPRT", true}, "/pub").completion, Lines{"226 Transfer complete."});
}

TEST(SimTls, RequireResumeAcceptsOnlyTheControlConnectionsSession)
{
    SimProcess sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--tls"), QStringLiteral("--require-resume")})) << qPrintable(sim.error());
    FtpClient c;
    ASSERT_TRUE(protectedLogin(c, sim.port()));
    FtpClient other;
    ASSERT_TRUE(protectedLogin(other, sim.port()));
    ASSERT_FALSE(c.sessionTicket().isEmpty());
    ASSERT_FALSE(other.sessionTicket().isEmpty());

    for (const QByteArray setup : {"EPSV", "EPRT"}) {
        EXPECT_EQ(c.list({setup, true}, "/pub").completion, Lines{"226 Transfer complete."}) << setup.constData();
        // A fresh session, or the session of another control connection, is refused after the handshake.
        for (const QByteArray& session : {QByteArray(), other.sessionTicket()}) {
            FtpClient::Data foreign(setup, true);
            foreign.resume = false;
            foreign.session = session;
            const FtpClient::Listing l = c.list(foreign, "/pub");
            EXPECT_TRUE(l.data.isEmpty());
            ASSERT_EQ(l.completion.size(), 1);
            EXPECT_TRUE(l.completion.first().startsWith("425 ")) << l.completion.first().constData();
        }
    }
    EXPECT_EQ(other.list({"PASV", true}, "/pub").completion, Lines{"226 Transfer complete."});
}

TEST(SimTls, FaultSwitchesForTheConsolesHostileCases)
{
    // --stall-handshake: the 234 comes, the handshake never does; others are greeted as usual.
    {
        SimProcess sim;
        ASSERT_TRUE(sim.start({QStringLiteral("--tls"), QStringLiteral("--stall-handshake")}))
            << qPrintable(sim.error());
        FtpClient c;
        ASSERT_TRUE(c.connectTo(sim.port()));
        c.readReply();
        EXPECT_EQ(code(c.command("AUTH TLS")), 234);
        EXPECT_FALSE(c.handshake(400));
        EXPECT_TRUE(c.isOpen());
        FtpClient d;
        ASSERT_TRUE(d.connectTo(sim.port()));
        EXPECT_EQ(code(d.readReply()), 220);
    }
    {
        SimProcess sim;
        ASSERT_TRUE(sim.start({QStringLiteral("--implicit-tls"), QStringLiteral("--stall-handshake")}))
            << qPrintable(sim.error());
        FtpClient c;
        ASSERT_TRUE(c.connectTo(sim.port()));
        EXPECT_FALSE(c.handshake(400));
        EXPECT_TRUE(c.isOpen());
    }

    // --no-close-notify: the data connection ends with a plain close, and so does the control connection.
    {
        SimProcess sim;
        ASSERT_TRUE(sim.start({QStringLiteral("--tls"), QStringLiteral("--no-close-notify")}))
            << qPrintable(sim.error());
        FtpClient c;
        ASSERT_TRUE(protectedLogin(c, sim.port()));
        bool closeNotify = false;
        QObject::connect(&c.socket(), &QSslSocket::alertReceived,
                         [&closeNotify](QSsl::AlertLevel, QSsl::AlertType type, const QString&) {
                             closeNotify |= type == QSsl::AlertType::CloseNotify;
                         });
        const FtpClient::Listing l = c.list({"EPSV", true}, "/pub");
        EXPECT_TRUE(l.encrypted);
        EXPECT_FALSE(l.data.isEmpty());
        EXPECT_FALSE(l.closeNotify);
        EXPECT_EQ(l.completion, Lines{"226 Transfer complete."});
        EXPECT_EQ(c.command("QUIT"), Lines{"221 Goodbye."});
        EXPECT_TRUE(c.waitClosed());
        EXPECT_FALSE(closeNotify);
    }

    // --pasv-address names a foreign address while the real one listens; --refuse-passive names a port where
    // nobody listens.
    {
        SimProcess sim;
        ASSERT_TRUE(sim.start({QStringLiteral("--pasv-address"), QStringLiteral("203.0.113.9")}))
            << qPrintable(sim.error());
        FtpClient c;
        ASSERT_TRUE(c.connectTo(sim.port()));
        c.readReply();
        ASSERT_TRUE(c.login());
        const FtpClient::Listing l = c.list({"PASV"}, "/pub");
        ASSERT_EQ(l.portReply.size(), 1);
        EXPECT_TRUE(l.portReply.first().startsWith("227 Entering Passive Mode (203,0,113,9,"))
            << l.portReply.first().constData();
        EXPECT_EQ(l.completion, Lines{"226 Transfer complete."});
    }
    {
        SimProcess sim;
        ASSERT_TRUE(sim.start({QStringLiteral("--refuse-passive")})) << qPrintable(sim.error());
        FtpClient c;
        ASSERT_TRUE(c.connectTo(sim.port()));
        c.readReply();
        ASSERT_TRUE(c.login());
        for (const QByteArray setup : {"PASV", "EPSV"}) {
            const FtpClient::Listing l = c.list({setup}, "/pub");
            EXPECT_EQ(code(l.portReply), setup == "PASV" ? 227 : 229);
            EXPECT_TRUE(l.opening.isEmpty()) << setup.constData(); // the connection was refused
            EXPECT_EQ(c.command("LIST /pub"), Lines{"425 Can't open data connection."});
        }
        EXPECT_EQ(c.list("/pub").completion, Lines{"226 Transfer complete."}); // active mode is untouched
    }
}

TEST(SimTls, BrokenHandshakesHoldUpNobody)
{
    for (const bool implicit : {false, true}) {
        SimProcess sim;
        ASSERT_TRUE(sim.start({implicit ? QStringLiteral("--implicit-tls") : QStringLiteral("--tls")}))
            << qPrintable(sim.error());
        auto open = [&](FtpClient& c) {
            if (!c.connectTo(sim.port()))
                return false;
            return implicit || (code(c.readReply()) == 220 && code(c.command("AUTH TLS")) == 234);
        };
        // Garbage instead of a hello: the daemon closes the connection.
        FtpClient garbage;
        ASSERT_TRUE(open(garbage));
        garbage.sendRaw("USER siteop\r\nPASS quillon\r\n" + QByteArray(600, '\x16'));
        EXPECT_TRUE(garbage.waitClosed());
        // Half a hello, and a client that goes away in the middle.
        FtpClient half;
        ASSERT_TRUE(open(half));
        half.sendRaw(QByteArray::fromHex("160301020001"));
        FtpClient gone;
        ASSERT_TRUE(open(gone));
        gone.sendRaw(QByteArray::fromHex("1603010200010001fc0303"));
        gone.socket().abort();

        FtpClient good;
        ASSERT_TRUE(good.connectTo(sim.port(), QHostAddress(QHostAddress::LocalHost), implicit));
        EXPECT_EQ(code(good.readReply()), 220);
        if (!implicit) {
            ASSERT_TRUE(good.startTls());
        }
        ASSERT_TRUE(good.login());
        EXPECT_EQ(code(good.command("PBSZ 0")), 200);
        EXPECT_EQ(code(good.command("PROT P")), 200);
        EXPECT_EQ(good.list({"EPSV", true}, "/pub").completion, Lines{"226 Transfer complete."});
        EXPECT_TRUE(half.isOpen()); // still waiting for the rest of its hello, bounded by the daemon's timer
        EXPECT_EQ(sim.stop(), 0);
    }
}
