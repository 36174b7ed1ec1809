// bench_ftp: how fast the FTP client lists and how quickly it turns a command round, next to lftp and a raw client
// doing the same work against the same local peer in the same run, and the same client over TLS next to itself in
// clear text.
//
//   listing:     a 100,000-line Unix listing through List with ParseList on (lftp: ls; raw: the bytes and their
//                lines, nothing parsed), active mode;
//   round trips: 1,000 sequential commands, each waiting for its reply (lftp: quote; raw: a blocking socket that
//                writes a line and reads one);
//   TLS:         the same again with explicit TLS and a protected data connection (AUTH TLS, PROT P);
//   busy window: 200 round trips while every status line asks for a 2 ms repaint, as a text box of the console
//                does; timed on the client's side: the command leaving, the call returning, the reply on screen;
//   parser:      the listing's lines through TFTPUnixList::ParseLine alone, and the heap its lists hold;
//   SOCKS5:      the listing in passive mode directly and through Dante (the tests' SOCKS5 proxy) on loopback;
//   TLS cost:    against quillon-sim over TLS, the processor time one TLS log-in costs the engine's thread, the
//                once-per-process making of the client context with the system's certificate store, and the memory
//                of a logged-in, idle TLS session;
//   idle waits:  200 connections at once, each on a thread of its own as a batch runs its sites, waiting a second
//                for a reply that never comes, and one such wait on the main thread: the processor time and the
//                wake-ups a wait costs while nothing happens.
//
// The listing and the round trips are timed on the peer's clock, from the command that starts the work to the
// command that follows it, so every client is measured the same way; the client's own view of its calls is printed
// too. Prints figures only; it is not a test. Runs in a few seconds. --verbose also lists the other commands each
// client sent.

#include "BenchFigures.h"
#include "Proxies.h"
#include "TlsPeer.h"
#include "ftp/NMFtp.h"
#include "platform/PollLoop.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <malloc.h>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using bench::Clock;

constexpr int ListingLines = 100000;
constexpr int RoundTrips = 1000;
constexpr int BusyRoundTrips = 200;
constexpr double PaintMs = 2.0;

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

// An FTP peer on 127.0.0.1 that serves one client at a time, in clear text or TLS as the client asks, and notes
// when each command arrives.
class BenchPeer {
public:
    struct Arrival {
        int session;
        std::string command;
        Clock::time_point at;
    };

    BenchPeer()
        : listing_(makeListing()), certificate_(TestCertificate::make("bench peer", {"127.0.0.1"})), tls_(certificate_)
    {
        std::promise<quint16> listening;
        auto port = listening.get_future();
        thread_.reset(QThread::create([this, &listening] {
            QTcpServer server;
            server.listen(QHostAddress::LocalHost, 0);
            listening.set_value(server.serverPort());
            while (!stop_) {
                if (!server.waitForNewConnection(200))
                    continue;
                std::unique_ptr<QTcpSocket> control(server.nextPendingConnection());
                control->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                serve(sessions_++, *control);
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
    // The number the next client's session will have.
    int sessions() const { return sessions_; }
    const std::string& listing() const { return listing_; }
    const std::string& fingerprint() const { return certificate_.fingerprint; }
    std::size_t listingBytes() const { return listing_.size(); }
    std::vector<Arrival> arrivals() const
    {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }

private:
    void serve(int session, QTcpSocket& socket)
    {
        PeerStream control(socket);
        control.waitMs = 10000;
        control.send("220 bench peer ready\r\n");
        QHostAddress dataAddress;
        quint16 dataPort = 0;
        std::unique_ptr<QTcpServer> passive; // after EPSV: where the next listing's connection comes
        bool protect = false;
        for (;;) {
            std::string line = control.readLine();
            if (line.empty())
                return;
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                line.pop_back();
            {
                std::lock_guard lock(mutex_);
                arrivals_.push_back({session, line, Clock::now()});
            }
            const std::string verb = line.substr(0, line.find(' '));
            if (verb == "AUTH") {
                control.send("234 AUTH TLS successful\r\n");
                if (!control.startTls(tls_))
                    return;
            } else if (verb == "PBSZ") {
                control.send("200 PBSZ=0\r\n");
            } else if (verb == "PROT") {
                protect = line == "PROT P";
                control.send("200 Protection level set\r\n");
            } else if (verb == "USER") {
                control.send("331 Password required\r\n");
            } else if (verb == "PASS") {
                control.send("230 Logged in\r\n");
            } else if (verb == "SYST") {
                control.send("215 UNIX Type: L8\r\n");
            } else if (verb == "PWD") {
                control.send("257 \"/\" is the current directory\r\n");
            } else if (verb == "TYPE" || verb == "NOOP" || verb == "SITE" || verb == "MODE" || verb == "STRU") {
                control.send("200 OK\r\n");
            } else if (verb == "CWD") {
                control.send("250 OK\r\n");
            } else if (verb == "PORT") {
                unsigned n[6];
                if (std::sscanf(line.c_str() + 5, "%u,%u,%u,%u,%u,%u", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) == 6) {
                    dataAddress = QHostAddress((n[0] << 24) | (n[1] << 16) | (n[2] << 8) | n[3]);
                    dataPort = quint16(n[4] * 256 + n[5]);
                    control.send("200 PORT command successful\r\n");
                } else {
                    control.send("501 Bad PORT\r\n");
                }
            } else if (verb == "EPSV") {
                passive = std::make_unique<QTcpServer>();
                passive->listen(QHostAddress::LocalHost, 0);
                control.send("229 Entering Extended Passive Mode (|||" + std::to_string(passive->serverPort()) +
                             "|)\r\n");
            } else if (verb == "LIST" || verb == "NLST") {
                control.send("150 Opening ASCII mode data connection for /bin/ls (" + std::to_string(listing_.size()) +
                             " bytes).\r\n");
                std::unique_ptr<QTcpSocket> socket;
                if (passive) {
                    if (passive->waitForNewConnection(10000)) {
                        socket.reset(passive->nextPendingConnection());
                        socket->setParent(nullptr);
                    }
                    passive.reset(); // one EPSV serves one transfer
                } else {
                    socket = std::make_unique<QTcpSocket>();
                    socket->connectToHost(dataAddress, dataPort);
                    if (!socket->waitForConnected(10000))
                        socket.reset();
                }
                if (!socket) {
                    control.send("425 Can't open data connection\r\n");
                    continue;
                }
                socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                PeerStream data(std::move(socket));
                data.waitMs = 10000;
                if (protect && !data.startTls(tls_)) {
                    control.send("522 TLS negotiation failed\r\n");
                    continue;
                }
                data.send(listing_);
                data.close();
                control.send("226 Transfer complete\r\n");
            } else if (verb == "QUIT") {
                control.send("221 Goodbye\r\n");
                control.close();
                return;
            } else {
                control.send("502 Command not implemented\r\n");
            }
        }
    }

    std::string listing_;
    TestCertificate certificate_;
    PeerTlsServer tls_;
    quint16 port_ = 0;
    std::unique_ptr<QThread> thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> sessions_{0};
    mutable std::mutex mutex_;
    std::vector<Arrival> arrivals_;
};

using bench::median;
using bench::ms;

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

// Burns the processor for the given time, as painting a page of text does.
void burn(double millis)
{
    const auto until =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(millis));
    while (Clock::now() < until) {
    }
}

void configure(TNMFTP& ftp, BenchPeer& peer, bool tls)
{
    if (tls) {
        ftp.Security = TFtpSecurity::ExplicitRequired;
        ftp.PinnedFingerprint = peer.fingerprint();
    }
    ftp.Host = "127.0.0.1";
    ftp.Port = peer.port();
    ftp.UserID = "bench";
    ftp.Password = "bench";
    ftp.ParseList = true;
    ftp.ReportLevel = 2; // as the console runs it: every protocol line is reported
}

Figures runKolvane(BenchPeer& peer, bool tls, double& clientListingMs, double& clientRoundTripMs, int& items)
{
    const int session = peer.sessions();
    TNMFTP ftp;
    configure(ftp, peer, tls);
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
    return figuresOf(peer.arrivals(), session);
}

struct BusyFigures {
    double leaveMs = 0; // the call starts .. the peer has the command (median)
    double readMs = 0;  // the call starts .. the reply line is read and reported (median)
    double callMs = 0;  // the call starts .. it returns (median)
    double shownMs = 0; // the call starts .. a repaint that shows the reply has ended (median)
};

// A page that repaints as a widget does: a change asks for one repaint, posted at low priority unless one is
// already pending, and the repaint costs PaintMs.
class Page : public QObject {
public:
    void changed()
    {
        if (std::exchange(pending_, true))
            return;
        QCoreApplication::postEvent(this, new QEvent(QEvent::User), Qt::LowEventPriority);
    }
    bool event(QEvent* e) override
    {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        pending_ = false;
        const bool showsReply = replyIn;
        burn(PaintMs);
        if (showsReply && !shown) {
            shown = true;
            shownAt = Clock::now();
        }
        return true;
    }
    bool replyIn = false;
    bool shown = false;
    Clock::time_point replyAt, shownAt;

private:
    bool pending_ = false;
};

// Round trips in a window that is busy painting: every status line changes the page, as appending a line to a
// page's text box does. Between commands the events run, as they do between two clicks.
BusyFigures runBusyWindow(BenchPeer& peer)
{
    const int session = peer.sessions();
    TNMFTP ftp;
    configure(ftp, peer, false);
    ftp.Connect();
    Page page;
    ftp.OnStatus = [&](QObject*, const std::string& text) {
        if (text.rfind("200", 0) == 0) {
            page.replyIn = true;
            page.replyAt = Clock::now();
        }
        page.changed();
    };
    std::vector<Clock::time_point> starts;
    std::vector<double> calls, read, shown;
    for (int i = 0; i < BusyRoundTrips; ++i) {
        QCoreApplication::processEvents();
        page.replyIn = page.shown = false;
        const auto start = Clock::now();
        ftp.SendCommand("SITE BUSY " + std::to_string(i));
        calls.push_back(ms(Clock::now() - start));
        starts.push_back(start);
        while (!page.shown)
            QCoreApplication::processEvents();
        read.push_back(ms(page.replyAt - start));
        shown.push_back(ms(page.shownAt - start));
    }
    ftp.OnStatus = nullptr;
    ftp.Disconnect();
    std::vector<double> leaves;
    for (const auto& a : peer.arrivals())
        if (a.session == session && a.command.rfind("SITE BUSY ", 0) == 0) {
            const std::size_t i = std::stoul(a.command.substr(10));
            if (i < starts.size())
                leaves.push_back(ms(a.at - starts[i]));
        }
    return {median(leaves), median(read), median(calls), median(shown)};
}

// A raw client: blocking reads and writes on a plain socket, lines split and nothing else; the floor any FTP client
// on this machine stands on.
bool runRaw(BenchPeer& peer, Figures& figures, std::string& problem)
{
    const int session = peer.sessions();
    QTcpSocket control;
    control.connectToHost(QHostAddress::LocalHost, peer.port());
    if (!control.waitForConnected(5000)) {
        problem = "cannot connect";
        return false;
    }
    control.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    auto readLine = [&]() -> std::string {
        while (!control.canReadLine())
            if (!control.waitForReadyRead(10000))
                return std::string();
        return control.readLine().toStdString();
    };
    auto send = [&](const std::string& line) {
        control.write((line + "\r\n").data(), qint64(line.size() + 2));
        control.flush();
    };
    auto transact = [&](const std::string& line) {
        send(line);
        return readLine();
    };
    readLine();
    transact("USER bench");
    transact("PASS bench");
    QTcpServer data;
    data.listen(QHostAddress::LocalHost, 0);
    const quint16 port = data.serverPort();
    transact("PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 255));
    send("LIST");
    readLine(); // 150
    if (!data.waitForNewConnection(10000)) {
        problem = "no data connection";
        return false;
    }
    std::unique_ptr<QTcpSocket> listing(data.nextPendingConnection());
    std::size_t lines = 0;
    for (;;) {
        const QByteArray bytes = listing->readAll();
        lines += std::size_t(std::count(bytes.begin(), bytes.end(), '\n'));
        if (bytes.isEmpty() && !listing->waitForReadyRead(10000))
            break;
    }
    readLine(); // 226
    transact("NOOP");
    for (int i = 0; i < RoundTrips; ++i)
        transact("SITE PING " + std::to_string(i));
    transact("QUIT");
    if (lines != std::size_t(ListingLines)) {
        problem = "got " + std::to_string(lines) + " lines";
        return false;
    }
    figures = figuresOf(peer.arrivals(), session);
    return true;
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

struct ParserFigures {
    double nsPerLine = 0;
    double heapMb = 0; // what the lists of one parsed listing hold on the heap
    std::size_t entries = 0;
};

// The listing's lines through the parser alone, the best of five passes; and the heap the lists of one hold.
ParserFigures runParser(const std::string& listing)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < listing.size();) {
        std::size_t end = listing.find('\n', start);
        if (end == std::string::npos)
            end = listing.size();
        std::size_t cut = end;
        if (cut > start && listing[cut - 1] == '\r')
            --cut;
        lines.emplace_back(listing, start, cut - start);
        start = end + 1;
    }
    ParserFigures f;
    double best = 0;
    // Pass 0 measures the heap from a trimmed start; the five timed passes after it reuse the memory it gave back,
    // so the figure is the parser's and not the first touch of fresh pages.
    for (int pass = 0; pass <= 5; ++pass) {
        if (pass == 0)
            malloc_trim(0);
        const std::size_t before = mallinfo2().uordblks;
        TFTPUnixList list;
        list.ReserveFor(std::int64_t(listing.size())); // as List does with the size its LIST reply announces
        const auto start = Clock::now();
        for (const std::string& line : lines)
            list.ParseLine(line);
        const double took = ms(Clock::now() - start);
        if (pass == 0) {
            f.heapMb = double(mallinfo2().uordblks - before) / (1024.0 * 1024.0);
            f.entries = list.NameList.size();
        } else if (pass == 1 || took < best) {
            best = took;
        }
    }
    f.nsPerLine = best * 1e6 / double(lines.size());
    return f;
}

// LIST to the command after it, on the peer's clock, for one session.
double listingMsOf(const std::vector<BenchPeer::Arrival>& all, int session)
{
    for (std::size_t i = 0; i + 1 < all.size(); ++i)
        if (all[i].session == session && all[i].command == "LIST")
            for (std::size_t j = i + 1; j < all.size(); ++j)
                if (all[j].session == session)
                    return ms(all[j].at - all[i].at);
    return 0;
}

struct PathFigures {
    double directMs = 0;
    double socksMs = 0;
    std::string problem;
};

// The passive listing directly and through Dante on loopback, taking turns, the median of three each.
PathFigures runThroughSocks(BenchPeer& peer)
{
    PathFigures f;
    TestProxy dante(ProxyProgram::Dante);
    f.problem = dante.start();
    if (!f.problem.empty())
        return f;
    std::vector<double> direct, socks;
    for (int round = 0; round < 3; ++round) {
        for (const bool through : {false, true}) {
            const int session = peer.sessions();
            TNMFTP ftp;
            configure(ftp, peer, false);
            ftp.DataMode = TDataMode::Passive;
            if (through)
                ftp.Via = dante.path();
            ftp.Connect();
            ftp.List();
            ftp.SendCommand("NOOP");
            ftp.Disconnect();
            (through ? socks : direct).push_back(listingMsOf(peer.arrivals(), session));
        }
    }
    f.directMs = median(direct);
    f.socksMs = median(socks);
    return f;
}

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

struct TlsCostFigures {
    double contextCpuMs = 0; // the client context with the system's store, made once per process
    double loginCpuMs = 0;   // one TLS log-in, this thread's processor time (median)
    double heapKiB = 0;      // one logged-in, idle TLS session, heap
    double residentKiB = 0;  // and resident memory
    int sessions = 0;
    std::string problem;
};

// TLS log-ins to quillon-sim, a process of its own, so that what is measured is the engine's alone.
TlsCostFigures runTlsCost()
{
    TlsCostFigures f;
    QProcess sim;
    sim.start(QStringLiteral(KOLVANE_BINARY_DIR "/sim/quillon-sim"), {"--port", "0", "--tls", "--log", "/dev/null"});
    QByteArray said;
    while (!said.contains("sha256") && sim.waitForReadyRead(10000))
        said += sim.readAllStandardOutput();
    const auto port = QRegularExpression("listening on .*:(\\d+)").match(QString::fromLatin1(said));
    const auto print = QRegularExpression("sha256 ([0-9A-F:]+)").match(QString::fromLatin1(said));
    if (!port.hasMatch() || !print.hasMatch()) {
        f.problem = "quillon-sim did not start: " + said.toStdString();
        return f;
    }
    TlsContext::rereadSystemStore();
    const double before = threadCpuMs();
    {
        TlsContext context;
    }
    f.contextCpuMs = threadCpuMs() - before;

    f.sessions = 40;
    std::vector<std::unique_ptr<TNMFTP>> clients;
    std::vector<double> cpu;
    malloc_trim(0);
    const std::size_t heapBefore = mallinfo2().uordblks;
    const double residentBefore = bench::residentMiB();
    try {
        for (int i = 0; i < f.sessions; ++i) {
            auto ftp = std::make_unique<TNMFTP>();
            ftp->Host = "127.0.0.1";
            ftp->Port = port.captured(1).toInt();
            ftp->UserID = "siteop";
            ftp->Password = "quillon";
            ftp->Security = TFtpSecurity::ExplicitRequired;
            ftp->PinnedFingerprint = print.captured(1).toStdString();
            ftp->ReportLevel = 2; // as the console runs it
            const double start = threadCpuMs();
            ftp->Connect();
            cpu.push_back(threadCpuMs() - start);
            clients.push_back(std::move(ftp));
        }
        PumpDelay(300); // idle, as a session between two commands
    } catch (const Exception& e) {
        f.problem = "a TLS log-in failed: " + e.message();
    }
    f.heapKiB = double(mallinfo2().uordblks - heapBefore) / 1024.0 / double(std::max<std::size_t>(clients.size(), 1));
    f.residentKiB = (bench::residentMiB() - residentBefore) * 1024.0 / double(std::max<std::size_t>(clients.size(), 1));
    f.loginCpuMs = median(cpu);
    for (auto& ftp : clients)
        ftp->Disconnect();
    clients.clear();
    sim.terminate();
    sim.waitForFinished(5000);
    return f;
}

// How many times the calling thread has slept so far (given up the processor of its own accord).
long threadSleeps()
{
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

struct IdleWaitFigures {
    static constexpr int Threads = 200;
    static constexpr int WaitMs = 1000;
    struct Wait {
        double cpuMs = 0;
        long sleeps = 0;
        std::string problem;
    };
    std::vector<Wait> threads; // one per thread
    Wait main;                 // the same wait on the main thread
    std::string problem;
};

// Waits for a reply that never comes: a listener that says nothing and accepts nobody, whose backlog completes the
// connections all the same.
IdleWaitFigures runIdleWaits()
{
    IdleWaitFigures f;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(listener, IdleWaitFigures::Threads + 8) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        f.problem = "no listener";
        if (listener >= 0)
            ::close(listener);
        return f;
    }
    const int port = ntohs(at.sin_port);
    const auto wait = [port](IdleWaitFigures::Wait& w) {
        try {
            TPowersock s;
            s.Host = "127.0.0.1";
            s.Port = port;
            s.Connect();
            s.ReplyTimeout = IdleWaitFigures::WaitMs;
            const double cpu = threadCpuMs();
            const long sleeps = threadSleeps();
            try {
                s.ReadLn();
                w.problem = "the silent server answered";
            } catch (const ENoAnswerError&) {
            }
            w.cpuMs = threadCpuMs() - cpu;
            w.sleeps = threadSleeps() - sleeps;
        } catch (const Exception& e) {
            w.problem = e.message();
        }
    };
    f.threads.resize(IdleWaitFigures::Threads);
    std::vector<std::unique_ptr<QThread>> threads;
    for (IdleWaitFigures::Wait& w : f.threads)
        threads.emplace_back(QThread::create([&wait, &w] { wait(w); }));
    for (auto& thread : threads)
        thread->start();
    for (auto& thread : threads)
        thread->wait();
    wait(f.main);
    ::close(listener);
    return f;
}

void printIdleWaits(const IdleWaitFigures& f)
{
    double cpu = 0, sleeps = 0;
    int done = 0;
    std::string problem = f.problem;
    for (const IdleWaitFigures::Wait& w : f.threads) {
        if (!w.problem.empty()) {
            problem = w.problem;
            continue;
        }
        cpu += w.cpuMs;
        sleeps += double(w.sleeps);
        ++done;
    }
    if (done == 0 || !f.main.problem.empty()) {
        std::printf("Idle waits: not measured: %s\n", (problem.empty() ? f.main.problem : problem).c_str());
        return;
    }
    std::printf("Idle waits of %d ms for a reply that never comes: %d at once, each on a thread of its own, %.0f ms of "
                "processor time in all (%.3f ms a wait), %.1f wake-ups a wait; one on the main thread %.3f ms, %ld "
                "wake-ups%s\n",
                IdleWaitFigures::WaitMs, done, cpu, cpu / done, sleeps / done, f.main.cpuMs, f.main.sleeps,
                done < int(f.threads.size()) ? (" (some waits failed: " + problem + ")").c_str() : "");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    BenchPeer peer;
    std::printf("bench_ftp: %d-line listing (%zu bytes) and %d round trips against a local peer on 127.0.0.1\n\n",
                ListingLines, peer.listingBytes(), RoundTrips);

    // Clear text and TLS take turns, twice, and each keeps its better run: the first run of a process pays for
    // warming up, which is no property of either.
    double clientListingMs = 0, clientRoundTripMs = 0, tlsListingMs = 0, tlsRoundTripMs = 0;
    int items = 0, tlsItems = 0;
    Figures first, kolvane, secured; // first: the first clear run, which lftp's and the raw client's are set against
    BusyFigures busy;
    auto better = [](Figures& best, const Figures& run, double& bestClient, double clientRun, double& bestTrip,
                     double tripRun, bool first) {
        if (first || (run.ok && run.listingMs < best.listingMs)) {
            best.ok = run.ok;
            best.listingMs = run.listingMs;
            bestClient = clientRun;
        }
        if (first || (run.ok && run.roundTripMs < best.roundTripMs)) {
            best.roundTripMs = run.roundTripMs;
            bestTrip = tripRun;
        }
    };
    try {
        for (int round = 0; round < 2; ++round) {
            double listMs = 0, tripMs = 0;
            items = tlsItems = 0;
            const Figures clear = runKolvane(peer, false, listMs, tripMs, items);
            if (round == 0)
                first = clear;
            better(kolvane, clear, clientListingMs, listMs, clientRoundTripMs, tripMs, round == 0);
            const Figures tls = runKolvane(peer, true, listMs, tripMs, tlsItems);
            better(secured, tls, tlsListingMs, listMs, tlsRoundTripMs, tripMs, round == 0);
        }
        busy = runBusyWindow(peer);
    } catch (const Exception& e) {
        std::fprintf(stderr, "Kolvane client failed: %s\n", e.message().c_str());
        return 1;
    }
    std::string problem;
    const int lftpSession = peer.sessions();
    const bool lftpRan = runLftp(peer, problem);
    const Figures lftp = lftpRan ? figuresOf(peer.arrivals(), lftpSession) : Figures{};
    Figures raw;
    std::string rawProblem;
    const bool rawRan = runRaw(peer, raw, rawProblem);
    const ParserFigures parser = runParser(peer.listing());
    PathFigures path;
    TlsCostFigures cost;
    IdleWaitFigures idle;
    try {
        path = runThroughSocks(peer);
        cost = runTlsCost();
        idle = runIdleWaits();
    } catch (const Exception& e) {
        std::fprintf(stderr, "Kolvane client failed: %s\n", e.message().c_str());
        return 1;
    }

    auto linesPerSecond = [](double millis) { return millis > 0 ? ListingLines / (millis / 1000.0) : 0.0; };
    auto ratio = [](bool ok, double a, double b) { return ok && b > 0 ? a / b : 0.0; };
    std::printf("%-40s %12s %12s %12s %10s %10s\n", "", "Kolvane", "lftp", "raw", "/lftp", "/raw");
    std::printf("%-40s %12.0f %12.0f %12.0f %10.2f %10.2f\n", "listing, lines/s (higher is better)",
                linesPerSecond(first.listingMs), linesPerSecond(lftp.listingMs), linesPerSecond(raw.listingMs),
                ratio(lftp.ok, linesPerSecond(first.listingMs), linesPerSecond(lftp.listingMs)),
                ratio(raw.ok, linesPerSecond(first.listingMs), linesPerSecond(raw.listingMs)));
    std::printf("%-40s %12.3f %12.3f %12.3f %10.2f %10.2f\n", "round trip, median ms (lower is better)",
                first.roundTripMs, lftp.roundTripMs, raw.roundTripMs,
                ratio(lftp.ok, first.roundTripMs, lftp.roundTripMs), ratio(raw.ok, first.roundTripMs, raw.roundTripMs));
    std::printf("\n%-40s %14s %14s %10s\n", "Kolvane in clear text and over TLS", "clear", "TLS (PROT P)", "TLS/clear");
    std::printf("%-40s %14.0f %14.0f\n", "listing, lines/s (higher is better)", linesPerSecond(kolvane.listingMs),
                linesPerSecond(secured.listingMs));
    std::printf("%-40s %14.1f %14.1f %10.2f\n", "listing, ms (lower is better)", kolvane.listingMs, secured.listingMs,
                kolvane.listingMs > 0 ? secured.listingMs / kolvane.listingMs : 0.0);
    std::printf("%-40s %14.3f %14.3f %10.2f\n", "round trip, median ms (lower is better)", kolvane.roundTripMs,
                secured.roundTripMs, kolvane.roundTripMs > 0 ? secured.roundTripMs / kolvane.roundTripMs : 0.0);
    std::printf(
        "\nKolvane in a window busy painting (a status line asks for a repaint of %.0f ms, as a text box does), "
        "%d round trips, medians from the call:\n"
        "  command leaves %.3f ms, reply read %.3f ms, call returns %.3f ms, reply on screen %.3f ms\n",
        PaintMs, BusyRoundTrips, busy.leaveMs, busy.readMs, busy.callMs, busy.shownMs);
    std::printf("\nParser alone: %.0f ns a line (%.1f%% of the clear listing), its lists hold %.1f MB of heap for "
                "%zu entries\n",
                parser.nsPerLine,
                kolvane.listingMs > 0 ? 100.0 * parser.nsPerLine * ListingLines / 1e6 / kolvane.listingMs : 0.0,
                parser.heapMb, parser.entries);
    std::printf("\nKolvane as its caller sees it: List %.1f ms for %d lines (%.0f lines/s, parsed), SendCommand median "
                "%.3f ms; over TLS List %.1f ms for %d lines, SendCommand median %.3f ms\n",
                clientListingMs, items, ListingLines / (clientListingMs / 1000.0), clientRoundTripMs, tlsListingMs,
                tlsItems, tlsRoundTripMs);
    std::printf("Listing and round trips timed on the peer's clock: LIST to the next command, and the gaps between "
                "commands. Beside lftp and the raw client, Kolvane's first run; clear text beside TLS, the better of "
                "two runs each.\n");
    if (path.problem.empty())
        std::printf(
            "\nThrough a SOCKS5 proxy (Dante on 127.0.0.1), passive mode, median of three each: listing %.1f ms "
            "direct, %.1f ms through SOCKS5 (%.2f x direct)\n",
            path.directMs, path.socksMs, path.directMs > 0 ? path.socksMs / path.directMs : 0.0);
    else
        std::printf("\nThrough a SOCKS5 proxy: not measured: %s\n", path.problem.c_str());
    if (cost.problem.empty())
        std::printf(
            "TLS against quillon-sim, %d sessions (pinned): one TLS log-in costs the engine %.2f ms of processor "
            "time (median, this thread); the client context with the system's certificate store, made once "
            "per process, %.1f ms; a logged-in, idle TLS session holds %.0f KiB of heap (%.0f KiB resident)\n",
            cost.sessions, cost.loginCpuMs, cost.contextCpuMs, cost.heapKiB, cost.residentKiB);
    else
        std::printf("TLS cost: not measured: %s\n", cost.problem.c_str());
    printIdleWaits(idle);
    if (argc > 1 && std::string(argv[1]) == "--verbose")
        for (const auto& a : peer.arrivals())
            if (a.command.rfind("SITE PING", 0) != 0 && a.command.rfind("SITE BUSY", 0) != 0)
                std::printf("  session %d: %s\n", a.session, a.command.c_str());
    if (!kolvane.ok || !secured.ok)
        std::printf("warning: the peer did not see the whole Kolvane session\n");
    if (!lftpRan)
        std::printf("lftp: %s\n", problem.c_str());
    else if (!lftp.ok)
        std::printf("warning: the peer did not see the whole lftp session\n");
    if (!rawRan)
        std::printf("raw client: %s\n", rawProblem.c_str());
    else if (!raw.ok)
        std::printf("warning: the peer did not see the whole raw session\n");
    return 0;
}
