// The SITE family: the fixed-column listings read the way the console reads them, the administration
// commands change what later commands show, and the tables and viewers come in code page 437.

#include "sim/SimHarness.h"

#include <gtest/gtest.h>

#include <QSet>

using namespace simtest;

namespace {

const QSet<QByteArray> kSeededGroups = {"Admin", "Seniors", "Couriers", "Suppliers", "Friends", "Leechers", "Trial"};

class SimSite : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.start()) << qPrintable(sim.error());
        ASSERT_TRUE(c.connectTo(sim.port()));
        c.readReply();
        ASSERT_TRUE(c.login());
    }

    QSet<QByteArray> users(const QByteArray& arg = {})
    {
        const QByteArray cmd = arg.isEmpty() ? QByteArray("SITE USERS") : "SITE USERS " + arg;
        const Lines reply = c.command(cmd);
        EXPECT_TRUE(wellFormed(reply));
        EXPECT_EQ(reply.last(), "250");
        const QList<QByteArray> names = gatherUsers(cmd, reply);
        return QSet<QByteArray>(names.begin(), names.end());
    }

    QByteArray record(const QByteArray& name)
    {
        const Lines reply = c.command("SITE USER " + name);
        EXPECT_TRUE(wellFormed(reply));
        return reply.join('\n');
    }

    // A SITE command that must succeed with a multi-line reply closed by closing.
    void ok(const QByteArray& command, const QByteArray& closing = "250")
    {
        const Lines reply = c.command(command);
        EXPECT_TRUE(wellFormed(reply)) << command.constData();
        EXPECT_EQ(reply.last(), closing) << command.constData() << ": " << reply.join('|').constData();
    }

    // A command that must be refused with a single 5xx line.
    int refused(const QByteArray& command)
    {
        const Lines reply = c.command(command);
        EXPECT_EQ(reply.size(), 1) << command.constData() << ": " << reply.join('|').constData();
        EXPECT_GE(code(reply), 500) << command.constData();
        return code(reply);
    }

    SimProcess sim;
    FtpClient c;
};

} // namespace

TEST_F(SimSite, UserListingReadsByTheConsolesColumns)
{
    const QByteArray cmd = "SITE USERS";
    const Lines reply = c.command(cmd);
    ASSERT_TRUE(wellFormed(reply));
    EXPECT_EQ(reply.first(), "200- User list of site Quillon:");
    EXPECT_EQ(reply.last(), "250");
    const QByteArray totals = reply[reply.size() - 2];
    EXPECT_EQ(trimmed(totals).mid(5, 6), "Totals");
    EXPECT_TRUE(trimmed(totals).startsWith("200- Totals: 34 users")) << totals.constData();

    const QList<QByteArray> names = gatherUsers(cmd, reply);
    EXPECT_EQ(names.size(), 34);
    const QSet<QByteArray> set(names.begin(), names.end());
    EXPECT_EQ(set.size(), 34); // no name twice, no bogus cells
    for (const QByteArray n : {"siteop", "thunderbox", "quicksilvr", "re-load", "zippy", "trial02"})
        EXPECT_TRUE(set.contains(n)) << n.constData();

    EXPECT_EQ(users("KOLVANE"), (QSet<QByteArray>{"siteop", "nightowl", "grimreapr"}));
    EXPECT_EQ(users("LEECH"), (QSet<QByteArray>{"chum", "leechy", "sponge", "hoover"}));
    EXPECT_TRUE(users("GROUPOP").contains("zer0cool"));
    EXPECT_EQ(users("Leechers"), (QSet<QByteArray>{"leechy", "sponge", "hoover"}));
    EXPECT_EQ(refused("SITE USERS Nobodies"), 550);
}

TEST_F(SimSite, GroupListingReadsByTheConsolesColumns)
{
    Lines reply = c.command("SITE GROUPS");
    ASSERT_TRUE(wellFormed(reply));
    EXPECT_EQ(reply.first(), "214- Available Groups :");
    EXPECT_EQ(reply.last(), "250");
    EXPECT_TRUE(reply.contains(" ")); // the blank line that ends the gathering
    QList<QByteArray> names = gatherGroups(reply);
    EXPECT_EQ(QSet<QByteArray>(names.begin(), names.end()), kSeededGroups);
    EXPECT_EQ(names.size(), 7);

    // A second line of names, with one of the full ten characters.
    ok("SITE ADDGROUP Testers");
    ok("SITE ADDGROUP TenLetters");
    reply = c.command("SITE GROUPS");
    names = gatherGroups(reply);
    EXPECT_EQ(names.size(), 9);
    EXPECT_TRUE(names.contains("TenLetters"));
    EXPECT_EQ(names.last(), "TenLetters");
}

TEST_F(SimSite, UserAdministrationChangesWhatLaterCommandsShow)
{
    ok("SITE ADDUSER newguy Trial");
    EXPECT_TRUE(users().contains("newguy"));
    EXPECT_TRUE(users("Trial").contains("newguy"));
    EXPECT_TRUE(record("newguy").contains("Password   : not set"));
    ok("SITE CHPASS newguy two words");
    FtpClient other;
    ASSERT_TRUE(other.connectTo(sim.port()));
    other.readReply();
    EXPECT_TRUE(other.login("newguy", "two words"));

    ok("SITE CHGRP newguy Friends");
    EXPECT_TRUE(users("Friends").contains("newguy"));
    EXPECT_FALSE(users("Trial").contains("newguy"));
    ok("SITE CHFLAG newguy LEECH YES");
    ok("SITE CHFLAG newguy nuke yes");
    EXPECT_TRUE(users("LEECH").contains("newguy"));
    ok("SITE CHFLAG newguy LEECH NO");
    EXPECT_FALSE(users("LEECH").contains("newguy"));
    ok("SITE CHLOGINS newguy 7");
    ok("SITE CHRATIO newguy 5");
    ok("SITE ADDIDENTD newguy *@10.0.0.*");
    ok("SITE ADDIDENTD newguy guy@*.example.net");
    ok("SITE DELIDENTD newguy *@10.0.0.*");
    ok("SITE GIVE 5120 newguy");
    ok("SITE TAKE 1024 newguy");
    ok("SITE TAKE -2048 newguy"); // a negative take gives
    const QByteArray r = record("newguy");
    EXPECT_TRUE(r.contains("group Friends")) << r.constData();
    EXPECT_TRUE(r.contains("Flags      : NUKE")) << r.constData();
    EXPECT_TRUE(r.contains("Max logins : 7")) << r.constData();
    EXPECT_TRUE(r.contains("Ratio      : 1:5")) << r.constData();
    EXPECT_TRUE(r.contains("Idents     : guy@*.example.net\n")) << r.constData();
    EXPECT_TRUE(r.contains("Credits    : 6144 KB")) << r.constData();

    EXPECT_EQ(refused("SITE TAKE 2147483647 newguy"), 550); // more than there is
    EXPECT_EQ(refused("SITE GIVE 2147483648 newguy"), 501); // not a 32-bit amount
    EXPECT_EQ(refused("SITE GIVE lots newguy"), 501);
    EXPECT_EQ(refused("SITE ADDUSER newguy Trial"), 550);
    EXPECT_EQ(refused("SITE ADDUSER other Nogroup"), 550);
    EXPECT_EQ(refused("SITE ADDUSER elevenchars Trial"), 501);
    EXPECT_EQ(refused("SITE ADDUSER onlyname"), 501);
    EXPECT_EQ(refused("SITE CHFLAG newguy SUPERUSER YES"), 501);
    EXPECT_EQ(refused("SITE CHFLAG newguy LEECH MAYBE"), 501);
    EXPECT_EQ(refused("SITE CHFLAG  LEECH YES"), 501); // an empty user name, as an empty drop-down sends it
    EXPECT_EQ(refused("SITE ADDIDENTD newguy "), 501);
    EXPECT_EQ(refused("SITE DELIDENTD newguy nobody@nowhere"), 550);
    EXPECT_EQ(refused("SITE CHLOGINS newguy many"), 501);
    EXPECT_EQ(refused("SITE USER bob"), 550);
    EXPECT_EQ(c.command("SITE DELUSER bob"), Lines{"550 No such user: bob"});
    // The operator cannot lock himself out.
    EXPECT_EQ(refused("SITE DELUSER siteop"), 550);
    EXPECT_EQ(refused("SITE CHFLAG siteop DISABLED YES"), 550);
    EXPECT_EQ(refused("SITE CHFLAG siteop KOLVANE NO"), 550);

    ok("SITE DELUSER newguy");
    EXPECT_FALSE(users().contains("newguy"));
    EXPECT_EQ(c.command("SITE USER newguy"), Lines{"550 No such user: newguy"});

    // Without the rights, nothing changes.
    FtpClient leech;
    ASSERT_TRUE(leech.connectTo(sim.port()));
    leech.readReply();
    ASSERT_TRUE(leech.login("leechy", "secret"));
    EXPECT_EQ(leech.command("SITE GIVE 99999 leechy"), Lines{"550 Permission denied."});
    EXPECT_EQ(code(leech.command("SITE WHO")), 200);
}

TEST_F(SimSite, DeletingAGroupMovesOrKeepsItsMembers)
{
    ok("SITE ADDGROUP Testers");
    ok("SITE CHGRP pal Testers");
    ok("SITE CHGRP mate Testers");
    EXPECT_EQ(refused("SITE ADDGROUP Testers"), 550);
    EXPECT_EQ(refused("SITE ADDGROUP LEECH"), 550);   // would shadow the role listing
    EXPECT_EQ(refused("SITE DELGROUP Testers"), 550); // members would be left without a group
    EXPECT_EQ(refused("SITE DELGROUP Testers Testers"), 550);
    EXPECT_EQ(refused("SITE DELGROUP Testers Nowhere"), 550);
    EXPECT_EQ(refused("SITE DELGROUP Nowhere"), 550);
    EXPECT_EQ(users("Testers"), (QSet<QByteArray>{"pal", "mate"}));

    ok("SITE DELGROUP Testers Couriers");
    EXPECT_TRUE(users("Couriers").contains("pal"));
    EXPECT_TRUE(users("Couriers").contains("mate"));
    EXPECT_FALSE(gatherGroups(c.command("SITE GROUPS")).contains("Testers"));
    EXPECT_EQ(refused("SITE USERS Testers"), 550);

    ok("SITE ADDGROUP Empty");
    ok("SITE DELGROUP Empty");
    EXPECT_EQ(QSet<QByteArray>(kSeededGroups), [&] {
        const QList<QByteArray> g = gatherGroups(c.command("SITE GROUPS"));
        return QSet<QByteArray>(g.begin(), g.end());
    }());
}

TEST_F(SimSite, TopListsAreDrawnInCodePage437)
{
    for (const QByteArray cmd :
         {"SITE WEEKTOP", "SITE GROUPTOP", "SITE USERTOP", "SITE WHO", "SITE NUKES 3", "SITE NEW 5"}) {
        const Lines reply = c.command(cmd);
        ASSERT_TRUE(wellFormed(reply)) << cmd.constData();
        EXPECT_EQ(reply.last(), "221") << cmd.constData();
        const QByteArray all = reply.join('\n');
        for (const char byte : {'\xC9', '\xCD', '\xBB', '\xBA', '\xC8', '\xBC', '\xCC', '\xB9'})
            EXPECT_TRUE(all.contains(byte)) << cmd.constData() << " lacks " << int(static_cast<unsigned char>(byte));
        EXPECT_FALSE(all.contains("\xE2\x95")) << cmd.constData() << " sends UTF-8";
    }
    const QByteArray week = c.command("SITE WEEKTOP").join('\n');
    EXPECT_LT(week.indexOf("isomaster"), week.indexOf("speedy")); // ranked by the week's upload
    EXPECT_EQ(c.command("SITE NEW 3").size(), 1 + 4 + 3 + 1);     // title, frame and titles, rows, closing
    EXPECT_EQ(refused("SITE NEW"), 501);
    EXPECT_EQ(refused("SITE NUKES many"), 501);
    EXPECT_EQ(refused("SITE WEEKTOP 0"), 501);
}

TEST_F(SimSite, WhoAndKillWorkOnLiveLogins)
{
    FtpClient victim;
    ASSERT_TRUE(victim.connectTo(sim.port()));
    victim.readReply();
    ASSERT_TRUE(victim.login("turbo", "secret"));

    const QByteArray who = c.command("SITE WHO").join('\n');
    EXPECT_TRUE(who.contains(" 21001 ")) << who.constData(); // our own login
    EXPECT_TRUE(who.contains(" 21002 ")) << who.constData();
    EXPECT_TRUE(who.contains(" turbo ")) << who.constData();
    EXPECT_TRUE(who.contains(" 14302 ")) << who.constData(); // an idle one of the site's

    EXPECT_EQ(refused("SITE KILL 21001"), 550);
    EXPECT_EQ(refused("SITE KILL 99999"), 550);
    EXPECT_EQ(refused("SITE KILL"), 501);
    ok("SITE KILL 21002", "221");
    EXPECT_TRUE(victim.waitClosed());
    EXPECT_TRUE(victim.pending().startsWith("421 "));
    ok("SITE KILL 14302", "221");
    const QByteArray after = c.command("SITE WHO").join('\n');
    EXPECT_FALSE(after.contains(" 21002 "));
    EXPECT_FALSE(after.contains(" 14302 "));
}

TEST_F(SimSite, NukeRenamesTheReleaseAndRecordsIt)
{
    ASSERT_EQ(code(c.command("CWD /incoming/")), 250);
    const QByteArray before = record("ftpsupply");
    ok("SITE NUKE 3 Some.Tool.v1.2-GRP dupe of an older release", "221");
    const QByteArray listing = c.list().data;
    EXPECT_TRUE(listing.contains(" [NUKED]-Some.Tool.v1.2-GRP\r\n"));
    EXPECT_FALSE(listing.contains(" Some.Tool.v1.2-GRP\r\n"));
    const QByteArray nukes = c.command("SITE NUKES 1").join('\n');
    EXPECT_TRUE(nukes.contains("/incoming/[NUKED]-Some.Tool.v1.2-GRP")) << nukes.constData();
    EXPECT_TRUE(nukes.contains("dupe of an older release")) << nukes.constData();
    EXPECT_TRUE(nukes.contains(" 3x ")) << nukes.constData();
    EXPECT_NE(record("ftpsupply"), before); // the uploader paid for it

    ok("SITE NUKE 2 Empty.Dir-GRP ", "221"); // an empty reason, as the console may send it
    EXPECT_EQ(refused("SITE NUKE 3 [NUKED]-Some.Tool.v1.2-GRP again"), 550);
    EXPECT_EQ(refused("SITE NUKE 3 No.Such.Release reason"), 550);
    EXPECT_EQ(refused("SITE NUKE x Huge.Dump.2026-GRP reason"), 501);
    EXPECT_EQ(refused("SITE NUKE 0 Huge.Dump.2026-GRP reason"), 501);
    EXPECT_EQ(refused("SITE NUKE 3"), 501);
    ASSERT_EQ(code(c.command("CWD /")), 250);
    EXPECT_EQ(refused("SITE NUKE 3 incoming the whole area"), 550); // the areas themselves are no releases
    ASSERT_EQ(code(c.command("CWD /incoming/Huge.Dump.2026-GRP")), 250);
    EXPECT_EQ(refused("SITE NUKE 3 huge.dump.2026.iso not a directory"), 550);
}

TEST_F(SimSite, ReleaseViewersShowFilesInTheCurrentDirectory)
{
    ASSERT_EQ(code(c.command("CWD /incoming/Some.Tool.v1.2-GRP/")), 250);
    Lines reply = c.command("SITE NFO some.tool.v1.2-grp.nfo");
    ASSERT_TRUE(wellFormed(reply));
    EXPECT_EQ(reply.last(), "200 End of file.");
    EXPECT_TRUE(reply.join('\n').contains('\xDB')); // the block art in code page 437
    EXPECT_TRUE(reply.join('\n').contains("Some.Tool.v1.2-GRP"));

    reply = c.command("SITE DIZ stool12a.zip"); // an archive's description is its release's FILE_ID.DIZ
    EXPECT_EQ(reply.last(), "200 End of file.");
    EXPECT_TRUE(reply.first().contains("Some Tool v1.2"));
    reply = c.command("SITE ZIPLIST stool12b.zip");
    EXPECT_EQ(reply.last(), "200 End of file.");
    EXPECT_TRUE(reply.join('\n').contains("file_id.diz"));
    reply = c.command("SITE ZIPCHK stool12a.zip");
    EXPECT_TRUE(reply.join('\n').contains("No errors detected"));

    ASSERT_EQ(code(c.command("CWD ../Broken.Pack-GRP")), 250);
    reply = c.command("SITE ZIPCHK broken.zip");
    EXPECT_TRUE(wellFormed(reply));
    EXPECT_TRUE(reply.join('\n').contains("bad CRC"));

    EXPECT_EQ(refused("SITE NFO broken.zip"), 550);
    EXPECT_EQ(refused("SITE ZIPCHK file_id.diz"), 550);
    EXPECT_EQ(refused("SITE NFO missing.nfo"), 550);
    EXPECT_EQ(refused("SITE ZIPLIST"), 501);
}
