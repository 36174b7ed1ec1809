// The site a fresh daemon starts with: a few dozen users in seven groups, a file area of release directories,
// a few past nukes and the directories made lately. Everything is derived from fixed tables, so two fresh
// starts differ only in their timestamps (laid out backwards from now).

#include "sim/Cp437.h"
#include "sim/SiteState.h"

#include <QCryptographicHash>
#include <QStringList>

namespace sim {

namespace {

constexpr qint64 kDay = 24 * 3600;
constexpr qint64 kMB = 1024 * 1024;

struct SeedGroup {
    const char* name;
    const char* description;
};

constexpr SeedGroup kGroups[] = {
    {"Admin", "Site operators"},    {"Seniors", "Old hands"},           {"Couriers", "Fast traders"},
    {"Suppliers", "Release crews"}, {"Friends", "Friends of the site"}, {"Leechers", "Download only"},
    {"Trial", "Trial accounts"},
};

struct SeedUser {
    const char* name;
    const char* group;
    quint32 flags;
    qint64 creditsMb;
    int ratio;
    int maxLogins;
    int weekUpFiles;
    qint64 weekUpMb;
    int weekDownFiles;
    qint64 weekDownMb;
    const char* ident;
};

constexpr quint32 kOperator = FlagKolvane | FlagUseredit | FlagNuke | FlagKill | FlagColor;

constexpr SeedUser kUsers[] = {
    {"siteop", "Admin", kOperator, 250000, 0, 0, 41, 3120, 12, 840, "*@127.0.0.1"},
    {"nightowl", "Admin", kOperator & ~FlagColor, 120000, 0, 4, 88, 6400, 20, 1500, "owl@*.example.net"},
    {"grimreapr", "Admin", FlagKolvane | FlagNuke, 90000, 0, 3, 12, 900, 3, 120, "*@10.1.*"},
    {"zer0cool", "Seniors", FlagGroupOp | FlagNuke | FlagColor, 64000, 3, 3, 140, 11800, 44, 3300, "zc@*"},
    {"dj_mako", "Seniors", FlagColor, 18000, 3, 2, 65, 5400, 30, 2200, "*@dsl-*.example.org"},
    {"thunderbox", "Seniors", FlagBeta, 22500, 3, 2, 77, 6100, 15, 900, "thunder@*"},
    {"quicksilvr", "Seniors", 0, 9100, 3, 2, 31, 2500, 9, 700, "*@*"},
    {"oldtimer", "Seniors", FlagQuiet, 150000, 2, 1, 4, 300, 1, 50, "old@192.168.*"},
    {"speedy", "Couriers", FlagGroupOp, 31000, 3, 3, 210, 17400, 60, 5100, "speedy@*"},
    {"racer_x", "Couriers", 0, 12000, 3, 2, 180, 15200, 70, 6000, "*@cable-*.example.com"},
    {"blitz", "Couriers", FlagColor, 8600, 3, 2, 160, 13900, 55, 4700, "blitz@*"},
    {"turbo", "Couriers", 0, 4100, 3, 2, 150, 12000, 40, 3100, "*@*.example.net"},
    {"rushhour", "Couriers", 0, 2200, 3, 2, 95, 7800, 35, 2900, "rush@*"},
    {"fastlane", "Couriers", FlagGroupOp, 17000, 3, 3, 130, 10100, 48, 3900, "*@fiber-*"},
    {"zippy", "Couriers", 0, 600, 3, 2, 60, 4400, 25, 2000, "zippy@*"},
    {"dash", "Couriers", FlagQuiet, 1200, 3, 2, 42, 3200, 18, 1400, "*@*"},
    {"rocket", "Couriers", 0, 5300, 3, 2, 110, 9300, 30, 2500, "rocket@*"},
    {"re-load", "Couriers", FlagBeta, 700, 3, 2, 28, 2100, 22, 1800, "*@*"},
    {"ftpsupply", "Suppliers", FlagGroupOp, 80000, 2, 4, 36, 24500, 5, 300, "supply@*"},
    {"cdimage", "Suppliers", 0, 56000, 2, 3, 22, 31000, 3, 200, "*@*.example.org"},
    {"isomaster", "Suppliers", FlagGroupOp, 70000, 2, 3, 18, 42000, 2, 150, "iso@*"},
    {"packer", "Suppliers", 0, 33000, 2, 2, 26, 8800, 6, 400, "*@*"},
    {"buddy", "Friends", 0, 5000, 3, 1, 2, 150, 10, 900, "buddy@*"},
    {"pal", "Friends", 0, 3000, 3, 1, 0, 0, 14, 1100, "*@*"},
    {"amigo", "Friends", FlagColor, 2500, 3, 1, 5, 400, 9, 700, "amigo@*"},
    {"mate", "Friends", 0, 1000, 3, 1, 1, 80, 6, 500, "*@*"},
    {"chum", "Friends", FlagLeech, 0, 0, 1, 0, 0, 30, 2600, "chum@*"},
    {"beta_tstr", "Friends", FlagBeta, 1500, 3, 1, 3, 200, 4, 300, "*@*"},
    {"leechy", "Leechers", FlagLeech, 0, 0, 1, 0, 0, 90, 8200, "*@*"},
    {"sponge", "Leechers", FlagLeech, 0, 0, 1, 0, 0, 75, 6600, "sponge@*"},
    {"hoover", "Leechers", FlagLeech | FlagQuiet, 0, 0, 1, 1, 10, 120, 9900, "*@*"},
    {"newbie", "Trial", 0, 100, 3, 1, 3, 250, 2, 100, "newbie@*"},
    {"trial01", "Trial", 0, 50, 3, 1, 6, 480, 1, 60, "*@*"},
    {"trial02", "Trial", FlagDisabled, 0, 3, 1, 0, 0, 0, 0, "*@*"},
};

// ---- file contents -------------------------------------------------------------------------------------------

QByteArray crlfText(const QStringList& lines)
{
    QByteArray out;
    for (const QString& l : lines)
        out += toCp437(l) + "\r\n";
    return out;
}

QString padded(const QString& s, int width)
{
    return s.leftJustified(width, QLatin1Char(' '), true);
}

// An NFO in the house style of release groups: a block logo, then the facts in a double-lined box.
QByteArray nfoText(const QString& release, const QString& size, const QString& notes)
{
    const QString group = release.section(QLatin1Char('-'), -1);
    QStringList lines = {
        QStringLiteral(
            "          \u2584\u2584\u2584\u2584\u2584\u2584\u2584   \u2584\u2584\u2584\u2584\u2584\u2584\u2584   "
            "\u2584\u2584\u2584\u2584\u2584\u2584\u2584"),
        QStringLiteral("         \u2588\u2588\u2580   \u2580\u2588\u2588 \u2588\u2588\u2580   \u2580\u2588\u2588 "
                       "\u2588\u2588\u2580   \u2580\u2580"),
        QStringLiteral("         \u2588\u2588  \u2584  \u2588\u2588 \u2588\u2588     \u2588\u2588 "
                       "\u2580\u2588\u2588\u2588\u2588\u2588\u2584\u2584"),
        QStringLiteral("         \u2588\u2588   \u2580\u2584\u2588\u2588 \u2588\u2588\u2584   \u2584\u2588\u2588 "
                       "\u2584\u2584   \u2580\u2588\u2588"),
        QStringLiteral("          \u2580\u2580\u2580\u2580\u2580 \u2580\u2580  \u2580\u2580\u2580\u2580\u2580\u2580"
                       "\u2580   \u2580\u2580\u2580\u2580\u2580\u2580\u2580"),
        QStringLiteral("     \u2591\u2592\u2593\u2588  q u i l l o n   o n l i n e   s e r v i c e s  "
                       "\u2588\u2593\u2592\u2591"),
        QString(),
    };
    constexpr int kInner = 46;
    const QString bar = QString(kInner, QChar(0x2550));
    lines << QStringLiteral("   \u2554") + bar + QStringLiteral("\u2557");
    auto row = [&](const QString& label, const QString& value) {
        lines << QStringLiteral("   \u2551 ") + padded(label + QStringLiteral(" : ") + value, kInner - 2) +
                     QStringLiteral(" \u2551");
    };
    row(QStringLiteral("Release"), release);
    row(QStringLiteral("Group  "), group);
    row(QStringLiteral("Size   "), size);
    row(QStringLiteral("Notes  "), notes);
    lines << QStringLiteral("   \u255A") + bar + QStringLiteral("\u255D");
    lines << QString() << QStringLiteral("     Greetings to all friends of the site. \u00AB Buy what you like \u00BB")
          << QStringLiteral("   \u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580"
                            "\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580"
                            "\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580\u2580"
                            "\u2580\u2580\u2580\u2580");
    return crlfText(lines);
}

QByteArray dizText(const QString& title, const QString& disk, const QString& line)
{
    return crlfText({title, QStringLiteral("\u2591\u2592\u2593 ") + line + QStringLiteral(" \u2593\u2592\u2591"),
                     QStringLiteral("                  [") + disk + QStringLiteral("]")});
}

QByteArray crcOf(const QByteArray& name)
{
    return QCryptographicHash::hash(name, QCryptographicHash::Md5).toHex().left(8);
}

QByteArray sfvText(const QList<QByteArray>& names)
{
    QByteArray out = "; sfv made by the release crew\r\n";
    for (const QByteArray& n : names)
        out += n + ' ' + crcOf(n) + "\r\n";
    return out;
}

// ---- tree building -------------------------------------------------------------------------------------------

class TreeBuilder {
public:
    explicit TreeBuilder(qint64 now) : now_(now) {}

    // The age of what is built next, in days and minutes before now.
    TreeBuilder& at(double days)
    {
        time_ = now_ - static_cast<qint64>(days * kDay);
        return *this;
    }
    TreeBuilder& by(const char* owner, const char* group)
    {
        owner_ = owner;
        group_ = group;
        return *this;
    }

    Node dir(const char* name, std::vector<Node> children = {}) const
    {
        Node n = base(name, Node::Kind::Dir);
        n.children = std::move(children);
        return n;
    }
    Node file(const char* name, qint64 size) const
    {
        Node n = base(name, Node::Kind::File);
        n.size = size;
        return n;
    }
    Node text(const char* name, QByteArray bytes) const
    {
        Node n = base(name, Node::Kind::File);
        n.size = bytes.size();
        n.text = std::move(bytes);
        return n;
    }
    Node link(const char* name, const char* target) const
    {
        Node n = base(name, Node::Kind::Link);
        n.target = target;
        return n;
    }

private:
    Node base(const char* name, Node::Kind kind) const
    {
        Node n;
        n.kind = kind;
        n.name = name;
        n.owner = owner_;
        n.group = group_;
        n.mtime = time_;
        return n;
    }

    qint64 now_;
    qint64 time_ = 0;
    QByteArray owner_ = "siteop";
    QByteArray group_ = "Admin";
};

std::vector<Node> rarSet(const TreeBuilder& t, const char* stem, int count, qint64 volume)
{
    std::vector<Node> out;
    out.push_back(t.file(QByteArray(stem).append(".rar").constData(), volume));
    for (int i = 0; i < count - 1; ++i) {
        const QByteArray name = QByteArray(stem) + ".r" + QByteArray::number(i).rightJustified(2, '0');
        out.push_back(t.file(name.constData(), i == count - 2 ? volume / 3 : volume));
    }
    return out;
}

Node seedTree(qint64 now)
{
    TreeBuilder t(now);
    Node root = t.at(400).dir("");

    // /incoming: this week's releases.
    t.at(0.02).by("ftpsupply", "Suppliers");
    Node someTool = t.dir(
        "Some.Tool.v1.2-GRP",
        {t.text("file_id.diz", dizText(QStringLiteral("Some Tool v1.2 (c) GRP"), QStringLiteral("01/02"),
                                       QStringLiteral("the tool that does it all"))),
         t.text("some.tool.v1.2-grp.nfo", nfoText(QStringLiteral("Some.Tool.v1.2-GRP"), QStringLiteral("2 x 1.39 MB"),
                                                  QStringLiteral("Unpack, install, enjoy"))),
         t.file("stool12a.zip", 1457664), t.file("stool12b.zip", 734003)});

    t.at(0.3).by("cdimage", "Suppliers");
    std::vector<Node> cd1 = rarSet(t, "bm-cd1", 15, 50 * kMB);
    std::vector<Node> cd2 = rarSet(t, "bm-cd2", 15, 50 * kMB);
    QList<QByteArray> sfvNames;
    for (const Node& n : cd1)
        sfvNames.append(n.name);
    Node bigMovie = t.dir("Big.Movie.2026.DVDR-GRP",
                          {t.text("big.movie.2026.dvdr-grp.nfo",
                                  nfoText(QStringLiteral("Big.Movie.2026.DVDR-GRP"), QStringLiteral("2 x 703 MB"),
                                          QStringLiteral("Two discs, sample inside"))),
                           t.text("big.movie.2026.dvdr-grp.sfv", sfvText(sfvNames)), t.dir("CD1", std::move(cd1)),
                           t.dir("CD2", std::move(cd2)), t.dir("Sample", {t.file("bm-sample.vob", 48234496)})});

    t.at(1.2).by("isomaster", "Suppliers");
    Node hugeDump =
        t.dir("Huge.Dump.2026-GRP",
              {t.text("huge.dump.2026-grp.nfo", nfoText(QStringLiteral("Huge.Dump.2026-GRP"), QStringLiteral("4.38 GB"),
                                                        QStringLiteral("One image, burn at 4x"))),
               t.file("huge.dump.2026.iso", Q_INT64_C(4700372992)),
               t.text("file_id.diz", dizText(QStringLiteral("Huge Dump 2026"), QStringLiteral("01/01"),
                                             QStringLiteral("a big one")))});

    t.at(2.5).by("isomaster", "Suppliers");
    Node game =
        t.dir("Game.Name.2026-GRP",
              {t.text("game.name.2026-grp.nfo", nfoText(QStringLiteral("Game.Name.2026-GRP"), QStringLiteral("2.50 GB"),
                                                        QStringLiteral("Crack in the Crack folder"))),
               t.file("game.name.2026.iso", Q_INT64_C(2684354560)),
               t.dir("Crack", {t.file("crack.zip", 88211),
                               t.text("file_id.diz", dizText(QStringLiteral("Game Name crack"), QStringLiteral("01/01"),
                                                             QStringLiteral("copy over")))})});

    t.at(3.1).by("speedy", "Couriers");
    QList<QByteArray> tracks = {"01-artist-first_song.mp3", "02-artist-second_song.mp3", "03-artist-third_song.mp3"};
    Node album = t.dir("Artist-Album-2026-GRP",
                       {t.file(tracks[0].constData(), 7340032), t.file(tracks[1].constData(), 6291456),
                        t.file(tracks[2].constData(), 9437184),
                        t.text("00-artist-album-2026-grp.nfo",
                               nfoText(QStringLiteral("Artist-Album-2026-GRP"), QStringLiteral("3 tracks, 22 MB"),
                                       QStringLiteral("Support the artist"))),
                        t.text("00-artist-album-2026-grp.sfv", sfvText(tracks)), t.file("audiocheck.txt", 5)});

    t.at(4).by("zer0cool", "Seniors");
    Node broken =
        t.dir("Broken.Pack-GRP",
              {t.text("file_id.diz", dizText(QStringLiteral("Broken Pack"), QStringLiteral("01/01"),
                                             QStringLiteral("handle with care"))),
               t.text("broken.pack-grp.nfo", nfoText(QStringLiteral("Broken.Pack-GRP"), QStringLiteral("1 x 2.10 MB"),
                                                     QStringLiteral("Upload was cut short"))),
               t.file("broken.zip", 2202009)});
    broken.children.back().damaged = true;

    t.at(5).by("blitz", "Couriers");
    Node empty = t.dir("Empty.Dir-GRP");
    t.at(6).by("grimreapr", "Admin");
    Node nukedFake = t.dir("[NUKED]-Fake.Movie.2026-NOGRP", {t.file("fake.avi", 734003200)});

    t.at(0.01).by("siteop", "Admin");
    root.children.push_back(
        t.dir("incoming", {std::move(someTool), std::move(bigMovie), std::move(hugeDump), std::move(game),
                           std::move(album), std::move(broken), std::move(empty), std::move(nukedFake)}));

    // /archive: older releases, kept by year and kind.
    t.at(300).by("packer", "Suppliers");
    Node oldRelease = t.dir(
        "Old.Release.2025-GRP",
        {t.text("old.release.2025-grp.nfo", nfoText(QStringLiteral("Old.Release.2025-GRP"), QStringLiteral("1 x 14 MB"),
                                                    QStringLiteral("From the vaults"))),
         t.file("old2025.zip", 14680064)});
    t.at(280).by("grimreapr", "Admin");
    Node nukedBad = t.dir("[NUKED]-Bad.Release.2025-GRP", {t.file("bad.zip", 1048576)});
    t.at(250).by("cdimage", "Suppliers");
    Node retro =
        t.dir("Retro.Game-GRP",
              {t.text("retro.game-grp.nfo",
                      nfoText(QStringLiteral("Retro.Game-GRP"), QStringLiteral("2 disks"), QStringLiteral("Classic"))),
               t.dir("Disk1", {t.file("retro1.zip", 1474560),
                               t.text("file_id.diz", dizText(QStringLiteral("Retro Game"), QStringLiteral("01/02"),
                                                             QStringLiteral("disk one")))}),
               t.dir("Disk2", {t.file("retro2.zip", 1474560)})});
    t.at(200).by("isomaster", "Suppliers");
    Node dvd9 =
        t.dir("Huge.Disc.DVD9-GRP",
              {t.file("huge.disc.iso", Q_INT64_C(8543666176)),
               t.text("huge.disc.dvd9-grp.nfo", nfoText(QStringLiteral("Huge.Disc.DVD9-GRP"), QStringLiteral("7.96 GB"),
                                                        QStringLiteral("Dual layer")))});
    t.at(150).by("grimreapr", "Admin");
    Node nukedStolen = t.dir("[NUKED]-Stolen.Pack-XYZ", {t.file("stolen.zip", 524288)});
    t.at(120).by("siteop", "Admin");
    root.children.push_back(t.dir("archive", {t.dir("2025", {std::move(oldRelease), std::move(nukedBad)}),
                                              t.dir("Games", {std::move(retro)}), t.dir("Dvd9", {std::move(dvd9)}),
                                              std::move(nukedStolen)}));

    // /requests
    t.at(9).by("buddy", "Friends");
    Node req1 = t.dir("REQ-Some.Tool.v2.0-ANY");
    t.at(12).by("pal", "Friends");
    Node req2 = t.dir("REQ-Old.Game-ANY");
    t.at(8).by("rocket", "Couriers");
    Node filled = t.dir("FILLED-Other.Thing-GRP",
                        {t.file("other.zip", 3145728),
                         t.text("file_id.diz", dizText(QStringLiteral("Other Thing"), QStringLiteral("01/01"),
                                                       QStringLiteral("as requested")))});
    t.at(8).by("siteop", "Admin");
    root.children.push_back(t.dir("requests", {std::move(req1), std::move(req2), std::move(filled)}));

    // /pub: the welcome area, with links into the rest.
    t.at(30).by("siteop", "Admin");
    Node docs = t.dir("Docs", {t.text("rules.nfo", nfoText(QStringLiteral("Site.Rules-Admin"), QStringLiteral("-"),
                                                           QStringLiteral("Read them, keep them"))),
                               t.file("tiny.txt", 3)});
    root.children.push_back(
        t.dir("pub", {t.text("welcome.msg", crlfText({QStringLiteral("Welcome to the Quillon site."),
                                                      QStringLiteral("Uploads go to /incoming.")})),
                      t.link("latest", "../incoming/Some.Tool.v1.2-GRP"), t.link("archive", "../archive"),
                      t.dir("Utils", {t.file("unzip.zip", 164352), t.file("sfvcheck.zip", 41288), std::move(docs)})}));
    return root;
}

} // namespace

SiteState SiteState::seeded(qint64 now)
{
    SiteState s;
    for (const SeedGroup& g : kGroups)
        s.groups.append(Group{g.name, g.description});

    int index = 0;
    for (const SeedUser& su : kUsers) {
        User u;
        u.name = su.name;
        u.group = su.group;
        u.setPassword(u.name == "siteop" ? QByteArray("quillon") : QByteArray("secret"));
        u.flags = su.flags;
        u.creditsKb = su.creditsMb * 1024;
        u.ratio = su.ratio;
        u.maxLogins = su.maxLogins;
        u.logins = 10 + (index * 37) % 900;
        u.idents.append(su.ident);
        u.weekUp = {su.weekUpFiles, su.weekUpMb * kMB};
        u.weekDown = {su.weekDownFiles, su.weekDownMb * kMB};
        u.allUp = {su.weekUpFiles * (9 + index % 7), su.weekUpMb * kMB * (9 + index % 7)};
        u.allDown = {su.weekDownFiles * (5 + index % 5), su.weekDownMb * kMB * (5 + index % 5)};
        u.added = now - (400 - index * 9) * kDay;
        u.addedBy = index == 0 ? QByteArray("(site)") : QByteArray("siteop");
        s.users.append(u);
        ++index;
    }

    s.root = seedTree(now);

    s.nukes = {
        {now - 280 * kDay, "/archive/2025/[NUKED]-Bad.Release.2025-GRP", 3, "dupe", "grimreapr", "packer", 1048576},
        {now - 150 * kDay, "/archive/[NUKED]-Stolen.Pack-XYZ", 10, "stolen.from.elsewhere", "siteop", "packer", 524288},
        {now - 6 * kDay, "/incoming/[NUKED]-Fake.Movie.2026-NOGRP", 5, "fake.release", "grimreapr", "blitz", 734003200},
    };
    s.newDirs = {
        {now - 12 * kDay, "/requests/REQ-Old.Game-ANY", "pal"},
        {now - 9 * kDay, "/requests/REQ-Some.Tool.v2.0-ANY", "buddy"},
        {now - 8 * kDay, "/requests/FILLED-Other.Thing-GRP", "rocket"},
        {now - 5 * kDay, "/incoming/Empty.Dir-GRP", "blitz"},
        {now - 4 * kDay, "/incoming/Broken.Pack-GRP", "zer0cool"},
        {now - static_cast<qint64>(3.1 * kDay), "/incoming/Artist-Album-2026-GRP", "speedy"},
        {now - static_cast<qint64>(2.5 * kDay), "/incoming/Game.Name.2026-GRP", "isomaster"},
        {now - static_cast<qint64>(1.2 * kDay), "/incoming/Huge.Dump.2026-GRP", "isomaster"},
        {now - static_cast<qint64>(0.3 * kDay), "/incoming/Big.Movie.2026.DVDR-GRP", "cdimage"},
        {now - static_cast<qint64>(0.02 * kDay), "/incoming/Some.Tool.v1.2-GRP", "ftpsupply"},
    };
    return s;
}

} // namespace sim
