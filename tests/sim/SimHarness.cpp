#include "sim/SimHarness.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTcpServer>

namespace simtest {

// ---- the process ----------------------------------------------------------------------------------------------

QString SimProcess::program() {
    return qEnvironmentVariable("KOLVANE_BINARY_DIR") + QStringLiteral("/sim/quillon-sim");
}

SimProcess::~SimProcess() {
    if (m_process && m_process->state() != QProcess::NotRunning) stop();
}

bool SimProcess::start(const QStringList& extraArgs) {
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(program());
    m_process->setArguments(QStringList{QStringLiteral("--port"), QStringLiteral("0")} + extraArgs);
    m_process->start();
    if (!m_process->waitForStarted(5000)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(program(), m_process->errorString());
        return false;
    }
    // The first line of standard output names the port the system chose.
    static const QRegularExpression first(QStringLiteral("^quillon-sim listening on 127\\.0\\.0\\.1:(\\d+)$"));
    const QDeadlineTimer deadline(5000);
    while (!m_process->canReadLine() && !deadline.hasExpired()) {
        if (m_process->state() == QProcess::NotRunning) break;
        m_process->waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    }
    if (!m_process->canReadLine()) {
        m_error = QStringLiteral("no port announced; stderr: %1")
                      .arg(QString::fromLocal8Bit(m_process->readAllStandardError()));
        return false;
    }
    const QString line = QString::fromLatin1(m_process->readLine()).trimmed();
    const auto match = first.match(line);
    if (!match.hasMatch()) {
        m_error = QStringLiteral("unexpected first line: %1").arg(line);
        return false;
    }
    m_port = static_cast<quint16>(match.captured(1).toUInt());
    return true;
}

int SimProcess::stop() {
    if (!m_process || m_process->state() == QProcess::NotRunning) return m_process ? m_process->exitCode() : -1;
    m_process->terminate(); // SIGTERM to the process we started, by its pid
    if (m_process->waitForFinished(3000))
        return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
    m_process->kill();
    m_process->waitForFinished(3000);
    return -1;
}

RunResult runSim(const QStringList& args, int timeoutMs) {
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

// ---- the control connection ------------------------------------------------------------------------------------

bool FtpClient::connectTo(quint16 port) {
    m_socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    return m_socket.waitForConnected(3000);
}

bool FtpClient::readLine(QByteArray* line, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const qsizetype eol = m_buffer.indexOf("\r\n");
        if (eol >= 0) {
            *line = m_buffer.left(eol);
            m_buffer.remove(0, eol + 2);
            return true;
        }
        if (deadline.hasExpired()) return false;
        if (m_socket.bytesAvailable() == 0 && m_socket.state() != QAbstractSocket::ConnectedState) return false;
        if (m_socket.bytesAvailable() == 0)
            m_socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        m_buffer += m_socket.readAll();
    }
}

Lines FtpClient::readReply(int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    Lines lines;
    QByteArray line;
    while (readLine(&line, static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
        lines.append(line);
        const bool continues = line.startsWith(' ') || (line.size() >= 4 && line[3] == '-');
        if (!continues) break;
    }
    return lines;
}

Lines FtpClient::command(const QByteArray& line, int timeoutMs) {
    sendRaw(line + "\r\n");
    return readReply(timeoutMs);
}

void FtpClient::sendRaw(const QByteArray& bytes) {
    m_socket.write(bytes);
    m_socket.waitForBytesWritten(3000);
}

bool FtpClient::login(const QByteArray& user, const QByteArray& password) {
    if (code(command("USER " + user)) != 331) return false;
    return code(command("PASS " + password)) == 230;
}

bool FtpClient::waitClosed(int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (m_socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        m_socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        m_buffer += m_socket.readAll();
    }
    m_buffer += m_socket.readAll();
    return m_socket.state() != QAbstractSocket::ConnectedState;
}

QByteArray FtpClient::readMore(int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray got;
    while (!deadline.hasExpired() && m_socket.state() == QAbstractSocket::ConnectedState) {
        if (m_socket.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime()))))
            got += m_socket.readAll();
    }
    m_buffer += got;
    return got;
}

FtpClient::Listing FtpClient::list(const QByteArray& path) {
    Listing out;
    QTcpServer data;
    if (!data.listen(QHostAddress(QHostAddress::LocalHost), 0)) return out;
    const quint16 p = data.serverPort();
    out.portReply = command("PORT 127,0,0,1," + QByteArray::number(p >> 8) + ',' + QByteArray::number(p & 0xFF));
    if (code(out.portReply) != 200) return out;
    out.opening = command(path.isEmpty() ? QByteArray("LIST") : "LIST " + path);
    if (code(out.opening) != 150) return out;
    if (!data.waitForNewConnection(3000)) return out;
    QTcpSocket* conn = data.nextPendingConnection();
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

int code(const Lines& reply) {
    if (reply.isEmpty() || reply.first().size() < 3) return 0;
    return reply.first().left(3).toInt();
}

bool wellFormed(const Lines& reply) {
    if (reply.isEmpty()) return false;
    for (qsizetype i = 0; i < reply.size(); ++i) {
        const QByteArray& l = reply[i];
        const bool continues = l.startsWith(' ') || (l.size() >= 4 && l[3] == '-');
        if (continues != (i + 1 < reply.size())) return false;
    }
    return true;
}

QByteArray trimmed(const QByteArray& line) {
    qsizetype b = 0;
    qsizetype e = line.size();
    while (b < e && static_cast<unsigned char>(line[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(line[e - 1]) <= 32)
        --e;
    return line.mid(b, e - b);
}

QByteArray cell(const QByteArray& raw, int s) {
    return trimmed(raw.mid(s - 1, 10));
}

QList<QByteArray> gatherUsers(const QByteArray& echo, const Lines& reply) {
    Lines texts{echo};
    for (const QByteArray& l : reply)
        texts.append(l + "\r\n"); // the client reports reply lines with their line end
    QList<QByteArray> names;
    bool gathering = true;
    int count = 0;
    for (const QByteArray& raw : texts) {
        if (!gathering) break;
        ++count;
        const QByteArray l = trimmed(raw);
        if (l.mid(5, 6) == "Totals") gathering = false;
        if (count <= 2) continue;
        if (l.left(4) == "250-") {
            QByteArray name = l.mid(5, 10);
            while (!name.isEmpty() && static_cast<unsigned char>(name.back()) <= 32)
                name.chop(1);
            names.append(name);
            continue;
        }
        for (int s : {2, 13, 26, 39, 52, 65}) {
            const QByteArray c = cell(raw, s);
            if (!c.isEmpty()) names.append(c);
        }
    }
    return names;
}

QList<QByteArray> gatherGroups(const Lines& reply) {
    QList<QByteArray> names;
    bool gathering = false;
    for (const QByteArray& line : reply) {
        const QByteArray raw = line + "\r\n";
        const QByteArray l = trimmed(raw);
        if (gathering && l.isEmpty()) gathering = false;
        if (gathering) {
            for (int s : {2, 13, 24, 35, 46, 57, 68}) {
                const QByteArray c = cell(raw, s);
                if (!c.isEmpty()) names.append(c);
            }
        } else if (l == "214- Available Groups :") {
            gathering = true;
        }
    }
    return names;
}

QList<QByteArray> fields(const QByteArray& line) {
    QList<QByteArray> out;
    for (const QByteArray& f : line.split(' ')) {
        if (!f.isEmpty()) out.append(f);
    }
    return out;
}

Lines listingLines(const QByteArray& data) {
    Lines out = data.split('\n');
    if (!out.isEmpty() && out.last().isEmpty()) out.removeLast();
    for (QByteArray& l : out) {
        if (l.endsWith('\r')) l.chop(1);
    }
    return out;
}

} // namespace simtest
