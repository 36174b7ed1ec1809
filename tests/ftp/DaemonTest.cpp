// The client against FTP daemons that nobody here wrote, as Debian ships them: vsftpd (explicit TLS that insists on
// resumed sessions and on a clean TLS end of every data connection), ProFTPD with mod_tls and Pure-FTPd. Each one
// serves names with blanks (one of them trailing) and a symbolic link; the client logs in over 127.0.0.1 and ::1,
// in clear text and with explicit TLS, lists in passive and in active mode, and changes into a folder by the path
// under its log-in folder, which for ProFTPD and Pure-FTPd is not "/".

#include "Daemons.h"
#include "FtpTestSupport.h"

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QTcpServer>

#include <algorithm>
#include <tuple>

namespace {

std::vector<QString> loopbacks()
{
    std::vector<QString> addresses = {"127.0.0.1"};
    QTcpServer probe;
    if (probe.listen(QHostAddress::LocalHostIPv6, 0))
        addresses.push_back("::1");
    else
        std::printf("[   NOTE   ] no IPv6 loopback here: the IPv6 half is left out\n");
    return addresses;
}

std::string inside(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// Lists the current folder in one mode: checks that the mode's data command went out once and the listing ended
// well, and returns the names stored, sorted.
Lines listNames(TNMFTP& ftp, EventLog& log, TDataMode mode, bool ipv6)
{
    ftp.DataMode = mode;
    log.entries.clear();
    ftp.List();
    const std::string expected = mode == TDataMode::Passive ? "status:EPSV"
                                 : ipv6                     ? "status:EPRT |2|::1|"
                                                            : "status:PORT 127,0,0,1,";
    EXPECT_EQ(std::count_if(log.entries.begin(), log.entries.end(),
                            [&](const std::string& entry) { return entry.rfind(expected, 0) == 0; }),
              1);
    EXPECT_EQ(log.entries.back(), "success:4");
    if (!ftp.DirectoryList)
        return {};
    Lines names(ftp.DirectoryList->NameList.begin(), ftp.DirectoryList->NameList.end());
    std::sort(names.begin(), names.end());
    return names;
}

// Lists pub and a folder under it over one log-in; an exception ends the session as a failure.
void exerciseSession(FtpDaemon& daemon, TNMFTP& ftp, EventLog& log, bool ipv6)
{
    ftp.Connect();
    ASSERT_TRUE(ftp.Connected);
    EXPECT_EQ(ftp.isSecure(), ftp.Security != TFtpSecurity::Plain);
    EXPECT_EQ(ftp.CurrentDirectory(), daemon.loginFolder());
    if (daemon.pubFolder() != daemon.loginFolder()) {
        ftp.ChangeDirectory("pub");
        EXPECT_EQ(ftp.CurrentDirectory(), daemon.pubFolder());
    }

    for (const TDataMode mode : {TDataMode::Passive, TDataMode::Active}) {
        SCOPED_TRACE(mode == TDataMode::Passive ? "passive" : "active");
        EXPECT_EQ(listNames(ftp, log, mode, ipv6),
                  (Lines{"latest", "my dir", "my notes.txt", "plain.txt", "trailing "}));
        ASSERT_TRUE(ftp.DirectoryList);
        // The kinds and sizes of the entries that came under their right names (wrong names are reported above).
        const TFTPDirectoryList& list = *ftp.DirectoryList;
        for (const auto& [name, kind, size] : {std::tuple{"latest", 'l', "9"},
                                               {"my dir", 'd', ""},
                                               {"plain.txt", '-', "11"},
                                               {"my notes.txt", '-', "6"},
                                               {"trailing ", '-', "9"}}) {
            const auto at = std::find(list.NameList.begin(), list.NameList.end(), name);
            if (at == list.NameList.end())
                continue;
            const std::size_t k = std::size_t(at - list.NameList.begin());
            SCOPED_TRACE(name);
            EXPECT_EQ(list.AttributeList[k].substr(0, 1), std::string(1, kind));
            if (*size) {
                EXPECT_EQ(list.SizeList[k], std::string_view(size));
            }
        }
    }

    // Into a folder with a blank in its name, by its path under where the log-in began.
    ftp.ChangeDirectory("my dir");
    EXPECT_EQ(ftp.CurrentDirectory(), inside(daemon.pubFolder(), "my dir"));
    EXPECT_EQ(listNames(ftp, log, TDataMode::Passive, ipv6), Lines{"inside.txt"});
    ftp.Disconnect();
    EXPECT_FALSE(ftp.Connected);
}

void exerciseDaemon(DaemonKind kind)
{
    for (const QString& address : loopbacks()) {
        SCOPED_TRACE(address.toStdString());
        const bool ipv6 = address.contains(':');
        FtpDaemon daemon(kind, address);
        const std::string problem = daemon.start();
        ASSERT_EQ(problem, "") << problem;
        for (const TFtpSecurity security : {TFtpSecurity::Plain, TFtpSecurity::ExplicitRequired}) {
            SCOPED_TRACE(security == TFtpSecurity::Plain ? "plain" : "explicit TLS");
            TNMFTP ftp;
            EventLog log(ftp);
            // A listing that never ends is a failure of its own, not a hung suite.
            ftp.ReplyTimeout = 5000;
            auto dog = watchdog(ftp, 15000);
            ftp.Host = address.toStdString();
            ftp.Port = daemon.port();
            ftp.UserID = daemon.user();
            ftp.Password = daemon.password();
            ftp.Security = security;
            // A pinned certificate means TLS whatever the security says: the plain round pins nothing.
            if (security != TFtpSecurity::Plain)
                ftp.PinnedFingerprint = daemon.fingerprint();
            ftp.ParseList = true;
            try {
                exerciseSession(daemon, ftp, log, ipv6);
            } catch (const Exception& e) {
                ADD_FAILURE() << "raised: " << e.message();
            }
            EXPECT_FALSE(dog->fired);
        }
        const std::string logs = daemon.stop();
        if (::testing::Test::HasFailure())
            std::printf("[   LOG    ] %s on %s said:\n%s\n", FtpDaemon::name(kind), qPrintable(address), logs.c_str());
    }
}

TEST(Daemons, Vsftpd)
{
    exerciseDaemon(DaemonKind::Vsftpd);
}

TEST(Daemons, ProFtpd)
{
    exerciseDaemon(DaemonKind::ProFtpd);
}

TEST(Daemons, PureFtpd)
{
    exerciseDaemon(DaemonKind::PureFtpd);
}

} // namespace
