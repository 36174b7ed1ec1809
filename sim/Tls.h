#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QString>

#include <optional>

class QSslSocket;

namespace sim::tls {

// The daemon's certificate and the key that goes with it.
struct Identity {
    QSslCertificate certificate;
    QSslKey key;
};

// Reads a PEM certificate and a PEM private key (RSA, EC or DSA); empty with the reason in error when either
// cannot be read or they do not belong together.
std::optional<Identity> loadIdentity(const QString& certPath, const QString& keyPath, QString* error);

// A fresh self-signed certificate on an EC P-256 key, valid from now for a year: CN names host, and the
// alternative names cover 127.0.0.1, ::1, localhost and host itself when it is a single address.
std::optional<Identity> makeSelfSigned(const QHostAddress& host, QString* error);

// "AB:CD:..." - the SHA-256 digest of the certificate's DER form in uppercase hex pairs.
QByteArray fingerprint(const QSslCertificate& certificate);

// The server side of every TLS connection: the identity, TLS 1.2 at the least, no client certificates.
QSslConfiguration serverConfiguration(const Identity& identity);

// A fresh key for the session tickets of one control connection and its data connections.
QByteArray newTicketKey();

// How a connection's TLS is set up beyond the configuration.
struct SocketOptions {
    // Tickets are sealed and opened with this key (80 bytes), so a data connection can resume the session of
    // the control connection that shares the key, and only that one.
    QByteArray ticketKey;
    // Close with a plain TCP close, without sending close_notify.
    bool quietShutdown = false;
};

// Starts the server side of the handshake on socket with these options.
void startServer(QSslSocket* socket, const SocketOptions& options);

// True when the socket's finished handshake resumed an earlier session instead of making a new one.
bool resumed(const QSslSocket* socket);

} // namespace sim::tls
