// The installation as an operator gets it: cmake --install into a fresh prefix, then what the desktop reads from it
// (the desktop entry, the AppStream metainfo, the themed icon, the manual pages) and the programs run from
// there. The desktop's own validators judge the entry and the metainfo where they are installed.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSize>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

QT_BEGIN_NAMESPACE
// Failures print the names themselves.
inline void PrintTo(const QStringList& list, std::ostream* os)
{
    *os << '[' << list.join(QStringLiteral(", ")).toStdString() << ']';
}
QT_END_NAMESPACE

namespace {

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs a program to its end, with no display: whatever it prints must come without a window system.
Outcome run(const QString& program, const QStringList& args, int seconds = 60)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, args);
    Outcome result;
    if (!process.waitForStarted(10000) || !process.waitForFinished(seconds * 1000)) {
        process.kill();
        process.waitForFinished(5000);
        result.err = QStringLiteral("%1 did not run to its end").arg(program);
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QString readText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The width and height a PNG file declares in its header, or 0 x 0 when it is not one.
QSize pngSize(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = file.read(24);
    if (head.size() < 24 || !head.startsWith("\x89PNG\r\n\x1a\n") || head.mid(12, 4) != "IHDR")
        return {};
    auto be32 = [&head](int at) {
        return int(uchar(head[at])) << 24 | int(uchar(head[at + 1])) << 16 | int(uchar(head[at + 2])) << 8 |
               int(uchar(head[at + 3]));
    };
    return {be32(16), be32(20)};
}

// The long options a program's --help lists.
QSet<QString> helpOptions(const QString& help)
{
    QSet<QString> names;
    static const QRegularExpression optionLine(QStringLiteral("^  (-\\S.*?)(?:  |$)"),
                                               QRegularExpression::MultilineOption);
    static const QRegularExpression longName(QStringLiteral("--([a-z][a-z-]*)"));
    for (const auto& line : optionLine.globalMatch(help)) {
        for (const auto& name : longName.globalMatch(line.captured(1)))
            names.insert(name.captured(1));
    }
    return names;
}

// The long options a manual page describes in its OPTIONS section.
QSet<QString> manOptions(const QString& page)
{
    const qsizetype start = page.indexOf(QLatin1String("\n.SH OPTIONS\n"));
    const qsizetype end = page.indexOf(QLatin1String("\n.SH "), start + 1);
    QString section = page.mid(start, end - start);
    section.replace(QLatin1String("\\-"), QLatin1String("-"));
    QSet<QString> names;
    static const QRegularExpression longName(QStringLiteral("--([a-z][a-z-]*[a-z])"));
    for (const auto& name : longName.globalMatch(section))
        names.insert(name.captured(1));
    return names;
}

TEST(InstallTest, InstallsADesktopApplication)
{
    const QString build = qEnvironmentVariable("KOLVANE_BINARY_DIR");
    ASSERT_FALSE(build.isEmpty()) << "the test harness names the build folder in KOLVANE_BINARY_DIR";
    QTemporaryDir prefix;
    ASSERT_TRUE(prefix.isValid());
    const Outcome install = run(QStringLiteral(KOLVANE_CMAKE),
                                {QStringLiteral("--install"), build, QStringLiteral("--prefix"), prefix.path()});
    ASSERT_EQ(install.exitCode, 0) << install.out.toStdString() << install.err.toStdString();
    const QDir root(prefix.path());

    // The programs.
    const QString version = QStringLiteral(KOLVANE_VERSION);
    for (const QString program :
         {"kolvane", "kolvane-site", "kolvane-run", "kolvane-journal", "kolvane-health", "quillon-sim"}) {
        SCOPED_TRACE(program.toStdString());
        const QString path = root.filePath(QStringLiteral("bin/") + program);
        ASSERT_TRUE(QFileInfo(path).isExecutable()) << path.toStdString();
        const Outcome shown = run(path, {QStringLiteral("--version")});
        EXPECT_EQ(shown.exitCode, 0) << shown.err.toStdString();
        EXPECT_EQ(shown.out.trimmed(), program + ' ' + version);
        const Outcome help = run(path, {QStringLiteral("--help")});
        EXPECT_EQ(help.exitCode, 0) << help.err.toStdString();
        EXPECT_TRUE(help.out.startsWith(QLatin1String("Usage: "))) << help.out.toStdString();

        // Its manual page renders without a warning, and describes exactly the options the program has.
        const QString man = root.filePath(QStringLiteral("share/man/man1/%1.1").arg(program));
        const QString page = readText(man);
        ASSERT_FALSE(page.isEmpty()) << man.toStdString();
        const QSet<QString> described = manOptions(page);
        const QSet<QString> listed = helpOptions(help.out);
        EXPECT_EQ(QStringList((listed - described).values()), QStringList()) << "options the manual page misses";
        EXPECT_EQ(QStringList((described - listed).values()), QStringList()) << "options the program does not have";
        if (const QString groff = QStandardPaths::findExecutable(QStringLiteral("groff")); !groff.isEmpty()) {
            const Outcome rendered = run(groff, {QStringLiteral("-man"), QStringLiteral("-ww"), QStringLiteral("-z"),
                                                 QStringLiteral("-Tutf8"), man});
            EXPECT_EQ(rendered.exitCode, 0);
            EXPECT_EQ(rendered.err, QString()) << "groff warns";
        } else {
            std::printf("groff not found: the manual pages are not rendered\n");
        }
    }

    // The desktop entry, and the metainfo and icon under the same name.
    const QStringList entries = QDir(root.filePath(QStringLiteral("share/applications"))).entryList({"*.desktop"});
    ASSERT_EQ(entries.size(), 1) << entries.join(' ').toStdString();
    const QString id = entries.first().chopped(int(qstrlen(".desktop")));
    const QString entry = root.filePath(QStringLiteral("share/applications/") + entries.first());
    const QString text = readText(entry);
    EXPECT_TRUE(text.contains(QStringLiteral("\nExec=kolvane\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("\nIcon=%1\n").arg(id))) << text.toStdString();
    const QString metainfo = root.filePath(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(id));
    EXPECT_TRUE(readText(metainfo).contains(QStringLiteral("<id>%1</id>").arg(id))) << metainfo.toStdString();
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        const QString icon = root.filePath(QStringLiteral("share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(id));
        EXPECT_EQ(pngSize(icon), QSize(size, size)) << icon.toStdString();
    }

    if (const QString validate = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        !validate.isEmpty()) {
        const Outcome checked = run(validate, {entry});
        EXPECT_EQ(checked.exitCode, 0);
        EXPECT_EQ(checked.out + checked.err, QString()) << "desktop-file-validate has something to say";
    } else {
        std::printf("desktop-file-validate not found: the desktop entry is not validated\n");
    }
    if (const QString appstream = QStandardPaths::findExecutable(QStringLiteral("appstreamcli"));
        !appstream.isEmpty()) {
        const Outcome checked = run(appstream, {QStringLiteral("validate"), QStringLiteral("--no-net"), metainfo});
        EXPECT_EQ(checked.exitCode, 0) << checked.out.toStdString() << checked.err.toStdString();
    } else {
        std::printf("appstreamcli not found: the metainfo is not validated\n");
    }
}

TEST(InstallTest, TheDebianPackageHoldsTheInstallationAndNamesItsLibraries)
{
    if (QStandardPaths::findExecutable(QStringLiteral("dpkg-shlibdeps")).isEmpty())
        GTEST_SKIP() << "dpkg-shlibdeps (dpkg-dev) is missing: the package's dependencies cannot be computed";
    const QString build = qEnvironmentVariable("KOLVANE_BINARY_DIR");
    ASSERT_FALSE(build.isEmpty());
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    const Outcome made =
        run(QStringLiteral(KOLVANE_CPACK), {QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("--config"),
                                            build + "/CPackConfig.cmake", QStringLiteral("-B"), out.path()});
    ASSERT_EQ(made.exitCode, 0) << made.out.toStdString() << made.err.toStdString();
    const QStringList debs = QDir(out.path()).entryList({QStringLiteral("*.deb")});
    ASSERT_EQ(debs.size(), 1) << made.out.toStdString();
    const QString deb = QDir(out.path()).filePath(debs.first());

    const Outcome listed = run(QStringLiteral("dpkg-deb"), {QStringLiteral("--contents"), deb});
    ASSERT_EQ(listed.exitCode, 0) << listed.err.toStdString();
    for (const char* file :
         {"./usr/bin/kolvane", "./usr/bin/kolvane-site", "./usr/bin/kolvane-run", "./usr/bin/kolvane-journal",
          "./usr/bin/kolvane-health", "./usr/bin/quillon-sim", "./usr/share/applications/org.kolvane.Kolvane.desktop",
          "./usr/share/metainfo/org.kolvane.Kolvane.metainfo.xml",
          "./usr/share/icons/hicolor/256x256/apps/org.kolvane.Kolvane.png", "./usr/share/man/man1/kolvane.1",
          "./usr/share/man/man1/kolvane-site.1", "./usr/share/man/man1/kolvane-run.1",
          "./usr/share/man/man1/kolvane-journal.1", "./usr/share/man/man1/kolvane-health.1",
          "./usr/share/man/man1/quillon-sim.1"})
        EXPECT_TRUE(listed.out.contains(QLatin1String(file) + QLatin1Char('\n'))) << file << "\n"
                                                                                  << listed.out.toStdString();

    const Outcome depends =
        run(QStringLiteral("dpkg-deb"), {QStringLiteral("--field"), deb, QStringLiteral("Depends")});
    for (const char* library : {"libqt6widgets6", "libqt6network6", "libsqlite3", "libssl3", "libjpeg62-turbo",
                                "libqt6keychain1", "libqt6charts6", "fonts-dejavu-core", "qt6-qpa-plugins"})
        EXPECT_TRUE(depends.out.contains(QLatin1String(library))) << library << ": " << depends.out.toStdString();
}

} // namespace
