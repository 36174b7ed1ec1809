#include "session/SiteSession.h"

#include "platform/Finally.h"
#include "platform/PasswordMask.h"
#include "session/Journal.h"

#include <algorithm>
#include <cctype>
#include <map>
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

// The most reply lines and bytes of a "SITE USER" reply kept as a user's before or after, and the most users and
// changes waiting for their after that one log-in keeps: a daemon's endless reply or a script of thousands of users
// cannot make the journal's notes grow without bound.
constexpr std::size_t KeptReplyLines = 1000;
constexpr std::size_t KeptReplyBytes = 256 * 1024;
constexpr std::size_t KeptUsers = 256;
constexpr std::size_t KeptChanges = 1000;

std::vector<std::string_view> wordsOf(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string_view::npos)
            break;
        const std::size_t end = std::min(line.find_first_of(" \t", at), line.size());
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

bool sameWord(std::string_view word, std::string_view upper)
{
    return word.size() == upper.size() && std::equal(word.begin(), word.end(), upper.begin(), [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) == b;
           });
}

// The user a "SITE USER <name>" line asks about; empty for any other line.
std::string askedUser(std::string_view line)
{
    const std::vector<std::string_view> words = wordsOf(line);
    if (words.size() != 3 || !sameWord(words[0], "SITE") || !sameWord(words[1], "USER"))
        return std::string();
    return std::string(words[2]);
}

// The password a line carries: what the mask stands for.
std::string passwordOf(const std::string& line)
{
    const std::string masked = MaskedLine(line);
    return masked == line ? std::string() : line.substr(masked.size() - PasswordMask.size());
}

std::vector<std::string> scrubbed(std::vector<std::string> lines, const std::string& password)
{
    if (password.empty())
        return lines;
    for (std::string& line : lines)
        for (std::size_t at = line.find(password); at != std::string::npos; at = line.find(password, at)) {
            line.replace(at, password.size(), PasswordMask);
            at += PasswordMask.size();
        }
    return lines;
}

} // namespace

// What a session writes to the change journal. A line that can change the daemon's state is begun before it goes and
// completed when its reply is in, with the reply's code and first line, or why none came. The last "SITE USER" reply
// of each user seen in a log-in is the before of the changes to that user that follow, and the next one is their
// after: a change made between two looks at the user (Users Across Sites, a script that asks USER first and last,
// GET iNFO before and after a dialog) shows what it changed.
class TSessionJournal {
public:
    TJournal* journal = &TJournal::shared();

    // A line that goes out whole on an open connection is about to be sent.
    void sending(const std::string& line, const std::string& site, const std::string& host, int port)
    {
        underWay_ = true;
        reply_.clear();
        replyBytes_ = 0;
        id_ = 0;
        password_.clear();
        asked_ = askedUser(line);
        user_.clear();
        if (!journal || !journaled(line))
            return;
        JournalEntry entry;
        entry.site = site;
        entry.host = host;
        entry.port = port;
        entry.line = line;
        user_ = userNamedIn(line);
        if (const auto seen = lastSeen_.find(user_); !user_.empty() && seen != lastSeen_.end())
            entry.before = seen->second;
        password_ = passwordOf(line);
        id_ = journal->begin(entry);
    }

    // A line of the conversation: the reply's lines are kept as far as they are needed.
    void traffic(bool sent, const std::string& line)
    {
        if (!underWay_ || sent)
            return;
        if (reply_.empty() || (!asked_.empty() && reply_.size() < KeptReplyLines && replyBytes_ < KeptReplyBytes)) {
            std::string kept = line;
            while (!kept.empty() && (kept.back() == '\n' || kept.back() == '\r'))
                kept.pop_back();
            replyBytes_ += kept.size();
            reply_.push_back(std::move(kept));
        }
    }

    // The operation that sent the line has ended: answered when the daemon's whole reply was read (a refusal
    // included), failure the words of what ended it otherwise.
    void ended(bool answered, const std::string& failure, bool connected)
    {
        if (!std::exchange(underWay_, false))
            return;
        const int code = reply_.empty() ? 0 : TPowersock::replyCode(reply_.front());
        if (id_ > 0) {
            const JournalOutcome outcome = code > 0 ? outcomeOfReply(code) : JournalOutcome::Failed;
            const std::string first =
                !reply_.empty() ? reply_.front() : (failure.empty() ? std::string("No reply came") : failure);
            journal->complete(id_, code, first, outcome);
            if (!user_.empty() && connected && awaiting_ < KeptChanges) {
                awaitingAfter_[user_].push_back({id_, code, first, outcome, password_});
                ++awaiting_;
            }
        }
        if (!asked_.empty() && answered && code > 0)
            seen(asked_);
    }

    // The log-in ended: what it saw of its users goes with it.
    void forget()
    {
        lastSeen_.clear();
        awaitingAfter_.clear();
        awaiting_ = 0;
    }

private:
    struct Change {
        std::int64_t id;
        int code;
        std::string first;
        JournalOutcome outcome;
        std::string password;
    };

    // The user's reply came: it is the after of the changes that waited for it, and the before of those to come.
    void seen(const std::string& user)
    {
        if (const auto waiting = awaitingAfter_.find(user); waiting != awaitingAfter_.end()) {
            for (const Change& c : waiting->second)
                journal->complete(c.id, c.code, c.first, c.outcome, scrubbed(reply_, c.password));
            awaiting_ -= waiting->second.size();
            awaitingAfter_.erase(waiting);
        }
        if (lastSeen_.size() >= KeptUsers && !lastSeen_.count(user))
            lastSeen_.clear();
        lastSeen_[user] = reply_;
    }

    bool underWay_ = false;
    std::int64_t id_ = 0;
    std::string user_;     // the user the journaled line names
    std::string asked_;    // the user a "SITE USER" line asks about
    std::string password_; // the password the journaled line carries
    std::vector<std::string> reply_;
    std::size_t replyBytes_ = 0;
    std::map<std::string, std::vector<std::string>> lastSeen_;
    std::map<std::string, std::vector<Change>> awaitingAfter_;
    std::size_t awaiting_ = 0;
};

SessionFailure sessionFailureOf(const std::exception& error)
{
    SessionFailure failure;
    if (const auto* own = dynamic_cast<const Exception*>(&error)) {
        failure.kind = own->kind();
        failure.message = own->message();
    } else {
        failure.message = error.what();
    }
    if (const auto* proxy = dynamic_cast<const EProxyError*>(&error))
        failure.proxyStage = proxy->stage();
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
    : QObject(parent), client_(new TNMFTP(this)), keepAlive_(this), reconnectTimer_(this),
      journal_(std::make_unique<TSessionJournal>())
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
        journal_->traffic(sent, line);
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

void TSiteSession::setJournal(TJournal* journal)
{
    journal_->forget(); // the changes waiting for their after were begun in the other journal
    journal_->journal = journal;
}

void TSiteSession::journaled(const std::string& line, const std::function<void()>& operation)
{
    // Only a line that goes out is journaled: not one the engine refuses to send, nor one without a connection.
    bool goes = client_->Connected;
    try {
        TPowersock::checkLine(line, "The command");
    } catch (const ELineError&) {
        goes = false;
    }
    if (goes)
        journal_->sending(line, siteKey_, site_.host, client_->Port);
    try {
        operation();
    } catch (const FTPException& refusal) {
        fail(refusal);
        journal_->ended(true, lastFailure_.message, client_->Connected);
        throw;
    } catch (const std::exception& error) {
        fail(error);
        journal_->ended(false, lastFailure_.message, client_->Connected);
        throw;
    }
    journal_->ended(true, std::string(), client_->Connected);
}

void TSiteSession::send(const std::string& line)
{
    journaled(line, [&] { client_->SendCommand(line); });
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
    journaled("RMD " + path, [&] { client_->RemoveDirectory(path); });
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
    journal_->forget();
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
