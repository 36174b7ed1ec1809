#include "session/LocalRecord.h"

#include "platform/Exceptions.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(sqlite3* db)
{
    throw Exception(db ? sqlite3_errmsg(db) : "out of memory");
}

} // namespace

QString LocalRecord::stateFolder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.startsWith(QLatin1Char('/')))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/kolvane");
}

QString LocalRecord::makeFolder(const QString& dir)
{
    const QFileInfo info(dir);
    if (info.isDir())
        return QString();
    const QString parent = info.path();
    if (parent != dir && parent != QLatin1String("."))
        if (const QString why = makeFolder(parent); !why.isEmpty())
            return why;
    if (::mkdir(QFile::encodeName(dir).constData(), 0700) != 0 && errno != EEXIST)
        return QStringLiteral("%1: %2").arg(dir, qt_error_string(errno));
    if (!QFileInfo(dir).isDir())
        return QStringLiteral("%1 is not a folder").arg(dir);
    return QString();
}

bool LocalRecord::openExisting(const QString& path, sqlite3*& db)
{
    if (db)
        return true;
    const QByteArray file = QFile::encodeName(path);
    struct stat st {};
    if (::stat(file.constData(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode))
        throw Exception(path.toStdString() + " is not a regular file");
    const int mode = ::access(file.constData(), W_OK) == 0 ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(file.constData(), &db, mode | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        db = nullptr;
        throw Exception(why);
    }
    sqlite3_busy_timeout(db, BusyWaitMs);
    return true;
}

void LocalRecord::openShared(const QString& path, sqlite3*& db)
{
    if (!db) {
        const QString dir = QFileInfo(path).path();
        if (const QString why = makeFolder(dir); !why.isEmpty())
            throw Exception(QStringLiteral("its folder cannot be made: %1").arg(why).toStdString());
        ::chmod(QFile::encodeName(dir).constData(), 0700);
        const QByteArray file = QFile::encodeName(path);
        // Made by us, for its owner only.
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            throw Exception(std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        struct stat st {};
        if (::stat(file.constData(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
            ::chmod(file.constData(), st.st_mode & 07700);
        openExisting(path, db);
    }
    // WAL: readers never block the writers, and a writer of another process waits for the lock, not fails.
    // FULL: a transaction is on the disk before it ends.
    exec(db, "PRAGMA journal_mode = WAL");
    {
        Statement mode(db, "PRAGMA journal_mode");
        if (!mode.step() || mode.text(0).compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
            throw Exception("the file cannot be put in WAL mode");
    }
    exec(db, "PRAGMA synchronous = FULL");
}

bool LocalRecord::hasTable(sqlite3* db, const char* table)
{
    Statement select(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
    select.bind(1, QString::fromLatin1(table));
    return select.step();
}

void LocalRecord::exec(sqlite3* db, const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : sqlite3_errmsg(db);
        sqlite3_free(error);
        throw Exception(why);
    }
}

void LocalRecord::transaction(sqlite3* db, const std::function<void()>& work)
{
    exec(db, "BEGIN IMMEDIATE");
    try {
        work();
        exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

LocalRecord::Statement::Statement(sqlite3* db, const char* sql) : db_(db)
{
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        fail(db);
    }
}

LocalRecord::Statement::~Statement()
{
    sqlite3_finalize(stmt_);
}

LocalRecord::Statement& LocalRecord::Statement::bind(int index, std::int64_t value)
{
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
}

LocalRecord::Statement& LocalRecord::Statement::bind(int index, const QString& text)
{
    if (text.isNull())
        return bindNull(index);
    const QByteArray bytes = text.toUtf8();
    sqlite3_bind_text(stmt_, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
    return *this;
}

LocalRecord::Statement& LocalRecord::Statement::bindNull(int index)
{
    sqlite3_bind_null(stmt_, index);
    return *this;
}

bool LocalRecord::Statement::step()
{
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    fail(db_);
}

std::int64_t LocalRecord::Statement::integer(int column) const
{
    return sqlite3_column_int64(stmt_, column);
}

double LocalRecord::Statement::real(int column) const
{
    return sqlite3_column_double(stmt_, column);
}

bool LocalRecord::Statement::isNull(int column) const
{
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

QString LocalRecord::Statement::text(int column) const
{
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return data ? QString::fromUtf8(data, sqlite3_column_bytes(stmt_, column)) : QString();
}

LocalRecord::File::File(QString path, const char* schema, std::string columns)
    : path_(std::move(path)), schema_(schema), columns_(std::move(columns))
{}

LocalRecord::File::~File()
{
    closeDatabase();
}

void LocalRecord::File::closeDatabase()
{
    sqlite3_close(db_);
    db_ = nullptr;
    writable_ = false;
}

bool LocalRecord::File::openForReading()
{
    try {
        return openExisting(path_, db_);
    } catch (...) {
        closeDatabase();
        throw;
    }
}

void LocalRecord::File::openForWriting()
{
    if (db_ && writable_) {
        if (QDateTime::currentMSecsSinceEpoch() - lastPrune_ >= PruneEveryMs)
            pruneLocked();
        return;
    }
    openShared(path_, db_);
    transaction(db_, [this] { exec(db_, schema_); });
    Statement columns(db_, columns_.c_str());
    writable_ = true;
    pruneLocked();
}
