#include "sim/Server.h"

#include "sim/Session.h"

#include <QDateTime>
#include <QSaveFile>
#include <QTcpSocket>

#include <cstdio>

namespace sim {

namespace {

// Beyond this many control connections a newcomer is turned away, so a flood of idle connections cannot eat
// the daemon's descriptors and memory.
constexpr int kMaxSessions = 64;
constexpr int kFirstPid = 21000;

} // namespace

Server::Server(ServerOptions options, SiteState state, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_state(std::move(state)) {
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    m_idle = {
        {14302, "hoover", "IDLE", "10.0.0.23", now - 2351},
        {14877, "oldtimer", "IDLE", "192.168.4.2", now - 754},
        {15120, "speedy", "RETR bm-cd1.r04", "172.16.9.40", now - 12},
    };
    connect(&m_server, &QTcpServer::newConnection, this, &Server::onNewConnection);
}

Server::~Server() {
    // Sessions are our children; make sure none reports back into a half-destroyed server.
    for (Session* s : m_sessions)
        s->disconnect(this);
}

bool Server::listen(QString* error) {
    if (m_options.logPath.isEmpty()) {
        if (!m_log.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            *error = QStringLiteral("cannot write the log to standard output");
            return false;
        }
    } else {
        m_log.setFileName(m_options.logPath);
        if (!m_log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            *error = QStringLiteral("cannot open log file %1: %2").arg(m_options.logPath, m_log.errorString());
            return false;
        }
    }
    m_server.setMaxPendingConnections(kMaxSessions);
    if (!m_server.listen(m_options.address, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(m_options.address.toString())
                     .arg(m_options.port)
                     .arg(m_server.errorString());
        return false;
    }
    return true;
}

bool Server::save(QString* error) {
    if (m_options.statePath.isEmpty()) return true;
    QSaveFile file(m_options.statePath);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    const QByteArray bytes = m_state.toJson();
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

Reply Server::applyChange(const std::function<Reply(SiteState&)>& change) {
    SiteState before = m_state;
    Reply reply = change(m_state);
    if (reply.isError()) return reply;
    QString error;
    if (!save(&error)) {
        m_state = std::move(before);
        std::fprintf(stderr, "quillon-sim: cannot save the state file %s: %s\n", qPrintable(m_options.statePath),
                     qPrintable(error));
        std::fflush(stderr);
        return Reply::error(451, "Cannot save the site's state (" + error.toLocal8Bit() + "); nothing was changed.");
    }
    return reply;
}

void Server::log(int session, const QByteArray& line) {
    if (!m_log.isOpen()) return;
    m_log.write(QByteArray::number(session) + ' ' + line + '\n');
    m_log.flush();
}

Server::Fault Server::faultFor(const QByteArray& line) const {
    for (const QByteArray& p : m_options.dropOn) {
        if (line.startsWith(p)) return Fault::Drop;
    }
    for (const QByteArray& p : m_options.stallOn) {
        if (line.startsWith(p)) return Fault::Stall;
    }
    return Fault::None;
}

Session* Server::sessionByPid(int pid) const {
    for (Session* s : m_sessions) {
        if (s->pid() == pid) return s;
    }
    return nullptr;
}

void Server::renamePathPrefix(const QByteArray& from, const QByteArray& to) {
    for (Session* s : m_sessions)
        s->renamePathPrefix(from, to);
}

void Server::onNewConnection() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        if (m_sessions.size() >= kMaxSessions) {
            socket->write("421 Too many connections; try again later.\r\n");
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        const int number = m_nextSession++;
        auto* session = new Session(*this, socket, number, kFirstPid + number, this);
        m_sessions.append(session);
        connect(session, &Session::finished, this, [this, session] { onSessionFinished(session); });
        session->start();
    }
}

void Server::onSessionFinished(Session* session) {
    m_sessions.removeOne(session);
    session->deleteLater();
}

} // namespace sim
