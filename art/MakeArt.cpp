// make-art: paints every picture of the console from code and writes them into one folder.
//
//   QT_QPA_PLATFORM=offscreen make-art <output-folder>
//
// The 16 x 16 icons are pixel maps (one character a pixel, see the palettes below) so that every pixel is placed by
// hand; the 360 x 252 pictures are painted with QPainter in the DejaVu fonts and written as baseline JPEG through
// libjpeg, the same library that decodes them in the console.

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QStringList>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace {

constexpr int PictureWidth = 360;
constexpr int PictureHeight = 252;
constexpr int JpegQuality = 90;

// ---------------------------------------------------------------------------------------------------------------
// Output

void writeJpeg(const QImage& picture, const QString& path)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    std::FILE* out = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!out)
        throw std::runtime_error("cannot write " + path.toStdString());

    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, out);
    info.image_width = static_cast<JDIMENSION>(rgb.width());
    info.image_height = static_cast<JDIMENSION>(rgb.height());
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, JpegQuality, TRUE);
    info.optimize_coding = TRUE;
    // Full-resolution colour (4:4:4): the thin coloured lines and small text stay clean.
    for (int c = 0; c < info.num_components; ++c) {
        info.comp_info[c].h_samp_factor = 1;
        info.comp_info[c].v_samp_factor = 1;
    }
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        auto* row = const_cast<JSAMPLE*>(rgb.constScanLine(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    if (std::fclose(out) != 0)
        throw std::runtime_error("cannot write " + path.toStdString());
}

void writePng(const QImage& icon, const QString& path)
{
    if (!icon.convertToFormat(QImage::Format_ARGB32).save(path, "PNG"))
        throw std::runtime_error("cannot write " + path.toStdString());
}

// ---------------------------------------------------------------------------------------------------------------
// The 16 x 16 icons

using Palette = std::map<char, QColor>;

// A square icon from a pixel map: as many rows as each row has pixels.
QImage pixelIcon(const std::vector<std::string>& rows, const Palette& palette)
{
    const int size = static_cast<int>(rows.size());
    QImage icon(size, size, QImage::Format_ARGB32);
    icon.fill(Qt::transparent);
    for (int y = 0; y < size; ++y) {
        if (rows[y].size() != rows.size())
            throw std::runtime_error("an icon row needs " + std::to_string(size) + " pixels: " + rows[y]);
        for (int x = 0; x < size; ++x) {
            const char c = rows[y][x];
            if (c == '.')
                continue;
            const auto colour = palette.find(c);
            if (colour == palette.end())
                throw std::runtime_error(std::string("no colour for '") + c + "'");
            icon.setPixelColor(x, y, colour->second);
        }
    }
    return icon;
}

const Palette FolderColours = {
    {'k', QColor(0x86, 0x5c, 0x0c)}, // outline
    {'L', QColor(0xff, 0xf0, 0xa6)}, // lit edge
    {'Y', QColor(0xf6, 0xca, 0x3e)}, // body
    {'D', QColor(0xd8, 0x9c, 0x1a)}, // shaded edge, inside of the back panel
    {'B', QColor(0xc0, 0x86, 0x14)}, // inside of the back panel, in shadow
    {'W', QColor(0xff, 0xff, 0xff)}, // sheet of paper
    {'g', QColor(0xa8, 0xb2, 0xc2)}, // writing on the paper
};

const Palette PageColours = {
    {'k', QColor(0x4e, 0x57, 0x66)}, // outline
    {'W', QColor(0xff, 0xff, 0xff)}, // paper
    {'s', QColor(0xe2, 0xe7, 0xef)}, // paper in shade
    {'f', QColor(0xc9, 0xd1, 0xdd)}, // the folded corner
    {'g', QColor(0x8f, 0x9b, 0xae)}, // writing
    {'b', QColor(0x1d, 0x4f, 0xc4)}, // link arrow
    {'o', QColor(0x24, 0x2a, 0x33)}, // link box outline
};

// clang-format off
QImage folderClosed() {
    return pixelIcon({"................",
                      "................",
                      ".kkkkk..........",
                      "kLLLLLk.........",
                      "kLYYYYYkkkkkkkk.",
                      "kLLLLLLLLLLLLLLk",
                      "kLYYYYYYYYYYYYDk",
                      "kLYYYYYYYYYYYYDk",
                      "kLYYYYYYYYYYYYDk",
                      "kLYYYYYYYYYYYYDk",
                      "kLYYYYYYYYYYYYDk",
                      "kLYYYYYYYYYYYYDk",
                      "kDDDDDDDDDDDDDDk",
                      ".kkkkkkkkkkkkkk.",
                      "................",
                      "................"},
                     FolderColours);
}

QImage folderOpen() {
    return pixelIcon({"................",
                      "................",
                      ".kkkkk..........",
                      "kDDDDDk.........",
                      "kDBBBBDkkkkkk...",
                      "kDBWWWWWWWWBDk..",
                      "kDBWggggggWBDk..",
                      "kDkkkkkkkkkkkkkk",
                      "kDkLLLLLLLLLLLLk",
                      "kkLYYYYYYYYYYDk.",
                      "kkLYYYYYYYYYYDk.",
                      "kLYYYYYYYYYYDk..",
                      "kLDDDDDDDDDDDk..",
                      ".kkkkkkkkkkkk...",
                      "................",
                      "................"},
                     FolderColours);
}

const std::vector<std::string> PageRows = {"................",
                                           "..kkkkkkkk......",
                                           "..kWWWWWWkk.....",
                                           "..kWggggWkfk....",
                                           "..kWWWWWWkffk...",
                                           "..kWggggWkkkkk..",
                                           "..kWWWWWWWWWsk..",
                                           "..kWggggggggsk..",
                                           "..kWWWWWWWWWsk..",
                                           "..kWggggggggsk..",
                                           "..kWWWWWWWWWsk..",
                                           "..kWggggggggsk..",
                                           "..kWWWWWWWWWsk..",
                                           "..kWsssssssssk..",
                                           "..kkkkkkkkkkkk..",
                                           "................"};

QImage file() {
    return pixelIcon(PageRows, PageColours);
}

QImage link() {
    // The page with a shortcut box over its lower left corner.
    const std::vector<std::string> box = {"oooooooo",
                                          "oWWWWWWo",
                                          "oWWbbbbo",
                                          "oWWWWbbo",
                                          "oWWWbbbo",
                                          "oWWbbWbo",
                                          "oWbbWWWo",
                                          "oooooooo"};
    std::vector<std::string> rows = PageRows;
    for (int y = 0; y < 8; ++y)
        rows[8 + y].replace(0, 8, box[y]);
    return pixelIcon(rows, PageColours);
}

QImage menuClear() {
    return pixelIcon({"................",
                      "................",
                      ".bb.llllllllll..",
                      ".bb.llllllllll..",
                      "................",
                      "................",
                      ".bb.llllllllll..",
                      ".bb.llllllllll..",
                      "........RR....RR",
                      "........RRR..RRR",
                      ".bb.llll.RRRRRR.",
                      ".bb.llll..RRRR..",
                      "..........RRRR..",
                      ".........RRRRRR.",
                      "........RRR..RRR",
                      "........RR....RR"},
                     {
                         {'b', QColor(0x2f, 0x67, 0xd0)},
                         {'l', QColor(0x5a, 0x63, 0x72)},
                         {'R', QColor(0xd8, 0x2b, 0x20)},
                     });
}

// clang-format on

QImage menuAbout()
{
    QImage icon(16, 16, QImage::Format_ARGB32);
    icon.fill(Qt::transparent);
    QPainter p(&icon);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient shine(QPointF(5.5, 4.5), 11.0);
    shine.setColorAt(0.0, QColor(0x86, 0xbc, 0xff));
    shine.setColorAt(0.55, QColor(0x2f, 0x6f, 0xe0));
    shine.setColorAt(1.0, QColor(0x17, 0x45, 0xa8));
    p.setBrush(shine);
    p.setPen(QPen(QColor(0x12, 0x36, 0x85), 1.0));
    p.drawEllipse(QRectF(0.5, 0.5, 15.0, 15.0));
    // The letter sits on whole pixels.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(7, 3, 2, 2);  // dot
    p.drawRect(6, 6, 3, 1);  // serif
    p.drawRect(7, 7, 2, 4);  // stem
    p.drawRect(6, 11, 4, 1); // foot
    return icon;
}

// ---------------------------------------------------------------------------------------------------------------
// The 360 x 252 pictures

struct Scheme {
    QColor accent;        // lines, glow, badge
    QColor light;         // light tint of the accent, for the chrome
    QColor deep;          // the glow behind the title
    QStringList backdrop; // daemon text, faint, behind everything
};

QFont font(const QString& family, qreal pixelSize, bool bold = false, bool italic = false)
{
    QFont f(family);
    f.setPixelSize(qRound(pixelSize));
    f.setBold(bold);
    f.setItalic(italic);
    f.setHintingPreference(QFont::PreferNoHinting);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

QFont spaced(QFont f, qreal spacing)
{
    f.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return f;
}

QColor alpha(QColor c, int a)
{
    c.setAlpha(a);
    return c;
}

// Text path whose ink is centred on centreX (or starts at left when centreX < 0), baseline at y.
QPainterPath textPath(const QFont& f, const QString& text, qreal centreX, qreal y)
{
    QPainterPath path;
    path.addText(0, 0, f, text);
    const QRectF ink = path.boundingRect();
    const qreal x = centreX < 0 ? -centreX - ink.left() : centreX - ink.center().x();
    path.translate(x, y);
    return path;
}

void drawBackground(QPainter& p, const Scheme& s, QPointF glowAt, int backdropAlpha)
{
    QLinearGradient sky(0, 0, 0, PictureHeight);
    sky.setColorAt(0.0, QColor(0x0d, 0x11, 0x1c));
    sky.setColorAt(1.0, QColor(0x03, 0x04, 0x07));
    p.fillRect(0, 0, PictureWidth, PictureHeight, sky);

    // Faint daemon traffic, like a terminal left running behind the logo.
    p.setFont(font("DejaVu Sans Mono", 9));
    p.setPen(alpha(s.accent, backdropAlpha));
    const QFontMetricsF metrics(p.font());
    const qreal lineStep = 11.0;
    int line = 0;
    for (qreal y = 16; y < PictureHeight - 4; y += lineStep, ++line)
        p.drawText(QPointF(14, y), s.backdrop[line % s.backdrop.size()]);

    // Darken the middle so the title reads, then light it from behind with the accent.
    QRadialGradient shade(glowAt, 190);
    shade.setColorAt(0.0, QColor(0, 0, 0, 210));
    shade.setColorAt(0.6, QColor(0, 0, 0, 120));
    shade.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.fillRect(0, 0, PictureWidth, PictureHeight, shade);
    QRadialGradient glow(glowAt, 150);
    glow.setColorAt(0.0, alpha(s.deep, 230));
    glow.setColorAt(1.0, alpha(s.deep, 0));
    p.fillRect(0, 0, PictureWidth, PictureHeight, glow);

    // Scan lines.
    for (int y = 1; y < PictureHeight; y += 2)
        p.fillRect(0, y, PictureWidth, 1, QColor(0, 0, 0, 40));
}

void drawFrame(QPainter& p, const Scheme& s)
{
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setBrush(Qt::NoBrush);
    p.setPen(alpha(s.accent, 170));
    p.drawRect(5, 5, PictureWidth - 11, PictureHeight - 11);
    p.setPen(alpha(s.accent, 70));
    p.drawRect(8, 8, PictureWidth - 17, PictureHeight - 17);
    p.setRenderHint(QPainter::Antialiasing, true);
}

// Chrome lettering: glow, drop shadow, dark rim, a mirrored-horizon fill and a bright top edge. The weight scales the
// glow, the shadow and the rim for lettering much larger than the title's.
void drawChrome(QPainter& p, const QPainterPath& path, const Scheme& s, qreal weight = 1.0)
{
    const QRectF ink = path.boundingRect();
    p.setBrush(Qt::NoBrush);
    for (const auto& [width, a] : {std::pair{16.0, 14}, {10.0, 22}, {5.0, 40}}) {
        p.setPen(QPen(alpha(s.accent, a), width * weight, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(path);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 200));
    p.drawPath(path.translated(3 * weight, 3 * weight));
    p.setPen(QPen(QColor(0x05, 0x07, 0x0c), 3.0 * weight, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);

    QLinearGradient metal(0, ink.top(), 0, ink.bottom());
    metal.setColorAt(0.00, QColor(0xff, 0xff, 0xff));
    metal.setColorAt(0.30, s.light);
    metal.setColorAt(0.52, s.accent.darker(160));
    metal.setColorAt(0.53, QColor(0x10, 0x14, 0x22));
    metal.setColorAt(0.62, s.accent.darker(200));
    metal.setColorAt(1.00, s.light);
    p.setPen(Qt::NoPen);
    p.setBrush(metal);
    p.drawPath(path);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 110), 0.8 * weight));
    p.drawPath(path);
}

// A rule that fades out at both ends.
void drawRule(QPainter& p, qreal left, qreal right, qreal y, const QColor& c)
{
    QLinearGradient fade(left, 0, right, 0);
    fade.setColorAt(0.0, alpha(c, 0));
    fade.setColorAt(0.2, c);
    fade.setColorAt(0.8, c);
    fade.setColorAt(1.0, alpha(c, 0));
    p.fillRect(QRectF(left, y, right - left, 1), fade);
}

// A small filled label such as the version badge; returns its width.
qreal drawBadge(QPainter& p, const QString& text, qreal left, qreal top, const QColor& fill)
{
    const QFont f = spaced(font("DejaVu Sans Mono", 11, true), 0.5);
    const QPainterPath path = textPath(f, text, 0, 0);
    const QRectF ink = path.boundingRect();
    const QRectF box(left, top, ink.width() + 12, 16);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(box, 3, 3);
    p.setBrush(QColor(0x06, 0x08, 0x0e));
    p.drawPath(textPath(f, text, box.center().x(), box.top() + 12));
    return box.width();
}

// Shade blocks, the way a text-mode logo fades out: full, three quarters, half and one quarter of the pixels lit,
// each block 5 x 10 pixels, placed on whole pixels.
void drawShadeBlocks(QPainter& p, QPoint topLeft, const QColor& c, bool fadeRight)
{
    constexpr int BlockWidth = 5;
    constexpr int BlockHeight = 10;
    const bool saved = p.testRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::Antialiasing, false);
    for (int block = 0; block < 4; ++block) {
        const int density = fadeRight ? 4 - block : block + 1; // lit pixels of each 2 x 2 cell
        const int left = topLeft.x() + block * (BlockWidth + 1);
        for (int y = 0; y < BlockHeight; ++y) {
            for (int x = 0; x < BlockWidth; ++x) {
                static constexpr int bayer[2][2] = {{0, 2}, {3, 1}}; // the order the pixels of a cell light up
                if (bayer[y % 2][x % 2] < density)
                    p.fillRect(left + x, topLeft.y() + y, 1, 1, c);
            }
        }
    }
    p.setRenderHint(QPainter::Antialiasing, saved);
}

QImage splash(const Scheme& s)
{
    QImage picture(PictureWidth, PictureHeight, QImage::Format_RGB32);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const qreal mid = PictureWidth / 2.0;
    drawBackground(p, s, QPointF(mid, 96), 46);
    drawFrame(p, s);

    // Top line.
    drawShadeBlocks(p, QPoint(16, 21), s.accent, true);
    drawShadeBlocks(p, QPoint(PictureWidth - 16 - 23, 21), s.accent, false);
    p.setPen(QColor(0xc8, 0xd0, 0xdc));
    p.setFont(spaced(font("DejaVu Sans Mono", 10, true), 1.5));
    p.drawText(QRectF(0, 18, PictureWidth, 16), Qt::AlignHCenter | Qt::AlignVCenter,
               QStringLiteral("-=[ SiTE ADMiNiSTRATiON ]=-"));

    // Title.
    const QPainterPath title =
        textPath(spaced(font("DejaVu Sans", 62, true), 1.0), QStringLiteral("KOLVANE"), mid, 112);
    drawChrome(p, title, s);

    // Version badge under the right end of the title.
    const QRectF ink = title.boundingRect();
    const QString version = QStringLiteral("v1.50");
    const QFont badgeFont = spaced(font("DejaVu Sans Mono", 11, true), 0.5);
    const qreal badgeWidth = textPath(badgeFont, version, 0, 0).boundingRect().width() + 12;
    drawBadge(p, version, ink.right() - badgeWidth, ink.bottom() + 10, s.accent);
    drawRule(p, 28, ink.right() - badgeWidth - 8, ink.bottom() + 18, alpha(s.accent, 200));

    // Subtitle.
    p.setPen(QColor(0xee, 0xf2, 0xf8));
    p.setFont(spaced(font("DejaVu Sans", 15, true), 2.5));
    p.drawText(QRectF(0, 150, PictureWidth, 22), Qt::AlignHCenter | Qt::AlignVCenter,
               QStringLiteral("THE QUiLLON ADMiN TOOL"));
    p.setPen(alpha(s.light, 200));
    p.setFont(spaced(font("DejaVu Sans Mono", 10), 0.5));
    p.drawText(QRectF(0, 174, PictureWidth, 16), Qt::AlignHCenter | Qt::AlignVCenter,
               QStringLiteral("users \u00b7 groups \u00b7 credits \u00b7 nukes \u00b7 files"));

    // Signature.
    drawRule(p, 150, 342, 207, alpha(s.accent, 120));
    p.setPen(QColor(0xee, 0xf2, 0xf8));
    p.setFont(font("DejaVu Serif", 15, false, true));
    p.drawText(QRectF(0, 212, PictureWidth - 22, 22), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("by Drummock"));
    drawShadeBlocks(p, QPoint(16, 219), s.accent, true);
    return picture;
}

QImage about()
{
    const Scheme s{
        QColor(0x6c, 0xb8, 0xff),
        QColor(0xd8, 0xec, 0xff),
        QColor(0x0b, 0x24, 0x4a),
        {"SITE USER drummock", "200- +=======================================+",
         "200- | Username: drummock    Group: SiTEOPS   |", "200- | Flags: 1              Ratio: Unlimited |",
         "200- | Credits: 1048576 Kb   Logins: 3        |", "200- +=======================================+",
         "200 Command Successful.", "SITE GRPADD ARCHiVE", "200 Group added.", "NOOP", "200 NOOP command successful."}};
    QImage picture(PictureWidth, PictureHeight, QImage::Format_RGB32);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    drawBackground(p, s, QPointF(140, 70), 26);
    drawFrame(p, s);

    const QPainterPath title = textPath(spaced(font("DejaVu Sans", 50, true), 1.0), QStringLiteral("KOLVANE"), -24, 74);
    drawChrome(p, title, s);
    const QRectF ink = title.boundingRect();
    drawBadge(p, QStringLiteral("v1.50"), ink.right() + 12, ink.bottom() - 16, s.accent);

    p.setPen(QColor(0xee, 0xf2, 0xf8));
    p.setFont(spaced(font("DejaVu Sans", 13, true), 2.0));
    p.drawText(QPointF(25, 104), QStringLiteral("THE QUiLLON ADMiN TOOL"));
    drawRule(p, 10, 350, 114, alpha(s.accent, 200));

    p.setPen(QColor(0xd6, 0xde, 0xea));
    p.setFont(font("DejaVu Sans", 12));
    p.drawText(QRectF(25, 122, 310, 36), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
               QStringLiteral("Remote administration console for sites running the Quillon FTP daemon."));

    p.setFont(font("DejaVu Sans Mono", 11));
    const QStringList items = {QStringLiteral("users & groups"), QStringLiteral("flags & credits"),
                               QStringLiteral("stats & who's on"), QStringLiteral("nukes & the file area")};
    for (int i = 0; i < items.size(); ++i) {
        const QPointF at(25 + (i % 2) * 160, 176 + (i / 2) * 17);
        p.setPen(s.accent);
        p.drawText(at, QStringLiteral("\u00bb"));
        p.setPen(QColor(0xd6, 0xde, 0xea));
        p.drawText(at + QPointF(12, 0), items[i]);
    }

    drawRule(p, 10, 350, 206, alpha(s.accent, 120));
    p.setPen(alpha(s.light, 190));
    p.setFont(font("DejaVu Sans Mono", 9));
    p.drawText(QPointF(25, 228), QStringLiteral("ViEW CREDiTS for the guilty parties"));
    p.setPen(QColor(0xee, 0xf2, 0xf8));
    p.setFont(font("DejaVu Serif", 15, false, true));
    p.drawText(QRectF(0, 214, PictureWidth - 24, 22), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("by Drummock"));
    return picture;
}

// The three splash schemes: one layout in three accents, each over a different piece of daemon traffic.
std::vector<Scheme> splashSchemes()
{
    const QStringList login = {"220 Quillon FTP server ready.",
                               "USER drummock",
                               "331 Password required for drummock.",
                               "PASS ********",
                               "230- Welcome back. Behave.",
                               "230 User drummock logged in.",
                               "SYST",
                               "215 UNIX Type: L8",
                               "SITE WHO",
                               "200- PiD   USER       GROUP    ACTiON",
                               "200- 4711  drummock   SiTEOPS  SiTE WHO",
                               "200 Command Successful.",
                               "NOOP",
                               "200 NOOP command successful.",
                               "SITE USERS",
                               "200- Gathering..."};
    const QStringList users = {"SITE USERTOP",
                               "200- ### USER       GROUP      UPLOADED     FILES",
                               "200-  01 drummock   SiTEOPS    48213 MB     9120",
                               "200-  02 vexler     ARCHiVE    31877 MB     6543",
                               "200-  03 noggin     iNCOMiNG   20112 MB     4410",
                               "200-  04 pelt       ARCHiVE    12968 MB     2081",
                               "200-  05 quarn      LEECH       9032 MB     1675",
                               "200 Command Successful.",
                               "SITE GIVE 102400 vexler",
                               "200 Credits given.",
                               "SITE CHGRP noggin ARCHiVE",
                               "200 Group changed.",
                               "SITE FLAGS pelt 1",
                               "200 Flags set."};
    const QStringList files = {"CWD /pub/incoming",
                               "250 CWD command successful.",
                               "PORT 10,0,0,2,19,137",
                               "200 PORT command successful.",
                               "LIST",
                               "150 Opening ASCII mode data connection.",
                               "drwxr-xr-x   2 ftp  ftp     4096 Jan 12 23:41 Console.Tools.v2.1",
                               "drwxr-xr-x   2 ftp  ftp     4096 Jan 13 01:07 Site.Scripts.Pack",
                               "-rw-r--r--   1 ftp  ftp  1500000 Jan 13 02:30 archive.zip",
                               "lrwxrwxrwx   1 ftp  ftp       14 Jan 13 02:31 latest -> archive.zip",
                               "226 Transfer complete.",
                               "SITE NUKE /pub/incoming/dupe 3 dupe",
                               "200 Nuked.",
                               "RMD /pub/incoming/empty",
                               "250 RMD command successful."};
    return {
        {QColor(0x2c, 0xd4, 0xff), QColor(0xc8, 0xf4, 0xff), QColor(0x05, 0x3c, 0x58), login},
        {QColor(0xff, 0x3d, 0xa8), QColor(0xff, 0xd2, 0xec), QColor(0x58, 0x06, 0x36), users},
        {QColor(0xff, 0xb3, 0x1a), QColor(0xff, 0xec, 0xbe), QColor(0x58, 0x34, 0x04), files},
    };
}

// ---------------------------------------------------------------------------------------------------------------
// The application icon: the title's chrome K on the splash's dark card, in the first splash's accent.

// The two smallest sizes are pixel maps, like the other small icons: every pixel of the K placed by hand, shaded
// in the bands of the chrome fill (white top, light, accent, the dark horizon, accent, light foot).
Palette appIconColours(const Scheme& s)
{
    return {
        {'F', QColor(0x22, 0x93, 0xb3)}, // outer frame line: the accent at the frame's strength over the card
        {'f', QColor(0x16, 0x46, 0x5a)}, // inner frame line, fainter
        {'d', QColor(0x0d, 0x11, 0x1c)}, // the card, upper half
        {'e', QColor(0x05, 0x07, 0x0c)}, // the card, lower half
        {'g', QColor(0x12, 0x30, 0x40)}, // the glow around the letter
        {'W', QColor(0xff, 0xff, 0xff)}, // chrome: top edge
        {'L', s.light},                  // chrome: light
        {'c', QColor(0x7a, 0xe4, 0xff)}, // chrome: between light and accent
        {'A', s.accent},                 // chrome: accent
        {'a', s.accent.darker(160)},     // chrome: above the horizon
        {'n', QColor(0x10, 0x14, 0x22)}, // chrome: the horizon
        {'m', s.accent.darker(200)},     // chrome: below the horizon
    };
}

// clang-format off
QImage appIcon16(const Scheme& s) {
    return pixelIcon({"..FFFFFFFFFFFF..",
                      ".FddddddddddddF.",
                      "FddddddddddddddF",
                      "FddWWddddWWWdddF",
                      "FddWWdddWWWddddF",
                      "FddLLddLLLdddddF",
                      "FddLLdLLLddddddF",
                      "FddcccccdddddddF",
                      "FeeaaaaaaeeeeeeF",
                      "FeeAAeeAAAeeeeeF",
                      "FeeAAeeeAAAeeeeF",
                      "FeecceeeeccceeeF",
                      "FeeLLeeeeeLLLeeF",
                      "FeeeeeeeeeeeeeeF",
                      ".FeeeeeeeeeeeeF.",
                      "..FFFFFFFFFFFF.."},
                     appIconColours(s));
}

QImage appIcon32(const Scheme& s) {
    return pixelIcon({"................................",
                      ".....FFFFFFFFFFFFFFFFFFFFFF.....",
                      "...FFddddddddddddddddddddddFF...",
                      "..FddffffffffffffffffffffffddF..",
                      "..FdfddddddddddddddddddddddfdF..",
                      ".FdfddddddddddddddddddddddddfdF.",
                      ".FdfddddgggggddddddgggggddddfdF.",
                      ".FdfdddgWWWWWgddddgWWWWWgdddfdF.",
                      ".FdfdddgWWWWWgdddgWWWWWgddddfdF.",
                      ".FdfdddgWWWWWgddgWWWWWgdddddfdF.",
                      ".FdfdddgLLLLLgdgLLLLLgddddddfdF.",
                      ".FdfdddgLLLLLggLLLLLgdddddddfdF.",
                      ".FdfdddgLLLLLgLLLLLgddddddddfdF.",
                      ".FdfdddgLLLLLLLLLLgdddddddddfdF.",
                      ".FdfdddgcccccccccgddddddddddfdF.",
                      ".FdfdddgAAAAAAAAgdddddddddddfdF.",
                      ".FefeeegaaaaaaaaageeeeeeeeeefeF.",
                      ".FefeeegaaaaaaaaaageeeeeeeeefeF.",
                      ".FefeeegnnnnnnnnnnngeeeeeeeefeF.",
                      ".FefeeegmmmmmgmmmmmmgeeeeeeefeF.",
                      ".FefeeegmmmmmggmmmmmmgeeeeeefeF.",
                      ".FefeeegaaaaagegaaaaaageeeeefeF.",
                      ".FefeeegAAAAAgeegAAAAAAgeeeefeF.",
                      ".FefeeegcccccgeeegccccccgeeefeF.",
                      ".FefeeegLLLLLgeeeegLLLLLLgeefeF.",
                      ".FefeeeegggggeeeeeeggggggeeefeF.",
                      ".FefeeeeeeeeeeeeeeeeeeeeeeeefeF.",
                      "..FefeeeeeeeeeeeeeeeeeeeeeefeF..",
                      "..FeeffffffffffffffffffffffeeF..",
                      "...FFeeeeeeeeeeeeeeeeeeeeeeFF...",
                      ".....FFFFFFFFFFFFFFFFFFFFFF.....",
                      "................................"},
                     appIconColours(s));
}
// clang-format on

// From 48 pixels up the icon is painted, at each size on its own, in a 256 x 256 design space: the card with the
// faint daemon traffic, the glow and the scan lines of the splash, its double frame line, and the K in the
// title's chrome lettering. The traffic and the shade blocks only come in where there are pixels enough to show
// them.
QImage appIcon(const Scheme& s, int size)
{
    constexpr qreal Design = 256.0;
    QImage icon(size, size, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    QPainter p(&icon);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(size / Design, size / Design);

    const QRectF card(8, 8, 240, 240);
    QPainterPath cardPath;
    cardPath.addRoundedRect(card, 34, 34);
    p.setClipPath(cardPath);
    QLinearGradient sky(0, card.top(), 0, card.bottom());
    sky.setColorAt(0.0, QColor(0x0d, 0x11, 0x1c));
    sky.setColorAt(1.0, QColor(0x03, 0x04, 0x07));
    p.fillRect(card, sky);
    if (size >= 128) {
        p.setFont(font("DejaVu Sans Mono", 11));
        p.setPen(alpha(s.accent, 46));
        int line = 0;
        for (qreal y = 34; y < card.bottom() - 6; y += 13, ++line)
            p.drawText(QPointF(22, y), s.backdrop[line % s.backdrop.size()]);
    }
    const QPointF centre = card.center();
    QRadialGradient shade(centre, 150);
    shade.setColorAt(0.0, QColor(0, 0, 0, 210));
    shade.setColorAt(0.6, QColor(0, 0, 0, 120));
    shade.setColorAt(1.0, QColor(0, 0, 0, 0));
    p.fillRect(card, shade);
    QRadialGradient glow(centre, 120);
    glow.setColorAt(0.0, alpha(s.deep, 230));
    glow.setColorAt(1.0, alpha(s.deep, 0));
    p.fillRect(card, glow);
    // Scan lines on whole device pixels, every other row.
    p.save();
    p.resetTransform();
    for (int y = 1; y < size; y += 2)
        p.fillRect(0, y, size, 1, QColor(0, 0, 0, 40));
    p.restore();
    p.setClipping(false);

    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(alpha(s.accent, 170), 4.0));
    p.drawRoundedRect(card.adjusted(2, 2, -2, -2), 32, 32);
    p.setPen(QPen(alpha(s.accent, 70), 3.0));
    p.drawRoundedRect(card.adjusted(11, 11, -11, -11), 24, 24);

    const QPainterPath k = textPath(font("DejaVu Sans", 184, true), QStringLiteral("K"), centre.x(), 0);
    const QRectF ink = k.boundingRect();
    drawChrome(p, k.translated(0, centre.y() - ink.center().y()), s, 3.0);

    if (size >= 128) {
        p.resetTransform();
        const int inset = size * 40 / 256;
        drawShadeBlocks(p, QPoint(inset, inset - 4), s.accent, true);
        drawShadeBlocks(p, QPoint(size - inset - 23, size - inset - 6), s.accent, false);
    }
    return icon;
}

void loadFonts()
{
    const QString folder = QStringLiteral("/usr/share/fonts/truetype/dejavu/");
    for (const char* name : {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf", "DejaVuSansMono.ttf", "DejaVuSansMono-Bold.ttf",
                             "DejaVuSerif.ttf", "DejaVuSerif-Italic.ttf"}) {
        if (QFontDatabase::addApplicationFont(folder + QLatin1String(name)) < 0)
            throw std::runtime_error(std::string("missing font ") + name + " (Debian package fonts-dejavu-core)");
    }
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: QT_QPA_PLATFORM=offscreen %s <output-folder>\n", argv[0]);
        return 2;
    }
    try {
        loadFonts();
        const QDir out(QString::fromLocal8Bit(argv[1]));
        if (!out.exists())
            throw std::runtime_error("no folder " + out.path().toStdString());

        const std::vector<Scheme> schemes = splashSchemes();
        for (size_t i = 0; i < schemes.size(); ++i)
            writeJpeg(splash(schemes[i]), out.filePath(QStringLiteral("splash%1.jpg").arg(i + 1)));
        writeJpeg(about(), out.filePath(QStringLiteral("about.jpg")));

        writePng(folderClosed(), out.filePath(QStringLiteral("node0-folder-closed.png")));
        writePng(folderOpen(), out.filePath(QStringLiteral("node1-folder-open.png")));
        writePng(file(), out.filePath(QStringLiteral("node2-file.png")));
        writePng(link(), out.filePath(QStringLiteral("node3-link.png")));
        writePng(menuClear(), out.filePath(QStringLiteral("menu0-clear.png")));
        writePng(menuAbout(), out.filePath(QStringLiteral("menu1-about.png")));

        const Scheme iconScheme = schemes.front();
        writePng(appIcon16(iconScheme), out.filePath(QStringLiteral("app-icon-16.png")));
        writePng(appIcon32(iconScheme), out.filePath(QStringLiteral("app-icon-32.png")));
        for (const int size : {48, 64, 128, 256})
            writePng(appIcon(iconScheme, size), out.filePath(QStringLiteral("app-icon-%1.png").arg(size)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make-art: %s\n", e.what());
        return 1;
    }
    return 0;
}
