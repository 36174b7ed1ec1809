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

qint64 now()
{
    return QDateTime::currentSecsSinceEpoch();
}

bool hasControlBytes(const QByteArray& line)
{
    for (char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127)
            return true;
    }
    return false;
}

// What a reply may quote back of a client's line: printable and short.
QByteArray quoted(const QByteArray& text)
{
    QByteArray out = text.left(64);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127)
            c = '?';
    }
    return out;
}

// The greeting's banner: text in a double-lined box, in code page 437 like everything the site draws.
QList<QByteArray> greetingBox(const QString& text)
{
    const QString bar(text.size() + 4, QChar(0x2550));
    return {toCp437(QChar(0x2554) + bar + QChar(0x2557)),
            toCp437(QChar(0x2551) + QStringLiteral("  ") + text + QStringLiteral("  ") + QChar(0x2551)),
            toCp437(QChar(0x255A) + bar + QChar(0x255D))};
}

} // namespace

Session::Session(Server& server, QTcpSocket* socket, int number, int pid, QObject* parent)
    : QObject(parent), server_(server), socket_(socket), number_(number), pid_(pid), peer_(socket->peerAddress())
{
    socket_->setParent(this);
    // Qt stops reading from the network when this much is buffered, so a client that floods us while a
    // listing runs is held back by TCP instead of filling our memory.
    socket_->setReadBufferSize(64 * 1024);
    lastActive_ = now();
    idleTimer_.setSingleShot(true);
    idleTimer_.setInterval(kIdleTimeoutMs);
    connect(&idleTimer_, &QTimer::timeout, this, [this] {
        if (phase_ != Phase::Open)
            return;
        write("421 Idle timeout (900 seconds): closing control connection.\r\n");
        closeAfterWrite();
    });
    dataTimer_.setSingleShot(true);
    connect(&dataTimer_, &QTimer::timeout, this, &Session::onDataTimeout);
    connect(socket_, &QTcpSocket::readyRead, this, &Session::onReadyRead);
    connect(socket_, &QTcpSocket::disconnected, this, &Session::onDisconnected);
}

void Session::start()
{
    Reply greeting;
    greeting.lines.append("220-Welcome to the Quillon site.");
    for (const QByteArray& l : greetingBox(QStringLiteral("Q U I L L O N   F T P D  \u00B7  sim")))
        greeting.lines.append("220-" + l);
    greeting.lines.append("220-Uploads go to /incoming; read /pub/welcome.msg.");
    greeting.lines.append("220 Quillon FTP server (quillon-sim) ready.");
    send(greeting, Server::Fault::None);
    idleTimer_.start();
}

qint64 Session::idleSeconds() const
{
    return now() - lastActive_;
}

void Session::kill(const QByteArray& why)
{
    if (phase_ == Phase::Closing || phase_ == Phase::Closed)
        return;
    write("421 " + why + "\r\n");
    closeAfterWrite();
}

void Session::renamePathPrefix(const QByteArray& from, const QByteArray& to)
{
    const PathParts fromParts = splitPath(from);
    if (cwd_.size() < fromParts.size() || cwd_.mid(0, fromParts.size()) != fromParts)
        return;
    cwd_ = splitPath(to) + cwd_.mid(fromParts.size());
}

// ---- input -----------------------------------------------------------------------------------------------------

void Session::onReadyRead()
{
    if ((phase_ == Phase::Open && !busy_) || phase_ == Phase::Stalled)
        processInput();
    else if (phase_ != Phase::Open)
        socket_->readAll(); // a closing session hears nothing more
}

void Session::processInput()
{
    while ((phase_ == Phase::Open && !busy_) || phase_ == Phase::Stalled) {
        const qsizetype eol = input_.indexOf('\n');
        if (eol < 0) {
            if (input_.size() > kMaxLine + 1) {
                // No line end in sight: answer once, then throw bytes away until the next line end, so an
                // endless line costs us no more than one buffer.
                if (!discarding_) {
                    server_.log(number_, "(line over " + QByteArray::number(kMaxLine) + " bytes discarded)");
                    send(Reply("500 Command line too long (at most 4096 bytes)."), Server::Fault::None);
                    discarding_ = true;
                }
                input_.clear();
            }
            if (socket_->bytesAvailable() <= 0)
                break;
            input_ += socket_->read(16384);
            continue;
        }
        QByteArray line = input_.left(eol);
        input_.remove(0, eol + 1);
        if (discarding_) {
            discarding_ = false; // that was the tail of the overlong line
            continue;
        }
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.size() > kMaxLine) {
            server_.log(number_, "(line over " + QByteArray::number(kMaxLine) + " bytes discarded)");
            send(Reply("500 Command line too long (at most 4096 bytes)."), Server::Fault::None);
            continue;
        }
        handleLine(line);
    }
}

void Session::handleLine(const QByteArray& line)
{
    lastActive_ = now();
    idleTimer_.start();

    const qsizetype blank = line.indexOf(' ');
    const QByteArray word = (blank < 0 ? line : line.left(blank)).toUpper();
    const QByteArray args = blank < 0 ? QByteArray() : line.mid(blank + 1);
    const QByteArray shown = word == "PASS" ? QByteArray("PASS ****") : line;
    server_.log(number_, shown);
    if (phase_ == Phase::Stalled)
        return; // heard and logged, never answered

    if (hasControlBytes(line)) {
        send(Reply("500 Command line contains control characters; ignored."), Server::Fault::None);
        return;
    }
    doing_ = quoted(shown);
    const Server::Fault fault = server_.faultFor(line);
    if (line.isEmpty()) {
        send(Reply("500 Empty command line."), fault);
        return;
    }
    listFault_ = fault;
    if (std::optional<Reply> reply = dispatch(word, args))
        send(*reply, fault);
}

std::optional<Reply> Session::dispatch(const QByteArray& word, const QByteArray& args)
{
    if (word == "USER")
        return doUser(args);
    if (word == "PASS")
        return doPass(args);
    if (word == "QUIT") {
        send(Reply("221 Goodbye."), listFault_);
        if (phase_ == Phase::Open)
            closeAfterWrite(); // a stalled goodbye keeps the connection, as stalls do
        return std::nullopt;
    }
    if (!loggedIn())
        return Reply("530 Please login with USER and PASS.");

    if (word == "NOOP")
        return Reply("200 NOOP command successful.");
    if (word == "SYST")
        return Reply("215 UNIX Type: L8");
    if (word == "PWD" || word == "XPWD") {
        QByteArray path = joinPath(cwd_);
        path.replace("\"", "\"\"");
        return Reply("257 \"" + path + "\" is current directory.");
    }
    if (word == "CWD" || word == "XCWD")
        return doCwd(args);
    if (word == "CDUP" || word == "XCUP")
        return doCwd("..");
    if (word == "RMD" || word == "XRMD")
        return doRmd(args);
    if (word == "PORT")
        return doPort(args);
    if (word == "PASV" || word == "EPSV" || word == "EPRT" || word == "LPSV" || word == "LPRT")
        return Reply("502 Only active mode with PORT is supported here.");
    if (word == "LIST")
        return doList(args, false);
    if (word == "NLST")
        return doList(args, true);
    if (word == "TYPE") {
        const QByteArray t = args.trimmed().toUpper();
        if (t == "A" || t == "A N" || t == "I" || t == "L 8")
            return Reply("200 Type set to " + t + '.');
        return Reply("504 Type not supported: " + quoted(args) + '.');
    }
    if (word == "MODE")
        return args.trimmed().toUpper() == "S" ? Reply("200 Mode set to S.") : Reply("504 Only stream mode.");
    if (word == "STRU")
        return args.trimmed().toUpper() == "F" ? Reply("200 Structure set to F.") : Reply("504 Only file structure.");
    if (word == "ABOR")
        return Reply("225 ABOR command successful.");
    if (word == "HELP") {
        Reply r;
        r.lines = {"214-The following commands are recognized:",
                   "   USER PASS QUIT NOOP SYST PWD CWD CDUP RMD PORT LIST NLST TYPE MODE STRU ABOR HELP SITE",
                   "214 Direct comments to the site operators."};
        return r;
    }
    if (word == "SITE")
        return SiteCommands(server_, *this).run(args);
    return Reply("500 '" + quoted(word + (args.isEmpty() ? QByteArray() : ' ' + args)) + "': command not understood.");
}

// ---- output ----------------------------------------------------------------------------------------------------

void Session::write(const QByteArray& bytes)
{
    if (phase_ == Phase::Closed)
        return;
    socket_->write(bytes);
    if (socket_->bytesToWrite() > kMaxPendingOutput) {
        // The client has stopped reading its replies; it gets no more of our memory.
        phase_ = Phase::Closing;
        socket_->abort();
    }
}

void Session::send(const Reply& reply, Server::Fault fault)
{
    if (phase_ != Phase::Open || reply.lines.isEmpty())
        return;
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
        phase_ = Phase::Stalled;
        idleTimer_.stop();
        break;
    }
}

void Session::closeAfterWrite()
{
    if (phase_ == Phase::Closed)
        return;
    phase_ = Phase::Closing;
    idleTimer_.stop();
    socket_->disconnectFromHost(); // sends what is queued first
}

void Session::onDisconnected()
{
    if (phase_ == Phase::Closed)
        return;
    phase_ = Phase::Closed;
    idleTimer_.stop();
    dataTimer_.stop();
    if (data_) {
        data_->disconnect(this);
        data_->abort();
    }
    emit finished();
}

// ---- log-in ----------------------------------------------------------------------------------------------------

Reply Session::doUser(const QByteArray& args)
{
    if (args.isEmpty())
        return Reply("501 Usage: USER <name>");
    user_.clear();
    cwd_.clear();
    pendingUser_ = args;
    doing_ = "LOGIN";
    return Reply("331 Password required for " + quoted(args) + '.');
}

Reply Session::doPass(const QByteArray& args)
{
    if (loggedIn())
        return Reply("503 You are already logged in.");
    if (pendingUser_.isEmpty())
        return Reply("503 Login with USER first.");
    const QByteArray name = pendingUser_;
    pendingUser_.clear();
    const User* u = server_.state().findUser(name);
    if (!u || !u->checkPassword(args))
        return Reply("530 Login incorrect.");
    if (u->has(FlagDisabled))
        return Reply("530 Account disabled: " + name + '.');
    // Counting the login is bookkeeping: if the state file cannot take it, the login still goes ahead.
    server_.applyChange([&name](SiteState& s) {
        if (User* user = s.findUser(name))
            ++user->logins;
        return Reply("230 ok");
    });
    user_ = name;
    cwd_.clear();
    doing_ = "IDLE";
    return Reply("230 User " + name + " logged in.");
}

// ---- file area -------------------------------------------------------------------------------------------------

Reply Session::doCwd(const QByteArray& args)
{
    const QByteArray path = args.isEmpty() ? QByteArray("/") : args;
    SiteState& state = const_cast<SiteState&>(server_.state());
    FileArea area(state.root);
    QByteArray error;
    const auto parts = area.resolve(cwd_, path, FileArea::FinalLink::Follow, &error);
    if (!parts)
        return Reply("550 " + quoted(path) + ": " + error + '.');
    const Node* node = area.lookup(*parts);
    if (!node || !node->isDir())
        return Reply("550 " + quoted(path) + ": Not a directory.");
    cwd_ = *parts;
    return Reply("250 CWD command successful.");
}

Reply Session::doRmd(const QByteArray& args)
{
    if (args.isEmpty())
        return Reply("501 Usage: RMD <directory>");
    return server_.applyChange([&](SiteState& s) {
        FileArea area(s.root);
        QByteArray error;
        const auto parts = area.resolve(cwd_, args, FileArea::FinalLink::Keep, &error);
        if (!parts)
            return Reply("550 " + quoted(args) + ": " + error + '.');
        if (parts->isEmpty())
            return Reply("550 " + quoted(args) + ": Permission denied.");
        const Node* node = area.lookup(*parts);
        if (!node->isDir())
            return Reply("550 " + quoted(args) + ": Not a directory.");
        if (!node->children.empty())
            return Reply("550 " + quoted(args) + ": Directory not empty.");
        Node* parent = area.lookup(parts->mid(0, parts->size() - 1));
        std::erase_if(parent->children, [&](const Node& c) { return c.name == parts->last(); });
        return Reply("250 RMD command successful.");
    });
}

Reply Session::doPort(const QByteArray& args)
{
    const QList<QByteArray> fields = args.trimmed().split(',');
    if (fields.size() != 6)
        return Reply("501 Syntax error in PORT parameters.");
    quint32 numbers[6];
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        const QByteArray f = fields[i].trimmed();
        const uint v = f.toUInt(&ok);
        if (!ok || f.isEmpty() || v > 255)
            return Reply("501 Syntax error in PORT parameters.");
        numbers[i] = v;
    }
    const QHostAddress address((numbers[0] << 24) | (numbers[1] << 16) | (numbers[2] << 8) | numbers[3]);
    const quint16 port = static_cast<quint16>((numbers[4] << 8) | numbers[5]);
    // No bouncing: the data connection goes back only to the client that asked for it.
    if (!address.isEqual(peer_, QHostAddress::ConvertV4MappedToIPv4))
        return Reply("500 Illegal PORT command: the address must be your own.");
    if (port < 1024)
        return Reply("500 Illegal PORT command: ports below 1024 are refused.");
    portAddress_ = address;
    portPort_ = port;
    return Reply("200 PORT command successful.");
}

std::optional<Reply> Session::doList(const QByteArray& args, bool namesOnly)
{
    if (!portAddress_)
        return Reply("503 Bad sequence of commands: send PORT first.");

    // Options such as -la are taken and ignored; what is left names the directory or file to list.
    QByteArray path;
    for (const QByteArray& word : args.split(' ')) {
        if (word.isEmpty() || (word.startsWith('-') && path.isEmpty()))
            continue;
        path = path.isEmpty() ? word : path + ' ' + word;
    }
    SiteState& state = const_cast<SiteState&>(server_.state());
    FileArea area(state.root);
    QByteArray error;
    const auto parts = area.resolve(cwd_, path.isEmpty() ? QByteArray(".") : path, FileArea::FinalLink::Follow, &error);
    const Node* node = parts ? area.lookup(*parts) : nullptr;
    if (!node)
        return Reply("550 " + quoted(path.isEmpty() ? joinPath(cwd_) : path) + ": " +
                     (error.isEmpty() ? QByteArray("No such file or directory") : error) + '.');

    opening_ = namesOnly ? QByteArray("150 Opening ASCII mode data connection for file list (")
                         : QByteArray("150 Opening ASCII mode data connection for /bin/ls (");
    if (namesOnly) {
        listing_.clear();
        if (node->isDir()) {
            for (const Node& c : node->children)
                listing_ += c.name + "\r\n";
        } else {
            listing_ = node->name + "\r\n";
        }
    } else {
        listing_ = node->isDir() ? directoryListing(*node, now()) : listingLine(*node, now()) + "\r\n";
    }

    const QHostAddress address = *portAddress_;
    portAddress_.reset(); // one PORT serves one transfer
    busy_ = true;
    dataWritten_ = 0;
    dataConnected_ = false;
    idleTimer_.stop();
    data_ = new QTcpSocket(this);
    data_->bind(socket_->localAddress(), 0);
    connect(data_, &QTcpSocket::connected, this, &Session::onDataConnected);
    connect(data_, &QTcpSocket::bytesWritten, this, &Session::onDataBytesWritten);
    connect(data_, &QTcpSocket::disconnected, this, &Session::onDataDisconnected);
    connect(data_, &QTcpSocket::errorOccurred, this, &Session::onDataError);
    dataTimer_.start(kDataConnectTimeoutMs);
    data_->connectToHost(address, portPort_);
    return std::nullopt;
}

// The data connection is opened before the 150 reply: when the client's port cannot be reached, the listing
// fails with a single 425 line instead of a 150 that promises data which never comes.
void Session::onDataConnected()
{
    dataConnected_ = true;
    dataTimer_.start(kDataTransferTimeoutMs);
    // The byte count is exact: clients size their progress and their checks on it.
    const QByteArray opening = opening_ + QByteArray::number(listing_.size()) + " bytes).";
    switch (listFault_) {
    case Server::Fault::None:
        write(opening + "\r\n");
        if (listing_.isEmpty())
            data_->disconnectFromHost();
        else
            data_->write(listing_);
        break;
    case Server::Fault::Drop:
        // Half the listing, then both connections go, and no completion reply.
        write(opening + "\r\n");
        data_->write(listing_.left(listing_.size() / 2));
        data_->disconnect(this);
        // Let the half listing drain on its own; the session's end must not cut it off.
        data_->setParent(nullptr);
        connect(data_, &QTcpSocket::disconnected, data_, &QObject::deleteLater);
        data_->disconnectFromHost();
        data_ = nullptr;
        dataTimer_.stop();
        busy_ = false;
        closeAfterWrite();
        break;
    case Server::Fault::Stall:
        // The opening line, then nothing on either connection, which both stay open.
        write(opening + "\r\n");
        dataTimer_.stop();
        phase_ = Phase::Stalled;
        break;
    }
}

void Session::onDataBytesWritten(qint64 bytes)
{
    dataWritten_ += bytes;
    dataTimer_.start(kDataTransferTimeoutMs);
    if (dataWritten_ >= listing_.size() && data_->state() == QAbstractSocket::ConnectedState)
        data_->disconnectFromHost();
}

void Session::onDataDisconnected()
{
    if (!busy_)
        return;
    if (dataWritten_ >= listing_.size())
        finishTransfer(Reply("226 Transfer complete."));
    else
        finishTransfer(Reply("426 Connection closed; transfer aborted."));
}

void Session::onDataError()
{
    if (!busy_ || dataConnected_)
        return; // a connection that was open ends through onDataDisconnected
    finishTransfer(Reply("425 Can't open data connection."));
}

void Session::onDataTimeout()
{
    if (!busy_)
        return;
    finishTransfer(dataConnected_ ? Reply("426 Data connection timed out; transfer aborted.")
                                  : Reply("425 Can't open data connection."));
}

void Session::finishTransfer(const Reply& reply)
{
    dataTimer_.stop();
    if (data_) {
        data_->disconnect(this);
        data_->abort();
        data_->deleteLater();
        data_ = nullptr;
    }
    busy_ = false;
    listing_.clear();
    if (phase_ != Phase::Open)
        return;
    send(reply, listFault_);
    if (phase_ != Phase::Open)
        return;
    idleTimer_.start();
    // Commands that arrived during the transfer wait in the buffers; take them up now.
    QMetaObject::invokeMethod(this, &Session::processInput, Qt::QueuedConnection);
}

} // namespace sim
