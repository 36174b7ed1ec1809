#include "platform/Socket.h"

#include "platform/PollLoop.h"
#include "platform/Tls.h"

#include <QAbstractEventDispatcher>
#include <QSocketNotifier>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// The one mapping from Linux errno values to the socket error numbers of the engine's error table, by meaning.
struct ErrnoMapping {
    int err;
    int code;
};
constexpr ErrnoMapping errnoTable[] = {
    {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},        {EPERM, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},        {ENFILE, 10024},
    {EAGAIN, 10035},          {EINPROGRESS, 10036},     {EALREADY, 10037},      {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
    {ENETUNREACH, 10051},     {ENETRESET, 10052},       {ECONNABORTED, 10053},  {ECONNRESET, 10054},
    {ENOBUFS, 10055},         {ENOMEM, 10055},          {EISCONN, 10056},       {ENOTCONN, 10057},
    {EPIPE, 10058},           {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},  {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},    {ELOOP, 10062},           {ENAMETOOLONG, 10063},  {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},       {EUSERS, 10068},        {EDQUOT, 10069},
    {ESTALE, 10070},          {EREMOTE, 10071},
};
static_assert(EAGAIN == EWOULDBLOCK, "EWOULDBLOCK is mapped through EAGAIN");

thread_local int lastError = 0;

void failWithErrno(int err)
{
    lastError = socketErrorFromErrno(err);
}

// The system's form of an address and port; length is what to pass with it.
sockaddr_storage systemAddress(const SocketAddress& address, std::uint16_t port, bool ipv6, socklen_t& length)
{
    sockaddr_storage storage{};
    if (ipv6) {
        auto& sa = reinterpret_cast<sockaddr_in6&>(storage);
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(port);
        if (address.isIpv6()) {
            std::memcpy(sa.sin6_addr.s6_addr, address.ipv6Bytes().data(), 16);
            sa.sin6_scope_id = address.scopeId();
        } else if (address.isIpv4()) {
            // An IPv4 peer of an IPv6 socket is reached through its mapped address.
            sa.sin6_addr.s6_addr[10] = sa.sin6_addr.s6_addr[11] = 0xFF;
            const std::uint32_t v4 = htonl(address.ipv4());
            std::memcpy(sa.sin6_addr.s6_addr + 12, &v4, 4);
        }
        length = sizeof(sockaddr_in6);
    } else {
        auto& sa = reinterpret_cast<sockaddr_in&>(storage);
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(address.isIpv4() ? address.ipv4() : 0);
        sa.sin_port = htons(port);
        length = sizeof(sockaddr_in);
    }
    return storage;
}

SocketAddress fromSystemAddress(const sockaddr_storage& storage, std::uint16_t& port)
{
    if (storage.ss_family == AF_INET) {
        const auto& sa = reinterpret_cast<const sockaddr_in&>(storage);
        port = ntohs(sa.sin_port);
        return SocketAddress(ntohl(sa.sin_addr.s_addr));
    }
    if (storage.ss_family == AF_INET6) {
        const auto& sa = reinterpret_cast<const sockaddr_in6&>(storage);
        port = ntohs(sa.sin6_port);
        std::array<std::uint8_t, 16> bytes;
        std::memcpy(bytes.data(), sa.sin6_addr.s6_addr, 16);
        return SocketAddress::ipv6(bytes, sa.sin6_scope_id);
    }
    port = 0;
    return SocketAddress();
}

// A connect that the system settles at once is still reported through the connect notification, as one that
// completes later would be: the caller sees one way of failing.
bool settlesConnect(int err)
{
    return err == ECONNREFUSED || err == ENETUNREACH || err == EHOSTUNREACH || err == ETIMEDOUT;
}

} // namespace

int socketErrorFromErrno(int err)
{
    for (const auto& entry : errnoTable)
        if (entry.err == err)
            return entry.code;
    return err;
}

int lastSocketError()
{
    return lastError;
}

void setLastSocketError(int code)
{
    lastError = code;
}

bool parseDottedAddress(const std::string& text, std::uint32_t& address)
{
    std::uint32_t value = 0;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return false;
        unsigned part = 0;
        std::size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            part = part * 10 + unsigned(text[i] - '0');
            if (++digits > 3 || part > 255)
                return false;
            ++i;
        }
        value = (value << 8) | part;
        if (++parts < 4) {
            if (i >= text.size() || text[i] != '.')
                return false;
            ++i;
        }
    }
    if (i != text.size() || value == 0xFFFFFFFFu)
        return false;
    address = value;
    return true;
}

std::string dottedAddress(std::uint32_t address)
{
    return std::to_string((address >> 24) & 255) + "." + std::to_string((address >> 16) & 255) + "." +
           std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

SocketAddress SocketAddress::ipv6(const std::array<std::uint8_t, 16>& bytes, std::uint32_t scope)
{
    static constexpr std::uint8_t mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(bytes.data(), mappedPrefix, 12) == 0)
        return SocketAddress(std::uint32_t(bytes[12]) << 24 | std::uint32_t(bytes[13]) << 16 |
                             std::uint32_t(bytes[14]) << 8 | bytes[15]);
    SocketAddress address;
    address.family_ = 6;
    address.ipv6_ = bytes;
    address.scope_ = scope;
    return address;
}

std::string SocketAddress::text() const
{
    if (isIpv4())
        return dottedAddress(ipv4_);
    if (!isIpv6())
        return std::string();
    char text[INET6_ADDRSTRLEN];
    if (!inet_ntop(AF_INET6, ipv6_.data(), text, sizeof text))
        return std::string();
    return scope_ != 0 ? std::string(text) + "%" + std::to_string(scope_) : std::string(text);
}

bool parseAddressLiteral(const std::string& text, SocketAddress& address)
{
    std::uint32_t v4 = 0;
    if (parseDottedAddress(text, v4)) {
        address = SocketAddress(v4);
        return true;
    }
    std::string inner = text;
    if (inner.size() > 2 && inner.front() == '[' && inner.back() == ']')
        inner = inner.substr(1, inner.size() - 2);
    if (inner.find(':') == std::string::npos)
        return false;
    std::array<std::uint8_t, 16> bytes;
    if (inet_pton(AF_INET6, inner.c_str(), bytes.data()) != 1)
        return false;
    address = SocketAddress::ipv6(bytes);
    return true;
}

SocketLibraryInfo socketLibraryInfo()
{
    SocketLibraryInfo info;
    info.version = 0x0101;
    info.highVersion = 0x0101;
    info.description = "POSIX sockets, IPv4 and IPv6, notified through Qt";
    info.systemStatus = "Running";
    rlimit files{};
    info.maxSockets = getrlimit(RLIMIT_NOFILE, &files) == 0 ? long(files.rlim_cur) : 1024;
    info.maxDatagram = 65507;
    return info;
}

// ---------------------------------------------------------------------------------------------------------------
// Host lookup

struct HostLookup::State {
    std::mutex mutex;
    std::atomic<bool> finished{false};
    int error = 0;
    std::vector<SocketAddress> addresses;
    // The event loop of the thread that waits for the lookup, until the lookup is given up; under the mutex, so
    // that it is never woken once its thread may have gone.
    QAbstractEventDispatcher* waiter = nullptr;
};

namespace {

std::atomic<std::uint64_t> lookupsStarted{0};

int lookupError(int code, int err)
{
    switch (code) {
    case EAI_NONAME:
        return SocketErrors::HostNotFound;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return SocketErrors::NoData;
#endif
    case EAI_AGAIN:
        return SocketErrors::TryAgain;
    case EAI_MEMORY:
        return socketErrorFromErrno(ENOMEM);
    case EAI_SYSTEM:
        return err != 0 ? socketErrorFromErrno(err) : SocketErrors::NoRecovery;
    default:
        return SocketErrors::NoRecovery;
    }
}

void lookUp(const std::string& name, HostLookup::State& state)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    errno = 0;
    const int code = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    const int err = errno;
    std::vector<SocketAddress> ipv4, ipv6;
    for (const addrinfo* a = code == 0 ? found : nullptr; a; a = a->ai_next) {
        std::uint16_t port = 0;
        sockaddr_storage storage{};
        if (a->ai_addrlen > sizeof storage || (a->ai_family != AF_INET && a->ai_family != AF_INET6))
            continue;
        std::memcpy(&storage, a->ai_addr, a->ai_addrlen);
        const SocketAddress address = fromSystemAddress(storage, port);
        auto& list = address.isIpv4() ? ipv4 : ipv6;
        if (!address.isNull() && std::find(list.begin(), list.end(), address) == list.end())
            list.push_back(address);
    }
    if (found)
        ::freeaddrinfo(found);
    ipv4.insert(ipv4.end(), ipv6.begin(), ipv6.end());
    std::lock_guard lock(state.mutex);
    // Out of descriptors, the name service could open neither the hosts file nor a socket to a name server, and says
    // only that it found no such name: errno tells what really happened.
    if (code != 0 && code != EAI_SYSTEM && (err == EMFILE || err == ENFILE))
        state.error = SocketErrors::TooManyFiles;
    else if (code != 0)
        state.error = lookupError(code, err);
    else if (ipv4.empty())
        state.error = SocketErrors::NoData; // the name is known, but has no address
    else
        state.addresses = std::move(ipv4);
    state.finished = true;
    if (state.waiter)
        state.waiter->wakeUp();
}

} // namespace

HostLookup::HostLookup(const std::string& name) : state_(std::make_shared<State>())
{
    ++lookupsStarted;
    state_->waiter = QAbstractEventDispatcher::instance();
    // The name service may take as long as it likes (a silent name server holds a lookup for many seconds): the
    // thread is let go, and keeps only its own share of the state.
    try {
        std::thread([name, state = state_] { lookUp(name, *state); }).detach();
    } catch (const std::system_error& e) {
        std::lock_guard lock(state_->mutex);
        // No thread to be had: the system's limit of threads, which the error table calls too many processes.
        state_->error =
            e.code().value() == EAGAIN ? SocketErrors::TooManyProcesses : socketErrorFromErrno(e.code().value());
        state_->finished = true;
    }
}

HostLookup::~HostLookup()
{
    std::lock_guard lock(state_->mutex);
    state_->waiter = nullptr;
}

bool HostLookup::finished() const
{
    return state_->finished;
}

int HostLookup::error() const
{
    std::lock_guard lock(state_->mutex);
    return state_->finished ? state_->error : 0;
}

std::vector<SocketAddress> HostLookup::addresses() const
{
    std::lock_guard lock(state_->mutex);
    return state_->addresses;
}

std::uint64_t HostLookup::startedCount()
{
    return lookupsStarted;
}

AsyncSocket::AsyncSocket(QObject* parent) : QObject(parent) {}

AsyncSocket::~AsyncSocket()
{
    handler_ = nullptr;
    watched_ = false;
    close();
}

bool AsyncSocket::open(bool lingerZero, bool ipv6)
{
    close();
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failWithErrno(errno);
        return false;
    }
    if (lingerZero) {
        const linger abortive{1, 0};
        if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) != 0) {
            failWithErrno(errno);
            ::close(fd);
            return false;
        }
    }
    if (ipv6) {
        // An IPv6 socket carries IPv6 only: a data port must not take IPv4 connections through mapped addresses.
        const int only = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    fd_ = fd;
    ipv6_ = ipv6;
    ++generation_;
    mode_ = Mode::Idle;
    inUse_ = false;
    makeNotifiers();
    return true;
}

void AsyncSocket::adopt(int handle)
{
    close();
    fd_ = handle;
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    ipv6_ = ::getsockname(handle, reinterpret_cast<sockaddr*>(&sa), &len) == 0 && sa.ss_family == AF_INET6;
    ++generation_;
    mode_ = Mode::Connected;
    inUse_ = true;
    makeNotifiers();
}

int AsyncSocket::close()
{
    if (fd_ < 0)
        return 0;
    dropNotifiers();
    // An orderly end of TLS says so before the handle goes, and so does the answer to the peer's close
    // notification (a server may wait for it before it confirms the transfer); a broken or refused one just goes.
    if (tls_ && (mode_ == Mode::Connected || peerCloseNotified_)) {
        tls_->closeNotify();
        if (tls_->closeNotifySent()) {
            // An abortive close would throw away what is still queued, the close notification with it.
            const linger orderly{0, 0};
            ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &orderly, sizeof orderly);
        }
    }
    dropTls();
    const int fd = fd_;
    fd_ = -1;
    ++generation_;
    mode_ = Mode::Idle;
    inUse_ = false;
    watched_ = false;
    writeArmed_ = false;
    acceptPending_ = false;
    // Linux releases the handle even when close reports an interruption; only other errors are failures.
    if (::close(fd) != 0 && errno != EINTR) {
        failWithErrno(errno);
        return -1;
    }
    return 0;
}

void AsyncSocket::dropTls()
{
    tls_.reset();
    handshakeWantsWrite_ = readWantsWrite_ = writeWantsRead_ = false;
    readCheckPosted_ = false;
    uncleanEnd_ = false;
    peerCloseNotified_ = false;
    closeOwed_ = false;
    owedCloseError_ = 0;
}

void AsyncSocket::watch(Handler handler, bool acceptOnly)
{
    handler_ = std::move(handler);
    acceptOnly_ = acceptOnly;
    watched_ = true;
    updateNotifiers();
    // Bytes that TLS took in while nobody listened are announced by no socket readiness, nor is an end of TLS
    // that a read ran into meanwhile.
    if (closeOwed_)
        postOwedClose();
    else if (tls_ && tls_->established() && tls_->hasPending())
        postTlsReadCheck();
}

void AsyncSocket::unwatch()
{
    watched_ = false;
    updateNotifiers();
}

int AsyncSocket::connectTo(const SocketAddress& address, std::uint16_t port)
{
    if (fd_ < 0) {
        lastError = SocketErrors::BadFile;
        return -1;
    }
    if (address.isIpv6() && !ipv6_) {
        lastError = socketErrorFromErrno(EAFNOSUPPORT);
        return -1;
    }
    socklen_t length = 0;
    const sockaddr_storage sa = systemAddress(address, port, ipv6_, length);
    int r;
    do
        r = ::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), length);
    while (r != 0 && errno == EINTR);
    if (r == 0) {
        mode_ = Mode::Connected;
        inUse_ = true;
        updateNotifiers();
        postEvent(SocketEvent::Connect, 0);
        return 0;
    }
    const int err = errno;
    if (err == EINPROGRESS) {
        mode_ = Mode::Connecting;
        updateNotifiers();
        lastError = SocketErrors::WouldBlock;
        return -1;
    }
    if (settlesConnect(err)) {
        mode_ = Mode::Failed;
        updateNotifiers();
        postEvent(SocketEvent::Connect, socketErrorFromErrno(err));
        lastError = SocketErrors::WouldBlock;
        return -1;
    }
    failWithErrno(err);
    return -1;
}

int AsyncSocket::bindTo(const SocketAddress& address, std::uint16_t port)
{
    socklen_t length = 0;
    const sockaddr_storage sa = systemAddress(address, port, ipv6_, length);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&sa), length) != 0) {
        failWithErrno(errno);
        return -1;
    }
    return 0;
}

int AsyncSocket::listenOn(int backlog)
{
    if (::listen(fd_, backlog) != 0) {
        failWithErrno(errno);
        return -1;
    }
    mode_ = Mode::Listening;
    inUse_ = true;
    acceptPending_ = false;
    updateNotifiers();
    return 0;
}

int AsyncSocket::acceptConnection(SocketAddress& peerAddress, std::uint16_t& peerPort)
{
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    int h;
    do
        h = ::accept4(fd_, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    while (h < 0 && errno == EINTR);
    const int err = errno;
    // Each accept call re-arms the accept notification, whatever it gave.
    acceptPending_ = false;
    updateNotifiers();
    if (h < 0) {
        failWithErrno(err);
        return -1;
    }
    peerAddress = fromSystemAddress(sa, peerPort);
    return h;
}

long AsyncSocket::sendBytes(const char* data, std::size_t count)
{
    if (fd_ < 0) {
        lastError = SocketErrors::NotConnected;
        return -1;
    }
    if (tls_)
        return tlsSend(data, count);
    ssize_t n;
    do
        n = ::send(fd_, data, count, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n >= 0)
        return long(n);
    const int err = errno;
    failWithErrno(err);
    if (err == EAGAIN) {
        writeArmed_ = true;
        updateNotifiers();
    } else if (mode_ == Mode::Connected && (err == EPIPE || err == ECONNRESET || err == ENOTCONN)) {
        // The connection is gone; the owner learns it the way it learns of any other end of the connection.
        mode_ = Mode::Ended;
        updateNotifiers();
        postEvent(SocketEvent::Close, socketErrorFromErrno(err));
    }
    return -1;
}

long AsyncSocket::receiveBytes(char* data, std::size_t count)
{
    if (fd_ < 0) {
        lastError = SocketErrors::NotConnected;
        return -1;
    }
    if (tls_)
        return tlsReceive(data, count);
    ssize_t n;
    do
        n = ::recv(fd_, data, count, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        failWithErrno(errno);
        return -1;
    }
    return long(n);
}

bool AsyncSocket::localName(SocketAddress& address, std::uint16_t& port) const
{
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        if (fd_ >= 0)
            failWithErrno(errno);
        return false;
    }
    address = fromSystemAddress(sa, port);
    return true;
}

bool AsyncSocket::peerName(SocketAddress& address, std::uint16_t& port) const
{
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        if (fd_ >= 0)
            failWithErrno(errno);
        return false;
    }
    address = fromSystemAddress(sa, port);
    return true;
}

void AsyncSocket::refuse(int handle)
{
    if (handle < 0)
        return;
    const linger abortive{1, 0};
    ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(handle);
}

bool AsyncSocket::waitHandle(WaitHandle& handle) const
{
    handle = WaitHandle();
    if (fd_ < 0)
        return false;
    handle.fd = fd_;
    handle.read = readNotifier_ && readNotifier_->isEnabled();
    handle.write = writeNotifier_ && writeNotifier_->isEnabled();
    return handle.read || handle.write;
}

void AsyncSocket::serviceReadiness(const WaitHandle& handle)
{
    if (handle.fd != fd_ || fd_ < 0)
        return;
    // Each step may end the connection or replace the handle; the next one runs only on the handle that was found
    // ready, and only if its notification is still armed.
    const unsigned generation = generation_;
    if (handle.readable && readNotifier_ && readNotifier_->isEnabled())
        readReady();
    if (generation != generation_ || fd_ < 0)
        return;
    if (handle.writable && writeNotifier_ && writeNotifier_->isEnabled())
        writeReady();
}

bool AsyncSocket::inputHeld() const
{
    if (!watched_ || acceptOnly_ || !tls_)
        return false;
    return closeOwed_ || (tls_->established() && mode_ == Mode::Connected && tls_->hasReadable());
}

void AsyncSocket::serviceHeldInput()
{
    if (!inputHeld())
        return;
    if (closeOwed_)
        deliverOwedClose();
    else
        readReady();
}

// ---------------------------------------------------------------------------------------------------------------
// TLS

void AsyncSocket::startTls(std::shared_ptr<TlsContext> context, const std::string& peerName, bool control)
{
    dropTls();
    if (fd_ < 0 || mode_ != Mode::Connected) {
        postEvent(SocketEvent::Secured, SocketErrors::NotConnected);
        return;
    }
    tls_ = std::make_unique<TlsChannel>(std::move(context), fd_, peerName,
                                        control ? TlsChannel::Role::Control : TlsChannel::Role::Data);
    // The first step sends the client's hello at once; its outcome, like every later one, comes as a notification
    // (a failure already now, through the handler, which the caller is ready for).
    driveHandshake();
}

void AsyncSocket::endTls(int error)
{
    // The handshake failed: the connection cannot carry anything any more, and nobody reads or writes it again.
    mode_ = Mode::Ended;
    updateNotifiers();
    deliver(SocketEvent::Secured, error);
}

void AsyncSocket::driveHandshake()
{
    handshakeWantsWrite_ = false;
    switch (tls_->handshake()) {
    case TlsStep::Done: {
        updateNotifiers();
        const unsigned generation = generation_;
        deliver(SocketEvent::Secured, 0);
        if (generation != generation_ || !tls_)
            return;
        // The peer's first bytes may have come with the end of the handshake, or a send waited for it.
        if (writeArmed_) {
            writeArmed_ = false;
            updateNotifiers();
            deliver(SocketEvent::Write, 0);
            if (generation != generation_ || !tls_)
                return;
        }
        if (tls_->hasPending())
            checkTlsReadable();
        return;
    }
    case TlsStep::WantRead:
        updateNotifiers();
        return;
    case TlsStep::WantWrite:
        handshakeWantsWrite_ = true;
        updateNotifiers();
        return;
    case TlsStep::Closed:
    case TlsStep::Eof:
        endTls(SocketErrors::ConnectionAborted);
        return;
    case TlsStep::Failed: {
        const int code = tls_->socketError();
        endTls(code != 0 ? code : SocketErrors::ConnectionAborted);
        return;
    }
    }
}

void AsyncSocket::checkTlsReadable()
{
    switch (tls_->peek()) {
    case TlsStep::Done:
        deliver(SocketEvent::Read, 0);
        return;
    case TlsStep::WantRead:
        return;
    case TlsStep::WantWrite:
        readWantsWrite_ = true;
        updateNotifiers();
        return;
    case TlsStep::Closed:
        mode_ = Mode::Ended;
        peerCloseNotified_ = true;
        tls_->closeNotify();
        updateNotifiers();
        deliver(SocketEvent::Close, 0);
        return;
    case TlsStep::Eof:
        uncleanEnd_ = true;
        mode_ = Mode::Ended;
        updateNotifiers();
        deliver(SocketEvent::Close, 0);
        return;
    case TlsStep::Failed: {
        const int code = tls_->socketError();
        uncleanEnd_ = true;
        mode_ = Mode::Ended;
        updateNotifiers();
        deliver(SocketEvent::Close, code != 0 ? code : SocketErrors::ConnectionAborted);
        return;
    }
    }
}

void AsyncSocket::postTlsReadCheck()
{
    if (readCheckPosted_)
        return;
    readCheckPosted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this, generation = generation_] {
            if (generation != generation_)
                return;
            readCheckPosted_ = false;
            if (tls_ && tls_->established() && mode_ == Mode::Connected && watched_)
                checkTlsReadable();
        },
        Qt::QueuedConnection);
}

void AsyncSocket::tlsEnded(TlsStep step)
{
    if (step != TlsStep::Closed)
        uncleanEnd_ = true;
    if (mode_ != Mode::Connected)
        return; // told already, or being told (the owner's drain after the close notification reads here too)
    // The end came in the same read as the last bytes, or after bytes TLS had already taken in: the socket may never
    // be readable again (a server that waits for our close notification keeps the connection open), so the owner's
    // Close is owed from here rather than left to a readiness of the handle.
    mode_ = Mode::Ended;
    if (step == TlsStep::Closed) {
        peerCloseNotified_ = true;
        tls_->closeNotify();
        owedCloseError_ = 0;
    } else if (step == TlsStep::Eof) {
        owedCloseError_ = 0;
    } else {
        const int code = tls_->socketError();
        owedCloseError_ = code != 0 ? code : SocketErrors::ConnectionAborted;
    }
    closeOwed_ = true;
    updateNotifiers();
    postOwedClose();
}

void AsyncSocket::postOwedClose()
{
    QMetaObject::invokeMethod(
        this,
        [this, generation = generation_] {
            if (generation == generation_)
                deliverOwedClose();
        },
        Qt::QueuedConnection);
}

void AsyncSocket::deliverOwedClose()
{
    if (!closeOwed_ || !watched_ || !handler_ || acceptOnly_)
        return;
    closeOwed_ = false;
    deliver(SocketEvent::Close, owedCloseError_);
}

long AsyncSocket::tlsSend(const char* data, std::size_t count)
{
    if (mode_ != Mode::Connected || !tls_->established()) {
        // Nothing goes before the handshake is done; the send is retried when it is.
        lastError = mode_ == Mode::Connected ? SocketErrors::WouldBlock : SocketErrors::NotConnected;
        writeArmed_ = mode_ == Mode::Connected;
        return -1;
    }
    std::size_t put = 0;
    switch (tls_->write(data, count, put)) {
    case TlsStep::Done:
        return long(put);
    case TlsStep::WantWrite:
        writeArmed_ = true;
        updateNotifiers();
        lastError = SocketErrors::WouldBlock;
        return -1;
    case TlsStep::WantRead:
        writeWantsRead_ = true;
        updateNotifiers();
        lastError = SocketErrors::WouldBlock;
        return -1;
    default: {
        const int code = tls_->socketError();
        lastError = code != 0 ? code : SocketErrors::ConnectionAborted;
        mode_ = Mode::Ended;
        updateNotifiers();
        postEvent(SocketEvent::Close, lastError);
        return -1;
    }
    }
}

long AsyncSocket::tlsReceive(char* data, std::size_t count)
{
    if (!tls_->established()) {
        lastError = SocketErrors::WouldBlock;
        return -1;
    }
    // Take whole records until the buffer is full or nothing more is to be had now, so that a full buffer means
    // what it means without TLS: more may be waiting.
    std::size_t total = 0;
    TlsStep step = TlsStep::Done;
    while (total < count) {
        std::size_t got = 0;
        step = tls_->read(data + total, count - total, got);
        if (step != TlsStep::Done)
            break;
        total += got;
    }
    if (step == TlsStep::WantWrite) {
        readWantsWrite_ = true;
        updateNotifiers();
    } else if (step == TlsStep::Closed || step == TlsStep::Eof || step == TlsStep::Failed) {
        tlsEnded(step);
    }
    if (total == count && tls_->hasPending())
        postTlsReadCheck();
    if (total > 0)
        return long(total);
    switch (step) {
    case TlsStep::Closed:
    case TlsStep::Eof:
        return 0;
    case TlsStep::WantRead:
    case TlsStep::WantWrite:
        lastError = SocketErrors::WouldBlock;
        return -1;
    default: {
        const int code = tls_->socketError();
        lastError = code != 0 ? code : SocketErrors::ConnectionAborted;
        return -1;
    }
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Notifications

void AsyncSocket::makeNotifiers()
{
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    readNotifier_->setEnabled(false);
    connect(readNotifier_, &QSocketNotifier::activated, this, &AsyncSocket::readReady);
    writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &AsyncSocket::writeReady);
}

void AsyncSocket::dropNotifiers()
{
    for (QPointer<QSocketNotifier>* n : {&readNotifier_, &writeNotifier_}) {
        if (!*n)
            continue;
        (*n)->setEnabled(false);
        (*n)->disconnect(this);
        // A notifier may be the one whose activation is running right now: let it finish first.
        if (dispatching_ > 0)
            (*n)->deleteLater();
        else
            delete n->data();
        *n = nullptr;
    }
}

void AsyncSocket::updateNotifiers()
{
    bool wantRead = false;
    bool wantWrite = false;
    if (watched_ && fd_ >= 0) {
        switch (mode_) {
        case Mode::Connecting:
            // A failed connect may show up as readable or as writable; both end in the same check.
            wantRead = wantWrite = !acceptOnly_;
            break;
        case Mode::Connected:
            wantRead = !acceptOnly_;
            // During a handshake only the handshake decides; a send that waits for its end is retried after it.
            if (tls_ && !tls_->established())
                wantWrite = !acceptOnly_ && handshakeWantsWrite_;
            else
                wantWrite = !acceptOnly_ && (writeArmed_ || readWantsWrite_);
            break;
        case Mode::Listening:
            wantRead = !acceptPending_;
            break;
        default:
            break;
        }
    }
    if (readNotifier_ && readNotifier_->isEnabled() != wantRead)
        readNotifier_->setEnabled(wantRead);
    if (writeNotifier_ && writeNotifier_->isEnabled() != wantWrite)
        writeNotifier_->setEnabled(wantWrite);
}

void AsyncSocket::readReady()
{
    switch (mode_) {
    case Mode::Connecting:
        writeReady();
        return;
    case Mode::Listening:
        acceptPending_ = true;
        updateNotifiers();
        deliver(SocketEvent::Accept, 0);
        return;
    case Mode::Connected: {
        if (tls_) {
            if (!tls_->established()) {
                driveHandshake();
                return;
            }
            if (writeWantsRead_) {
                // A send waited for the peer's bytes: it is retried first.
                writeWantsRead_ = false;
                const unsigned generation = generation_;
                deliver(SocketEvent::Write, 0);
                if (generation != generation_ || !tls_ || mode_ != Mode::Connected)
                    return;
            }
            checkTlsReadable();
            return;
        }
        // Readable means data, the end of the stream, or an error; a one-byte peek tells which.
        char probe;
        ssize_t n;
        do
            n = ::recv(fd_, &probe, 1, MSG_PEEK);
        while (n < 0 && errno == EINTR);
        if (n > 0) {
            deliver(SocketEvent::Read, 0);
        } else if (n == 0) {
            mode_ = Mode::Ended;
            updateNotifiers();
            deliver(SocketEvent::Close, 0);
        } else if (errno != EAGAIN) {
            const int code = socketErrorFromErrno(errno);
            mode_ = Mode::Ended;
            updateNotifiers();
            deliver(SocketEvent::Close, code);
        }
        return;
    }
    default:
        updateNotifiers();
        return;
    }
}

void AsyncSocket::writeReady()
{
    if (mode_ == Mode::Connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
        if (err != 0) {
            mode_ = Mode::Failed;
            updateNotifiers();
            deliver(SocketEvent::Connect, socketErrorFromErrno(err));
            return;
        }
        sockaddr_storage sa{};
        socklen_t salen = sizeof sa;
        if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&sa), &salen) != 0)
            return; // still under way: a wake-up without news
        mode_ = Mode::Connected;
        inUse_ = true;
        updateNotifiers();
        deliver(SocketEvent::Connect, 0);
        return;
    }
    if (mode_ == Mode::Connected) {
        if (tls_ && !tls_->established()) {
            driveHandshake();
            return;
        }
        const unsigned generation = generation_;
        if (std::exchange(readWantsWrite_, false)) {
            // A read waited for the socket to take bytes: it is retried.
            updateNotifiers();
            checkTlsReadable();
            if (generation != generation_ || mode_ != Mode::Connected)
                return;
        }
        if (!writeArmed_) {
            updateNotifiers();
            return;
        }
        writeArmed_ = false;
        updateNotifiers();
        deliver(SocketEvent::Write, 0);
        return;
    }
    updateNotifiers();
}

void AsyncSocket::deliver(SocketEvent kind, int error)
{
    if (!watched_ || !handler_)
        return;
    if (acceptOnly_ && kind != SocketEvent::Accept)
        return;
    QPointer<AsyncSocket> alive(this);
    const Handler handler = handler_;
    ++dispatching_;
    handler(kind, error);
    if (alive)
        --dispatching_;
}

void AsyncSocket::postEvent(SocketEvent kind, int error)
{
    QMetaObject::invokeMethod(
        this,
        [this, kind, error, generation = generation_] {
            if (generation == generation_)
                deliver(kind, error);
        },
        Qt::QueuedConnection);
}
