// The Unix listing parser on one line of arbitrary bytes, then on the same bytes cut at each line end as a whole
// listing. Whatever the bytes, the four lists stay parallel, every field keeps to its slot's limits, and a stored
// name is a non-empty piece of its line.

#include "ftp/NMFtp.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void parseAndCheck(TFTPUnixList& list, const std::string& line)
{
    const std::size_t before = list.NameList.size();
    list.ParseLine(line);
    const int n = list.FieldCount();
    require(n >= 1 && n <= TFTPDirectoryList::MaxFields);
    for (int k = 1; k <= n; ++k)
        require(list.Field(k).size() <= TFTPDirectoryList::MaxFieldLength);
    const std::size_t after = list.NameList.size();
    require(list.AttributeList.size() == after && list.DateList.size() == after && list.SizeList.size() == after);
    // Only a line of more than 7 fields is stored, at most once, under a name that is a piece of the line itself
    // and never empty: a node made from it names a real entry of the directory.
    require(after == before || (n > 7 && after == before + 1));
    if (after > before) {
        const std::string_view name = list.NameList.back();
        require(!name.empty() && line.find(name) != std::string::npos);
        require(list.AttributeList.back() == list.Field(1));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    TFTPUnixList line;
    parseAndCheck(line, bytes);

    TFTPUnixList listing;
    std::size_t start = 0;
    while (start <= bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::string one = bytes.substr(start, end - start);
        if (!one.empty() && one.back() == '\r')
            one.pop_back();
        parseAndCheck(listing, one);
        start = end + 1;
    }
    listing.ClearLists();
    require(listing.NameList.empty() && listing.AttributeList.empty() && listing.DateList.empty() &&
            listing.SizeList.empty());
    return 0;
}
