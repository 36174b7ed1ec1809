#pragma once

#include "platform/ConnectPath.h"
#include "platform/Exceptions.h"
#include "platform/PollLoop.h"
#include "platform/ProxyProtocol.h"
#include "platform/Socket.h"
#include "platform/Tls.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Socket failures. Every message is one of the component's fixed texts or an error-table text.
class ESockError : public Exception {
public:
    using Exception::Exception;
};

// A wait that was cancelled.
class EAbortError : public ESockError {
public:
    explicit EAbortError(std::string message) : ESockError(std::move(message), FailureKind::Cancelled) {}
};

// A line that must not go out on a connection: it holds a line break or a NUL (the rest would reach the server as
// a command of its own), or it is too long to go whole. Nothing of it is sent.
class ELineError : public ESockError {
public:
    explicit ELineError(std::string message) : ESockError(std::move(message), FailureKind::Line) {}
};

// A wait that the server let run past ReplyTimeout without a word.
class ENoAnswerError : public ESockError {
public:
    explicit ENoAnswerError(std::string message) : ESockError(std::move(message), FailureKind::TimedOut) {}
};

// A TLS failure: a handshake that failed, a certificate that was refused, a server that would not speak TLS when
// it had to. The connection is closed without another byte sent.
class ETlsError : public ESockError {
public:
    explicit ETlsError(std::string message, FailureKind kind = FailureKind::Tls) : ESockError(std::move(message), kind)
    {}
};

// Where a connection through a proxy stopped: the proxy could not be reached; it did not take us (it wants a
// password, refused the one given, or answered what no proxy answers); or it could not reach the site.
enum class ProxyStage : std::uint8_t { Reach, Accept, Tunnel };

// A connection through a proxy that failed at the proxy's hop. The message names the proxy and says what went
// wrong there in its own words (its SOCKS5 reply code in words, its HTTP status line); the kind is the failure's as
// for a direct connection where there is one (a proxy that refuses the connection, a site that the proxy found
// unreachable, a proxy that did not answer in time), Other for the proxy's own refusals.
class EProxyError : public ESockError {
public:
    EProxyError(std::string message, FailureKind kind, ProxyStage stage)
        : ESockError(std::move(message), kind), stage_(stage)
    {}
    ProxyStage stage() const noexcept { return stage_; }

private:
    ProxyStage stage_;
};

using TCertificateInfo = CertificateInfo;

using TNotifyEvent = std::function<void(QObject* Sender)>;
using THandlerEvent = std::function<void(bool& Handled)>;
using TOnHostResolved = std::function<void(QObject* Sender)>;
using TOnStatus = std::function<void(QObject* Sender, const std::string& Status)>;
using TOnErrorEvent = std::function<void(QObject* Sender, std::uint16_t Errno, const std::string& Errmsg)>;

// The status levels of the component's reports.
namespace StatusLevel {
inline constexpr int Protocol = 1; // commands and reply lines
inline constexpr int Buffers = 4;  // buffer and socket handling
inline constexpr int Operations = 8;
inline constexpr int Errors = 16;
} // namespace StatusLevel

// The message that ends a ReadLn, Read or SendBuffer wait when the connection goes away before the wait can be
// satisfied: no line end, no more bytes and no send can ever come on a closed connection.
inline constexpr std::string_view ConnectionClosedMessage = "Connection Closed";

// The message that ends such a wait when the component cut the connection because the peer sent more than
// TPowersock::MaxUnreadBytes that nobody could take: a line without end, or a flood.
inline constexpr std::string_view OverflowMessage = "Reply too long";

// The message of a listing whose TLS data connection ended without the server's close notification: what came may
// be all of it or not, and nobody can tell.
inline constexpr std::string_view TruncatedListingMessage =
    "The listing is incomplete: the TLS data connection ended without the server's close notification";

// The message of a listing whose control connection ended before the server's completion reply came: the data
// connection's end alone cannot tell a whole listing from one cut short.
inline constexpr std::string_view CutListingMessage =
    "The listing is incomplete: the connection ended before the server confirmed the listing";

// The message of a listing that cannot be had through a proxy: the server's connection to an active-mode data port
// would have to come through the proxy, which takes connections only the other way. Nothing is sent for it.
inline constexpr std::string_view ActiveThroughProxyMessage =
    "Active mode cannot go through a proxy: set the site's data connection to passive";

// The message of a wait that ReplyTimeout ended: "No answer from the server in 30 seconds".
std::string noAnswerMessage(std::int32_t milliseconds);
// A time in milliseconds as such messages say it: "30 seconds", "1 second", "2.5 seconds".
std::string secondsText(std::int32_t milliseconds);

// The timer each socket uses to time out name lookup and connect. Setting Enabled, Interval or OnTimer restarts
// it: it runs when Interval is not 0, Enabled is set and OnTimer is assigned.
class TThreadTimer : public QObject {
    Q_OBJECT

public:
    explicit TThreadTimer(QObject* Owner = nullptr);

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    std::uint32_t Interval() const { return interval_; }
    void SetInterval(std::uint32_t milliseconds);
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(TNotifyEvent handler);

private:
    void updateTimer();
    void expired();

    bool enabled_ = true;
    std::uint32_t interval_ = 1000;
    TNotifyEvent onTimer_;
    QTimer timer_;
};

// A byte buffer consumed from the front. Taking bytes advances a start offset; the storage is compacted only when
// the consumed part outweighs what is left, so taking one line costs that line, not the whole buffer.
class ByteQueue {
public:
    static constexpr std::size_t npos = std::string::npos;

    bool empty() const { return start_ == bytes_.size(); }
    std::size_t size() const { return bytes_.size() - start_; }
    const char* data() const { return bytes_.data() + start_; }
    std::string_view view() const { return std::string_view(bytes_).substr(start_); }
    // The first c at or after position from; npos when there is none.
    std::size_t find(char c, std::size_t from = 0) const;

    void append(const char* bytes, std::size_t count);
    void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }
    std::string take(std::size_t count);
    void drop(std::size_t count);
    void clear();

private:
    std::string bytes_;
    std::size_t start_ = 0;
};

// The TCP socket component: resolves, connects, sends text, buffers what arrives and hands it out as lines or byte
// counts, listens for and accepts one connection, and reports what it does as status texts filtered by level.
// Every operation that waits does so in the poll loop, so the application keeps running meanwhile.
class TPowersock : public QObject {
    Q_OBJECT

public:
    static constexpr std::size_t ChunkSize = 16383;
    // The most received bytes left unread. Replies and listings are taken line by line as they arrive, so only a
    // peer that sends an endless line or floods the connection gets this far; it is cut off rather than let fill
    // the console's memory.
    static constexpr std::size_t MaxUnreadBytes = std::size_t(8) << 20;
    static constexpr std::size_t SendBufferSize = 16385;
    static constexpr std::size_t MaxWriteLength = SendBufferSize - 1;

    explicit TPowersock(QObject* Owner = nullptr);
    ~TPowersock() override;

    // Published properties.
    std::string Host;
    std::int32_t Port = 0;
    std::int32_t TimeOut = 0; // milliseconds of name lookup and of connect; 0 waits without limit
    // Milliseconds that a wait for the server may go without a byte from it or to it: a reply line, a send, a
    // connect, an incoming connection, a TLS handshake. Past it the wait ends with ENoAnswerError; 0 waits without
    // limit.
    std::int32_t ReplyTimeout = 0;
    std::int32_t ReportLevel = 0;
    std::string Proxy;
    std::int32_t ProxyPort = 0;
    // The path to the server (ConnectPath.h): direct, or through a SOCKS5 or HTTP proxy, which Connect looks up and
    // connects to and then asks for a tunnel to Host:Port (or to the gateway Proxy:ProxyPort). Through SOCKS5 and
    // HTTP alike the server's host name goes to the proxy as it is: only the proxy's own name is looked up here.
    // Everything the connection then carries, TLS included, goes through the tunnel end to end.
    ConnectPath Via;

    // Events; each fires only when assigned.
    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    TOnErrorEvent OnError;
    // Every line written (sent, without its CR LF) and every line read (with its line end) on this connection, as it
    // goes: for a log of the conversation. Passwords are the owner's to hide.
    std::function<void(bool sent, const std::string& line)> OnTraffic;
    THandlerEvent OnConnectionRequired;

    // Public state.
    std::string Status;
    bool Connected = false;
    bool Canceled = false;
    bool TimedOut = false;
    bool Succeeded = true;
    bool DataGate = false;
    std::int32_t LastErrorNo = 0;
    std::int16_t ReplyNumber = 0;
    std::string TransactionReply;
    // Byte counts of this object's life. 64 bits wide, so counts past 2 GB stay right.
    std::int64_t BytesRecvd = 0;
    std::int64_t BytesSent = 0;
    std::vector<std::string> SocketInfo;
    ByteQueue ReceiveBuffer; // received, not yet consumed
    ByteQueue SendQueue;     // waiting to be sent

    // Operations, the virtual ones in their slot order.
    virtual int Accept();
    virtual void Connect();
    virtual void Disconnect();
    virtual std::string Transaction(const std::string& command);
    // Called by Transaction once the command has left, before its reply is awaited.
    virtual void commandSent(const std::string& command) { Q_UNUSED(command); }
    virtual void Abort();

    void Cancel();
    void Write(const std::string& text);
    void Writeln(const std::string& text);
    void SendBuffer(const char* bytes, std::uint16_t count);
    std::string Read(std::uint16_t count);
    std::string ReadLn();
    void Listen(bool completionChannel);
    void CheckConnected();
    void ResolveHost();
    void RequestCloseSocket();
    std::string LookupErrorMessage(int code);
    std::string CheckError(int expected);
    void StartTimer();
    void StopTimer();
    std::string LocalAddressText();
    std::string LocalPortText();

    // Our own helpers around the listing's data connection.
    // Accept takes connections from this address only (none: from anyone); others are refused and closed, and the
    // wait goes on.
    SocketAddress acceptFrom;
    // Listen binds the IPv6 any-address rather than the IPv4 one.
    bool listenIpv6 = false;
    // Called between the tests of the waits for a connection (Accept, connectTo) and of awaitTls; the owner uses
    // it to end the wait (by raising, or by Cancel) when the connection can no longer come.
    std::function<void()> waitGuard;
    // Another connection that this one's waits watch as well (a listing's data connection watches the control
    // connection, so a reply there is read the moment it comes).
    TPowersock* waitAlso = nullptr;
    // One turn of a wait that ends by the deadline at the latest (PollLoop.h): sleeps until the socket (or
    // waitAlso's) is ready, an event comes for the thread, or the deadline passes, and runs at once what it found.
    // On the main thread it sleeps on the sockets alone and runs the application's events when they are due.
    void waitTurn(std::chrono::steady_clock::time_point deadline = NoDeadline);
    // Takes at once whatever the socket's readiness holds now, without sleeping and without the application's events.
    void serviceNow();
    // How many notifications this component has handled: a change says that something happened on its socket.
    std::uint64_t notificationCount() const { return notifications_; }
    // Raises ENoAnswerError when ReplyTimeout has passed since the wait began at waitStart with no byte from or to
    // the server.
    void checkAnswerTime(std::chrono::steady_clock::time_point waitStart) const;
    bool answerOverdue(std::chrono::steady_clock::time_point waitStart) const;
    // When such a wait is overdue as things stand (a byte that comes moves it on); NoDeadline without ReplyTimeout.
    std::chrono::steady_clock::time_point answerDeadline(std::chrono::steady_clock::time_point waitStart) const;
    // The connection was cut because the peer sent more than MaxUnreadBytes that nobody could take.
    bool overflowed() const { return overflowed_; }
    // Refuses (ELineError) a line that cannot go out whole as one line: `what` names it for the operator ("The
    // command", "The password").
    static void checkLine(std::string_view line, std::string_view what);
    // Installs the connection that Accept returned as this component's socket (the listening socket is closed).
    void installAcceptedSocket(int handle);
    // Connects to this address, with no lookup; the waits, events and errors of Connect.
    void connectTo(const SocketAddress& address, std::uint16_t port);
    // Connects to Via's proxy at this address (its name already looked up) and has it open a tunnel to host:port:
    // a listing's data connection, which takes the same path as its control connection.
    void connectThrough(const SocketAddress& proxyAddress, const std::string& host, std::uint16_t port);
    // The host and port the connection is for: Host and Port, or the gateway's Proxy and ProxyPort.
    std::string targetHost() const { return Proxy.empty() ? Host : Proxy; }
    std::int32_t targetPort() const { return Proxy.empty() ? Port : ProxyPort; }
    // The address of the connected peer, and this end's address and port (none and 0 when not connected).
    SocketAddress peerAddress() const;
    SocketAddress localAddress() const;
    std::uint16_t localPort() const;

    // TLS on the connected socket, as its client. startTls begins the handshake, which then runs in the
    // notifications; awaitTls waits for its end (a poll-loop wait that Canceled and waitGuard end like any other)
    // and raises ETlsError when it failed, EAbortError "TLS handshake aborted" when cancelled. A data connection
    // resumes the context's control session.
    void startTls(std::shared_ptr<TlsContext> context, const std::string& peerName, bool control);
    void awaitTls();
    bool isSecure() const { return secure_; }
    // What the handshake showed: the server's certificate, the protocol and cipher, whether a session was resumed.
    const TCertificateInfo& tlsCertificate() const { return tlsCertificate_; }
    const std::string& tlsDescription() const { return tlsDescription_; }
    bool tlsSessionResumed() const { return tlsResumed_; }
    // From now on closing the connection sends TLS's close notification; until then (a refused certificate) the
    // connection is dropped without another byte.
    void allowCloseNotify();
    // The last connection ended without the peer's TLS close notification.
    bool endedWithoutCloseNotify() const { return tlsUncleanEnd_; }

    // The value of the decimal digits that start a reply line (at most 10, 0 when there are none). Values past the
    // 16-bit range are held at 32767, so an over-long code never wraps round into a failure code.
    static std::int16_t replyCode(std::string_view line);

protected:
    void ReportStatus(int level, const std::string& text);
    // Clears Canceled and resumes the notifications that a cancelled read handler suspended.
    void clearCanceled();
    // Stops every event and report from here on: the owner is going away.
    void beginDestruction() { destroying_ = true; }
    bool isDestroying() const { return destroying_; }
    // Hands bytes straight to the socket without queueing or waiting; false when they could not all go.
    bool sendImmediately(std::string_view bytes);

    // Called after each read notification that received data (the FTP client's reply watch).
    std::function<void()> arrivalHook;
    // Set when the reply watch, not the owner, raised Canceled; Cancel() and clearCanceled() reset it.
    bool canceledByReplyWatch = false;
    // While set, the end of the connection is remembered rather than reported: the owner's own log-out reports
    // it once, after the last reply line, even when the server hangs up before the reply has been read.
    bool holdDisconnect = false;
    // Ends the hold and reports a connection end that came during it.
    void releaseDisconnect();

private:
    void InitSockets();
    void ReadToStream();
    void WriteFromStream();
    void dispatch(SocketEvent kind, int error);
    void resolveName(const std::string& name);
    void connectAddresses();
    void connectViaProxy();
    void reachProxy();
    void openTunnel(const std::string& host, std::uint16_t port);
    void socks5Tunnel(const std::string& host, std::uint16_t port, std::chrono::steady_clock::time_point start);
    void httpTunnel(const std::string& host, std::uint16_t port, std::chrono::steady_clock::time_point start);
    void sendToProxy(const std::string& bytes);
    // The proxy's answer to the step of the handshake in progress (stage), read by `read`.
    ProxyReply awaitProxyReply(ProxyReply (*read)(std::string_view), std::chrono::steady_clock::time_point start,
                               ProxyStage stage);
    [[noreturn]] void failTunnel(const std::string& what, FailureKind kind, ProxyStage stage);
    void checkTunnelTarget(const std::string& host) const;
    void dropConnection();
    bool prepareSocket(bool ipv6, bool lingerZero);
    void timerExpired();
    void watchSocket();
    bool freshSocket(bool lingerZero);
    void postReadMore();
    void postSendMore();
    void noteActivity() { lastActivity_ = std::chrono::steady_clock::now(); }

    AsyncSocket socket_;
    std::vector<SocketAddress> remoteAddresses_; // tried in turn by Connect
    SocketAddress remoteAddress_;
    std::uint16_t remotePort_ = 0;
    std::array<char, SendBufferSize> sendBuffer_{};
    std::unique_ptr<TThreadTimer> timer_;
    bool busy_ = false;
    bool sendComplete_ = false;
    bool connectNotified_ = false;
    bool connectSucceeded_ = false;
    bool disconnectHeld_ = false;
    bool destroying_ = false;
    bool suspended_ = false;      // notifications stopped by a read while Canceled
    bool overflowed_ = false;     // the connection was cut for too many unread bytes
    bool readMorePosted_ = false; // a read-more request waits in the event queue
    bool sendMorePosted_ = false; // a send-more request does
    std::uint64_t notifications_ = 0;
    // When a byte last came from the server or went to it.
    std::chrono::steady_clock::time_point lastActivity_ = std::chrono::steady_clock::now();

    // The error for a wait that the end of the connection leaves unsatisfied.
    ESockError closedError();
    std::unique_ptr<HostLookup> lookup_;
    bool tunnelling_ = false;    // a proxy's answer is awaited: no reply watch on its bytes
    bool tunnelPending_ = false; // connected to the proxy, the tunnel not yet open: OnConnect waits for it

    bool secure_ = false;
    bool tlsSettled_ = false;
    bool tlsEstablished_ = false; // the last handshake ended well
    bool tlsUncleanEnd_ = false;
    bool tlsResumed_ = false;
    std::string tlsFailure_;
    std::string tlsDescription_;
    TCertificateInfo tlsCertificate_;
};
