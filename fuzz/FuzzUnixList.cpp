// The Unix listing parser on one line of arbitrary bytes, then on the same bytes cut at each line end as a whole
// listing. Whatever the bytes, the four lists stay parallel and every field keeps to its slot's limits.

#include "ftp/NMFtp.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

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
    // A line of more than 7 fields is stored, as its last field's name; a shorter one is not.
    require(after == before + (n > 7 ? 1 : 0));
    if (n > 7) {
        require(list.NameList.back() == list.Field(n));
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
