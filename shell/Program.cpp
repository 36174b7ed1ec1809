// Program start: the command line, the application object and the console's look, then the splash, the main window
// and its dialogs, then the event loop.

#include "art/Art.h"
#include "gui/Application.h"
#include "gui/Look.h"
#include "shell/Main.h"
#include "shell/Startup.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QIcon>

#include <cstdio>
#include <optional>

namespace {

// The name of the desktop entry, the AppStream component and the themed icon the installation puts in place; the
// desktop matches the console's windows to its entry (and so to its icon) by it.
constexpr const char* AppId = KOLVANE_APP_ID;

void describe(QCommandLineParser& parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Kolvane, the administration console for FTP sites that run the Quillon daemon.\n"
        "Sites are kept in ${XDG_CONFIG_HOME:-~/.config}/kolvane/settings.db; add them in the console's site dialog\n"
        "or with kolvane-site. Qt's own options (-platform NAME, -display DISPLAY, -style NAME, ...) are accepted."));
    // Our own help option rather than Qt's: Qt's adds --help-all, whose list of Qt's options would need the window
    // system up before it could be printed.
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help"), QStringLiteral("?")},
                      QStringLiteral("Displays help on commandline options.")});
    parser.addVersionOption();
    parser.addOption({QStringLiteral("log"), QStringLiteral("Logs each log-in's conversation with the daemon to a file "
                                                            "in ${XDG_STATE_HOME:-~/.local/state}/kolvane/sessions "
                                                            "(as MiSC > Session Log does), for this run.")});
}

// --help and --version are answered before the window system is touched: they print and end, with no window and no
// display needed. Anything else is left for the console, which checks it once Qt has taken its own options.
std::optional<int> answerCommandLine(int argc, char** argv)
{
    const QCoreApplication core(argc, argv);
    QCommandLineParser parser;
    describe(parser);
    parser.parse(QCoreApplication::arguments());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("kolvane %s\n", KOLVANE_VERSION);
        return 0;
    }
    return std::nullopt;
}

// What is left of the command line after Qt took its own options must be ours; sessionLog says whether --log is.
bool commandLineAccepted(bool& sessionLog)
{
    QCommandLineParser parser;
    describe(parser);
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "kolvane: %s\nTry 'kolvane --help'.\n", qPrintable(parser.errorText()));
        return false;
    }
    sessionLog = parser.isSet(QStringLiteral("log"));
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "kolvane: unexpected argument: %s\nTry 'kolvane --help'.\n",
                     qPrintable(parser.positionalArguments().first()));
        return false;
    }
    return true;
}

QIcon applicationIcon()
{
    QIcon icon;
    for (const char* picture : KolvaneArt::AppIcons)
        icon.addFile(QString::fromLatin1(picture));
    return icon;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication::setApplicationName(QStringLiteral("kolvane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KOLVANE_VERSION));
    if (const std::optional<int> done = answerCommandLine(argc, argv))
        return *done;

    TApplication app(argc, argv);
    bool sessionLog = false;
    if (!commandLineAccepted(sessionLog))
        return 2;
    QGuiApplication::setDesktopFileName(QString::fromLatin1(AppId));
    initArtResources();
    QApplication::setWindowIcon(applicationIcon());
    ApplyConsoleLook(app);
    const std::unique_ptr<TMainForm> mainForm = StartConsole(sessionLog);
    return app.exec();
}
