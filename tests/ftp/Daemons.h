#pragma once

// FTP daemons that nobody here wrote, for the engine's tests: vsftpd, ProFTPD (with mod_tls) and Pure-FTPd, as
// unpacked from their Debian packages by .ci/daemons.sh. Each is started in the foreground for one test, on one
// loopback address and a port of its own, with its configuration, served files, certificate, logs and pid file in a
// temporary folder of its own; it is ended by its PID, and it ends itself when the test program dies.
//
// Every daemon serves the same files, with TLS offered (not required) on the same certificate:
//
//   pub/my dir/inside.txt
//   pub/my notes.txt
//   pub/plain.txt
//   pub/latest -> plain.txt
//   pub/trailing           (the name ends in a blank)
//
// vsftpd lets "anonymous" in without a password at "/", its pub is "/pub"; ProFTPD and Pure-FTPd let the virtual
// user "kolvane" (password "s3cret") in at pub itself: ProFTPD shows its absolute path, Pure-FTPd (whose users are
// kept inside the folder above pub) "/pub".

#include "TlsPeer.h"

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <string>
#include <vector>

enum class DaemonKind { Vsftpd, ProFtpd, PureFtpd };

class FtpDaemon {
public:
    FtpDaemon(DaemonKind kind, const QString& address);
    ~FtpDaemon();
    FtpDaemon(const FtpDaemon&) = delete;
    FtpDaemon& operator=(const FtpDaemon&) = delete;

    // Empty once the daemon takes connections; otherwise why it could not be started, in its own words where it
    // had any.
    std::string start();
    // Ends the daemon (SIGTERM to its PID, SIGKILL when it does not go) and returns everything it logged.
    std::string stop();

    static const char* name(DaemonKind kind);
    // The folder the daemons are unpacked into: $KOLVANE_DAEMONS, else ${XDG_CACHE_HOME:-~/.cache}/kolvane/daemons.
    static QString unpackedRoot();

    quint16 port() const { return port_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // What PWD answers right after log-in, and the folder that holds the served files as the daemon names it.
    const std::string& loginFolder() const { return loginFolder_; }
    const std::string& pubFolder() const { return pubFolder_; }
    const std::string& fingerprint() const { return certificate_.fingerprint; }

private:
    std::string prepare();
    std::string writeConfiguration();
    QStringList command() const;
    QString path(const QString& relative) const { return dir_.path() + '/' + relative; }
    std::string logs() const;

    DaemonKind kind_;
    QString address_;
    QTemporaryDir dir_;
    QProcess process_;
    QByteArray output_;
    quint16 port_ = 0;
    std::string user_;
    std::string password_;
    std::string loginFolder_;
    std::string pubFolder_;
    TestCertificate certificate_;
};
