// The client against an FTP server that nobody here wrote: pyftpdlib, run by Debian's /usr/bin/python3 on
// 127.0.0.1, serving a folder this test fills. Log-in, SYST, PWD, CWD, a real active-mode listing, RMD and QUIT.

#include "FtpTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>

namespace {

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
handler.authorizer = authorizer
handler.banner = "pyftpdlib ready"
server = FTPServer(("127.0.0.1", 0), handler)
print("PORT %d" % server.address[1], flush=True)
# The test ends the server by closing our input; a forgotten server ends itself.
threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
threading.Timer(120, lambda: os._exit(1)).start()
server.serve_forever(timeout=0.2)
)PY";

class PyFtpServer {
public:
    // Empty on success; otherwise why the server could not be started.
    std::string start(const QString& root)
    {
        QFile script(scriptDir_.filePath("server.py"));
        if (!scriptDir_.isValid() || !script.open(QIODevice::WriteOnly))
            return "cannot write the server script";
        script.write(serverScript);
        script.close();
        process_.setProgram("/usr/bin/python3");
        process_.setArguments({script.fileName(), root});
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
            return "/usr/bin/python3 cannot import pyftpdlib (install the Debian package python3-pyftpdlib): " +
                   line.trimmed().toStdString();
        if (!line.startsWith("PORT "))
            return "pyftpdlib did not start: " + line.toStdString() + process_.readAllStandardError().toStdString();
        port_ = quint16(line.mid(5).trimmed().toUInt());
        return std::string();
    }
    quint16 port() const { return port_; }
    ~PyFtpServer()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.closeWriteChannel();
        if (!process_.waitForFinished(5000))
            process_.kill(); // our own child, by its handle
        process_.waitForFinished(2000);
    }

private:
    QTemporaryDir scriptDir_;
    QProcess process_;
    quint16 port_ = 0;
};

TEST(Interop, PyftpdlibSession)
{
    QTemporaryDir root;
    QDir dir(root.path());
    ASSERT_TRUE(root.isValid() && dir.mkpath("pub/empty") && dir.mkpath("pub/Some.Release-GRP"));
    for (auto [name, size] :
         {std::pair{"pub/a.nfo", 10}, {"pub/release.zip", 1000}, {"pub/Some.Release-GRP/x.diz", 7}}) {
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
    EXPECT_EQ(list.NameList.size(), 5u) << items.size(); // the link is listed under its target's name
    ASSERT_LT(std::max({entry("empty"), entry("Some.Release-GRP"), entry("release.zip")}), list.NameList.size());
    EXPECT_EQ(list.SizeList[entry("release.zip")], "1000");
    EXPECT_EQ(list.AttributeList[entry("empty")][0], 'd');
    std::int64_t listed = 0;
    for (const auto& line : items)
        listed += std::int64_t(line.size()) + 2; // lines end in CR LF
    EXPECT_EQ(ftp.BytesTotal, listed);

    ftp.RemoveDirectory("empty");
    EXPECT_EQ(ftp.ReplyNumber, 250);
    EXPECT_FALSE(dir.exists("pub/empty"));
    ftp.List();
    EXPECT_EQ(ftp.DirectoryList->NameList.size(), 4u);

    log.entries.clear();
    ftp.Disconnect();
    ASSERT_EQ(log.entries.size(), 3u);
    EXPECT_EQ(log.entries[0], "status:QUIT");
    EXPECT_EQ(log.entries[1].substr(0, 11), "status:221 ");
    EXPECT_EQ(log.entries[2], "disconnect");
    EXPECT_FALSE(dog->fired);
}

} // namespace
