#pragma once

// pyftpdlib, an FTP server that nobody here wrote, run by Debian's /usr/bin/python3 for one test: it serves a
// folder the test fills, as user "kolvane" with password "s3cret".

#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <string>

// argv: the folder to serve, the address to listen on, and optionally a certificate: then explicit TLS is required
// on the control connection and on every data connection, and a data connection must resume the control
// connection's session (as many daemons insist), which each data connection reports on a line of its own.
const char* const serverScript = R"PY(
import os, sys, threading, logging
try:
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
except Exception as e:
    print("IMPORT-FAILED %s" % e, flush=True)
    sys.exit(3)
logging.basicConfig(level=logging.ERROR)
authorizer = DummyAuthorizer()
authorizer.add_user("kolvane", "s3cret", sys.argv[1], perm="elradfmwMT")
handler = FTPHandler
if len(sys.argv) > 3:
    try:
        from pyftpdlib.handlers import TLS_FTPHandler, TLS_DTPHandler
        from OpenSSL._util import lib as ssl_lib
    except Exception as e:
        print("IMPORT-FAILED %s" % e, flush=True)
        sys.exit(3)

    class ResumingDTPHandler(TLS_DTPHandler):
        def handle_ssl_established(self):
            reused = ssl_lib.SSL_session_reused(self.socket._ssl)
            print("DATA-TLS reused=%d" % reused, flush=True)
            if not reused:
                self.cmd_channel.respond("522 Data connections must resume the TLS session")
                self.close()

    handler = TLS_FTPHandler
    handler.certfile = sys.argv[3]
    handler.tls_control_required = True
    handler.tls_data_required = True
    handler.dtp_handler = ResumingDTPHandler
handler.authorizer = authorizer
handler.banner = "pyftpdlib ready"
server = FTPServer((sys.argv[2], 0), handler)
print("PORT %d" % server.address[1], flush=True)
# The test ends the server by closing our input; a forgotten server ends itself.
threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
threading.Timer(120, lambda: os._exit(1)).start()
server.serve_forever(timeout=0.2)
)PY";

class PyFtpServer {
public:
    PyFtpServer() = default;
    PyFtpServer(const PyFtpServer&) = delete;
    PyFtpServer& operator=(const PyFtpServer&) = delete;

    // Empty on success; otherwise why the server could not be started.
    std::string start(const QString& root, const QString& address = "127.0.0.1", const QString& certificate = {})
    {
        QFile script(scriptDir_.filePath("server.py"));
        if (!scriptDir_.isValid() || !script.open(QIODevice::WriteOnly))
            return "cannot write the server script";
        script.write(serverScript);
        script.close();
        process_.setProgram("/usr/bin/python3");
        QStringList arguments{script.fileName(), root, address};
        if (!certificate.isEmpty())
            arguments << certificate;
        process_.setArguments(arguments);
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.start();
        if (!process_.waitForStarted(5000))
            return "cannot start /usr/bin/python3: " + process_.errorString().toStdString();
        QByteArray line;
        while (!line.contains('\n')) {
            if (!process_.waitForReadyRead(10000))
                break;
            line += process_.readAllStandardOutput();
        }
        if (line.startsWith("IMPORT-FAILED"))
            return "/usr/bin/python3 cannot import pyftpdlib (install the Debian packages python3-pyftpdlib and "
                   "python3-openssl): " +
                   line.trimmed().toStdString();
        if (!line.startsWith("PORT "))
            return "pyftpdlib did not start: " + line.toStdString() + process_.readAllStandardError().toStdString();
        port_ = quint16(line.mid(5, line.indexOf('\n') - 5).trimmed().toUInt());
        output_ = line.mid(line.indexOf('\n') + 1);
        return std::string();
    }
    quint16 port() const { return port_; }
    // Ends the server; what it printed after its port.
    QByteArray stop()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.closeWriteChannel();
            if (!process_.waitForFinished(5000))
                process_.kill(); // our own child, by its handle
            process_.waitForFinished(2000);
        }
        return output_ += process_.readAllStandardOutput();
    }
    ~PyFtpServer() { stop(); }

private:
    QTemporaryDir scriptDir_;
    QProcess process_;
    quint16 port_ = 0;
    QByteArray output_;
};
