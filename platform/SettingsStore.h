#pragma once

#include "platform/Exceptions.h"

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// A failure of the settings store: a value of the wrong type, a write that did not take, a store file that
// cannot be opened or is damaged.
class EStoreError : public Exception {
public:
    using Exception::Exception;
};

// The console's settings store: a small tree of keys holding named string values, kept in one SQLite file.
// It behaves like a registry hive: key and value names are case-insensitive, subkeys list in name order,
// values in the order they were first written, and "\" separates the names of a key path.
//
// The object has a current key, which every operation is relative to. Right after opening (and after
// CloseKey) the current key is the root; OpenKey moves it. A section argument names a subkey path below the
// current key; the empty section is the current key itself.
//
// Every write is its own transaction, so a crash or a second console writing to the same file at the same
// time never tears or loses a write. A sequence that must stand or fall together runs through transaction().
//
// A file its owner made read-only (no owner write bit) stays so: it opens for reading, and every write raises
// EStoreError saying that settings cannot be saved. A key tree that does not lead every key up to the root (a key
// below itself, a parent that does not exist) is reported as damage, at open and by any walk that meets it.
class TSettingsStore {
public:
    using ValueList = std::vector<std::pair<std::string, std::string>>;

    // Opens the store file at path, creating it (mode 0600) when it does not exist. A file that exists but
    // cannot be opened, is not a database, or is damaged raises EStoreError and is left untouched. A file that
    // opens loses its group and other mode bits.
    explicit TSettingsStore(const std::string& path);
    ~TSettingsStore();
    TSettingsStore(const TSettingsStore&) = delete;
    TSettingsStore& operator=(const TSettingsStore&) = delete;

    // ${XDG_CONFIG_HOME:-$HOME/.config}/kolvane/settings.db; creates the kolvane folder with mode 0700.
    static std::string defaultPath();

    const std::string& path() const { return path_; }
    // True when the file was read-only at open: reads work, writes raise EStoreError.
    bool readOnly() const { return readOnly_; }

    // Makes the key at path (relative to the current key; a leading "\" starts at the root) the current key.
    // Creates missing keys when canCreate is set. Returns false, leaving the current key as it was, when the
    // key does not exist (and may not be created) or the path holds an empty name.
    bool OpenKey(const std::string& path, bool canCreate);
    // Back to the root: the next OpenKey is relative to it.
    void CloseKey();
    // The current key's path from the root, names joined by "\"; empty at the root.
    std::string CurrentPath() const;

    std::string ReadString(const std::string& section, const std::string& name, const std::string& defaultValue);
    // A value that holds no decimal number (an optional minus sign and digits, within 32 bits) reads as the default.
    int ReadInteger(const std::string& section, const std::string& name, int defaultValue);
    // Reads text as the store reads a decimal value: an optional minus sign and digits, within 32 bits.
    static bool ParseDecimal(const std::string& text, int& value);
    void WriteString(const std::string& section, const std::string& name, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& name, int value);
    // Appends (name, text) for each value of the section in the store's order; values with empty text are skipped.
    void ReadSectionValues(const std::string& section, ValueList& list);
    // Empties list, then lists the names of the current key's subkeys, in case-insensitive name order.
    void GetKeyNames(std::vector<std::string>& list);
    // Deletes the section's key with all its subkeys and values. A missing section is no error.
    void EraseSection(const std::string& section);

    bool ValueExists(const std::string& section, const std::string& name);
    bool SectionExists(const std::string& section);

    // Runs work as one transaction: either all of its writes land or none does. Nested calls join the outer one.
    void transaction(const std::function<void()>& work);

private:
    class Statement;
    struct Prepared {
        sqlite3_stmt* stmt = nullptr;
        bool inUse = false;
    };

    std::int64_t findKey(std::int64_t from, const std::string& path) const;
    std::int64_t makeKey(std::int64_t from, const std::string& path);
    // Follows path's names from the key from; missing keys are made when create is set, else the result is -1.
    std::int64_t walk(std::int64_t from, const std::string& path, bool create);
    // The key that a section argument names, or -1 when it does not exist.
    std::int64_t sectionKey(const std::string& section) const;
    // The place a new value of key takes: after the last one.
    std::int64_t nextSeq(std::int64_t key);
    // Raises EStoreError unless every key leads up to the root.
    void checkKeyTree() const;
    void exec(const char* sql);
    void closeDatabase();
    void begin();
    void commit();
    void rollback();
    [[noreturn]] void fail(const std::string& message) const;
    [[noreturn]] void damaged(const std::string& what) const;

    sqlite3* db_ = nullptr;
    std::string path_;
    std::int64_t current_ = 0; // 0 is the root
    int depth_ = 0;
    bool readOnly_ = false;
    // The last value place handed out per key in the running transaction; empty outside one.
    std::unordered_map<std::int64_t, std::int64_t> lastSeq_;
    // The statements prepared so far, by their SQL text.
    mutable std::unordered_map<const char*, Prepared> prepared_;
};
