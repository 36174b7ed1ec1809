#pragma once

#include <QString>

#include <cstdint>
#include <functional>

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

} // namespace LocalRecord
