#pragma once

// Proxies that nobody here wrote, for the engine's tests: Dante (a SOCKS5 server) and tinyproxy (an HTTP proxy), as
// unpacked from their Debian packages by .ci/deps.sh (install_proxies). Each is started in the foreground for one
// test, on 127.0.0.1 and a port of its own, with its configuration and log in a temporary folder of its own; it is
// ended by its PID, and it ends itself when the test program dies.
//
// Dante's user and password are checked against the system's user database, which the test replaces for Dante alone
// with files of its own through nss_wrapper (libnss-wrapper): no account is made on the machine. The same way, Dante
// may be given host names that only it can look up.

#include "platform/ConnectPath.h"

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <string>
#include <utility>
#include <vector>

enum class ProxyProgram { Dante, Tinyproxy };

struct ProxyOptions {
    // Empty: the proxy takes anybody; otherwise only this user with this password.
    std::string user;
    std::string password;
    // Dante: names that it (and nobody else here) looks up, with their addresses.
    std::vector<std::pair<std::string, std::string>> hosts;
    // Dante: its rules refuse connections to this address. Tinyproxy: it opens tunnels to port 443 only.
    std::string refuse;
};

class TestProxy {
public:
    TestProxy(ProxyProgram program, ProxyOptions options = {});
    ~TestProxy();
    TestProxy(const TestProxy&) = delete;
    TestProxy& operator=(const TestProxy&) = delete;

    // Empty once the proxy takes connections; otherwise why it could not be started, in its words where it had any.
    std::string start();
    // Ends it (SIGTERM to its PID, SIGKILL when it does not go) and returns what it logged.
    std::string stop();
    // Ends it at once with SIGKILL, its connections with it (Dante's helper processes, its own children, too).
    void kill();

    quint16 port() const { return port_; }
    // The path through it, with the user and password it was given.
    ConnectPath path() const;
    // Everything it has logged so far.
    std::string logs() const;

    static const char* name(ProxyProgram program);
    // The folder the proxies are unpacked into: $KOLVANE_PROXIES, else ${XDG_CACHE_HOME:-~/.cache}/kolvane/proxies.
    static QString unpackedRoot();

private:
    std::string writeConfiguration();
    QString path(const QString& relative) const { return dir_.path() + '/' + relative; }

    ProxyProgram program_;
    ProxyOptions options_;
    QTemporaryDir dir_;
    QProcess process_;
    quint16 port_ = 0;
};
