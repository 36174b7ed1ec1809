// The user and group list gathering, and the way a line is shown, fed arbitrary status texts. The first byte picks
// the page and whether a user listing is being read; the rest is lines. Each name the gatherer adds comes from a
// cell of ten characters at most, the group count matches the group names, and showing a line never fails.

#include "shell/ListGatherer.h"
#include "shell/ReplyText.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t mode = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    TListGatherer lists;
    lists.GatheringUsers = (mode & 1) != 0;
    const bool userPage = (mode & 2) != 0;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end == std::string_view::npos ? rest.size() : end + 1);
        rest.remove_prefix(line.size());
        if (userPage)
            lists.userPageLine(line);
        else
            lists.groupPageLine(line);
        (void)ShownLine(MaskedLine(TrimmedLine(line)));
        (void)HelpWords(line);
    }
    for (const QString& name : lists.UserNames)
        if (name.size() > 10)
            std::abort();
    for (const QString& name : lists.GroupNames)
        if (name.isEmpty() || name.size() > 10)
            std::abort();
    if (lists.GroupCount != lists.GroupNames.size())
        std::abort();
    return 0;
}
