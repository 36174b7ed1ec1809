#pragma once

#include "sim/Reply.h"
#include "sim/SiteState.h"

#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QTcpServer>

#include <functional>

namespace sim {

class Connection;

struct ServerOptions {
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 2121;
    QString statePath;         // empty: state lives in memory only
    QString logPath;           // empty: standard output
    QList<QByteArray> dropOn;  // command prefixes whose reply is cut short by a closed connection
    QList<QByteArray> stallOn; // command prefixes whose reply is never finished
    // Command prefixes whose reply is these bytes exactly, whatever they hold, line ends or none.
    QList<QPair<QByteArray, QByteArray>> replyFrom;

    enum class Tls { Off, Explicit, Implicit };
    Tls tls = Tls::Off;          // Explicit: AUTH TLS upgrades a connection; Implicit: TLS from the first byte
    bool requireTls = false;     // no log-in before TLS, no listing over an unprotected data connection
    QHostAddress pasvAddress;    // null: PASV names the address it really listens on
    bool refusePassive = false;  // PASV and EPSV name a port where nobody listens
    bool stallHandshake = false; // the control connection's TLS handshake is never answered
    bool noCloseNotify = false;  // TLS connections end with a plain TCP close
    bool requireResume = false;  // a protected data connection must resume its control connection's session
};

// A listening socket whose connections are QSslSocket objects when TLS is on, so that any of them can switch
// to TLS later. A connection from an address that accepts() turns down is closed at once and the listening goes
// on.
class SocketServer : public QTcpServer {
public:
    using QTcpServer::QTcpServer;

    bool tls = false;
    std::function<bool(const QHostAddress&)> accepts;

protected:
    void incomingConnection(qintptr descriptor) override;
};

// The daemon: accepts control connections, owns the site's state and its file, the command log and the
// registry of live logins that SITE WHO and SITE KILL work on.
class Server : public QObject {
    Q_OBJECT

public:
    Server(ServerOptions options, SiteState state, QObject* parent = nullptr);
    ~Server() override;

    bool listen(QString* error);
    // The certificate and key of every TLS connection; set before listen() when TLS is on.
    void setTlsConfiguration(const QSslConfiguration& configuration) { tlsConfiguration_ = configuration; }
    const QSslConfiguration& tlsConfiguration() const { return tlsConfiguration_; }
    const ServerOptions& options() const { return options_; }
    QHostAddress address() const { return server_.serverAddress(); }
    quint16 port() const { return server_.serverPort(); }

    const SiteState& state() const { return state_; }
    // Writes the state file atomically (temporary file, then rename).
    bool save(QString* error);
    // Runs change on the state and saves it when the reply is a success. If the save fails, the state is put
    // back as it was and the operator is told that nothing changed: a change is never reported as made when it
    // would be lost at the next start.
    Reply applyChange(const std::function<Reply(SiteState&)>& change);

    // One line of the command log: "<session> <line>". Flushed at once, so a test can read it right away.
    void log(int session, const QByteArray& line);

    enum class Fault { None, Drop, Stall };
    Fault faultFor(const QByteArray& line) const;
    // The bytes to answer this line with instead of a reply of the daemon's own, or none.
    const QByteArray* rawReplyFor(const QByteArray& line) const;

    // Logins that are not ours to serve but that SITE WHO shows and SITE KILL can end: a site always has a
    // few idle users hanging around.
    struct IdleLogin {
        int pid = 0;
        QByteArray user;
        QByteArray doing;
        QByteArray from;
        qint64 since = 0;
    };
    QList<IdleLogin>& idleLogins() { return idle_; }
    const QList<Connection*>& sessions() const { return sessions_; }
    Connection* sessionByPid(int pid) const;

    // Keeps the working directories of logged-in sessions valid when a directory is renamed under them.
    void renamePathPrefix(const QByteArray& from, const QByteArray& to);

private:
    void onNewConnection();
    void onSessionFinished(Connection* session);

    ServerOptions options_;
    SiteState state_;
    SocketServer server_;
    QSslConfiguration tlsConfiguration_;
    QFile log_;
    QList<Connection*> sessions_;
    QList<IdleLogin> idle_;
    int nextSession_ = 1;
};

} // namespace sim
