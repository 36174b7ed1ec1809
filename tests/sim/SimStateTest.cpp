// The state file: what changes survives a restart, a damaged file is reported and left alone, and a change
// that cannot be saved is not reported as made.

#include "sim/SimHarness.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace simtest;

namespace {

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace

TEST(SimState, ChangesSurviveARestart)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString state = dir.filePath(QStringLiteral("site.json"));
    {
        SimProcess sim;
        ASSERT_TRUE(sim.start({QStringLiteral("--state"), state})) << qPrintable(sim.error());
        EXPECT_TRUE(QFile::exists(state)); // a fresh site is written at once
        FtpClient c;
        ASSERT_TRUE(c.connectTo(sim.port()));
        c.readReply();
        ASSERT_TRUE(c.login());
        EXPECT_EQ(c.command("SITE ADDUSER keeper Seniors").last(), "250");
        EXPECT_EQ(c.command("SITE CHPASS keeper s3cret").last(), "250");
        EXPECT_EQ(c.command("SITE CHFLAG keeper LEECH YES").last(), "250");
        EXPECT_EQ(c.command("SITE ADDGROUP Keepers").last(), "250");
        EXPECT_EQ(c.command("SITE DELGROUP Trial Friends").last(), "250");
        EXPECT_EQ(c.command("SITE GIVE 4096 keeper").last(), "250");
        EXPECT_EQ(c.command("CWD /incoming").last(), "250 CWD command successful.");
        EXPECT_EQ(c.command("SITE NUKE 4 Huge.Dump.2026-GRP bad.iso").last(), "221");
        EXPECT_EQ(c.command("RMD Empty.Dir-GRP").last(), "250 RMD command successful.");
        // Killed, not stopped: every change must already be on disk.
        sim.process().kill();
        sim.process().waitForFinished(3000);
    }
    // Saved by writing a temporary file and renaming it: nothing else is left beside the state file.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("site.json")});

    SimProcess sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--state"), state})) << qPrintable(sim.error());
    FtpClient c;
    ASSERT_TRUE(c.connectTo(sim.port()));
    c.readReply();
    ASSERT_TRUE(c.login("keeper", "s3cret"));
    const QByteArray record = c.command("SITE USER keeper").join('\n');
    EXPECT_TRUE(record.contains("group Seniors")) << record.constData();
    EXPECT_TRUE(record.contains("Flags      : LEECH")) << record.constData();
    EXPECT_TRUE(record.contains("Credits    : 4096 KB")) << record.constData();
    const QList<QByteArray> groups = gatherGroups(c.command("SITE GROUPS"));
    EXPECT_TRUE(groups.contains("Keepers"));
    EXPECT_FALSE(groups.contains("Trial"));
    const QByteArray friends = c.command("SITE USERS Friends").join('\n');
    EXPECT_TRUE(friends.contains("newbie")) << friends.constData();
    const QByteArray listing = c.list("/incoming").data;
    EXPECT_TRUE(listing.contains(" [NUKED]-Huge.Dump.2026-GRP\r\n"));
    EXPECT_FALSE(listing.contains("Empty.Dir-GRP"));
    EXPECT_TRUE(c.command("SITE NUKES 1").join('\n').contains("bad.iso"));
    // The NFO art comes back byte for byte.
    EXPECT_TRUE(c.command("SITE NFO /incoming/[NUKED]-Huge.Dump.2026-GRP/huge.dump.2026-grp.nfo")
                    .join('\n')
                    .contains("\xDB\xDB\xDF"));
}

TEST(SimState, ADamagedStateFileIsReportedAndLeftAlone)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString state = dir.filePath(QStringLiteral("site.json"));

    const QByteArray damaged[] = {
        "{\"format\": \"quillon-sim state\", \"version\": 1, \"users\": [", // cut short
        QByteArray("\x89PNG\r\n\x1a\n\x00\x00", 10),                        // not text at all
        "{\"format\": \"something else\"}",                                 // another program's file
        "{\"format\": \"quillon-sim state\", \"version\": 1, \"groups\": [], \"users\": [{\"name\": \"x\"}]}",
    };
    for (const QByteArray& bytes : damaged) {
        ASSERT_TRUE(writeFile(state, bytes));
        const RunResult r = runSim({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--state"), state});
        EXPECT_EQ(r.exitCode, 3) << r.err.constData();
        EXPECT_TRUE(r.err.contains("damaged")) << r.err.constData();
        EXPECT_FALSE(r.out.contains("listening"));
        EXPECT_EQ(readFile(state), bytes);
    }

    // A valid file whose user sits in a group that is not there is damaged too.
    {
        SimProcess sim;
        const QString good = dir.filePath(QStringLiteral("good.json"));
        ASSERT_TRUE(sim.start({QStringLiteral("--state"), good}));
        sim.stop();
        QByteArray bytes = readFile(good);
        bytes.replace("\"group\": \"Trial\"", "\"group\": \"Vanished\"");
        ASSERT_TRUE(writeFile(good, bytes));
        const RunResult r = runSim({QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--state"), good});
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_TRUE(r.err.contains("Vanished")) << r.err.constData();
        EXPECT_EQ(readFile(good), bytes);
    }
}

TEST(SimState, AChangeThatCannotBeSavedIsUndone)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.filePath(QStringLiteral("state"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString state = folder + QStringLiteral("/site.json");
    SimProcess sim;
    ASSERT_TRUE(sim.start({QStringLiteral("--state"), state})) << qPrintable(sim.error());
    FtpClient c;
    ASSERT_TRUE(c.connectTo(sim.port()));
    c.readReply();
    ASSERT_TRUE(c.login());

    // The folder goes away under the daemon: the change is refused and not kept in memory either.
    ASSERT_TRUE(QDir(folder).removeRecursively());
    const Lines reply = c.command("SITE ADDUSER ghost Trial");
    EXPECT_EQ(reply.size(), 1);
    EXPECT_EQ(code(reply), 451);
    EXPECT_FALSE(c.command("SITE USERS").join('\n').contains("ghost"));
    EXPECT_EQ(code(c.command("SITE USER ghost")), 550);
    EXPECT_EQ(code(c.command("NOOP")), 200);
}
