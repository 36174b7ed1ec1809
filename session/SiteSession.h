#pragma once

#include "ftp/NMFtp.h"
#include "session/SessionLog.h"
#include "sitebook/SiteBook.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TJournal;
class TSessionJournal;

// The engine's types that the views of a session use, handed on by the session: nothing above session/ includes
// ftp/ itself.
using TListEntry = TFTPListEntry; // one entry of a listing the session parsed, valid while the signal runs

// Refuses (ELineError) a command line that cannot go out whole as one line; what names it ("The command").
inline void checkCommandLine(std::string_view line, std::string_view what)
{
    TPowersock::checkLine(line, what);
}

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
    // For a connection that could not be made, the socket layer's own reason ("Connection refused"); else empty.
    std::string reason = {};
    // The failure came while the control connection was made or logged in (not later, on a data connection, say).
    bool connecting = false;
    // Where a connection through the site's proxy stopped, for a failure at the proxy's hop; none for the others.
    std::optional<ProxyStage> proxyStage = {};

    bool failed() const { return !message.empty(); }
};

// The failure an exception of the engine stands for.
SessionFailure sessionFailureOf(const std::exception& error);
// The kind in the words a summary uses: "refused", "time-out", "TLS", "certificate", "lost", "daemon reply", ...
const char* failureKindWord(FailureKind kind);

// One site's session with its daemon, without a window: the FTP client (NMFTP1, which nobody above the session
// touches), the site it was started from, the state of the connection, the keep-alive, the QUIT watchdog, the
// certificate decision and, on request, reconnecting after a connection dropped while idle. Its operations block in
// the engine's poll loop, as the client's do, so a window drives it on the GUI thread and a batch drives one session
// per thread; it never touches a widget. What it does is told by its signals: every status text of the
// conversation, every listing entry, every change of state.
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

    // The client itself, for the session's own folder (the batch): everything else goes through the session.
    TNMFTP& client() { return *client_; }
    State state() const { return state_; }
    // Whether the control connection is open and logged in (a reply may be awaited on it).
    bool online() const { return state_ == State::Online || state_ == State::Waiting; }
    // Whether the control connection is open at all: logged in, or still logging in or out.
    bool connected() const { return client_->Connected; }
    // Whether an operation waits in the engine: then no other may start.
    bool busy() const { return client_->isBusy(); }

    // The certificate question goes to this judge; without one, an unverified certificate that is not pinned ends
    // the log-in with FailureKind::Certificate.
    void setCertificateJudge(TCertificateJudge* judge) { judge_ = judge; }
    // Called with the fingerprint when the judge says to trust a certificate always, before the log-in goes on.
    std::function<void(const std::string& fingerprint)> onPin;
    // Whether a site whose security is "explicit TLS if offered" may go on in clear text when its server refuses
    // AUTH TLS (the default, as the window has always done, saying so). Off, such a log-in fails before the log-in
    // name is sent. A reconnect after a log-in over TLS never goes on in clear text, whatever this says.
    void setClearTextFallback(bool allowed) { clearTextFallback_ = allowed; }

    // Connects and logs in. Raises the engine's error (its kind set) when that fails; the session is then offline
    // and lastFailure() says why.
    void logIn();
    // Logs out with QUIT, but never waits longer than the QUIT time-out for the answer: the connection is closed
    // then.
    void logOut();
    void setQuitTimeout(int milliseconds) { quitTimeout_ = milliseconds; }
    // Sends one command line and returns its whole reply, line by line without line ends. A 4xx or 5xx reply raises
    // FTPException (the reply's first line), as the client does.
    std::vector<std::string> command(const std::string& line);
    // Sends one command line; its reply is told line by line (status) and not kept. Raises as command() does.
    void send(const std::string& line);
    // The reply lines the last command() read, a refused one's included.
    const std::vector<std::string>& lastReply() const { return lastReply_; }
    // Ends the wait under way, and a reconnect that is counting down. A cancelled wait closes the connection, so
    // that its late reply can never be taken for the next command's; with reconnecting on, the session then logs
    // in again as after a drop while idle.
    void cancel();
    // Closes the connection at once, without a word to the daemon: whoever drives the session is going away.
    void abandon();

    // The file area: a listing of the current directory (its entries told by listItem, its end by listingEnded),
    // changing and removing directories, and where the daemon stands now (PWD).
    void list();
    void changeDirectory(const std::string& path);
    void removeDirectory(const std::string& path);
    std::string currentDirectory();
    // The folder this log-in started in: what PWD named ("/" for a refused or unreadable reply), asked the first
    // time it is wanted. Until then nothing has changed the directory: the daemon still stands where the log-in put
    // it.
    const std::string& loginFolder();

    // The keep-alive, Timer1: while online and idle, a NOOP every interval. Its exchange, and the session's own PWD
    // for the log-in folder, are marked (ownExchange()) so that a view can keep them off its pages.
    void setKeepAlive(bool on);
    void setKeepAliveInterval(int seconds);
    // Sends the keep-alive NOOP now, as the keep-alive timer does (for owners that keep their own time).
    void keepAliveTick() { Timer1Timer(); }
    bool keepingAlive() const { return keepingAlive_; }
    bool ownExchange() const { return keepingAlive_ || askingFolder_; }

    // Reconnecting after a connection that dropped while no operation waited: after 1, 2, 4 ... up to 60 seconds,
    // at most ReconnectTries times. A command that was in flight is never sent again.
    void setReconnect(bool on) { reconnect_ = on; }
    bool reconnecting() const { return reconnectAttempt_ > 0; }
    static constexpr int ReconnectTries = 10;
    static int reconnectDelay(int attempt); // seconds before the attempt'th try (1-based)

    const SessionFailure& lastFailure() const { return lastFailure_; }

    // The log of the conversation: every line that goes or comes while it runs is written to it, passwords hidden.
    // Whoever drives the session starts and stops it, and writes the notes that say why a connection ended.
    TSessionLog& log() { return log_; }

    // The change journal every line sent that can change the daemon's state is written to: begun before the line
    // goes, completed when its reply is in (TJournal::shared() unless set; nullptr: none). A user's "SITE USER" reply
    // seen in a log-in goes with the changes to that user that follow as their before, and the next one as their
    // after; nothing is ever sent for the journal's sake.
    void setJournal(TJournal* journal);

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
    // One status text of the conversation: a command line sent (without a line end), a reply line (with its own),
    // or the engine's word on what it does. moreAtHand: more lines of the same reply have come in already, so the
    // next one follows at once.
    void status(const std::string& text, bool moreAtHand);
    // One line of a listing came: its parsed entry, or null for a line that holds none (the total line, say).
    void listItem(const TListEntry* entry);
    // A listing is complete.
    void listingEnded();
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
    // Timer1's tick: a NOOP when online and idle (a tick that falls inside another operation's wait sends nothing);
    // a failure is reported by failed(), never thrown.
    void Timer1Timer();
    void setState(State state);
    void connectEvents();
    void statusText(const std::string& text);
    void judgeCertificate(const TCertificateInfo& info, bool& trust);
    // Connects and logs in with the site's values; the state follows, and a failure is kept and raised. A log-in
    // that must not go on in clear text asks for TLS whatever the site's security says.
    void connectClient(bool tlsOnly);
    void refuseClearText(const ETlsError& error, bool reconnecting);
    void clientDisconnected();
    void scheduleReconnect();
    void reconnectTick();
    void stopReconnect(const SessionFailure& why);
    void fail(const std::exception& error);
    // Runs the operation that sends this line, journaled when the line can change the daemon's state.
    void journaled(const std::string& line, const std::function<void()>& operation);

    TNMFTP* client_;
    std::string siteKey_;
    SiteBook::Record site_;
    State state_ = State::Offline;
    TCertificateJudge* judge_ = nullptr;
    QTimer keepAlive_;
    bool keepingAlive_ = false;
    bool askingFolder_ = false;              // the log-in folder's PWD is under way
    std::optional<std::string> loginFolder_; // none until asked in this log-in
    int quitTimeout_ = 5000;                 // milliseconds logOut waits for the answer to QUIT
    bool closing_ = false;                   // a log-out is under way: the connection's end is no loss
    bool cancelled_ = false;                 // the wait under way was cancelled: its end is the cancel's doing
    bool reconnect_ = false;                 // reconnect after a connection dropped while idle
    bool clearTextFallback_ = true;          // an "if offered" site may go on in clear text
    bool spokeTls_ = false;                  // the last log-in went over TLS
    QTimer reconnectTimer_;
    int reconnectAttempt_ = 0; // the try counting down, 0 for none
    int reconnectLeft_ = 0;    // seconds until it starts
    std::vector<std::string> lastReply_;
    std::vector<std::string>* collecting_ = nullptr; // where the reply lines go while command() runs
    SessionFailure lastFailure_;
    TSessionLog log_;
    std::unique_ptr<TSessionJournal> journal_;
};
