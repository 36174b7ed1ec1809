// The site book's import on an arbitrary file: a Kolvane export or a FileZilla site manager file, read into a fresh
// book, which is then exported and read into a second fresh book. Exception is the expected end for a damaged or
// hostile file; a crash, a sanitizer report, an input that takes too long (libFuzzer's -timeout), or a book that
// does not come back with the names it went out with is a finding.

#include "platform/Exceptions.h"
#include "platform/SettingsStore.h"
#include "sitebook/BookTransfer.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <QByteArray>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

std::string bookFolder;

void removeBooks()
{
    for (const char* book : {"/first.db", "/second.db"})
        for (const char* suffix : {"", "-journal"})
            std::remove((bookFolder + book + suffix).c_str());
}

// One folder for the run, gone when the run ends.
const std::string& folder()
{
    if (bookFolder.empty()) {
        char made[] = "/tmp/kolvane-fuzz-import-XXXXXX";
        if (!::mkdtemp(made))
            std::abort();
        bookFolder = made;
        std::atexit([] {
            removeBooks();
            ::rmdir(bookFolder.c_str());
        });
    }
    return bookFolder;
}

const TDiamond& cipher()
{
    static const std::unique_ptr<TDiamond> made = [] {
        auto diamond = std::make_unique<TDiamond>();
        diamond->SetKey(std::string(DiamondConsoleKey));
        return diamond;
    }();
    return *made;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // No secret store: the passwords stay in the books, and nothing waits for a bus.
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    ::setenv("XDG_RUNTIME_DIR", folder().c_str(), 1);
    removeBooks();
    const QByteArray file(reinterpret_cast<const char*>(data), qsizetype(size));
    QStringList names;
    QByteArray exported;
    try {
        TSettingsStore first(folder() + "/first.db");
        // No passphrase: a file cannot make the run derive a key.
        BookTransfer::importBook(first, cipher(), file, "", false);
        names = SiteBook::names(first);
        exported = BookTransfer::exportBook(first, cipher(), {}, "");
    } catch (const Exception&) {
        return 0;
    }
    TSettingsStore second(folder() + "/second.db");
    const BookTransfer::Report report = BookTransfer::importBook(second, cipher(), exported, "", false);
    if (SiteBook::names(second) != names || report.added != int(names.size()))
        std::abort();
    return 0;
}
