#include "session/SiteSession.h"

#include "platform/Finally.h"

#include <algorithm>
#include <utility>

namespace {

std::string withoutLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

} // namespace

SessionFailure sessionFailureOf(const std::exception& error)
{
    SessionFailure failure;
    if (const auto* own = dynamic_cast<const Exception*>(&error)) {
        failure.kind = own->kind();
        failure.message = own->message();
    } else {
        failure.message = error.what();
    }
    if (failure.kind == FailureKind::DaemonReply)
        failure.replyCode = TPowersock::replyCode(failure.message);
    if (failure.message.empty())
        failure.message = "Unknown error";
    return failure;
}

const char* failureKindWord(FailureKind kind)
{
    switch (kind) {
    case FailureKind::Lookup:
        return "host not found";
    case FailureKind::Refused:
        return "refused";
    case FailureKind::Unreachable:
        return "unreachable";
    case FailureKind::TimedOut:
        return "time-out";
    case FailureKind::Cancelled:
        return "cancelled";
    case FailureKind::Tls:
        return "TLS";
    case FailureKind::Certificate:
        return "certificate";
    case FailureKind::Lost:
        return "lost";
    case FailureKind::DaemonReply:
        return "daemon reply";
    case FailureKind::Line:
        return "line refused";
    case FailureKind::Other:
        break;
    }
    return "error";
}

TSiteSession::TSiteSession(QObject* parent)
    : QObject(parent), client_(new TNMFTP(this)), keepAlive_(this), reconnectTimer_(this)
{
    client_->CloseOnCancel = true; // no reply is ever left owed on a session's connection
    keepAlive_.setInterval(60000);
    connect(&keepAlive_, &QTimer::timeout, this, &TSiteSession::keepAliveTick);
    reconnectTimer_.setInterval(1000);
    connect(&reconnectTimer_, &QTimer::timeout, this, &TSiteSession::reconnectTick);

    client_->OnConnect = [this](QObject*) {
        setState(State::Online);
        emit loggedIn();
    };
    client_->OnDisconnect = [this](QObject*) { clientDisconnected(); };
    client_->OnAwait = [this](const std::string& command) {
        // The log-in's own commands are part of connecting; afterwards a command awaited is the session waiting.
        if (state_ == State::Online && !command.empty())
            setState(State::Waiting);
        else if (state_ == State::Waiting && command.empty())
            setState(client_->Connected ? State::Online : State::Offline);
        emit awaiting(command);
    };
    client_->OnTraffic = [this](bool sent, const std::string& line) {
        log_.line(sent, line);
        if (!sent && collecting_)
            collecting_->push_back(withoutLineEnd(line));
        emit traffic(sent, line);
    };
    client_->OnUntrustedCertificate = [this](const TCertificateInfo& info, bool& trust) {
        if (!judge_)
            return; // nobody to ask: refused
        try {
            const std::string where = client_->Host + ":" + std::to_string(client_->Port);
            const TrustAnswer answer = judge_->judge(siteKey_, where, info);
            if (answer == TrustAnswer::TrustAlways) {
                // Pinned before the log-in goes on, so that the decision holds even if the log-in itself fails.
                if (onPin)
                    onPin(info.sha256Fingerprint);
                site_.certificate = info.sha256Fingerprint;
                client_->PinnedFingerprint = info.sha256Fingerprint;
            }
            trust = answer != TrustAnswer::Refuse;
        } catch (...) {
            trust = false; // a question that could not be asked or a pin that could not be kept refuses
        }
    };
}

TSiteSession::~TSiteSession()
{
    // The client's events must not reach a session that is going away.
    client_->OnConnect = nullptr;
    client_->OnDisconnect = nullptr;
    client_->OnAwait = nullptr;
    client_->OnTraffic = nullptr;
    client_->OnUntrustedCertificate = nullptr;
}

void TSiteSession::setSite(const std::string& key, const SiteBook::Record& site)
{
    siteKey_ = key;
    site_ = site;
    if (!online() && state_ != State::Connecting)
        SiteBook::loadInto(*client_, site);
}

void TSiteSession::setState(State state)
{
    if (state == state_)
        return;
    state_ = state;
    emit stateChanged(state);
}

void TSiteSession::fail(const std::exception& error)
{
    lastFailure_ = sessionFailureOf(error);
}

void TSiteSession::logIn()
{
    if (online() || state_ == State::Connecting)
        return;
    // A log-in by hand takes the place of a reconnect that counts down.
    reconnectTimer_.stop();
    reconnectAttempt_ = 0;
    lastFailure_ = SessionFailure();
    connectClient();
}

void TSiteSession::connectClient()
{
    closing_ = false;
    cancelled_ = false;
    setSite(siteKey_, site_);
    setState(State::Connecting);
    try {
        client_->Connect();
    } catch (const std::exception& error) {
        fail(error);
        setState(State::Offline);
        throw;
    }
    setState(client_->Connected ? State::Online : State::Offline);
}

void TSiteSession::logOut()
{
    if (reconnecting())
        stopReconnect(SessionFailure{FailureKind::Cancelled, "Reconnecting cancelled"});
    if (!client_->Connected) {
        setState(State::Offline);
        return;
    }
    closing_ = true;
    setState(State::Closing);
    Finally done([this] {
        closing_ = false;
        setState(State::Offline);
    });
    // A daemon that never answers QUIT must not keep anyone waiting: the watchdog cancels the wait, and the socket
    // is closed whatever happened.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, client_, [this] { client_->Cancel(); });
    watchdog.start(quitTimeout);
    try {
        client_->Disconnect();
    } catch (const std::exception& error) {
        fail(error);
        if (client_->Connected)
            client_->TPowersock::Disconnect();
        throw;
    }
    if (client_->Connected)
        client_->TPowersock::Disconnect();
}

std::vector<std::string> TSiteSession::command(const std::string& line)
{
    lastReply_.clear();
    collecting_ = &lastReply_;
    Finally done([this] { collecting_ = nullptr; });
    try {
        client_->SendCommand(line);
    } catch (const std::exception& error) {
        fail(error);
        throw;
    }
    return lastReply_;
}

void TSiteSession::cancel()
{
    if (reconnecting())
        stopReconnect(SessionFailure{FailureKind::Cancelled, "Reconnecting cancelled"});
    if (client_->isBusy()) {
        cancelled_ = online();
        client_->Cancel();
        client_->Abort();
    }
}

void TSiteSession::setKeepAlive(bool on)
{
    if (on)
        keepAlive_.start();
    else
        keepAlive_.stop();
}

void TSiteSession::setKeepAliveInterval(int seconds)
{
    keepAlive_.setInterval(std::clamp(seconds, 1, 86400) * 1000); // within a day, so the milliseconds fit
}

void TSiteSession::keepAliveTick()
{
    // A tick that falls inside another operation's wait sends nothing; the next one will.
    if (state_ != State::Online || client_->isBusy())
        return;
    keepingAlive_ = true;
    Finally done([this] { keepingAlive_ = false; });
    try {
        client_->SendCommand("NOOP");
    } catch (const std::exception& error) {
        fail(error);
        emit failed(lastFailure_);
    }
}

void TSiteSession::clientDisconnected()
{
    emit disconnected();
    const State was = state_;
    if (std::exchange(cancelled_, false) && !closing_) {
        // The operator ended a wait, and the connection went with it: no loss, but it comes back when asked to.
        lastFailure_ = SessionFailure{FailureKind::Cancelled, "the wait was cancelled", 0};
        setState(State::Offline);
        if (reconnect_)
            scheduleReconnect();
        return;
    }
    if (closing_ || was == State::Offline || was == State::Connecting) {
        // A log-out, or a log-in that failed: the caller of logIn hears why.
        if (was != State::Connecting && !closing_)
            setState(State::Offline);
        return;
    }
    SessionFailure lost;
    lost.kind = FailureKind::Lost;
    lost.message = client_->LastErrorNo == 10054 ? "the connection was reset" : "the server closed the connection";
    lastFailure_ = lost;
    setState(State::Offline);
    emit connectionLost(lost);
    // Only a connection that dropped while idle comes back by itself: a command in flight is never repeated.
    if (reconnect_ && was == State::Online)
        scheduleReconnect();
}

int TSiteSession::reconnectDelay(int attempt)
{
    return attempt >= 7 ? 60 : 1 << (attempt - 1);
}

void TSiteSession::scheduleReconnect()
{
    if (++reconnectAttempt_ > ReconnectTries) {
        stopReconnect(lastFailure_);
        return;
    }
    reconnectLeft_ = reconnectDelay(reconnectAttempt_);
    reconnectTimer_.start();
    emit reconnectCountdown(reconnectLeft_, reconnectAttempt_, ReconnectTries);
}

void TSiteSession::reconnectTick()
{
    if (--reconnectLeft_ > 0) {
        emit reconnectCountdown(reconnectLeft_, reconnectAttempt_, ReconnectTries);
        return;
    }
    reconnectTimer_.stop();
    if (client_->isBusy())
        return; // cannot happen while offline; never start a second operation on the client
    try {
        connectClient();
    } catch (const std::exception&) {
        emit failed(lastFailure_);
        // A certificate refused or a wait cancelled will not change by trying again.
        if (lastFailure_.kind == FailureKind::Certificate || lastFailure_.kind == FailureKind::Cancelled)
            stopReconnect(lastFailure_);
        else
            scheduleReconnect();
        return;
    }
    reconnectAttempt_ = 0;
    emit reconnected();
}

void TSiteSession::stopReconnect(const SessionFailure& why)
{
    reconnectTimer_.stop();
    if (reconnectAttempt_ == 0)
        return;
    reconnectAttempt_ = 0;
    emit reconnectEnded(why);
}
