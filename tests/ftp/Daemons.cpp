#include "Daemons.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>

namespace {

// "s3cret" in the SHA-512 form of crypt(3) (openssl passwd -6 -salt kolvanesalt s3cret). Both ProFTPD's and
// Pure-FTPd's virtual users take it, and it is checked in a moment, where the stronger default of pure-pw takes
// seconds a log-in.
const char* const passwordHash =
    "$6$kolvanesalt$HLf70lpSB4AHCG4Mb.9LoNPCRlJvbUXy9Il3n3jvJJG2HBrch3tXkjmdIUSDizv1W7QJfLxm1ec6K16.0Ytt3/";

bool writeFile(const QString& path, const QByteArray& bytes, QFile::Permissions permissions)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() &&
           file.setPermissions(permissions);
}

constexpr QFile::Permissions readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
constexpr QFile::Permissions traversable = readable | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;

// A system account whose home folder exists: vsftpd changes into the anonymous user's home before it goes to its
// anonymous root, and "nobody" has none on Debian.
std::string anonymousAccount()
{
    for (const char* candidate : {"nobody", "daemon", "bin"}) {
        const passwd* account = getpwnam(candidate);
        if (account && account->pw_uid != 0 && QFileInfo(QString::fromLocal8Bit(account->pw_dir)).isDir())
            return candidate;
    }
    return {};
}

std::string tail(const QByteArray& bytes, qsizetype count = 3000)
{
    return bytes.right(count).toStdString();
}

} // namespace

FtpDaemon::FtpDaemon(DaemonKind kind, const QString& address) : kind_(kind), address_(address)
{
    process_.setProcessChannelMode(QProcess::MergedChannels);
    // A daemon outlives no test program, however that one ends (a crash, ctest's time-out).
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

FtpDaemon::~FtpDaemon()
{
    stop();
}

const char* FtpDaemon::name(DaemonKind kind)
{
    switch (kind) {
    case DaemonKind::Vsftpd:
        return "vsftpd";
    case DaemonKind::ProFtpd:
        return "ProFTPD";
    case DaemonKind::PureFtpd:
        return "Pure-FTPd";
    }
    return "?";
}

QString FtpDaemon::unpackedRoot()
{
    if (qEnvironmentVariableIsSet("KOLVANE_DAEMONS"))
        return qEnvironmentVariable("KOLVANE_DAEMONS");
    const QString cache = qEnvironmentVariable("XDG_CACHE_HOME", QDir::homePath() + "/.cache");
    return cache + "/kolvane/daemons";
}

std::string FtpDaemon::prepare()
{
    if (!dir_.isValid())
        return "cannot make a temporary folder";
    if (geteuid() != 0)
        return std::string(name(kind_)) + " needs root to change to its users and into their folders: run the "
                                          "daemon tests as root (CI does)";
    const QString program = QStringList(command()).first();
    if (!QFileInfo(program).isExecutable())
        return program.toStdString() + " is missing: run .ci/daemons.sh (./check.sh does), which unpacks the "
                                       "daemons' Debian packages there";

    // The daemons read and serve the folder as unprivileged users; nothing in it may be writable by them.
    QDir dir(dir_.path());
    const QString pub = path("site/pub");
    if (!QFile::setPermissions(dir_.path(), traversable) || !dir.mkpath("site/pub/my dir") || !dir.mkpath("empty") ||
        !dir.mkpath("logs"))
        return "cannot make the served folders";
    for (const QString& folder : {QString("site"), QString("site/pub"), QString("site/pub/my dir"), QString("empty")})
        QFile::setPermissions(path(folder), traversable);
    if (!writeFile(pub + "/plain.txt", "plain text\n", readable) ||
        !writeFile(pub + "/my notes.txt", "notes\n", readable) ||
        !writeFile(pub + "/trailing ", "trailing\n", readable) ||
        !writeFile(pub + "/my dir/inside.txt", "inside\n", readable) || !QFile::link("plain.txt", pub + "/latest"))
        return "cannot write the served files";

    certificate_ = TestCertificate::make("localhost", {"127.0.0.1", "::1", "localhost"});
    if (!writeFile(path("cert.pem"), QByteArray::fromStdString(certificate_.certificatePem), readable) ||
        !writeFile(path("key.pem"), QByteArray::fromStdString(certificate_.keyPem), QFile::ReadOwner) ||
        !certificate_.write(path("both.pem")) || !QFile::setPermissions(path("both.pem"), QFile::ReadOwner))
        return "cannot write the certificate";

    const passwd* nobody = getpwnam("nobody");
    const group* nogroup = nobody ? getgrgid(nobody->pw_gid) : nullptr;
    if (!nobody || !nogroup)
        return "no user nobody with a group here";
    const QByteArray ids = QByteArray::number(nobody->pw_uid) + ':' + QByteArray::number(nobody->pw_gid);

    switch (kind_) {
    case DaemonKind::Vsftpd:
        user_ = "anonymous";
        loginFolder_ = "/";
        pubFolder_ = "/pub";
        break;
    case DaemonKind::ProFtpd: {
        user_ = "kolvane";
        password_ = "s3cret";
        loginFolder_ = pubFolder_ = pub.toStdString();
        const QByteArray line =
            "kolvane:" + QByteArray(passwordHash) + ':' + ids + "::" + pub.toLocal8Bit() + ":/bin/sh\n";
        if (!writeFile(path("ftpd.passwd"), line, QFile::ReadOwner | QFile::WriteOwner) ||
            !writeFile(path("ftpd.group"),
                       QByteArray(nogroup->gr_name) + ":x:" + QByteArray::number(nobody->pw_gid) + ":\n",
                       QFile::ReadOwner | QFile::WriteOwner))
            return "cannot write ProFTPD's users";
        break;
    }
    case DaemonKind::PureFtpd: {
        user_ = "kolvane";
        password_ = "s3cret";
        loginFolder_ = pubFolder_ = "/pub";
        // "/./" splits the home: the user is kept inside site and starts in its pub.
        const QByteArray line = "kolvane:" + QByteArray(passwordHash) + ':' + ids + "::" + path("site").toLocal8Bit() +
                                "/./pub/./::::::::::::\n";
        if (!writeFile(path("pure.passwd"), line, QFile::ReadOwner | QFile::WriteOwner))
            return "cannot write Pure-FTPd's users";
        QProcess pw;
        pw.setProcessChannelMode(QProcess::MergedChannels);
        pw.start(unpackedRoot() + "/usr/bin/pure-pw", {"mkdb", path("pure.pdb"), "-f", path("pure.passwd")});
        if (!pw.waitForFinished(10000) || pw.exitStatus() != QProcess::NormalExit || pw.exitCode() != 0)
            return "pure-pw mkdb failed: " + pw.readAll().toStdString();
        break;
    }
    }
    return {};
}

std::string FtpDaemon::writeConfiguration()
{
    const QByteArray port = QByteArray::number(port_);
    const QByteArray address = address_.toLatin1();
    const bool ipv6 = address_.contains(':');
    QByteArray text;
    switch (kind_) {
    case DaemonKind::Vsftpd: {
        const std::string account = anonymousAccount();
        if (account.empty())
            return "no system account with a home folder for vsftpd's anonymous users";
        text = (ipv6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=" : "listen=YES\nlisten_address=") + address +
               "\nlisten_port=" + port +
               "\nbackground=NO\n"
               "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nwrite_enable=NO\n"
               "anon_root=" +
               path("site").toLocal8Bit() + "\nftp_username=" + QByteArray::fromStdString(account) +
               "\nnopriv_user=nobody\nsecure_chroot_dir=" + path("empty").toLocal8Bit() +
               "\n"
               // The process isolation and system-call filter of the session processes need kernel features a
               // container may not give; the protocol is the same without them.
               "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
               "pasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\ndirmessage_enable=NO\n"
               "ssl_enable=YES\nallow_anon_ssl=YES\nforce_anon_logins_ssl=NO\nforce_anon_data_ssl=NO\n"
               "require_ssl_reuse=YES\nstrict_ssl_write_shutdown=YES\nssl_ciphers=HIGH\n"
               "rsa_cert_file=" +
               path("cert.pem").toLocal8Bit() + "\nrsa_private_key_file=" + path("key.pem").toLocal8Bit() +
               "\nsyslog_enable=NO\nlog_ftp_protocol=YES\nvsftpd_log_file=" + path("logs/vsftpd.log").toLocal8Bit() +
               "\nxferlog_enable=YES\ndual_log_enable=YES\nxferlog_file=" + path("logs/xfer.log").toLocal8Bit() + "\n";
        break;
    }
    case DaemonKind::ProFtpd: {
        const group* nogroup = getgrgid(getpwnam("nobody")->pw_gid);
        text = "ServerType standalone\nServerName \"kolvane test\"\nUseIPv6 on\nDefaultAddress " + address +
               "\nSocketBindTight on\nPort " + port + "\nUser nobody\nGroup " + QByteArray(nogroup->gr_name) +
               "\nPidFile " + path("proftpd.pid").toLocal8Bit() + "\nScoreboardFile " +
               path("proftpd.scoreboard").toLocal8Bit() +
               "\nDelayTable none\nWtmpLog off\nUseReverseDNS off\nSystemLog " +
               path("logs/proftpd.log").toLocal8Bit() + "\nTransferLog " + path("logs/xfer.log").toLocal8Bit() +
               "\nAuthOrder mod_auth_file.c\nAuthUserFile " + path("ftpd.passwd").toLocal8Bit() + "\nAuthGroupFile " +
               path("ftpd.group").toLocal8Bit() +
               "\nRequireValidShell off\n"
               // Its log-in delays guard against timing a real site's passwords; they only slow the tests.
               "<IfModule mod_delay.c>\nDelayEngine off\n</IfModule>\n"
               "ModulePath " +
               unpackedRoot().toLocal8Bit() +
               "/usr/lib/proftpd\nLoadModule mod_tls.c\n"
               "TLSEngine on\nTLSRequired off\nTLSProtocol TLSv1.2 TLSv1.3\nTLSVerifyClient off\nTLSLog " +
               path("logs/tls.log").toLocal8Bit() + "\nTLSECCertificateFile " + path("cert.pem").toLocal8Bit() +
               "\nTLSECCertificateKeyFile " + path("key.pem").toLocal8Bit() + "\n";
        break;
    }
    case DaemonKind::PureFtpd:
        return {}; // all on its command line
    }
    if (!writeFile(path("daemon.conf"), text, QFile::ReadOwner | QFile::WriteOwner))
        return "cannot write the configuration";
    return {};
}

QStringList FtpDaemon::command() const
{
    const QString root = unpackedRoot();
    switch (kind_) {
    case DaemonKind::Vsftpd:
        return {root + "/usr/sbin/vsftpd", path("daemon.conf")};
    case DaemonKind::ProFtpd:
        return {root + "/usr/sbin/proftpd", "--nodaemon", "--config", path("daemon.conf")};
    case DaemonKind::PureFtpd:
        // -E no anonymous users, -H no reverse look-ups, -Y 1 TLS offered, -2 its certificate and key.
        return {root + "/usr/sbin/pure-ftpd",
                "-S",
                address_ + ',' + QString::number(port_),
                "-l",
                "puredb:" + path("pure.pdb"),
                "-E",
                "-H",
                "-Y",
                "1",
                "-2",
                path("both.pem"),
                "-g",
                path("pure-ftpd.pid"),
                "-O",
                "clf:" + path("logs/xfer.log")};
    }
    return {};
}

std::string FtpDaemon::start()
{
    const std::string problem = prepare();
    if (!problem.empty())
        return problem;
    const QHostAddress address(address_);
    std::string last;
    // The port is one the system just gave out, released for the daemon to take; another program may take it first,
    // so there are a few tries.
    for (int attempt = 0; attempt < 3; ++attempt) {
        {
            QTcpServer probe;
            if (!probe.listen(address, 0))
                return "cannot listen on " + address_.toStdString() + ": " + probe.errorString().toStdString();
            port_ = probe.serverPort();
        }
        if (const std::string written = writeConfiguration(); !written.empty())
            return written;
        const QStringList arguments = command();
        output_.clear();
        process_.start(arguments.first(), arguments.mid(1));
        if (!process_.waitForStarted(5000))
            return "cannot start " + arguments.first().toStdString() + ": " + process_.errorString().toStdString();
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && process_.state() == QProcess::Running) {
            QTcpSocket socket;
            socket.connectToHost(address, port_);
            if (socket.waitForConnected(250)) {
                socket.abort();
                return {};
            }
            process_.waitForFinished(50);
        }
        last = stop();
        if (last.find("in use") == std::string::npos)
            break;
    }
    return std::string(name(kind_)) + " did not take connections on " + address_.toStdString() + " port " +
           std::to_string(port_) + ":\n" + last;
}

std::string FtpDaemon::logs() const
{
    QByteArray all = output_;
    for (const QString& log : QDir(path("logs")).entryList(QDir::Files)) {
        QFile file(path("logs/" + log));
        if (file.open(QIODevice::ReadOnly))
            all += "\n== " + log.toLocal8Bit() + ":\n" + file.readAll().right(3000);
    }
    return tail(all, 6000);
}

std::string FtpDaemon::stop()
{
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate(); // SIGTERM to our own child's PID
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(2000);
        }
    }
    output_ += process_.readAll();
    return logs();
}
