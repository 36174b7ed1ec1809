#pragma once

// TLS for the test peers and the benchmark's peer: certificates made on the spot, and the server side of TLS over a
// QTcpSocket that the peer's own thread drives with blocking, bounded waits. OpenSSL used directly through memory
// buffers; it shares no code with the engine.

#include <QString>
#include <QTcpSocket>

#include <memory>
#include <string>
#include <vector>

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;

struct TestCertificate {
    std::string certificatePem;
    std::string keyPem;
    std::string fingerprint; // SHA-256 of the DER form, uppercase hex pairs joined by ':'

    // A certificate for the names (DNS names or IP literals), valid from yesterday for a year: self-signed, or
    // issued by `issuer`. An authority may issue others. The key is EC P-256, or RSA of rsaBits bits.
    static TestCertificate make(const std::string& commonName, const std::vector<std::string>& names,
                                const TestCertificate* issuer = nullptr, bool authority = false, int rsaBits = 0);
    // Certificate then key, in one PEM file (what pyftpdlib takes as its certfile).
    bool write(const QString& path) const;
};

// The server's half of TLS for one scripted peer: control and data connections made through the same object share
// its session cache, so a client can resume. Not resumable: no session cache and no tickets. With tls12Ciphers the
// peer speaks TLS 1.2 only, with those suites only. The peer serves whatever key it is given, however weak: the
// client is the one to judge it.
class PeerTlsServer {
public:
    explicit PeerTlsServer(const TestCertificate& certificate, bool resumable = true,
                           const std::string& tls12Ciphers = std::string());
    ~PeerTlsServer();
    PeerTlsServer(const PeerTlsServer&) = delete;
    PeerTlsServer& operator=(const PeerTlsServer&) = delete;
    ssl_ctx_st* context() const { return ctx_; }

private:
    ssl_ctx_st* ctx_ = nullptr;
};

// One connection of a peer, in clear text or, after startTls, TLS. Every wait is bounded by waitMs.
class PeerStream {
public:
    explicit PeerStream(QTcpSocket& socket);
    explicit PeerStream(std::unique_ptr<QTcpSocket> socket);
    ~PeerStream();
    PeerStream(const PeerStream&) = delete;
    PeerStream& operator=(const PeerStream&) = delete;

    QTcpSocket& socket() { return *socket_; }
    // The server side of the handshake; false when it failed, the client left or nothing came in time.
    bool startTls(PeerTlsServer& server);
    bool isTls() const { return ssl_ != nullptr; }
    bool sessionReused() const;

    // Returns once the bytes are handed to the system.
    void send(const std::string& bytes);
    // The last bytes and the close notification in one write; the connection stays open.
    void sendAndCloseNotify(const std::string& bytes);
    // Waits for the client's close notification; false when the client closed without it or nothing came in time.
    bool awaitCloseNotify();
    // The next line with its line end; empty when the client closed or nothing came in time.
    std::string readLine();
    // count bytes, or fewer when the client closed or nothing more came in time.
    std::string readBytes(std::size_t count);
    // Waits until the client closes; false when it did not in time. What it sent meanwhile stays in pending().
    bool waitClosed();
    // Ends the connection; over TLS with the close notification first unless told otherwise.
    void close(bool closeNotify = true);
    const std::string& pending() const { return pending_; }

    int waitMs = 5000;

private:
    bool fill(); // more bytes into pending_; false on close or time-out
    bool flush();
    bool readRaw(); // more raw bytes into the TLS input; false on close or time-out

    QTcpSocket* socket_;
    std::unique_ptr<QTcpSocket> owned_;
    std::string pending_;
    ssl_st* ssl_ = nullptr;
    bio_st* in_ = nullptr;  // raw bytes from the client, owned by ssl_
    bio_st* out_ = nullptr; // raw bytes for the client, owned by ssl_
    bool ended_ = false;    // the client's close notification came
};
