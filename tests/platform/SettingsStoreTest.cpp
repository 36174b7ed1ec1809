// The settings store against a real SQLite file.

#include "platform/SettingsStore.h"
#include "platform/SettingsLayout.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sqlite3.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace {

class SettingsStoreTest : public ::testing::Test {
protected:
    std::string file() const { return dir.path().toStdString() + "/settings.db"; }

    static std::string slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // Runs raw SQL on the file the way another program would.
    void rawSql(const std::string& sql) const
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file().c_str(), &db), SQLITE_OK);
        char* error = nullptr;
        const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
        const std::string why = error ? error : "";
        sqlite3_free(error);
        sqlite3_close(db);
        ASSERT_EQ(rc, SQLITE_OK) << why;
    }

    // A store the way the console leaves it: the program key with a command history, a setting and a site.
    void writeTypicalStore() const
    {
        TSettingsStore store(file());
        ASSERT_TRUE(store.OpenKey("Drummock", true));
        store.WriteString("Custom Commands", "Command0", "SITE WHO");
        store.WriteString("Custom Commands\\Older", "Command0", "SITE NUKE");
        store.WriteString("Settings", "Height", "400");
        store.WriteString("SiTES\\home", "HostName", "ftp.example.net");
    }

    static std::string messageOf(const std::function<void()>& work)
    {
        try {
            work();
        } catch (const EStoreError& e) {
            return e.message();
        }
        return "(no error)";
    }

    QTemporaryDir dir;
};

TEST_F(SettingsStoreTest, ValuesListInTheOrderWrittenAndKeepTheirPlaceWhenRewritten)
{
    TSettingsStore store(file());
    ASSERT_TRUE(store.OpenKey("Drummock", true));
    for (int i = 0; i < 12; ++i)
        store.WriteString("Custom Commands", "Command" + std::to_string(i), "cmd " + std::to_string(i));
    store.WriteString("Custom Commands", "COMMAND3", "rewritten"); // names ignore case; the place stays

    TSettingsStore::ValueList values;
    store.ReadSectionValues("Custom Commands", values);
    ASSERT_EQ(values.size(), 12u);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(values[i].first, "Command" + std::to_string(i))
            << "not in name order: Command10 sorts before Command2";
    EXPECT_EQ(values[3].second, "rewritten");
    EXPECT_EQ(values[11].second, "cmd 11");

    // Empty values are left out of a section listing but still readable.
    store.WriteString("Custom Commands", "Command12", "");
    values.clear();
    store.ReadSectionValues("Custom Commands", values);
    EXPECT_EQ(values.size(), 12u);
    EXPECT_TRUE(store.ValueExists("Custom Commands", "command12"));
}

TEST_F(SettingsStoreTest, SubkeysListInCaseInsensitiveNameOrderAndNamesIgnoreCase)
{
    TSettingsStore store(file());
    ASSERT_TRUE(store.OpenKey("Drummock\\SiTES", true));
    for (const char* name : {"beta", "Alpha", "gamma", "ALPHA2", "_x"})
        store.WriteString(name, "HostName", name);
    std::vector<std::string> names{"stale entry"};
    store.GetKeyNames(names);
    EXPECT_EQ(names, (std::vector<std::string>{"_x", "Alpha", "ALPHA2", "beta", "gamma"}));

    EXPECT_EQ(store.ReadString("BETA", "hostname", "?"), "beta");
    store.CloseKey();
    ASSERT_TRUE(store.OpenKey("drummock\\sites", false));
    EXPECT_EQ(store.CurrentPath(), "Drummock\\SiTES");
    EXPECT_FALSE(store.OpenKey("nowhere", false));
    EXPECT_EQ(store.CurrentPath(), "Drummock\\SiTES") << "a failed open leaves the current key alone";
    EXPECT_FALSE(store.OpenKey("a\\\\b", true)) << "an empty name in a path opens nothing";
    ASSERT_TRUE(store.OpenKey("\\Drummock", false)) << "a leading separator starts at the root";
    EXPECT_EQ(store.CurrentPath(), "Drummock");
}

TEST_F(SettingsStoreTest, EveryByteValueIsKeptWhole)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    all += all; // NULs in the middle, and a value that ends with 0xFF
    {
        TSettingsStore store(file());
        store.WriteString("k", "PassWord", all);
        store.WriteString("k", "Nul", std::string("\0", 1));
    }
    TSettingsStore store(file());
    EXPECT_EQ(store.ReadString("k", "PassWord", ""), all);
    EXPECT_EQ(store.ReadString("k", "Nul", "x"), std::string("\0", 1));
    store.WriteString("k", "Empty", "");
    EXPECT_EQ(store.ReadString("k", "Empty", "default"), "") << "an empty value is a value, not a missing one";
}

TEST_F(SettingsStoreTest, IntegersFallBackToTheDefaultUnlessDecimal)
{
    TSettingsStore store(file());
    const std::pair<const char*, int> cases[] = {
        {"460", 460},
        {"-1", -1},
        {"0", 0},
        {"2147483647", 2147483647},
        {"-2147483648", INT_MIN},
        {"", 7},
        {"12a", 7},
        {" 5", 7},
        {"5 ", 7},
        {"+5", 7},
        {"-", 7},
        {"2147483648", 7},
        {"0x10", 7},
        {"99999999999999999999", 7},
    };
    for (const auto& [text, expected] : cases) {
        store.WriteString("Settings", "Height", text);
        EXPECT_EQ(store.ReadInteger("Settings", "Height", 7), expected) << "stored text '" << text << "'";
    }
    EXPECT_EQ(store.ReadInteger("Settings", "Missing", 620), 620);
    EXPECT_EQ(store.ReadInteger("NoSection", "Width", 620), 620);
    store.WriteInteger("Settings", "Width", -35);
    EXPECT_EQ(store.ReadString("Settings", "Width", ""), "-35") << "numbers are stored as decimal strings";
}

TEST_F(SettingsStoreTest, AValueOfAnotherTypeIsAnError)
{
    {
        TSettingsStore store(file());
        store.WriteString("Settings", "Height", "460");
    }
    rawSql("UPDATE vals SET type = 4 WHERE name = 'Height'");
    TSettingsStore store(file());
    try {
        store.ReadInteger("Settings", "Height", 460);
        FAIL() << "no error";
    } catch (const EStoreError& e) {
        EXPECT_EQ(e.message(), "Invalid data type for 'Height'");
    }
    TSettingsStore::ValueList values;
    EXPECT_THROW(store.ReadSectionValues("Settings", values), EStoreError);
    store.WriteString("Settings", "Height", "500"); // a string write repairs it
    EXPECT_EQ(store.ReadInteger("Settings", "Height", 0), 500);
}

TEST_F(SettingsStoreTest, EraseRemovesTheWholeSubtreeAndNothingElse)
{
    TSettingsStore store(file());
    ASSERT_TRUE(store.OpenKey("Drummock", true));
    store.WriteString("Custom Commands", "Command0", "WHO");
    store.WriteString("Custom Commands\\deeper\\deepest", "x", "1");
    store.WriteString("Custom Commands2", "Command0", "stays");
    store.WriteString("Settings", "Height", "400");
    store.EraseSection("custom commands");

    EXPECT_FALSE(store.SectionExists("Custom Commands"));
    EXPECT_EQ(store.ReadString("Custom Commands2", "Command0", ""), "stays");
    EXPECT_EQ(store.ReadInteger("Settings", "Height", 0), 400);
    store.EraseSection("never existed"); // no error
    rawSql("SELECT 1");                  // the file is still fine for others
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT (SELECT COUNT(*) FROM keys), (SELECT COUNT(*) FROM vals)", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 3) << "Drummock, Custom Commands2, Settings";
    EXPECT_EQ(sqlite3_column_int(st, 1), 2);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST_F(SettingsStoreTest, DefaultPathMakesAPrivateFolderAndFile)
{
    const QByteArray old = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", (dir.path() + "/cfg").toLocal8Bit());
    const std::string path = TSettingsStore::defaultPath();
    qputenv("XDG_CONFIG_HOME", old);
    EXPECT_EQ(path, dir.path().toStdString() + "/cfg/kolvane/settings.db");
    {
        TSettingsStore store(path);
        store.WriteString("a", "b", "c");
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((dir.path() + "/cfg/kolvane").toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SettingsStoreTest, TwoStoresOnOneFileLoseNeithersWrites)
{
    {
        TSettingsStore create(file());
    }
    auto writer = [this](const std::string& prefix) {
        TSettingsStore store(file());
        for (int i = 0; i < 100; ++i)
            store.WriteString("Shared", prefix + std::to_string(i), prefix);
    };
    std::thread a(writer, "a"), b(writer, "b");
    a.join();
    b.join();

    TSettingsStore store(file());
    TSettingsStore::ValueList values;
    store.ReadSectionValues("Shared", values);
    EXPECT_EQ(values.size(), 200u);
    // Each writer's values still list in its own order.
    int lastA = -1, lastB = -1;
    for (const auto& [name, text] : values) {
        int& last = text == "a" ? lastA : lastB;
        const int n = std::stoi(name.substr(1));
        EXPECT_EQ(n, last + 1);
        last = n;
    }
}

TEST_F(SettingsStoreTest, ATransactionStandsOrFallsAsAWhole)
{
    TSettingsStore store(file());
    store.WriteString("Custom Commands", "Command0", "old");
    EXPECT_THROW(store.transaction([&] {
        store.EraseSection("Custom Commands");
        store.WriteString("Custom Commands", "Command0", "new");
        throw EStoreError("crash half-way");
    }),
                 EStoreError);
    EXPECT_EQ(store.ReadString("Custom Commands", "Command0", ""), "old");
}

TEST_F(SettingsStoreTest, AFailedWriteIsReportedByValueName)
{
    TSettingsStore store(file());
    store.WriteString("Settings", "Height", "1");
    rawSql("DROP TABLE vals");
    try {
        store.WriteString("Settings", "Width", "620");
        FAIL() << "no error";
    } catch (const EStoreError& e) {
        EXPECT_EQ(e.message(), "Failed to set data for 'Width'");
    }
}

TEST_F(SettingsStoreTest, ADamagedOrForeignFileIsReportedAndNeverOverwritten)
{
    const std::string junk = "this is not a database, it is an operator's precious text file\n";
    std::ofstream(file(), std::ios::binary) << junk;
    EXPECT_THROW(TSettingsStore{file()}, EStoreError);
    EXPECT_EQ(slurp(file()), junk);

    // A real database of somebody else's.
    std::remove(file().c_str());
    rawSql("CREATE TABLE recipes (name TEXT)");
    const std::string before = slurp(file());
    try {
        TSettingsStore store(file());
        FAIL() << "opened a foreign database";
    } catch (const EStoreError& e) {
        EXPECT_NE(e.message().find(file()), std::string::npos) << "the message names the file: " << e.message();
    }
    EXPECT_EQ(slurp(file()), before);

    // A folder where the file should be.
    const std::string folder = dir.path().toStdString() + "/folder.db";
    ::mkdir(folder.c_str(), 0700);
    EXPECT_THROW(TSettingsStore{folder}, EStoreError);

    // An empty file is simply a new store.
    const std::string empty = dir.path().toStdString() + "/empty.db";
    std::ofstream(empty).close();
    TSettingsStore store(empty);
    store.WriteString("a", "b", "c");
    EXPECT_EQ(store.ReadString("a", "b", ""), "c");
}

TEST_F(SettingsStoreTest, AnotherProgramReadsTheDocumentedSchema)
{
    {
        TSettingsStore store(file());
        ASSERT_TRUE(store.OpenKey("Drummock\\SiTES", true));
        store.WriteString("home", "Port", "2121");
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT v.type, v.data FROM keys d JOIN keys s ON s.parent = d.id "
                                 "JOIN keys h ON h.parent = s.id JOIN vals v ON v.key = h.id "
                                 "WHERE d.parent = 0 AND d.name = 'drummock' AND s.name = 'sites' AND h.name = 'HOME' "
                                 "AND v.name = 'port'",
                                 -1, &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 1);
    EXPECT_EQ(std::string(static_cast<const char*>(sqlite3_column_blob(st, 1)), sqlite3_column_bytes(st, 1)), "2121");
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST_F(SettingsStoreTest, AKeyTreeThatDoesNotHangTogetherIsReportedAndNeverWritten)
{
    // Each passes SQLite's own check: only the parent links are wrong.
    const char* const damages[] = {
        "UPDATE keys SET parent = id WHERE name = 'Custom Commands'",
        "UPDATE keys SET parent = (SELECT id FROM keys WHERE name = 'Custom Commands') WHERE name = 'Drummock'",
        "UPDATE keys SET parent = 9999 WHERE name = 'Settings'",
        // A key in the root's own place whose parent lies below the program key: every walk down from there
        // comes back round.
        "INSERT INTO keys (id, parent, name) VALUES (0, (SELECT id FROM keys WHERE name = 'Older'), 'Loop')",
        "INSERT INTO keys (id, parent, name) VALUES (-4, 0, 'Below')",
    };
    for (const char* damage : damages) {
        std::remove(file().c_str());
        writeTypicalStore();
        rawSql(damage);
        const std::string before = slurp(file());
        const std::string why = messageOf([&] { TSettingsStore store(file()); });
        EXPECT_NE(why.find("damaged"), std::string::npos) << damage << ": " << why;
        EXPECT_NE(why.find(file()), std::string::npos) << why;
        EXPECT_TRUE(slurp(file()) == before) << damage << ": the file was written";
    }

    // The same damage done by another program while the store is open: every walk still ends, with an error, and
    // the close's erase-and-rewrite leaves the file as it was.
    std::remove(file().c_str());
    writeTypicalStore();
    TSettingsStore store(file());
    rawSql("INSERT INTO keys (id, parent, name) VALUES (0, (SELECT id FROM keys WHERE name = 'Older'), 'Loop')");
    store.CloseKey();
    ASSERT_TRUE(store.OpenKey("Drummock", false));
    const std::string before = slurp(file());
    EXPECT_THROW(store.transaction([&] {
        store.EraseSection("Custom Commands");
        store.WriteString("Custom Commands", "Command0", "SITE WHO");
    }),
                 EStoreError);
    EXPECT_THROW(store.EraseSection(""), EStoreError);
    EXPECT_TRUE(slurp(file()) == before) << "the file was written";

    rawSql("DELETE FROM keys WHERE id = 0; UPDATE keys SET parent = id WHERE name = 'Drummock'");
    ASSERT_TRUE(store.OpenKey("Custom Commands", false));
    EXPECT_NE(messageOf([&] { store.CurrentPath(); }).find("damaged"), std::string::npos);
    rawSql("UPDATE keys SET parent = 9999 WHERE name = 'Drummock'");
    EXPECT_NE(messageOf([&] { store.CurrentPath(); }).find("damaged"), std::string::npos);
}

TEST_F(SettingsStoreTest, AReadOnlyFileStaysReadOnlyAndRefusesEveryWrite)
{
    writeTypicalStore();
    ASSERT_EQ(::chmod(file().c_str(), 0444), 0);
    const std::string before = slurp(file());
    {
        TSettingsStore store(file());
        struct stat st {};
        ASSERT_EQ(::stat(file().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0400u) << "group and other lose their bits; the owner gains none";

        ASSERT_TRUE(store.OpenKey("Drummock", true)) << "an existing key opens for reading";
        EXPECT_EQ(store.ReadInteger("Settings", "Height", 0), 400);
        TSettingsStore::ValueList commands;
        store.ReadSectionValues("Custom Commands", commands);
        EXPECT_EQ(commands.size(), 1u);

        // The tests run as root, whom the file mode does not stop: the store itself must refuse.
        const std::function<void()> writes[] = {
            [&] { store.WriteString("Settings", "Height", "500"); },
            [&] { store.WriteInteger("Settings", "Width", 620); },
            [&] { store.EraseSection("Custom Commands"); },
            [&] { store.OpenKey("New", true); },
            [&] { store.transaction([] {}); },
        };
        for (const auto& write : writes) {
            const std::string why = messageOf(write);
            EXPECT_NE(why.find("cannot be saved"), std::string::npos) << why;
            EXPECT_NE(why.find("read-only"), std::string::npos) << why;
        }
        EXPECT_EQ(store.ReadInteger("Settings", "Height", 0), 400);
        EXPECT_EQ(store.CurrentPath(), "Drummock");
    }
    EXPECT_TRUE(slurp(file()) == before) << "the file was written";

    // A writable file that others may read only loses the others' bits.
    ASSERT_EQ(::chmod(file().c_str(), 0664), 0);
    {
        TSettingsStore store(file());
        store.WriteString("Settings", "Height", "500");
    }
    struct stat st {};
    ASSERT_EQ(::stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Counts the SQLite virtual machine's steps on every connection the process opens: a measure of the store's work
// that does not depend on the machine's speed.
std::atomic<long long> sqliteSteps{0};

int countStep(void*)
{
    ++sqliteSteps;
    return 0;
}

int countStepsOn(sqlite3* db, char**, const void*)
{
    sqlite3_progress_handler(db, 1, countStep, nullptr);
    return SQLITE_OK;
}

TEST_F(SettingsStoreTest, RewritingACommandHistoryTakesWorkInProportionToItsLength)
{
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(countStepsOn));
    // The close's erase-and-rewrite, over a history already stored at the same length.
    auto stepsToRewrite = [this](int commands) {
        std::remove(file().c_str());
        TSettingsStore store(file());
        EXPECT_TRUE(store.OpenKey("Drummock", true));
        long long steps = 0;
        for (int round = 0; round < 2; ++round) {
            sqliteSteps = 0;
            store.transaction([&] {
                store.EraseSection("Custom Commands");
                for (int i = 0; i < commands; ++i)
                    store.WriteString("Custom Commands", "Command" + std::to_string(i), "SITE WHO");
            });
            steps = sqliteSteps;
        }
        TSettingsStore::ValueList values;
        store.ReadSectionValues("Custom Commands", values);
        EXPECT_EQ(values.size(), std::size_t(commands));
        return steps;
    };
    const long long shortHistory = stepsToRewrite(400);
    const long long longHistory = stepsToRewrite(1600);
    sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(countStepsOn));
    ASSERT_GT(shortHistory, 0);
    // Four times the commands: four times the work, give or take; a cost that grows with the square is sixteen.
    EXPECT_LT(double(longHistory) / double(shortHistory), 6.0) << shortHistory << " steps, then " << longHistory;
}

// The numbers an operator sets by hand are read within their bounds and the reader says so; a site's reply time-out
// reaches the client in milliseconds that never wrap.
TEST_F(SettingsStoreTest, HandSetNumbersAreReadWithinTheirBoundsAndSaySo)
{
    TSettingsStore store(file());
    ASSERT_TRUE(SettingsLayout::openProgramKey(store, true));
    store.WriteString("Settings", "ScrollBack", "2000000000");
    store.WriteString("Settings", "KeepAlive", "99999999999999999999");
    QStringList notes;
    SettingsLayout::WindowSettings window = SettingsLayout::readWindow(store, &notes);
    EXPECT_EQ(window.scrollBack, 1000000);
    EXPECT_EQ(window.keepAlive, 3600);
    EXPECT_EQ(notes, (QStringList{"The setting ScrollBack 2000000000 is outside 100 to 1000000 lines: "
                                  "1000000 lines are used.",
                                  "The setting KeepAlive 99999999999999999999 is outside 5 to 3600 seconds: "
                                  "3600 seconds are used."}));
    store.WriteString("Settings", "ScrollBack", "5000");
    store.WriteString("Settings", "KeepAlive", "2");
    notes.clear();
    window = SettingsLayout::readWindow(store, &notes);
    EXPECT_EQ(window.scrollBack, 5000);
    EXPECT_EQ(window.keepAlive, 5);
    EXPECT_EQ(notes.size(), 1);

    // The two values of the audit, a negative one, one that is no number, and those inside the bounds.
    TDiamond cipher;
    cipher.SetKey(std::string(DiamondConsoleKey));
    struct Row {
        std::string stored;
        int seconds;
        std::int32_t ms;
        bool noted;
    };
    for (const Row& row : {Row{"4294968", 86400, 86400000, true}, Row{"2147484", 86400, 86400000, true},
                           Row{"-1", 30, 30000, true}, Row{"30s", 30, 30000, true}, Row{"0", 0, 0, false},
                           Row{"86400", 86400, 86400000, false}, Row{"", 30, 30000, false}}) {
        SiteBook::Record site;
        site.host = "127.0.0.1";
        SiteBook::save(store, cipher, "home", site);
        SiteBook::open(store);
        store.WriteString("home", "ReplyTimeout", row.stored);
        const SiteBook::Record read = SiteBook::read(store, cipher, "home");
        EXPECT_EQ(read.replyTimeout, row.seconds) << row.stored;
        EXPECT_EQ(!read.boundsNote.empty(), row.noted) << row.stored << ": " << read.boundsNote;
        TNMFTP client;
        SiteBook::loadInto(client, read);
        EXPECT_EQ(client.ReplyTimeout, row.ms) << row.stored;
    }
    // A record set beyond the bounds by a caller (the dialog takes five digits) still waits at most a day.
    SiteBook::Record typed;
    typed.replyTimeout = 99999;
    TNMFTP client;
    SiteBook::loadInto(client, typed);
    EXPECT_EQ(client.ReplyTimeout, 86400000);
}

} // namespace
