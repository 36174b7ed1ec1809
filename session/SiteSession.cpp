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

// A reply line (it keeps its line end) after which more of its reply follows: it begins with a blank, or its
// fourth character is '-'.
bool continuesReply(const std::string& text)
{
    return !text.empty() && text.back() == '\n' && (text[0] == ' ' || (text.size() >= 4 && text[3] == '-'));
}

// The engine's words for a server that would not speak TLS where it had to; what follows them is its reply.
constexpr std::string_view TlsRefusedWords = "TLS is required, but the server refused AUTH TLS: ";

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
    // The documented names: the client is NMFTP1, the keep-alive's timer Timer1.
    client_->setObjectName(QStringLiteral("NMFTP1"));
    keepAlive_.setObjectName(QStringLiteral("Timer1"));
    client_->CloseOnCancel = true; // no reply is ever left owed on a session's connection
    client_->Port = 21;
    client_->ReportLevel = 2; // the protocol traffic, and nothing of the engine's inner workings
    client_->ParseList = true;
    client_->ProxyPort = 0;
    keepAlive_.setInterval(60000);
    connect(&keepAlive_, &QTimer::timeout, this, &TSiteSession::Timer1Timer);
    reconnectTimer_.setInterval(1000);
    connect(&reconnectTimer_, &QTimer::timeout, this, &TSiteSession::reconnectTick);
    connectEvents();
}

TSiteSession::~TSiteSession()
{
    // The client's events must not reach a session that is going away.
    client_->OnConnect = nullptr;
    client_->OnDisconnect = nullptr;
    client_->OnAwait = nullptr;
    client_->OnTraffic = nullptr;
    client_->OnUntrustedCertificate = nullptr;
    client_->OnStatus = nullptr;
    client_->OnListItem = nullptr;
    client_->OnTransactionStop = nullptr;
}

void TSiteSession::connectEvents()
{
    // Every event of the client is the session's: what its owner needs of them it hears from the session's signals.
    client_->OnConnect = [this](QObject*) {
        spokeTls_ = client_->isSecure();
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
    client_->OnStatus = [this](QObject*, const std::string& text) { statusText(text); };
    client_->OnListItem = [this](const std::string&) {
        // The entry the parser stored for this very line, or none when it stored nothing.
        const TFTPDirectoryList* list = client_->DirectoryList.get();
        const std::optional<TFTPListEntry> entry = list ? list->LastStored() : std::nullopt;
        emit listItem(entry ? &*entry : nullptr);
    };
    client_->OnTransactionStop = [this](QObject*) { emit listingEnded(); };
    client_->OnUntrustedCertificate = [this](const TCertificateInfo& info, bool& trust) {
        judgeCertificate(info, trust);
    };
}

void TSiteSession::statusText(const std::string& text)
{
    // Whether the next line of this reply is in already: then it is told straight after this one, with nothing run
    // in between.
    emit status(text, continuesReply(text) && client_->ReceiveBuffer.find('\n') != ByteQueue::npos);
}

void TSiteSession::judgeCertificate(const TCertificateInfo& info, bool& trust)
{
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
    // A connection that could not be made says why in the socket layer's words: "10061:Connection refused".
    if (lastFailure_.message == "Connection Failed" && client_->LastErrorNo != 0) {
        const std::string text = client_->LookupErrorMessage(client_->LastErrorNo);
        lastFailure_.reason = text.substr(text.find(':') + 1);
    }
}

void TSiteSession::logIn()
{
    if (online() || state_ == State::Connecting)
        return;
    // A log-in by hand takes the place of a reconnect that counts down.
    reconnectTimer_.stop();
    reconnectAttempt_ = 0;
    lastFailure_ = SessionFailure();
    loginFolder_.reset(); // the new log-in may start somewhere else
    connectClient(false);
}

void TSiteSession::connectClient(bool reconnecting)
{
    closing_ = false;
    cancelled_ = false;
    setSite(siteKey_, site_);
    // An "if offered" site goes on in clear text only where that is allowed: never on a reconnect of a session that
    // spoke TLS (an on-path relay refusing AUTH TLS must not get the password), and not where the driver says no.
    const bool tlsOnly =
        site_.security == TFtpSecurity::ExplicitIfOffered && ((reconnecting && spokeTls_) || !clearTextFallback_);
    if (tlsOnly)
        client_->Security = TFtpSecurity::ExplicitRequired;
    setState(State::Connecting);
    try {
        try {
            client_->Connect();
        } catch (const ETlsError& error) {
            if (tlsOnly)
                refuseClearText(error, reconnecting);
            throw;
        }
    } catch (const std::exception& error) {
        fail(error);
        lastFailure_.connecting = true;
        setState(State::Offline);
        throw;
    }
    setState(client_->Connected ? State::Online : State::Offline);
}

void TSiteSession::refuseClearText(const ETlsError& error, bool reconnecting)
{
    const std::string& message = error.message();
    if (message.compare(0, TlsRefusedWords.size(), TlsRefusedWords) != 0)
        return;
    const std::string reply = message.substr(TlsRefusedWords.size());
    throw ETlsError(reconnecting && spokeTls_
                        ? "The server refused AUTH TLS on the reconnect: " + reply +
                              "; this session spoke TLS before, so it sends nothing in clear text"
                        : "The server refused AUTH TLS: " + reply +
                              "; clear text is not allowed here, so the log-in name and password were not sent");
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
    watchdog.start(quitTimeout_);
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

void TSiteSession::send(const std::string& line)
{
    try {
        client_->SendCommand(line);
    } catch (const std::exception& error) {
        fail(error);
        throw;
    }
}

std::vector<std::string> TSiteSession::command(const std::string& line)
{
    lastReply_.clear();
    collecting_ = &lastReply_;
    Finally done([this] { collecting_ = nullptr; });
    send(line);
    return lastReply_;
}

void TSiteSession::list()
{
    try {
        client_->List();
    } catch (const std::exception& error) {
        fail(error);
        throw;
    }
}

void TSiteSession::changeDirectory(const std::string& path)
{
    try {
        client_->ChangeDirectory(path);
    } catch (const std::exception& error) {
        fail(error);
        throw;
    }
}

void TSiteSession::removeDirectory(const std::string& path)
{
    try {
        client_->RemoveDirectory(path);
    } catch (const std::exception& error) {
        fail(error);
        throw;
    }
}

std::string TSiteSession::currentDirectory()
{
    try {
        return client_->CurrentDirectory();
    } catch (const std::exception& error) {
        fail(error);
        throw;
    }
}

const std::string& TSiteSession::loginFolder()
{
    if (loginFolder_)
        return *loginFolder_;
    std::optional<std::string> named;
    {
        askingFolder_ = true;
        Finally done([this] { askingFolder_ = false; });
        try {
            client_->SendCommand("PWD");
            if (client_->ReplyNumber == 257)
                named = TNMFTP::quotedDirectory(client_->TransactionReply);
        } catch (const FTPException&) {
            // A refused PWD names no folder; a lost connection or a cancel still ends the caller's operation.
        }
    }
    if (!named || named->empty() || named->front() != '/')
        named = "/"; // no absolute path to build on: the root, as the tree always assumed
    while (named->size() > 1 && named->back() == '/')
        named->pop_back();
    loginFolder_ = std::move(named);
    return *loginFolder_;
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

void TSiteSession::abandon()
{
    reconnect_ = false;
    stopReconnect(SessionFailure{FailureKind::Cancelled, "Reconnecting cancelled"});
    if (client_->Connected)
        client_->TPowersock::Disconnect();
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

void TSiteSession::Timer1Timer()
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
        connectClient(true);
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
