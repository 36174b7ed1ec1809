#include "sim/Tls.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSet>
#include <QSslSocket>
#include <QVariant>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace sim::tls {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bignum = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;

QString lastError()
{
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0)
        return QStringLiteral("unknown error");
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return QString::fromLatin1(text);
}

QByteArray bioBytes(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, size);
}

QByteArray certificatePem(X509* x)
{
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_X509(bio.get(), x))
        return {};
    return bioBytes(bio.get());
}

QByteArray keyPem(EVP_PKEY* key)
{
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr))
        return {};
    return bioBytes(bio.get());
}

// The identity as Qt sees it, from the PEM forms OpenSSL wrote.
std::optional<Identity> toIdentity(X509* x, EVP_PKEY* key, QString* error)
{
    QSsl::KeyAlgorithm algorithm;
    switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA:
        algorithm = QSsl::Rsa;
        break;
    case EVP_PKEY_EC:
        algorithm = QSsl::Ec;
        break;
    case EVP_PKEY_DSA:
        algorithm = QSsl::Dsa;
        break;
    default:
        *error = QStringLiteral("the key is neither RSA nor EC nor DSA");
        return std::nullopt;
    }
    Identity identity;
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(certificatePem(x), QSsl::Pem);
    if (!certificates.isEmpty())
        identity.certificate = certificates.first();
    identity.key = QSslKey(keyPem(key), algorithm, QSsl::Pem, QSsl::PrivateKey);
    if (identity.certificate.isNull() || identity.key.isNull()) {
        *error = QStringLiteral("the TLS library cannot take the certificate or its key");
        return std::nullopt;
    }
    return identity;
}

bool addExtension(X509* x, int nid, const QByteArray& value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.constData());
    if (!extension)
        return false;
    const bool added = X509_add_ext(x, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// Which OpenSSL handle belongs to which socket. Qt makes a socket's SSL object inside startServerEncryption()
// and offers no way to it, so an ex_data hook on the SSL class sees it being made: startServer() names the
// socket's options while it runs, and the hook, which SSL_new calls once the handle and its context are
// complete, applies them to that context (before a single byte of the client's hello is read) and notes the
// handle. Each socket has a context of its own, so the change touches nobody else. The free hook forgets
// handles that are gone, so a handle is only ever used while it lives.
struct Pending {
    const SocketOptions* options = nullptr;
    SSL* made = nullptr;
};
Pending g_pending;
const char kHandleProperty[] = "quillon-sim.ssl";

// Never destroyed: a handle freed during the program's exit must still find it.
QSet<const SSL*>& liveHandles()
{
    static auto* live = new QSet<const SSL*>;
    return *live;
}

void onSslNew(void* parent, void*, CRYPTO_EX_DATA*, int, long, void*)
{
    if (!g_pending.options)
        return;
    auto* ssl = static_cast<SSL*>(parent);
    liveHandles().insert(ssl);
    g_pending.made = ssl;
    const QByteArray& key = g_pending.options->ticketKey;
    if (!key.isEmpty())
        SSL_CTX_set_tlsext_ticket_keys(SSL_get_SSL_CTX(ssl), const_cast<char*>(key.constData()), key.size());
}

void onSslFree(void* parent, void*, CRYPTO_EX_DATA*, int, long, void*)
{
    liveHandles().remove(static_cast<const SSL*>(parent));
}

void installHooks()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, onSslNew, nullptr, onSslFree);
    Q_UNUSED(index);
}

} // namespace

std::optional<Identity> loadIdentity(const QString& certPath, const QString& keyPath, QString* error)
{
    auto readFile = [error](const QString& path, QByteArray* out) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return false;
        }
        *out = file.readAll();
        return true;
    };
    QByteArray certBytes;
    QByteArray keyBytes;
    if (!readFile(certPath, &certBytes) || !readFile(keyPath, &keyBytes))
        return std::nullopt;

    Bio certBio(BIO_new_mem_buf(certBytes.constData(), static_cast<int>(certBytes.size())));
    X509Ptr certificate(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    if (!certificate) {
        *error = QStringLiteral("%1 holds no PEM certificate (%2)").arg(certPath, lastError());
        return std::nullopt;
    }
    Bio keyBio(BIO_new_mem_buf(keyBytes.constData(), static_cast<int>(keyBytes.size())));
    // No pass phrase: an encrypted key is refused rather than asked about.
    static char empty[] = "";
    Pkey key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, empty));
    if (!key) {
        *error = QStringLiteral("%1 holds no unencrypted PEM private key (%2)").arg(keyPath, lastError());
        return std::nullopt;
    }
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        ERR_clear_error();
        *error = QStringLiteral("the key in %1 does not belong to the certificate in %2").arg(keyPath, certPath);
        return std::nullopt;
    }
    return toIdentity(certificate.get(), key.get(), error);
}

std::optional<Identity> makeSelfSigned(const QHostAddress& host, QString* error)
{
    Pkey key(EVP_EC_gen("P-256"));
    X509Ptr x(X509_new());
    Bignum serial(BN_new());
    if (!key || !x || !serial) {
        *error = QStringLiteral("cannot make a key: %1").arg(lastError());
        return std::nullopt;
    }
    const bool single = !host.isNull() && host != QHostAddress(QHostAddress::AnyIPv4) &&
                        host != QHostAddress(QHostAddress::AnyIPv6) && host.scopeId().isEmpty();
    const QByteArray hostText = single ? host.toString().toLatin1() : QByteArray("localhost");
    QByteArray alternatives = "IP:127.0.0.1,IP:::1,DNS:localhost";
    if (single && !host.isLoopback())
        alternatives += ",IP:" + hostText;

    X509_NAME* name = X509_get_subject_name(x.get());
    const bool made =
        X509_set_version(x.get(), X509_VERSION_3) == 1 &&
        BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
        BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x.get())) != nullptr &&
        X509_gmtime_adj(X509_getm_notBefore(x.get()), 0) != nullptr &&
        X509_gmtime_adj(X509_getm_notAfter(x.get()), 365L * 24 * 3600) != nullptr &&
        X509_set_pubkey(x.get(), key.get()) == 1 &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(hostText.constData()), -1, -1, 0) == 1 &&
        X509_set_issuer_name(x.get(), name) == 1 && addExtension(x.get(), NID_subject_alt_name, alternatives) &&
        addExtension(x.get(), NID_basic_constraints, "critical,CA:FALSE") &&
        addExtension(x.get(), NID_key_usage, "critical,digitalSignature") &&
        addExtension(x.get(), NID_ext_key_usage, "serverAuth") &&
        addExtension(x.get(), NID_subject_key_identifier, "hash") && X509_sign(x.get(), key.get(), EVP_sha256()) > 0;
    if (!made) {
        *error = QStringLiteral("cannot make a self-signed certificate: %1").arg(lastError());
        return std::nullopt;
    }
    return toIdentity(x.get(), key.get(), error);
}

QByteArray fingerprint(const QSslCertificate& certificate)
{
    return certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper();
}

QSslConfiguration serverConfiguration(const Identity& identity)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(identity.certificate);
    configuration.setPrivateKey(identity.key);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

QByteArray newTicketKey()
{
    QByteArray key(80, '\0'); // name, HMAC secret and AES key of the tickets
    if (RAND_bytes(reinterpret_cast<unsigned char*>(key.data()), static_cast<int>(key.size())) != 1)
        return {};
    return key;
}

void startServer(QSslSocket* socket, const SocketOptions& options)
{
    installHooks();
    g_pending = {&options, nullptr};
    socket->startServerEncryption();
    SSL* ssl = g_pending.made;
    g_pending = {};
    if (!ssl || !liveHandles().contains(ssl))
        return;
    if (options.quietShutdown)
        SSL_set_quiet_shutdown(ssl, 1);
    socket->setProperty(kHandleProperty, QVariant::fromValue(reinterpret_cast<quintptr>(ssl)));
}

bool resumed(const QSslSocket* socket)
{
    const auto* ssl = reinterpret_cast<const SSL*>(socket->property(kHandleProperty).value<quintptr>());
    return ssl && liveHandles().contains(ssl) && SSL_session_reused(ssl) == 1;
}

} // namespace sim::tls
