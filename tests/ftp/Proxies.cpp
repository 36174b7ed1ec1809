#include "Proxies.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>

namespace {

// "s3cret" in the SHA-512 form of crypt(3) (openssl passwd -6 -salt kolvanesalt s3cret), for Dante's user.
const char* const passwordHash =
    "$6$kolvanesalt$HLf70lpSB4AHCG4Mb.9LoNPCRlJvbUXy9Il3n3jvJJG2HBrch3tXkjmdIUSDizv1W7QJfLxm1ec6K16.0Ytt3/";

const char* const nssWrapper = "/usr/lib/x86_64-linux-gnu/libnss_wrapper.so";

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray fileText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The processes a process has started, and theirs: every process whose parent is one of them.
std::vector<pid_t> descendants(pid_t pid)
{
    std::vector<std::pair<pid_t, pid_t>> parents; // (process, its parent)
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        const pid_t id = pid_t(entry.toInt(&number));
        if (!number)
            continue;
        // "pid (comm) state ppid ...": the name may hold blanks and brackets, so the fields are read after its last
        // closing bracket.
        const QByteArray stat = fileText("/proc/" + entry + "/stat");
        const qsizetype close = stat.lastIndexOf(')');
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (close > 0 && fields.size() > 1)
            parents.emplace_back(id, pid_t(fields[1].toInt()));
    }
    std::vector<pid_t> all{pid};
    for (std::size_t i = 0; i < all.size(); ++i)
        for (const auto& [id, parent] : parents)
            if (parent == all[i])
                all.push_back(id);
    all.erase(all.begin());
    return all;
}

// Still one of the proxy's helpers, and no other process that took its number since.
bool isHelper(pid_t pid, const QByteArray& program)
{
    return fileText(QString("/proc/%1/comm").arg(pid)).trimmed() == program;
}

} // namespace

TestProxy::TestProxy(ProxyProgram program, ProxyOptions options) : program_(program), options_(std::move(options))
{
    process_.setProcessChannelMode(QProcess::MergedChannels);
    // A proxy outlives no test program, however that one ends.
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

TestProxy::~TestProxy()
{
    stop();
}

const char* TestProxy::name(ProxyProgram program)
{
    return program == ProxyProgram::Dante ? "Dante" : "tinyproxy";
}

QString TestProxy::unpackedRoot()
{
    if (qEnvironmentVariableIsSet("KOLVANE_PROXIES"))
        return qEnvironmentVariable("KOLVANE_PROXIES");
    return qEnvironmentVariable("XDG_CACHE_HOME", QDir::homePath() + "/.cache") + "/kolvane/proxies";
}

ConnectPath TestProxy::path() const
{
    ConnectPath path;
    path.kind = program_ == ProxyProgram::Dante ? ProxyKind::Socks5 : ProxyKind::Http;
    path.host = "127.0.0.1";
    path.port = port_;
    path.user = options_.user;
    path.password = options_.password;
    return path;
}

std::string TestProxy::writeConfiguration()
{
    const QByteArray port = QByteArray::number(port_);
    QByteArray text;
    if (program_ == ProxyProgram::Tinyproxy) {
        text = "Port " + port + "\nListen 127.0.0.1\nTimeout 30\nMaxClients 32\nLogLevel Info\nLogFile \"" +
               path("proxy.log").toLocal8Bit() + "\"\nDisableViaHeader Yes\n";
        if (!options_.user.empty())
            text += "BasicAuth " + QByteArray::fromStdString(options_.user) + " " +
                    QByteArray::fromStdString(options_.password) + "\n";
        if (!options_.refuse.empty())
            text += "ConnectPort 443\n";
        return writeFile(path("proxy.conf"), text) ? std::string() : "cannot write tinyproxy's configuration";
    }

    // Dante changes to its privileged user to check a password, and runs as the other one otherwise; a test that
    // is not root runs it as itself throughout.
    const passwd* me = getpwuid(geteuid());
    if (!me)
        return "this process's user has no name";
    const bool root = geteuid() == 0;
    const QByteArray privileged = root ? "root" : QByteArray(me->pw_name);
    const QByteArray unprivileged = root ? "nobody" : QByteArray(me->pw_name);
    text = "logoutput: " + path("proxy.log").toLocal8Bit() + "\ninternal: 127.0.0.1 port = " + port +
           "\nexternal: 127.0.0.1\nsocksmethod: " + (options_.user.empty() ? "none" : "username") +
           "\nclientmethod: none\nuser.privileged: " + privileged + "\nuser.unprivileged: " + unprivileged +
           "\nclient pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
    if (!options_.refuse.empty())
        text += "socks block { from: 127.0.0.0/8 to: " + QByteArray::fromStdString(options_.refuse) +
                "/32 log: connect error }\n";
    text += "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 log: connect disconnect error }\n";
    if (!writeFile(path("proxy.conf"), text))
        return "cannot write Dante's configuration";

    // The user database Dante sees: the system's accounts (it needs its own users) and the proxy's user.
    QByteArray users = fileText("/etc/passwd");
    QByteArray shadow;
    if (!options_.user.empty()) {
        users += QByteArray::fromStdString(options_.user) + ":x:54321:" + QByteArray::number(me->pw_gid) +
                 ":proxy user:/nonexistent:/bin/false\n";
        shadow = QByteArray::fromStdString(options_.user) + ":" + passwordHash + ":19000:0:99999:7:::\n";
    }
    QByteArray hosts = "127.0.0.1 localhost\n::1 localhost\n";
    for (const auto& [host, address] : options_.hosts)
        hosts += QByteArray::fromStdString(address) + " " + QByteArray::fromStdString(host) + "\n";
    if (!writeFile(path("passwd"), users) || !writeFile(path("shadow"), shadow) ||
        !writeFile(path("group"), fileText("/etc/group")) || !writeFile(path("hosts"), hosts))
        return "cannot write Dante's user database";
    return {};
}

std::string TestProxy::start()
{
    if (!dir_.isValid())
        return "cannot make a temporary folder";
    const QString root = unpackedRoot();
    const QString program = root + (program_ == ProxyProgram::Dante ? "/usr/sbin/danted" : "/usr/bin/tinyproxy");
    if (!QFileInfo(program).isExecutable())
        return program.toStdString() + " is missing: run .ci/deps.sh's install_proxies (./check.sh does), which "
                                       "unpacks the proxies' Debian packages there";
    if (program_ == ProxyProgram::Dante && !QFileInfo(nssWrapper).isReadable())
        return std::string(nssWrapper) + " is missing: install the Debian package libnss-wrapper";
    if (!options_.user.empty() && program_ == ProxyProgram::Dante && options_.password != "s3cret")
        return "Dante's test user has the password s3cret";
    // Dante's helper processes read the folder as its unprivileged user.
    QFile::setPermissions(dir_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                           QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (program_ == ProxyProgram::Dante) {
        environment.insert("LD_PRELOAD", nssWrapper);
        environment.insert("NSS_WRAPPER_PASSWD", path("passwd"));
        environment.insert("NSS_WRAPPER_SHADOW", path("shadow"));
        environment.insert("NSS_WRAPPER_GROUP", path("group"));
        environment.insert("NSS_WRAPPER_HOSTS", path("hosts"));
    }
    process_.setProcessEnvironment(environment);
    std::string last;
    // The port is one the system just gave out and took back; another program may take it first: a few tries.
    for (int attempt = 0; attempt < 3; ++attempt) {
        {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                return "cannot listen on 127.0.0.1: " + probe.errorString().toStdString();
            port_ = probe.serverPort();
        }
        if (const std::string written = writeConfiguration(); !written.empty())
            return written;
        if (program_ == ProxyProgram::Dante)
            process_.start(program, {"-f", path("proxy.conf"), "-N", "1"});
        else
            process_.start(program, {"-d", "-c", path("proxy.conf")});
        if (!process_.waitForStarted(5000))
            return "cannot start " + program.toStdString() + ": " + process_.errorString().toStdString();
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && process_.state() == QProcess::Running) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port_);
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
    return std::string(name(program_)) + " did not take connections on 127.0.0.1 port " + std::to_string(port_) +
           ":\n" + last;
}

std::string TestProxy::logs() const
{
    return fileText(path("proxy.log")).toStdString();
}

void TestProxy::kill()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    const pid_t pid = pid_t(process_.processId());
    const std::vector<pid_t> helpers = descendants(pid);
    ::kill(pid, SIGKILL);
    for (const pid_t helper : helpers)
        if (isHelper(helper, "danted"))
            ::kill(helper, SIGKILL); // the proxy's own helpers, started by it
    process_.waitForFinished(5000);
}

std::string TestProxy::stop()
{
    if (process_.state() != QProcess::NotRunning) {
        const std::vector<pid_t> helpers = descendants(pid_t(process_.processId()));
        process_.terminate(); // SIGTERM to our own child's PID
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(2000);
        }
        // Dante's helpers go with their parent; any that is left behind is ended here.
        for (const pid_t helper : helpers)
            if (isHelper(helper, "danted"))
                ::kill(helper, SIGKILL);
    }
    const QByteArray output = process_.readAll();
    return output.right(2000).toStdString() + fileText(path("proxy.log")).right(4000).toStdString();
}
