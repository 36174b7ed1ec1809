#pragma once

#include "sim/FileArea.h"
#include "sim/Reply.h"
#include "sim/Server.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <optional>

class QSslSocket;
class QTcpSocket;

namespace sim {

// One control connection: reads command lines, answers them, and runs the data connection of a listing, active
// (PORT, EPRT) or passive (PASV, EPSV), in clear or over TLS. Everything is event driven, so a slow, idle or
// hostile client holds up nobody else.
class Connection : public QObject {
    Q_OBJECT

public:
    Connection(Server& server, QTcpSocket* socket, int number, int pid, QObject* parent);

    void start();

    int number() const { return number_; }
    int pid() const { return pid_; }
    bool loggedIn() const { return !user_.isEmpty(); }
    const QByteArray& user() const { return user_; }
    const PathParts& cwd() const { return cwd_; }
    QByteArray doing() const { return doing_; }
    qint64 idleSeconds() const;
    QHostAddress peer() const { return peer_; }

    // Ends the login from outside (SITE KILL): the client is told why, then the connection closes.
    void kill(const QByteArray& why);
    void renamePathPrefix(const QByteArray& from, const QByteArray& to);

signals:
    void finished();

private:
    // Handshaking: TLS is being set up on the control connection and no command is read.
    enum class Phase { Handshaking, Open, Stalled, Closing, Closed };

    void greet();
    void onReadyRead();
    void processInput();
    void handleLine(const QByteArray& line);
    std::optional<Reply> dispatch(const QByteArray& word, const QByteArray& args);
    void send(const Reply& reply, Server::Fault fault);
    void write(const QByteArray& bytes, bool ownerSaysSo = false);
    void closeAfterWrite();
    void abortSession();
    void onDisconnected();

    // TLS on the control connection.
    QSslSocket* controlTls() const;
    void beginTls();
    void startControlTls();
    void onControlEncrypted();
    void onControlError();

    std::optional<Reply> doAuth(const QByteArray& args);
    Reply doPbsz(const QByteArray& args);
    Reply doProt(const QByteArray& args);
    Reply doFeat() const;

    Reply doUser(const QByteArray& args);
    Reply doPass(const QByteArray& args);
    Reply doCwd(const QByteArray& args);
    Reply doRmd(const QByteArray& args);
    Reply doPort(const QByteArray& args);
    Reply doEprt(const QByteArray& args);
    Reply doPassive(bool extended, const QByteArray& args);
    std::optional<Reply> doList(const QByteArray& args, bool namesOnly);

    // The address family of the control connection, and its local address with IPv4 shown as IPv4.
    bool controlIsIpv6() const;
    QHostAddress localAddress() const;
    // Forgets the PORT, EPRT, PASV or EPSV that has not served a listing yet.
    void resetDataSetup();
    void onPassiveConnection();
    void adoptData(QTcpSocket* socket);
    void dropData();
    void startDataTls();

    void onDataConnected();
    void onDataEncrypted();
    void sendListing();
    void onDataBytesWritten(qint64 bytes);
    void onDataDisconnected();
    void onDataError();
    void onDataTimeout();
    void finishTransfer(const Reply& reply);

    Server& server_;
    QTcpSocket* socket_;
    const int number_;
    const int pid_;
    const QHostAddress peer_;
    Phase phase_ = Phase::Open;

    QByteArray input_;
    bool discarding_ = false; // skipping the rest of an overlong line
    QTimer idleTimer_;
    qint64 lastActive_ = 0;
    QByteArray doing_ = "LOGIN";

    QByteArray pendingUser_;
    QByteArray user_;
    PathParts cwd_;

    // TLS: whether the control connection is encrypted, PBSZ and PROT, and the key of the session tickets this
    // connection and its data connections share.
    bool tlsActive_ = false;
    bool pbszDone_ = false;
    bool protectData_ = false;
    QByteArray ticketKey_;
    QTimer handshakeTimer_;
    bool greeted_ = false;

    // Active mode: the address of the last PORT or EPRT, used by the next listing.
    std::optional<QHostAddress> portAddress_;
    quint16 portPort_ = 0;
    // Passive mode: the listener of the last PASV or EPSV (gone once it took its connection), or the bound,
    // never listening socket whose port --refuse-passive names.
    bool passiveMode_ = false;
    bool epsvAll_ = false;
    QTcpServer* passive_ = nullptr;
    QTcpSocket* passiveBlocker_ = nullptr;

    // The running listing, or a passive connection that came before its listing.
    bool busy_ = false;
    QTcpSocket* data_ = nullptr;
    QByteArray listing_;
    QByteArray opening_; // the 150 reply up to its byte count
    qint64 dataWritten_ = 0;
    bool dataConnected_ = false;
    bool dataProtected_ = false;
    bool dataEncrypted_ = false;
    bool listingSent_ = false;
    Server::Fault listFault_ = Server::Fault::None;
    QTimer dataTimer_;
};

} // namespace sim
