#pragma once

#include "ScriptPeer.h"
#include "ftp/NMFtp.h"
#include "platform/PollLoop.h"
#include "platform/Ticks.h"

#include <QTimer>

#include <functional>
#include <string>
#include <vector>

using Lines = std::vector<std::string>;

// Runs the application's events until the condition holds or the time is up.
inline bool pumpUntil(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    const std::uint32_t start = GetTickCount();
    while (!condition())
        if (GetTickCount() - start > std::uint32_t(timeoutMs))
            return false;
        else
            PollWait();
    return true;
}

// The message of the exception of class E that f raises.
template <typename E, typename F>
std::string failureOf(F&& f)
{
    try {
        f();
    } catch (const E& e) {
        return e.message();
    }
    return "(nothing raised)";
}

// Calls f after ms milliseconds, from inside whatever wait is running then: the operator who gives up, or (with
// Cancel and Abort and a long time) the guard that makes a broken test fail instead of hang.
class Later {
public:
    Later(int ms, std::function<void()> f)
    {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this, f = std::move(f)] {
            fired = true;
            f();
        });
        timer_.start(ms);
    }
    bool fired = false;

private:
    QTimer timer_;
};

inline std::unique_ptr<Later> watchdog(TPowersock& s, int ms = 5000)
{
    return std::make_unique<Later>(ms, [&s] {
        s.Cancel();
        s.Abort();
    });
}

// Every event of a client, in order: "status:<text>", "connect", "disconnect", "failed", "start", "stop",
// "item:<line>", "success:<kind>", "unsupported:<kind>".
struct EventLog {
    explicit EventLog(TNMFTP& ftp)
    {
        ftp.ReportLevel = 2;
        ftp.OnStatus = [this, &ftp](QObject*, const std::string&) { add("status:" + ftp.Status); };
        ftp.OnConnect = [this](QObject*) { add("connect"); };
        ftp.OnDisconnect = [this](QObject*) { add("disconnect"); };
        ftp.OnConnectionFailed = [this](QObject*) { add("failed"); };
        ftp.OnTransactionStart = [this](QObject*) { add("start"); };
        ftp.OnTransactionStop = [this](QObject*) { add("stop"); };
        ftp.OnListItem = [this](const std::string& line) { add("item:" + line); };
        ftp.OnSuccess = [this](TCmdType kind) { add("success:" + std::to_string(int(kind))); };
        ftp.OnUnSupportedFunction = [this](TCmdType kind) { add("unsupported:" + std::to_string(int(kind))); };
    }
    void add(const std::string& entry) { entries.push_back(entry); }
    std::size_t count(const std::string& entry) const { return std::count(entries.begin(), entries.end(), entry); }
    Lines entries;
};

// The peer's half of a plain log-in: a greeting, then USER bob taken with 230 (no password asked).
inline void serveLogin(PeerSession& s)
{
    s.send("220 ready\r\n");
    s.expect("USER bob");
    s.send("230 in\r\n");
}

inline void loginTo(TNMFTP& ftp, const ScriptPeer& peer)
{
    ftp.Host = "127.0.0.1";
    ftp.Port = peer.port();
    ftp.UserID = "bob";
    ftp.Connect();
}
