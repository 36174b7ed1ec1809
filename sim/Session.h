#pragma once

#include "sim/FileArea.h"
#include "sim/Reply.h"
#include "sim/Server.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <optional>

class QTcpSocket;

namespace sim {

// One control connection: reads command lines, answers them, and runs the active-mode data connection of a
// listing. Everything is event driven, so a slow, idle or hostile client holds up nobody else.
class Session : public QObject {
    Q_OBJECT

public:
    Session(Server& server, QTcpSocket* socket, int number, int pid, QObject* parent);

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
    enum class Phase { Open, Stalled, Closing, Closed };

    void onReadyRead();
    void processInput();
    void handleLine(const QByteArray& line);
    std::optional<Reply> dispatch(const QByteArray& word, const QByteArray& args);
    void send(const Reply& reply, Server::Fault fault);
    void write(const QByteArray& bytes);
    void closeAfterWrite();
    void onDisconnected();

    Reply doUser(const QByteArray& args);
    Reply doPass(const QByteArray& args);
    Reply doCwd(const QByteArray& args);
    Reply doRmd(const QByteArray& args);
    Reply doPort(const QByteArray& args);
    std::optional<Reply> doList(const QByteArray& args, bool namesOnly);

    void onDataConnected();
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

    // Active mode: the address of the last PORT, used by the next listing.
    std::optional<QHostAddress> portAddress_;
    quint16 portPort_ = 0;

    // The running listing.
    bool busy_ = false;
    QTcpSocket* data_ = nullptr;
    QByteArray listing_;
    QByteArray opening_; // the 150 reply up to its byte count
    qint64 dataWritten_ = 0;
    bool dataConnected_ = false;
    Server::Fault listFault_ = Server::Fault::None;
    QTimer dataTimer_;
};

} // namespace sim
