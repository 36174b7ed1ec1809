// The client against an FTP server that nobody here wrote: pyftpdlib, run by Debian's /usr/bin/python3 on
// 127.0.0.1 (and ::1), serving a folder this test fills. Log-in, SYST, PWD, CWD, a real active-mode listing, RMD and
// QUIT; then explicit TLS with protected listings in both modes, over IPv4 and IPv6.

#include "FtpTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>

namespace {

// argv: the folder to serve, the address to listen on, and optionally a certificate: then explicit TLS is required
// on the control connection and on every data connection, and a data connection must resume the control
// connection's session (as many daemons insist), which each data connection reports on a line of its own.
const char* const serverScript = R"PY(
import os, sys, threading, logging
try:
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
except Exception as e:
    print("IMPORT-FAILED %s" % e, flush=True)
    sys.exit(3)
logging.basicConfig(level=logging.ERROR)
authorizer = DummyAuthorizer()
authorizer.add_user("kolvane", "s3cret", sys.argv[1], perm="elradfmwMT")
handler = FTPHandler
if len(sys.argv) > 3:
    try:
        from pyftpdlib.handlers import TLS_FTPHandler, TLS_DTPHandler
        from OpenSSL._util import lib as ssl_lib
    except Exception as e:
        print("IMPORT-FAILED %s" % e, flush=True)
        sys.exit(3)

    class ResumingDTPHandler(TLS_DTPHandler):
        def handle_ssl_established(self):
            reused = ssl_lib.SSL_session_reused(self.socket._ssl)
            print("DATA-TLS reused=%d" % reused, flush=True)
            if not reused:
                self.cmd_channel.respond("522 Data connections must resume the TLS session")
                self.close()

    handler = TLS_FTPHandler
    handler.certfile = sys.argv[3]
    handler.tls_control_required = True
    handler.tls_data_required = True
    handler.dtp_handler = ResumingDTPHandler
handler.authorizer = authorizer
handler.banner = "pyftpdlib ready"
server = FTPServer((sys.argv[2], 0), handler)
print("PORT %d" % server.address[1], flush=True)
# The test ends the server by closing our input; a forgotten server ends itself.
threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
threading.Timer(120, lambda: os._exit(1)).start()
server.serve_forever(timeout=0.2)
)PY";

class PyFtpServer {
public:
    // Empty on success; otherwise why the server could not be started.
    std::string start(const QString& root, const QString& address = "127.0.0.1", const QString& certificate = {})
    {
        QFile script(scriptDir_.filePath("server.py"));
        if (!scriptDir_.isValid() || !script.open(QIODevice::WriteOnly))
            return "cannot write the server script";
        script.write(serverScript);
        script.close();
        process_.setProgram("/usr/bin/python3");
        QStringList arguments{script.fileName(), root, address};
        if (!certificate.isEmpty())
            arguments << certificate;
        process_.setArguments(arguments);
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.start();
        if (!process_.waitForStarted(5000))
            return "cannot start /usr/bin/python3: " + process_.errorString().toStdString();
        QByteArray line;
        while (!line.contains('\n')) {
            if (!process_.waitForReadyRead(10000))
                break;
            line += process_.readAllStandardOutput();
        }
        if (line.startsWith("IMPORT-FAILED"))
            return "/usr/bin/python3 cannot import pyftpdlib (install the Debian packages python3-pyftpdlib and "
                   "python3-openssl): " +
                   line.trimmed().toStdString();
        if (!line.startsWith("PORT "))
            return "pyftpdlib did not start: " + line.toStdString() + process_.readAllStandardError().toStdString();
        port_ = quint16(line.mid(5, line.indexOf('\n') - 5).trimmed().toUInt());
        output_ = line.mid(line.indexOf('\n') + 1);
        return std::string();
    }
    quint16 port() const { return port_; }
    // Ends the server; what it printed after its port.
    QByteArray stop()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.closeWriteChannel();
            if (!process_.waitForFinished(5000))
                process_.kill(); // our own child, by its handle
            process_.waitForFinished(2000);
        }
        return output_ += process_.readAllStandardOutput();
    }
    ~PyFtpServer() { stop(); }

private:
    QTemporaryDir scriptDir_;
    QProcess process_;
    quint16 port_ = 0;
    QByteArray output_;
};

TEST(Interop, PyftpdlibSession)
{
    QTemporaryDir root;
    QDir dir(root.path());
    ASSERT_TRUE(root.isValid() && dir.mkpath("pub/empty") && dir.mkpath("pub/Some.Release-GRP"));
    for (auto [name, size] : {std::pair{"pub/a.nfo", 10},
                              {"pub/release.zip", 1000},
                              {"pub/my  notes.txt ", 12},
                              {"pub/Some.Release-GRP/x.diz", 7}}) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(size, 'k'));
    }
    ASSERT_TRUE(QFile::link("a.nfo", dir.filePath("pub/latest")));
    PyFtpServer server;
    const std::string problem = server.start(root.path());
    ASSERT_EQ(problem, "") << problem;

    TNMFTP ftp;
    EventLog log(ftp);
    auto dog = watchdog(ftp, 20000);
    ftp.Host = "127.0.0.1";
    ftp.Port = server.port();
    ftp.UserID = "kolvane";
    ftp.Password = "s3cret";
    ftp.Connect();
    EXPECT_EQ(log.entries.front(), "status:220 pyftpdlib ready\r\n");
    EXPECT_EQ(log.count("status:PASS "), 1u);
    EXPECT_EQ(log.entries.back(), "connect");

    ftp.SendCommand("SYST");
    EXPECT_NE(ftp.TransactionReply.find("215 UNIX"), std::string::npos);
    EXPECT_EQ(ftp.CurrentDirectory(), "/");
    ftp.ChangeDirectory("pub");
    EXPECT_EQ(ftp.CurrentDirectory(), "/pub");
    EXPECT_EQ(failureOf<FTPException>([&] { ftp.ChangeDirectory("nowhere"); }).substr(0, 4), "550 ");

    ftp.ParseList = true;
    Lines items;
    ftp.OnListItem = [&](const std::string& line) { items.push_back(line); };
    ftp.List();
    EXPECT_EQ(ftp.Vendor, FtpVendor::Unix);
    ASSERT_TRUE(ftp.DirectoryList);
    const TFTPDirectoryList& list = *ftp.DirectoryList;
    auto entry = [&](const std::string& name) {
        return std::size_t(std::find(list.NameList.begin(), list.NameList.end(), name) - list.NameList.begin());
    };
    EXPECT_EQ(list.NameList.size(), 6u) << items.size();
    ASSERT_LT(std::max({entry("empty"), entry("Some.Release-GRP"), entry("release.zip"), entry("latest")}),
              list.NameList.size()); // the link under its own name
    EXPECT_EQ(list.SizeList[entry("release.zip")], "1000");
    ASSERT_LT(entry("my  notes.txt "), list.NameList.size()); // its blanks kept, the trailing one too
    EXPECT_EQ(list.SizeList[entry("my  notes.txt ")], "12");
    EXPECT_EQ(list.AttributeList[entry("empty")][0], 'd');
    std::int64_t listed = 0;
    for (const auto& line : items)
        listed += std::int64_t(line.size()) + 2; // lines end in CR LF
    EXPECT_EQ(ftp.BytesTotal, listed);

    ftp.RemoveDirectory("empty");
    EXPECT_EQ(ftp.ReplyNumber, 250);
    EXPECT_FALSE(dir.exists("pub/empty"));
    ftp.List();
    EXPECT_EQ(ftp.DirectoryList->NameList.size(), 5u);

    log.entries.clear();
    ftp.Disconnect();
    ASSERT_EQ(log.entries.size(), 3u);
    EXPECT_EQ(log.entries[0], "status:QUIT");
    EXPECT_EQ(log.entries[1].substr(0, 11), "status:221 ");
    EXPECT_EQ(log.entries[2], "disconnect");
    EXPECT_FALSE(dog->fired);
}

TEST(Interop, PyftpdlibTlsListingsResumeTheSessionOverIpv4AndIpv6)
{
    QTemporaryDir root;
    QDir dir(root.path());
    ASSERT_TRUE(root.isValid() && dir.mkpath("pub/Some.Release-GRP"));
    QFile file(dir.filePath("pub/a.nfo"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("nfo") == 3);
    file.close();
    const TestCertificate certificate = TestCertificate::make("pyftpdlib", {"127.0.0.1", "::1", "localhost"});
    ASSERT_TRUE(certificate.write(dir.filePath("server.pem")));

    std::vector<std::string> hosts = {"127.0.0.1"};
    QTcpServer probe;
    if (probe.listen(QHostAddress::LocalHostIPv6, 0))
        hosts.push_back("[::1]"); // written as an operator may write it
    else
        std::printf("[   NOTE   ] no IPv6 loopback here: the IPv6 half is left out\n");
    probe.close();

    for (const std::string& host : hosts) {
        SCOPED_TRACE(host);
        const bool ipv6 = host != "127.0.0.1";
        PyFtpServer server;
        const std::string problem =
            server.start(dir.filePath("pub"), ipv6 ? "::1" : "127.0.0.1", dir.filePath("server.pem"));
        ASSERT_EQ(problem, "") << problem;
        TNMFTP ftp;
        EventLog log(ftp);
        auto dog = watchdog(ftp, 20000);
        ftp.Host = host;
        ftp.Port = server.port();
        ftp.UserID = "kolvane";
        ftp.Password = "s3cret";
        ftp.Security = TFtpSecurity::ExplicitRequired;
        ftp.PinnedFingerprint = certificate.fingerprint;
        ftp.ParseList = true;
        ftp.Connect();
        EXPECT_TRUE(ftp.isSecure());
        for (const TDataMode mode : {TDataMode::Passive, TDataMode::Active}) {
            ftp.DataMode = mode;
            log.entries.clear();
            ftp.List();
            ASSERT_TRUE(ftp.DirectoryList);
            Lines names(ftp.DirectoryList->NameList.begin(), ftp.DirectoryList->NameList.end());
            std::sort(names.begin(), names.end());
            EXPECT_EQ(names, (Lines{"Some.Release-GRP", "a.nfo"}));
            const std::string expected = mode == TDataMode::Passive ? "status:EPSV"
                                         : ipv6                     ? "status:EPRT |2|::1|"
                                                                    : "status:PORT 127,0,0,1,";
            EXPECT_EQ(std::count_if(log.entries.begin(), log.entries.end(),
                                    [&](const std::string& entry) { return entry.rfind(expected, 0) == 0; }),
                      1);
            EXPECT_EQ(log.entries.back(), "success:4");
        }
        ftp.Disconnect();
        EXPECT_FALSE(dog->fired);
        EXPECT_EQ(server.stop(), "DATA-TLS reused=1\nDATA-TLS reused=1\n");
    }
}

} // namespace
