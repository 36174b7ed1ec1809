#include "platform/SettingsStore.h"

#include "platform/Decimal.h"

#include <sqlite3.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr int kStringType = 1;

// An error the store raises about itself rather than about one write: its file is read-only, or its key tree does
// not hang together. It reaches the caller as it is; a write does not fold it into "Failed to set data".
class EStoreRefusal : public EStoreError {
public:
    using EStoreError::EStoreError;
};

bool sameNameNoCase(const std::string& a, const char* b)
{
    return ::strcasecmp(a.c_str(), b) == 0;
}

const char* const kSchema = "CREATE TABLE IF NOT EXISTS keys (id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, "
                            "name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));"
                            "CREATE TABLE IF NOT EXISTS vals (key INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE, "
                            "type INTEGER NOT NULL, data BLOB NOT NULL, seq INTEGER NOT NULL, PRIMARY KEY(key, name));";

std::vector<std::string> splitPath(const std::string& path)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const auto sep = path.find('\\', start);
        parts.push_back(path.substr(start, sep == std::string::npos ? std::string::npos : sep - start));
        if (sep == std::string::npos)
            break;
        start = sep + 1;
    }
    return parts;
}

// Creates every missing folder of dir with mode 0700.
bool makeFolders(const std::string& dir)
{
    if (dir.empty())
        return true;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    const auto slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeFolders(dir.substr(0, slash)))
        return false;
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

} // namespace

bool TSettingsStore::ParseDecimal(const std::string& text, int& out)
{
    // A number out of range is no number here: the value reads as the caller's default.
    const DecimalRead read = readDecimal(text, DecimalSigns::MinusOnly);
    if (read.outcome != DecimalRead::Number)
        return false;
    out = read.value;
    return true;
}

// A prepared statement. Each SQL text is prepared once per connection and kept: the close writes a history of
// thousands of values, and preparing three statements for each of them cost more than the writes. A text that is
// still in use when it is asked for again gets a statement of its own. Step errors raise EStoreError with SQLite's
// own text.
class TSettingsStore::Statement {
public:
    Statement(const TSettingsStore& store, const char* sql) : store_(store)
    {
        auto& kept = store.prepared_[sql];
        if (kept.stmt && !kept.inUse) {
            stmt_ = kept.stmt;
        } else {
            const unsigned flags = kept.stmt ? 0 : SQLITE_PREPARE_PERSISTENT;
            if (sqlite3_prepare_v3(store.db_, sql, -1, flags, &stmt_, nullptr) != SQLITE_OK) {
                sqlite3_finalize(stmt_);
                store.fail(sqlite3_errmsg(store.db_));
            }
            if (!kept.stmt)
                kept.stmt = stmt_;
        }
        if (stmt_ == kept.stmt) {
            kept_ = &kept;
            kept.inUse = true;
        }
    }
    ~Statement()
    {
        if (kept_) {
            reset();
            kept_->inUse = false;
        } else {
            sqlite3_finalize(stmt_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Ready to run again, with no values bound.
    void reset()
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Statement& bind(int index, std::int64_t value)
    {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    Statement& bindText(int index, const std::string& value)
    {
        sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bindBlob(int index, const std::string& value)
    {
        // A zero-length blob must still be a blob, not NULL: the column is NOT NULL.
        if (value.empty())
            sqlite3_bind_zeroblob(stmt_, index, 0);
        else
            sqlite3_bind_blob(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // True while a row is available.
    bool step()
    {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        store_.fail(sqlite3_errmsg(store_.db_));
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool isInteger(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_INTEGER; }
    std::string bytes(int column) const
    {
        const void* data = sqlite3_column_blob(stmt_, column);
        const int size = sqlite3_column_bytes(stmt_, column);
        return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size)) : std::string();
    }

private:
    const TSettingsStore& store_;
    sqlite3_stmt* stmt_ = nullptr;
    Prepared* kept_ = nullptr;
};

void TSettingsStore::closeDatabase()
{
    for (auto& entry : prepared_)
        sqlite3_finalize(entry.second.stmt);
    prepared_.clear();
    sqlite3_close(db_);
    db_ = nullptr;
}

TSettingsStore::TSettingsStore(const std::string& path) : path_(path)
{
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists) {
        if (!S_ISREG(st.st_mode))
            throw EStoreError("The settings store " + path + " is not a regular file");
        // An operator who took the owner's write bit away wants the settings kept as they are. The mode decides,
        // not access(): root may write to any file.
        readOnly_ = (st.st_mode & S_IWUSR) == 0 || ::access(path.c_str(), W_OK) != 0;
    } else {
        const auto slash = path.find_last_of('/');
        if (slash != std::string::npos && !makeFolders(path.substr(0, slash)))
            throw EStoreError("Cannot create the folder of the settings store " + path + ": " + std::strerror(errno));
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            throw EStoreError("Cannot create the settings store " + path + ": " + std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
    }

    // Never SQLITE_OPEN_CREATE: the file exists by now, and a file that cannot be opened must stay as it is.
    const int mode = readOnly_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    if (sqlite3_open_v2(path.c_str(), &db_, mode | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw EStoreError("The settings store " + path + " cannot be opened: " + why);
    }
    sqlite3_busy_timeout(db_, 5000);

    try {
        {
            Statement check(*this, "PRAGMA quick_check");
            if (!check.step() || check.bytes(0) != "ok")
                fail("the file is damaged");
        }
        int ours = 0, others = 0;
        {
            Statement objects(*this, "SELECT type, name, tbl_name FROM sqlite_master");
            while (objects.step()) {
                const std::string type = objects.bytes(0);
                const std::string name = objects.bytes(1);
                const std::string table = objects.bytes(2);
                const bool named = sameNameNoCase(name, "keys") || sameNameNoCase(name, "vals");
                if (type == "table")
                    named ? ++ours : ++others;
                // A view in a table's place, or a trigger that would run along with the store's own writes, is
                // nothing this program made.
                else if (named ||
                         (type == "trigger" && (sameNameNoCase(table, "keys") || sameNameNoCase(table, "vals"))))
                    fail("the file is not a settings store");
            }
        }
        if (ours == 0 && others > 0)
            fail("the file is not a settings store");
        // Both tables are made in one transaction: a store with one of them is damaged, not new.
        if (ours == 1)
            fail("the file is damaged: one of its two tables is missing");
        if (ours == 0) {
            if (readOnly_)
                fail("the file is read-only and holds no settings");
            transaction([this] { exec(kSchema); });
        }
        // A store written by another program must still have the columns this one reads.
        {
            Statement columns(*this, "SELECT id, parent, name FROM keys LIMIT 0");
            Statement valueColumns(*this, "SELECT key, name, type, data, seq FROM vals LIMIT 0");
        }
        checkKeyTree();
    } catch (const EStoreError& e) {
        closeDatabase();
        throw EStoreError("The settings store " + path + " cannot be used: " + e.message());
    }
    // The file holds the site book: nobody but its owner may read it. Group and other lose their bits; the owner's
    // stay as the operator set them.
    if (exists && (st.st_mode & 077) != 0)
        ::chmod(path.c_str(), st.st_mode & 07700);
}

void TSettingsStore::checkKeyTree() const
{
    std::unordered_map<std::int64_t, std::int64_t> parentOf;
    {
        Statement keys(*this, "SELECT id, parent FROM keys");
        while (keys.step()) {
            if (!keys.isInteger(0) || !keys.isInteger(1))
                fail("the file is damaged: a key's number or its parent's is no number");
            const std::int64_t id = keys.integer(0);
            if (id <= 0)
                fail("the file is damaged: key " + std::to_string(id) + " stands in the root's place");
            if (!parentOf.emplace(id, keys.integer(1)).second)
                fail("the file is damaged: two keys have the number " + std::to_string(id));
        }
    }
    // Every key must lead up to the root. Each key is walked once: a walk stops at a key known to lead there, and a
    // walk that meets a key of its own path has gone round a loop.
    enum Mark : char { OnThisWalk = 1, LeadsToRoot = 2 };
    std::unordered_map<std::int64_t, char> marks;
    std::vector<std::int64_t> walked;
    for (const auto& entry : parentOf) {
        walked.clear();
        for (std::int64_t key = entry.first; key != 0;) {
            char& mark = marks[key];
            if (mark == LeadsToRoot)
                break;
            if (mark == OnThisWalk)
                fail("the file is damaged: key " + std::to_string(key) + " lies below itself");
            mark = OnThisWalk;
            walked.push_back(key);
            const std::int64_t parent = parentOf.at(key);
            if (parent != 0 && parentOf.count(parent) == 0)
                fail("the file is damaged: key " + std::to_string(key) + " hangs below key " + std::to_string(parent) +
                     ", which does not exist");
            key = parent;
        }
        for (const std::int64_t key : walked)
            marks[key] = LeadsToRoot;
    }
}

TSettingsStore::~TSettingsStore()
{
    closeDatabase();
}

std::string TSettingsStore::defaultPath()
{
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.config";
    else
        base = ".config";
    const std::string dir = base + "/kolvane";
    if (makeFolders(dir))
        ::chmod(dir.c_str(), 0700);
    return dir + "/settings.db";
}

void TSettingsStore::fail(const std::string& message) const
{
    throw EStoreError(message);
}

void TSettingsStore::damaged(const std::string& what) const
{
    throw EStoreRefusal("The settings store " + path_ + " is damaged: " + what);
}

void TSettingsStore::exec(const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        fail(why);
    }
}

void TSettingsStore::begin()
{
    if (readOnly_)
        throw EStoreRefusal("Settings cannot be saved: the settings store " + path_ + " is read-only");
    if (depth_++ == 0) {
        lastSeq_.clear();
        try {
            // IMMEDIATE takes the write lock up front, so two consoles writing at once queue up (busy timeout)
            // instead of failing half-way through a read-then-write.
            exec("BEGIN IMMEDIATE");
        } catch (...) {
            depth_ = 0;
            throw;
        }
    }
}

void TSettingsStore::commit()
{
    if (--depth_ == 0) {
        lastSeq_.clear();
        try {
            exec("COMMIT");
        } catch (...) {
            // A commit that did not take (the lock wait ran out) must not leave the transaction open under the next
            // write.
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
}

void TSettingsStore::rollback()
{
    if (--depth_ == 0) {
        lastSeq_.clear();
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void TSettingsStore::transaction(const std::function<void()>& work)
{
    begin();
    try {
        work();
    } catch (...) {
        rollback();
        throw;
    }
    commit();
}

std::int64_t TSettingsStore::findKey(std::int64_t from, const std::string& path) const
{
    return const_cast<TSettingsStore*>(this)->walk(from, path, false);
}

std::int64_t TSettingsStore::makeKey(std::int64_t from, const std::string& path)
{
    if (from != 0) {
        // Another console may have erased the key this one stands on; never write below a key that is gone.
        Statement alive(*this, "SELECT 1 FROM keys WHERE id = ?1");
        alive.bind(1, from);
        if (!alive.step())
            return -1;
    }
    return path.empty() ? from : walk(from, path, true);
}

std::int64_t TSettingsStore::walk(std::int64_t from, const std::string& path, bool create)
{
    std::int64_t key = from;
    for (const std::string& name : splitPath(path)) {
        if (name.empty())
            return -1;
        Statement find(*this, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2");
        find.bind(1, key).bindText(2, name);
        if (find.step()) {
            key = find.integer(0);
            if (key <= 0)
                damaged("a key below the root has the root's number");
        } else if (!create) {
            return -1;
        } else {
            Statement insert(*this, "INSERT INTO keys (parent, name) VALUES (?1, ?2)");
            insert.bind(1, key).bindText(2, name);
            insert.step();
            key = sqlite3_last_insert_rowid(db_);
        }
    }
    return key;
}

std::int64_t TSettingsStore::sectionKey(const std::string& section) const
{
    return section.empty() ? current_ : findKey(current_, section);
}

bool TSettingsStore::OpenKey(const std::string& path, bool canCreate)
{
    std::int64_t from = current_;
    std::string rest = path;
    if (!rest.empty() && rest.front() == '\\') {
        from = 0;
        rest.erase(0, 1);
    }
    if (rest.empty())
        return false;
    for (const std::string& name : splitPath(rest))
        if (name.empty())
            return false;
    // A key that exists opens without a write, so a read-only store opens its keys too.
    std::int64_t key = findKey(from, rest);
    if (key < 0 && canCreate)
        transaction([&] { key = makeKey(from, rest); });
    if (key < 0)
        return false;
    current_ = key;
    return true;
}

void TSettingsStore::CloseKey()
{
    current_ = 0;
}

std::string TSettingsStore::CurrentPath() const
{
    std::string path;
    std::unordered_set<std::int64_t> seen;
    Statement up(*this, "SELECT parent, name FROM keys WHERE id = ?1");
    for (std::int64_t key = current_; key != 0;) {
        if (!seen.insert(key).second)
            damaged("key " + std::to_string(key) + " lies below itself");
        up.reset();
        up.bind(1, key);
        if (!up.step()) {
            if (key == current_)
                break; // another console erased the current key
            damaged("a key hangs below key " + std::to_string(key) + ", which does not exist");
        }
        path = path.empty() ? up.bytes(1) : up.bytes(1) + "\\" + path;
        key = up.integer(0);
    }
    return path;
}

std::string TSettingsStore::ReadString(const std::string& section, const std::string& name,
                                       const std::string& defaultValue)
{
    const std::int64_t key = sectionKey(section);
    if (key < 0)
        return defaultValue;
    Statement read(*this, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2");
    read.bind(1, key).bindText(2, name);
    if (!read.step())
        return defaultValue;
    if (read.integer(0) != kStringType)
        fail("Invalid data type for '" + name + "'");
    return read.bytes(1);
}

int TSettingsStore::ReadInteger(const std::string& section, const std::string& name, int defaultValue)
{
    int value = defaultValue;
    return ParseDecimal(ReadString(section, name, std::string()), value) ? value : defaultValue;
}

void TSettingsStore::WriteString(const std::string& section, const std::string& name, const std::string& value)
{
    try {
        transaction([&] {
            const std::int64_t key = makeKey(current_, section);
            if (key < 0)
                fail("no such key");
            // A new value goes last; rewriting one keeps its place (and the spelling of its name). The row that
            // comes back carries the value's place: the new one when the value is new.
            const std::int64_t seq = nextSeq(key);
            Statement write(*this, "INSERT INTO vals (key, name, type, data, seq) VALUES (?1, ?2, 1, ?3, ?4) "
                                   "ON CONFLICT(key, name) DO UPDATE SET type = 1, data = excluded.data RETURNING seq");
            write.bind(1, key).bindText(2, name).bindBlob(3, value).bind(4, seq);
            if (write.step() && write.integer(0) == seq)
                lastSeq_[key] = seq;
            while (write.step()) {
            }
        });
    } catch (const EStoreRefusal&) {
        throw;
    } catch (const EStoreError&) {
        throw EStoreError("Failed to set data for '" + name + "'");
    }
}

std::int64_t TSettingsStore::nextSeq(std::int64_t key)
{
    // Within one transaction nobody else writes, so the last place handed out in a key stays the last: a history of
    // n commands written in one transaction reads the key's places once, not n times.
    auto last = lastSeq_.find(key);
    if (last == lastSeq_.end()) {
        Statement read(*this, "SELECT COALESCE(MAX(seq), 0) FROM vals WHERE key = ?1");
        read.bind(1, key);
        read.step();
        last = lastSeq_.emplace(key, read.integer(0)).first;
    }
    return last->second < INT64_MAX ? last->second + 1 : last->second; // ties list in the order written
}

void TSettingsStore::WriteInteger(const std::string& section, const std::string& name, int value)
{
    WriteString(section, name, std::to_string(value));
}

void TSettingsStore::ReadSectionValues(const std::string& section, ValueList& list)
{
    const std::int64_t key = sectionKey(section);
    if (key < 0)
        return;
    Statement read(*this, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY seq, rowid");
    read.bind(1, key);
    while (read.step()) {
        if (read.integer(1) != kStringType)
            fail("Invalid data type for '" + read.bytes(0) + "'");
        std::string text = read.bytes(2);
        if (!text.empty())
            list.emplace_back(read.bytes(0), std::move(text));
    }
}

void TSettingsStore::GetKeyNames(std::vector<std::string>& list)
{
    list.clear();
    Statement read(*this, "SELECT name FROM keys WHERE parent = ?1 ORDER BY name COLLATE NOCASE, id");
    read.bind(1, current_);
    while (read.step())
        list.push_back(read.bytes(0));
}

void TSettingsStore::EraseSection(const std::string& section)
{
    transaction([&] {
        const std::int64_t key = sectionKey(section);
        if (key <= 0)
            return; // missing, or the root itself: the root is never erased
        // The whole subtree is gathered before anything goes. A key met twice on the way down means the tree loops
        // back on itself here: nothing is erased.
        std::vector<std::int64_t> subtree{key};
        std::unordered_set<std::int64_t> seen{key};
        Statement children(*this, "SELECT id FROM keys WHERE parent = ?1");
        for (std::size_t i = 0; i < subtree.size(); ++i) {
            children.reset();
            children.bind(1, subtree[i]);
            while (children.step()) {
                const std::int64_t child = children.integer(0);
                if (child <= 0 || !seen.insert(child).second)
                    damaged("key " + std::to_string(child) + " lies below itself");
                subtree.push_back(child);
            }
        }
        Statement values(*this, "DELETE FROM vals WHERE key = ?1");
        Statement keys(*this, "DELETE FROM keys WHERE id = ?1");
        for (const std::int64_t id : subtree) {
            for (Statement* erase : {&values, &keys}) {
                erase->reset();
                erase->bind(1, id);
                erase->step();
            }
            lastSeq_.erase(id);
        }
    });
    if (!section.empty())
        return;
    current_ = 0; // the current key itself is gone
}

bool TSettingsStore::ValueExists(const std::string& section, const std::string& name)
{
    const std::int64_t key = sectionKey(section);
    if (key < 0)
        return false;
    Statement read(*this, "SELECT 1 FROM vals WHERE key = ?1 AND name = ?2");
    read.bind(1, key).bindText(2, name);
    return read.step();
}

bool TSettingsStore::SectionExists(const std::string& section)
{
    return sectionKey(section) >= 0;
}
