#include "platform/Tls.h"

#include "platform/Socket.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

// The socket under a channel. OpenSSL's own socket BIO writes with write(), which raises SIGPIPE on a connection
// the peer has reset; this one sends with MSG_NOSIGNAL, and remembers the end of the stream and the last error so
// that a failure can be told in the engine's words.
struct SocketBioState {
    int handle = -1;
    int lastErrno = 0;
    bool eof = false;
};

int bioWrite(BIO* bio, const char* data, int length)
{
    auto* state = static_cast<SocketBioState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do
        n = ::send(state->handle, data, std::size_t(length), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n >= 0)
        return int(n);
    state->lastErrno = errno;
    if (errno == EAGAIN)
        BIO_set_retry_write(bio);
    return -1;
}

int bioRead(BIO* bio, char* data, int length)
{
    auto* state = static_cast<SocketBioState*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do
        n = ::recv(state->handle, data, std::size_t(length), 0);
    while (n < 0 && errno == EINTR);
    if (n > 0)
        return int(n);
    if (n == 0) {
        state->eof = true;
        return 0;
    }
    state->lastErrno = errno;
    if (errno == EAGAIN)
        BIO_set_retry_read(bio);
    return -1;
}

long bioControl(BIO* bio, int command, long, void*)
{
    switch (command) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_EOF:
        return static_cast<SocketBioState*>(BIO_get_data(bio))->eof ? 1 : 0;
    default:
        return 0;
    }
}

int bioCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

int bioDestroy(BIO*)
{
    return 1; // the state belongs to the channel, the handle to the socket layer
}

BIO_METHOD* socketBioMethod()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kolvane socket");
        if (m) {
            BIO_meth_set_write(m, bioWrite);
            BIO_meth_set_read(m, bioRead);
            BIO_meth_set_ctrl(m, bioControl);
            BIO_meth_set_create(m, bioCreate);
            BIO_meth_set_destroy(m, bioDestroy);
        }
        return m;
    }();
    return method;
}

// What a channel tells the session callback about itself.
struct ChannelNote {
    TlsContext::Impl* context = nullptr;
    bool control = false;
};

std::string lastErrorReason()
{
    const unsigned long code = ERR_peek_last_error();
    if (code == 0)
        return std::string();
    const char* reason = ERR_reason_error_string(code);
    if (reason)
        return reason;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string timeText(const ASN1_TIME* time)
{
    std::tm tm{};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return std::string();
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

std::string nameText(const X509_NAME* name)
{
    BIO* out = BIO_new(BIO_s_mem());
    if (!out)
        return std::string();
    // UTF-8 stays UTF-8 rather than being escaped byte by byte.
    X509_NAME_print_ex(out, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    std::string text(data ? data : "", data ? std::size_t(length) : 0);
    BIO_free(out);
    return text;
}

std::string altNamesText(X509* cert)
{
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (!names)
        return std::string();
    std::string text;
    BIO* out = BIO_new(BIO_s_mem());
    for (int i = 0; out && i < sk_GENERAL_NAME_num(names); ++i) {
        if (i > 0)
            BIO_puts(out, ", ");
        GENERAL_NAME_print(out, sk_GENERAL_NAME_value(names, i));
    }
    if (out) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(out, &data);
        text.assign(data ? data : "", data ? std::size_t(length) : 0);
        BIO_free(out);
    }
    GENERAL_NAMES_free(names);
    return text;
}

bool isAddressLiteral(const std::string& name)
{
    unsigned char bytes[16];
    return inet_pton(AF_INET, name.c_str(), bytes) == 1 || inet_pton(AF_INET6, name.c_str(), bytes) == 1;
}

} // namespace

void endThreadTls()
{
    OPENSSL_thread_stop();
}

bool sameFingerprint(const std::string& a, const std::string& b)
{
    auto digits = [](const std::string& text) {
        std::string out;
        for (char c : text)
            if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))
                out.push_back(c);
            else if (c >= 'a' && c <= 'f')
                out.push_back(char(c - 'a' + 'A'));
        return out;
    };
    const std::string x = digits(a);
    return !x.empty() && x == digits(b);
}

// ---------------------------------------------------------------------------------------------------------------
// TlsContext

struct TlsContext::Impl {
    SSL_CTX* ctx = nullptr; // one reference of the process's shared context
    SSL_SESSION* controlSession = nullptr;
};

namespace {

// Sessions are kept only from the control connection: that is the one the data connections must resume.
int rememberSession(SSL* ssl, SSL_SESSION* session)
{
    auto* note = static_cast<ChannelNote*>(SSL_get_app_data(ssl));
    if (!note || !note->control || !note->context)
        return 0;
    if (note->context->controlSession)
        SSL_SESSION_free(note->context->controlSession);
    note->context->controlSession = session;
    return 1; // the reference is ours now
}

// The client's settings and the system's certificate authorities, made once for the whole process: building them
// (above all, reading the system's store) costs far more than a handshake, and a batch logs in to many sites, each
// from a thread of its own. OpenSSL shares a context between threads safely (every connection gets its own SSL
// from it); what differs per log-in, the control connection's session, is kept in each TlsContext.
SSL_CTX* makeClientContext(std::string& failure, bool& complete)
{
    complete = false;
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        failure = "TLS is not available: " + lastErrorReason();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // TLS 1.2's suites without forward secrecy (RSA key exchange) or with CBC's MAC-then-encrypt are what an attacker
    // on the path asks for; every server of this decade offers one of these. TLS 1.3's suites are all of this kind.
    if (SSL_CTX_set_cipher_list(ctx, "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                     "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                     "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305") != 1) {
        failure = "TLS is not available: " + lastErrorReason();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    // The certificate is checked after the handshake, so that the operator can be asked about one that does not
    // verify; the verification result and the host name check are OpenSSL's all the same.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_default_verify_paths(ctx);
    ERR_clear_error(); // no system store: every certificate then needs the operator's word or a pin
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, rememberSession);
    // A store that could not be read (no descriptor left, say) is not kept for the rest of the run: the next
    // log-in reads it again. One that is not there at all is not there for the next one either.
    const STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(SSL_CTX_get_cert_store(ctx));
    const char* named = std::getenv(X509_get_default_cert_file_env());
    struct stat file {};
    complete = (objects && sk_X509_OBJECT_num(objects) > 0) ||
               (::stat(named ? named : X509_get_default_cert_file(), &file) != 0 && errno == ENOENT);
    return ctx;
}

std::mutex sharedMutex;
SSL_CTX* sharedContext = nullptr; // kept for the process's life: connections of any thread may still use it

SSL_CTX* clientContext(std::string& failure)
{
    std::lock_guard lock(sharedMutex);
    if (sharedContext) {
        SSL_CTX_up_ref(sharedContext);
        return sharedContext;
    }
    bool complete = false;
    SSL_CTX* ctx = makeClientContext(failure, complete);
    if (ctx && complete) {
        sharedContext = ctx;
        SSL_CTX_up_ref(ctx);
    }
    return ctx;
}

} // namespace

TlsContext::TlsContext() : impl_(std::make_unique<Impl>())
{
    impl_->ctx = clientContext(failure_);
}

void TlsContext::rereadSystemStore()
{
    std::lock_guard lock(sharedMutex);
    if (sharedContext)
        SSL_CTX_free(sharedContext); // the log-ins that hold it keep their own references
    sharedContext = nullptr;
}

TlsContext::~TlsContext()
{
    if (impl_->controlSession)
        SSL_SESSION_free(impl_->controlSession);
    if (impl_->ctx)
        SSL_CTX_free(impl_->ctx);
}

// ---------------------------------------------------------------------------------------------------------------
// TlsChannel

struct TlsChannel::Impl {
    SSL* ssl = nullptr;
    SocketBioState bio;
    ChannelNote note;
};

TlsChannel::TlsChannel(std::shared_ptr<TlsContext> context, int handle, const std::string& peerName, Role role)
    : impl_(std::make_unique<Impl>()), context_(std::move(context))
{
    impl_->bio.handle = handle;
    ERR_clear_error();
    BIO_METHOD* method = socketBioMethod();
    TlsContext::Impl& shared = context_->impl();
    if (!shared.ctx || !method || !(impl_->ssl = SSL_new(shared.ctx))) {
        broken_ = true;
        errorText_ = context_->failure().empty() ? "TLS is not available: " + lastErrorReason() : context_->failure();
        return;
    }
    SSL* ssl = impl_->ssl;
    BIO* bio = BIO_new(method);
    if (!bio) {
        broken_ = true;
        errorText_ = "TLS is not available: " + lastErrorReason();
        return;
    }
    BIO_set_data(bio, &impl_->bio);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_connect_state(ssl);
    // The engine retries a send with the front of its queue, which may have moved and grown meanwhile.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    impl_->note.context = &shared;
    impl_->note.control = role == Role::Control;
    SSL_set_app_data(ssl, &impl_->note);

    std::string name = peerName;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (isAddressLiteral(name)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str());
    } else if (!name.empty()) {
        SSL_set_tlsext_host_name(ssl, name.c_str());
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl, name.c_str());
    }
    if (role == Role::Data && shared.controlSession) {
        // A copy: OpenSSL marks the session of a connection that ends without its close notification as never to
        // be resumed again, and one data connection that ends so must not spoil the session for the next.
        if (SSL_SESSION* copy = SSL_SESSION_dup(shared.controlSession)) {
            SSL_set_session(ssl, copy);
            SSL_SESSION_free(copy);
        }
    }
    ERR_clear_error();
}

TlsChannel::~TlsChannel()
{
    if (impl_->ssl)
        SSL_free(impl_->ssl); // frees the BIO too
}

TlsStep TlsChannel::settle(int result, const char* operation)
{
    const int error = SSL_get_error(impl_->ssl, result);
    switch (error) {
    case SSL_ERROR_WANT_READ:
        return TlsStep::WantRead;
    case SSL_ERROR_WANT_WRITE:
        return TlsStep::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
        return TlsStep::Closed;
    default:
        break;
    }
    broken_ = true;
    const std::string reason = lastErrorReason();
    const bool unexpectedEof =
        error == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
    ERR_clear_error();
    if (impl_->bio.eof && (error == SSL_ERROR_SYSCALL || unexpectedEof)) {
        errorText_ = "the server closed the connection without a TLS close notification";
        return TlsStep::Eof;
    }
    if (error == SSL_ERROR_SYSCALL && impl_->bio.lastErrno != 0) {
        errorText_.clear(); // the socket error says it
        return TlsStep::Failed;
    }
    errorText_ = reason.empty() ? std::string(operation) + " failed" : reason;
    impl_->bio.lastErrno = 0;
    return TlsStep::Failed;
}

TlsStep TlsChannel::handshake()
{
    if (broken_)
        return TlsStep::Failed;
    if (established_)
        return TlsStep::Done;
    ERR_clear_error();
    impl_->bio.lastErrno = 0;
    const int r = SSL_do_handshake(impl_->ssl);
    if (r == 1) {
        established_ = true;
        return TlsStep::Done;
    }
    const TlsStep step = settle(r, "the TLS handshake");
    if (step == TlsStep::Closed || step == TlsStep::Eof) {
        broken_ = true;
        errorText_ = "the server closed the connection";
    }
    return step;
}

TlsStep TlsChannel::read(char* data, std::size_t count, std::size_t& got)
{
    got = 0;
    if (broken_)
        return TlsStep::Failed;
    ERR_clear_error();
    impl_->bio.lastErrno = 0;
    const int r = SSL_read(impl_->ssl, data, int(std::min<std::size_t>(count, INT_MAX)));
    if (r > 0) {
        got = std::size_t(r);
        return TlsStep::Done;
    }
    return settle(r, "reading");
}

TlsStep TlsChannel::write(const char* data, std::size_t count, std::size_t& put)
{
    put = 0;
    if (broken_)
        return TlsStep::Failed;
    ERR_clear_error();
    impl_->bio.lastErrno = 0;
    const int r = SSL_write(impl_->ssl, data, int(std::min<std::size_t>(count, INT_MAX)));
    if (r > 0) {
        put = std::size_t(r);
        return TlsStep::Done;
    }
    return settle(r, "sending");
}

TlsStep TlsChannel::peek()
{
    if (broken_)
        return TlsStep::Failed;
    ERR_clear_error();
    impl_->bio.lastErrno = 0;
    char probe;
    const int r = SSL_peek(impl_->ssl, &probe, 1);
    return r > 0 ? TlsStep::Done : settle(r, "reading");
}

bool TlsChannel::hasPending() const
{
    return impl_->ssl && !broken_ && SSL_has_pending(impl_->ssl) == 1;
}

bool TlsChannel::hasReadable() const
{
    return impl_->ssl && !broken_ && SSL_pending(impl_->ssl) > 0;
}

void TlsChannel::closeNotify()
{
    if (!impl_->ssl || !established_ || broken_ || !closeNotifyAllowed_ || closeNotifySent_)
        return;
    closeNotifySent_ = true;
    ERR_clear_error();
    SSL_shutdown(impl_->ssl); // sends ours; the peer's is not waited for
    ERR_clear_error();
}

int TlsChannel::socketError() const
{
    const int err = impl_->bio.lastErrno;
    return err == 0 || err == EAGAIN ? 0 : socketErrorFromErrno(err);
}

bool TlsChannel::sessionReused() const
{
    return impl_->ssl && SSL_session_reused(impl_->ssl) == 1;
}

std::string TlsChannel::description() const
{
    if (!impl_->ssl || !established_)
        return std::string();
    const SSL_CIPHER* cipher = SSL_get_current_cipher(impl_->ssl);
    return std::string(SSL_get_version(impl_->ssl)) + " " + (cipher ? SSL_CIPHER_get_name(cipher) : "");
}

CertificateInfo TlsChannel::peerCertificate() const
{
    CertificateInfo info;
    X509* cert = impl_->ssl ? SSL_get1_peer_certificate(impl_->ssl) : nullptr;
    if (!cert) {
        info.problem = "the server sent no certificate";
        return info;
    }
    info.subject = nameText(X509_get_subject_name(cert));
    info.issuer = nameText(X509_get_issuer_name(cert));
    info.subjectAltNames = altNamesText(cert);
    info.notBefore = timeText(X509_get0_notBefore(cert));
    info.notAfter = timeText(X509_get0_notAfter(cert));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &length) == 1) {
        static constexpr char hex[] = "0123456789ABCDEF";
        for (unsigned int i = 0; i < length; ++i) {
            if (i > 0)
                info.sha256Fingerprint.push_back(':');
            info.sha256Fingerprint.push_back(hex[digest[i] >> 4]);
            info.sha256Fingerprint.push_back(hex[digest[i] & 15]);
        }
    }
    if (const EVP_PKEY* key = X509_get0_pubkey(cert);
        key && (EVP_PKEY_is_a(key, "RSA") || EVP_PKEY_is_a(key, "RSA-PSS"))) {
        const int bits = EVP_PKEY_get_bits(key);
        if (bits < MinimumRsaKeyBits)
            info.weakKey = "The server's RSA key has " + std::to_string(bits) + " bits; at least " +
                           std::to_string(MinimumRsaKeyBits) + " are required";
    }
    X509_free(cert);
    const long verified = SSL_get_verify_result(impl_->ssl);
    if (verified != X509_V_OK)
        info.problem = X509_verify_cert_error_string(verified);
    ERR_clear_error();
    return info;
}
