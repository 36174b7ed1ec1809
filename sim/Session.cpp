#include "sim/Session.h"

#include "sim/Cp437.h"
#include "sim/SiteCommands.h"

#include <QDateTime>
#include <QTcpSocket>

namespace sim {

namespace {

constexpr int kMaxLine = 4096;                // bytes of one command line, line end not counted
constexpr qint64 kMaxPendingOutput = 1 << 20; // a client that stops reading is cut off here
constexpr int kIdleTimeoutMs = 900 * 1000;
constexpr int kDataConnectTimeoutMs = 10 * 1000;
constexpr int kDataTransferTimeoutMs = 60 * 1000;

qint64 now() {
    return QDateTime::currentSecsSinceEpoch();
}

bool hasControlBytes(const QByteArray& line) {
    for (char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) return true;
    }
    return false;
}

// What a reply may quote back of a client's line: printable and short.
QByteArray quoted(const QByteArray& text) {
    QByteArray out = text.left(64);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) c = '?';
    }
    return out;
}

// The greeting's banner: text in a double-lined box, in code page 437 like everything the site draws.
QList<QByteArray> greetingBox(const QString& text) {
    const QString bar(text.size() + 4, QChar(0x2550));
    return {toCp437(QChar(0x2554) + bar + QChar(0x2557)),
            toCp437(QChar(0x2551) + QStringLiteral("  ") + text + QStringLiteral("  ") + QChar(0x2551)),
            toCp437(QChar(0x255A) + bar + QChar(0x255D))};
}

} // namespace

Session::Session(Server& server, QTcpSocket* socket, int number, int pid, QObject* parent)
    : QObject(parent), m_server(server), m_socket(socket), m_number(number), m_pid(pid), m_peer(socket->peerAddress()) {
    m_socket->setParent(this);
    // Qt stops reading from the network when this much is buffered, so a client that floods us while a
    // listing runs is held back by TCP instead of filling our memory.
    m_socket->setReadBufferSize(64 * 1024);
    m_lastActive = now();
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(kIdleTimeoutMs);
    connect(&m_idleTimer, &QTimer::timeout, this, [this] {
        if (m_phase != Phase::Open) return;
        write("421 Idle timeout (900 seconds): closing control connection.\r\n");
        closeAfterWrite();
    });
    m_dataTimer.setSingleShot(true);
    connect(&m_dataTimer, &QTimer::timeout, this, &Session::onDataTimeout);
    connect(m_socket, &QTcpSocket::readyRead, this, &Session::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &Session::onDisconnected);
}

void Session::start() {
    Reply greeting;
    greeting.lines.append("220-Welcome to the Quillon site.");
    for (const QByteArray& l : greetingBox(QStringLiteral("Q U I L L O N   F T P D  \u00B7  sim")))
        greeting.lines.append("220-" + l);
    greeting.lines.append("220-Uploads go to /incoming; read /pub/welcome.msg.");
    greeting.lines.append("220 Quillon FTP server (quillon-sim) ready.");
    send(greeting, Server::Fault::None);
    m_idleTimer.start();
}

qint64 Session::idleSeconds() const {
    return now() - m_lastActive;
}

void Session::kill(const QByteArray& why) {
    if (m_phase == Phase::Closing || m_phase == Phase::Closed) return;
    write("421 " + why + "\r\n");
    closeAfterWrite();
}

void Session::renamePathPrefix(const QByteArray& from, const QByteArray& to) {
    const PathParts fromParts = splitPath(from);
    if (m_cwd.size() < fromParts.size() || m_cwd.mid(0, fromParts.size()) != fromParts) return;
    m_cwd = splitPath(to) + m_cwd.mid(fromParts.size());
}

// ---- input -----------------------------------------------------------------------------------------------------

void Session::onReadyRead() {
    if ((m_phase == Phase::Open && !m_busy) || m_phase == Phase::Stalled)
        processInput();
    else if (m_phase != Phase::Open)
        m_socket->readAll(); // a closing session hears nothing more
}

void Session::processInput() {
    while ((m_phase == Phase::Open && !m_busy) || m_phase == Phase::Stalled) {
        const qsizetype eol = m_input.indexOf('\n');
        if (eol < 0) {
            if (m_input.size() > kMaxLine + 1) {
                // No line end in sight: answer once, then throw bytes away until the next line end, so an
                // endless line costs us no more than one buffer.
                if (!m_discarding) {
                    m_server.log(m_number, "(line over " + QByteArray::number(kMaxLine) + " bytes discarded)");
                    send(Reply("500 Command line too long (at most 4096 bytes)."), Server::Fault::None);
                    m_discarding = true;
                }
                m_input.clear();
            }
            if (m_socket->bytesAvailable() <= 0) break;
            m_input += m_socket->read(16384);
            continue;
        }
        QByteArray line = m_input.left(eol);
        m_input.remove(0, eol + 1);
        if (m_discarding) {
            m_discarding = false; // that was the tail of the overlong line
            continue;
        }
        if (line.endsWith('\r')) line.chop(1);
        if (line.size() > kMaxLine) {
            m_server.log(m_number, "(line over " + QByteArray::number(kMaxLine) + " bytes discarded)");
            send(Reply("500 Command line too long (at most 4096 bytes)."), Server::Fault::None);
            continue;
        }
        handleLine(line);
    }
}

void Session::handleLine(const QByteArray& line) {
    m_lastActive = now();
    m_idleTimer.start();

    const qsizetype blank = line.indexOf(' ');
    const QByteArray word = (blank < 0 ? line : line.left(blank)).toUpper();
    const QByteArray args = blank < 0 ? QByteArray() : line.mid(blank + 1);
    const QByteArray shown = word == "PASS" ? QByteArray("PASS ****") : line;
    m_server.log(m_number, shown);
    if (m_phase == Phase::Stalled) return; // heard and logged, never answered

    if (hasControlBytes(line)) {
        send(Reply("500 Command line contains control characters; ignored."), Server::Fault::None);
        return;
    }
    m_doing = quoted(shown);
    const Server::Fault fault = m_server.faultFor(line);
    if (line.isEmpty()) {
        send(Reply("500 Empty command line."), fault);
        return;
    }
    m_listFault = fault;
    if (std::optional<Reply> reply = dispatch(word, args)) send(*reply, fault);
}

std::optional<Reply> Session::dispatch(const QByteArray& word, const QByteArray& args) {
    if (word == "USER") return doUser(args);
    if (word == "PASS") return doPass(args);
    if (word == "QUIT") {
        send(Reply("221 Goodbye."), m_listFault);
        if (m_phase == Phase::Open) closeAfterWrite(); // a stalled goodbye keeps the connection, as stalls do
        return std::nullopt;
    }
    if (!loggedIn()) return Reply("530 Please login with USER and PASS.");

    if (word == "NOOP") return Reply("200 NOOP command successful.");
    if (word == "SYST") return Reply("215 UNIX Type: L8");
    if (word == "PWD" || word == "XPWD") {
        QByteArray path = joinPath(m_cwd);
        path.replace("\"", "\"\"");
        return Reply("257 \"" + path + "\" is current directory.");
    }
    if (word == "CWD" || word == "XCWD") return doCwd(args);
    if (word == "CDUP" || word == "XCUP") return doCwd("..");
    if (word == "RMD" || word == "XRMD") return doRmd(args);
    if (word == "PORT") return doPort(args);
    if (word == "PASV" || word == "EPSV" || word == "EPRT" || word == "LPSV" || word == "LPRT")
        return Reply("502 Only active mode with PORT is supported here.");
    if (word == "LIST") return doList(args, false);
    if (word == "NLST") return doList(args, true);
    if (word == "TYPE") {
        const QByteArray t = args.trimmed().toUpper();
        if (t == "A" || t == "A N" || t == "I" || t == "L 8") return Reply("200 Type set to " + t + '.');
        return Reply("504 Type not supported: " + quoted(args) + '.');
    }
    if (word == "MODE")
        return args.trimmed().toUpper() == "S" ? Reply("200 Mode set to S.") : Reply("504 Only stream mode.");
    if (word == "STRU")
        return args.trimmed().toUpper() == "F" ? Reply("200 Structure set to F.") : Reply("504 Only file structure.");
    if (word == "ABOR") return Reply("225 ABOR command successful.");
    if (word == "HELP") {
        Reply r;
        r.lines = {"214-The following commands are recognized:",
                   "   USER PASS QUIT NOOP SYST PWD CWD CDUP RMD PORT LIST NLST TYPE MODE STRU ABOR HELP SITE",
                   "214 Direct comments to the site operators."};
        return r;
    }
    if (word == "SITE") return SiteCommands(m_server, *this).run(args);
    return Reply("500 '" + quoted(word + (args.isEmpty() ? QByteArray() : ' ' + args)) + "': command not understood.");
}

// ---- output ----------------------------------------------------------------------------------------------------

void Session::write(const QByteArray& bytes) {
    if (m_phase == Phase::Closed) return;
    m_socket->write(bytes);
    if (m_socket->bytesToWrite() > kMaxPendingOutput) {
        // The client has stopped reading its replies; it gets no more of our memory.
        m_phase = Phase::Closing;
        m_socket->abort();
    }
}

void Session::send(const Reply& reply, Server::Fault fault) {
    if (m_phase != Phase::Open || reply.lines.isEmpty()) return;
    switch (fault) {
    case Server::Fault::None:
        for (const QByteArray& l : reply.lines)
            write(l + "\r\n");
        break;
    case Server::Fault::Drop: {
        // The first line of a one-line reply, or the first half of a longer one, then the connection goes.
        const qsizetype n = reply.lines.size() <= 1 ? 1 : reply.lines.size() / 2;
        for (qsizetype i = 0; i < n; ++i)
            write(reply.lines[i] + "\r\n");
        closeAfterWrite();
        break;
    }
    case Server::Fault::Stall:
        // The first line of a longer reply, or a one-line reply without its line end: either way the reply
        // never completes, and the connection stays open.
        write(reply.lines.size() > 1 ? reply.lines.first() + "\r\n" : reply.lines.first());
        m_phase = Phase::Stalled;
        m_idleTimer.stop();
        break;
    }
}

void Session::closeAfterWrite() {
    if (m_phase == Phase::Closed) return;
    m_phase = Phase::Closing;
    m_idleTimer.stop();
    m_socket->disconnectFromHost(); // sends what is queued first
}

void Session::onDisconnected() {
    if (m_phase == Phase::Closed) return;
    m_phase = Phase::Closed;
    m_idleTimer.stop();
    m_dataTimer.stop();
    if (m_data) {
        m_data->disconnect(this);
        m_data->abort();
    }
    emit finished();
}

// ---- log-in ----------------------------------------------------------------------------------------------------

Reply Session::doUser(const QByteArray& args) {
    if (args.isEmpty()) return Reply("501 Usage: USER <name>");
    m_user.clear();
    m_cwd.clear();
    m_pendingUser = args;
    m_doing = "LOGIN";
    return Reply("331 Password required for " + quoted(args) + '.');
}

Reply Session::doPass(const QByteArray& args) {
    if (loggedIn()) return Reply("503 You are already logged in.");
    if (m_pendingUser.isEmpty()) return Reply("503 Login with USER first.");
    const QByteArray name = m_pendingUser;
    m_pendingUser.clear();
    const User* u = m_server.state().findUser(name);
    if (!u || !u->checkPassword(args)) return Reply("530 Login incorrect.");
    if (u->has(FlagDisabled)) return Reply("530 Account disabled: " + name + '.');
    // Counting the login is bookkeeping: if the state file cannot take it, the login still goes ahead.
    m_server.applyChange([&name](SiteState& s) {
        if (User* user = s.findUser(name)) ++user->logins;
        return Reply("230 ok");
    });
    m_user = name;
    m_cwd.clear();
    m_doing = "IDLE";
    return Reply("230 User " + name + " logged in.");
}

// ---- file area -------------------------------------------------------------------------------------------------

Reply Session::doCwd(const QByteArray& args) {
    const QByteArray path = args.isEmpty() ? QByteArray("/") : args;
    SiteState& state = const_cast<SiteState&>(m_server.state());
    FileArea area(state.root);
    QByteArray error;
    const auto parts = area.resolve(m_cwd, path, FileArea::FinalLink::Follow, &error);
    if (!parts) return Reply("550 " + quoted(path) + ": " + error + '.');
    const Node* node = area.lookup(*parts);
    if (!node || !node->isDir()) return Reply("550 " + quoted(path) + ": Not a directory.");
    m_cwd = *parts;
    return Reply("250 CWD command successful.");
}

Reply Session::doRmd(const QByteArray& args) {
    if (args.isEmpty()) return Reply("501 Usage: RMD <directory>");
    return m_server.applyChange([&](SiteState& s) {
        FileArea area(s.root);
        QByteArray error;
        const auto parts = area.resolve(m_cwd, args, FileArea::FinalLink::Keep, &error);
        if (!parts) return Reply("550 " + quoted(args) + ": " + error + '.');
        if (parts->isEmpty()) return Reply("550 " + quoted(args) + ": Permission denied.");
        const Node* node = area.lookup(*parts);
        if (!node->isDir()) return Reply("550 " + quoted(args) + ": Not a directory.");
        if (!node->children.empty()) return Reply("550 " + quoted(args) + ": Directory not empty.");
        Node* parent = area.lookup(parts->mid(0, parts->size() - 1));
        std::erase_if(parent->children, [&](const Node& c) { return c.name == parts->last(); });
        return Reply("250 RMD command successful.");
    });
}

Reply Session::doPort(const QByteArray& args) {
    const QList<QByteArray> fields = args.trimmed().split(',');
    if (fields.size() != 6) return Reply("501 Syntax error in PORT parameters.");
    quint32 numbers[6];
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        const QByteArray f = fields[i].trimmed();
        const uint v = f.toUInt(&ok);
        if (!ok || f.isEmpty() || v > 255) return Reply("501 Syntax error in PORT parameters.");
        numbers[i] = v;
    }
    const QHostAddress address((numbers[0] << 24) | (numbers[1] << 16) | (numbers[2] << 8) | numbers[3]);
    const quint16 port = static_cast<quint16>((numbers[4] << 8) | numbers[5]);
    // No bouncing: the data connection goes back only to the client that asked for it.
    if (!address.isEqual(m_peer, QHostAddress::ConvertV4MappedToIPv4))
        return Reply("500 Illegal PORT command: the address must be your own.");
    if (port < 1024) return Reply("500 Illegal PORT command: ports below 1024 are refused.");
    m_portAddress = address;
    m_portPort = port;
    return Reply("200 PORT command successful.");
}

std::optional<Reply> Session::doList(const QByteArray& args, bool namesOnly) {
    if (!m_portAddress) return Reply("503 Bad sequence of commands: send PORT first.");

    // Options such as -la are taken and ignored; what is left names the directory or file to list.
    QByteArray path;
    for (const QByteArray& word : args.split(' ')) {
        if (word.isEmpty() || (word.startsWith('-') && path.isEmpty())) continue;
        path = path.isEmpty() ? word : path + ' ' + word;
    }
    SiteState& state = const_cast<SiteState&>(m_server.state());
    FileArea area(state.root);
    QByteArray error;
    const auto parts =
        area.resolve(m_cwd, path.isEmpty() ? QByteArray(".") : path, FileArea::FinalLink::Follow, &error);
    const Node* node = parts ? area.lookup(*parts) : nullptr;
    if (!node)
        return Reply("550 " + quoted(path.isEmpty() ? joinPath(m_cwd) : path) + ": " +
                     (error.isEmpty() ? QByteArray("No such file or directory") : error) + '.');

    m_opening = namesOnly ? QByteArray("150 Opening ASCII mode data connection for file list (")
                          : QByteArray("150 Opening ASCII mode data connection for /bin/ls (");
    if (namesOnly) {
        m_listing.clear();
        if (node->isDir()) {
            for (const Node& c : node->children)
                m_listing += c.name + "\r\n";
        } else {
            m_listing = node->name + "\r\n";
        }
    } else {
        m_listing = node->isDir() ? directoryListing(*node, now()) : listingLine(*node, now()) + "\r\n";
    }

    const QHostAddress address = *m_portAddress;
    m_portAddress.reset(); // one PORT serves one transfer
    m_busy = true;
    m_dataWritten = 0;
    m_dataConnected = false;
    m_idleTimer.stop();
    m_data = new QTcpSocket(this);
    m_data->bind(m_socket->localAddress(), 0);
    connect(m_data, &QTcpSocket::connected, this, &Session::onDataConnected);
    connect(m_data, &QTcpSocket::bytesWritten, this, &Session::onDataBytesWritten);
    connect(m_data, &QTcpSocket::disconnected, this, &Session::onDataDisconnected);
    connect(m_data, &QTcpSocket::errorOccurred, this, &Session::onDataError);
    m_dataTimer.start(kDataConnectTimeoutMs);
    m_data->connectToHost(address, m_portPort);
    return std::nullopt;
}

// The data connection is opened before the 150 reply: when the client's port cannot be reached, the listing
// fails with a single 425 line instead of a 150 that promises data which never comes.
void Session::onDataConnected() {
    m_dataConnected = true;
    m_dataTimer.start(kDataTransferTimeoutMs);
    // The byte count is exact: clients size their progress and their checks on it.
    const QByteArray opening = m_opening + QByteArray::number(m_listing.size()) + " bytes).";
    switch (m_listFault) {
    case Server::Fault::None:
        write(opening + "\r\n");
        if (m_listing.isEmpty())
            m_data->disconnectFromHost();
        else
            m_data->write(m_listing);
        break;
    case Server::Fault::Drop:
        // Half the listing, then both connections go, and no completion reply.
        write(opening + "\r\n");
        m_data->write(m_listing.left(m_listing.size() / 2));
        m_data->disconnect(this);
        // Let the half listing drain on its own; the session's end must not cut it off.
        m_data->setParent(nullptr);
        connect(m_data, &QTcpSocket::disconnected, m_data, &QObject::deleteLater);
        m_data->disconnectFromHost();
        m_data = nullptr;
        m_dataTimer.stop();
        m_busy = false;
        closeAfterWrite();
        break;
    case Server::Fault::Stall:
        // The opening line, then nothing on either connection, which both stay open.
        write(opening + "\r\n");
        m_dataTimer.stop();
        m_phase = Phase::Stalled;
        break;
    }
}

void Session::onDataBytesWritten(qint64 bytes) {
    m_dataWritten += bytes;
    m_dataTimer.start(kDataTransferTimeoutMs);
    if (m_dataWritten >= m_listing.size() && m_data->state() == QAbstractSocket::ConnectedState)
        m_data->disconnectFromHost();
}

void Session::onDataDisconnected() {
    if (!m_busy) return;
    if (m_dataWritten >= m_listing.size())
        finishTransfer(Reply("226 Transfer complete."));
    else
        finishTransfer(Reply("426 Connection closed; transfer aborted."));
}

void Session::onDataError() {
    if (!m_busy || m_dataConnected) return; // a connection that was open ends through onDataDisconnected
    finishTransfer(Reply("425 Can't open data connection."));
}

void Session::onDataTimeout() {
    if (!m_busy) return;
    finishTransfer(m_dataConnected ? Reply("426 Data connection timed out; transfer aborted.")
                                   : Reply("425 Can't open data connection."));
}

void Session::finishTransfer(const Reply& reply) {
    m_dataTimer.stop();
    if (m_data) {
        m_data->disconnect(this);
        m_data->abort();
        m_data->deleteLater();
        m_data = nullptr;
    }
    m_busy = false;
    m_listing.clear();
    if (m_phase != Phase::Open) return;
    send(reply, m_listFault);
    if (m_phase != Phase::Open) return;
    m_idleTimer.start();
    // Commands that arrived during the transfer wait in the buffers; take them up now.
    QMetaObject::invokeMethod(this, &Session::processInput, Qt::QueuedConnection);
}

} // namespace sim
