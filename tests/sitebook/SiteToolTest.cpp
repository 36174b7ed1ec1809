// kolvane-site as scripts run it: a typo named, the usage whole, counts in words, an import that a kill -9 leaves
// all or nothing of, and an export whose disk fills up.

#include "platform/SettingsStore.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <functional>
#include <sys/resource.h>

namespace {

QString tool()
{
    return qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/sitebook/kolvane-site";
}

struct Ran {
    int code = -1;
    QString said; // standard output and error
};

Ran run(const QStringList& args, const QByteArray& input = {}, std::function<void()> inChild = {})
{
    QProcess p;
    if (inChild)
        p.setChildProcessModifier(inChild);
    p.start(tool(), args);
    p.write(input);
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForFinished(20000));
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError())};
}

int sitesInBook()
{
    TSettingsStore store(TSettingsStore::defaultPath());
    return int(SiteBook::names(store).size());
}

QByteArray exportOf(int sites)
{
    QByteArray file = R"({"format": "kolvane-sites", "version": 2, "sites": [)";
    for (int i = 0; i < sites; ++i)
        file += QByteArray(i ? "," : "") + R"({"name": "site)" + QByteArray::number(i) +
                R"(", "host": "h.example.org", "login": "op", "folder": "eu/north"})";
    return file + "]}";
}

class SiteTool : public ::testing::Test {
protected:
    void SetUp() override { QFile::remove(QString::fromStdString(TSettingsStore::defaultPath())); }
};

} // namespace

TEST_F(SiteTool, NamesATypoGivesTheWholeUsageAndCountsInWords)
{
    const Ran typo = run({"ad", "x", "h", "21", "u"});
    EXPECT_EQ(typo.code, 2);
    EXPECT_TRUE(typo.said.startsWith("kolvane-site: there is no command \"ad\"; did you mean \"add\"?\n"))
        << typo.said.toStdString();
    for (const char* option : {"--folder FOLDER", "--reconnect", "--replace", "--fingerprint SHA256", "--last",
                               "--via URL", "via FOLDER URL"})
        EXPECT_TRUE(typo.said.contains(option)) << option;
    EXPECT_FALSE(run({"frobnicate"}).said.contains("did you mean")) << "nothing close, nothing suggested";
    EXPECT_TRUE(run({"add", "x"}).said.startsWith("kolvane-site: add takes NAME HOST PORT LOGIN"));

    const Ran tab = run({"add", "a\tb", "h", "21", "u"}, "pw\n");
    EXPECT_EQ(tab.code, 2);
    EXPECT_TRUE(tab.said.contains("a site name cannot hold a control character (it holds \\x09)"))
        << tab.said.toStdString();

    QTemporaryDir dir;
    const QString file = dir.filePath("one.json");
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(exportOf(1));
    out.close();
    const Ran imported = run({"import", file});
    EXPECT_EQ(imported.code, 0);
    EXPECT_TRUE(imported.said.startsWith("kolvane-site: 1 site added, 0 replaced, 0 skipped\n"))
        << imported.said.toStdString();
    const Ran again = run({"import", file});
    EXPECT_TRUE(again.said.contains("0 sites added, 0 replaced, 1 skipped\n  Not imported:\n  site0: the book holds"))
        << again.said.toStdString();
    const Ran exported = run({"export", dir.filePath("back.json")}, "\n");
    EXPECT_EQ(exported.code, 0);
    EXPECT_TRUE(exported.said.contains("1 site written to")) << exported.said.toStdString();
}

// The import is one transaction: killed while it writes, it leaves the book as it was.
TEST_F(SiteTool, AnImportKilledHalfWayLeavesTheBookAsItWas)
{
    ASSERT_EQ(run({"add", "before", "h", "21", "u"}, "pw\n").code, 0);
    QTemporaryDir dir;
    const QString file = dir.filePath("many.json");
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(exportOf(4000));
    out.close();

    // The store's journal is there while a transaction writes; the kill comes a little after it first shows.
    const QString journal = QString::fromStdString(TSettingsStore::defaultPath()) + "-journal";
    QProcess p;
    p.start(tool(), {"import", file});
    ASSERT_TRUE(p.waitForStarted());
    const QDeadlineTimer deadline(20000);
    while (!QFile::exists(journal) && p.state() == QProcess::Running && !deadline.hasExpired())
        QThread::usleep(200);
    QThread::msleep(50);
    EXPECT_EQ(p.state(), QProcess::Running) << "the import ended before it could be killed";
    ::kill(pid_t(p.processId()), SIGKILL);
    p.waitForFinished(10000);
    // Killed before its commit the import left nothing; a kill just after it finds all of it there.
    const int sites = sitesInBook();
    EXPECT_TRUE(sites == 1 || sites == 4001) << sites << " sites: the killed import left part of itself";

    // Run to its end, it comes in whole.
    const Ran whole = run({"import", file});
    EXPECT_EQ(whole.code, 0) << whole.said.toStdString();
    EXPECT_EQ(sitesInBook(), 4001);
}

// A disk that fills up under an export: the system's reason, status 1 (2 is for a wrong command line), and the file
// that was there before stays as it was.
TEST_F(SiteTool, AnExportThatCannotBeWrittenSaysWhyAndKeepsTheOldFile)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("out.json");
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write("the old export");
    out.close();
    QFile sites(dir.filePath("sites.json"));
    ASSERT_TRUE(sites.open(QIODevice::WriteOnly));
    sites.write(exportOf(30));
    sites.close();
    ASSERT_EQ(run({"import", sites.fileName()}).code, 0);
    ASSERT_TRUE(sites.remove());
    const Ran full = run({"export", file}, "\n", [] {
        // The files this child writes may not grow past 1 KiB: its write fails as one on a full disk does.
        const rlimit small{1024, 1024};
        ::setrlimit(RLIMIT_FSIZE, &small);
        std::signal(SIGXFSZ, SIG_IGN);
    });
    EXPECT_EQ(full.code, 1) << full.said.toStdString();
    EXPECT_TRUE(full.said.contains("cannot be written: File too large")) << full.said.toStdString();
    ASSERT_TRUE(out.open(QIODevice::ReadOnly));
    EXPECT_EQ(out.readAll(), "the old export");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"out.json"})) << "nothing left half-written";
}

// A site reached through a proxy: its password on the first line, the proxy's on the second; the path in the list,
// and one path given to every site of a folder.
TEST_F(SiteTool, AddsASiteThroughAProxyListsItsPathAndGivesOnePathToAFolder)
{
    qunsetenv("DBUS_SESSION_BUS_ADDRESS"); // the passwords stay in the book, where this test reads them
    TDiamond cipher;
    cipher.SetKey(std::string(DiamondConsoleKey));
    const auto read = [&](const char* site) {
        TSettingsStore store(TSettingsStore::defaultPath());
        return SiteBook::read(store, cipher, site);
    };
    const QStringList add{"add", "proxied", "ftp.example.org", "21", "op", "--folder", "eu/north"};
    const Ran added = run(add + QStringList{"--via", "socks5://proxyop@127.0.0.1:1080"}, "s1te\npr0xy\n");
    ASSERT_EQ(added.code, 0) << added.said.toStdString();
    EXPECT_EQ(read("proxied").password, "s1te");
    EXPECT_EQ(read("proxied").proxyPassword, "pr0xy");
    EXPECT_EQ(read("proxied").connectVia, "socks5://proxyop@127.0.0.1:1080");

    // The proxy's password missing, or a path no reader takes: nothing is stored.
    const Ran short_ = run({"add", "short", "h", "21", "u", "--via", "http://u@h:3128"}, "s1te\n");
    EXPECT_EQ(short_.code, 2);
    EXPECT_TRUE(short_.said.contains("no password given for the proxy's user")) << short_.said.toStdString();
    const Ran bad = run({"add", "bad", "h", "21", "u", "--via", "socks5://u:pw@h:1080"}, "s1te\npr0xy\n");
    EXPECT_EQ(bad.code, 2);
    EXPECT_TRUE(bad.said.contains("the connection path's URL holds a password")) << bad.said.toStdString();
    EXPECT_EQ(sitesInBook(), 1);

    ASSERT_EQ(run({"add", "direct", "h", "21", "u", "--folder", "eu"}, "pw\n").code, 0);
    ASSERT_EQ(run({"add", "elsewhere", "h", "21", "u"}, "pw\n").code, 0);
    EXPECT_EQ(run({"list"}).said, "direct\teu\nelsewhere\nproxied\teu/north\tsocks5://proxyop@127.0.0.1:1080\n");

    // One path for the folder eu and the folders below it, whatever the case; the rest of each site as it was.
    const Ran via = run({"via", "EU", "http://other@127.0.0.1:3128"}, "pr0xy2\n");
    EXPECT_EQ(via.code, 0) << via.said.toStdString();
    EXPECT_TRUE(via.said.contains("2 sites of the folder EU now connect through http://other@127.0.0.1:3128"))
        << via.said.toStdString();
    for (const char* site : {"direct", "proxied"}) {
        EXPECT_EQ(read(site).connectVia, "http://other@127.0.0.1:3128") << site;
        EXPECT_EQ(read(site).proxyPassword, "pr0xy2") << site;
    }
    EXPECT_EQ(read("proxied").password, "s1te");
    EXPECT_EQ(read("elsewhere").connectVia, "");
    ASSERT_EQ(run({"via", "eu", ""}).code, 0);
    EXPECT_EQ(read("proxied").connectVia, "") << "direct again";
    EXPECT_EQ(read("proxied").proxyPassword, "");
    EXPECT_EQ(run({"via", "nowhere", ""}).code, 2);
}
