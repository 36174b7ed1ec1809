#include "ScriptPeer.h"

#include <QTcpServer>

#include <future>

namespace {
constexpr int WaitMs = 5000;
}

void PeerSession::sendOn(QTcpSocket& socket, const std::string& bytes)
{
    socket.write(bytes.data(), qint64(bytes.size()));
    while (socket.bytesToWrite() > 0 && socket.state() == QAbstractSocket::ConnectedState)
        if (!socket.waitForBytesWritten(WaitMs))
            break;
}

bool PeerSession::fill()
{
    if (socket_.bytesAvailable() == 0 && !socket_.waitForReadyRead(WaitMs) && socket_.bytesAvailable() == 0)
        return false;
    pending_ += socket_.readAll().toStdString();
    return true;
}

std::string PeerSession::readLine()
{
    std::size_t lf;
    while ((lf = pending_.find('\n')) == std::string::npos)
        if (!fill())
            return std::string();
    std::string line = pending_.substr(0, lf + 1);
    pending_.erase(0, lf + 1);
    std::lock_guard lock(peer.mutex_);
    peer.received_.push_back(line);
    return line;
}

std::string PeerSession::readBytes(std::size_t count)
{
    while (pending_.size() < count && fill()) {
    }
    std::string out = pending_.substr(0, count);
    pending_.erase(0, out.size());
    return out;
}

void PeerSession::expect(const std::string& line)
{
    std::string got = readLine();
    while (!got.empty() && (got.back() == '\n' || got.back() == '\r'))
        got.pop_back();
    if (got != line)
        peer.fail("expected \"" + line + "\", got \"" + got + "\"");
}

bool PeerSession::waitClosed()
{
    while (socket_.state() == QAbstractSocket::ConnectedState)
        if (!fill() && socket_.state() == QAbstractSocket::ConnectedState)
            return false;
    return true;
}

void PeerSession::close()
{
    socket_.disconnectFromHost();
    if (socket_.state() != QAbstractSocket::UnconnectedState)
        socket_.waitForDisconnected(WaitMs);
}

std::unique_ptr<QTcpSocket> PeerSession::connectData(const std::string& portLine)
{
    QHostAddress address;
    quint16 port = 0;
    auto data = std::make_unique<QTcpSocket>();
    if (!parsePortLine(portLine, address, port)) {
        peer.fail("not a PORT line: " + portLine);
        return nullptr;
    }
    data->connectToHost(address, port);
    if (!data->waitForConnected(WaitMs)) {
        peer.fail("data connection failed: " + data->errorString().toStdString());
        return nullptr;
    }
    data->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return data;
}

ScriptPeer::ScriptPeer(Script script, int connections) : script_(std::move(script)), connections_(connections)
{
    std::promise<quint16> listening;
    auto ready = listening.get_future();
    thread_.reset(QThread::create([this, &listening] {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        listening.set_value(server.serverPort());
        for (int i = 0; i < connections_; ++i) {
            if (!server.waitForNewConnection(2 * WaitMs)) {
                fail("no client connected");
                return;
            }
            std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
            // Each reply goes out at once, not held back for the acknowledgement of the one before.
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            PeerSession session(*this, *socket);
            script_(session);
            if (!session.waitClosed())
                session.close();
        }
    }));
    thread_->start();
    port_ = ready.get();
}

ScriptPeer::~ScriptPeer()
{
    if (!thread_->wait(3 * WaitMs))
        thread_->terminate();
}

std::vector<std::string> ScriptPeer::received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::string ScriptPeer::failure() const
{
    std::lock_guard lock(mutex_);
    return failure_;
}

void ScriptPeer::signal(const std::string& name)
{
    std::lock_guard lock(mutex_);
    marks_.insert(name);
    changed_.notify_all();
}

bool ScriptPeer::waitFor(const std::string& name)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(WaitMs), [&] { return marks_.count(name) > 0; });
}

void ScriptPeer::fail(const std::string& why)
{
    std::lock_guard lock(mutex_);
    if (failure_.empty())
        failure_ = why;
}

bool parsePortLine(const std::string& line, QHostAddress& address, quint16& port)
{
    unsigned n[6];
    if (line.rfind("PORT ", 0) != 0 ||
        std::sscanf(line.c_str() + 5, "%u,%u,%u,%u,%u,%u", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) != 6)
        return false;
    address = QHostAddress((n[0] << 24) | (n[1] << 16) | (n[2] << 8) | n[3]);
    port = quint16(n[4] * 256 + n[5]);
    return true;
}

quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort(); // closed again when server goes
}
