// quillon-sim: a stand-in Quillon FTP daemon for the console's demo and end-to-end tests.

#include "sim/Server.h"
#include "sim/SiteState.h"
#include "sim/Tls.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QSslSocket>

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
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLON_SIM_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A stand-in Quillon FTP daemon: FTP log-in, an in-memory file area with listings over active (PORT,\n"
        "EPRT) or passive (PASV, EPSV) data connections, in clear or over TLS, and the SITE command family with\n"
        "users, groups, credits, nukes and top lists.\n"
        "Seeded operator login: siteop / quillon.\n"
        "Standard output begins with \"quillon-sim listening on ADDR:PORT\"; with TLS on, the next line is\n"
        "\"quillon-sim certificate sha256 AB:CD:...\", the SHA-256 fingerprint of the certificate."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {{"host", "listen"},
         "Address to listen on, IPv4 or IPv6 such as ::1 (default 127.0.0.1).",
         "ADDR",
         "127.0.0.1"},
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
        {"tls", "Explicit TLS: AUTH TLS (or AUTH SSL) turns a control connection to TLS; PBSZ 0 and PROT P "
                "protect the data connections."},
        {"implicit-tls", "Implicit TLS: every control connection is TLS from its first byte; PROT P protects "
                         "the data connections."},
        {"cert", "The certificate (PEM) for TLS; needs --key. Without it a self-signed one is made at start.", "FILE"},
        {"key", "The private key (PEM, unencrypted) of --cert.", "FILE"},
        {"cert-out", "Write the certificate in use (PEM) to FILE.", "FILE"},
        {"require-tls", "Refuse USER and PASS before AUTH TLS, and listings without PROT P."},
        {"reply-from",
         "Fault: answer a command line starting with PREFIX with the bytes of FILE exactly as they are, whatever they "
         "hold (may be repeated).",
         "PREFIX=FILE"},
        {"pasv-address", "Fault: PASV replies name this IPv4 address while the daemon listens on its real one.",
         "A.B.C.D"},
        {"refuse-passive", "Fault: PASV and EPSV replies name a port where nobody listens."},
        {"stall-handshake", "Fault: never answer the TLS handshake (after AUTH TLS's 234, or at connection with "
                            "--implicit-tls)."},
        {"no-close-notify", "Fault: end TLS control and data connections with a plain TCP close, without "
                            "close_notify."},
        {"require-resume", "Refuse (425) a protected data connection whose TLS session does not resume the "
                           "session of its control connection."},
    });
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "quillon-sim: %s\n%s", qPrintable(parser.errorText()), qPrintable(parser.helpText()));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("quillon-sim %s\n", QUILLON_SIM_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(2, QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));

    sim::ServerOptions options;
    const QString listen = parser.value(QStringLiteral("host"));
    if (!options.address.setAddress(listen) || (options.address.protocol() != QAbstractSocket::IPv4Protocol &&
                                                options.address.protocol() != QAbstractSocket::IPv6Protocol))
        return fail(2, QStringLiteral("--host (--listen) wants an IPv4 or IPv6 address such as 127.0.0.1 or ::1, "
                                      "not \"%1\"")
                           .arg(listen));
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
    for (const QString& rule : parser.values(QStringLiteral("reply-from"))) {
        const qsizetype equals = rule.indexOf(QLatin1Char('='));
        QFile file(rule.mid(equals + 1));
        if (equals <= 0 || !file.open(QIODevice::ReadOnly))
            return fail(2, QStringLiteral("--reply-from wants PREFIX=FILE with a file to read, not \"%1\"").arg(rule));
        options.replyFrom.append({rule.left(equals).toLatin1(), file.readAll()});
    }

    auto isSet = [&parser](const char* name) { return parser.isSet(QString::fromLatin1(name)); };
    if (isSet("tls") && isSet("implicit-tls"))
        return fail(2, QStringLiteral("--tls and --implicit-tls exclude each other"));
    options.tls = isSet("tls")            ? sim::ServerOptions::Tls::Explicit
                  : isSet("implicit-tls") ? sim::ServerOptions::Tls::Implicit
                                          : sim::ServerOptions::Tls::Off;
    for (const char* name :
         {"cert", "key", "cert-out", "require-tls", "stall-handshake", "no-close-notify", "require-resume"}) {
        if (isSet(name) && options.tls == sim::ServerOptions::Tls::Off)
            return fail(2, QStringLiteral("--%1 needs --tls or --implicit-tls").arg(QLatin1String(name)));
    }
    if (isSet("cert") != isSet("key"))
        return fail(2, QStringLiteral("--cert and --key go together"));
    options.requireTls = isSet("require-tls");
    options.stallHandshake = isSet("stall-handshake");
    options.noCloseNotify = isSet("no-close-notify");
    options.requireResume = isSet("require-resume");
    options.refusePassive = isSet("refuse-passive");
    if (isSet("pasv-address")) {
        const QString pasv = parser.value(QStringLiteral("pasv-address"));
        if (!options.pasvAddress.setAddress(pasv) || options.pasvAddress.protocol() != QAbstractSocket::IPv4Protocol)
            return fail(2, QStringLiteral("--pasv-address wants an IPv4 address, not \"%1\"").arg(pasv));
    }

    // The certificate: the operator's, or a fresh self-signed one.
    std::optional<sim::tls::Identity> identity;
    if (options.tls != sim::ServerOptions::Tls::Off) {
        if (!QSslSocket::supportsSsl())
            return fail(1, QStringLiteral("TLS is not available: Qt found no usable TLS backend"));
        QString error;
        identity = isSet("cert") ? sim::tls::loadIdentity(parser.value(QStringLiteral("cert")),
                                                          parser.value(QStringLiteral("key")), &error)
                                 : sim::tls::makeSelfSigned(options.address, &error);
        if (!identity)
            return fail(isSet("cert") ? 2 : 1, error);
        if (isSet("cert-out")) {
            QSaveFile out(parser.value(QStringLiteral("cert-out")));
            if (!out.open(QIODevice::WriteOnly) || out.write(identity->certificate.toPem()) < 0 || !out.commit())
                return fail(1, QStringLiteral("cannot write the certificate to %1: %2")
                                   .arg(parser.value(QStringLiteral("cert-out")), out.errorString()));
        }
    }

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
    if (identity)
        server.setTlsConfiguration(sim::tls::serverConfiguration(*identity));
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

    // The listening line stays the first: whoever waits for the port reads just that line.
    std::printf("quillon-sim listening on %s:%u\n", qPrintable(server.address().toString()), server.port());
    if (identity)
        std::printf("quillon-sim certificate sha256 %s\n", sim::tls::fingerprint(identity->certificate).constData());
    std::fflush(stdout);
    return app.exec();
}
