// The change journal where every line passes, the session, against quillon-sim: a line that can change the daemon
// is journaled before it goes and completed when its reply is in, a read-only line is not, a refusal and a removed
// directory are journaled too, and the user's "SITE USER" replies seen around a change are kept as its before and
// after without a line sent for the journal's sake; no password reaches the file.

#include "common/SimProcess.h"
#include "session/Journal.h"
#include "session/SiteSession.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

SiteBook::Record simSite(quint16 port)
{
    SiteBook::Record site;
    site.host = "127.0.0.1";
    site.port = std::to_string(port);
    site.login = "siteop";
    site.password = "quillon";
    site.replyTimeout = 10;
    return site;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TEST(JournalHook, TheSessionJournalsEachChangeWithTheUsersRepliesAroundIt)
{
    SimProcess sim;
    ASSERT_NE(sim.port, 0);
    QTemporaryDir dir;
    TJournal journal(dir.filePath("journal.db"));
    TSiteSession session;
    session.setJournal(&journal);
    session.setSite("home", simSite(sim.port));
    session.logIn();

    session.send("SITE WHO");                           // reads: not journaled
    session.send("SITE ADDUSER recruit Friends");       // no look at recruit yet: its after comes below
    session.send("SITE CHPASS recruit Hunter2-secret"); // the password never reaches the file
    session.send("SITE USER recruit");                  // the after of both, the before of what follows
    session.send("SITE ADDIDENTD recruit *@10.9.9.*");
    EXPECT_THROW(session.send("SITE CHGRP recruit NoSuchGroup"), FTPException);
    session.send("SITE USER recruit");
    EXPECT_THROW(session.removeDirectory("/no-such-dir"), FTPException);
    const qsizetype sent = sim.commands().size();
    session.logOut();
    EXPECT_EQ(sim.commands().size(), sent + 1) << "only the QUIT: nothing was sent for the journal's sake";

    std::vector<JournalRecord> records = journal.query();
    std::reverse(records.begin(), records.end()); // oldest first
    ASSERT_EQ(records.size(), 5u);
    const QStringList lines{"SITE ADDUSER recruit Friends", "SITE CHPASS recruit *****",
                            "SITE ADDIDENTD recruit *@10.9.9.*", "SITE CHGRP recruit NoSuchGroup", "RMD /no-such-dir"};
    for (std::size_t i = 0; i < records.size(); ++i) {
        const JournalRecord& r = records[i];
        EXPECT_EQ(r.line, lines[qsizetype(i)]);
        EXPECT_EQ(r.site, "home");
        EXPECT_EQ(r.host, "127.0.0.1");
        EXPECT_EQ(r.port, sim.port);
        EXPECT_GT(r.code, 0) << r.line.toStdString();
    }
    EXPECT_EQ(records[0].outcome, JournalOutcome::Done);
    EXPECT_EQ(records[3].outcome, JournalOutcome::Refused);
    EXPECT_EQ(records[4].outcome, JournalOutcome::Refused);
    EXPECT_EQ(records[3].user, "recruit");

    // The user was first looked at after it was added: those two changes have an after and no before.
    for (const JournalRecord& r : {records[0], records[1]}) {
        EXPECT_TRUE(r.before.isEmpty()) << r.line.toStdString();
        ASSERT_FALSE(r.after.isEmpty()) << r.line.toStdString();
        EXPECT_TRUE(r.after.front().contains("recruit")) << r.after.front().toStdString();
    }
    // The ident between two looks: the diff shows what it changed.
    const QStringList diff = journalDiff(records[2].before, records[2].after);
    EXPECT_EQ(diff.filter(QRegularExpression("^\\+ .*10\\.9\\.9")).size(), 1) << diff.join('\n').toStdString();
    EXPECT_EQ(diff.filter(QRegularExpression("^- ")).size(), 1) << diff.join('\n').toStdString();
    // The refused group change came between the same two looks.
    EXPECT_EQ(records[3].before.join('\n'), records[2].before.join('\n'));
    EXPECT_EQ(records[3].after.join('\n'), records[2].after.join('\n'));

    for (const char* suffix : {"", "-wal"})
        EXPECT_FALSE(fileBytes(journal.path() + suffix).contains("Hunter2-secret")) << suffix;
}
