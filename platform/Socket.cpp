#include "platform/Socket.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
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

sockaddr_in socketAddress(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
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

SocketLibraryInfo socketLibraryInfo()
{
    SocketLibraryInfo info;
    info.version = 0x0101;
    info.highVersion = 0x0101;
    info.description = "POSIX sockets, IPv4, notified through Qt";
    info.systemStatus = "Running";
    rlimit files{};
    info.maxSockets = getrlimit(RLIMIT_NOFILE, &files) == 0 ? long(files.rlim_cur) : 1024;
    info.maxDatagram = 65507;
    return info;
}

int startHostLookup(const std::string& name, QObject* context,
                    std::function<void(int error, std::uint32_t address)> done)
{
    return QHostInfo::lookupHost(QString::fromLatin1(name.data(), qsizetype(name.size())), context,
                                 [done = std::move(done)](const QHostInfo& info) {
                                     if (info.error() == QHostInfo::HostNotFound) {
                                         done(SocketErrors::HostNotFound, 0);
                                         return;
                                     }
                                     if (info.error() != QHostInfo::NoError) {
                                         done(SocketErrors::NoRecovery, 0);
                                         return;
                                     }
                                     for (const QHostAddress& a : info.addresses()) {
                                         bool ok = false;
                                         const quint32 v4 = a.toIPv4Address(&ok);
                                         if (ok) {
                                             done(0, v4);
                                             return;
                                         }
                                     }
                                     done(SocketErrors::NoData, 0); // the name is known, but has no IPv4 address
                                 });
}

void abortHostLookup(int id)
{
    QHostInfo::abortHostLookup(id);
}

AsyncSocket::AsyncSocket(QObject* parent) : QObject(parent) {}

AsyncSocket::~AsyncSocket()
{
    handler_ = nullptr;
    watched_ = false;
    close();
}

bool AsyncSocket::open(bool lingerZero)
{
    close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
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
    fd_ = fd;
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

void AsyncSocket::watch(Handler handler, bool acceptOnly)
{
    handler_ = std::move(handler);
    acceptOnly_ = acceptOnly;
    watched_ = true;
    updateNotifiers();
}

void AsyncSocket::unwatch()
{
    watched_ = false;
    updateNotifiers();
}

int AsyncSocket::connectTo(std::uint32_t address, std::uint16_t port)
{
    if (fd_ < 0) {
        lastError = SocketErrors::BadFile;
        return -1;
    }
    const sockaddr_in sa = socketAddress(address, port);
    int r;
    do
        r = ::connect(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
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

int AsyncSocket::bindTo(std::uint32_t address, std::uint16_t port)
{
    const sockaddr_in sa = socketAddress(address, port);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
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

int AsyncSocket::acceptConnection(std::uint32_t& peerAddress, std::uint16_t& peerPort)
{
    sockaddr_in sa{};
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
    peerAddress = ntohl(sa.sin_addr.s_addr);
    peerPort = ntohs(sa.sin_port);
    return h;
}

long AsyncSocket::sendBytes(const char* data, std::size_t count)
{
    if (fd_ < 0) {
        lastError = SocketErrors::NotConnected;
        return -1;
    }
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

bool AsyncSocket::localName(std::uint32_t& address, std::uint16_t& port) const
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        if (fd_ >= 0)
            failWithErrno(errno);
        return false;
    }
    address = ntohl(sa.sin_addr.s_addr);
    port = ntohs(sa.sin_port);
    return true;
}

bool AsyncSocket::peerName(std::uint32_t& address, std::uint16_t& port) const
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (fd_ < 0 || ::getpeername(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        if (fd_ >= 0)
            failWithErrno(errno);
        return false;
    }
    address = ntohl(sa.sin_addr.s_addr);
    port = ntohs(sa.sin_port);
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
            wantWrite = !acceptOnly_ && writeArmed_;
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
        sockaddr_in sa{};
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
