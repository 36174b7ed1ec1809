// The client against an FTP server that nobody here wrote: pyftpdlib, run by Debian's /usr/bin/python3 on
// 127.0.0.1 (and ::1), serving a folder this test fills. Log-in, SYST, PWD, CWD, a real active-mode listing, RMD and
// QUIT; then explicit TLS with protected listings in both modes, over IPv4 and IPv6.

#include "FtpTestSupport.h"
#include "PyFtpServer.h"
#include "platform/Finally.h"
#include "platform/Tls.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>

namespace {

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

// Sessions on threads of their own, as a batch runs them, log in over TLS at once: they share the process's one
// client context and certificate store (made by whichever comes first), and each keeps its own control session for
// its data connection to resume.
TEST(Interop, TlsLogInsOnSeveralThreadsAtOnceShareOneContext)
{
    QTemporaryDir root;
    QDir dir(root.path());
    ASSERT_TRUE(root.isValid() && dir.mkpath("pub/Some.Release-GRP"));
    const TestCertificate certificate = TestCertificate::make("pyftpdlib", {"127.0.0.1"});
    ASSERT_TRUE(certificate.write(dir.filePath("server.pem")));
    PyFtpServer server;
    const std::string problem = server.start(dir.filePath("pub"), "127.0.0.1", dir.filePath("server.pem"));
    ASSERT_EQ(problem, "") << problem;

    constexpr int sessions = 6;
    std::vector<std::string> outcomes(sessions);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < sessions; ++i)
        threads.emplace_back(QThread::create([&, i] {
            const Finally endTls([] { endThreadTls(); }); // the thread's TLS state goes before the wait returns
            try {
                TNMFTP ftp;
                ftp.Host = "127.0.0.1";
                ftp.Port = server.port();
                ftp.UserID = "kolvane";
                ftp.Password = "s3cret";
                ftp.Security = TFtpSecurity::ExplicitRequired;
                ftp.PinnedFingerprint = certificate.fingerprint;
                ftp.DataMode = TDataMode::Passive;
                ftp.ParseList = true;
                ftp.ReplyTimeout = 20000;
                ftp.Connect();
                ftp.List();
                outcomes[std::size_t(i)] = ftp.DirectoryList && ftp.DirectoryList->NameList.size() == 1
                                               ? std::string(ftp.DirectoryList->NameList[0])
                                               : "no listing";
                ftp.Disconnect();
            } catch (const Exception& e) {
                outcomes[std::size_t(i)] = e.message();
            }
        }));
    TlsContext::rereadSystemStore(); // so that the first log-ins make it, several at once
    for (auto& thread : threads)
        thread->start();
    for (auto& thread : threads)
        EXPECT_TRUE(thread->wait(30000));
    EXPECT_EQ(outcomes, std::vector<std::string>(sessions, "Some.Release-GRP"));
    const QByteArray said = server.stop();
    EXPECT_EQ(said.count("DATA-TLS reused=1"), sessions) << said.toStdString();
}

} // namespace
