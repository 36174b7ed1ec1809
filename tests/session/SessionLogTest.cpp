// The session log and the password mask it shares with the window: every form of a password command masked, and a
// log that cannot be written (a full disk, a folder that cannot be made) said once with its reason while the
// log-ins go on; the console's notes written as safely as the daemon's lines.

#include "session/SessionLog.h"
#include "platform/PasswordMask.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <cstring>

namespace {

TEST(PasswordMask, EveryFormOfAPasswordCommandIsMasked)
{
    const std::pair<std::string, std::string> lines[] = {
        {"SITE  CHPASS siteop NewPass", "SITE  CHPASS siteop *****"},
        {"  site\tChPass bob s3cret and more", "  site\tChPass bob *****"},
        {"SITE CHPASS bob  two blanks", "SITE CHPASS bob *****"},
        {"SITE   ADDUSER bob staff s3cret", "SITE   ADDUSER bob staff *****"},
        {"SITE ADDUSER bob staff", "SITE ADDUSER bob staff"},
        {"SITE CHPASS bob   ", "SITE CHPASS bob   "},
        {" pass quillon", " pass *****"},
        {"SITE CHPASSWORD bob x", "SITE CHPASSWORD bob x"},
    };
    for (const auto& [line, shown] : lines)
        EXPECT_EQ(MaskedLine(line), shown) << line;
    EXPECT_EQ(MaskedCommand(" CHPASS siteop NewPass"), " CHPASS siteop *****");
    EXPECT_EQ(MaskedCommand("WHO"), "WHO");
    EXPECT_TRUE(HidesPassword(" chpass siteop *****"));
    EXPECT_FALSE(HidesPassword("CHPASS siteop s3cret"));
    EXPECT_EQ(WithPassword(" CHPASS siteop *****", "again"), " CHPASS siteop again");
}

TEST(SessionLog, AFullDiskIsSaidOnceWithItsReasonAndTheLogInsGoOn)
{
    ASSERT_TRUE(QFile::exists("/dev/full"));
    TSessionLog log;
    QStringList troubles;
    log.onTrouble = [&](const QString& reason) { troubles << reason; };
    // Three log-ins, each writing its conversation: the first line fails, and the log says so once.
    for (int i = 0; i < 3; ++i) {
        log.startAt(QStringLiteral("/dev/full"));
        log.note("Log-in to 127.0.0.1:21 (site full)");
        log.line(true, "PASS s3cret\r\n");
        log.line(false, "230 Logged in\r\n");
        EXPECT_FALSE(log.running()) << "a log that failed is not written on";
        log.stop();
    }
    ASSERT_EQ(troubles.size(), 1) << troubles.join('\n').toStdString();
    EXPECT_TRUE(troubles[0].contains("/dev/full")) << troubles[0].toStdString();
    EXPECT_TRUE(troubles[0].contains(QString::fromLocal8Bit(std::strerror(ENOSPC)))) << troubles[0].toStdString();
    EXPECT_TRUE(log.troubled());

    // A folder that cannot be made (a file stands where it would go): said with the reason, once per log.
    QTemporaryDir dir;
    QFile blocker(dir.filePath("state"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QByteArray before = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", dir.filePath("state").toLocal8Bit());
    TSessionLog blocked;
    QStringList said;
    blocked.onTrouble = [&](const QString& reason) { said << reason; };
    for (int i = 0; i < 3; ++i) {
        blocked.start(QStringLiteral("sim"));
        blocked.note("Log-in");
        EXPECT_FALSE(blocked.running());
    }
    qputenv("XDG_STATE_HOME", before);
    ASSERT_EQ(said.size(), 1) << said.join('\n').toStdString();
    EXPECT_TRUE(said[0].startsWith("The session log's folder " + dir.filePath("state") + "/kolvane/sessions"))
        << said[0].toStdString();
    EXPECT_TRUE(said[0].endsWith(dir.filePath("state") + " is not a folder. The log-in goes on without it."))
        << said[0].toStdString();

    // A log that can be written says nothing and keeps every line.
    TSessionLog good;
    bool complained = false;
    good.onTrouble = [&](const QString&) { complained = true; };
    good.startAt(dir.filePath("good.log"));
    good.line(true, "PASS s3cret\r\n");
    good.stop();
    QFile kept(dir.filePath("good.log"));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_TRUE(kept.readAll().endsWith("> PASS *****\n"));
    EXPECT_FALSE(complained);
}

TEST(SessionLog, NotesAreEscapedAsTheDaemonsLinesAre)
{
    // A daemon's refusal that reaches the "Disconnected" note with terminal escapes in it (OSC 52 would set the
    // reader's clipboard, ESC c clear the screen), and a site name with a line break, a bidi override and a C1
    // control: none of them reaches the file as it came, and the reader's terminal runs nothing of it.
    QTemporaryDir dir;
    TSessionLog log;
    log.startAt(dir.filePath("notes.log"));
    log.note("Disconnected: 421 \x1b]52;c;cm0gLXJmIH4=\x07"
             "bye\x1b"
             "c");
    log.note("Log-in to 127.0.0.1:21 (site evil\nline\u202Egnp.exe\xc2\x9b"
             "2J)");
    log.line(false, "200 \x1b[31mred\r\n");
    log.stop();
    QFile file(dir.filePath("notes.log"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    const QList<QByteArray> lines = written.split('\n');
    ASSERT_EQ(lines.size(), 4) << written.toStdString(); // three lines and the end of the last
    EXPECT_TRUE(lines[0].endsWith("- Disconnected: 421 \\x1B]52;c;cm0gLXJmIH4=\\x07bye\\x1Bc"))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith("- Log-in to 127.0.0.1:21 (site evil\\x0Aline\\u202Egnp.exe\\x9B2J)"))
        << lines[1].toStdString();
    EXPECT_TRUE(lines[2].endsWith("< 200 \\x1B[31mred")) << lines[2].toStdString();
    for (const char c : written)
        EXPECT_FALSE((static_cast<unsigned char>(c) < 32 && c != '\n') || c == 127) << int(c);
    EXPECT_FALSE(QString::fromUtf8(written).contains(QChar(0x202E)));
    EXPECT_FALSE(QString::fromUtf8(written).contains(QChar(0x9B)));
}

} // namespace
