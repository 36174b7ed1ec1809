// quillon-sim: a stand-in Quillon FTP daemon for the console's demo and end-to-end tests.

#include "sim/Server.h"
#include "sim/SiteState.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

int fail(int code, const QString& message)
{
    std::fprintf(stderr, "quillon-sim: %s\n", qPrintable(message));
    return code;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillon-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A stand-in Quillon FTP daemon: FTP log-in, an in-memory file area with active-mode listings, and the\n"
        "SITE command family with users, groups, credits, nukes and top lists.\n"
        "Seeded operator login: siteop / quillon."));
    parser.addHelpOption();
    parser.addOptions({
        {"listen", "Address to listen on (default 127.0.0.1).", "ADDR", "127.0.0.1"},
        {"port", "Port to listen on (default 2121; 0 lets the system choose).", "N", "2121"},
        {"state", "Load the site from FILE if it exists, else seed it; save it there after every change.", "FILE"},
        {"log", "Append every received command line to FILE (default: standard output).", "FILE"},
        {"drop-on",
         "Cut the reply to a command line starting with PREFIX short and close the connection "
         "(may be repeated).",
         "PREFIX"},
        {"stall-on",
         "Send the first line of the reply to a command line starting with PREFIX, then never "
         "finish it (may be repeated).",
         "PREFIX"},
    });
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "quillon-sim: %s\n%s", qPrintable(parser.errorText()), qPrintable(parser.helpText()));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(2, QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));

    sim::ServerOptions options;
    const QString listen = parser.value(QStringLiteral("listen"));
    if (!options.address.setAddress(listen) || options.address.protocol() != QAbstractSocket::IPv4Protocol)
        return fail(2, QStringLiteral("--listen wants an IPv4 address such as 127.0.0.1, not \"%1\"").arg(listen));
    bool portOk = false;
    const uint port = parser.value(QStringLiteral("port")).toUInt(&portOk);
    if (!portOk || port > 65535)
        return fail(2, QStringLiteral("--port wants a number from 0 to 65535"));
    options.port = static_cast<quint16>(port);
    options.statePath = parser.value(QStringLiteral("state"));
    options.logPath = parser.value(QStringLiteral("log"));
    for (const QString& p : parser.values(QStringLiteral("drop-on")))
        options.dropOn.append(p.toLatin1());
    for (const QString& p : parser.values(QStringLiteral("stall-on")))
        options.stallOn.append(p.toLatin1());

    // The site: from the state file when there is one. A file that does not read back whole is reported and
    // left exactly as it is; we never start over it with a fresh site, which would overwrite it at the first
    // change.
    sim::SiteState state;
    bool fresh = true;
    if (!options.statePath.isEmpty() && QFileInfo::exists(options.statePath)) {
        QFile file(options.statePath);
        if (!file.open(QIODevice::ReadOnly))
            return fail(3,
                        QStringLiteral("cannot read the state file %1: %2").arg(options.statePath, file.errorString()));
        QString error;
        auto loaded = sim::SiteState::fromJson(file.readAll(), &error);
        if (!loaded)
            return fail(3, QStringLiteral("the state file %1 is damaged (%2); it was left untouched. Repair it or "
                                          "move it away to start with a fresh site.")
                               .arg(options.statePath, error));
        state = std::move(*loaded);
        fresh = false;
    } else {
        state = sim::SiteState::seeded(QDateTime::currentSecsSinceEpoch());
    }

    sim::Server server(options, std::move(state));
    if (fresh && !options.statePath.isEmpty()) {
        QString error;
        if (!server.save(&error))
            return fail(3, QStringLiteral("cannot write the state file %1: %2").arg(options.statePath, error));
    }
    QString error;
    if (!server.listen(&error))
        return fail(1, error);

    // A closed standard output (a test that stopped reading) must not kill us in the middle of a reply.
    std::signal(SIGPIPE, SIG_IGN);
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) == 0) {
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }

    std::printf("quillon-sim listening on %s:%u\n", qPrintable(server.address().toString()), server.port());
    std::fflush(stdout);
    return app.exec();
}
