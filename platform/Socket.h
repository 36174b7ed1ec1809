#pragma once

#include <QObject>
#include <QPointer>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;
class TlsChannel;
class TlsContext;
enum class TlsStep;
struct WaitHandle;

// The socket layer under the FTP engine: non-blocking TCP sockets (IPv4 and IPv6) whose readiness is turned into the
// notification kinds the engine expects (read, write, out-of-band, accept, connect, close), delivered on the GUI
// thread through QSocketNotifier, plus the asynchronous host lookup and TLS on a connected socket. Nothing else in
// the tree calls the POSIX socket functions.
//
// Errors are reported with the classic socket error numbers that the engine's error table knows (10000 + the
// Berkeley number, 11001-11004 for name service failures). socketErrorFromErrno() holds the one mapping from Linux
// errno values onto them.

namespace SocketErrors {
inline constexpr int Interrupted = 10004;
inline constexpr int BadFile = 10009;
inline constexpr int InvalidArgument = 10022;
inline constexpr int TooManyFiles = 10024;
inline constexpr int WouldBlock = 10035;
inline constexpr int InProgress = 10036;
inline constexpr int ConnectionAborted = 10053;
inline constexpr int ConnectionReset = 10054;
inline constexpr int NoBuffers = 10055;
inline constexpr int NotConnected = 10057;
inline constexpr int TooManyProcesses = 10067;
inline constexpr int HostNotFound = 11001;
inline constexpr int TryAgain = 11002;
inline constexpr int NoRecovery = 11003;
inline constexpr int NoData = 11004;
} // namespace SocketErrors

// The socket error number for a Linux errno value; an errno with no counterpart keeps its own (small) number, which
// the error table then reports as unknown rather than as some unrelated entry.
int socketErrorFromErrno(int err);

// The error of the last failed call of this layer on this thread, as WSAGetLastError gives it on Windows. Every
// call that fails sets it; calls that succeed leave it alone.
int lastSocketError();
void setLastSocketError(int code);

// An IPv4 or IPv6 address, or none. IPv4 addresses are numbers in host byte order throughout the engine; an
// IPv4-mapped IPv6 address is taken as the IPv4 address it maps.
class SocketAddress {
public:
    SocketAddress() = default;
    explicit SocketAddress(std::uint32_t ipv4) : family_(4), ipv4_(ipv4) {}
    static SocketAddress ipv6(const std::array<std::uint8_t, 16>& bytes, std::uint32_t scope = 0);

    bool isNull() const { return family_ == 0; }
    bool isIpv4() const { return family_ == 4; }
    bool isIpv6() const { return family_ == 6; }
    std::uint32_t ipv4() const { return ipv4_; }
    const std::array<std::uint8_t, 16>& ipv6Bytes() const { return ipv6_; }
    std::uint32_t scopeId() const { return scope_; }
    // The dotted quad, or the IPv6 text in its shortest form (RFC 5952) without brackets; empty for none.
    std::string text() const;

    friend bool operator==(const SocketAddress&, const SocketAddress&) = default;

private:
    int family_ = 0;
    std::uint32_t ipv4_ = 0;
    std::array<std::uint8_t, 16> ipv6_{};
    std::uint32_t scope_ = 0;
};

// A strict dotted quad (four decimal parts 0..255). 255.255.255.255 is refused like any other non-address, so that
// it goes through the name lookup.
bool parseDottedAddress(const std::string& text, std::uint32_t& address);
std::string dottedAddress(std::uint32_t address);
// A dotted quad as above, or an IPv6 literal with or without its brackets ("::1", "[::1]").
bool parseAddressLiteral(const std::string& text, SocketAddress& address);

// What the socket library says about itself, for the engine's SocketInfo lines.
struct SocketLibraryInfo {
    int version = 0;     // high byte major, low byte minor
    int highVersion = 0; // same layout
    std::string description;
    std::string systemStatus;
    long maxSockets = 0;
    long maxDatagram = 0;
};
SocketLibraryInfo socketLibraryInfo();

// A lookup of the addresses of a host name, on a thread of its own, so that no wait of the engine is held by the
// name service. The result is read when finished() says so: error 0 with the addresses, the IPv4 ones first in the
// resolver's order and then the IPv6 ones (IPv4 first keeps a site that was reached over IPv4 before on the same
// address and the same commands); 11001 the name is not known, 11002 no name server answered, 11003 the name service
// failed, 11004 the name has no address; or the socket error number of a local failure (10024 when no descriptor
// was left for the query).
//
// A lookup that is given up (its object destroyed before it finished) is left to end by itself: its thread keeps
// nothing the program needs, holds up no wait, and never keeps the program from ending.
//
// Its end wakes the event loop of the thread that began it, so that a wait for it there sleeps until it ends.
class HostLookup {
public:
    explicit HostLookup(const std::string& name);
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    bool finished() const;
    int error() const;
    std::vector<SocketAddress> addresses() const;

    // How many lookups this process has begun: a connection through a proxy that looks names up itself begins
    // none for its site.
    static std::uint64_t startedCount();

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Secured: once, when a TLS handshake started by startTls() has ended, with 0 on success.
enum class SocketEvent { Read, Write, OutOfBand, Accept, Connect, Close, Secured };

// One socket handle with its notification channel.
//
// The notifications follow the edge-like rules of the Windows socket notifications the engine was designed around,
// rather than plain readiness:
// - connect: once, when a connect under way completes, with its error (0 on success);
// - read: while data is waiting; close: once, when the peer has ended the stream (or reset it, with the error);
// - write: once after a send was refused for lack of buffer space, when space is free again;
// - accept: once per waiting connection, re-armed by the next acceptConnection() call.
// A fresh socket that is neither connecting, connected nor listening delivers nothing.
//
// Over TLS the same rules hold for the application bytes: read comes while decrypted bytes can be had (also those
// that TLS holds inside, which no socket readiness announces), close when the peer ended the stream, with or
// without its close notification, and the handshake's progress and the reads a send needs (and the sends a read
// needs) are driven here, unseen by the owner.
class AsyncSocket : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<void(SocketEvent kind, int error)>;

    explicit AsyncSocket(QObject* parent = nullptr);
    ~AsyncSocket() override; // closes the handle without any notification

    // A new non-blocking TCP socket, closing any handle held. lingerZero makes its close abortive (a reset instead
    // of the orderly end). False with lastSocketError() when the system refuses.
    bool open(bool lingerZero, bool ipv6 = false);
    bool isOpen() const { return fd_ >= 0; }
    bool isIpv6() const { return ipv6_; }
    int handle() const { return fd_; }

    // True once this handle has been connected, listened on or installed from an accept: closing it ends a
    // connection somebody may want to hear about.
    bool wasInUse() const { return inUse_; }
    // Open and never connected nor listened on: ready for connectTo() or bindTo().
    bool isIdle() const { return isOpen() && mode_ == Mode::Idle; }

    // Takes over an accepted connection, closing the handle held (quietly).
    void adopt(int handle);
    // 0, or -1 with lastSocketError(). Closing a closed socket succeeds.
    int close();

    // Registers for notifications; acceptOnly for a listening socket whose only notification is accept.
    void watch(Handler handler, bool acceptOnly = false);
    // Stops every notification until watch() is called again.
    void unwatch();
    bool isWatched() const { return watched_; }

    // A connect under way reports -1 with lastSocketError() = 10035 (would block) and completes with a connect
    // notification; so does a connect that the system refused at once (refused, unreachable, timed out), whose
    // error then comes with the notification. Other errors: -1 with lastSocketError().
    int connectTo(const SocketAddress& address, std::uint16_t port);
    // A null address binds the any-address of the socket's family.
    int bindTo(const SocketAddress& address, std::uint16_t port);
    int listenOn(int backlog);
    // The handle of a waiting connection and its peer, or -1 with lastSocketError().
    int acceptConnection(SocketAddress& peerAddress, std::uint16_t& peerPort);
    // Bytes sent, or -1 with lastSocketError(). A refusal for lack of space arms the write notification; a broken
    // connection is reported by a close notification.
    long sendBytes(const char* data, std::size_t count);
    // Bytes received (0 at the end of the stream), or -1 with lastSocketError().
    long receiveBytes(char* data, std::size_t count);

    bool localName(SocketAddress& address, std::uint16_t& port) const;
    bool peerName(SocketAddress& address, std::uint16_t& port) const;

    // Starts the client side of TLS on the connected socket; the Secured notification tells how it ended. From
    // then on sendBytes and receiveBytes carry application bytes, and close() sends the close notification when
    // the channel allows it. peerName is what the certificate must be valid for.
    void startTls(std::shared_ptr<TlsContext> context, const std::string& peerName, bool control);
    // The channel, while there is one (from startTls until the handle is closed or replaced).
    TlsChannel* tls() const { return tls_.get(); }
    // The stream ended (close notification) without the peer's TLS close notification, or with a TLS error.
    bool endedWithoutCloseNotify() const { return uncleanEnd_; }

    // Closes a connection that must not be served, abortively, so its sender sees a reset.
    static void refuse(int handle);

    // For a wait that watches the socket itself rather than waiting for its notifications to come round through
    // the event loop: what the socket waits for now (the notifications it has armed), false when nothing that a
    // readiness of its handle can announce.
    bool waitHandle(WaitHandle& handle) const;
    // Runs at once the notifications that such a wait's findings call for, exactly as the notifiers would.
    void serviceReadiness(const WaitHandle& handle);
    // Bytes that TLS has already taken in can be read now, or the end of TLS has been read and not yet told: no
    // readiness of the handle will announce either.
    bool inputHeld() const;
    // Delivers that read or close notification now.
    void serviceHeldInput();
    // A send waits for room on the socket (or for the end of the TLS handshake).
    bool sendWaiting() const { return writeArmed_; }

private:
    enum class Mode { Idle, Connecting, Connected, Listening, Failed, Ended };

    void makeNotifiers();
    void dropNotifiers();
    void updateNotifiers();
    void readReady();
    void writeReady();
    void deliver(SocketEvent kind, int error);
    void postEvent(SocketEvent kind, int error);
    void dropTls();
    void driveHandshake();
    void checkTlsReadable();
    void postTlsReadCheck();
    void endTls(int error);
    void tlsEnded(TlsStep step);
    void postOwedClose();
    void deliverOwedClose();
    long tlsSend(const char* data, std::size_t count);
    long tlsReceive(char* data, std::size_t count);

    int fd_ = -1;
    bool ipv6_ = false;
    Mode mode_ = Mode::Idle;
    bool inUse_ = false;
    bool watched_ = false;
    bool acceptOnly_ = false;
    bool writeArmed_ = false;
    bool acceptPending_ = false;
    int dispatching_ = 0;
    unsigned generation_ = 0; // counts handles, so a posted notification never reaches a later one
    std::unique_ptr<TlsChannel> tls_;
    bool handshakeWantsWrite_ = false;
    bool readWantsWrite_ = false; // a TLS read waits for the socket to take bytes
    bool writeWantsRead_ = false; // a TLS send waits for bytes from the peer
    bool readCheckPosted_ = false;
    bool uncleanEnd_ = false;
    bool peerCloseNotified_ = false; // the peer's close notification came: ours answers it
    bool closeOwed_ = false;         // a read ran into the end of TLS; the owner's Close is still to come
    int owedCloseError_ = 0;
    Handler handler_;
    QPointer<QSocketNotifier> readNotifier_;
    QPointer<QSocketNotifier> writeNotifier_;
};
