// bench_ftp: how fast the FTP client lists and how quickly it turns a command round, next to lftp doing the same
// work against the same local peer in the same run.
//
//   listing:     a 100,000-line Unix listing through List with ParseList on (lftp: ls), active mode;
//   round trips: 1,000 sequential commands, each waiting for its reply (lftp: quote).
//
// Both clients are timed on the peer's clock, from the command that starts the work to the command that follows
// it, so they are measured the same way; the client's own view of its calls is printed too. Prints figures only;
// it is not a test. Runs in a few seconds. --verbose also lists the other commands each client sent.

#include "ftp/NMFtp.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int ListingLines = 100000;
constexpr int RoundTrips = 1000;

std::string makeListing()
{
    std::string listing = "total " + std::to_string(ListingLines) + "\r\n";
    char line[128];
    for (int i = 1; i < ListingLines; ++i) {
        const bool dir = i % 10 == 0;
        std::snprintf(line, sizeof line, "%s   1 ftpuser  ftpgroup %10d Jan %02d  2001 %s%06d%s\r\n",
                      dir ? "drwxr-xr-x" : "-rw-r--r--", dir ? 4096 : 1000 + i * 37, 1 + i % 28,
                      dir ? "Release-" : "file", i, dir ? "" : ".zip");
        listing += line;
    }
    return listing;
}

// A plain FTP peer on 127.0.0.1 that serves one client at a time and notes when each command arrives.
class BenchPeer {
public:
    struct Arrival {
        int session;
        std::string command;
        Clock::time_point at;
    };

    BenchPeer() : listing_(makeListing())
    {
        std::promise<quint16> listening;
        auto port = listening.get_future();
        thread_.reset(QThread::create([this, &listening] {
            QTcpServer server;
            server.listen(QHostAddress::LocalHost, 0);
            listening.set_value(server.serverPort());
            for (int session = 0; !stop_; ++session) {
                if (!server.waitForNewConnection(200)) {
                    --session;
                    continue;
                }
                std::unique_ptr<QTcpSocket> control(server.nextPendingConnection());
                control->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                serve(session, *control);
            }
        }));
        thread_->start();
        port_ = port.get();
    }
    ~BenchPeer()
    {
        stop_ = true;
        thread_->wait(10000);
    }
    quint16 port() const { return port_; }
    std::size_t listingBytes() const { return listing_.size(); }
    std::vector<Arrival> arrivals() const
    {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }

private:
    static void send(QTcpSocket& s, const std::string& bytes)
    {
        s.write(bytes.data(), qint64(bytes.size()));
        while (s.bytesToWrite() > 0 && s.state() == QAbstractSocket::ConnectedState)
            if (!s.waitForBytesWritten(10000))
                break;
    }

    void serve(int session, QTcpSocket& control)
    {
        send(control, "220 bench peer ready\r\n");
        std::string pending;
        QHostAddress dataAddress;
        quint16 dataPort = 0;
        for (;;) {
            const std::size_t lf = pending.find('\n');
            if (lf == std::string::npos) {
                if (control.bytesAvailable() == 0 && !control.waitForReadyRead(10000))
                    return;
                const QByteArray bytes = control.readAll();
                pending.append(bytes.constData(), std::size_t(bytes.size()));
                continue;
            }
            std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            {
                std::lock_guard lock(mutex_);
                arrivals_.push_back({session, line, Clock::now()});
            }
            const std::string verb = line.substr(0, line.find(' '));
            if (verb == "USER")
                send(control, "331 Password required\r\n");
            else if (verb == "PASS")
                send(control, "230 Logged in\r\n");
            else if (verb == "SYST")
                send(control, "215 UNIX Type: L8\r\n");
            else if (verb == "PWD")
                send(control, "257 \"/\" is the current directory\r\n");
            else if (verb == "TYPE" || verb == "NOOP" || verb == "SITE" || verb == "MODE" || verb == "STRU")
                send(control, "200 OK\r\n");
            else if (verb == "CWD")
                send(control, "250 OK\r\n");
            else if (verb == "PORT") {
                unsigned n[6];
                if (std::sscanf(line.c_str() + 5, "%u,%u,%u,%u,%u,%u", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) == 6) {
                    dataAddress = QHostAddress((n[0] << 24) | (n[1] << 16) | (n[2] << 8) | n[3]);
                    dataPort = quint16(n[4] * 256 + n[5]);
                    send(control, "200 PORT command successful\r\n");
                } else {
                    send(control, "501 Bad PORT\r\n");
                }
            } else if (verb == "LIST" || verb == "NLST") {
                send(control, "150 Opening ASCII mode data connection for /bin/ls (" + std::to_string(listing_.size()) +
                                  " bytes).\r\n");
                QTcpSocket data;
                data.connectToHost(dataAddress, dataPort);
                if (!data.waitForConnected(10000)) {
                    send(control, "425 Can't open data connection\r\n");
                    continue;
                }
                data.setSocketOption(QAbstractSocket::LowDelayOption, 1);
                send(data, listing_);
                data.disconnectFromHost();
                if (data.state() != QAbstractSocket::UnconnectedState)
                    data.waitForDisconnected(10000);
                send(control, "226 Transfer complete\r\n");
            } else if (verb == "QUIT") {
                send(control, "221 Goodbye\r\n");
                control.disconnectFromHost();
                return;
            } else {
                send(control, "502 Command not implemented\r\n");
            }
        }
    }

    std::string listing_;
    quint16 port_ = 0;
    std::unique_ptr<QThread> thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Arrival> arrivals_;
};

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Figures {
    bool ok = false;
    double listingMs = 0;   // LIST arrives .. the next command arrives (peer's clock)
    double roundTripMs = 0; // median gap between consecutive round-trip commands (peer's clock)
};

// The peer's view of one session: the LIST to the NOOP after it, and the gaps between the SITE commands.
Figures figuresOf(const std::vector<BenchPeer::Arrival>& all, int session)
{
    Figures f;
    std::vector<const BenchPeer::Arrival*> mine;
    for (const auto& a : all)
        if (a.session == session)
            mine.push_back(&a);
    std::vector<double> gaps;
    const BenchPeer::Arrival* previousSite = nullptr;
    for (std::size_t i = 0; i < mine.size(); ++i) {
        if (mine[i]->command == "LIST" && i + 1 < mine.size())
            f.listingMs = ms(mine[i + 1]->at - mine[i]->at);
        if (mine[i]->command.rfind("SITE PING", 0) == 0) {
            if (previousSite)
                gaps.push_back(ms(mine[i]->at - previousSite->at));
            previousSite = mine[i];
        }
    }
    f.roundTripMs = median(gaps);
    f.ok = f.listingMs > 0 && gaps.size() == RoundTrips - 1;
    return f;
}

Figures runKolvane(BenchPeer& peer, double& clientListingMs, double& clientRoundTripMs, int& items)
{
    TNMFTP ftp;
    ftp.Host = "127.0.0.1";
    ftp.Port = peer.port();
    ftp.UserID = "bench";
    ftp.Password = "bench";
    ftp.ParseList = true;
    ftp.ReportLevel = 2; // as the console runs it: every protocol line is reported
    std::size_t statusBytes = 0;
    ftp.OnStatus = [&](QObject*, const std::string&) { statusBytes += ftp.Status.size(); };
    ftp.OnListItem = [&](const std::string&) { ++items; };
    ftp.Connect();
    const auto listStart = Clock::now();
    ftp.List();
    clientListingMs = ms(Clock::now() - listStart);
    ftp.SendCommand("NOOP");
    std::vector<double> calls;
    calls.reserve(RoundTrips);
    for (int i = 0; i < RoundTrips; ++i) {
        const auto start = Clock::now();
        ftp.SendCommand("SITE PING " + std::to_string(i));
        calls.push_back(ms(Clock::now() - start));
    }
    clientRoundTripMs = median(calls);
    if (ftp.DirectoryList && ftp.DirectoryList->NameList.size() != std::size_t(ListingLines - 1))
        std::fprintf(stderr, "warning: %zu entries parsed\n", ftp.DirectoryList->NameList.size());
    ftp.Disconnect();
    return figuresOf(peer.arrivals(), 0);
}

bool runLftp(BenchPeer& peer, std::string& problem)
{
    QTemporaryDir dir;
    QFile script(dir.filePath("bench.lftp"));
    if (!dir.isValid() || !script.open(QIODevice::WriteOnly)) {
        problem = "cannot write the lftp script";
        return false;
    }
    std::string text = "set ftp:passive-mode off\nset net:max-retries 1\nset net:timeout 10\nset cmd:fail-exit yes\n"
                       "set ftp:use-feat no\nset ftp:ssl-allow no\n"
                       "open -u bench,bench -p " +
                       std::to_string(peer.port()) + " 127.0.0.1\nls > /dev/null\nquote NOOP\n";
    for (int i = 0; i < RoundTrips; ++i)
        text += "quote SITE PING " + std::to_string(i) + "\n";
    text += "bye\n";
    script.write(text.data(), qint64(text.size()));
    script.close();
    QProcess lftp;
    lftp.setProgram("/usr/bin/lftp");
    lftp.setArguments({"-f", script.fileName()});
    lftp.setStandardOutputFile(QProcess::nullDevice());
    lftp.start();
    if (!lftp.waitForStarted(5000)) {
        problem = "cannot start /usr/bin/lftp";
        return false;
    }
    if (!lftp.waitForFinished(60000)) {
        lftp.kill(); // our own child
        lftp.waitForFinished(5000);
        problem = "lftp did not finish in 60 s";
        return false;
    }
    if (lftp.exitCode() != 0) {
        problem = "lftp failed: " + lftp.readAllStandardError().toStdString();
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    BenchPeer peer;
    std::printf("bench_ftp: %d-line listing (%zu bytes) and %d round trips against a local peer on 127.0.0.1\n\n",
                ListingLines, peer.listingBytes(), RoundTrips);

    double clientListingMs = 0, clientRoundTripMs = 0;
    int items = 0;
    Figures kolvane;
    try {
        kolvane = runKolvane(peer, clientListingMs, clientRoundTripMs, items);
    } catch (const Exception& e) {
        std::fprintf(stderr, "Kolvane client failed: %s\n", e.message().c_str());
        return 1;
    }
    std::string problem;
    const bool lftpRan = runLftp(peer, problem);
    const Figures lftp = lftpRan ? figuresOf(peer.arrivals(), 1) : Figures{};

    auto linesPerSecond = [](double millis) { return millis > 0 ? ListingLines / (millis / 1000.0) : 0.0; };
    std::printf("%-34s %14s %14s %10s\n", "", "Kolvane", "lftp", "ratio");
    std::printf("%-34s %14.0f %14.0f %10.2f\n", "listing, lines/s (higher is better)",
                linesPerSecond(kolvane.listingMs), linesPerSecond(lftp.listingMs),
                lftp.ok ? linesPerSecond(kolvane.listingMs) / linesPerSecond(lftp.listingMs) : 0.0);
    std::printf("%-34s %14.3f %14.3f %10.2f\n", "round trip, median ms (lower is better)", kolvane.roundTripMs,
                lftp.roundTripMs, lftp.ok ? kolvane.roundTripMs / lftp.roundTripMs : 0.0);
    std::printf("\nKolvane as its caller sees it: List %.1f ms for %d lines (%.0f lines/s, parsed), SendCommand median "
                "%.3f ms\n",
                clientListingMs, items, ListingLines / (clientListingMs / 1000.0), clientRoundTripMs);
    std::printf("Both clients timed on the peer's clock: LIST to the next command, and the gaps between commands.\n");
    if (argc > 1 && std::string(argv[1]) == "--verbose")
        for (const auto& a : peer.arrivals())
            if (a.command.rfind("SITE PING", 0) != 0)
                std::printf("  %s: %s\n", a.session == 0 ? "Kolvane" : "lftp", a.command.c_str());
    if (!kolvane.ok)
        std::printf("warning: the peer did not see the whole Kolvane session\n");
    if (!lftpRan)
        std::printf("lftp: %s\n", problem.c_str());
    else if (!lftp.ok)
        std::printf("warning: the peer did not see the whole lftp session\n");
    return 0;
}
