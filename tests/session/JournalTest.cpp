// The change journal: which lines it takes, entries written and read back through the filters, an entry whose
// program was killed before the reply, processes and threads writing at once, the passwords that never reach the
// file, the age bound, a journal that cannot be written, and kolvane-journal as a script runs it.

#include "session/Journal.h"
#include "platform/SettingsLayout.h"
#include "platform/SettingsStore.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeZone>

#include <sqlite3.h>

#include <sys/stat.h>
#include <thread>

namespace {

JournalEntry entry(const std::string& site, const std::string& line, int port = 21)
{
    JournalEntry e;
    e.site = site;
    e.host = "ftp." + site + ".example";
    e.port = port;
    e.line = line;
    return e;
}

QStringList linesOf(const std::vector<JournalRecord>& records)
{
    QStringList lines;
    for (const JournalRecord& r : records)
        lines << r.line;
    return lines;
}

// Writes count entries from each of threads threads, each begun and completed; the lines name tag, thread and
// number.
void writeConcurrently(TJournal& journal, const QString& tag, int threads, int count)
{
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&journal, tag, t, count] {
            for (int n = 0; n < count; ++n) {
                const std::string user = QStringLiteral("%1-%2-%3").arg(tag).arg(t).arg(n).toStdString();
                const std::int64_t id = journal.begin(entry("load", "SITE CHFLAG " + user + " NUKE YES"));
                journal.complete(id, 200, "200 Flag set.", JournalOutcome::Done);
            }
        });
    for (std::thread& worker : workers)
        worker.join();
}

// Starts this test program again as a child that writes to the journal at path, as the test named by mode does.
void startChild(QProcess& child, const QString& path, const QString& mode)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KOLVANE_JOURNAL_CHILD", path);
    env.insert("KOLVANE_JOURNAL_CHILD_MODE", mode);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=JournalChild.WritesAsTheParentSays", "--gtest_brief=1"});
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Sets the time of the entries whose line holds text, straight in the file, as if they had been written days ago.
void age(const QString& path, const std::string& text, int days)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
    const std::string time = QDateTime::currentDateTimeUtc().addDays(-days).toString(Qt::ISODateWithMs).toStdString();
    const std::string sql = "UPDATE entries SET time = '" + time + "' WHERE line LIKE '%" + text + "%'";
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

} // namespace

// Not a test of its own: the child that the tests below start, writing to the journal their way.
TEST(JournalChild, WritesAsTheParentSays)
{
    const QString path = qEnvironmentVariable("KOLVANE_JOURNAL_CHILD");
    if (path.isEmpty())
        GTEST_SKIP() << "runs only as the child of the journal's tests";
    const QStringList mode = qEnvironmentVariable("KOLVANE_JOURNAL_CHILD_MODE").split(':');
    TJournal journal(path);
    if (mode.value(0) == "hang") {
        // Begun, and never completed: the parent kills this process before the reply would come.
        const std::int64_t id = journal.begin(entry("crash", "SITE DELUSER victim"));
        std::printf("begun %lld\n", static_cast<long long>(id));
        std::fflush(stdout);
        QThread::sleep(30);
        FAIL() << "the parent should have killed this process";
    }
    writeConcurrently(journal, mode.value(1), mode.value(2).toInt(), mode.value(3).toInt());
}

TEST(Journal, OneFunctionDecidesWhichLinesAreJournaledAndWhoTheyName)
{
    const std::pair<const char*, bool> lines[] = {
        {"SITE ADDUSER bob staff", true},
        {"site chpass bob s3cret", true},
        {"SITE DELGROUP staff other", true},
        {"SITE NUKE 3 x.y dupe", true},
        {"SITE KILL 4242", true},
        {"SITE SOMETHINGNEW x", true},
        {"SITE WHO", false},
        {"  site users staff", false},
        {"SITE USER bob", false},
        {"SITE ZIPLIST pub/x.zip", false},
        {"DELE pub/old.nfo", true},
        {"RMD pub/old", true},
        {"MKD pub/new", true},
        {"RNFR a", true},
        {"RNTO b", true},
        {"STOR up.zip", true},
        {"USER siteop", false},
        {"PASS quillon", false},
        {"QUIT", false},
        {"noop", false},
        {"CWD /pub/", false},
        {"PWD", false},
        {"LIST -la", false},
        {"PASV", false},
        {"EPSV", false},
        {"PORT 127,0,0,1,4,1", false},
        {"EPRT |1|127.0.0.1|1025|", false},
        {"TYPE A", false},
        {"AUTH TLS", false},
        {"PBSZ 0", false},
        {"PROT P", false},
        {"SYST", false},
        {"FEAT", false},
        {"", false},
        {"   ", false},
    };
    for (const auto& [line, expected] : lines)
        EXPECT_EQ(journaled(line), expected) << line;

    const std::pair<const char*, const char*> named[] = {
        {"SITE ADDUSER bob staff", "bob"},
        {"SITE CHFLAG carol NUKE YES", "carol"},
        {"SITE GIVE 1024 dave", "dave"},
        {"site take 2048 erin", "erin"},
        {"SITE ADDIDENTD fred *@1.2.3.4", "fred"},
        {"SITE DELGROUP staff", ""},
        {"SITE GIVE 1024", ""},
        {"DELE bob", ""},
    };
    for (const auto& [line, user] : named)
        EXPECT_EQ(userNamedIn(line), user) << line;
}

TEST(Journal, EntriesAreReadBackNewestFirstThroughEveryFilter)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("state/kolvane/journal.db");
    TJournal journal(path);
    EXPECT_TRUE(journal.query().empty()) << "a journal not written yet has no entries";
    EXPECT_FALSE(QFile::exists(path)) << "reading makes no file";

    EXPECT_EQ(journal.begin(entry("home", "SITE WHO")), 0) << "a line that only reads is not journaled";
    const std::int64_t added = journal.begin(entry("home", "SITE ADDUSER bob staff"));
    ASSERT_GT(added, 0);
    journal.complete(added, 200, "200 User bob added.\r\n", JournalOutcome::Done);
    const std::int64_t refused = journal.begin(entry("Lab", "SITE DELUSER carol", 2121));
    journal.complete(refused, 550, "550 No such user.", outcomeOfReply(550));
    const std::int64_t lost = journal.begin(entry("home", "DELE pub/old.nfo"));
    journal.complete(lost, 0, "Connection lost while waiting for the reply", outcomeOfReply(0));
    JournalEntry change = entry("lab", "SITE CHGRP bob other", 2121);
    change.before = {"200- User bob", "200- Group: staff", "200- Ratio: 1:3", "200 End"};
    const std::int64_t changed = journal.begin(change);
    journal.complete(changed, 200, "200 Group changed.", JournalOutcome::Done,
                     {"200- User bob", "200- Group: other", "200- Ratio: 1:3", "200 End"});
    const std::int64_t pending = journal.begin(entry("home", "SITE GIVE 1024 bob"));
    ASSERT_GT(pending, 0);

    const std::vector<JournalRecord> all = journal.query();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(linesOf(all), (QStringList{"SITE GIVE 1024 bob", "SITE CHGRP bob other", "DELE pub/old.nfo",
                                         "SITE DELUSER carol", "SITE ADDUSER bob staff"}));
    const JournalRecord& first = all.back();
    EXPECT_EQ(first.site, "home");
    EXPECT_EQ(first.host, "ftp.home.example");
    EXPECT_EQ(first.port, 21);
    EXPECT_EQ(first.program, QCoreApplication::applicationName());
    EXPECT_FALSE(first.account.isEmpty());
    EXPECT_EQ(first.user, "bob");
    EXPECT_EQ(first.code, 200);
    EXPECT_EQ(first.reply, "200 User bob added.");
    EXPECT_EQ(first.outcome, JournalOutcome::Done);
    const QDateTime when = QDateTime::fromString(first.time, Qt::ISODateWithMs);
    EXPECT_TRUE(first.time.endsWith('Z')) << first.time.toStdString();
    EXPECT_LT(std::abs(when.secsTo(QDateTime::currentDateTimeUtc())), 60) << first.time.toStdString();
    EXPECT_EQ(all[3].outcome, JournalOutcome::Refused);
    EXPECT_EQ(all[2].outcome, JournalOutcome::Failed);
    EXPECT_EQ(all[2].code, 0);
    EXPECT_EQ(all[2].reply, "Connection lost while waiting for the reply");
    EXPECT_EQ(all[0].outcome, JournalOutcome::Unknown);
    EXPECT_STREQ(outcomeWord(all[0].outcome), "sent, outcome unknown");
    EXPECT_EQ(all[1].before.size(), 4);
    EXPECT_EQ(journalDiff(all[1].before, all[1].after),
              (QStringList{"  200- User bob", "- 200- Group: staff", "+ 200- Group: other", "  200- Ratio: 1:3",
                           "  200 End"}));

    JournalFilter bySite;
    bySite.site = "LAB";
    EXPECT_EQ(linesOf(journal.query(bySite)), (QStringList{"SITE CHGRP bob other", "SITE DELUSER carol"}));
    JournalFilter byUser;
    byUser.user = "bob";
    EXPECT_EQ(linesOf(journal.query(byUser)),
              (QStringList{"SITE GIVE 1024 bob", "SITE CHGRP bob other", "SITE ADDUSER bob staff"}));
    JournalFilter byText;
    byText.text = "group: STAFF"; // in a user's reply before the change
    EXPECT_EQ(linesOf(journal.query(byText)), (QStringList{"SITE CHGRP bob other"}));
    byText.text = "no such";
    EXPECT_EQ(linesOf(journal.query(byText)), (QStringList{"SITE DELUSER carol"}));
    JournalFilter newest;
    newest.limit = 2;
    EXPECT_EQ(journal.query(newest).size(), 2u);
    EXPECT_EQ(journal.sites(), (QStringList{"home", "lab"})) << "one site, whatever the case of its name";
    EXPECT_EQ(journal.users(), (QStringList{"bob", "carol"}));

    // The time range: the two oldest moved back by days, so that since and until fall between them.
    age(path, "ADDUSER", 10);
    age(path, "DELUSER", 5);
    JournalFilter range;
    range.since = QDateTime::currentDateTimeUtc().addDays(-7);
    range.until = QDateTime::currentDateTimeUtc().addDays(-3);
    EXPECT_EQ(linesOf(journal.query(range)), (QStringList{"SITE DELUSER carol"}));
    range.until = QDateTime();
    EXPECT_EQ(journal.query(range).size(), 4u);

    EXPECT_EQ(parseJournalTime("2026-03-01", false), QDateTime(QDate(2026, 3, 1), QTime(0, 0), QTimeZone::utc()));
    EXPECT_EQ(parseJournalTime("2026-03-01", true),
              QDateTime(QDate(2026, 3, 1), QTime(23, 59, 59, 999), QTimeZone::utc()));
    EXPECT_EQ(parseJournalTime("2026-03-01 12:30+02:00", true),
              QDateTime(QDate(2026, 3, 1), QTime(10, 30), QTimeZone::utc()));
    EXPECT_EQ(parseJournalTime("2026-03-01T12:30:05.5Z", false),
              QDateTime(QDate(2026, 3, 1), QTime(12, 30, 5, 500), QTimeZone::utc()));
    for (const char* wrong : {"2026-02-30", "yesterday", "2026-03-01 25:00", "2026-03-01T12:00+24:00", ""})
        EXPECT_FALSE(parseJournalTime(wrong, false).isValid()) << wrong;
}

TEST(Journal, AnEntryWhoseProgramIsKilledBeforeTheReplyReadsSentOutcomeUnknown)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("journal.db");
    QProcess child;
    startChild(child, path, "hang");
    ASSERT_TRUE(child.waitForStarted(10000));
    QByteArray said;
    for (int i = 0; i < 100 && !said.contains('\n'); ++i)
        if (child.waitForReadyRead(100))
            said += child.readAllStandardOutput();
    ASSERT_TRUE(said.startsWith("begun ")) << said.toStdString();
    EXPECT_NE(said.trimmed(), "begun 0");
    child.kill(); // SIGKILL: nothing of the child runs after it
    ASSERT_TRUE(child.waitForFinished(10000));
    EXPECT_EQ(child.exitStatus(), QProcess::CrashExit);

    TJournal journal(path);
    const std::vector<JournalRecord> records = journal.query();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].line, "SITE DELUSER victim");
    EXPECT_EQ(records[0].outcome, JournalOutcome::Unknown);
    EXPECT_EQ(records[0].code, 0);
    EXPECT_EQ(QString::fromUtf8(JournalReport::text(records)).count("[sent, outcome unknown]"), 1);
}

TEST(Journal, TwoProcessesAndManyThreadsWritingAtOnceLoseNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("journal.db");
    constexpr int threads = 4, count = 20;
    QProcess first, second;
    startChild(first, path, QStringLiteral("write:one:%1:%2").arg(threads).arg(count));
    startChild(second, path, QStringLiteral("write:two:%1:%2").arg(threads).arg(count));
    TJournal journal(path);
    QStringList troubles;
    journal.setOnTrouble([&](const QString& reason) { troubles << reason; });
    writeConcurrently(journal, "three", threads, count);
    for (QProcess* child : {&first, &second}) {
        ASSERT_TRUE(child->waitForFinished(60000));
        EXPECT_EQ(child->exitCode(), 0);
    }
    EXPECT_EQ(troubles, QStringList());

    const std::vector<JournalRecord> records = journal.query();
    QSet<QString> users;
    QSet<std::int64_t> ids;
    for (const JournalRecord& r : records) {
        users.insert(r.user);
        ids.insert(r.id);
        EXPECT_EQ(r.outcome, JournalOutcome::Done) << r.line.toStdString();
    }
    EXPECT_EQ(records.size(), std::size_t(3 * threads * count));
    EXPECT_EQ(ids.size(), 3 * threads * count);
    for (const char* tag : {"one", "two", "three"})
        for (int t = 0; t < threads; ++t)
            for (int n = 0; n < count; ++n)
                EXPECT_TRUE(users.contains(QStringLiteral("%1-%2-%3").arg(tag).arg(t).arg(n))) << tag << t << n;
}

TEST(Journal, NoPasswordReachesTheFileAndOnlyItsOwnerMayReadIt)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("state/kolvane");
    const QString path = folder + "/journal.db";
    const QStringList passwords{"Quill0nPass", "s3cret-Alpha", "Zebra_42_x", "Hidden.Again"};
    {
        TJournal journal(path);
        EXPECT_EQ(journal.begin(entry("home", "PASS Quill0nPass")), 0);
        const std::int64_t chpass = journal.begin(entry("home", "SITE CHPASS bob s3cret-Alpha"));
        // A daemon that echoes what it did not understand, password and all.
        journal.complete(chpass, 500, "500 'SITE CHPASS bob s3cret-Alpha': command not understood",
                         JournalOutcome::Refused);
        JournalEntry add = entry("home", "site  adduser carol staff Zebra_42_x");
        add.before = {"200- no user carol (tried Zebra_42_x)", "200 End"};
        const std::int64_t adduser = journal.begin(add);
        journal.complete(adduser, 200, "200 User added.", JournalOutcome::Done,
                         {"200- User carol", "200- Password: Zebra_42_x", "200 End"});
        const std::int64_t lost = journal.begin(entry("lab", "SITE CHPASS dave Hidden.Again"));
        journal.complete(lost, 0, "Timed out waiting for SITE CHPASS dave Hidden.Again", JournalOutcome::Failed);

        const std::vector<JournalRecord> records = journal.query();
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(records[2].line, "SITE CHPASS bob *****");
        EXPECT_EQ(records[2].reply, "500 'SITE CHPASS bob *****': command not understood");
        EXPECT_EQ(records[1].line, "site  adduser carol staff *****");
        EXPECT_EQ(records[1].after[1], "200- Password: *****");
        EXPECT_EQ(records[1].before[0], "200- no user carol (tried *****)");
        EXPECT_EQ(records[0].reply, "Timed out waiting for SITE CHPASS dave *****");

        // While the journal is open its newest pages are in the write-ahead log; after it, in the file itself.
        EXPECT_TRUE(QFile::exists(path + "-wal"));
        for (const QString& file : {path, path + "-wal", path + "-shm"})
            for (const QString& password : passwords)
                EXPECT_FALSE(fileBytes(file).contains(password.toUtf8()))
                    << file.toStdString() << " holds " << password.toStdString();
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ASSERT_EQ(::stat(QFile::encodeName(path + "-wal").constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0077, 0u);
        ASSERT_EQ(::stat(QFile::encodeName(folder).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    for (const QString& name : QDir(folder).entryList(QDir::Files))
        for (const QString& password : passwords)
            EXPECT_FALSE(fileBytes(folder + "/" + name).contains(password.toUtf8()))
                << name.toStdString() << " holds " << password.toStdString();
}

TEST(Journal, TheAgeBoundDropsOldEntriesAndComesFromItsSetting)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("journal.db");
    {
        TJournal journal(path);
        for (const char* line : {"SITE DELUSER ancient", "SITE DELUSER old", "SITE DELUSER recent"})
            journal.complete(journal.begin(entry("home", line)), 200, "200 Deleted.", JournalOutcome::Done);
    }
    age(path, "ancient", 400);
    age(path, "old", 40);
    {
        // The default year: only the ancient one goes, as soon as a program writes again.
        TJournal journal(path);
        EXPECT_EQ(journal.query().size(), 3u) << "reading drops nothing";
        journal.begin(entry("home", "SITE DELUSER fresh"));
        EXPECT_EQ(linesOf(journal.query()),
                  (QStringList{"SITE DELUSER fresh", "SITE DELUSER recent", "SITE DELUSER old"}));
        // A tighter bound takes effect at the next entry.
        journal.setKeepDays(30);
        journal.begin(entry("home", "SITE DELUSER newest"));
        EXPECT_EQ(linesOf(journal.query()),
                  (QStringList{"SITE DELUSER newest", "SITE DELUSER fresh", "SITE DELUSER recent"}));
    }

    TSettingsStore store(dir.filePath("settings.db").toStdString());
    EXPECT_EQ(TJournal::keepDaysSetting(store), TJournal::DefaultKeepDays) << "an empty store";
    ASSERT_TRUE(SettingsLayout::openProgramKey(store, true));
    for (const auto& [stored, read, noted] : {std::tuple{"30", 30, false}, std::tuple{"0", 365, true},
                                              std::tuple{"99999", 36500, true}, std::tuple{"many", 365, true}}) {
        SettingsLayout::openProgramKey(store, true);
        store.WriteString(SettingsLayout::Settings, SettingsLayout::JournalDays, stored);
        QString note;
        EXPECT_EQ(TJournal::keepDaysSetting(store, &note), read) << stored;
        EXPECT_EQ(note.contains("JournalDays"), noted) << stored << ": " << note.toStdString();
    }
}

TEST(Journal, AJournalThatCannotBeWrittenIsSaidOnceAndNeverStopsACommand)
{
    QTemporaryDir dir;
    QFile blocker(dir.filePath("state"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    TJournal journal(dir.filePath("state/kolvane/journal.db"));
    for (int i = 0; i < 3; ++i) {
        const std::int64_t id = journal.begin(entry("home", "SITE DELUSER bob"));
        EXPECT_EQ(id, 0);
        journal.complete(id, 200, "200 Deleted.", JournalOutcome::Done); // nothing to complete, and no throw
    }
    EXPECT_TRUE(journal.troubled());
    // Said before anyone listened: the handler set later hears it, once.
    QStringList said;
    journal.setOnTrouble([&](const QString& reason) { said << reason; });
    journal.begin(entry("home", "SITE DELUSER carol"));
    ASSERT_EQ(said.size(), 1);
    EXPECT_TRUE(said[0].startsWith("The change journal " + dir.filePath("state/kolvane/journal.db") +
                                   " cannot be written: its folder cannot be made: "))
        << said[0].toStdString();
    EXPECT_TRUE(said[0].endsWith(" is not a folder. Commands go on without it.")) << said[0].toStdString();
}

TEST(JournalTool, PrintsTheEntriesTheOptionsTakeAsTextJsonOrCsv)
{
    QTemporaryDir state;
    {
        TJournal journal(state.filePath("kolvane/journal.db"));
        const std::int64_t one = journal.begin(entry("home", "SITE ADDUSER bob staff"));
        journal.complete(one, 200, "200 User bob added.", JournalOutcome::Done);
        const std::int64_t two = journal.begin(entry("lab", "SITE DELUSER carol"));
        journal.complete(two, 550, "550 No such user \x1b[31mcarol", JournalOutcome::Refused);
        JournalEntry change = entry("lab", "SITE CHGRP bob other");
        change.before = {"200- Group: staff", "200 End"};
        journal.complete(journal.begin(change), 200, "200 Done.", JournalOutcome::Done,
                         {"200- Group: other", "200 End"});
    }
    age(state.filePath("kolvane/journal.db"), "ADDUSER", 3);
    const auto run = [&](const QStringList& args) {
        QProcess tool;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", state.path());
        tool.setProcessEnvironment(env);
        tool.start(qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/session/kolvane-journal", args);
        if (!tool.waitForFinished(20000))
            tool.kill();
        tool.waitForFinished();
        return std::tuple{tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1,
                          QString::fromUtf8(tool.readAllStandardOutput()),
                          QString::fromUtf8(tool.readAllStandardError())};
    };

    const auto [status, text, err] = run({});
    EXPECT_EQ(status, 0) << err.toStdString();
    const QStringList rows = text.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 6) << text.toStdString(); // three entries, and below the change its diff of three lines
    EXPECT_TRUE(rows[0].contains("  lab (ftp.lab.example:21)  ")) << rows[0].toStdString();
    EXPECT_TRUE(rows[0].endsWith("SITE CHGRP bob other  =>  200 Done.  [done]")) << rows[0].toStdString();
    EXPECT_EQ(rows.mid(1, 3), (QStringList{"    - 200- Group: staff", "    + 200- Group: other", "      200 End"}));
    EXPECT_TRUE(rows[4].contains("550 No such user \\u001B[31mcarol  [refused]")) << rows[4].toStdString();
    EXPECT_TRUE(rows[5].contains("SITE ADDUSER bob staff")) << rows[5].toStdString();

    const auto [siteStatus, lab, siteErr] = run({"--site", "LAB", "--grep", "carol"});
    EXPECT_EQ(siteStatus, 0) << siteErr.toStdString();
    EXPECT_EQ(lab.count('\n'), 1) << lab.toStdString();
    EXPECT_TRUE(lab.contains("SITE DELUSER carol")) << lab.toStdString();

    const QString since = QDateTime::currentDateTimeUtc().addDays(-4).toString(Qt::ISODate);
    const QString until = QDateTime::currentDateTimeUtc().addDays(-2).date().toString(Qt::ISODate);
    const auto [jsonStatus, json, jsonErr] = run({"--since", since, "--until", until, "--json"});
    EXPECT_EQ(jsonStatus, 0) << jsonErr.toStdString();
    const QStringList objects = json.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(objects.size(), 1) << json.toStdString();
    QJsonParseError error;
    const QJsonObject added = QJsonDocument::fromJson(objects[0].toUtf8(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << objects[0].toStdString();
    EXPECT_EQ(added["site"].toString(), "home");
    EXPECT_EQ(added["line"].toString(), "SITE ADDUSER bob staff");
    EXPECT_EQ(added["user"].toString(), "bob");
    EXPECT_EQ(added["code"].toInt(), 200);
    EXPECT_EQ(added["outcome"].toString(), "done");
    EXPECT_TRUE(added["before"].isNull());

    const auto [csvStatus, csv, csvErr] = run({"--csv", "--grep", "group: OTHER"});
    EXPECT_EQ(csvStatus, 0) << csvErr.toStdString();
    EXPECT_TRUE(csv.startsWith("time,account,program,site,host,port,line,user,code,reply,outcome,before,after\r\n"))
        << csv.toStdString();
    EXPECT_TRUE(csv.contains(",\"lab\",\"ftp.lab.example\",21,\"SITE CHGRP bob other\",\"bob\",200,\"200 Done.\","
                             "\"done\",\"200- Group: staff\n200 End\",\"200- Group: other\n200 End\"\r\n"))
        << csv.toStdString();

    for (const QStringList& wrong :
         {QStringList{"--json", "--csv"}, QStringList{"--since", "tomorrow"}, QStringList{"stray"}}) {
        const auto [wrongStatus, wrongOut, wrongErr] = run(wrong);
        EXPECT_EQ(wrongStatus, 2) << wrong.join(' ').toStdString();
        EXPECT_TRUE(wrongErr.contains("usage: kolvane-journal")) << wrongErr.toStdString();
    }
}
