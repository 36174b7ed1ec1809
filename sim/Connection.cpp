#include "sim/Connection.h"

#include "sim/Cp437.h"
#include "sim/SiteCommands.h"
#include "sim/Tls.h"

#include <QDateTime>
#include <QSslSocket>
#include <QTcpSocket>

namespace sim {

namespace {

constexpr int kMaxLine = 4096;                // bytes of one command line, line end not counted
constexpr qint64 kMaxPendingOutput = 1 << 20; // a client that stops reading is cut off here
constexpr int kIdleTimeoutMs = 900 * 1000;
constexpr int kDataConnectTimeoutMs = 10 * 1000;
constexpr int kDataTransferTimeoutMs = 60 * 1000;
// A TLS handshake on the control connection that has not finished by then ends the connection: a client that
// sends garbage or stops half way costs a socket for this long at most.
constexpr int kHandshakeTimeoutMs = 15 * 1000;

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

Connection::Connection(Server& server, QTcpSocket* socket, int number, int pid, QObject* parent)
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
        if (phase_ == Phase::Handshaking) {
            abortSession(); // a handshake that was never answered (--stall-handshake) ends here
            return;
        }
        if (phase_ != Phase::Open)
            return;
        write("421 Idle timeout (900 seconds): closing control connection.\r\n");
        closeAfterWrite();
    });
    dataTimer_.setSingleShot(true);
    connect(&dataTimer_, &QTimer::timeout, this, &Connection::onDataTimeout);
    handshakeTimer_.setSingleShot(true);
    handshakeTimer_.setInterval(kHandshakeTimeoutMs);
    connect(&handshakeTimer_, &QTimer::timeout, this, &Connection::abortSession);
    connect(socket_, &QTcpSocket::readyRead, this, &Connection::onReadyRead);
    connect(socket_, &QTcpSocket::disconnected, this, &Connection::onDisconnected);
    if (QSslSocket* tls = controlTls()) {
        tls->setSslConfiguration(server_.tlsConfiguration());
        ticketKey_ = tls::newTicketKey();
        connect(tls, &QSslSocket::encrypted, this, &Connection::onControlEncrypted);
        connect(tls, &QAbstractSocket::errorOccurred, this, &Connection::onControlError);
        // After AUTH TLS the handshake starts once the 234 has left.
        connect(tls, &QTcpSocket::bytesWritten, this, [this, tls] {
            if (phase_ == Phase::Handshaking && tls->mode() == QSslSocket::UnencryptedMode &&
                tls->bytesToWrite() == 0 && !server_.options().stallHandshake)
                startControlTls();
        });
    }
}

void Connection::start()
{
    idleTimer_.start();
    if (server_.options().tls == ServerOptions::Tls::Implicit) {
        // TLS from the first byte: the greeting waits for the handshake.
        phase_ = Phase::Handshaking;
        if (!server_.options().stallHandshake)
            startControlTls();
        return;
    }
    greet();
}

void Connection::greet()
{
    greeted_ = true;
    Reply greeting;
    greeting.lines.append("220-Welcome to the Quillon site.");
    for (const QByteArray& l : greetingBox(QStringLiteral("Q U I L L O N   F T P D  \u00B7  sim")))
        greeting.lines.append("220-" + l);
    greeting.lines.append("220-Uploads go to /incoming; read /pub/welcome.msg.");
    greeting.lines.append("220 Quillon FTP server (quillon-sim) ready.");
    send(greeting, Server::Fault::None);
}

qint64 Connection::idleSeconds() const
{
    return now() - lastActive_;
}

void Connection::kill(const QByteArray& why)
{
    if (phase_ == Phase::Closing || phase_ == Phase::Closed)
        return;
    if (phase_ == Phase::Handshaking) {
        abortSession(); // no words can reach a client in the middle of its handshake
        return;
    }
    write("421 " + why + "\r\n");
    closeAfterWrite();
}

void Connection::renamePathPrefix(const QByteArray& from, const QByteArray& to)
{
    const PathParts fromParts = splitPath(from);
    if (cwd_.size() < fromParts.size() || cwd_.mid(0, fromParts.size()) != fromParts)
        return;
    cwd_ = splitPath(to) + cwd_.mid(fromParts.size());
}

// ---- input -----------------------------------------------------------------------------------------------------

void Connection::onReadyRead()
{
    if (phase_ == Phase::Handshaking)
        return; // the bytes are the client's part of the handshake: the TLS layer reads them itself
    if ((phase_ == Phase::Open && !busy_) || phase_ == Phase::Stalled)
        processInput();
    else if (phase_ != Phase::Open)
        socket_->readAll(); // a closing session hears nothing more
}

void Connection::processInput()
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

void Connection::handleLine(const QByteArray& line)
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
    if (const QByteArray* raw = server_.rawReplyFor(line)) {
        write(*raw, true);
        return;
    }
    const Server::Fault fault = server_.faultFor(line);
    if (line.isEmpty()) {
        send(Reply("500 Empty command line."), fault);
        return;
    }
    listFault_ = fault;
    if (std::optional<Reply> reply = dispatch(word, args))
        send(*reply, fault);
}

std::optional<Reply> Connection::dispatch(const QByteArray& word, const QByteArray& args)
{
    const bool tlsOn = server_.options().tls != ServerOptions::Tls::Off;
    if (word == "FEAT")
        return doFeat();
    if (tlsOn && word == "AUTH")
        return doAuth(args);
    if (tlsOn && word == "PBSZ")
        return doPbsz(args);
    if (tlsOn && word == "PROT")
        return doProt(args);
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
    if (word == "EPRT")
        return doEprt(args);
    if (word == "PASV")
        return doPassive(false, args);
    if (word == "EPSV")
        return doPassive(true, args);
    if (word == "LPSV" || word == "LPRT")
        return Reply("502 LPRT and LPSV are not supported here: use EPRT or EPSV.");
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
                   "   USER PASS QUIT NOOP SYST PWD CWD CDUP RMD PORT EPRT PASV EPSV LIST NLST TYPE MODE STRU ABOR",
                   tlsOn ? "   HELP FEAT SITE AUTH PBSZ PROT" : "   HELP FEAT SITE",
                   "214 Direct comments to the site operators."};
        return r;
    }
    if (word == "SITE")
        return SiteCommands(server_, *this).run(args);
    return Reply("500 '" + quoted(word + (args.isEmpty() ? QByteArray() : ' ' + args)) + "': command not understood.");
}

// ---- output ----------------------------------------------------------------------------------------------------

void Connection::write(const QByteArray& bytes, bool ownerSaysSo)
{
    if (phase_ == Phase::Closed)
        return;
    socket_->write(bytes);
    qint64 pending = socket_->bytesToWrite();
    if (QSslSocket* tls = controlTls())
        pending += tls->encryptedBytesToWrite();
    // A reply the operator of the daemon asked for (--reply-from) goes out whole, however large.
    if (pending > kMaxPendingOutput + (ownerSaysSo ? bytes.size() : 0)) {
        // The client has stopped reading its replies; it gets no more of our memory.
        phase_ = Phase::Closing;
        socket_->abort();
    }
}

void Connection::send(const Reply& reply, Server::Fault fault)
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

void Connection::closeAfterWrite()
{
    if (phase_ == Phase::Closed)
        return;
    phase_ = Phase::Closing;
    idleTimer_.stop();
    socket_->disconnectFromHost(); // sends what is queued first
}

void Connection::abortSession()
{
    if (phase_ == Phase::Closed)
        return;
    phase_ = Phase::Closing;
    socket_->abort();
    onDisconnected(); // once, whether or not abort() reported the disconnection already
}

void Connection::onDisconnected()
{
    if (phase_ == Phase::Closed)
        return;
    phase_ = Phase::Closed;
    idleTimer_.stop();
    dataTimer_.stop();
    handshakeTimer_.stop();
    if (data_) {
        data_->disconnect(this);
        data_->abort();
    }
    emit finished();
}

// ---- TLS -------------------------------------------------------------------------------------------------------

QSslSocket* Connection::controlTls() const
{
    return server_.options().tls == ServerOptions::Tls::Off ? nullptr : qobject_cast<QSslSocket*>(socket_);
}

std::optional<Reply> Connection::doAuth(const QByteArray& args)
{
    const QByteArray mechanism = args.trimmed().toUpper();
    if (mechanism != "TLS" && mechanism != "SSL")
        return Reply("504 AUTH " + quoted(args) + " is not supported: use AUTH TLS.");
    if (tlsActive_ || server_.options().tls == ServerOptions::Tls::Implicit)
        return Reply("503 TLS is already in use on this connection.");
    // A new security exchange: whoever was logged in logs in again, over TLS, and the data connection is set
    // up anew.
    user_.clear();
    pendingUser_.clear();
    cwd_.clear();
    doing_ = "LOGIN";
    pbszDone_ = false;
    protectData_ = false;
    resetDataSetup();
    send(Reply("234 AUTH " + mechanism + " successful: TLS negotiation follows."), listFault_);
    if (phase_ == Phase::Open)
        beginTls();
    return std::nullopt;
}

void Connection::beginTls()
{
    phase_ = Phase::Handshaking;
    // Whatever came along with AUTH before TLS is not taken as a command: anyone on the path could have put it
    // there.
    input_.clear();
    discarding_ = false;
    if (server_.options().stallHandshake)
        return; // the client's hello is never answered; the idle timeout ends the connection
    socket_->flush();
    if (socket_->bytesToWrite() == 0)
        startControlTls();
    // else the handshake starts when the 234 has left (the bytesWritten handler)
}

void Connection::startControlTls()
{
    if (controlTls()->mode() != QSslSocket::UnencryptedMode)
        return; // started already
    handshakeTimer_.start();
    tls::startServer(controlTls(), {ticketKey_, server_.options().noCloseNotify});
}

void Connection::onControlEncrypted()
{
    handshakeTimer_.stop();
    if (phase_ != Phase::Handshaking)
        return;
    tlsActive_ = true;
    phase_ = Phase::Open;
    idleTimer_.start();
    if (!greeted_)
        greet();
    // Commands that came right behind the handshake wait in the buffers.
    QMetaObject::invokeMethod(this, &Connection::processInput, Qt::QueuedConnection);
}

void Connection::onControlError()
{
    // A hello that is garbage, a handshake the client gives up on: the connection ends, nobody else notices.
    if (phase_ == Phase::Handshaking)
        abortSession();
}

Reply Connection::doPbsz(const QByteArray& args)
{
    if (!tlsActive_)
        return Reply("503 Send AUTH TLS first.");
    bool ok = false;
    args.trimmed().toULongLong(&ok);
    if (!ok)
        return Reply("501 Usage: PBSZ 0");
    pbszDone_ = true;
    return Reply("200 PBSZ=0");
}

Reply Connection::doProt(const QByteArray& args)
{
    if (!tlsActive_)
        return Reply("503 Send AUTH TLS first.");
    if (!pbszDone_)
        return Reply("503 Send PBSZ 0 first.");
    const QByteArray level = args.trimmed().toUpper();
    if (level == "P") {
        protectData_ = true;
        return Reply("200 Protection level set to Private.");
    }
    if (level == "C") {
        protectData_ = false;
        return Reply("200 Protection level set to Clear.");
    }
    if (level == "S" || level == "E")
        return Reply("536 Protection level " + level + " is not supported: use C or P.");
    return Reply("504 Unknown protection level: " + quoted(args) + '.');
}

Reply Connection::doFeat() const
{
    Reply r;
    r.lines.append("211-Features:");
    if (server_.options().tls == ServerOptions::Tls::Explicit)
        r.lines.append(" AUTH TLS");
    if (server_.options().tls != ServerOptions::Tls::Off)
        r.lines += {" PBSZ", " PROT"};
    r.lines += {" EPRT", " EPSV", " PASV"};
    r.lines.append("211 End");
    return r;
}

// ---- log-in ----------------------------------------------------------------------------------------------------

Reply Connection::doUser(const QByteArray& args)
{
    if (server_.options().requireTls && !tlsActive_)
        return Reply("530 This site requires TLS: send AUTH TLS first.");
    if (args.isEmpty())
        return Reply("501 Usage: USER <name>");
    user_.clear();
    cwd_.clear();
    pendingUser_ = args;
    doing_ = "LOGIN";
    return Reply("331 Password required for " + quoted(args) + '.');
}

Reply Connection::doPass(const QByteArray& args)
{
    if (server_.options().requireTls && !tlsActive_)
        return Reply("530 This site requires TLS: send AUTH TLS first.");
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

Reply Connection::doCwd(const QByteArray& args)
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

Reply Connection::doRmd(const QByteArray& args)
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

Reply Connection::doPort(const QByteArray& args)
{
    if (epsvAll_)
        return Reply("503 EPSV ALL was sent: only EPSV sets up data connections now.");
    if (controlIsIpv6())
        return Reply("522 PORT is for IPv4 only: use EPRT on this IPv6 connection.");
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
    resetDataSetup();
    portAddress_ = address;
    portPort_ = port;
    return Reply("200 PORT command successful.");
}

// EPRT <d>1<d>192.0.2.7<d>6446<d> or EPRT <d>2<d>2001:db8::7<d>6446<d>: any printable delimiter, the same
// four times.
Reply Connection::doEprt(const QByteArray& args)
{
    if (epsvAll_)
        return Reply("503 EPSV ALL was sent: only EPSV sets up data connections now.");
    const QByteArray text = args.trimmed();
    const char delimiter = text.isEmpty() ? '\0' : text.front();
    if (delimiter < 33 || delimiter > 126)
        return Reply("501 Syntax error in EPRT parameters.");
    const QList<QByteArray> fields = text.split(delimiter);
    if (fields.size() != 5 || !fields[0].isEmpty() || !fields[4].isEmpty())
        return Reply("501 Syntax error in EPRT parameters.");
    const QByteArray& family = fields[1];
    if (family != "1" && family != "2")
        return Reply("522 Network protocol not supported, use (1,2).");
    QHostAddress address;
    const auto wanted = family == "1" ? QAbstractSocket::IPv4Protocol : QAbstractSocket::IPv6Protocol;
    if (!address.setAddress(QString::fromLatin1(fields[2])) || address.protocol() != wanted)
        return Reply("501 Syntax error in EPRT parameters: " + quoted(fields[2]) + " is no IPv" +
                     (family == "1" ? "4" : "6") + " address.");
    bool ok = false;
    const uint port = fields[3].toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return Reply("501 Syntax error in EPRT parameters.");
    // The same rules as PORT: back to the client's own address only, never to a privileged port.
    if (!address.isEqual(peer_, QHostAddress::ConvertV4MappedToIPv4))
        return Reply("500 Illegal EPRT command: the address must be your own.");
    if (port < 1024)
        return Reply("500 Illegal EPRT command: ports below 1024 are refused.");
    resetDataSetup();
    portAddress_ = address;
    portPort_ = static_cast<quint16>(port);
    return Reply("200 EPRT command successful.");
}

Reply Connection::doPassive(bool extended, const QByteArray& args)
{
    const int family = controlIsIpv6() ? 2 : 1;
    if (extended && !args.trimmed().isEmpty()) {
        const QByteArray what = args.trimmed().toUpper();
        if (what == "ALL") {
            epsvAll_ = true;
            return Reply("200 EPSV ALL command successful.");
        }
        if (what != "1" && what != "2")
            return Reply("501 Syntax error in EPSV parameters.");
        if (what.toInt() != family)
            return Reply("522 Network protocol not supported, use (" + QByteArray::number(family) + ").");
    }
    if (!extended && epsvAll_)
        return Reply("503 EPSV ALL was sent: only EPSV sets up data connections now.");
    if (!extended && family == 2)
        return Reply("522 PASV is for IPv4 only: use EPSV on this IPv6 connection.");

    resetDataSetup();
    const QHostAddress local = localAddress();
    quint16 port = 0;
    if (server_.options().refusePassive) {
        // A socket bound to the port but never listening on it: the client's connection is refused, and no
        // one else can take the port while we name it.
        passiveBlocker_ = new QTcpSocket(this);
        if (!passiveBlocker_->bind(local, 0))
            return Reply("425 Can't open passive connection.");
        port = passiveBlocker_->localPort();
    } else {
        auto* listener = new SocketServer(this);
        listener->tls = server_.options().tls != ServerOptions::Tls::Off;
        // Only the client of this control connection may connect; anyone else is turned away and the wait goes
        // on.
        listener->accepts = [peer = peer_](const QHostAddress& from) {
            return from.isEqual(peer, QHostAddress::ConvertV4MappedToIPv4);
        };
        listener->setMaxPendingConnections(1);
        if (!listener->listen(local, 0)) {
            delete listener;
            return Reply("425 Can't open passive connection.");
        }
        connect(listener, &QTcpServer::newConnection, this, &Connection::onPassiveConnection);
        passive_ = listener;
        port = listener->serverPort();
    }
    passiveMode_ = true;
    if (extended)
        return Reply("229 Entering Extended Passive Mode (|||" + QByteArray::number(port) + "|)");
    const QHostAddress& named = server_.options().pasvAddress.isNull() ? local : server_.options().pasvAddress;
    const quint32 a = named.toIPv4Address();
    QByteArray numbers;
    for (const quint32 n :
         {a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF, quint32(port >> 8), quint32(port & 0xFF)})
        numbers += (numbers.isEmpty() ? "" : ",") + QByteArray::number(n);
    return Reply("227 Entering Passive Mode (" + numbers + ").");
}

bool Connection::controlIsIpv6() const
{
    return localAddress().protocol() == QAbstractSocket::IPv6Protocol;
}

QHostAddress Connection::localAddress() const
{
    const QHostAddress local = socket_->localAddress();
    bool v4 = false;
    const quint32 address = local.toIPv4Address(&v4);
    return v4 ? QHostAddress(address) : local;
}

void Connection::resetDataSetup()
{
    portAddress_.reset();
    passiveMode_ = false;
    if (passive_) {
        passive_->close();
        passive_->deleteLater();
        passive_ = nullptr;
    }
    if (passiveBlocker_) {
        passiveBlocker_->abort();
        passiveBlocker_->deleteLater();
        passiveBlocker_ = nullptr;
    }
    if (data_ && !busy_)
        dropData();
}

void Connection::onPassiveConnection()
{
    if (!passive_)
        return;
    QTcpSocket* socket = passive_->nextPendingConnection();
    if (!socket)
        return;
    // One connection per PASV or EPSV.
    passive_->close();
    passive_->deleteLater();
    passive_ = nullptr;
    if (data_ && !busy_)
        dropData();
    adoptData(socket);
    // The client may begin its handshake before it asks for the listing, so TLS is ready from the start.
    if (protectData_)
        startDataTls();
    if (busy_ && data_)
        onDataConnected();
}

void Connection::adoptData(QTcpSocket* socket)
{
    data_ = socket;
    data_->setParent(this);
    dataProtected_ = false;
    dataEncrypted_ = false;
    connect(data_, &QTcpSocket::connected, this, &Connection::onDataConnected);
    connect(data_, &QTcpSocket::bytesWritten, this, &Connection::onDataBytesWritten);
    connect(data_, &QTcpSocket::disconnected, this, &Connection::onDataDisconnected);
    connect(data_, &QTcpSocket::errorOccurred, this, &Connection::onDataError);
    if (auto* tls = qobject_cast<QSslSocket*>(data_))
        connect(tls, &QSslSocket::encrypted, this, &Connection::onDataEncrypted);
}

void Connection::dropData()
{
    data_->disconnect(this);
    data_->abort();
    data_->deleteLater();
    data_ = nullptr;
    dataProtected_ = false;
    dataEncrypted_ = false;
}

void Connection::startDataTls()
{
    auto* tls = qobject_cast<QSslSocket*>(data_);
    if (!tls || tls->mode() != QSslSocket::UnencryptedMode)
        return;
    dataProtected_ = true;
    tls->setSslConfiguration(server_.tlsConfiguration());
    tls::startServer(tls, {ticketKey_, server_.options().noCloseNotify});
}

std::optional<Reply> Connection::doList(const QByteArray& args, bool namesOnly)
{
    if (!portAddress_ && !passiveMode_)
        return Reply("503 Bad sequence of commands: send PORT or PASV first.");
    if (server_.options().requireTls && !protectData_)
        return Reply("521 Data connections must be protected: send PROT P.");

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

    const bool passive = !portAddress_;
    if (passive && !passive_ && !(data_ && data_->state() == QAbstractSocket::ConnectedState)) {
        // Nobody listens (--refuse-passive), or the connection that came is gone already.
        resetDataSetup();
        return Reply("425 Can't open data connection.");
    }

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

    busy_ = true;
    dataWritten_ = 0;
    dataConnected_ = false;
    listingSent_ = false;
    idleTimer_.stop();
    if (passive) {
        passiveMode_ = false; // one PASV serves one transfer
        if (data_)
            onDataConnected();
        else
            dataTimer_.start(kDataConnectTimeoutMs);
        return std::nullopt;
    }

    const QHostAddress address = *portAddress_;
    portAddress_.reset(); // one PORT serves one transfer
    const bool tlsOn = server_.options().tls != ServerOptions::Tls::Off;
    adoptData(tlsOn && protectData_ ? new QSslSocket(this) : new QTcpSocket(this));
    data_->bind(localAddress(), 0);
    dataTimer_.start(kDataConnectTimeoutMs);
    data_->connectToHost(address, portPort_);
    return std::nullopt;
}

// The data connection is opened before the 150 reply: when the client's port cannot be reached, the listing
// fails with a single 425 line instead of a 150 that promises data which never comes. Over TLS the 150 goes
// out once the connection is open, and the listing once the handshake, which the client may begin only after
// the 150, is done.
void Connection::onDataConnected()
{
    if (!data_ || !busy_)
        return;
    dataConnected_ = true;
    if (protectData_)
        startDataTls();
    if (!data_ || !busy_)
        return; // TLS failed at once
    dataTimer_.start(dataProtected_ && !dataEncrypted_ ? kDataConnectTimeoutMs : kDataTransferTimeoutMs);
    // The byte count is exact: clients size their progress and their checks on it.
    write(opening_ + QByteArray::number(listing_.size()) + " bytes).\r\n");
    if (listFault_ == Server::Fault::Stall) {
        // The opening line, then nothing on either connection, which both stay open.
        dataTimer_.stop();
        phase_ = Phase::Stalled;
        return;
    }
    if (dataProtected_ && !dataEncrypted_)
        return; // the listing follows the handshake
    sendListing();
}

void Connection::onDataEncrypted()
{
    dataEncrypted_ = true;
    if (!busy_ || !dataConnected_ || phase_ != Phase::Open)
        return; // a passive connection ready before its listing, or a stalled listing
    dataTimer_.start(kDataTransferTimeoutMs);
    sendListing();
}

void Connection::sendListing()
{
    if (listingSent_)
        return;
    listingSent_ = true;
    if (dataProtected_ && server_.options().requireResume && !tls::resumed(qobject_cast<QSslSocket*>(data_))) {
        finishTransfer(Reply("425 Can't open data connection: its TLS session must resume the control "
                             "connection's session."));
        return;
    }
    if (listFault_ == Server::Fault::Drop) {
        // Half the listing, then both connections go, and no completion reply.
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
        return;
    }
    if (listing_.isEmpty())
        data_->disconnectFromHost();
    else
        data_->write(listing_);
}

void Connection::onDataBytesWritten(qint64 bytes)
{
    if (!busy_ || !listingSent_)
        return;
    dataWritten_ += bytes;
    dataTimer_.start(kDataTransferTimeoutMs);
    if (dataWritten_ >= listing_.size() && data_->state() == QAbstractSocket::ConnectedState)
        data_->disconnectFromHost();
}

void Connection::onDataDisconnected()
{
    if (!busy_) {
        dropData(); // a passive connection gone before its listing
        return;
    }
    if (dataProtected_ && !dataEncrypted_)
        finishTransfer(Reply("425 Can't open data connection: TLS negotiation failed."));
    else if (listingSent_ && dataWritten_ >= listing_.size())
        finishTransfer(Reply("226 Transfer complete."));
    else
        finishTransfer(Reply("426 Connection closed; transfer aborted."));
}

void Connection::onDataError()
{
    if (!busy_) {
        dropData(); // a passive connection that failed before its listing
        return;
    }
    if (!dataConnected_)
        finishTransfer(Reply("425 Can't open data connection."));
    else if (dataProtected_ && !dataEncrypted_)
        finishTransfer(Reply("425 Can't open data connection: TLS negotiation failed."));
    // a connection that was open ends through onDataDisconnected
}

void Connection::onDataTimeout()
{
    if (!busy_)
        return;
    if (!dataConnected_)
        finishTransfer(Reply("425 Can't open data connection."));
    else if (dataProtected_ && !dataEncrypted_)
        finishTransfer(Reply("425 Can't open data connection: TLS negotiation timed out."));
    else
        finishTransfer(Reply("426 Data connection timed out; transfer aborted."));
}

void Connection::finishTransfer(const Reply& reply)
{
    dataTimer_.stop();
    if (data_) {
        data_->disconnect(this);
        data_->abort();
        data_->deleteLater();
        data_ = nullptr;
    }
    busy_ = false;
    dataConnected_ = false;
    dataProtected_ = false;
    dataEncrypted_ = false;
    listing_.clear();
    resetDataSetup(); // a passive listener nobody came to
    if (phase_ != Phase::Open)
        return;
    send(reply, listFault_);
    if (phase_ != Phase::Open)
        return;
    idleTimer_.start();
    // Commands that arrived during the transfer wait in the buffers; take them up now.
    QMetaObject::invokeMethod(this, &Connection::processInput, Qt::QueuedConnection);
}

} // namespace sim
