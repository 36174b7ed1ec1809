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

    int number() const { return m_number; }
    int pid() const { return m_pid; }
    bool loggedIn() const { return !m_user.isEmpty(); }
    const QByteArray& user() const { return m_user; }
    const PathParts& cwd() const { return m_cwd; }
    QByteArray doing() const { return m_doing; }
    qint64 idleSeconds() const;
    QHostAddress peer() const { return m_peer; }

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

    Server& m_server;
    QTcpSocket* m_socket;
    const int m_number;
    const int m_pid;
    const QHostAddress m_peer;
    Phase m_phase = Phase::Open;

    QByteArray m_input;
    bool m_discarding = false; // skipping the rest of an overlong line
    QTimer m_idleTimer;
    qint64 m_lastActive = 0;
    QByteArray m_doing = "LOGIN";

    QByteArray m_pendingUser;
    QByteArray m_user;
    PathParts m_cwd;

    // Active mode: the address of the last PORT, used by the next listing.
    std::optional<QHostAddress> m_portAddress;
    quint16 m_portPort = 0;

    // The running listing.
    bool m_busy = false;
    QTcpSocket* m_data = nullptr;
    QByteArray m_listing;
    QByteArray m_opening; // the 150 reply up to its byte count
    qint64 m_dataWritten = 0;
    bool m_dataConnected = false;
    Server::Fault m_listFault = Server::Fault::None;
    QTimer m_dataTimer;
};

} // namespace sim
