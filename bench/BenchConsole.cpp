// bench_console: the whole console as the operator drives it, on the offscreen platform, against a local peer on
// a thread of this process; lftp and a raw client do the same work against the same peer in the same run.
//
//   start-up:    the application and the main window until the window is shown;
//   listing:     the FiLE MAiNT tab click until panel 3 reads "Done..." with every entry of a 100,000-entry root
//                directory in the tree (active mode, as the console lists), and until the first nodes show;
//   memory:      resident memory when logged in and idle, and the peak after the listing;
//   EXECUTE:     a one-line custom command typed, clicked and its reply shown in the STATUS box, and the click
//                until the command reaches the peer;
//   gathering:   the USER MAiNT tab click until 10,000 user names are in the drop-down;
//   SITE HELP:   a 50,000-line reply to "HELP" typed in the command box, from the click until every line is in the
//                STATUS box, with the longest the application's events waited meanwhile (a 1 ms timer's longest
//                gap) and the paints of the box: how long the window stood still while the reply came.
//
// lftp lists with "cls -l" and sends "quote" commands; its times are taken on the peer's clock, from the command
// that starts the work to the command after it. The raw client is a plain socket that reads the same bytes and
// turns the same round trips. Prints figures only; it is not a test. Needs about half a minute; without lftp its
// figures are left out. "--help-only [LINES]" runs only the SITE HELP reply, of LINES lines: for a profiler.

#include "BenchFigures.h"
#include "ftp/NMFtp.h"
#include "gui/Application.h"
#include "gui/Look.h"
#include "gui/Prompts.h"
#include "platform/SettingsStore.h"
#include "shell/FilePage.h"
#include "shell/GroupPage.h"
#include "shell/InfoPage.h"
#include "shell/Main.h"
#include "shell/PageControl.h"
#include "shell/UserPage.h"
#include "sitebook/Diamond.h"
#include "sitebook/SiteBook.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QCompleter>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using bench::Clock;

constexpr int Entries = 100000; // 30% directories, 60% files, 10% links
constexpr int Users = 10000;
constexpr int Groups = 40;
constexpr int RoundTrips = 300;
constexpr int HelpLines = 50000;

using bench::median;
using bench::ms;

// Resident memory at its peak so far, in MiB.
double residentPeak()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// The root directory the peer lists, as "ls -l" writes it, one entry in ten a link and three a directory.
std::string makeListing()
{
    std::string listing = "total " + std::to_string(Entries * 8) + "\r\n";
    listing.reserve(std::size_t(Entries) * 90);
    char line[192];
    for (int i = 0; i < Entries; ++i) {
        const int kind = i % 10;
        const int day = 1 + i % 28;
        if (kind < 3)
            std::snprintf(line, sizeof line,
                          "drwxr-xr-x   2 ftpuser  ftpgroup      4096 Jan %2d  2001 Some.Release.Name.%06d-GROUP\r\n",
                          day, i);
        else if (kind < 9)
            std::snprintf(line, sizeof line,
                          "-rw-r--r--   1 ftpuser  ftpgroup %9d Feb %2d 12:%02d some.release.%06d.part%02d.rar\r\n",
                          15000000 + i * 37, day, i % 60, i, kind);
        else
            std::snprintf(
                line, sizeof line,
                "lrwxrwxrwx   1 ftpuser  ftpgroup        24 Mar %2d  2002 latest -> Some.Release.Name.%06d-GROUP\r\n",
                day, i);
        listing += line;
    }
    return listing;
}

std::string pad10(const std::string& name)
{
    return name + std::string(name.size() < 10 ? 10 - name.size() : 0, ' ');
}

// The reply to SITE USERS: six names a line in the cells at 2, 13, 26, 39, 52, 65, then the totals line. Its
// first line carries the code of its last, so that lftp takes the reply as the console does.
std::string makeUsersReply()
{
    std::string reply = "250- User list of site bench:\r\n";
    for (int i = 0; i < Users; i += 6) {
        std::string line = " ";
        for (int j = 0; j < 6 && i + j < Users; ++j) {
            line += j == 0 ? "" : j == 1 ? " " : "   ";
            line += pad10("user" + std::to_string(i + j));
        }
        reply += line + "\r\n";
    }
    reply += std::string(74, ' ') + "200- Totals: " + std::to_string(Users) + " users in " + std::to_string(Groups) +
             " groups\r\n250 \r\n";
    return reply;
}

// The reply to SITE HELP of a daemon with many commands: every line names a command word of its own (QAAAA,
// QBAAA, ...) twice, as a help text does, between a header and the closing line.
std::string makeHelpReply(int lines)
{
    std::string reply = "214-The following SITE commands are recognized:\r\n";
    reply.reserve(std::size_t(lines) * 72);
    for (int i = 0; i < lines - 2; ++i) {
        std::string word = "Q";
        for (int n = i, k = 0; k < 4; ++k, n /= 26)
            word += char('A' + n % 26);
        reply += "214-  " + word + " <user> <group>  tells what " + word + " knows of a user\r\n";
    }
    reply += "214 Direct comments to the site operators.\r\n";
    return reply;
}

// The reply to SITE GROUPS: the header, seven names a line, a blank line, a summary.
std::string makeGroupsReply()
{
    std::string reply = "214- Available Groups :\r\n";
    for (int i = 0; i < Groups; i += 7) {
        std::string line = " ";
        for (int j = 0; j < 7 && i + j < Groups; ++j)
            line += pad10("group" + std::to_string(i + j)) + ' ';
        reply += line + "\r\n";
    }
    reply += " \r\n214- " + std::to_string(Groups) + " groups, " + std::to_string(Users) + " users.\r\n250\r\n";
    return reply;
}

bool sendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

void setTimeouts(int fd)
{
    timeval tv{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Reads lines off a socket.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    std::optional<std::string> line()
    {
        for (;;) {
            const std::size_t lf = pending_.find('\n');
            if (lf != std::string::npos) {
                std::string out = pending_.substr(0, lf);
                pending_.erase(0, lf + 1);
                if (!out.empty() && out.back() == '\r')
                    out.pop_back();
                return out;
            }
            char buffer[65536];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                return std::nullopt;
            pending_.append(buffer, std::size_t(n));
        }
    }
    // The lines of one reply, up to its last line: one that neither begins with a blank nor has '-' fourth.
    std::optional<std::string> reply()
    {
        std::string all;
        for (;;) {
            auto l = line();
            if (!l)
                return std::nullopt;
            all += *l + "\n";
            if (!l->empty() && (*l)[0] != ' ' && (l->size() < 4 || (*l)[3] != '-'))
                return all;
        }
    }

private:
    int fd_;
    std::string pending_;
};

// A plain FTP peer on 127.0.0.1, one thread per connection. The listing is served from a file with sendfile, so
// its 8.8 MB never count in this process's resident memory.
class BenchPeer {
public:
    struct Arrival {
        int session;
        std::string command;
        Clock::time_point at;
    };

    explicit BenchPeer(int helpLines)
    {
        helpReply_ = makeHelpReply(helpLines);
        const std::string listing = makeListing();
        listingBytes_ = listing.size();
        char path[] = "/tmp/bench_console_listing_XXXXXX";
        listingFd_ = mkstemp(path);
        if (listingFd_ < 0 || ::write(listingFd_, listing.data(), listing.size()) != ssize_t(listing.size())) {
            std::perror("listing file");
            std::exit(1);
        }
        ::unlink(path);
        usersReply_ = makeUsersReply();
        groupsReply_ = makeGroupsReply();

        listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 8) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            std::perror("peer");
            std::exit(1);
        }
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }

    ~BenchPeer()
    {
        stop_ = true;
        acceptor_.join();
        for (std::thread& t : sessions_)
            t.join();
        ::close(listenFd_);
        ::close(listingFd_);
    }

    quint16 port() const { return port_; }
    std::size_t listingBytes() const { return listingBytes_; }
    int sessionsStarted() const { return nextSession_; }
    std::vector<Arrival> arrivals() const
    {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }
    // The time from the given session's first command starting with from to its next command starting with to.
    std::optional<double> span(int session, const std::string& from, const std::string& to) const
    {
        const auto all = arrivals();
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (all[i].session != session || all[i].command.rfind(from, 0) != 0)
                continue;
            for (std::size_t j = i + 1; j < all.size(); ++j)
                if (all[j].session == session && all[j].command.rfind(to, 0) == 0)
                    return ms(all[j].at - all[i].at);
        }
        return std::nullopt;
    }

private:
    void acceptLoop()
    {
        while (!stop_) {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0)
                continue;
            setTimeouts(fd);
            const int session = nextSession_++;
            sessions_.emplace_back([this, fd, session] {
                serve(session, fd);
                ::close(fd);
            });
        }
    }

    void note(int session, const std::string& command)
    {
        std::lock_guard lock(mutex_);
        arrivals_.push_back({session, command, Clock::now()});
    }

    void serve(int session, int control)
    {
        sendAll(control, "220 bench peer ready\r\n");
        LineReader in(control);
        sockaddr_in data{};
        while (auto line = in.line()) {
            note(session, *line);
            std::string verb = line->substr(0, line->find(' '));
            std::transform(verb.begin(), verb.end(), verb.begin(), [](unsigned char c) { return std::toupper(c); });
            const std::string rest = line->size() > verb.size() ? line->substr(verb.size() + 1) : std::string();
            if (verb == "USER")
                sendAll(control, "331 Password required\r\n");
            else if (verb == "PASS")
                sendAll(control, "230 Logged in\r\n");
            else if (verb == "SYST")
                sendAll(control, "215 UNIX Type: L8\r\n");
            else if (verb == "PWD")
                sendAll(control, "257 \"/\" is the current directory\r\n");
            else if (verb == "TYPE" || verb == "NOOP" || verb == "MODE" || verb == "STRU")
                sendAll(control, "200 OK\r\n");
            else if (verb == "CWD")
                sendAll(control, "250 OK\r\n");
            else if (verb == "SITE" && rest == "USERS")
                sendAll(control, usersReply_);
            else if (verb == "SITE" && rest == "GROUPS")
                sendAll(control, groupsReply_);
            else if (verb == "SITE" && rest == "HELP")
                sendAll(control, helpReply_);
            else if (verb == "SITE")
                sendAll(control, "200 " + rest + "\r\n");
            else if (verb == "PORT") {
                unsigned n[6];
                if (std::sscanf(rest.c_str(), "%u,%u,%u,%u,%u,%u", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) == 6) {
                    data.sin_family = AF_INET;
                    data.sin_addr.s_addr = htonl((n[0] << 24) | (n[1] << 16) | (n[2] << 8) | n[3]);
                    data.sin_port = htons(quint16(n[4] * 256 + n[5]));
                    sendAll(control, "200 PORT command successful\r\n");
                } else {
                    sendAll(control, "501 Bad PORT\r\n");
                }
            } else if (verb == "LIST" || verb == "NLST") {
                sendAll(control, "150 Opening ASCII mode data connection for /bin/ls (" +
                                     std::to_string(listingBytes_) + " bytes).\r\n");
                const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                setTimeouts(fd);
                if (::connect(fd, reinterpret_cast<sockaddr*>(&data), sizeof data) != 0) {
                    ::close(fd);
                    sendAll(control, "425 Can't open data connection\r\n");
                    continue;
                }
                off_t offset = 0;
                while (offset < off_t(listingBytes_))
                    if (::sendfile(fd, listingFd_, &offset, listingBytes_ - std::size_t(offset)) <= 0)
                        break;
                ::shutdown(fd, SHUT_WR);
                char drain[256];
                while (::recv(fd, drain, sizeof drain, 0) > 0) {
                }
                ::close(fd);
                sendAll(control, "226 Transfer complete\r\n");
            } else if (verb == "QUIT") {
                sendAll(control, "221 Goodbye\r\n");
                return;
            } else {
                sendAll(control, "502 Command not implemented\r\n");
            }
        }
    }

    std::size_t listingBytes_ = 0;
    int listingFd_ = -1;
    std::string usersReply_;
    std::string groupsReply_;
    std::string helpReply_;
    int listenFd_ = -1;
    quint16 port_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> sessions_;
    std::atomic<bool> stop_{false};
    std::atomic<int> nextSession_{0};
    mutable std::mutex mutex_;
    std::vector<Arrival> arrivals_;
};

struct Figures {
    double startupMs = 0;    // the main window made and shown
    double appMs = 0;        // the application object before it
    double idleMiB = 0;      // resident, logged in, before the listing
    double listingMs = 0;    // tab click .. "Done..." with every node in the tree
    double laidOutMs = 0;    // .. and the view laid out and painted
    double engineMs = 0;     // the same listing through a bare client, parsed
    double firstNodeMs = -1; // tab click .. the first paint of the tree with nodes in it
    int firstNodes = 0;
    int nodes = 0;
    double peakMiB = 0; // resident peak after the listing
    double afterMiB = 0;
    double executeMs = 0; // type, click, reply shown (median)
    double arrivalMs = 0; // click .. the command at the peer (median)
    double gatherMs = 0;  // USER MAiNT click .. "Done..." with the names in the drop-down
    int users = 0;
    double helpMs = 0;      // EXECUTE "HELP" .. the whole reply in the STATUS box
    double helpStallMs = 0; // the longest the application's events waited meanwhile
    int helpPaints = 0;     // paints of the STATUS box meanwhile
    int helpShown = 0;      // lines the STATUS box holds after it
    int helpWords = 0;      // words the command box completes after it
};

// Counts the paints of a widget.
class Paints : public QObject {
public:
    explicit Paints(QWidget* widget) { widget->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override
    {
        count += event->type() == QEvent::Paint;
        return false;
    }
    int count = 0;
};

// A long SITE HELP reply taken in: the click of EXECUTE until it returns, and how long the application's events
// waited at most meanwhile, measured by a timer that asks to run every millisecond.
bool takeInHelp(TMainForm& form, int lines, Figures& f)
{
    QPlainTextEdit* box = form.StatusMemo;
    const int before = box->document()->blockCount();
    // The box keeps its scroll-back (10,000 lines unless set): its oldest lines go as the reply comes.
    const int kept = std::min(box->maximumBlockCount() > 0 ? box->maximumBlockCount() : INT_MAX, before + 1 + lines);
    Paints paints(box->viewport());
    Clock::time_point last;
    double stall = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        stall = std::max(stall, ms(now - last));
        last = now;
    });
    QTest::keyClicks(form.CommandText->lineEdit(), QStringLiteral("HELP"));
    tick.start(1);
    const auto start = last = Clock::now();
    QTest::mouseClick(form.bbExecute, Qt::LeftButton);
    const auto end = Clock::now();
    tick.stop();
    f.helpMs = ms(end - start);
    f.helpStallMs = std::max(stall, ms(end - last));
    f.helpPaints = paints.count;
    f.helpShown = box->document()->blockCount();
    f.helpWords = form.CommandText->completer()->model()->rowCount();
    const QString final = box->document()->lastBlock().text();
    if (f.helpShown != kept || final != QStringLiteral("214 Direct comments to the site operators.")) {
        std::fprintf(stderr, "SITE HELP: the STATUS box holds %d lines (%d expected), the last \"%s\"\n", f.helpShown,
                     kept, qPrintable(final));
        return false;
    }
    return true;
}

// Counts the paints of the tree's viewport while it shows nodes; the first one is when the operator sees them.
class FirstPaint : public QObject {
public:
    FirstPaint(QTreeView* view, Clock::time_point& start, Figures& f) : view_(view), start_(start), f_(f)
    {
        view->viewport()->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && f_.firstNodeMs < 0 && view_->model()->rowCount() > 0) {
            f_.firstNodeMs = ms(Clock::now() - start_);
            f_.firstNodes = view_->model()->rowCount();
        }
        return false;
    }

private:
    QTreeView* view_;
    Clock::time_point& start_;
    Figures& f_;
};

void clickTab(TMainForm& form, QWidget* page)
{
    QTabBar* bar = form.PageControl1->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(form.PageControl1->indexOf(page)).center());
}

enum class Run { All, ListingOnly, HelpOnly };

bool runConsole(int argc, char** argv, BenchPeer& peer, Figures& f, Run run, int helpLines)
{
    const auto appStart = Clock::now();
    TApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kolvane"));
    ApplyConsoleLook(app);
    SetApplicationTitle(QStringLiteral("Kolvane"));
    f.appMs = ms(Clock::now() - appStart);
    {
        TSettingsStore store(TSettingsStore::defaultPath());
        TDiamond cipher;
        cipher.SetKey(std::string(DiamondConsoleKey));
        SiteBook::Record site; // plain FTP, active mode: the console's own defaults for a record of old
        site.host = "127.0.0.1";
        site.port = std::to_string(peer.port());
        site.login = "bench";
        site.password = "bench";
        SiteBook::save(store, cipher, "bench", site);
    }

    const auto start = Clock::now();
    TMainForm form;
    form.CreateDialogs();
    form.show();
    if (!QTest::qWaitForWindowExposed(&form, 10000)) {
        std::fprintf(stderr, "the main window never showed\n");
        return false;
    }
    f.startupMs = ms(Clock::now() - start);

    form.SiteName->setCurrentIndex(0);
    emit form.SiteName->activated(0);
    const int session = peer.sessionsStarted();
    QTest::mouseClick(form.bbLogin, Qt::LeftButton);
    if (!form.session().online()) {
        std::fprintf(stderr, "the console did not log in\n");
        return false;
    }
    QTest::qWait(200);
    f.idleMiB = bench::residentMiB();
    if (run == Run::HelpOnly) {
        const bool taken = takeInHelp(form, helpLines, f);
        form.close();
        return taken;
    }

    // The listing.
    auto* tree = form.findChild<QTreeView*>(QStringLiteral("TreeView1"));
    Clock::time_point clicked;
    FirstPaint paints(tree, clicked, f);
    clicked = Clock::now();
    clickTab(form, form.FileSheet);
    const auto done = Clock::now();
    f.listingMs = ms(done - clicked);
    f.nodes = tree->model()->rowCount();
    if (form.StatusBar1->panelText(3) != QStringLiteral("Done...") || f.nodes != Entries)
        std::fprintf(stderr, "listing: panel 3 reads \"%s\" with %d nodes\n", qPrintable(form.StatusBar1->panelText(3)),
                     f.nodes);
    QApplication::processEvents();
    f.laidOutMs = ms(Clock::now() - clicked);
    f.peakMiB = residentPeak();
    f.afterMiB = bench::residentMiB();

    // The engine alone: the same listing through a bare client, parsed, with no window to fill.
    {
        TNMFTP ftp;
        ftp.Host = "127.0.0.1";
        ftp.Port = peer.port();
        ftp.UserID = "bench";
        ftp.Password = "bench";
        ftp.ParseList = true;
        ftp.ReportLevel = 2;
        int lines = 0;
        ftp.OnListItem = [&](const std::string&) { ++lines; };
        ftp.Connect();
        const auto start = Clock::now();
        ftp.List();
        f.engineMs = ms(Clock::now() - start);
        ftp.Disconnect();
        if (lines != Entries + 1)
            std::fprintf(stderr, "engine alone: %d lines\n", lines);
    }
    if (run == Run::ListingOnly) {
        form.close();
        return true;
    }

    // EXECUTE round trips.
    std::vector<double> turns, arrivals;
    std::vector<Clock::time_point> clicks;
    QLineEdit* edit = form.CommandText->lineEdit();
    for (int i = 0; i < RoundTrips; ++i) {
        const std::string command = "ECHO " + std::to_string(i);
        const auto typed = Clock::now();
        QTest::keyClicks(edit, QString::fromStdString(command));
        clicks.push_back(Clock::now());
        QTest::mouseClick(form.bbExecute, Qt::LeftButton);
        const QString last = form.StatusMemo->document()->lastBlock().text();
        if (last != QString::fromStdString("200 " + command)) {
            std::fprintf(stderr, "EXECUTE %d: the STATUS box ends in \"%s\"\n", i, qPrintable(last));
            return false;
        }
        turns.push_back(ms(Clock::now() - typed));
    }
    f.executeMs = median(turns);
    int next = 0;
    for (const auto& a : peer.arrivals())
        if (a.session == session && a.command.rfind("SITE ECHO ", 0) == 0 && next < RoundTrips)
            arrivals.push_back(ms(a.at - clicks[std::size_t(next++)]));
    f.arrivalMs = median(arrivals);

    // The user gathering.
    const auto userClick = Clock::now();
    clickTab(form, form.UserSheet);
    f.gatherMs = ms(Clock::now() - userClick);
    f.users = form.UserSheet->UserList->count();
    if (form.StatusBar1->panelText(3) != QStringLiteral("Done...") || f.users != Users)
        std::fprintf(stderr, "gathering: panel 3 reads \"%s\" with %d users\n",
                     qPrintable(form.StatusBar1->panelText(3)), f.users);

    clickTab(form, form.StatusSheet);
    if (!takeInHelp(form, helpLines, f))
        return false;

    form.close(); // logs out
    return true;
}

struct LftpFigures {
    bool ran = false;
    double listingMs = 0, roundTripMs = 0, gatherMs = 0, helpMs = 0, peakMiB = 0;
    std::string problem;
};

LftpFigures runLftp(BenchPeer& peer)
{
    LftpFigures f;
    if (::access("/usr/bin/lftp", X_OK) != 0) {
        f.problem = "lftp is not installed";
        return f;
    }
    char path[] = "/tmp/bench_console_lftp_XXXXXX";
    const int fd = mkstemp(path);
    std::string script = "set ftp:passive-mode off\nset net:max-retries 1\nset net:timeout 10\nset cmd:fail-exit yes\n"
                         "set ftp:use-feat no\nset ftp:ssl-allow no\nset ftp:use-mlsd no\n"
                         "open -u bench,bench -p " +
                         std::to_string(peer.port()) + " 127.0.0.1\ncls -l > /dev/null\nquote NOOP\n";
    script += "quote SITE USERS\nquote NOOP\nquote SITE HELP\nquote NOOP\n";
    for (int i = 0; i < RoundTrips; ++i)
        script += "quote SITE PING " + std::to_string(i) + "\n";
    script += "bye\n";
    if (fd < 0 || ::write(fd, script.data(), script.size()) != ssize_t(script.size())) {
        f.problem = "cannot write the lftp script";
        return f;
    }
    ::close(fd);

    const int session = peer.sessionsStarted();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* args[] = {const_cast<char*>("lftp"), const_cast<char*>("-f"), path, nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/usr/bin/lftp", &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ::unlink(path);
        f.problem = "cannot start lftp";
        return f;
    }
    int status = 0;
    rusage usage{};
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    pid_t done = 0;
    while ((done = wait4(pid, &status, WNOHANG, &usage)) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0) {
        ::kill(pid, SIGKILL); // our own child, by its PID
        wait4(pid, &status, 0, &usage);
        f.problem = "lftp did not finish in 120 s";
    }
    ::unlink(path);
    if (done != 0 && (!WIFEXITED(status) || WEXITSTATUS(status) != 0))
        f.problem = "lftp failed";
    if (!f.problem.empty())
        return f;
    f.peakMiB = usage.ru_maxrss / 1024.0;

    // cls -l is done when the command after it comes; after the listing it still asks for a date.
    const auto listing = peer.span(session, "LIST", "NOOP");
    const auto users = peer.span(session, "SITE USERS", "NOOP");
    const auto help = peer.span(session, "SITE HELP", "NOOP");
    std::vector<double> gaps;
    std::optional<Clock::time_point> previous;
    for (const auto& a : peer.arrivals()) {
        if (a.session != session || a.command.rfind("SITE PING", 0) != 0)
            continue;
        if (previous)
            gaps.push_back(ms(a.at - *previous));
        previous = a.at;
    }
    if (!listing || !users || !help || gaps.size() != RoundTrips - 1) {
        f.problem = "the peer did not see the whole lftp session";
        return f;
    }
    f.listingMs = *listing;
    f.gatherMs = *users;
    f.helpMs = *help;
    f.roundTripMs = median(gaps);
    f.ran = true;
    return f;
}

struct RawFigures {
    bool ran = false;
    double listingMs = 0, roundTripMs = 0, gatherMs = 0, helpMs = 0;
    std::size_t bytes = 0;
};

// A plain socket: logs in, lists in active mode reading every byte, turns the round trips, reads the users.
RawFigures runRaw(BenchPeer& peer)
{
    RawFigures f;
    const int control = ::socket(AF_INET, SOCK_STREAM, 0);
    setTimeouts(control);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(peer.port());
    if (::connect(control, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return f;
    LineReader in(control);
    auto command = [&](const std::string& line) {
        sendAll(control, line + "\r\n");
        return in.reply();
    };
    in.reply();
    command("USER bench");
    command("PASS bench");

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in l{};
    l.sin_family = AF_INET;
    l.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof l;
    ::bind(listener, reinterpret_cast<sockaddr*>(&l), sizeof l);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&l), &len);
    const unsigned port = ntohs(l.sin_port);
    const auto start = Clock::now();
    command("PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256));
    sendAll(control, "LIST\r\n");
    in.reply(); // 150
    const int data = ::accept(listener, nullptr, nullptr);
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(data, buffer, sizeof buffer, 0)) > 0)
        bytes.append(buffer, std::size_t(n));
    ::close(data);
    ::close(listener);
    in.reply(); // 226
    f.listingMs = ms(Clock::now() - start);
    f.bytes = bytes.size();

    std::vector<double> turns;
    for (int i = 0; i < RoundTrips; ++i) {
        const auto t = Clock::now();
        command("SITE PING " + std::to_string(i));
        turns.push_back(ms(Clock::now() - t));
    }
    f.roundTripMs = median(turns);
    const auto g = Clock::now();
    command("SITE USERS");
    f.gatherMs = ms(Clock::now() - g);
    const auto h = Clock::now();
    command("SITE HELP");
    f.helpMs = ms(Clock::now() - h);
    command("QUIT");
    ::close(control);
    f.ran = f.bytes == peer.listingBytes();
    return f;
}

void row(const char* what, double kolvane, double lftp, double raw, const char* unit)
{
    auto cell = [](double v) {
        char s[32];
        if (v > 0)
            std::snprintf(s, sizeof s, "%10.2f", v);
        else
            std::snprintf(s, sizeof s, "%10s", "-");
        return std::string(s);
    };
    auto ratio = [](double a, double b) {
        char s[32];
        if (a > 0 && b > 0)
            std::snprintf(s, sizeof s, "%9.2f", a / b);
        else
            std::snprintf(s, sizeof s, "%9s", "-");
        return std::string(s);
    };
    std::printf("%-44s %s %s %s %s %s  %s\n", what, cell(kolvane).c_str(), cell(lftp).c_str(), cell(raw).c_str(),
                ratio(kolvane, lftp).c_str(), ratio(kolvane, raw).c_str(), unit);
}

void printHelp(const Figures& k, double lftpMs, double rawMs)
{
    row("SITE HELP: click to the whole reply shown", k.helpMs, lftpMs, rawMs, "ms");
    row("  longest the window's events waited", k.helpStallMs, 0, 0, "ms");
    std::printf("SITE HELP: the STATUS box holds %d lines after it, was painted %d times meanwhile; %d words to "
                "complete\n",
                k.helpShown, k.helpPaints, k.helpWords);
}

} // namespace

int main(int argc, char** argv)
{
    alarm(600); // a hang ends the run
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    char config[] = "/tmp/bench_console_config_XXXXXX";
    if (!mkdtemp(config))
        return 2;
    setenv("XDG_CONFIG_HOME", config, 1);
    setenv("XDG_STATE_HOME", config, 1); // the journal and the session logs stay out of the account's own

    // --listing-only stops after the console's listing, without lftp and the raw client; --help-only [LINES] runs
    // only the SITE HELP reply: for a profiler.
    const std::string mode = argc > 1 ? argv[1] : "";
    const Run run = mode == "--listing-only" ? Run::ListingOnly : mode == "--help-only" ? Run::HelpOnly : Run::All;
    const int helpLines = run == Run::HelpOnly && argc > 2 ? std::max(3, std::atoi(argv[2])) : HelpLines;
    BenchPeer peer(helpLines);
    if (run == Run::HelpOnly)
        std::printf("bench_console: a %d-line SITE HELP reply, against a local peer on 127.0.0.1\n\n", helpLines);
    else
        std::printf("bench_console: %d-entry root listing (%zu bytes), %d EXECUTE round trips, %d users, a %d-line "
                    "SITE HELP reply, against a local peer on 127.0.0.1\n\n",
                    Entries, peer.listingBytes(), RoundTrips, Users, helpLines);

    const bool listingOnly = run == Run::ListingOnly;
    Figures k;
    if (!runConsole(argc, argv, peer, k, run, helpLines))
        return 1;
    if (run == Run::HelpOnly) {
        QDir(QString::fromLocal8Bit(config)).removeRecursively();
        printHelp(k, 0, 0);
        return 0;
    }
    const LftpFigures lftp = listingOnly ? LftpFigures{} : runLftp(peer);
    const RawFigures raw = listingOnly ? RawFigures{} : runRaw(peer);
    QDir(QString::fromLocal8Bit(config)).removeRecursively();

    std::printf("%-44s %10s %10s %10s %9s %9s\n", "", "Kolvane", "lftp", "raw", "K/lftp", "K/raw");
    row("start-up: window shown", k.startupMs, 0, 0, "ms");
    row("  (application object before it)", k.appMs, 0, 0, "ms");
    row("idle, logged in: resident", k.idleMiB, 0, 0, "MiB");
    row("listing: tab click to \"Done...\", all nodes", k.listingMs, lftp.listingMs, raw.listingMs, "ms");
    row("  and the view laid out and painted", k.laidOutMs, 0, 0, "ms");
    row("  the engine alone: List, parsed, no window", k.engineMs, 0, 0, "ms");
    row("  first nodes shown", k.firstNodeMs, 0, 0, "ms");
    row("peak resident after the listing", k.peakMiB, lftp.peakMiB, 0, "MiB");
    row("  resident now", k.afterMiB, 0, 0, "MiB");
    row("EXECUTE: type, click, reply shown (median)", k.executeMs, lftp.roundTripMs, raw.roundTripMs, "ms");
    row("  click to the command at the peer (median)", k.arrivalMs, 0, 0, "ms");
    row("10,000 users gathered into the drop-down", k.gatherMs, lftp.gatherMs, raw.gatherMs, "ms");
    if (!listingOnly)
        printHelp(k, lftp.helpMs, raw.helpMs);
    std::printf("\nnodes in the tree: %d; first paint with nodes showed %d of them; users in the drop-down: %d\n",
                k.nodes, k.firstNodes, k.users);
    std::printf("lftp times and the round trip are on the peer's clock; lftp's memory is its own peak (cls -l and "
                "the quotes).\n");
    if (!lftp.ran && !listingOnly)
        std::printf("lftp: %s\n", lftp.problem.c_str());
    if (!raw.ran && !listingOnly)
        std::printf("warning: the raw client did not read the whole listing\n");
    return 0;
}
