#include "shell/ListGatherer.h"

#include "platform/OemText.h"
#include "shell/ReplyText.h"

namespace {

// Characters from..from+count-1 (1-based) of text, fewer where text is shorter.
std::string_view chars(std::string_view text, std::size_t from, std::size_t count)
{
    return from - 1 < text.size() ? text.substr(from - 1, count) : std::string_view();
}

// The cell at position s: ten characters of the raw line, blanks removed at both ends.
std::string cell(std::string_view raw, std::size_t s)
{
    return TrimmedLine(chars(raw, s, 10));
}

} // namespace

bool TListGatherer::userPageLine(std::string_view raw)
{
    const std::string line = TrimmedLine(raw);
    if (GatheringUsers) {
        ++UserLineCount;
        if (chars(line, 6, 6) == "Totals")
            GatheringUsers = false; // the totals line is still read below
        // The command's own line and the first reply line are counted, not read.
        if (UserLineCount > 2) {
            if (chars(line, 1, 4) == "250-") {
                // A one-name line: its blanks at the end go, those at the start stay, and nothing still counts.
                UserNames << Latin1ToQString(TrimmedRight(chars(line, 6, 10)));
            } else {
                for (int s : UserCells) {
                    const std::string name = cell(raw, std::size_t(s));
                    if (!name.empty())
                        UserNames << Latin1ToQString(name);
                }
            }
        }
    }
    gatherGroups(raw, line);
    if (GatheringUsers || GatheringGroups)
        return false;
    return !startsGroups(line);
}

bool TListGatherer::groupPageLine(std::string_view raw)
{
    const std::string line = TrimmedLine(raw);
    gatherGroups(raw, line);
    if (GatheringGroups)
        return false;
    return !startsGroups(line);
}

void TListGatherer::gatherGroups(std::string_view raw, const std::string& line)
{
    // An empty line ends the group listing (and is shown); until then every cell of a line is a group name.
    if (GatheringGroups && line.empty())
        GatheringGroups = false;
    if (!GatheringGroups)
        return;
    for (int s : GroupCells) {
        const std::string name = cell(raw, std::size_t(s));
        if (!name.empty()) {
            ++GroupCount;
            GroupNames << Latin1ToQString(name);
        }
    }
}

bool TListGatherer::startsGroups(const std::string& line)
{
    if (line != GroupHeader)
        return false;
    GatheringGroups = true;
    return true;
}
