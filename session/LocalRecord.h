#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// What the console's local records (the change journal, the health history) share: an SQLite file of their own under
// ${XDG_STATE_HOME:-~/.local/state}/kolvane/ (folder 0700, file 0600), in WAL mode so that the consoles and the
// command-line tools of the account read and write it at once, each write one transaction that queues behind the
// others. Errors raise Exception with SQLite's (or the system's) words.
namespace LocalRecord {

// How long a writer waits for another process's transaction before it gives up.
inline constexpr int BusyWaitMs = 5000;

// ${XDG_STATE_HOME:-~/.local/state}/kolvane
QString stateFolder();

// Makes the folder with the folders above it (0700 each); empty when it is there, otherwise why it is not.
QString makeFolder(const QString& dir);

// Opens the file when it exists (read-write where the account may write it: a reader of a WAL file takes part in its
// shared memory); false, with db left null, when there is no file yet.
bool openExisting(const QString& path, sqlite3*& db);
// Opens the file for writing, made when missing (its folder 0700, itself 0600: SQLite gives its -wal and -shm files
// the same mode), in WAL mode, every transaction on the disk before it ends.
void openShared(const QString& path, sqlite3*& db);
// Whether the file holds the table.
bool hasTable(sqlite3* db, const char* table);

void exec(sqlite3* db, const char* sql);
// Runs work as one transaction that takes the write lock at once, so that writers of other processes queue up (the
// busy wait) instead of failing half-way.
void transaction(sqlite3* db, const std::function<void()>& work);

// A prepared statement that is finalized however the block is left.
class Statement {
public:
    Statement(sqlite3* db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value);
    // A null string binds NULL.
    Statement& bind(int index, const QString& text);
    Statement& bindNull(int index);
    // True while a row came; false when the statement is done.
    bool step();
    std::int64_t integer(int column) const;
    double real(int column) const;
    bool isNull(int column) const;
    QString text(int column) const;

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// A local record's file as the class that keeps it holds it: nothing is opened until the first read or write; a
// reader opens the file when there is one; the first write makes it with its schema and checks that a file written
// by another program has the columns this one writes; old rows are dropped then and every hour after while it stays
// open (pruneLocked, which the keeper writes). The keeper holds its own lock, where it has one, around all of it.
class File {
public:
    static constexpr std::int64_t PruneEveryMs = 3600 * 1000;

    // columns: a "SELECT ... FROM table LIMIT 0" that fails when a column this program writes is missing.
    File(QString path, const char* schema, std::string columns);
    virtual ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    const QString& path() const { return path_; }

protected:
    // False, with no database, when the file does not exist yet.
    bool openForReading();
    void openForWriting();
    void closeDatabase();
    // Drops the rows past their days; called with the database open for writing.
    virtual void pruneLocked() = 0;

    QString path_;
    sqlite3* db_ = nullptr;
    bool writable_ = false;      // the schema is in place and old rows were dropped since it opened
    std::int64_t lastPrune_ = 0; // when old rows were last dropped, in ms since the epoch

private:
    const char* schema_;
    std::string columns_;
};

} // namespace LocalRecord
