#pragma once

#include <QStringList>
#include <string>
#include <string_view>

// The user and group lists out of the daemon's replies to "SITE USERS" and "SITE GROUPS", read by fixed character
// columns. No widgets: the reply router feeds it each status text as the page showing takes it, and it says whether
// the line is still to be shown.
//
// Character positions are 1-based. The trimmed line is the raw text without the characters of code 32 or below at
// its ends; the cell at s is the ten characters of the raw text from position s, blanks removed at both ends.
class TListGatherer {
public:
    // The reply router's shared state.
    bool GatheringUsers = false;  // a "SITE USERS" reply is being read (set by the refresh that sends it)
    bool GatheringGroups = false; // a group listing is being read (set by its header line)
    int UserLineCount = 0;        // status texts counted since the user gathering began; 0: users not fetched
    int GroupCount = 0;           // group names gathered; 0: groups not fetched
    QStringList UserNames;        // in the order gathered, duplicates kept
    QStringList GroupNames;

    // The header that starts a group listing; it is shown nowhere.
    static constexpr std::string_view GroupHeader = "214- Available Groups :";
    // Where the names stand on a line: six user cells (11 apart, then 13 apart), seven group cells (11 apart).
    static constexpr int UserCells[6] = {2, 13, 26, 39, 52, 65};
    static constexpr int GroupCells[7] = {2, 13, 24, 35, 46, 57, 68};

    // One status text while USER MAiNT shows: counts and reads it for the user listing (from the listing's third
    // text on; the totals line ends it and is still read), then for the group listing. True when the line is to be
    // shown in the page's box: not while either listing is read, nor the group header.
    bool userPageLine(std::string_view raw);
    // One status text while GROUP MAiNT shows: read for the group listing. True when it is to be shown.
    bool groupPageLine(std::string_view raw);

private:
    void gatherGroups(std::string_view raw, const std::string& line);
    // The group header starts the group listing; it is not shown.
    bool startsGroups(const std::string& line);
};
