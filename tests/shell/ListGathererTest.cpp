// The list gatherer on its own, fed the status texts of real "SITE USERS" and "SITE GROUPS" replies, one table of
// lines per listing: each row a line, the names it adds, and whether the page still shows it.

#include "shell/ListGatherer.h"
#include "shell/ReplyText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Row {
    std::string raw;
    QStringList names; // added by this line
    bool shown;
};

// Full-width names in every cell: a cell read one character early or late loses or gains a character.
const std::string kFullUserLine = " ABCDEFGHIJ KLMNOPQRST   UVWXYZ0123   4567890abc   defghijklm   nopqrstuvw\r\n";
const std::string kFullGroupLine = " GroupOne01 GroupTwo02 GroupThr03 GroupFou04 GroupFiv05 GroupSix06 GroupSev07 \r\n";

TEST(ListGatherer, UsersAreReadByTheirCellsFromTheThirdLineToTheTotals)
{
    const std::vector<Row> rows = {
        {"SITE USERS", {}, false},                          // the command: counted, not read
        {"200- User list of site Quillon:\r\n", {}, false}, // the first reply line: counted, not read
        {kFullUserLine, {"ABCDEFGHIJ", "KLMNOPQRST", "UVWXYZ0123", "4567890abc", "defghijklm", "nopqrstuvw"}, false},
        {" alice      bob\r\n", {"alice", "bob"}, false},                           // a short last line of names
        {"250- heidi     extra text\r\n", {"heidi"}, false},                        // one name in characters 6 to 15
        {"250-\r\n", {""}, false},                                                  // an empty name still counts
        {"250-  ivan\r\n", {" ivan"}, false},                                       // its blanks at the start stay
        {std::string(74, ' ') + "200- Totals: 10 users in 7 groups\r\n", {}, true}, // ends it, read, shown
        {" shown only\r\n", {}, true},
        {"250\r\n", {}, true},
    };
    TListGatherer lists;
    lists.GatheringUsers = true;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.raw);
        const qsizetype before = lists.UserNames.size();
        EXPECT_EQ(lists.userPageLine(row.raw), row.shown);
        EXPECT_EQ(lists.UserNames.mid(before), row.names);
    }
    EXPECT_FALSE(lists.GatheringUsers);
    EXPECT_EQ(lists.UserLineCount, int(rows.size()) - 2) << "the lines after the totals are not counted";
    EXPECT_TRUE(lists.GroupNames.isEmpty());
}

TEST(ListGatherer, GroupsAreReadByTheirCellsFromTheHeaderToAnEmptyLine)
{
    const std::vector<Row> rows = {
        {"200 earlier reply\r\n", {}, true},
        {"214- Available Groups :\r\n", {}, false}, // the header starts the listing and is not shown
        {kFullGroupLine,
         {"GroupOne01", "GroupTwo02", "GroupThr03", "GroupFou04", "GroupFiv05", "GroupSix06", "GroupSev07"},
         false},
        {std::string(12, ' ') + "Racers\r\n", {"Racers"}, false}, // an empty first cell is skipped
        {" \r\n", {}, true},                                      // empty once trimmed: ends it, shown
        {"214- 8 groups, 12 users.\r\n", {}, true},
        {" Admin      Couriers\r\n", {}, true}, // after the end a line of names is just a line
        {"250\r\n", {}, true},
    };
    // The user page reads the group listing the same way as the group page.
    for (bool userPage : {false, true}) {
        SCOPED_TRACE(userPage ? "USER MAiNT" : "GROUP MAiNT");
        TListGatherer lists;
        for (const Row& row : rows) {
            SCOPED_TRACE(row.raw);
            const qsizetype before = lists.GroupNames.size();
            EXPECT_EQ(userPage ? lists.userPageLine(row.raw) : lists.groupPageLine(row.raw), row.shown);
            EXPECT_EQ(lists.GroupNames.mid(before), row.names);
        }
        EXPECT_EQ(lists.GroupCount, 8);
        EXPECT_TRUE(lists.UserNames.isEmpty());
    }
}

TEST(ListGatherer, AGroupHeaderDuringTheUserListingIsJustAnotherLine)
{
    TListGatherer lists;
    lists.GatheringUsers = true;
    lists.userPageLine("SITE USERS");
    lists.userPageLine("200- User list:\r\n");
    EXPECT_FALSE(lists.userPageLine("214- Available Groups :\r\n"));
    EXPECT_FALSE(lists.GatheringGroups) << "only a header outside the user listing starts the group listing";
}

} // namespace

namespace {

TEST(ReplyText, PasswordsAreHiddenAndHelpNamesTheCommands)
{
    const std::pair<std::string, std::string> lines[] = {
        {"PASS s3cret", "PASS *****"},
        {"SITE CHPASS bob s3cret", "SITE CHPASS bob *****"},
        {"site chpass bob s3cret word", "site chpass bob *****"},
        {"SITE ADDUSER bob Admin s3cret", "SITE ADDUSER bob Admin *****"},
        {"SITE ADDUSER bob Admin", "SITE ADDUSER bob Admin"}, // no password on it
        {"SITE CHPASSWORD x y z", "SITE CHPASSWORD x y z"},   // another word
        {"SITE WHO", "SITE WHO"},
    };
    for (const auto& [line, shown] : lines)
        EXPECT_EQ(MaskedLine(line), shown) << line;
    EXPECT_EQ(HelpWords("  ADDUSER <user> <group>  DELUSER <user>  CHFLAG <user> <flag> YES|NO  SITE"),
              QStringList({"ADDUSER", "DELUSER", "CHFLAG"}));
}

} // namespace
