// kolvane-run as a script runs it: a site book of its own, scripted daemons and quillon-sim, and what the program
// prints and returns: folded and JSON output, the command line's sites and options, names matched as the book
// compares them and printed escaped, reruns of what failed, a dry run that sends nothing, JSON that comes as each
// site ends, SIGTERM keeping what came, never a prompt without a terminal, and a watch that prints what changed
// until Ctrl-C.

#include "FtpTestSupport.h"
#include "common/SimProcess.h"
#include "platform/SettingsStore.h"
#include "session/Journal.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>

namespace {

ScriptPeer::Script answering(std::string reply)
{
    return [reply](PeerSession& c) {
        c.send("220 ready\r\n");
        c.expect("USER op");
        c.send("331 Password required\r\n");
        c.expect("PASS pw");
        c.send("230 Logged in\r\n");
        c.expect("SITE WHO");
        c.send(reply);
        c.expect("QUIT");
        c.send("221 bye\r\n");
    };
}

struct ToolRun {
    int status = -1;
    QString out;
    QString err;
};

// A site book of its own under a temporary config folder, without a secret store.
class Book {
public:
    Book()
    {
        EXPECT_TRUE(config_.isValid());
        cipher_.SetKey(std::string(DiamondConsoleKey));
    }

    QString config() const { return config_.path(); }

    // Runs work on the book's store, as this test's process reaches it.
    void edit(const std::function<void(TSettingsStore&, const TDiamond&)>& work)
    {
        const QByteArray before = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config_.path().toLocal8Bit());
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        {
            TSettingsStore store(TSettingsStore::defaultPath());
            work(store, cipher_);
        }
        if (!bus.isEmpty())
            qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
        qputenv("XDG_CONFIG_HOME", before);
    }

    void add(const std::string& name, quint16 port, const std::string& folder = "", const std::string& login = "op",
             const std::string& password = "pw")
    {
        edit([&](TSettingsStore& store, const TDiamond& cipher) {
            SiteBook::Record site;
            site.host = "127.0.0.1";
            site.port = std::to_string(port);
            site.login = login;
            site.password = password;
            site.folder = folder;
            SiteBook::save(store, cipher, name, site);
        });
    }

    // Starts kolvane-run on this book, its standard input not a terminal, with the extra variables given.
    void start(QProcess& tool, const QStringList& args, const QStringList& extra = {}) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& variable : extra)
            env.insert(variable.section('=', 0, 0), variable.section('=', 1));
        env.insert("XDG_CONFIG_HOME", config_.path());
        env.remove("DBUS_SESSION_BUS_ADDRESS"); // no secret store: the book's own passwords are used
        tool.setProcessEnvironment(env);
        tool.start(qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/session/kolvane-run", args);
        tool.waitForStarted(5000);
    }

    ToolRun run(const QStringList& args, const QByteArray& input = {}, const QStringList& extra = {}) const
    {
        QProcess tool;
        start(tool, args, extra);
        tool.write(input);
        tool.closeWriteChannel();
        if (!tool.waitForFinished(20000)) {
            tool.kill();
            tool.waitForFinished();
        }
        return {tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1,
                QString::fromUtf8(tool.readAllStandardOutput()), QString::fromUtf8(tool.readAllStandardError())};
    }

private:
    QTemporaryDir config_;
    TDiamond cipher_;
};

} // namespace

TEST(RunTool, ChoosesSitesFoldsAndRerunsWhatFailed)
{
    ScriptPeer alpha(answering("200 nobody is on\r\n"), 3), beta(answering("200 nobody is on\r\n"), 3);
    ScriptPeer gamma(answering("550 WHO is off\r\n"), 3);
    Book book;
    book.add("alpha", alpha.port(), "eu");
    book.add("beta", beta.port(), "eu/north");
    book.add("gamma", gamma.port(), "us");
    QTemporaryDir dir;
    const QString failed = dir.filePath("failed.txt");

    const ToolRun plain = book.run({"--all", "--failed-to", failed, "WHO"});
    EXPECT_EQ(plain.status, 1) << plain.err.toStdString(); // gamma refused
    EXPECT_EQ(plain.out, "== 2 sites: alpha, beta\n200 nobody is on\n== gamma (refused)\n550 WHO is off\n"
                         "-- 2 ok, 1 refused\n");
    QFile names(failed);
    ASSERT_TRUE(names.open(QIODevice::ReadOnly));
    EXPECT_EQ(names.readAll(), "gamma\n");

    // Folders match whatever their case; JSON has an object per site, then the recap.
    const ToolRun json = book.run({"--json", "--folder", "EU", "WHO"});
    EXPECT_EQ(json.status, 0) << json.err.toStdString();
    QStringList lines = json.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    std::sort(lines.begin(), lines.end() - 1); // each site's object comes as it ends: in any order
    EXPECT_TRUE(lines[0].startsWith(R"({"site": "alpha", "ok": true, "code": 200, "lines": ["200 nobody is on"], )"
                                    R"("error": null, "ms": )"))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith(R"("outcome": "ok", "line": 1, "command": "WHO", "note": null})"))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith(R"({"site": "beta", )")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].startsWith(R"({"recap": {"sites": 2, "ok": 2, "refused": 0, )")) << lines[2].toStdString();

    // The names written for the failed ones choose exactly those again, from a file or from standard input.
    const ToolRun again = book.run({"--sites-from", failed, "WHO"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "== gamma (refused)\n550 WHO is off\n-- 1 refused\n");
    EXPECT_EQ(book.run({"--sites-from", "-", "WHO"}, "# the failed one\ngamma\n").out, again.out);

    // Options after the sites are options; the command begins at its first word.
    const ToolRun options = book.run({"alpha", "beta", "--timeout", "5", "--json", "WHO"});
    EXPECT_EQ(options.status, 0) << options.err.toStdString();
    EXPECT_EQ(options.out.count(R"("command": "WHO")"), 2) << options.out.toStdString();

    // Usage errors send nothing: every peer's connections are used up above, and each got exactly what it expected.
    EXPECT_EQ(book.run({"WHO"}).status, 2); // no site named
    EXPECT_EQ(book.run({"--jobs", "0", "--all", "WHO"}).status, 2);
    EXPECT_EQ(book.run({"alpha"}).status, 2); // no command
    const ToolRun unknown = book.run({"alpha", "--bogus", "WHO"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(unknown.err.contains("unknown option --bogus")) << unknown.err.toStdString();
    const ToolRun typo = book.run({"betaa", "WHO"});
    EXPECT_EQ(typo.status, 2);
    EXPECT_TRUE(typo.err.contains("betaa names no site of the book; did you mean beta?")) << typo.err.toStdString();
    EXPECT_EQ(book.run({"--folder", "asia", "WHO"}).status, 3); // no site matched
    for (const ScriptPeer* peer : {&alpha, &beta, &gamma})
        EXPECT_EQ(peer->failure(), "");
}

TEST(RunTool, ADryRunConnectsToNothingAndHidesPasswords)
{
    SimProcess sim;
    Book book;
    book.add("east", sim.port, "", "siteop", "quillon");
    book.add("west", sim.port, "", "siteop", "quillon");
    const ToolRun dry = book.run({"--all", "--dry-run", "ADDUSER", "bob", "staff", "s3cret"});
    EXPECT_EQ(dry.status, 0) << dry.err.toStdString();
    EXPECT_EQ(dry.out.count("== "), 2);
    EXPECT_TRUE(dry.out.contains("USER siteop\nPASS *****\nSITE ADDUSER bob staff *****\nQUIT\n"))
        << dry.out.toStdString();
    EXPECT_FALSE(dry.out.contains("s3cret"));
    EXPECT_FALSE(dry.out.contains("quillon\n"));
    QTest::qWait(200);
    EXPECT_TRUE(sim.commands().isEmpty()) << sim.commands().join('\n').toStdString();
}

TEST(RunTool, JsonComesAsEachSiteEndsAndSigtermKeepsWhatCame)
{
    ScriptPeer fast(answering("200 nobody is on\r\n"));
    ScriptPeer slow([](PeerSession& c) {
        c.send("220 ready\r\n");
        c.expect("USER op");
        c.send("331 Password required\r\n");
        c.expect("PASS pw");
        c.send("230 Logged in\r\n");
        c.expect("SITE WHO");
        c.send("200- one\r\n200- two\r\n");
        c.waitClosed(); // the last line never comes
    });
    Book book;
    book.add("fast", fast.port());
    book.add("slow", slow.port());
    QProcess tool;
    book.start(tool, {"--all", "--json", "WHO"});
    QByteArray out;
    while (!out.contains('\n') && tool.waitForReadyRead(10000))
        out += tool.readAllStandardOutput();
    // The fast site's object is out while the slow site still waits.
    EXPECT_TRUE(out.startsWith(R"({"site": "fast", "ok": true)")) << out.toStdString();
    ASSERT_EQ(tool.state(), QProcess::Running);
    QTest::qWait(300);
    ::kill(pid_t(tool.processId()), SIGTERM);
    ASSERT_TRUE(tool.waitForFinished(5000));
    out += tool.readAllStandardOutput();
    EXPECT_EQ(tool.exitCode(), 143);
    EXPECT_TRUE(out.contains(R"({"site": "slow", "ok": false, "code": 200, "lines": ["200- one", "200- two"], )"))
        << out.toStdString();
    EXPECT_TRUE(out.contains(R"("outcome": "cancelled")")) << out.toStdString();
    EXPECT_TRUE(out.contains(R"("cancelled": 1)")) << out.toStdString();
}

TEST(RunTool, NeverPromptsWithoutATerminal)
{
    ScriptPeer site(answering("200 nobody is on\r\n"));
    Book book;
    book.edit([](TSettingsStore& store, const TDiamond& cipher) {
        SiteBook::setMasterPasswordAsker([](bool) { return std::optional<std::string>("open sesame"); });
        SiteBook::setMasterPassword(store, cipher, "open sesame");
    });
    book.add("sealed", site.port());
    SiteBook::forgetMasterPassword();
    SiteBook::setMasterPasswordAsker(nullptr);
    QTemporaryDir dir;
    QFile right(dir.filePath("right")), wrong(dir.filePath("wrong"));
    ASSERT_TRUE(right.open(QIODevice::WriteOnly) && right.write("open sesame\n") > 0);
    ASSERT_TRUE(wrong.open(QIODevice::WriteOnly) && wrong.write("guess\n") > 0);
    right.close();
    wrong.close();

    const ToolRun asked = book.run({"--all", "WHO"}, "open sesame\n");
    EXPECT_EQ(asked.status, 3);
    EXPECT_TRUE(asked.err.contains("--master-password-file")) << asked.err.toStdString();
    EXPECT_EQ(book.run({"--all", "--master-password-file", wrong.fileName(), "WHO"}).status, 3);
    const ToolRun given = book.run({"--all", "--master-password-file", right.fileName(), "WHO"});
    EXPECT_EQ(given.status, 0) << given.err.toStdString();
    EXPECT_EQ(site.failure(), "");
}

TEST(RunTool, JournalsEveryChangeAndAKillBeforeTheReplyLeavesItsOutcomeUnknown)
{
    SimProcess home, stalling({"--stall-on", "SITE ADDGROUP Stalled"});
    Book book;
    book.add("home", home.port, "", "siteop", "quillon");
    book.add("stalling", stalling.port, "", "siteop", "quillon");
    QTemporaryDir state;
    const QByteArray before = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit()); // the tool's journal, apart from this program's
    TJournal journal(state.filePath("kolvane/journal.db"));

    // A script of a new user, looked at last: its changes keep the user's reply after them.
    const QString script = state.filePath("new-member.txt");
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("ADDUSER recruit Friends\nCHPASS recruit Tool-s3cret\nWHO\nUSER recruit\n");
    file.close();
    const ToolRun run = book.run({"home", "--script", script});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    std::vector<JournalRecord> records = journal.query();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].line, "SITE ADDUSER recruit Friends");
    EXPECT_EQ(records[0].line, "SITE CHPASS recruit *****");
    for (const JournalRecord& r : records) {
        EXPECT_EQ(r.program, "kolvane-run");
        EXPECT_EQ(r.site, "home");
        EXPECT_EQ(r.outcome, JournalOutcome::Done);
        ASSERT_FALSE(r.after.isEmpty());
        EXPECT_TRUE(r.after.front().contains("recruit")) << r.after.front().toStdString();
    }

    // Killed between the line and its reply: the entry was written before the line went, and says so.
    QProcess tool;
    book.start(tool, {"stalling", "ADDGROUP", "Stalled"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return stalling.commands().contains("SITE ADDGROUP Stalled"); }, 10000));
    tool.kill(); // SIGKILL: nothing of the tool runs after it
    tool.waitForFinished(5000);
    records = journal.query();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].line, "SITE ADDGROUP Stalled");
    EXPECT_EQ(records[0].outcome, JournalOutcome::Unknown);

    // A journal that cannot be written is said once in the run, and never stops a command.
    QFile blocker(state.filePath("blocked"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    qputenv("XDG_STATE_HOME", blocker.fileName().toLocal8Bit()); // a file where its folder would be
    const QString two = state.filePath("two.txt");
    QFile twoLines(two);
    ASSERT_TRUE(twoLines.open(QIODevice::WriteOnly));
    twoLines.write("ADDGROUP First\nADDGROUP Second\n");
    twoLines.close();
    const ToolRun troubled = book.run({"home", "--script", two});
    qputenv("XDG_STATE_HOME", before);
    EXPECT_EQ(troubled.status, 0) << troubled.err.toStdString();
    EXPECT_EQ(troubled.err.count("cannot be written"), 1) << troubled.err.toStdString();
    EXPECT_TRUE(home.commands().contains("SITE ADDGROUP Second"));

    QFile db(journal.path()), wal(journal.path() + "-wal");
    for (QFile* f : {&db, &wal}) {
        if (f->open(QIODevice::ReadOnly)) {
            EXPECT_FALSE(f->readAll().contains("Tool-s3cret")) << f->fileName().toStdString();
        }
    }
}

TEST(RunTool, NamesMatchAsTheBookComparesThemAndPrintEscaped)
{
    // The book folds A-Z only: "Ärger" and "ärger" are two sites, and "äRGER" names the second alone.
    ScriptPeer lower(answering("200 lower\r\n"), 2), bidi(answering("200 bidi\r\n"), 2);
    const QString hidden = QString::fromUtf16(u"prod\u202Eatad");
    Book book;
    book.add(QString::fromUtf16(u"\u00C4rger").toStdString(), closedPort());
    book.add(QString::fromUtf16(u"\u00E4rger").toStdString(), lower.port());
    book.add(hidden.toStdString(), bidi.port());
    const QString typed = QString::fromUtf16(u"\u00E4RGER");
    const ToolRun text = book.run({typed, hidden, "WHO"});
    EXPECT_EQ(text.status, 0) << text.err.toStdString();
    EXPECT_EQ(text.out, QString::fromUtf16(u"== \u00E4rger\n200 lower\n== prod\\u202Eatad\n200 bidi\n-- 2 ok\n"));
    const ToolRun json = book.run({"--json", typed, hidden, "WHO"});
    EXPECT_TRUE(json.out.contains(R"({"site": "prod\\u202Eatad", "ok": true)")) << json.out.toStdString();
    EXPECT_FALSE(json.out.contains(QChar(0x202E)));
    for (const ScriptPeer* peer : {&lower, &bidi})
        EXPECT_EQ(peer->failure(), "");
}

TEST(RunTool, AWatchPrintsWhatChangedEachRoundUntilCtrlC)
{
    SimProcess sim;
    Book book;
    book.add("east", sim.port, "", "siteop", "quillon");
    const QStringList fast{"KOLVANE_WATCH_SECOND_MS=100"}; // rounds every half second

    // Only reading commands are watched; a changing one is refused and sends nothing.
    const ToolRun refused = book.run({"east", "--watch", "5", "ADDUSER", "bobby", "Friends"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(refused.err.contains("nothing was sent: SITE ADDUSER bobby Friends changes the daemon's state"))
        << refused.err.toStdString();
    EXPECT_EQ(book.run({"east", "--rounds", "2", "USERS"}).status, 2); // --rounds without --watch

    // In JSON an object per site and round that changed: the first round's has every line added, the second
    // changed nothing.
    const ToolRun json = book.run({"--json", "--watch", "5", "--rounds", "2", "east", "USERS"}, {}, fast);
    EXPECT_EQ(json.status, 0) << json.err.toStdString();
    const QStringList objects = json.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(objects.size(), 2) << json.out.toStdString();
    EXPECT_TRUE(
        QRegularExpression(R"(^\{"round": 1, "time": "\d{4}-\d\d-\d\dT[^"]+", "site": "east", "outcome": "ok", )"
                           R"("code": 250, "added": \["200- User list of site Quillon:", )")
            .match(objects[0])
            .hasMatch())
        << objects[0].toStdString();
    EXPECT_TRUE(objects[0].contains(R"("removed": [], "error": null, "note": null})")) << objects[0].toStdString();
    EXPECT_TRUE(objects[1].startsWith(R"({"recap": {"sites": 1, "ok": 1, )")) << objects[1].toStdString();

    // As text, until Ctrl-C: a header each round, everything in the first, and a user added between rounds as an
    // added line.
    QProcess watch;
    book.start(watch, {"--watch", "5", "east", "USERS"}, fast);
    QByteArray out;
    while (!out.contains("-- round 2, ") && watch.waitForReadyRead(5000))
        out += watch.readAllStandardOutput();
    ASSERT_TRUE(out.contains("-- round 2, ")) << out.toStdString();
    EXPECT_TRUE(QRegularExpression(R"(^-- round 1, \d{4}-\d\d-\d\d \d\d:\d\d:\d\d: 1 ok\n== east\n200- User list)")
                    .match(QString::fromUtf8(out))
                    .hasMatch())
        << out.toStdString();
    const ToolRun added = book.run({"east", "ADDUSER", "bobby", "Friends"});
    EXPECT_EQ(added.status, 0) << added.out.toStdString();
    const QRegularExpression addedLine(R"(\n\+[^\n]*bobby)");
    while (!addedLine.match(QString::fromUtf8(out)).hasMatch() && watch.waitForReadyRead(5000))
        out += watch.readAllStandardOutput();
    EXPECT_TRUE(addedLine.match(QString::fromUtf8(out)).hasMatch()) << out.toStdString();
    EXPECT_TRUE(out.contains("\n== east\n-")) << out.toStdString();
    ::kill(pid_t(watch.processId()), SIGINT);
    ASSERT_TRUE(watch.waitForFinished(5000));
    EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(watch.exitCode(), 130);
    // One log-in per watch however many rounds ran, and each watch logged out at its end.
    const QStringList commands = sim.commands();
    EXPECT_EQ(commands.count("USER siteop"), 3) << commands.join('\n').toStdString();
    EXPECT_EQ(commands.count("QUIT"), 3) << commands.join('\n').toStdString();
    EXPECT_GT(commands.count("SITE USERS"), 4);
}
