#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QString>
#include <QStringList>

#include <memory>

namespace simtest {

using Lines = QList<QByteArray>;

// One quillon-sim process on loopback with a port of the system's choosing, ended by its pid when the
// test is done.
class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();

    // Starts the daemon; false (with the reason in error()) when it exits or prints no port within 5 s.
    bool start(const QStringList& extraArgs = {});
    // The address from "quillon-sim listening on ADDR:PORT".
    QHostAddress address() const { return address_; }
    // The fingerprint from "quillon-sim certificate sha256 AB:CD:...", empty without TLS.
    const QByteArray& fingerprint() const { return fingerprint_; }
    // SIGTERM, then SIGKILL if it has not gone after 3 s. Returns the exit code (-1 if it had to be killed).
    int stop();

    quint16 port() const { return port_; }
    QProcess& process() { return *process_; }
    const QString& error() const { return error_; }

    static QString program();

private:
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
    QHostAddress address_;
    QByteArray fingerprint_;
    QString error_;
};

// Runs quillon-sim to its end with these arguments (for the refusals at start-up).
struct RunResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};
RunResult runSim(const QStringList& args, int timeoutMs = 5000);

// True when this machine can listen on ::1.
bool hasIpv6Loopback();

// The SHA-256 fingerprint of a certificate as quillon-sim prints it.
QByteArray fingerprintOf(const QSslCertificate& certificate);

// A blocking FTP control connection for tests: every wait is bounded. It speaks TLS when asked: at once
// (implicit) or after AUTH TLS. Certificates are not verified; tests compare fingerprints instead.
class FtpClient {
public:
    FtpClient();

    bool connectTo(quint16 port, const QHostAddress& host = QHostAddress(QHostAddress::LocalHost),
                   bool implicitTls = false);
    // AUTH TLS, then the handshake; true when the connection is encrypted.
    bool startTls();
    // The handshake on the control connection; false when it does not finish within timeoutMs.
    bool handshake(int timeoutMs = 5000);
    QSslSocket& socket() { return socket_; }
    // Reads one whole reply by the continuation rule: lines go on while a line begins with a blank or has
    // '-' as its fourth character. Lines are returned without their CR LF; empty on timeout or close.
    Lines readReply(int timeoutMs = 3000);
    Lines command(const QByteArray& line, int timeoutMs = 3000);
    void sendRaw(const QByteArray& bytes);
    // USER and PASS; true when the PASS reply is 230.
    bool login(const QByteArray& user = "siteop", const QByteArray& password = "quillon");
    // Waits until the daemon closes the connection.
    bool waitClosed(int timeoutMs = 3000);
    bool isOpen() const { return socket_.state() == QAbstractSocket::ConnectedState; }

    // Bytes received since the last read that form no complete line yet.
    QByteArray pending() const { return buffer_; }
    // Waits up to timeoutMs for anything more to arrive; returns what came.
    QByteArray readMore(int timeoutMs);

    // A listing: the data connection set up, LIST [path], the 150 line, the data, the completion line.
    struct Listing {
        Lines portReply; // the reply to PORT, EPRT, PASV or EPSV
        Lines opening;
        QByteArray data;
        Lines completion;
        bool encrypted = false;   // the data connection's handshake finished
        bool closeNotify = false; // the data connection ended with a TLS close_notify
        QByteArray fingerprint;   // of the certificate the data connection showed
    };
    // An active-mode listing: PORT with a fresh local port.
    Listing list(const QByteArray& path = {});
    // How a listing's data connection is set up and protected.
    struct Data {
        Data(QByteArray setup = "PORT", bool tls = false) : setup(std::move(setup)), tls(tls) {}
        QByteArray setup; // PORT, EPRT, PASV or EPSV
        bool tls;         // a TLS handshake on the data connection (after PROT P)
        QByteArray command = "LIST";
        bool resume = true; // offer the control connection's TLS session for resumption
        QByteArray session; // or this one (see sessionTicket())
    };
    Listing list(const Data& data, const QByteArray& path = {});
    // The TLS session of the control connection, for a data connection to resume.
    QByteArray sessionTicket() const { return socket_.sslConfiguration().sessionTicket(); }

private:
    bool readLine(QByteArray* line, int timeoutMs);

    QSslSocket socket_;
    QByteArray buffer_;
};

// ---- the console's reading of replies ---------------------------------------------------------------------------

// The reply code of a line, 0 if none.
int code(const Lines& reply);
// The continuation rule holds: all lines but the last continue the reply, the last does not.
bool wellFormed(const Lines& reply);
// A line without the characters of code 32 or below at its ends.
QByteArray trimmed(const QByteArray& line);
// The 10 characters from 1-based position s, trimmed.
QByteArray cell(const QByteArray& raw, int s);
// The user names that the console gathers from the reply to "SITE USERS": its own echo counts as the first
// text, the first reply line as the second; from the third on, "250-" lines carry a name in characters 6-15
// and other lines up to six names in the cells at 2, 13, 26, 39, 52, 65; the line whose trimmed characters
// 6-11 read "Totals" is the last one parsed.
QList<QByteArray> gatherUsers(const QByteArray& echo, const Lines& reply);
// The group names the console gathers: after the line "214- Available Groups :", the cells at 2, 13, 24, 35,
// 46, 57, 68 of each line, until a line that is empty once trimmed.
QList<QByteArray> gatherGroups(const Lines& reply);

// The fields of a listing line split at runs of blanks.
QList<QByteArray> fields(const QByteArray& line);
// The lines of a listing without their CR LF.
Lines listingLines(const QByteArray& data);

} // namespace simtest
