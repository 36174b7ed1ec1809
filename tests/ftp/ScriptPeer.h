#pragma once

// A scripted peer for the engine's tests: a TCP server on 127.0.0.1 that runs a script in a thread of its own, so
// it answers while the client under test sits in its waits on the main thread. Built on Qt's blocking socket calls
// (and OpenSSL for TLS); it shares no code with the engine. Every wait is bounded.

#include "TlsPeer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class ScriptPeer;

// The script's side of one accepted connection.
class PeerSession {
public:
    PeerSession(ScriptPeer& peer, QTcpSocket& socket) : peer(peer), control_(socket) {}

    // Returns once the bytes are handed to the system, that is, in the client's receive queue.
    void send(const std::string& bytes) { control_.send(bytes); }
    static void sendOn(QTcpSocket& socket, const std::string& bytes);
    // The next line from the client with its line end; empty when it closed or nothing came in time.
    std::string readLine();
    // count bytes from the client, or fewer when it closed or nothing more came in time.
    std::string readBytes(std::size_t count) { return control_.readBytes(count); }
    // Reads a line; a different one (compared without its line end) is the script's failure.
    void expect(const std::string& line);
    // Waits until the client closes the connection; false when it did not in time.
    bool waitClosed() { return control_.waitClosed(); }
    void close() { control_.close(); }
    // An active-mode data connection to the address of a "PORT h1,h2,h3,h4,p1,p2" line.
    std::unique_ptr<QTcpSocket> connectData(const std::string& portLine);
    // A listener for a passive-mode data connection on 127.0.0.1, and the connection the client makes to it.
    static std::unique_ptr<QTcpServer> listenData();
    std::unique_ptr<QTcpSocket> acceptData(QTcpServer& server);
    // The control connection, which a script may switch to TLS (a failed handshake is the script's failure).
    PeerStream& control() { return control_; }
    bool startTls(PeerTlsServer& server);

    ScriptPeer& peer;

private:
    PeerStream control_;
};

class ScriptPeer {
public:
    using Script = std::function<void(PeerSession&)>;

    // Listens at once; runs the script for each of `connections` connections in turn. A script that returns with
    // the connection open leaves it to the client to close.
    explicit ScriptPeer(Script script, int connections = 1);
    ~ScriptPeer();

    quint16 port() const { return port_; }
    std::vector<std::string> received() const; // every line the client sent, with its line end
    std::string failure() const;               // the first thing that went wrong in the script

    // Hand-shakes between the test and the script; waitFor blocks without running the caller's events.
    void signal(const std::string& name);
    bool waitFor(const std::string& name);
    void fail(const std::string& why);

private:
    friend class PeerSession;
    Script script_;
    int connections_;
    quint16 port_ = 0;
    std::unique_ptr<QThread> thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> received_;
    std::set<std::string> marks_;
    std::string failure_;
};

bool parsePortLine(const std::string& line, QHostAddress& address, quint16& port);
quint16 closedPort(); // a port on 127.0.0.1 that nobody listens on
