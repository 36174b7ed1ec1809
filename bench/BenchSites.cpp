// How a run on many sites scales and what it costs: 200 sites, each behind a link with 100 ms of round-trip latency
// (delaying proxies of our own in front of quillon-sims), answer SITE WHO through the batch, next to one such
// site alone; the CPU a run spends per site for a TLS log-in, one command and the log-out; the memory one
// logged-in session costs, clear and over TLS; kolvane-run's dry run over a book of 5,000 sites; the Run on Sites
// window opening on that book and answering each key typed into its filter; 2,000 sites run from the window
// next to kolvane-run; and hundreds of rounds of a watch, in the window and in kolvane-run, with the memory and the
// descriptors they hold at the start and at the end. Prints figures; times nothing it could fail on.
//
//   build/bench/bench_sites [sites] [round-trip-ms] [book-sites]
//   build/bench/bench_sites watch [rounds] [sites]     the watch alone

#include "BenchFigures.h"
#include "platform/SettingsStore.h"
#include "session/BatchWatch.h"
#include "session/SiteBatch.h"
#include "shell/RunSites.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using bench::Clock;

// A TCP proxy on loopback that holds every chunk for a fixed time in each direction: the network between the
// console and a far-away site.
class DelayProxy {
public:
    DelayProxy(quint16 upstream, int listeners, int oneWayMs) : upstream_(upstream), delay_(oneWayMs)
    {
        for (int i = 0; i < listeners; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t size = sizeof at;
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 8) != 0 ||
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
                std::perror("proxy");
                std::exit(1);
            }
            listeners_.push_back(fd);
            ports.push_back(ntohs(at.sin_port));
        }
        thread_ = std::thread([this] { run(); });
    }
    ~DelayProxy()
    {
        stop_ = true;
        thread_.join();
        for (const int fd : listeners_)
            ::close(fd);
        for (Link& link : links_) {
            ::close(link.end[0].fd);
            ::close(link.end[1].fd);
        }
    }

    std::vector<quint16> ports;

private:
    struct End {
        int fd = -1;
        std::deque<std::pair<Clock::time_point, std::string>> pending; // what is on its way to this end
        bool closed = false;                                           // it will send no more
    };
    struct Link {
        End end[2];
    };

    void accept(int listener)
    {
        const int client = ::accept(listener, nullptr, nullptr);
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(upstream_);
        if (client < 0 || server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            ::close(client);
            ::close(server);
            return;
        }
        Link link;
        link.end[0].fd = client;
        link.end[1].fd = server;
        links_.push_back(std::move(link));
    }

    void run()
    {
        while (!stop_) {
            std::vector<pollfd> polled;
            for (const int fd : listeners_)
                polled.push_back({fd, POLLIN, 0});
            for (Link& link : links_)
                for (End& end : link.end)
                    polled.push_back({end.fd, short(end.closed ? 0 : POLLIN), 0});
            int timeout = 10;
            const auto now = Clock::now();
            for (Link& link : links_)
                for (End& end : link.end)
                    if (!end.pending.empty())
                        timeout = std::min<int>(
                            timeout, int(std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                               end.pending.front().first - now)
                                                               .count())));
            ::poll(polled.data(), polled.size(), timeout);
            std::size_t at = 0;
            for (const int fd : listeners_)
                if (polled[at++].revents & POLLIN)
                    accept(fd);
            for (std::size_t l = 0; l < links_.size(); ++l) {
                for (int side = 0; side < 2; ++side) {
                    const pollfd& p = polled.size() > at ? polled[at++] : pollfd{};
                    End& from = links_[l].end[side];
                    End& to = links_[l].end[1 - side];
                    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                        char chunk[16384];
                        const ssize_t n = ::recv(from.fd, chunk, sizeof chunk, 0);
                        if (n > 0)
                            to.pending.emplace_back(Clock::now() + std::chrono::milliseconds(delay_),
                                                    std::string(chunk, std::size_t(n)));
                        else
                            from.closed = true;
                    }
                }
            }
            deliver();
        }
    }

    void deliver()
    {
        const auto now = Clock::now();
        for (auto link = links_.begin(); link != links_.end();) {
            for (int side = 0; side < 2; ++side) {
                End& to = link->end[side];
                while (!to.pending.empty() && to.pending.front().first <= now) {
                    const std::string& bytes = to.pending.front().second;
                    (void)::send(to.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                    to.pending.pop_front();
                }
                // A side that closed has its close passed on once what it sent before has arrived.
                if (link->end[1 - side].closed && to.pending.empty())
                    ::shutdown(to.fd, SHUT_WR);
            }
            if (link->end[0].closed && link->end[1].closed && link->end[0].pending.empty() &&
                link->end[1].pending.empty()) {
                ::close(link->end[0].fd);
                ::close(link->end[1].fd);
                link = links_.erase(link);
            } else {
                ++link;
            }
        }
    }

    quint16 upstream_;
    int delay_;
    std::vector<int> listeners_;
    std::deque<Link> links_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

SiteBook::Record simSite(quint16 port, const std::string& fingerprint = {})
{
    SiteBook::Record site;
    site.host = "127.0.0.1";
    site.port = std::to_string(port);
    site.login = "siteop";
    site.password = "quillon";
    site.replyTimeout = 30;
    if (!fingerprint.empty()) {
        site.security = TFtpSecurity::ExplicitRequired;
        site.certificate = fingerprint;
    }
    return site;
}

// The CPU time this process has used so far, user and system, in milliseconds.
double cpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

struct BatchRun {
    double ms = 0;
    int ok = 0;
    std::string firstFailure;
};

// Runs the batch to its end: its time in milliseconds, and how many sites answered with a 2xx.
BatchRun runBatch(const std::vector<BatchSite>& sites, int jobs)
{
    TSiteBatch batch(sites, "WHO", jobs);
    QEventLoop loop;
    QObject::connect(&batch, &TSiteBatch::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    const auto start = Clock::now();
    batch.start();
    if (batch.running())
        loop.exec();
    BatchRun run;
    run.ms = bench::ms(Clock::now() - start);
    for (const SiteOutcome& outcome : batch.outcomes()) {
        run.ok += outcome.ok();
        if (!outcome.ok() && run.firstFailure.empty())
            run.firstFailure = outcome.site + ": " + failureLine(outcome.failure);
    }
    return run;
}

// A quillon-sim of its own, its log thrown away; TLS on when asked.
class Sim {
public:
    explicit Sim(bool tls)
    {
        QStringList args{"--port", "0", "--log", "/dev/null"};
        if (tls)
            args << "--tls";
        process_.start(QStringLiteral(KOLVANE_BINARY_DIR "/sim/quillon-sim"), args);
        QByteArray said;
        while (said.count('\n') < (tls ? 2 : 1) && process_.waitForReadyRead(10000))
            said += process_.readAllStandardOutput();
        const QString text = QString::fromLatin1(said);
        port = QRegularExpression("listening on .*:(\\d+)").match(text).captured(1).toUShort();
        fingerprint = QRegularExpression("certificate sha256 ([0-9A-F:]+)").match(text).captured(1).toStdString();
        if (!port) {
            std::fprintf(stderr, "quillon-sim did not start: %s\n", said.constData());
            std::exit(1);
        }
    }
    ~Sim()
    {
        process_.terminate();
        process_.waitForFinished(5000);
    }
    quint16 port = 0;
    std::string fingerprint;

private:
    QProcess process_;
};

void latency(int count, int roundTrip)
{
    // quillon-sim takes 64 connections at most: one of them for every 50 sites.
    std::vector<std::unique_ptr<Sim>> sims;
    std::vector<std::unique_ptr<DelayProxy>> proxies;
    std::vector<BatchSite> sites;
    for (int first = 0; first < count; first += 50) {
        const int here = std::min(50, count - first);
        sims.push_back(std::make_unique<Sim>(false));
        proxies.push_back(std::make_unique<DelayProxy>(sims.back()->port, here, roundTrip / 2));
        for (int i = 0; i < here; ++i)
            sites.push_back({"site" + std::to_string(first + i + 1), simSite(proxies.back()->ports[std::size_t(i)])});
    }
    std::printf("One SITE WHO on sites %d ms of round trip away (log-in, command, log-out)\n", roundTrip);
    std::vector<double> alone, together, defaultJobs;
    BatchRun all;
    for (int round = 0; round < 3; ++round) {
        alone.push_back(runBatch({sites.front()}, 1).ms);
        all = runBatch(sites, count);
        together.push_back(all.ms);
    }
    defaultJobs.push_back(runBatch(sites, 8).ms);
    const double one = bench::median(alone), many = bench::median(together);
    std::printf("  one site alone                 %8.0f ms\n", one);
    std::printf("  %3d sites, --jobs %-3d         %8.0f ms  (%.2f x one site; %d of %d answered 2xx)\n", count, count,
                many, many / one, all.ok, count);
    if (!all.firstFailure.empty())
        std::printf("                                 first failure: %s\n", all.firstFailure.c_str());
    std::printf("  %3d sites, 8 at a time         %8.0f ms\n", count, bench::median(defaultJobs));
}

void cpuAndMemory(int count)
{
    Sim tls(true);
    std::vector<BatchSite> sites;
    for (int i = 0; i < count; ++i)
        sites.push_back({"site" + std::to_string(i + 1), simSite(tls.port, tls.fingerprint)});
    runBatch({sites.front()}, 1); // the first TLS log-in of the process loads what every later one shares
    const double before = cpuMs();
    const BatchRun run = runBatch(sites, 8);
    const double spent = cpuMs() - before;
    std::printf("CPU: %d sites over TLS (log-in, SITE WHO, log-out), 8 at a time: %.0f ms in all, %.1f ms a site "
                "(%d of %d answered 2xx, %.0f ms)\n",
                count, spent, spent / count, run.ok, count, run.ms);

    // The memory of open sessions: logged in and idle, as the window keeps one and a batch keeps many.
    for (const bool secure : {false, true}) {
        Sim plain(false);
        const int open = 50;
        const double start = bench::residentMiB();
        std::vector<std::unique_ptr<TSiteSession>> sessions;
        for (int i = 0; i < open; ++i) {
            auto session = std::make_unique<TSiteSession>();
            session->setSite("s", secure ? simSite(tls.port, tls.fingerprint) : simSite(plain.port));
            session->logIn();
            sessions.push_back(std::move(session));
        }
        const double end = bench::residentMiB();
        std::printf("Memory: %d sessions logged in and idle%s add %.1f MiB, %.0f KiB each\n", open,
                    secure ? " over TLS" : " in clear text", end - start, (end - start) * 1024 / open);
        for (auto& session : sessions)
            session->logOut();
    }
}

// A site book of its own with this many sites, all on one port.
struct BigBook {
    BigBook(int count, quint16 port)
    {
        qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        store = std::make_unique<TSettingsStore>(TSettingsStore::defaultPath());
        cipher.SetKey(std::string(DiamondConsoleKey));
        store->transaction([&] {
            for (int i = 0; i < count; ++i) {
                SiteBook::Record site = simSite(port);
                site.folder = "folder" + std::to_string(i % 20);
                SiteBook::save(*store, cipher, "site" + std::to_string(i + 1), site);
            }
        });
    }
    QTemporaryDir dir;
    std::unique_ptr<TSettingsStore> store;
    TDiamond cipher;
};

double runTool(const QStringList& args)
{
    QProcess tool;
    tool.setStandardOutputFile(QProcess::nullDevice());
    const auto start = Clock::now();
    tool.start(QStringLiteral(KOLVANE_BINARY_DIR "/session/kolvane-run"), args);
    tool.waitForFinished(600000);
    return bench::ms(Clock::now() - start);
}

void bigBook(int count)
{
    Sim sim(false);
    BigBook book(count, sim.port);
    std::printf("A book of %d sites\n", count);
    std::printf("  kolvane-run --all --dry-run WHO %8.0f ms\n", runTool({"--all", "--dry-run", "WHO"}));

    TRunSitesForm form([&]() -> TSettingsStore& { return *book.store; }, book.cipher, nullptr);
    auto start = Clock::now();
    form.openWith({});
    form.show();
    QApplication::processEvents();
    std::printf("  Run on Sites opens              %8.0f ms\n", bench::ms(Clock::now() - start));
    std::vector<double> keys;
    for (const char c : std::string("site12")) {
        start = Clock::now();
        QTest::keyClick(form.SiteFilter, c);
        QApplication::processEvents();
        keys.push_back(bench::ms(Clock::now() - start));
    }
    form.SiteFilter->clear();
    std::printf("  each key typed into its filter  %8.1f ms (median; slowest %.1f ms)\n", bench::median(keys),
                *std::max_element(keys.begin(), keys.end()));

    // The same 2,000 sites from the window and from kolvane-run, against the local quillon-sim.
    const int run = std::min(count, 2000);
    std::printf("SITE WHO on %d sites of the book, 8 at a time\n", run);
    QStringList names;
    for (int i = 0; i < run; ++i)
        names << QStringLiteral("site%1").arg(i + 1);
    QTemporaryDir lists;
    QFile list(lists.filePath("sites"));
    list.open(QIODevice::WriteOnly);
    list.write(names.join('\n').toUtf8());
    list.close();
    std::printf("  kolvane-run                     %8.0f ms\n", runTool({"--sites-from", list.fileName(), "WHO"}));
    for (int i = 0; i < form.SiteTree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* folder = form.SiteTree->topLevelItem(i);
        for (int j = 0; j < folder->childCount(); ++j)
            folder->child(j)->setCheckState(0, names.contains(folder->child(j)->text(0)) ? Qt::Checked : Qt::Unchecked);
    }
    form.RunCommand->setEditText(QStringLiteral("WHO"));
    start = Clock::now();
    QTest::mouseClick(form.bbRun, Qt::LeftButton);
    const bool ended = QTest::qWaitFor([&] { return form.bbRun->isEnabled(); }, 600000);
    std::printf("  the Run on Sites window         %8.0f ms%s\n", bench::ms(Clock::now() - start),
                ended ? "" : " (not ended)");
}

// A process's resident memory in MiB and its open descriptors, from /proc ("self" for this one).
struct Footprint {
    double residentMiB = 0;
    qsizetype descriptors = 0;
};

Footprint footprintOf(const QString& pid)
{
    Footprint f;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                f.residentMiB = line.mid(6).trimmed().split(' ').front().toDouble() / 1024.0;
    f.descriptors = QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::System).size();
    return f;
}

void printFootprints(const char* who, int firstRound, const Footprint& first, int lastRound, const Footprint& last)
{
    std::printf("  %-12s after round %3d: %6.1f MiB resident, %3lld descriptors; after round %3d: %6.1f MiB, %3lld "
                "descriptors\n",
                who, firstRound, first.residentMiB, static_cast<long long>(first.descriptors), lastRound,
                last.residentMiB, static_cast<long long>(last.descriptors));
}

// Hundreds of rounds of SITE WHO on sessions kept logged in, a round every 5 "seconds" of a millisecond each: the
// Run on Sites window in this process, then kolvane-run in its own. Memory and descriptors must stay where the
// first rounds left them.
void watchRounds(int rounds, int count)
{
    qputenv("KOLVANE_WATCH_SECOND_MS", "1");
    Sim sim(false);
    BigBook book(count, sim.port);
    const int settled = std::min(10, rounds);
    std::printf("A watch of SITE WHO on %d sites, %d rounds, one every 5 ms\n", count, rounds);

    TRunSitesForm form([&]() -> TSettingsStore& { return *book.store; }, book.cipher, nullptr);
    form.openWith({});
    for (int i = 0; i < form.SiteTree->topLevelItemCount(); ++i)
        form.SiteTree->topLevelItem(i)->setCheckState(0, Qt::Checked);
    form.RunCommand->setEditText(QStringLiteral("WHO"));
    form.RunRepeat->setValue(5);
    const auto start = Clock::now();
    QTest::mouseClick(form.bbRun, Qt::LeftButton);
    Footprint first, last;
    bool reached = QTest::qWaitFor([&] { return form.watch()->round() > settled; }, 600000);
    first = footprintOf(QStringLiteral("self"));
    reached = reached && QTest::qWaitFor([&] { return form.watch()->round() > rounds; }, 600000);
    last = footprintOf(QStringLiteral("self"));
    const double ms = bench::ms(Clock::now() - start);
    QTest::mouseClick(form.bbCancelRun, Qt::LeftButton);
    const bool stopped = QTest::qWaitFor([&] { return form.bbRun->isEnabled(); }, 10000);
    printFootprints("the window", settled, first, rounds, last);
    std::printf("               %d rounds in %.0f ms, %.1f ms a round%s\n", rounds, ms, ms / rounds,
                reached && stopped ? "" : " (the watch did not run to its end)");

    QProcess tool;
    tool.start(QStringLiteral(KOLVANE_BINARY_DIR "/session/kolvane-run"),
               {"--all", "--watch", "5", "--rounds", QString::number(rounds), "WHO"});
    const QString pid = QString::number(tool.processId());
    QByteArray out;
    const QByteArray early = "-- round " + QByteArray::number(settled + 1) + ", ";
    const QByteArray late = "-- round " + QByteArray::number(rounds) + ", ";
    while (!out.contains(early) && tool.waitForReadyRead(30000))
        out += tool.readAllStandardOutput();
    first = footprintOf(pid);
    // The last round's header comes once that round has ended, before the log-outs.
    while (!out.contains(late) && tool.waitForReadyRead(30000)) {
        out += tool.readAllStandardOutput();
        if (out.size() > (1 << 20))
            out = out.right(4096);
    }
    last = footprintOf(pid);
    tool.waitForFinished(30000);
    printFootprints("kolvane-run", settled, first, rounds, last);
    qunsetenv("KOLVANE_WATCH_SECOND_MS");
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    // The runs' journal and health history go to a folder of the bench's own, never into the account's.
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
    if (argc > 1 && std::string(argv[1]) == "watch") {
        watchRounds(argc > 2 ? std::max(20, std::atoi(argv[2])) : 300, argc > 3 ? std::max(1, std::atoi(argv[3])) : 20);
        return 0;
    }
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int roundTrip = argc > 2 ? std::max(0, std::atoi(argv[2])) : 100;
    const int book = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5000;
    latency(count, roundTrip);
    cpuAndMemory(count);
    bigBook(book);
    watchRounds(300, 20);
    return 0;
}
