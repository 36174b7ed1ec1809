#pragma once

#include <cstddef>
#include <memory>
#include <string>

// TLS for the engine's sockets: OpenSSL 3 driven over a non-blocking socket handle that the socket layer owns. The
// socket layer keeps its notifications; this file only turns socket readiness into TLS progress and back. Nothing
// outside this file includes the OpenSSL headers.

// What the engine tells the operator about a server's certificate.
struct CertificateInfo {
    std::string subject;           // one line, most significant part last (RFC 2253)
    std::string issuer;            // the same form
    std::string subjectAltNames;   // "DNS:example.org, IP Address:192.0.2.1"; empty for none
    std::string notBefore;         // "2025-01-31 12:00:00 UTC"
    std::string notAfter;          // the same form
    std::string sha256Fingerprint; // of the DER form: uppercase hex pairs joined by ':'
    std::string problem;           // why it did not verify against the system's authorities; empty when it did
    // Why its key is too weak to be taken from anybody, pinned or not; empty when it is strong enough.
    std::string weakKey;
};

// The least size of a server's RSA key, in bits.
inline constexpr int MinimumRsaKeyBits = 2048;

// The same fingerprint written either way (case, separators and blanks do not count).
bool sameFingerprint(const std::string& a, const std::string& b);

// Frees what OpenSSL keeps for the calling thread (its random generators, its error queue). A worker thread that made
// TLS connections calls it as it ends: OpenSSL's own thread-exit hook runs only after the thread is joined, and a
// program that ends just then would leave the thread's state behind.
void endThreadTls();

// One log-in's TLS: the client settings and the system's certificate authorities, which are made once for the
// whole process and shared by every log-in on every thread, and the session of the log-in's control connection,
// which every data connection of the same log-in resumes (servers commonly refuse a data connection that does not).
// TLS 1.3 with the suites OpenSSL offers; TLS 1.2 only with forward secrecy and authenticated encryption (ECDHE with
// AES-GCM or ChaCha20-Poly1305); nothing older. One TlsContext belongs to one log-in and its thread.
class TlsContext {
public:
    TlsContext();
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    // Empty when the context is usable; otherwise why it is not.
    const std::string& failure() const { return failure_; }
    // The system's store changed (its authorities were updated, or another store was named with SSL_CERT_FILE):
    // the next log-in reads the settings and the store again. Connections under way keep what they have.
    static void rereadSystemStore();

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
    std::string failure_;
};

// The outcome of one step of a TLS connection.
enum class TlsStep {
    Done,      // the step completed (or, for peek, application bytes are waiting)
    WantRead,  // it goes on once the socket is readable
    WantWrite, // it goes on once the socket is writable
    Closed,    // the peer ended TLS with its close notification
    Eof,       // the peer closed the connection without a close notification
    Failed     // a TLS or socket error; errorText() says which
};

// The client side of TLS on one connected, non-blocking socket handle. The handle stays the caller's: the channel
// reads and writes it (never raising SIGPIPE) but never closes it.
class TlsChannel {
public:
    enum class Role { Control, Data };

    // peerName is the host name or address literal the certificate must be valid for; a data channel resumes the
    // context's control session when there is one.
    TlsChannel(std::shared_ptr<TlsContext> context, int handle, const std::string& peerName, Role role);
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    TlsStep handshake();
    bool established() const { return established_; }
    // Application bytes; `got` is what was taken, which may be less than count. Done when anything was taken.
    TlsStep read(char* data, std::size_t count, std::size_t& got);
    // `put` bytes of the front of data went out, in whole records.
    TlsStep write(const char* data, std::size_t count, std::size_t& put);
    // Done when application bytes can be read at once; otherwise what reading would run into.
    TlsStep peek();
    // Bytes held inside TLS (decrypted or not yet processed) that no socket notification will announce.
    bool hasPending() const;
    // Decrypted bytes that a read takes at once.
    bool hasReadable() const;
    // Sends the close notification once, without waiting for the peer's; only after allowCloseNotify() and while
    // the connection is sound.
    void closeNotify();
    void allowCloseNotify() { closeNotifyAllowed_ = true; }
    bool closeNotifySent() const { return closeNotifySent_; }

    // Why the last step ended in Failed or Eof, in plain words.
    const std::string& errorText() const { return errorText_; }
    // The socket error number behind it (the error table's numbers), 0 when TLS itself failed.
    int socketError() const;

    bool sessionReused() const;
    std::string description() const; // protocol and cipher, "TLSv1.3 TLS_AES_256_GCM_SHA384"
    CertificateInfo peerCertificate() const;

private:
    TlsStep settle(int result, const char* operation);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::shared_ptr<TlsContext> context_;
    bool established_ = false;
    bool broken_ = false;
    bool closeNotifyAllowed_ = false;
    bool closeNotifySent_ = false;
    std::string errorText_;
};
