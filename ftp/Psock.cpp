#include "ftp/Psock.h"

#include "platform/PollLoop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

// Failures inside the socket notifications: they end the notification, never the program, and are logged here.
Q_LOGGING_CATEGORY(lcSocket, "kolvane.socket")

struct ErrorText {
    int code;
    const char* text;
};

// The socket error numbers and the texts the operator sees for them.
constexpr ErrorText errorTable[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
};
static_assert(std::size(errorTable) == 50);

// The socket library is started by the first socket object and shut down with the last one; batch sessions make and
// end their sockets on threads of their own.
std::atomic<int> startupCount = 0;

std::string versionText(int version)
{
    return std::to_string((version >> 8) & 255) + "." + std::to_string(version & 255);
}

using Clock = std::chrono::steady_clock;

// The kind of a socket error number: what the operator can do about it differs between a port where nothing
// listens, a host that cannot be reached and a connection that went away.
FailureKind socketFailureKind(int code)
{
    switch (code) {
    case 10061:
        return FailureKind::Refused;
    case 10060:
        return FailureKind::TimedOut;
    case SocketErrors::ConnectionReset:
    case SocketErrors::ConnectionAborted:
    case SocketErrors::NotConnected:
        return FailureKind::Lost;
    case 10050:
    case 10051:
    case 10064:
    case 10065:
        return FailureKind::Unreachable;
    case SocketErrors::HostNotFound:
    case SocketErrors::TryAgain:
    case SocketErrors::NoRecovery:
    case SocketErrors::NoData:
        return FailureKind::Lookup;
    default:
        return FailureKind::Other;
    }
}

} // namespace

std::string secondsText(std::int32_t milliseconds)
{
    if (milliseconds % 1000 == 0)
        return std::to_string(milliseconds / 1000) + (milliseconds == 1000 ? " second" : " seconds");
    char text[32];
    std::snprintf(text, sizeof text, "%g seconds", milliseconds / 1000.0);
    return text;
}

std::string noAnswerMessage(std::int32_t milliseconds)
{
    return "No answer from the server in " + secondsText(milliseconds);
}

// ---------------------------------------------------------------------------------------------------------------
// TThreadTimer

TThreadTimer::TThreadTimer(QObject* Owner) : QObject(Owner)
{
    timer_.setSingleShot(false);
    connect(&timer_, &QTimer::timeout, this, &TThreadTimer::expired);
}

void TThreadTimer::SetEnabled(bool value)
{
    enabled_ = value;
    updateTimer();
}

void TThreadTimer::SetInterval(std::uint32_t milliseconds)
{
    interval_ = milliseconds;
    updateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler)
{
    onTimer_ = std::move(handler);
    updateTimer();
}

void TThreadTimer::updateTimer()
{
    timer_.stop();
    if (interval_ == 0 || !enabled_ || !onTimer_)
        return;
    // Timers need the thread's event dispatcher; without one there is no timer to be had.
    if (!QAbstractEventDispatcher::instance(thread()))
        throw Exception("No Timer");
    timer_.start(int(std::min<std::uint32_t>(interval_, std::uint32_t(INT32_MAX))));
}

void TThreadTimer::expired()
{
    if (!onTimer_)
        return;
    // An exception must never cross into the event dispatch: the handler's failure ends the handler, nothing more.
    try {
        const TNotifyEvent handler = onTimer_;
        handler(this);
    } catch (const std::exception& e) {
        qCWarning(lcSocket, "Timer handler failed: %s", e.what());
    } catch (...) {
        qCWarning(lcSocket, "Timer handler failed");
    }
}

// ---------------------------------------------------------------------------------------------------------------
// ByteQueue

std::size_t ByteQueue::find(char c, std::size_t from) const
{
    if (from >= size())
        return npos;
    const void* hit = std::memchr(data() + from, c, size() - from);
    return hit ? std::size_t(static_cast<const char*>(hit) - data()) : npos;
}

void ByteQueue::append(const char* bytes, std::size_t count)
{
    if (start_ > 0 && start_ >= bytes_.size() - start_) {
        bytes_.erase(0, start_);
        start_ = 0;
    }
    bytes_.append(bytes, count);
}

std::string ByteQueue::take(std::size_t count)
{
    count = std::min(count, size());
    std::string out(data(), count);
    drop(count);
    return out;
}

void ByteQueue::drop(std::size_t count)
{
    start_ += std::min(count, size());
    if (start_ == bytes_.size()) {
        bytes_.clear();
        start_ = 0;
    }
}

void ByteQueue::clear()
{
    bytes_.clear();
    start_ = 0;
}

// ---------------------------------------------------------------------------------------------------------------
// TPowersock: creation and destruction

TPowersock::TPowersock(QObject* Owner) : QObject(Owner)
{
    Proxy.clear();
    timer_ = std::make_unique<TThreadTimer>(this);
    timer_->SetEnabled(false);
    timer_->SetOnTimer([this](QObject*) { timerExpired(); });
    Canceled = false;
    Connected = false;
    destroying_ = false;
    InitSockets();
}

void TPowersock::InitSockets()
{
    ReportStatus(StatusLevel::Operations, "Initializing Winsock");
    if (++startupCount == 1) {
        const SocketLibraryInfo info = socketLibraryInfo();
        SocketInfo = {
            "Version= " + versionText(info.version),
            "High Version= " + versionText(info.highVersion),
            "Description= " + info.description,
            "System= " + info.systemStatus,
            "Max Sockets= " + std::to_string(info.maxSockets),
            "Max Udp pack size= " + std::to_string(info.maxDatagram),
        };
    }
    if (socket_.open(true)) {
        watchSocket();
        return;
    }
    // Out of descriptors (or of the memory for one), the component is made all the same, without a socket: the
    // connection that wants one fails when it asks (Connect, Listen), naming why, rather than the making of the
    // object, which would take down whoever made it (a batch of sessions, each on a thread of its own).
    const int code = lastSocketError();
    if (code == SocketErrors::TooManyFiles || code == SocketErrors::NoBuffers)
        return;
    --startupCount;
    throw ESockError("Initializaton of windows sockets failed");
}

TPowersock::~TPowersock()
{
    // Nothing is reported and no event fires from here on: the owner may be half torn down already.
    destroying_ = true;
    Canceled = true;
    lookup_.reset();
    timer_.reset();
    try {
        RequestCloseSocket();
    } catch (...) {
    }
    --startupCount;
}

// ---------------------------------------------------------------------------------------------------------------
// Reports and errors

void TPowersock::ReportStatus(int level, const std::string& text)
{
    if (ReportLevel < level)
        return;
    Status = text;
    if (!destroying_ && OnStatus)
        OnStatus(this, Status);
}

std::string TPowersock::LookupErrorMessage(int code)
{
    ReportStatus(StatusLevel::Operations, "Looking Up Error Message");
    if (code == 0)
        return std::string();
    for (const auto& entry : errorTable)
        if (entry.code == code)
            return std::to_string(code) + ":" + entry.text;
    return "Unknown Error No. " + std::to_string(code);
}

std::string TPowersock::CheckError(int expected)
{
    ReportStatus(StatusLevel::Errors, "Checking Error In Error Manager");
    LastErrorNo = lastSocketError();
    if (LastErrorNo == expected)
        return std::string();
    const std::string text = LookupErrorMessage(LastErrorNo);
    if (OnError && !destroying_)
        OnError(this, std::uint16_t(LastErrorNo), text);
    throw ESockError(text, socketFailureKind(LastErrorNo));
}

std::int16_t TPowersock::replyCode(std::string_view line)
{
    std::int64_t value = 0;
    for (std::size_t i = 0; i < line.size() && i < 10 && line[i] >= '0' && line[i] <= '9'; ++i)
        value = value * 10 + (line[i] - '0');
    return std::int16_t(std::min<std::int64_t>(value, 32767));
}

// ---------------------------------------------------------------------------------------------------------------
// Notifications

void TPowersock::watchSocket()
{
    socket_.watch([this](SocketEvent kind, int error) { dispatch(kind, error); });
    suspended_ = false;
}

bool TPowersock::freshSocket(bool lingerZero)
{
    if (!socket_.open(lingerZero))
        return false;
    watchSocket();
    return true;
}

void TPowersock::dispatch(SocketEvent kind, int error)
{
    // Nothing raised while handling a notification may escape into the event dispatch.
    ++notifications_;
    try {
        Succeeded = (error == 0);
        switch (kind) {
        case SocketEvent::Read:
            ReadToStream();
            break;
        case SocketEvent::Write:
            WriteFromStream();
            break;
        case SocketEvent::Connect:
            connectNotified_ = true;
            connectSucceeded_ = Succeeded;
            if (!Succeeded)
                LastErrorNo = error;
            if (Succeeded) {
                Connected = true;
                // Through a proxy the connection is the site's only once the tunnel stands.
                if (OnConnect && !destroying_ && !tunnelPending_)
                    OnConnect(this);
            }
            break;
        case SocketEvent::Close: {
            char chunk[ChunkSize];
            while (!Canceled) {
                const long n = socket_.receiveBytes(chunk, sizeof chunk);
                if (n <= 0)
                    break;
                ReceiveBuffer.append(chunk, std::size_t(n));
                BytesRecvd += n;
                noteActivity();
            }
            tlsUncleanEnd_ = socket_.endedWithoutCloseNotify();
            Connected = false;
            RequestCloseSocket();
            break;
        }
        case SocketEvent::Secured:
            tlsSettled_ = true;
            if (TlsChannel* tls = socket_.tls(); tls && Succeeded) {
                secure_ = tlsEstablished_ = true;
                tlsCertificate_ = tls->peerCertificate();
                tlsDescription_ = tls->description();
                tlsResumed_ = tls->sessionReused();
            } else if (tls && !tls->errorText().empty()) {
                tlsFailure_ = tls->errorText();
            } else {
                tlsFailure_ = LookupErrorMessage(error);
            }
            break;
        case SocketEvent::Accept:
            DataGate = true;
            Connected = true;
            break;
        case SocketEvent::OutOfBand:
            break;
        }
    } catch (const std::exception& e) {
        qCWarning(lcSocket, "Socket notification failed: %s", e.what());
    } catch (...) {
        qCWarning(lcSocket, "Socket notification failed");
    }
}

void TPowersock::postReadMore()
{
    // One request at a time: a wait that reads the socket itself may take many full chunks before the event loop
    // comes round, and a pile of requests would then read them all into the buffer at once.
    if (std::exchange(readMorePosted_, true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            readMorePosted_ = false;
            try {
                if (socket_.isOpen() && !socket_.isIdle())
                    ReadToStream();
            } catch (const std::exception& e) {
                qCWarning(lcSocket, "Reading more failed: %s", e.what());
            } catch (...) {
                qCWarning(lcSocket, "Reading more failed");
            }
        },
        Qt::QueuedConnection);
}

void TPowersock::postSendMore()
{
    if (std::exchange(sendMorePosted_, true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            sendMorePosted_ = false;
            try {
                WriteFromStream();
            } catch (const std::exception& e) {
                qCWarning(lcSocket, "Sending more failed: %s", e.what());
            } catch (...) {
                qCWarning(lcSocket, "Sending more failed");
            }
        },
        Qt::QueuedConnection);
}

void TPowersock::ReadToStream()
{
    if (Canceled) {
        // A cancelled socket stops listening; this read still takes place. The next operation that clears
        // Canceled starts the notifications again (clearCanceled), so a later close is not missed.
        socket_.unwatch();
        suspended_ = true;
    }
    if (busy_)
        return;
    busy_ = true;
    bool arrived = false;
    try {
        ReportStatus(StatusLevel::Operations, "ReadToStream");
        char chunk[ChunkSize];
        const long n = socket_.receiveBytes(chunk, sizeof chunk);
        if (n < 0) {
            LastErrorNo = lastSocketError();
            const std::string text = LookupErrorMessage(LastErrorNo);
            if (OnError && !destroying_)
                OnError(this, std::uint16_t(LastErrorNo), text);
        } else {
            ReceiveBuffer.append(chunk, std::size_t(n));
            BytesRecvd += n;
            arrived = n > 0;
            if (arrived)
                noteActivity();
            // A full chunk may have left more behind: come back through the event loop rather than loop here.
            if (std::size_t(n) == ChunkSize)
                postReadMore();
            if (ReceiveBuffer.size() > MaxUnreadBytes) {
                // Nobody can take what this peer sends: drop it and the connection before memory runs out.
                overflowed_ = true;
                ReceiveBuffer.clear();
                arrived = false;
                busy_ = false;
                RequestCloseSocket();
                return;
            }
        }
    } catch (...) {
        busy_ = false;
        throw;
    }
    busy_ = false;
    // A proxy's answer is no reply of the server's, whatever its first bytes.
    if (arrived && arrivalHook && !tunnelling_)
        arrivalHook();
}

void TPowersock::WriteFromStream()
{
    if (busy_)
        return;
    busy_ = true;
    try {
        ReportStatus(StatusLevel::Operations, "WriteFromStream");
        if (SendQueue.empty()) {
            // Nothing (left) to send is a finished send; otherwise an empty send would wait forever.
            sendComplete_ = true;
        } else if (!Canceled) {
            const std::size_t count = std::min(SendQueue.size(), ChunkSize);
            const long n = socket_.sendBytes(SendQueue.data(), count);
            if (n < 0) {
                // The bytes stay queued for the next write notification.
                LastErrorNo = lastSocketError();
            } else {
                BytesSent += n;
                if (n > 0)
                    noteActivity();
                SendQueue.drop(std::size_t(n));
                if (SendQueue.empty())
                    sendComplete_ = true;
                else
                    postSendMore();
            }
        }
    } catch (...) {
        busy_ = false;
        throw;
    }
    busy_ = false;
}

void TPowersock::waitTurn(Clock::time_point deadline)
{
    if (EventsDue()) {
        PumpEvents();
        return;
    }
    // The sockets' own readiness, straight to them: the control connection's reply or a listing's next chunk is
    // taken the moment it comes, not after whatever else the application has queued.
    TPowersock* const watched[2] = {this, waitAlso};
    WaitHandle handles[2];
    TPowersock* owners[2] = {};
    std::size_t count = 0;
    for (TPowersock* s : watched) {
        if (!s)
            continue;
        if (s->socket_.inputHeld()) {
            s->socket_.serviceHeldInput();
            return;
        }
        if (s->socket_.waitHandle(handles[count]))
            owners[count++] = s;
    }
    if (count == 0) {
        // Nothing a socket can announce (a notification the layer posted to itself, say): the event loop's turn.
        PollWait(deadline);
        return;
    }
    // Away from the main thread the event queue announces the sockets as well as everything else, so only what is
    // ready already is taken here; the main thread sleeps on its sockets until its window's events are due.
    const bool onEvents = WaitsSleepOnEvents();
    const int sleepMs = onEvents ? 0 : std::min(MillisecondsUntilEventsDue(), MillisecondsUntil(deadline));
    if (WaitForHandles(handles, count, sleepMs)) {
        for (std::size_t i = 0; i < count; ++i)
            owners[i]->socket_.serviceReadiness(handles[i]);
        return;
    }
    if (onEvents)
        PollWait(deadline);
}

void TPowersock::serviceNow()
{
    if (socket_.inputHeld()) {
        socket_.serviceHeldInput();
        return;
    }
    WaitHandle handle;
    if (socket_.waitHandle(handle) && WaitForHandles(&handle, 1, 0))
        socket_.serviceReadiness(handle);
}

Clock::time_point TPowersock::answerDeadline(Clock::time_point waitStart) const
{
    if (ReplyTimeout <= 0)
        return NoDeadline;
    return std::max(waitStart, lastActivity_) + std::chrono::milliseconds(ReplyTimeout);
}

bool TPowersock::answerOverdue(Clock::time_point waitStart) const
{
    return ReplyTimeout > 0 && Clock::now() >= answerDeadline(waitStart);
}

void TPowersock::checkAnswerTime(Clock::time_point waitStart) const
{
    if (answerOverdue(waitStart))
        throw ENoAnswerError(noAnswerMessage(ReplyTimeout));
}

void TPowersock::clearCanceled()
{
    Canceled = false;
    canceledByReplyWatch = false;
    if (suspended_ && socket_.isOpen())
        watchSocket();
}

// ---------------------------------------------------------------------------------------------------------------
// Sending and receiving

void TPowersock::Cancel()
{
    ReportStatus(StatusLevel::Operations, "Canceling");
    Canceled = true;
    canceledByReplyWatch = false;
}

void TPowersock::SendBuffer(const char* bytes, std::uint16_t count)
{
    ReportStatus(StatusLevel::Buffers, "Sending Buffer");
    if (Canceled)
        return;
    const std::size_t length = count != 0 ? count : ::strnlen(bytes, 65535);
    SendQueue.append(bytes, length);
    sendComplete_ = false;
    // The bytes go at once when the socket takes them; only what it cannot take yet waits for room.
    if (Connected)
        WriteFromStream();
    if (!sendComplete_ && !Canceled && Connected) {
        WaitScope scope;
        const Clock::time_point start = Clock::now();
        while (!sendComplete_ && !Canceled && Connected) {
            checkAnswerTime(start);
            // A send that the socket took in part goes on as soon as it can: a refused one waits for room.
            if (!SendQueue.empty() && !socket_.sendWaiting() && !busy_)
                WriteFromStream();
            if (sendComplete_)
                break;
            waitTurn(answerDeadline(start));
        }
    }
    if (Canceled) {
        clearCanceled();
        throw EAbortError("Socket send aborted");
    }
    if (!sendComplete_) {
        SendQueue.clear();
        throw closedError();
    }
}

bool TPowersock::sendImmediately(std::string_view bytes)
{
    return socket_.isOpen() && socket_.sendBytes(bytes.data(), bytes.size()) == long(bytes.size());
}

void TPowersock::Write(const std::string& text)
{
    ReportStatus(StatusLevel::Operations, "Write");
    const std::size_t length = std::min(text.size(), MaxWriteLength);
    std::memcpy(sendBuffer_.data(), text.data(), length);
    sendBuffer_[length] = '\0';
    SendBuffer(sendBuffer_.data(), 0);
}

void TPowersock::Writeln(const std::string& text)
{
    ReportStatus(StatusLevel::Operations, "Writeln");
    checkLine(text, "The command");
    Write(text + "\r\n");
    // Told once the line has left: nothing the owner does with it holds the command up.
    if (OnTraffic && !destroying_)
        OnTraffic(true, text);
}

void TPowersock::checkLine(std::string_view line, std::string_view what)
{
    // A line break would end the line early and send the rest as a command of its own; a NUL would cut it short.
    if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        throw ELineError(std::string(what) + " holds a line break or a NUL and was not sent");
    // Cut to what one write takes, the line would go without its end, and the next one would be glued to it.
    if (line.size() + 2 > MaxWriteLength)
        throw ELineError(std::string(what) + " is too long and was not sent: a command line holds at most " +
                         std::to_string(MaxWriteLength) + " bytes with its CR LF");
}

std::string TPowersock::Read(std::uint16_t count)
{
    ReportStatus(StatusLevel::Operations, "Read( " + std::to_string(count) + " )");
    if (count > 0 && ReceiveBuffer.size() < count && !Canceled && Connected) {
        WaitScope scope;
        const Clock::time_point start = Clock::now();
        while (ReceiveBuffer.size() < count && !Canceled && Connected) {
            checkAnswerTime(start);
            waitTurn(answerDeadline(start));
        }
    }
    if (Canceled) {
        clearCanceled();
        throw EAbortError("Socket send aborted");
    }
    const std::size_t wanted = count == 0 ? ReceiveBuffer.size() : count;
    if (ReceiveBuffer.size() < wanted)
        throw closedError(); // what did arrive stays buffered
    return ReceiveBuffer.take(wanted);
}

std::string TPowersock::ReadLn()
{
    ReportStatus(StatusLevel::Operations, "ReadLn");
    std::size_t lineEnd = ReceiveBuffer.find('\n');
    if (lineEnd == ByteQueue::npos && !Canceled && Connected) {
        WaitScope scope;
        const Clock::time_point start = Clock::now();
        // Only what came since the last look is searched: a long line is not searched again for every chunk of it.
        std::size_t searched = ReceiveBuffer.size();
        while (lineEnd == ByteQueue::npos && !Canceled && Connected) {
            checkAnswerTime(start);
            waitTurn(answerDeadline(start));
            lineEnd = ReceiveBuffer.find('\n', std::min(searched, ReceiveBuffer.size()));
            searched = ReceiveBuffer.size();
        }
    }
    if (Canceled)
        throw EAbortError("Socket readln aborted"); // Canceled stays set, and a ready line stays buffered
    if (lineEnd == ByteQueue::npos)
        throw closedError(); // the partial line stays buffered
    std::string line = ReceiveBuffer.take(lineEnd + 1);
    if (OnTraffic && !destroying_)
        OnTraffic(false, line);
    return line;
}

std::string TPowersock::Transaction(const std::string& command)
{
    ReportStatus(StatusLevel::Operations, "Transaction");
    ReplyNumber = 0;
    Writeln(command);
    commandSent(command);
    const std::string line = ReadLn();
    TransactionReply = line;
    if (!line.empty()) {
        ReportStatus(StatusLevel::Protocol, line);
        ReplyNumber = replyCode(line);
    }
    return TransactionReply;
}

// ---------------------------------------------------------------------------------------------------------------
// Lookup and connect

void TPowersock::ResolveHost()
{
    resolveName(Proxy.empty() ? Host : Proxy);
}

void TPowersock::resolveName(const std::string& name)
{
    ReportStatus(StatusLevel::Operations, "Resolve Host");
    SocketAddress address;
    if (parseAddressLiteral(name, address)) {
        remoteAddresses_ = {address};
        return;
    }
    remoteAddresses_.clear();
    StartTimer();
    DataGate = false;
    lookup_ = std::make_unique<HostLookup>(name);
    // Besides TimeOut's timer, the reply time-out bounds the lookup as it bounds every other wait for the network:
    // a name server that never answers ends in a time-out, not in a wait for ever.
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = ReplyTimeout > 0 ? start + std::chrono::milliseconds(ReplyTimeout) : NoDeadline;
    bool overdue = false;
    WaitScope scope;
    do {
        // The lookup's end wakes this thread, as TimeOut's timer and a cancel do.
        PollWait(deadline);
        if (lookup_->finished()) {
            DataGate = true;
            Succeeded = lookup_->error() == 0;
        }
        overdue = ReplyTimeout > 0 && Clock::now() - start >= std::chrono::milliseconds(ReplyTimeout);
    } while (!DataGate && !TimedOut && !Canceled && !overdue);
    StopTimer();
    const int error = lookup_->error();
    std::vector<SocketAddress> found = lookup_->addresses();
    // A lookup that has not finished is given up here; its thread ends by itself whenever the name service lets it.
    lookup_.reset();
    if (TimedOut || (!DataGate && overdue))
        throw ESockError("Host Lookup Timed Out", FailureKind::TimedOut);
    if (Canceled)
        throw ESockError("Host Lookup Canceled", FailureKind::Cancelled);
    // No name server answered at all: that is a time-out too, whoever gave up first.
    if (error == SocketErrors::TryAgain)
        throw ESockError("Host Lookup Timed Out", FailureKind::TimedOut);
    // A failure here rather than at the name service (no descriptor left for the query) is said as what it is.
    if (error != 0 && (error < SocketErrors::HostNotFound || error > SocketErrors::NoData)) {
        LastErrorNo = error;
        throw ESockError(LookupErrorMessage(error), socketFailureKind(error));
    }
    if (!Succeeded)
        throw ESockError("Host Lookup Failed", FailureKind::Lookup);
    remoteAddresses_ = std::move(found);
    if (OnHostResolved && !destroying_)
        OnHostResolved(this);
}

ESockError TPowersock::closedError()
{
    const bool overflowed = std::exchange(overflowed_, false);
    return ESockError(std::string(overflowed ? OverflowMessage : ConnectionClosedMessage), FailureKind::Lost);
}

void TPowersock::Connect()
{
    ReportStatus(StatusLevel::Operations, "Connecting");
    clearCanceled();
    overflowed_ = false;
    if (Connected)
        throw ESockError("Already connected");
    if (!Via.isDirect()) {
        connectViaProxy();
        return;
    }
    for (int tries = 0;; ++tries) {
        try {
            ResolveHost();
        } catch (const ESockError& e) {
            // A name that the name service does not know leaves no address, which is said below; a lookup that
            // timed out, was cancelled or could not be made at all says so itself.
            if (e.message() != "Host Lookup Failed")
                throw;
        }
        if (!remoteAddresses_.empty())
            break;
        if (tries > 0 || !OnInvalidHost)
            throw ESockError("Null Remote Address", FailureKind::Lookup);
        bool Handled = false;
        OnInvalidHost(Handled);
        if (!Handled)
            throw ESockError("Null Remote Address", FailureKind::Lookup);
    }
    const std::int32_t port = Proxy.empty() ? Port : ProxyPort;
    remotePort_ = std::uint16_t(port);
    if (port < 0 || port > 65535) {
        // A fresh socket of the first address's family still stands in for the failed one.
        prepareSocket(remoteAddresses_.front().isIpv6(), false);
        setLastSocketError(SocketErrors::InvalidArgument);
        CheckError(SocketErrors::WouldBlock);
    }
    connectAddresses();
}

void TPowersock::connectTo(const SocketAddress& address, std::uint16_t port)
{
    ReportStatus(StatusLevel::Operations, "Connecting");
    clearCanceled();
    overflowed_ = false;
    if (Connected)
        throw ESockError("Already connected");
    remoteAddresses_ = {address};
    remotePort_ = port;
    connectAddresses();
}

bool TPowersock::prepareSocket(bool ipv6, bool lingerZero)
{
    // A socket that tried to connect before (and failed, or was abandoned while under way) cannot try again, and
    // one of the other family cannot reach this address.
    if (socket_.isIdle() && socket_.isIpv6() == ipv6)
        return true;
    if (!socket_.open(lingerZero, ipv6))
        return false;
    watchSocket();
    return true;
}

void TPowersock::connectAddresses()
{
    // The addresses of the name are tried in turn: one that refuses, cannot be reached or does not answer in time
    // gives way to the next, and the last one's failure is what the caller sees.
    WaitScope scope;
    bool noAnswer = false;
    for (std::size_t i = 0; i < remoteAddresses_.size(); ++i) {
        const bool last = i + 1 == remoteAddresses_.size();
        remoteAddress_ = remoteAddresses_[i];
        DataGate = false;
        Succeeded = true;
        connectNotified_ = connectSucceeded_ = false;
        if (!prepareSocket(remoteAddress_.isIpv6(), false) || socket_.connectTo(remoteAddress_, remotePort_) != 0) {
            if (lastSocketError() != SocketErrors::WouldBlock && !last) {
                ReportStatus(StatusLevel::Buffers, "Cannot Connect To " + remoteAddress_.text());
                continue;
            }
            CheckError(SocketErrors::WouldBlock);
        }
        StartTimer();
        // The connect notification ends the wait even when the close notification of a server that hung up at
        // once has cleared Connected again in the same round of events.
        const Clock::time_point start = Clock::now();
        noAnswer = false;
        do {
            waitTurn(answerDeadline(start));
            if (waitGuard && !Connected && !connectNotified_)
                waitGuard();
            noAnswer = !Connected && !connectNotified_ && answerOverdue(start);
        } while (!Connected && !connectNotified_ && !TimedOut && !Canceled && Succeeded && !noAnswer);
        StopTimer();
        // An established connection stands, even if a cancel came in the same round of events (the FTP client's
        // reply watch cancels on a 421 greeting that a server sends the moment it accepts): the next wait sees the
        // cancel.
        if (connectSucceeded_)
            return;
        // Leave a socket that can connect again: the abandoned attempt may still be under way on the old one.
        Connected = false;
        freshSocket(false);
        if (Canceled || last)
            break;
        ReportStatus(StatusLevel::Buffers, "Cannot Connect To " + remoteAddress_.text());
    }
    if (OnConnectionFailed && !destroying_)
        OnConnectionFailed(this);
    if (TimedOut)
        throw ESockError("Connection Timed out", FailureKind::TimedOut);
    if (noAnswer && !Canceled)
        throw ENoAnswerError(noAnswerMessage(ReplyTimeout));
    if (Canceled)
        throw ESockError("Connection Canceled", FailureKind::Cancelled);
    throw ESockError("Connection Failed", socketFailureKind(LastErrorNo));
}

// ---------------------------------------------------------------------------------------------------------------
// Through a proxy

namespace {

std::string capitalised(std::string text)
{
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = char(text[0] - 'a' + 'A');
    return text;
}

std::string hostAndPort(const std::string& host, std::uint16_t port)
{
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// An IPv6 address as an operator may write it, in brackets, goes to the proxy as the address alone.
std::string withoutBrackets(const std::string& host)
{
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

// What a proxy's refusal of the tunnel means for the operator: the site refused, could not be reached, did not
// answer in time, or the proxy itself said no.
FailureKind socksReplyKind(int code)
{
    switch (code) {
    case 3:
    case 4:
        return FailureKind::Unreachable;
    case 5:
        return FailureKind::Refused;
    case 6:
        return FailureKind::TimedOut;
    default:
        return FailureKind::Other;
    }
}

} // namespace

void TPowersock::checkTunnelTarget(const std::string& host) const
{
    // The name goes to the proxy as it is, in a request of its own making: a blank or a line break would make it
    // another request.
    for (const char c : host)
        if (static_cast<unsigned char>(c) <= 32 || c == 127)
            throw ESockError("The site's host name holds a blank or a control character and cannot go to " +
                             Via.hopName());
    if (host.empty())
        throw ESockError("The site has no host name to ask " + Via.hopName() + " for");
    if (Via.kind == ProxyKind::Socks5 && host.size() > Socks5::MaxHostName)
        throw ESockError("The site's host name is longer than the 255 bytes a SOCKS5 proxy takes");
    if (Via.user.size() > MaxProxyCredential || Via.password.size() > MaxProxyCredential)
        throw ESockError("The user name or password for " + Via.hopName() + " is longer than 255 bytes");
    if (Via.kind == ProxyKind::Http && Via.user.find(':') != std::string::npos)
        throw ESockError("The user name for " + Via.hopName() +
                         " holds a colon, which Basic authentication cannot "
                         "carry");
}

void TPowersock::connectViaProxy()
{
    const std::string host = withoutBrackets(targetHost());
    const std::int32_t port = targetPort();
    checkTunnelTarget(host);
    if (port < 1 || port > 65535)
        throw ESockError("The site's port " + std::to_string(port) + " is no port to ask " + Via.hopName() + " for");
    // The proxy's own name is the only one looked up here; the site's goes to the proxy.
    try {
        resolveName(Via.host);
    } catch (const ESockError& e) {
        if (e.kind() == FailureKind::Cancelled)
            throw;
        const std::string why = e.message() == "Host Lookup Failed" ? "its host name was not found" : e.message();
        throw EProxyError("Cannot reach " + Via.hopName() + ": " + why, e.kind(), ProxyStage::Reach);
    }
    if (remoteAddresses_.empty())
        throw EProxyError("Cannot reach " + Via.hopName() + ": its host name was not found", FailureKind::Lookup,
                          ProxyStage::Reach);
    remotePort_ = Via.port;
    reachProxy();
    openTunnel(host, std::uint16_t(port));
}

void TPowersock::connectThrough(const SocketAddress& proxyAddress, const std::string& host, std::uint16_t port)
{
    ReportStatus(StatusLevel::Operations, "Connecting");
    clearCanceled();
    overflowed_ = false;
    if (Connected)
        throw ESockError("Already connected");
    checkTunnelTarget(host);
    remoteAddresses_ = {proxyAddress};
    remotePort_ = Via.port;
    reachProxy();
    openTunnel(withoutBrackets(host), port);
}

void TPowersock::reachProxy()
{
    tunnelPending_ = true;
    try {
        connectAddresses();
    } catch (const ESockError& e) {
        tunnelPending_ = false;
        if (e.kind() == FailureKind::Cancelled)
            throw;
        std::string why = e.message();
        if (why == "Connection Failed" && LastErrorNo != 0)
            why = LookupErrorMessage(LastErrorNo);
        throw EProxyError("Cannot reach " + Via.hopName() + ": " + why, e.kind(), ProxyStage::Reach);
    }
}

void TPowersock::dropConnection()
{
    // A connection that never became the site's ends without a word to its owner, as a connect that failed does.
    Connected = false;
    secure_ = false;
    SendQueue.clear();
    ReceiveBuffer.clear();
    freshSocket(false);
}

void TPowersock::openTunnel(const std::string& host, std::uint16_t port)
{
    ReportStatus(StatusLevel::Operations, "Opening Tunnel");
    // The proxy may close on us while it answers (a refusal often comes so): that is the tunnel's failure, told as
    // such, and no end of a connection that the owner ever had.
    const bool heldBefore = holdDisconnect;
    holdDisconnect = true;
    tunnelling_ = true;
    const Clock::time_point start = Clock::now();
    try {
        if (Via.kind == ProxyKind::Socks5)
            socks5Tunnel(host, port, start);
        else
            httpTunnel(host, port, start);
    } catch (...) {
        tunnelling_ = tunnelPending_ = false;
        holdDisconnect = heldBefore;
        disconnectHeld_ = false;
        dropConnection();
        if (OnConnectionFailed && !destroying_)
            OnConnectionFailed(this);
        throw;
    }
    tunnelling_ = tunnelPending_ = false;
    holdDisconnect = heldBefore;
    ReportStatus(StatusLevel::Buffers, "Tunnel Open To " + hostAndPort(host, port));
    if (Connected && OnConnect && !destroying_)
        OnConnect(this);
    // The site may have hung up the moment the tunnel stood: that end is the owner's to hear of now.
    if (!heldBefore && std::exchange(disconnectHeld_, false) && OnDisconnect && !destroying_)
        OnDisconnect(this);
}

void TPowersock::failTunnel(const std::string& what, FailureKind kind, ProxyStage stage)
{
    throw EProxyError(capitalised(Via.hopName()) + " " + what, kind, stage);
}

void TPowersock::sendToProxy(const std::string& bytes)
{
    try {
        SendBuffer(bytes.data(), std::uint16_t(bytes.size()));
    } catch (const EAbortError&) {
        throw ESockError("Connection Canceled", FailureKind::Cancelled);
    } catch (const ESockError& e) {
        if (e.kind() == FailureKind::TimedOut)
            failTunnel("did not take the request in " + secondsText(ReplyTimeout), e.kind(), ProxyStage::Accept);
        failTunnel("closed the connection before it answered", FailureKind::Lost, ProxyStage::Accept);
    }
    if (Canceled)
        throw ESockError("Connection Canceled", FailureKind::Cancelled);
}

ProxyReply TPowersock::awaitProxyReply(ProxyReply (*read)(std::string_view), Clock::time_point start, ProxyStage stage)
{
    // The whole handshake, not each byte of it, is bounded by the time-out: a proxy that trickles an endless header
    // is cut off as surely as one that says nothing.
    const std::int32_t bound = ReplyTimeout > 0 ? ReplyTimeout : TimeOut;
    WaitScope scope;
    for (;;) {
        ProxyReply reply = read(ReceiveBuffer.view());
        if (reply.state == ProxyReply::State::Bad)
            failTunnel(reply.text, FailureKind::Other, stage);
        if (reply.state == ProxyReply::State::Done) {
            ReceiveBuffer.drop(reply.length);
            return reply;
        }
        if (Canceled)
            throw ESockError("Connection Canceled", FailureKind::Cancelled);
        if (!Connected) {
            if (overflowed_)
                failTunnel("sent more than any answer of a proxy holds", FailureKind::Other, stage);
            failTunnel(ReceiveBuffer.empty() ? "closed the connection before it answered"
                                             : "closed the connection in the middle of its answer",
                       FailureKind::Lost, stage);
        }
        if (waitGuard)
            waitGuard();
        if (bound > 0 && Clock::now() - start >= std::chrono::milliseconds(bound))
            failTunnel(ReceiveBuffer.empty() ? "did not answer in " + secondsText(bound)
                                             : "did not finish its answer in " + secondsText(bound),
                       FailureKind::TimedOut, stage);
        waitTurn(bound > 0 ? start + std::chrono::milliseconds(bound) : NoDeadline);
    }
}

void TPowersock::socks5Tunnel(const std::string& host, std::uint16_t port, Clock::time_point start)
{
    const bool offerPassword = !Via.user.empty();
    sendToProxy(Socks5::greeting(offerPassword));
    const ProxyReply method = awaitProxyReply(Socks5::readMethodChoice, start, ProxyStage::Accept);
    if (method.code == Socks5::NoAcceptableMethod)
        failTunnel(offerPassword ? "accepts neither the user name and password given nor a connection without them"
                                 : "wants a user name and password, and the connection path names no user",
                   FailureKind::Other, ProxyStage::Accept);
    if (method.code == Socks5::UserPassword && offerPassword) {
        if (Via.password.empty())
            failTunnel("wants a password for user \"" + shownBytes(Via.user, 60) +
                           "\", and none is set for the connection path",
                       FailureKind::Other, ProxyStage::Accept);
        sendToProxy(Socks5::userPasswordRequest(Via.user, Via.password));
        const ProxyReply status = awaitProxyReply(Socks5::readUserPasswordStatus, start, ProxyStage::Accept);
        if (status.code != 0)
            failTunnel("refused the user name and password given for user \"" + shownBytes(Via.user, 60) + "\"",
                       FailureKind::Other, ProxyStage::Accept);
    } else if (method.code != Socks5::NoAuthentication) {
        failTunnel("asks for a way to authenticate that was not offered (method " + std::to_string(method.code) + ")",
                   FailureKind::Other, ProxyStage::Accept);
    }
    sendToProxy(Socks5::connectRequest(host, port));
    const ProxyReply reply = awaitProxyReply(Socks5::readConnectReply, start, ProxyStage::Tunnel);
    if (reply.code != Socks5::Succeeded)
        failTunnel("could not reach " + hostAndPort(host, port) + ": " + Socks5::replyText(reply.code) +
                       " (SOCKS5 reply " + std::to_string(reply.code) + ")",
                   socksReplyKind(reply.code), ProxyStage::Tunnel);
}

void TPowersock::httpTunnel(const std::string& host, std::uint16_t port, Clock::time_point start)
{
    sendToProxy(HttpProxy::connectRequest(host, port, Via.user, Via.password));
    ProxyReply reply;
    // Interim answers (100 Continue) may come before the one that says how it went.
    do
        reply = awaitProxyReply(HttpProxy::readConnectReply, start, ProxyStage::Accept);
    while (reply.code >= 100 && reply.code <= 199);
    if (reply.code >= 200 && reply.code <= 299)
        return;
    // 407 is the proxy's own refusal of credentials; some proxies answer wrong ones with 401.
    if (reply.code == 407 || reply.code == 401)
        failTunnel(Via.user.empty()
                       ? "wants a user name and password, and the connection path names no user: " + reply.text
                       : "refused the user name and password given for user \"" + shownBytes(Via.user, 60) +
                             "\": " + reply.text,
                   FailureKind::Other, ProxyStage::Accept);
    if (reply.code >= 500 && reply.code <= 599)
        failTunnel("could not reach " + hostAndPort(host, port) + ": " + reply.text,
                   reply.code == 504 ? FailureKind::TimedOut : FailureKind::Unreachable, ProxyStage::Tunnel);
    failTunnel("refused the tunnel to " + hostAndPort(host, port) + ": " + reply.text, FailureKind::Other,
               ProxyStage::Tunnel);
}

void TPowersock::Disconnect()
{
    ReportStatus(StatusLevel::Operations, "Disconnecting");
    RequestCloseSocket();
}

void TPowersock::Abort() {}

void TPowersock::RequestCloseSocket()
{
    ReportStatus(StatusLevel::Buffers, "Request Close Socket");
    Connected = false;
    secure_ = false;
    // OnDisconnect reports the end of a connection; closing the spare socket that replaced one already reported
    // ends nothing.
    bool endsConnection = false;
    if (socket_.isOpen()) {
        endsConnection = socket_.wasInUse();
        if (socket_.close() != 0)
            CheckError(SocketErrors::WouldBlock);
        // Bytes queued for a connection that is gone must never reach the next one.
        SendQueue.clear();
    }
    if (destroying_)
        return;
    if (!holdDisconnect && disconnectHeld_) {
        disconnectHeld_ = false;
        endsConnection = true;
    }
    if (endsConnection && OnDisconnect) {
        if (holdDisconnect)
            disconnectHeld_ = true;
        else
            OnDisconnect(this);
    }
    if (!socket_.isOpen())
        freshSocket(false);
}

void TPowersock::releaseDisconnect()
{
    holdDisconnect = false;
    if (std::exchange(disconnectHeld_, false) && OnDisconnect && !destroying_)
        OnDisconnect(this);
}

void TPowersock::CheckConnected()
{
    if (Connected)
        return;
    if (!OnConnectionRequired)
        throw Exception("Not Connected");
    bool Handled = false;
    OnConnectionRequired(Handled);
    if (!Handled || !Connected)
        throw Exception("Not Connected");
}

// ---------------------------------------------------------------------------------------------------------------
// Timer

void TPowersock::StartTimer()
{
    ReportStatus(StatusLevel::Operations, "Timer On");
    TimedOut = false;
    timer_->SetInterval(std::uint32_t(std::max<std::int32_t>(TimeOut, 0)));
    timer_->SetEnabled(true);
}

void TPowersock::StopTimer()
{
    ReportStatus(StatusLevel::Operations, "Timer Off");
    timer_->SetEnabled(false);
}

void TPowersock::timerExpired()
{
    ReportStatus(StatusLevel::Operations, "Timer Triggered");
    StopTimer();
    TimedOut = true;
    Abort();
}

// ---------------------------------------------------------------------------------------------------------------
// Listening

void TPowersock::Listen(bool completionChannel)
{
    Q_UNUSED(completionChannel); // accept readiness always comes through the completion notification here
    ReportStatus(StatusLevel::Operations, "Listening");
    DataGate = false;
    if ((!socket_.isIdle() || socket_.isIpv6() != listenIpv6) && !socket_.open(true, listenIpv6))
        CheckError(SocketErrors::WouldBlock);
    if (Port < 0 || Port > 65535) {
        setLastSocketError(SocketErrors::InvalidArgument);
        CheckError(SocketErrors::WouldBlock);
    }
    if (socket_.bindTo(SocketAddress(), std::uint16_t(Port)) != 0)
        CheckError(SocketErrors::WouldBlock);
    socket_.watch([this](SocketEvent kind, int error) { dispatch(kind, error); }, true);
    if (socket_.listenOn(1) != 0)
        CheckError(SocketErrors::WouldBlock);
}

int TPowersock::Accept()
{
    WaitScope scope;
    const Clock::time_point start = Clock::now();
    for (;;) {
        while (!DataGate && !Canceled) {
            if (waitGuard)
                waitGuard();
            if (DataGate || Canceled)
                break;
            checkAnswerTime(start);
            waitTurn(answerDeadline(start));
        }
        if (Canceled)
            throw ESockError("Accepting Canceled");
        if (!Succeeded)
            throw ESockError("Error creating Data Connection");
        ReportStatus(StatusLevel::Buffers, "Accepting");
        SocketAddress peer;
        std::uint16_t peerPort = 0;
        const int handle = socket_.acceptConnection(peer, peerPort);
        if (handle < 0) {
            if (lastSocketError() == SocketErrors::WouldBlock) {
                // The waiting connection went away before it was taken: wait for the next one.
                DataGate = false;
                continue;
            }
            CheckError(SocketErrors::WouldBlock);
        }
        if (!acceptFrom.isNull() && peer != acceptFrom) {
            // Only the server we talk to may deliver data; anybody else could inject a listing.
            ReportStatus(StatusLevel::Buffers, "Refused Data Connection From " + peer.text());
            AsyncSocket::refuse(handle);
            DataGate = false;
            continue;
        }
        remoteAddress_ = peer;
        remotePort_ = peerPort;
        if (Canceled) {
            AsyncSocket::refuse(handle);
            clearCanceled();
            throw EAbortError("Socket send aborted");
        }
        return handle;
    }
}

void TPowersock::installAcceptedSocket(int handle)
{
    socket_.adopt(handle);
    watchSocket();
    Connected = true;
}

SocketAddress TPowersock::peerAddress() const
{
    SocketAddress address;
    std::uint16_t port = 0;
    return socket_.peerName(address, port) ? address : SocketAddress();
}

SocketAddress TPowersock::localAddress() const
{
    SocketAddress address;
    std::uint16_t port = 0;
    return socket_.localName(address, port) ? address : SocketAddress();
}

std::uint16_t TPowersock::localPort() const
{
    SocketAddress address;
    std::uint16_t port = 0;
    return socket_.localName(address, port) ? port : 0;
}

std::string TPowersock::LocalAddressText()
{
    SocketAddress address;
    std::uint16_t port = 0;
    socket_.localName(address, port);
    std::string text = dottedAddress(address.ipv4());
    std::replace(text.begin(), text.end(), '.', ',');
    return text;
}

std::string TPowersock::LocalPortText()
{
    SocketAddress address;
    std::uint16_t port = 0;
    socket_.localName(address, port);
    return "," + std::to_string(port >> 8) + "," + std::to_string(port & 255);
}

// ---------------------------------------------------------------------------------------------------------------
// TLS

void TPowersock::startTls(std::shared_ptr<TlsContext> context, const std::string& peerName, bool control)
{
    ReportStatus(StatusLevel::Operations, "Starting TLS");
    tlsSettled_ = tlsEstablished_ = secure_ = tlsResumed_ = tlsUncleanEnd_ = false;
    tlsFailure_.clear();
    tlsDescription_.clear();
    tlsCertificate_ = TCertificateInfo();
    // Whatever came in clear text before the handshake is not the server's word under TLS.
    ReceiveBuffer.clear();
    socket_.startTls(std::move(context), peerName, control);
}

void TPowersock::awaitTls()
{
    ReportStatus(StatusLevel::Operations, "TLS Handshake");
    WaitScope scope;
    const Clock::time_point start = Clock::now();
    while (!tlsSettled_ && !Canceled && Connected) {
        if (waitGuard)
            waitGuard();
        if (tlsSettled_ || Canceled)
            break;
        if (answerOverdue(start)) {
            // A handshake left half done cannot be taken up again.
            RequestCloseSocket();
            throw ENoAnswerError(noAnswerMessage(ReplyTimeout));
        }
        waitTurn(answerDeadline(start));
    }
    // A handshake that ended well stands even when the peer has closed since (a short listing may come with the
    // end of the handshake, and the close right after it): the reads that follow see the close.
    if (tlsEstablished_)
        return;
    if (Canceled)
        throw EAbortError("TLS handshake aborted"); // Canceled stays set, as after ReadLn
    const std::string why = !tlsFailure_.empty() ? tlsFailure_ : "the server closed the connection";
    if (Connected)
        RequestCloseSocket();
    throw ETlsError("TLS handshake failed: " + why);
}

void TPowersock::allowCloseNotify()
{
    if (TlsChannel* tls = socket_.tls())
        tls->allowCloseNotify();
}
