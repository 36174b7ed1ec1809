// How one command on many sites scales: twenty sites, each behind a link with 100 ms of round-trip latency (a
// delaying proxy of our own in front of one quillon-sim), answer SITE WHO through the batch, next to one such site
// alone; and the memory one open session costs. Prints figures; times nothing it could fail on.
//
//   build/bench/bench_sites [sites] [round-trip-ms]

#include "BenchFigures.h"
#include "session/SiteBatch.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
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

SiteBook::Record simSite(quint16 port)
{
    SiteBook::Record site;
    site.host = "127.0.0.1";
    site.port = std::to_string(port);
    site.login = "siteop";
    site.password = "quillon";
    site.replyTimeout = 30;
    return site;
}

// Runs the batch to its end; its time in milliseconds, and how many sites answered with a 2xx.
std::pair<double, int> runBatch(const std::vector<BatchSite>& sites, int jobs)
{
    TSiteBatch batch(sites, "WHO", jobs);
    QEventLoop loop;
    QObject::connect(&batch, &TSiteBatch::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    const auto start = Clock::now();
    batch.start();
    if (batch.running())
        loop.exec();
    const double took = bench::ms(Clock::now() - start);
    int ok = 0;
    for (const SiteOutcome& outcome : batch.outcomes())
        ok += outcome.ok();
    return {took, ok};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int roundTrip = argc > 2 ? std::max(0, std::atoi(argv[2])) : 100;

    QProcess sim;
    sim.start(QStringLiteral(KOLVANE_BINARY_DIR "/sim/quillon-sim"), {"--port", "0"});
    QByteArray said;
    while (!said.contains('\n') && sim.waitForReadyRead(10000))
        said += sim.readAllStandardOutput();
    const auto match = QRegularExpression("listening on .*:(\\d+)").match(QString::fromLatin1(said));
    if (!match.hasMatch()) {
        std::fprintf(stderr, "quillon-sim did not start: %s\n", said.constData());
        return 1;
    }
    const quint16 simPort = match.captured(1).toUShort();
    DelayProxy proxy(simPort, count, roundTrip / 2);

    std::vector<BatchSite> sites;
    for (int i = 0; i < count; ++i)
        sites.push_back({"site" + std::to_string(i + 1), simSite(proxy.ports[std::size_t(i)])});

    std::printf("One SITE WHO on sites %d ms of round trip away (log-in, command, log-out)\n", roundTrip);
    std::vector<double> alone, together, defaultJobs;
    int okTogether = 0;
    for (int round = 0; round < 3; ++round) {
        alone.push_back(runBatch({sites.front()}, 1).first);
        const auto [took, ok] = runBatch(sites, count);
        together.push_back(took);
        okTogether = ok;
        defaultJobs.push_back(runBatch(sites, 8).first);
    }
    const double one = bench::median(alone), all = bench::median(together);
    std::printf("  one site alone                 %8.0f ms\n", one);
    std::printf("  %2d sites at once               %8.0f ms  (%.2f x one site; %d of %d answered 2xx)\n", count, all,
                all / one, okTogether, count);
    std::printf("  %2d sites, 8 at a time          %8.0f ms\n", count, bench::median(defaultJobs));

    // The memory of open sessions: logged in and idle, as the window keeps one and a batch keeps many.
    const int open = 50;
    const double before = bench::residentMiB();
    std::vector<std::unique_ptr<TSiteSession>> sessions;
    for (int i = 0; i < open; ++i) {
        auto session = std::make_unique<TSiteSession>();
        session->setSite("s", simSite(simPort));
        session->logIn();
        sessions.push_back(std::move(session));
    }
    const double after = bench::residentMiB();
    std::printf("Memory: %d sessions logged in and idle add %.1f MiB, %.0f KiB each\n", open, after - before,
                (after - before) * 1024 / open);
    for (auto& session : sessions)
        session->logOut();
    sessions.clear();
    sim.terminate();
    sim.waitForFinished(5000);
    return 0;
}
