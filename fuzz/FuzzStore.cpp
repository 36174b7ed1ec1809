// The settings store on an arbitrary file: the bytes are written as settings.db, opened, every key walked (values
// read, a value written, a key erased) and closed. EStoreError is the expected end for a damaged or foreign file; a
// crash, a sanitizer report or a walk that never ends (libFuzzer's -timeout) is a finding.

#include "platform/SettingsStore.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char* const kSuffixes[] = {"", "-journal", "-wal", "-shm"};

std::string storeFolder;

void removeStoreFiles()
{
    for (const char* suffix : kSuffixes)
        std::remove((storeFolder + "/settings.db" + suffix).c_str());
}

// One folder for the run, gone when the run ends.
std::string storeFile()
{
    if (storeFolder.empty()) {
        char folder[] = "/tmp/kolvane-fuzz-store-XXXXXX";
        if (!::mkdtemp(folder))
            std::abort();
        storeFolder = folder;
        std::atexit([] {
            removeStoreFiles();
            ::rmdir(storeFolder.c_str());
        });
    }
    return storeFolder + "/settings.db";
}

// Reads every value of the current key and below, at most `budget` keys in all.
void walk(TSettingsStore& store, int depth, int& budget)
{
    TSettingsStore::ValueList values;
    store.ReadSectionValues("", values);
    for (const auto& value : values)
        store.ReadString("", value.first, "");
    store.CurrentPath();
    std::vector<std::string> names;
    store.GetKeyNames(names);
    if (depth >= 8)
        return;
    for (const std::string& name : names) {
        if (--budget < 0)
            return;
        // A name holding the separator would be read as a path; such a key is only listed.
        if (name.empty() || name.find('\\') != std::string::npos)
            continue;
        const std::string here = store.CurrentPath();
        if (!store.OpenKey(name, false))
            continue;
        walk(store, depth + 1, budget);
        store.CloseKey();
        if (!here.empty() && !store.OpenKey(here, false))
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string path = storeFile();
    removeStoreFiles();
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    try {
        TSettingsStore store(path);
        int budget = 200;
        walk(store, 0, budget);
        store.CloseKey();
        if (store.OpenKey("Drummock", false)) {
            store.ReadInteger("Settings", "Height", 460);
            store.transaction([&] {
                store.EraseSection("Custom Commands");
                store.WriteString("Custom Commands", "Command0", "SITE WHO");
            });
        }
        store.CloseKey();
        std::vector<std::string> names;
        store.GetKeyNames(names);
        if (!names.empty() && names.front().find('\\') == std::string::npos)
            store.EraseSection(names.front());
        store.WriteInteger("Settings", "Width", 620);
    } catch (const EStoreError&) {
    }
    return 0;
}
