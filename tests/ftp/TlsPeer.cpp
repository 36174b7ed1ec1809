#include "TlsPeer.h"

#include <QFile>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>

namespace {

std::string pemOf(int (*write)(BIO*, void*), void* object)
{
    BIO* out = BIO_new(BIO_s_mem());
    write(out, object);
    char* data = nullptr;
    const long length = BIO_get_mem_data(out, &data);
    std::string text(data, std::size_t(length));
    BIO_free(out);
    return text;
}

X509* readCertificate(const std::string& pem)
{
    BIO* in = BIO_new_mem_buf(pem.data(), int(pem.size()));
    X509* x = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    return x;
}

EVP_PKEY* readKey(const std::string& pem)
{
    BIO* in = BIO_new_mem_buf(pem.data(), int(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    return key;
}

void addExtension(X509* x, X509V3_CTX& ctx, int nid, const std::string& value)
{
    if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str())) {
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
    }
}

bool isAddress(const std::string& name)
{
    unsigned char bytes[16];
    return inet_pton(AF_INET, name.c_str(), bytes) == 1 || inet_pton(AF_INET6, name.c_str(), bytes) == 1;
}

std::atomic<long> serial{1};

} // namespace

TestCertificate TestCertificate::make(const std::string& commonName, const std::vector<std::string>& names,
                                      const TestCertificate* issuer, bool authority, int rsaBits)
{
    EVP_PKEY* key = rsaBits > 0 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", std::size_t(rsaBits))
                                : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial++ + long(time(nullptr)) * 1000);
    X509_gmtime_adj(X509_getm_notBefore(x), -86400);
    X509_gmtime_adj(X509_getm_notAfter(x), 365L * 86400);
    X509_set_pubkey(x, key);
    X509_NAME* subject = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Kolvane tests"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509* issuerCertificate = issuer ? readCertificate(issuer->certificatePem) : nullptr;
    EVP_PKEY* issuerKey = issuer ? readKey(issuer->keyPem) : nullptr;
    X509_set_issuer_name(x, issuerCertificate ? X509_get_subject_name(issuerCertificate) : subject);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuerCertificate ? issuerCertificate : x, x, nullptr, nullptr, 0);
    addExtension(x, ctx, NID_basic_constraints, authority ? "critical,CA:TRUE" : "critical,CA:FALSE");
    addExtension(x, ctx, NID_key_usage, authority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    addExtension(x, ctx, NID_subject_key_identifier, "hash");
    if (issuerCertificate)
        addExtension(x, ctx, NID_authority_key_identifier, "keyid");
    if (!authority) {
        addExtension(x, ctx, NID_ext_key_usage, "serverAuth");
        std::string alt;
        for (const std::string& name : names)
            alt += (alt.empty() ? "" : ",") + std::string(isAddress(name) ? "IP:" : "DNS:") + name;
        if (!alt.empty())
            addExtension(x, ctx, NID_subject_alt_name, alt);
    }
    X509_sign(x, issuerKey ? issuerKey : key, EVP_sha256());

    TestCertificate out;
    out.certificatePem = pemOf([](BIO* b, void* o) { return PEM_write_bio_X509(b, static_cast<X509*>(o)); }, x);
    out.keyPem = pemOf(
        [](BIO* b, void* o) {
            return PEM_write_bio_PrivateKey(b, static_cast<EVP_PKEY*>(o), nullptr, nullptr, 0, nullptr, nullptr);
        },
        key);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(x, EVP_sha256(), digest, &length);
    char hex[4];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", digest[i]);
        out.fingerprint += (i ? ":" : "") + std::string(hex);
    }
    X509_free(x);
    EVP_PKEY_free(key);
    X509_free(issuerCertificate);
    EVP_PKEY_free(issuerKey);
    return out;
}

bool TestCertificate::write(const QString& path) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const std::string both = certificatePem + keyPem;
    return file.write(both.data(), qint64(both.size())) == qint64(both.size());
}

PeerTlsServer::PeerTlsServer(const TestCertificate& certificate, bool resumable, const std::string& tls12Ciphers)
{
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_security_level(ctx_, 0);
    if (!tls12Ciphers.empty()) {
        SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
        SSL_CTX_set_cipher_list(ctx_, (tls12Ciphers + ":@SECLEVEL=0").c_str());
    }
    X509* x = readCertificate(certificate.certificatePem);
    EVP_PKEY* key = readKey(certificate.keyPem);
    SSL_CTX_use_certificate(ctx_, x);
    SSL_CTX_use_PrivateKey(ctx_, key);
    X509_free(x);
    EVP_PKEY_free(key);
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    static const unsigned char id[] = "kolvane-test-peer";
    SSL_CTX_set_session_id_context(ctx_, id, sizeof id - 1);
    if (!resumable) {
        SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_options(ctx_, SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(ctx_, 0);
    }
}

PeerTlsServer::~PeerTlsServer()
{
    SSL_CTX_free(ctx_);
}

PeerStream::PeerStream(QTcpSocket& socket) : socket_(&socket) {}

PeerStream::PeerStream(std::unique_ptr<QTcpSocket> socket) : socket_(socket.get()), owned_(std::move(socket)) {}

PeerStream::~PeerStream()
{
    if (ssl_)
        SSL_free(ssl_);
}

bool PeerStream::readRaw()
{
    if (socket_->bytesAvailable() == 0 && !socket_->waitForReadyRead(waitMs) && socket_->bytesAvailable() == 0)
        return false;
    const QByteArray bytes = socket_->readAll();
    if (ssl_)
        BIO_write(in_, bytes.constData(), int(bytes.size()));
    else
        pending_.append(bytes.constData(), std::size_t(bytes.size()));
    return true;
}

bool PeerStream::flush()
{
    // Everything TLS made of the last step goes in one write, so records sent together arrive together.
    std::string out;
    char chunk[16384];
    int n;
    while ((n = BIO_read(out_, chunk, sizeof chunk)) > 0)
        out.append(chunk, std::size_t(n));
    if (out.empty())
        return true;
    socket_->write(out.data(), qint64(out.size()));
    while (socket_->bytesToWrite() > 0 && socket_->state() == QAbstractSocket::ConnectedState)
        if (!socket_->waitForBytesWritten(waitMs))
            return false;
    return true;
}

bool PeerStream::startTls(PeerTlsServer& server)
{
    ssl_ = SSL_new(server.context());
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
    if (!pending_.empty())
        BIO_write(in_, pending_.data(), int(pending_.size()));
    pending_.clear();
    for (;;) {
        ERR_clear_error();
        const int r = SSL_do_handshake(ssl_);
        flush();
        if (r == 1)
            return true;
        if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ || !readRaw())
            return false;
    }
}

bool PeerStream::sessionReused() const
{
    return ssl_ && SSL_session_reused(ssl_) == 1;
}

void PeerStream::send(const std::string& bytes)
{
    if (!ssl_) {
        socket_->write(bytes.data(), qint64(bytes.size()));
        while (socket_->bytesToWrite() > 0 && socket_->state() == QAbstractSocket::ConnectedState)
            if (!socket_->waitForBytesWritten(waitMs))
                break;
        return;
    }
    for (std::size_t at = 0; at < bytes.size();) {
        const int n = SSL_write(ssl_, bytes.data() + at, int(std::min<std::size_t>(bytes.size() - at, 1 << 16)));
        if (n <= 0 || !flush())
            return;
        at += std::size_t(n);
    }
}

void PeerStream::sendAndCloseNotify(const std::string& bytes)
{
    for (std::size_t at = 0; at < bytes.size();) {
        const int n = SSL_write(ssl_, bytes.data() + at, int(bytes.size() - at));
        if (n <= 0)
            return;
        at += std::size_t(n);
    }
    SSL_shutdown(ssl_);
    flush();
}

bool PeerStream::awaitCloseNotify()
{
    while (!ended_ && fill()) {
    }
    return ended_;
}

bool PeerStream::fill()
{
    if (!ssl_)
        return readRaw();
    for (;;) {
        ERR_clear_error();
        char chunk[16384];
        bool got = false;
        int n;
        while ((n = SSL_read(ssl_, chunk, sizeof chunk)) > 0) {
            pending_.append(chunk, std::size_t(n));
            got = true;
        }
        const int error = SSL_get_error(ssl_, n);
        flush();
        if (got)
            return true;
        if (error == SSL_ERROR_ZERO_RETURN)
            ended_ = true;
        if (error != SSL_ERROR_WANT_READ || !readRaw())
            return false;
    }
}

std::string PeerStream::readLine()
{
    std::size_t lf;
    while ((lf = pending_.find('\n')) == std::string::npos)
        if (!fill())
            return std::string();
    std::string line = pending_.substr(0, lf + 1);
    pending_.erase(0, lf + 1);
    return line;
}

std::string PeerStream::readBytes(std::size_t count)
{
    while (pending_.size() < count && fill()) {
    }
    std::string out = pending_.substr(0, count);
    pending_.erase(0, out.size());
    return out;
}

bool PeerStream::waitClosed()
{
    while (socket_->state() == QAbstractSocket::ConnectedState && !ended_)
        if (!fill())
            return ended_ || socket_->state() != QAbstractSocket::ConnectedState;
    return true;
}

void PeerStream::close(bool closeNotify)
{
    if (ssl_ && closeNotify) {
        SSL_shutdown(ssl_);
        flush();
    }
    socket_->disconnectFromHost();
    if (socket_->state() != QAbstractSocket::UnconnectedState)
        socket_->waitForDisconnected(waitMs);
}
