#include "sim/SimHarness.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTcpServer>

#include <csignal>
#include <sys/prctl.h>

namespace simtest {

namespace {

// A listening socket whose connections are QSslSocket objects, so the test can take the client side of TLS
// on an active-mode data connection.
class SslListener : public QTcpServer {
protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* socket = new QSslSocket(this);
        if (socket->setSocketDescriptor(descriptor))
            addPendingConnection(socket);
        else
            delete socket;
    }
};

// The port a 227 or 229 reply names, 0 if none.
quint16 passivePort(const QByteArray& reply)
{
    static const QRegularExpression pasv(QStringLiteral("\\((\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)\\)"));
    static const QRegularExpression epsv(QStringLiteral("\\(\\|\\|\\|(\\d+)\\|\\)"));
    const QString text = QString::fromLatin1(reply);
    if (const auto m = epsv.match(text); reply.startsWith("229 ") && m.hasMatch())
        return static_cast<quint16>(m.captured(1).toUInt());
    if (const auto m = pasv.match(text); reply.startsWith("227 ") && m.hasMatch())
        return static_cast<quint16>(m.captured(5).toUInt() * 256 + m.captured(6).toUInt());
    return 0;
}

QSslConfiguration clientConfiguration(const QSslConfiguration& base, const QByteArray& session = {})
{
    QSslConfiguration c = base;
    c.setPeerVerifyMode(QSslSocket::VerifyNone);
    c.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    c.setSessionTicket(session);
    return c;
}

} // namespace

// ---- the process ----------------------------------------------------------------------------------------------

QString SimProcess::program()
{
    return qEnvironmentVariable("KOLVANE_BINARY_DIR") + QStringLiteral("/sim/quillon-sim");
}

SimProcess::~SimProcess()
{
    if (process_ && process_->state() != QProcess::NotRunning)
        stop();
}

bool SimProcess::start(const QStringList& extraArgs)
{
    process_ = std::make_unique<QProcess>();
    process_->setProgram(program());
    process_->setArguments(QStringList{QStringLiteral("--port"), QStringLiteral("0")} + extraArgs);
    process_->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); }); // a test that crashes ends it too
    process_->start();
    if (!process_->waitForStarted(5000)) {
        error_ = QStringLiteral("cannot start %1: %2").arg(program(), process_->errorString());
        return false;
    }
    // Standard output names the address and the port the system chose, then, with TLS on, the certificate's
    // fingerprint.
    static const QRegularExpression listening(QStringLiteral("^quillon-sim listening on (.+):(\\d+)$"));
    static const QRegularExpression certificate(
        QStringLiteral("^quillon-sim certificate sha256 ((?:[0-9A-F]{2}:){31}[0-9A-F]{2})$"));
    const bool tls =
        extraArgs.contains(QStringLiteral("--tls")) || extraArgs.contains(QStringLiteral("--implicit-tls"));
    const QDeadlineTimer deadline(5000);
    auto nextLine = [&](QString* line) {
        while (!process_->canReadLine() && !deadline.hasExpired()) {
            if (process_->state() == QProcess::NotRunning)
                break;
            process_->waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        }
        if (!process_->canReadLine()) {
            error_ = QStringLiteral("no port or fingerprint announced; stderr: %1")
                         .arg(QString::fromLocal8Bit(process_->readAllStandardError()));
            return false;
        }
        *line = QString::fromLatin1(process_->readLine()).trimmed();
        return true;
    };
    QString line;
    if (!nextLine(&line))
        return false;
    const auto match = listening.match(line);
    if (!match.hasMatch() || !address_.setAddress(match.captured(1))) {
        error_ = QStringLiteral("unexpected first line: %1").arg(line);
        return false;
    }
    port_ = static_cast<quint16>(match.captured(2).toUInt());
    if (!tls)
        return true;
    if (!nextLine(&line))
        return false;
    const auto fingerprint = certificate.match(line);
    if (!fingerprint.hasMatch()) {
        error_ = QStringLiteral("unexpected second line: %1").arg(line);
        return false;
    }
    fingerprint_ = fingerprint.captured(1).toLatin1();
    return true;
}

int SimProcess::stop()
{
    if (!process_ || process_->state() == QProcess::NotRunning)
        return process_ ? process_->exitCode() : -1;
    process_->terminate(); // SIGTERM to the process we started, by its pid
    if (process_->waitForFinished(3000))
        return process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : -1;
    process_->kill();
    process_->waitForFinished(3000);
    return -1;
}

RunResult runSim(const QStringList& args, int timeoutMs)
{
    QProcess p;
    p.start(SimProcess::program(), args);
    RunResult r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(3000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

bool hasIpv6Loopback()
{
    QTcpServer probe;
    return probe.listen(QHostAddress(QHostAddress::LocalHostIPv6), 0);
}

QByteArray fingerprintOf(const QSslCertificate& certificate)
{
    return certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper();
}

// ---- the control connection ------------------------------------------------------------------------------------

FtpClient::FtpClient()
{
    socket_.setSslConfiguration(clientConfiguration(socket_.sslConfiguration()));
}

bool FtpClient::connectTo(quint16 port, const QHostAddress& host, bool implicitTls)
{
    socket_.connectToHost(host, port);
    if (!socket_.waitForConnected(3000))
        return false;
    return !implicitTls || handshake();
}

bool FtpClient::handshake(int timeoutMs)
{
    socket_.startClientEncryption();
    return socket_.waitForEncrypted(timeoutMs);
}

bool FtpClient::startTls()
{
    return code(command("AUTH TLS")) == 234 && handshake();
}

bool FtpClient::readLine(QByteArray* line, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const qsizetype eol = buffer_.indexOf("\r\n");
        if (eol >= 0) {
            *line = buffer_.left(eol);
            buffer_.remove(0, eol + 2);
            return true;
        }
        if (deadline.hasExpired())
            return false;
        if (socket_.bytesAvailable() == 0 && socket_.state() != QAbstractSocket::ConnectedState)
            return false;
        if (socket_.bytesAvailable() == 0)
            socket_.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        buffer_ += socket_.readAll();
    }
}

Lines FtpClient::readReply(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    Lines lines;
    QByteArray line;
    while (readLine(&line, static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
        lines.append(line);
        const bool continues = line.startsWith(' ') || (line.size() >= 4 && line[3] == '-');
        if (!continues)
            break;
    }
    return lines;
}

Lines FtpClient::command(const QByteArray& line, int timeoutMs)
{
    sendRaw(line + "\r\n");
    return readReply(timeoutMs);
}

void FtpClient::sendRaw(const QByteArray& bytes)
{
    socket_.write(bytes);
    socket_.waitForBytesWritten(3000);
}

bool FtpClient::login(const QByteArray& user, const QByteArray& password)
{
    if (code(command("USER " + user)) != 331)
        return false;
    return code(command("PASS " + password)) == 230;
}

bool FtpClient::waitClosed(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (socket_.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket_.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        buffer_ += socket_.readAll();
    }
    buffer_ += socket_.readAll();
    return socket_.state() != QAbstractSocket::ConnectedState;
}

QByteArray FtpClient::readMore(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray got;
    while (!deadline.hasExpired() && socket_.state() == QAbstractSocket::ConnectedState) {
        if (socket_.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))))
            got += socket_.readAll();
    }
    buffer_ += got;
    return got;
}

FtpClient::Listing FtpClient::list(const QByteArray& path)
{
    return list(Data{}, path);
}

FtpClient::Listing FtpClient::list(const Data& how, const QByteArray& path)
{
    Listing out;
    auto encrypt = [&](QSslSocket* conn) {
        conn->setSslConfiguration(clientConfiguration(conn->sslConfiguration(), !how.session.isEmpty() ? how.session
                                                                                : how.resume           ? sessionTicket()
                                                                                                       : QByteArray()));
        QObject::connect(conn, &QSslSocket::alertReceived, conn,
                         [&out](QSsl::AlertLevel, QSsl::AlertType type, const QString&) {
                             if (type == QSsl::AlertType::CloseNotify)
                                 out.closeNotify = true;
                         });
        conn->startClientEncryption();
        out.encrypted = conn->waitForEncrypted(5000);
        if (out.encrypted)
            out.fingerprint = fingerprintOf(conn->peerCertificate());
    };

    const QHostAddress local = socket_.localAddress();
    const bool active = how.setup == "PORT" || how.setup == "EPRT";
    SslListener listener;
    std::unique_ptr<QSslSocket> conn;
    if (active) {
        if (!listener.listen(local, 0))
            return out;
        const QByteArray p = QByteArray::number(listener.serverPort());
        if (how.setup == "PORT") {
            const quint32 a = local.toIPv4Address();
            const quint16 n = listener.serverPort();
            out.portReply = command("PORT " + QByteArray::number(a >> 24) + ',' + QByteArray::number((a >> 16) & 0xFF) +
                                    ',' + QByteArray::number((a >> 8) & 0xFF) + ',' + QByteArray::number(a & 0xFF) +
                                    ',' + QByteArray::number(n >> 8) + ',' + QByteArray::number(n & 0xFF));
        } else {
            const QByteArray family = local.protocol() == QAbstractSocket::IPv6Protocol ? "2" : "1";
            out.portReply = command("EPRT |" + family + '|' + local.toString().toLatin1() + '|' + p + '|');
        }
        if (code(out.portReply) != 200)
            return out;
    } else {
        // Passive: connect as soon as the port is known and, when protected, finish the handshake before
        // asking for the listing (the active case below does it after the 150).
        out.portReply = command(how.setup);
        const quint16 p = out.portReply.isEmpty() ? 0 : passivePort(out.portReply.first());
        if (p == 0)
            return out;
        conn = std::make_unique<QSslSocket>();
        conn->connectToHost(socket_.peerAddress(), p);
        if (!conn->waitForConnected(3000))
            return out;
        if (how.tls)
            encrypt(conn.get());
    }
    out.opening = command(path.isEmpty() ? how.command : how.command + ' ' + path);
    if (code(out.opening) != 150)
        return out;
    if (active) {
        if (!listener.waitForNewConnection(3000))
            return out;
        conn.reset(static_cast<QSslSocket*>(listener.nextPendingConnection()));
        conn->setParent(nullptr);
        if (how.tls)
            encrypt(conn.get());
    }
    const QDeadlineTimer deadline(5000);
    while (conn->state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        conn->waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        out.data += conn->readAll();
    }
    out.data += conn->readAll();
    out.completion = readReply();
    return out;
}

// ---- the console's reading -------------------------------------------------------------------------------------

int code(const Lines& reply)
{
    if (reply.isEmpty() || reply.first().size() < 3)
        return 0;
    return reply.first().left(3).toInt();
}

bool wellFormed(const Lines& reply)
{
    if (reply.isEmpty())
        return false;
    for (qsizetype i = 0; i < reply.size(); ++i) {
        const QByteArray& l = reply[i];
        const bool continues = l.startsWith(' ') || (l.size() >= 4 && l[3] == '-');
        if (continues != (i + 1 < reply.size()))
            return false;
    }
    return true;
}

QByteArray trimmed(const QByteArray& line)
{
    qsizetype b = 0;
    qsizetype e = line.size();
    while (b < e && static_cast<unsigned char>(line[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(line[e - 1]) <= 32)
        --e;
    return line.mid(b, e - b);
}

QByteArray cell(const QByteArray& raw, int s)
{
    return trimmed(raw.mid(s - 1, 10));
}

QList<QByteArray> gatherUsers(const QByteArray& echo, const Lines& reply)
{
    Lines texts{echo};
    for (const QByteArray& l : reply)
        texts.append(l + "\r\n"); // the client reports reply lines with their line end
    QList<QByteArray> names;
    bool gathering = true;
    int count = 0;
    for (const QByteArray& raw : texts) {
        if (!gathering)
            break;
        ++count;
        const QByteArray l = trimmed(raw);
        if (l.mid(5, 6) == "Totals")
            gathering = false;
        if (count <= 2)
            continue;
        if (l.left(4) == "250-") {
            QByteArray name = l.mid(5, 10);
            while (!name.isEmpty() && static_cast<unsigned char>(name.back()) <= 32)
                name.chop(1);
            names.append(name);
            continue;
        }
        for (int s : {2, 13, 26, 39, 52, 65}) {
            const QByteArray c = cell(raw, s);
            if (!c.isEmpty())
                names.append(c);
        }
    }
    return names;
}

QList<QByteArray> gatherGroups(const Lines& reply)
{
    QList<QByteArray> names;
    bool gathering = false;
    for (const QByteArray& line : reply) {
        const QByteArray raw = line + "\r\n";
        const QByteArray l = trimmed(raw);
        if (gathering && l.isEmpty())
            gathering = false;
        if (gathering) {
            for (int s : {2, 13, 24, 35, 46, 57, 68}) {
                const QByteArray c = cell(raw, s);
                if (!c.isEmpty())
                    names.append(c);
            }
        } else if (l == "214- Available Groups :") {
            gathering = true;
        }
    }
    return names;
}

QList<QByteArray> fields(const QByteArray& line)
{
    QList<QByteArray> out;
    for (const QByteArray& f : line.split(' ')) {
        if (!f.isEmpty())
            out.append(f);
    }
    return out;
}

Lines listingLines(const QByteArray& data)
{
    Lines out = data.split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    for (QByteArray& l : out) {
        if (l.endsWith('\r'))
            l.chop(1);
    }
    return out;
}

} // namespace simtest
