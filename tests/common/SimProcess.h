#pragma once

// Starts quillon-sim on a free loopback port for one test and ends it (by its own PID) afterwards. Every command
// the stand-in receives is logged to a file, which the test reads to see what the console sent.

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>

class SimProcess {
public:
    explicit SimProcess(const QStringList& extra = {})
    {
        const QString program = qEnvironmentVariable("KOLVANE_BINARY_DIR") + "/sim/quillon-sim";
        QStringList args{"--port", "0", "--log", logPath()};
        process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); }); // a test that crashes ends it too
        process_.start(program, args + extra);
        if (!process_.waitForStarted(10000)) {
            ADD_FAILURE() << "quillon-sim did not start: " << program.toStdString();
            return;
        }
        // The first line names the port the system chose; with TLS on, the second names the certificate.
        const bool tls = extra.contains("--tls") || extra.contains("--implicit-tls");
        const QDeadlineTimer deadline(10000);
        QByteArray out;
        while (out.count('\n') < (tls ? 2 : 1) && !deadline.hasExpired())
            if (process_.waitForReadyRead(100))
                out += process_.readAllStandardOutput();
        const QString said = QString::fromLatin1(out);
        const auto match =
            QRegularExpression("listening on .*:(\\d+)\\s*$", QRegularExpression::MultilineOption).match(said);
        if (!match.hasMatch()) {
            ADD_FAILURE() << "quillon-sim said: " << out.toStdString();
            return;
        }
        fingerprint = QRegularExpression("certificate sha256 ([0-9A-F:]+)").match(said).captured(1);
        port = match.captured(1).toUShort();
    }

    ~SimProcess()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(5000)) {
                process_.kill();
                process_.waitForFinished(5000);
            }
        }
    }

    QString logPath() const { return dir_.path() + "/commands.log"; }

    // The command lines received so far, without the session numbers.
    QStringList commands() const
    {
        QFile file(logPath());
        QStringList lines;
        if (!file.open(QIODevice::ReadOnly))
            return lines;
        for (const QByteArray& raw : file.readAll().split('\n')) {
            if (raw.isEmpty())
                continue;
            const int blank = raw.indexOf(' ');
            lines << QString::fromLatin1(blank < 0 ? raw : raw.mid(blank + 1));
        }
        return lines;
    }

    // The commands received after the first `mark` ones.
    QStringList commandsSince(qsizetype mark) const { return commands().mid(mark); }

    quint16 port = 0;
    QString fingerprint; // the SHA-256 fingerprint of the certificate, when TLS is on

private:
    QTemporaryDir dir_;
    QProcess process_;
};
