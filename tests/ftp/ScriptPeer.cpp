#include "ScriptPeer.h"

#include "platform/Finally.h"
#include "platform/Tls.h"

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

std::string PeerSession::readLine()
{
    std::string line = control_.readLine();
    if (!line.empty()) {
        std::lock_guard lock(peer.mutex_);
        peer.received_.push_back(line);
    }
    return line;
}

void PeerSession::expect(const std::string& line)
{
    std::string got = readLine();
    while (!got.empty() && (got.back() == '\n' || got.back() == '\r'))
        got.pop_back();
    if (got != line)
        peer.fail("expected \"" + line + "\", got \"" + got + "\"");
}

bool PeerSession::startTls(PeerTlsServer& server)
{
    if (control_.startTls(server))
        return true;
    peer.fail("the TLS handshake failed");
    return false;
}

std::unique_ptr<QTcpServer> PeerSession::listenData()
{
    auto server = std::make_unique<QTcpServer>();
    server->listen(QHostAddress::LocalHost, 0);
    return server;
}

std::unique_ptr<QTcpSocket> PeerSession::acceptData(QTcpServer& server)
{
    if (!server.waitForNewConnection(WaitMs)) {
        peer.fail("no data connection came");
        return nullptr;
    }
    std::unique_ptr<QTcpSocket> data(server.nextPendingConnection());
    data->setParent(nullptr);
    data->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return data;
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
        // A TLS peer's state goes with its thread, before the test that waits for the thread goes on (and maybe ends).
        const Finally endTls([] { endThreadTls(); });
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
