#include "sim/Server.h"

#include "sim/Connection.h"

#include <QDateTime>
#include <QSaveFile>
#include <QSslSocket>
#include <QTcpSocket>

#include <cstdio>
#include <unistd.h>

namespace sim {

namespace {

// Beyond this many control connections a newcomer is turned away, so a flood of idle connections cannot eat
// the daemon's descriptors and memory.
constexpr int kMaxSessions = 64;
constexpr int kFirstPid = 21000;

} // namespace

void SocketServer::incomingConnection(qintptr descriptor)
{
    QTcpSocket* socket = tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(static_cast<int>(descriptor));
        delete socket;
        return;
    }
    if (accepts && !accepts(socket->peerAddress())) {
        socket->abort();
        delete socket;
        return;
    }
    addPendingConnection(socket);
}

Server::Server(ServerOptions options, SiteState state, QObject* parent)
    : QObject(parent), options_(std::move(options)), state_(std::move(state))
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    idle_ = {
        {14302, "hoover", "IDLE", "10.0.0.23", now - 2351},
        {14877, "oldtimer", "IDLE", "192.168.4.2", now - 754},
        {15120, "speedy", "RETR bm-cd1.r04", "172.16.9.40", now - 12},
    };
    server_.tls = options_.tls != ServerOptions::Tls::Off;
    connect(&server_, &QTcpServer::newConnection, this, &Server::onNewConnection);
}

Server::~Server()
{
    // Sessions are our children; make sure none reports back into a half-destroyed server.
    for (Connection* s : sessions_)
        s->disconnect(this);
}

bool Server::listen(QString* error)
{
    if (options_.logPath.isEmpty()) {
        if (!log_.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            *error = QStringLiteral("cannot write the log to standard output");
            return false;
        }
    } else {
        log_.setFileName(options_.logPath);
        if (!log_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            *error = QStringLiteral("cannot open log file %1: %2").arg(options_.logPath, log_.errorString());
            return false;
        }
    }
    server_.setMaxPendingConnections(kMaxSessions);
    if (!server_.listen(options_.address, options_.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(options_.address.toString())
                     .arg(options_.port)
                     .arg(server_.errorString());
        return false;
    }
    return true;
}

bool Server::save(QString* error)
{
    if (options_.statePath.isEmpty())
        return true;
    QSaveFile file(options_.statePath);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    const QByteArray bytes = state_.toJson();
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

Reply Server::applyChange(const std::function<Reply(SiteState&)>& change)
{
    SiteState before = state_;
    Reply reply = change(state_);
    if (reply.isError())
        return reply;
    QString error;
    if (!save(&error)) {
        state_ = std::move(before);
        std::fprintf(stderr, "quillon-sim: cannot save the state file %s: %s\n", qPrintable(options_.statePath),
                     qPrintable(error));
        std::fflush(stderr);
        return Reply::error(451, "Cannot save the site's state (" + error.toLocal8Bit() + "); nothing was changed.");
    }
    return reply;
}

void Server::log(int session, const QByteArray& line)
{
    if (!log_.isOpen())
        return;
    log_.write(QByteArray::number(session) + ' ' + line + '\n');
    log_.flush();
}

Server::Fault Server::faultFor(const QByteArray& line) const
{
    for (const QByteArray& p : options_.dropOn) {
        if (line.startsWith(p))
            return Fault::Drop;
    }
    for (const QByteArray& p : options_.stallOn) {
        if (line.startsWith(p))
            return Fault::Stall;
    }
    return Fault::None;
}

const QByteArray* Server::rawReplyFor(const QByteArray& line) const
{
    for (const auto& [prefix, bytes] : options_.replyFrom) {
        if (line.startsWith(prefix))
            return &bytes;
    }
    return nullptr;
}

Connection* Server::sessionByPid(int pid) const
{
    for (Connection* s : sessions_) {
        if (s->pid() == pid)
            return s;
    }
    return nullptr;
}

void Server::renamePathPrefix(const QByteArray& from, const QByteArray& to)
{
    for (Connection* s : sessions_)
        s->renamePathPrefix(from, to);
}

void Server::onNewConnection()
{
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        if (sessions_.size() >= kMaxSessions) {
            // A client that expects TLS from the first byte could not read the reason; it just sees the close.
            if (options_.tls != ServerOptions::Tls::Implicit)
                socket->write("421 Too many connections; try again later.\r\n");
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        const int number = nextSession_++;
        auto* session = new Connection(*this, socket, number, kFirstPid + number, this);
        sessions_.append(session);
        connect(session, &Connection::finished, this, [this, session] { onSessionFinished(session); });
        session->start();
    }
}

void Server::onSessionFinished(Connection* session)
{
    sessions_.removeOne(session);
    session->deleteLater();
}

} // namespace sim
