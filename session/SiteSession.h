#pragma once

#include "ftp/NMFtp.h"
#include "session/SessionLog.h"
#include "sitebook/SiteBook.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

// How the session answers a certificate that neither verifies against the system's authorities nor is pinned.
enum class TrustAnswer {
    Refuse,     // the log-in ends; nothing is sent over the connection
    TrustOnce,  // this log-in goes on; nothing is pinned
    TrustAlways // the fingerprint is pinned for the site, and the log-in goes on
};

// The one who answers the certificate question: the window asks the operator; a batch has nobody, and refuses.
class TCertificateJudge {
public:
    virtual ~TCertificateJudge() = default;
    virtual TrustAnswer judge(const std::string& siteKey, const std::string& where, const TCertificateInfo& info) = 0;
};

// Why the last operation of a session failed, or why its connection ended: the engine's own words, its kind, and
// for a refusal by the daemon its reply code.
struct SessionFailure {
    FailureKind kind = FailureKind::Other;
    std::string message;
    int replyCode = 0;

    bool failed() const { return !message.empty(); }
};

// The failure an exception of the engine stands for.
SessionFailure sessionFailureOf(const std::exception& error);
// The kind in the words a summary uses: "refused", "time-out", "TLS", "certificate", "lost", "daemon reply", ...
const char* failureKindWord(FailureKind kind);

// One site's session with its daemon, without a window: the FTP client, the site it was started from, the state of
// the connection, the keep-alive, the QUIT watchdog, the certificate decision and, on request, reconnecting after
// a connection dropped while idle. Its operations block in the engine's poll loop, as the client's do, so a window
// drives it on the GUI thread and a batch drives one session per thread; it never touches a widget. What it does
// is told by its signals.
class TSiteSession : public QObject {
    Q_OBJECT

public:
    enum class State { Offline, Connecting, Online, Waiting, Closing };
    Q_ENUM(State)

    explicit TSiteSession(QObject* parent = nullptr);
    ~TSiteSession() override;

    // The site the next log-in goes to. While a connection is open it keeps the site it was opened with.
    void setSite(const std::string& key, const SiteBook::Record& site);
    const std::string& siteKey() const { return siteKey_; }
    const SiteBook::Record& site() const { return site_; }
    QString siteName() const { return QString::fromUtf8(siteKey_.data(), qsizetype(siteKey_.size())); }

    TNMFTP& client() { return *client_; }
    const TNMFTP& client() const { return *client_; }
    State state() const { return state_; }
    // Whether the control connection is open and logged in (a reply may be awaited on it).
    bool online() const { return state_ == State::Online || state_ == State::Waiting; }

    // The certificate question goes to this judge; without one, an unverified certificate that is not pinned ends
    // the log-in with FailureKind::Certificate.
    void setCertificateJudge(TCertificateJudge* judge) { judge_ = judge; }
    // Called with the fingerprint when the judge says to trust a certificate always, before the log-in goes on.
    std::function<void(const std::string& fingerprint)> onPin;

    // Connects and logs in. Raises the engine's error (its kind set) when that fails; the session is then offline
    // and lastFailure() says why.
    void logIn();
    // Logs out with QUIT, but never waits longer than quitTimeout for the answer: the connection is closed then.
    void logOut();
    // Sends one command line and returns its whole reply, line by line without line ends. A 4xx or 5xx reply raises
    // FTPException (the reply's first line), as the client does.
    std::vector<std::string> command(const std::string& line);
    // The reply lines the last command() read, a refused one's included.
    const std::vector<std::string>& lastReply() const { return lastReply_; }
    // Ends the wait under way, and a reconnect that is counting down. A cancelled wait closes the connection, so
    // that its late reply can never be taken for the next command's; with reconnecting on, the session then logs
    // in again as after a drop while idle.
    void cancel();

    // The keep-alive: while online and idle, a NOOP every interval. Its exchange is marked (keepingAlive()) so that
    // a view can keep it off its pages.
    void setKeepAlive(bool on);
    bool keepAliveOn() const { return keepAlive_.isActive(); }
    void setKeepAliveInterval(int seconds);
    QTimer& keepAliveTimer() { return keepAlive_; }
    bool keepingAlive() const { return keepingAlive_; }
    // The keep-alive's tick: a NOOP when online and idle; a failure is reported by failed(), never thrown.
    void keepAliveTick();

    // Reconnecting after a connection that dropped while no operation waited: after 1, 2, 4 ... up to 60 seconds,
    // at most ReconnectTries times. A command that was in flight is never sent again.
    void setReconnect(bool on) { reconnect_ = on; }
    bool reconnecting() const { return reconnectAttempt_ > 0; }
    static constexpr int ReconnectTries = 10;
    static int reconnectDelay(int attempt); // seconds before the attempt'th try (1-based)

    // Milliseconds that logOut waits for the answer to QUIT.
    int quitTimeout = 5000;

    const SessionFailure& lastFailure() const { return lastFailure_; }

    // The log of the conversation: every line that goes or comes while it runs is written to it, passwords hidden.
    // Whoever drives the session starts and stops it, and writes the notes that say why a connection ended.
    TSessionLog& log() { return log_; }
    const TSessionLog& log() const { return log_; }

signals:
    void stateChanged(TSiteSession::State state);
    // The log-in went through: the client's OnConnect, told once per log-in (a reconnect's included).
    void loggedIn();
    // The control connection ended, however it ended (a log-out, a failed log-in, a drop, a cancel).
    void disconnected();
    // The client waits for this command's answer; the empty text when it waits for nothing any more.
    void awaiting(const std::string& command);
    // One line of the conversation as it goes (a password is the receiver's to hide).
    void traffic(bool sent, const std::string& line);
    // An operation of the session itself (the keep-alive, a reconnect) failed.
    void failed(const SessionFailure& failure);
    // The connection ended without a log-out: while idle, or under an operation.
    void connectionLost(const SessionFailure& failure);
    // A reconnect is due in this many seconds: the attempt'th of ReconnectTries. Told once a second.
    void reconnectCountdown(int seconds, int attempt, int tries);
    // The session is online again after a reconnect.
    void reconnected();
    // No reconnect any more: the tries ran out, or it was cancelled (failure.kind Cancelled).
    void reconnectEnded(const SessionFailure& failure);

private:
    void setState(State state);
    // Connects and logs in with the site's values; the state follows, and a failure is kept and raised.
    void connectClient();
    void clientDisconnected();
    void scheduleReconnect();
    void reconnectTick();
    void stopReconnect(const SessionFailure& why);
    void fail(const std::exception& error);

    TNMFTP* client_;
    std::string siteKey_;
    SiteBook::Record site_;
    State state_ = State::Offline;
    TCertificateJudge* judge_ = nullptr;
    QTimer keepAlive_;
    bool keepingAlive_ = false;
    bool closing_ = false;   // a log-out is under way: the connection's end is no loss
    bool cancelled_ = false; // the wait under way was cancelled: the connection's end is the cancel's doing
    bool reconnect_ = false; // reconnect after a connection dropped while idle
    QTimer reconnectTimer_;
    int reconnectAttempt_ = 0; // the try counting down, 0 for none
    int reconnectLeft_ = 0;    // seconds until it starts
    std::vector<std::string> lastReply_;
    std::vector<std::string>* collecting_ = nullptr; // where the reply lines go while command() runs
    SessionFailure lastFailure_;
    TSessionLog log_;
};
