#include "session/SiteBatch.h"

#include "platform/Finally.h"
#include "platform/Tls.h"
#include "session/FailureText.h"
#include "session/HealthCheck.h"

#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <unistd.h>

const char* outcomeWord(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok:
        return "ok";
    case Outcome::Refused:
        return "refused";
    case Outcome::LoginRefused:
        return "log-in refused";
    case Outcome::Unreachable:
        return "unreachable";
    case Outcome::TimedOut:
        return "time-out";
    case Outcome::Certificate:
        return "certificate";
    case Outcome::TlsRefused:
        return "TLS refused";
    case Outcome::Cancelled:
        return "cancelled";
    case Outcome::NotRun:
        return "not run";
    case Outcome::Error:
        break;
    }
    return "error";
}

Outcome outcomeOf(const SessionFailure& failure, bool loggingIn)
{
    switch (failure.kind) {
    case FailureKind::Lookup:
    case FailureKind::Refused:
    case FailureKind::Unreachable:
        return Outcome::Unreachable;
    case FailureKind::TimedOut:
        return Outcome::TimedOut;
    case FailureKind::Cancelled:
        return Outcome::Cancelled;
    case FailureKind::Tls:
        return Outcome::TlsRefused;
    case FailureKind::Certificate:
        return Outcome::Certificate;
    case FailureKind::DaemonReply:
        return loggingIn ? Outcome::LoginRefused : Outcome::Refused;
    case FailureKind::Lost:
    case FailureKind::Line:
    case FailureKind::Other:
        break;
    }
    return Outcome::Error;
}

const char* stepWord(SiteOutcome::Step step)
{
    switch (step) {
    case SiteOutcome::Step::Waiting:
        return "waiting";
    case SiteOutcome::Step::LoggingIn:
        return "logging in";
    case SiteOutcome::Step::Running:
        return "running";
    case SiteOutcome::Step::Done:
        return "done";
    case SiteOutcome::Step::Failed:
        break;
    }
    return "failed";
}

const std::vector<std::string>& SiteOutcome::lines() const
{
    static const std::vector<std::string> none;
    return replies.empty() ? none : replies.back().lines;
}

std::string failureLine(const SessionFailure& failure)
{
    std::string message = failure.message;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    // A failure of no particular kind (a site left out, a password that cannot be had) says it all in its words.
    if (failure.kind == FailureKind::Other)
        return message;
    return std::string(failureKindWord(failure.kind)) + ": " + message;
}

namespace {

// How many descriptors a new lane must find free before its thread is made: the thread's event dispatcher takes
// some, the site's connection and its lookup others. Without them the dispatcher aborts the whole program.
constexpr int kLaneDescriptors = 8;

// Whether this many descriptors can be had now; errno's words when not.
std::string descriptorsFree(int count)
{
    std::vector<int> taken;
    std::string why;
    for (int i = 0; i < count; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            why = std::strerror(errno);
            break;
        }
        taken.push_back(fd);
    }
    for (const int fd : taken)
        ::close(fd);
    return why;
}

bool isTwoHundred(int code)
{
    return code >= 200 && code <= 299;
}

} // namespace

// The sites of a batch run one after another on a lane: a thread of its own with one session at a time, so that
// its waits never stall another lane's. A lane is made once per batch and used for site after site, so a run on
// many sites makes as many threads (and event dispatchers) as sites run at once, not one per site.
class BatchLane : public QObject {
    Q_OBJECT

public:
    struct Limits {
        int replyTimeout = -1;
        std::size_t maxLines = 0;
        std::size_t maxBytes = 0;
        bool healthCheck = false;
    };

    BatchLane(const BatchPlan& plan, Limits limits, std::shared_ptr<std::atomic<bool>> cancelled)
        : plan_(plan), limits_(limits), cancelled_(std::move(cancelled)), deadline_(this), keepAlive_(this)
    {
        deadline_.setSingleShot(true);
        connect(&deadline_, &QTimer::timeout, this, [this] { cutShort(Cut::Time); });
        keepAlive_.setSingleShot(true);
        connect(&keepAlive_, &QTimer::timeout, this, &BatchLane::keepAlive);
    }

    // Runs on the lane's thread.
    void run(int index, BatchSite site)
    {
        if (busy_) {
            // A keep-alive's NOOP is under way and this came in through its wait: the round begins once it is
            // answered, never on a client that still waits.
            deferredRun_.emplace(index, std::move(site));
            return;
        }
        busy_ = true;
        keepAlive_.stop();
        SiteOutcome outcome;
        outcome.site = site.key;
        index_ = index;
        QElapsedTimer clock;
        clock.start();
        try {
            runSite(site, outcome);
        } catch (const std::exception& error) {
            // Anything the engine raises outside the steps below (a socket that cannot be had) ends this site only.
            outcome.failure = sessionFailureOf(error);
            outcome.outcome = outcomeOf(outcome.failure, outcome.replies.empty());
            outcome.step = SiteOutcome::Step::Failed;
        }
        outcome.ms = clock.elapsed();
        explain(outcome, site.record);
        if (probe_) {
            outcome.health = probe_->result(outcome);
            if (session_)
                session_->setCertificateJudge(nullptr);
            probe_.reset();
        }
        if (!plan_.stayLoggedIn)
            session_.reset();
        ++rounds_;
        lostIdle_.reset(); // a loss under the round is the round's failure, told with it
        restartKeepAlive();
        busy_ = false;
        emit ended(index, std::move(outcome));
        afterwards();
    }

    // Runs on the lane's thread, from inside its session's wait.
    void cancel()
    {
        if (session_)
            session_->cancel();
    }

    // Logs out a session kept between rounds, waiting at most quitMs for its QUIT's answer (negative: the
    // session's own time), then calls then. On the lane's thread; asked while the session is busy, it waits for it.
    void logOutKept(int quitMs, std::function<void()> then)
    {
        if (busy_) {
            deferredLogOut_.emplace_back(quitMs, std::move(then));
            return;
        }
        keepAlive_.stop();
        if (session_) {
            if (quitMs >= 0)
                session_->setQuitTimeout(quitMs);
            try {
                session_->logOut();
            } catch (...) {
                // The connection is closed whatever the daemon made of the QUIT.
            }
            session_.reset();
        }
        if (then)
            then();
    }

signals:
    void step(int index, SiteOutcome outcome);
    void ended(int index, SiteOutcome outcome);
    void loggedOut();

private:
    enum class Cut { None, Time, Lines, Bytes };

    // What was asked while the lane was busy, done now that it is not.
    void afterwards()
    {
        if (deferredRun_) {
            auto [index, site] = std::move(*deferredRun_);
            deferredRun_.reset();
            run(index, std::move(site));
            return; // the round does the rest when it ends
        }
        for (auto& [quitMs, then] : std::exchange(deferredLogOut_, {}))
            logOutKept(quitMs, std::move(then));
    }

    // A session kept between rounds sends a NOOP after a quiet spell of the plan's length, so that the daemon's idle
    // time-out never ends it between two rounds.
    void restartKeepAlive()
    {
        if (plan_.stayLoggedIn && plan_.keepAliveSeconds > 0 && session_ && session_->online())
            keepAlive_.start(std::chrono::seconds(std::min(plan_.keepAliveSeconds, 86400)));
    }

    void keepAlive()
    {
        if (busy_ || !session_ || !session_->online())
            return;
        busy_ = true;
        keepAliveFailed_ = false;
        lostIdle_.reset();
        session_->keepAliveTick();
        busy_ = false;
        if (keepAliveFailed_ && lostIdle_ && lostIdle_->kind != FailureKind::DaemonReply) {
            // A NOOP that was not answered may still be answered late, where the next command's reply belongs: that
            // connection is never used again, and the next round logs in anew. A NOOP the daemon refused was
            // answered, and the connection is as good as before.
            session_.reset();
        } else {
            if (keepAliveFailed_)
                lostIdle_.reset();
            restartKeepAlive();
        }
        afterwards();
    }

    void runSite(BatchSite& site, SiteOutcome& outcome)
    {
        if (cancelled_->load())
            throw EAbortError("Cancelled before it began");
        outcome.step = SiteOutcome::Step::LoggingIn;
        emit step(index_, outcome);
        logIn(site, outcome);
        if (outcome.step == SiteOutcome::Step::Failed)
            return;
        outcome.step = SiteOutcome::Step::Running;
        emit step(index_, outcome);
        runLines(outcome);
        if (!plan_.stayLoggedIn && session_) {
            try {
                session_->logOut();
            } catch (...) {
                // The replies are in: a log-out the daemon spoils changes nothing of them.
            }
        }
    }

    void makeSession(const BatchSite& site)
    {
        session_ = std::make_unique<TSiteSession>();
        SiteBook::Record record = site.record;
        if (limits_.replyTimeout >= 0)
            record.replyTimeout = limits_.replyTimeout;
        askedTls_ = record.security == TFtpSecurity::ExplicitIfOffered && !plan_.allowClearText;
        record.security = BatchPlanning::runSecurity(record, plan_.allowClearText);
        session_->setSite(site.key, record);
        if (limits_.healthCheck)
            probe_ = std::make_unique<THealthProbe>(*session_, site);
        replySeconds_ = record.replyTimeout;
        // A connection that ends between rounds is told at the next round, which logs in again.
        connect(session_.get(), &TSiteSession::connectionLost, this,
                [this](const SessionFailure& failure) { lostIdle_ = failure; });
        connect(session_.get(), &TSiteSession::failed, this, [this](const SessionFailure& failure) {
            keepAliveFailed_ = true;
            lostIdle_ = failure;
        });
        // Every line that comes is counted against the reply's bounds the moment it comes.
        connect(session_.get(), &TSiteSession::traffic, this, [this](bool sent, const std::string& line) {
            if (sent)
                return;
            ++replyLines_;
            replyBytes_ += line.size();
            if (replyLines_ > limits_.maxLines)
                cutShort(Cut::Lines);
            else if (replyBytes_ > limits_.maxBytes)
                cutShort(Cut::Bytes);
        });
        // Each answer's whole time is bounded, from its command to its last line: a daemon that trickles a line a
        // second never ends its reply and must not hold the run.
        connect(session_.get(), &TSiteSession::awaiting, this, [this](const std::string& command) {
            if (command.empty())
                deadline_.stop();
            else
                armDeadline();
        });
    }

    void logIn(const BatchSite& site, SiteOutcome& outcome)
    {
        // A close the daemon sent while the session sat idle is taken now, so that it is not found by the command.
        if (session_ && session_->online())
            session_->client().serviceNow();
        const bool kept = session_ && session_->online() && session_->siteKey() == site.key;
        const std::optional<SessionFailure> lost = std::exchange(lostIdle_, std::nullopt);
        if (kept)
            return;
        const bool again = plan_.stayLoggedIn && rounds_ > 0;
        makeSession(site);
        beginAnswer();
        armDeadline(); // the connect and the greeting
        try {
            session_->logIn();
            deadline_.stop();
        } catch (const std::exception& error) {
            deadline_.stop();
            outcome.failure = failureOf(error);
            outcome.outcome = outcomeOf(outcome.failure, true);
            if (askedTls_ && outcome.failure.kind == FailureKind::Tls)
                outcome.failure.message += "; the site's security is TLS if offered, and no log-in name or password "
                                           "is sent in clear text unless clear text is allowed";
            outcome.step = SiteOutcome::Step::Failed;
            session_.reset();
            return;
        }
        if (site.record.security == TFtpSecurity::ExplicitIfOffered && !session_->client().isSecure())
            outcome.note = "The server offers no TLS: the log-in went in clear text, as allowed";
        if (again) {
            outcome.loggedInAgain = true;
            if (lost)
                outcome.note += std::string(outcome.note.empty() ? "" : "; ") +
                                "The connection dropped after the last round (" + lost->message + "): logged in again";
        }
    }

    void runLines(SiteOutcome& outcome)
    {
        bool stopped = false;
        for (const std::string& line : plan_.lines) {
            LineReply reply;
            reply.command = line;
            const bool lookAfter = plan_.lastLineAlways && &line == &plan_.lines.back() && session_ &&
                                   session_->online() && !cancelled_->load();
            if (stopped && !lookAfter) {
                outcome.replies.push_back(std::move(reply));
                continue;
            }
            if (cancelled_->load()) {
                reply.outcome = Outcome::Cancelled;
                reply.failure = SessionFailure{FailureKind::Cancelled, "Cancelled before it was sent", 0};
            } else {
                sendLine(reply);
            }
            const bool connectionLeft = session_ && session_->online();
            if (!reply.ok() && outcome.outcome == Outcome::NotRun) {
                outcome.outcome = reply.outcome;
                outcome.failure = reply.failure;
            }
            stopped = !reply.ok() && (!plan_.keepGoing || !connectionLeft || reply.outcome == Outcome::Cancelled);
            outcome.replies.push_back(std::move(reply));
            if (!stopped && outcome.replies.size() < plan_.lines.size())
                emit step(index_, outcome);
        }
        if (outcome.outcome == Outcome::NotRun)
            outcome.outcome = Outcome::Ok;
        // The daemon answered every line it was sent: the site is done, whatever it answered. A site that the
        // connection, the time or the operator stopped failed.
        const bool answered = std::all_of(outcome.replies.begin(), outcome.replies.end(), [](const LineReply& r) {
            return r.ok() || r.outcome == Outcome::Refused || r.outcome == Outcome::NotRun;
        });
        outcome.step = answered ? SiteOutcome::Step::Done : SiteOutcome::Step::Failed;
    }

    void sendLine(LineReply& reply)
    {
        QElapsedTimer clock;
        clock.start();
        beginAnswer();
        Finally stop([this] { deadline_.stop(); });
        try {
            reply.lines = session_->command(plan_.sent(reply.command));
            reply.code = reply.lines.empty() ? 0 : TPowersock::replyCode(reply.lines.back());
            reply.outcome = isTwoHundred(reply.code) ? Outcome::Ok : Outcome::Error;
            if (reply.outcome == Outcome::Error)
                reply.failure =
                    SessionFailure{FailureKind::Other, "The daemon's answer is no 2xx, 4xx or 5xx reply", reply.code};
        } catch (const FTPException& refusal) {
            // The daemon's refusal is its answer, and what it said is the reply.
            reply.lines = session_->lastReply();
            if (reply.lines.empty())
                reply.lines.push_back(refusal.message());
            reply.code = TPowersock::replyCode(reply.lines.back());
            reply.failure = session_->lastFailure();
            reply.outcome = Outcome::Refused;
        } catch (const std::exception& error) {
            // Whatever came before the wait ended is kept: the lines of a reply cut short are part of the story.
            reply.lines = session_->lastReply();
            reply.failure = failureOf(error);
            reply.outcome = cut_ == Cut::Time ? Outcome::TimedOut : outcomeOf(reply.failure, false);
            if (cut_ == Cut::Lines || cut_ == Cut::Bytes)
                reply.outcome = Outcome::Error;
            reply.code = reply.lines.empty() ? 0 : TPowersock::replyCode(reply.lines.front());
        }
        if (reply.lines.size() > limits_.maxLines)
            reply.lines.resize(limits_.maxLines);
        reply.ms = clock.elapsed();
    }

    // A site that failed says so in the words of the console's error box: where it tried to go, and what to check.
    static void explain(SiteOutcome& outcome, const SiteBook::Record& record)
    {
        if (outcome.ok() || !outcome.failure.failed())
            return;
        FailureText words = failureText(outcome.failure, record);
        outcome.failure.message = std::move(words.message);
        // A command's refusal is the daemon's answer to it, not a fault of the site's settings.
        if (outcome.replies.empty() || outcome.failure.kind != FailureKind::DaemonReply)
            outcome.hint = std::move(words.hint);
    }

    // The failure an exception stands for, told as what cut the answer short when this lane did.
    SessionFailure failureOf(const std::exception& error) const
    {
        SessionFailure failure =
            session_ && session_->lastFailure().failed() ? session_->lastFailure() : sessionFailureOf(error);
        switch (cut_) {
        case Cut::None:
            // The operator's cancel reads as what it was, not as the socket's word for an ended wait.
            if (failure.kind == FailureKind::Cancelled && cancelled_->load())
                failure.message = "Cancelled before the site had finished";
            break;
        case Cut::Time:
            failure =
                SessionFailure{FailureKind::TimedOut,
                               "No whole answer from the server in " + std::to_string(replySeconds_) + " seconds", 0};
            break;
        case Cut::Lines:
            failure = SessionFailure{
                FailureKind::Other,
                "The reply has more than " + std::to_string(limits_.maxLines) + " lines: the connection was closed", 0};
            break;
        case Cut::Bytes:
            failure = SessionFailure{
                FailureKind::Other,
                "The reply has more than " + std::to_string(limits_.maxBytes) + " bytes: the connection was closed", 0};
            break;
        }
        return failure;
    }

    void beginAnswer()
    {
        cut_ = Cut::None;
        replyLines_ = 0;
        replyBytes_ = 0;
    }

    void armDeadline()
    {
        replyLines_ = 0;
        replyBytes_ = 0;
        if (replySeconds_ > 0)
            deadline_.start(std::chrono::seconds(std::min(replySeconds_, 86400)));
    }

    void cutShort(Cut why)
    {
        if (cut_ != Cut::None || !session_)
            return;
        cut_ = why;
        deadline_.stop();
        session_->cancel();
    }

    const BatchPlan& plan_;
    Limits limits_;
    std::shared_ptr<std::atomic<bool>> cancelled_;
    std::unique_ptr<THealthProbe> probe_; // a health check's figures, and the judge of its session
    std::unique_ptr<TSiteSession> session_;
    int index_ = -1;
    int rounds_ = 0;    // the rounds this lane has run
    bool busy_ = false; // a round or a keep-alive is under way on this lane
    bool keepAliveFailed_ = false;
    std::optional<SessionFailure> lostIdle_; // how the kept session's connection ended since the last round
    std::optional<std::pair<int, BatchSite>> deferredRun_;
    std::vector<std::pair<int, std::function<void()>>> deferredLogOut_;
    bool askedTls_ = false;
    int replySeconds_ = 0;
    QTimer deadline_;
    QTimer keepAlive_;
    Cut cut_ = Cut::None;
    std::size_t replyLines_ = 0;
    std::size_t replyBytes_ = 0;
};

TSiteBatch::TSiteBatch(std::vector<BatchSite> sites, BatchPlan plan, int jobs, QObject* parent)
    : QObject(parent), sites_(std::move(sites)), plan_(std::move(plan)), jobs_(std::max(1, jobs)),
      cancelled_(std::make_shared<std::atomic<bool>>(false))
{
    qRegisterMetaType<SiteOutcome>();
    outcomes_.resize(sites_.size());
    for (std::size_t i = 0; i < sites_.size(); ++i)
        outcomes_[i].site = sites_[i].key;
    siteLane_.assign(sites_.size(), -1);
}

TSiteBatch::TSiteBatch(std::vector<BatchSite> sites, std::string command, int jobs, QObject* parent)
    : TSiteBatch(std::move(sites), BatchPlan::command(std::move(command)), jobs, parent)
{}

TSiteBatch::~TSiteBatch()
{
    cancel();
    // A session kept between rounds logs out on its own thread, all of them at once, and each thread ends after
    // its lane has done so.
    for (BatchLane* lane : lanes_)
        QMetaObject::invokeMethod(
            lane, [lane] { lane->logOutKept(-1, [] { QThread::currentThread()->quit(); }); }, Qt::QueuedConnection);
    for (std::size_t i = 0; i < threads_.size(); ++i) {
        threads_[i]->wait();
        delete lanes_[i];
        delete threads_[i];
    }
}

void TSiteBatch::endSessions(int quitMs)
{
    cancel();
    if (sessionsLeft_ > 0)
        return; // already under way
    sessionsLeft_ = int(lanes_.size());
    if (lanes_.empty()) {
        QMetaObject::invokeMethod(
            this, [this] { emit sessionsEnded(); }, Qt::QueuedConnection);
        return;
    }
    for (BatchLane* lane : lanes_)
        QMetaObject::invokeMethod(
            lane, [lane, quitMs] { lane->logOutKept(quitMs, [lane] { emit lane->loggedOut(); }); },
            Qt::QueuedConnection);
}

void TSiteBatch::start()
{
    if (running())
        return;
    if (started_) {
        // Another round: every site starts over.
        cancelled_->store(false);
        stopReason_.clear();
        for (std::size_t i = 0; i < sites_.size(); ++i) {
            outcomes_[i] = SiteOutcome();
            outcomes_[i].site = sites_[i].key;
        }
    }
    started_ = true;
    next_ = 0;
    waveEnd_ = 0;
    launchMore();
    if (!running())
        emit finished();
}

bool TSiteBatch::mayLaunch()
{
    if (maxFailPercent < 0)
        return true;
    std::size_t ended = 0, failed = 0;
    for (const SiteOutcome& outcome : outcomes_) {
        if (!outcome.ended() || outcome.outcome == Outcome::NotRun)
            continue;
        ++ended;
        failed += !outcome.ok();
    }
    if (ended == 0 || failed * 100 <= std::size_t(maxFailPercent) * ended)
        return true;
    stopReason_ = std::to_string(failed) + " of the " + std::to_string(ended) +
                  (ended == 1 ? " site run so far" : " sites run so far") + " did not end ok, more than " +
                  std::to_string(maxFailPercent) + "%: no more sites were started";
    return false;
}

void TSiteBatch::endWithout(std::size_t index, Outcome outcome, const std::string& why)
{
    SiteOutcome& o = outcomes_[index];
    o.step = SiteOutcome::Step::Failed;
    o.outcome = outcome;
    o.failure = SessionFailure{outcome == Outcome::Cancelled ? FailureKind::Cancelled : FailureKind::Other, why, 0};
    emit siteChanged(int(index));
    emit siteEnded(int(index));
}

void TSiteBatch::skipRest(Outcome outcome, const std::string& why)
{
    while (next_ < sites_.size())
        endWithout(next_++, outcome, why);
}

void TSiteBatch::launchMore()
{
    while (next_ < sites_.size() && running_ < jobs_) {
        if (cancelled_->load()) {
            skipRest(Outcome::Cancelled, "Cancelled before it began");
            return;
        }
        if (serial > 0 && next_ >= waveEnd_) {
            if (running_ > 0)
                return; // the wave under way ends first
            waveEnd_ = std::min(sites_.size(), next_ + std::size_t(serial));
        }
        if (!mayLaunch()) {
            skipRest(Outcome::NotRun, "Not run: " + stopReason_);
            return;
        }
        const std::size_t index = next_;
        const BatchSite& site = sites_[index];
        if (const std::optional<std::string> why = BatchPlanning::cannotLogIn(site.key, site.record)) {
            // Nothing is sent to a site that could only be sent an empty or a wrong password.
            ++next_;
            endWithout(index, Outcome::LoginRefused, *why);
            continue;
        }
        BatchLane* lane = freeLane(index);
        if (!lane) {
            if (running_ > 0)
                return; // a place comes free when a site under way ends
            ++next_;
            endWithout(index, Outcome::Error, laneFailure_);
            continue;
        }
        ++next_;
        ++running_;
        outcomes_[index].step = SiteOutcome::Step::Waiting;
        BatchSite copy = site;
        QMetaObject::invokeMethod(
            lane, [lane, index, copy = std::move(copy)]() mutable { lane->run(int(index), std::move(copy)); },
            Qt::QueuedConnection);
    }
}

BatchLane* TSiteBatch::freeLane(std::size_t index)
{
    int at = siteLane_[index];
    if (at < 0 && !plan_.stayLoggedIn) {
        for (std::size_t i = 0; i < lanes_.size() && at < 0; ++i)
            if (!laneBusy_[i])
                at = int(i);
    }
    if (at < 0) {
        if (!makeLane())
            return nullptr;
        at = int(lanes_.size() - 1);
    }
    laneBusy_[std::size_t(at)] = true;
    siteLane_[index] = plan_.stayLoggedIn ? at : -1;
    return lanes_[std::size_t(at)];
}

BatchLane* TSiteBatch::makeLane()
{
    if (noMoreLanes_)
        return nullptr;
    if (const std::string why = descriptorsFree(kLaneDescriptors); !why.empty()) {
        noMoreLanes_ = true;
        laneFailure_ = "No file descriptor left for the site's connection: " + why;
        return nullptr;
    }
    auto thread = std::make_unique<QThread>();
    auto started = std::make_shared<std::atomic<bool>>(false);
    connect(
        thread.get(), &QThread::started, thread.get(), [started] { started->store(true); }, Qt::DirectConnection);
    // The lane's thread lets go of its TLS state before anyone who waits for it goes on.
    connect(
        thread.get(), &QThread::finished, thread.get(), [] { endThreadTls(); }, Qt::DirectConnection);
    thread->start();
    // The thread makes its event dispatcher as it starts: the next lane is made only once that is done, so the
    // descriptors counted above were there for it.
    while (!started->load() && thread->isRunning())
        QThread::yieldCurrentThread();
    if (!started->load()) {
        noMoreLanes_ = true;
        laneFailure_ = "No thread could be started for the site";
        thread->wait();
        return nullptr;
    }
    BatchLane::Limits limits{replyTimeout, maxReplyLines, maxReplyBytes, job == Job::HealthCheck};
    auto* lane = new BatchLane(plan_, limits, cancelled_);
    lane->moveToThread(thread.get());
    connect(lane, &BatchLane::step, this, &TSiteBatch::laneStep);
    connect(lane, &BatchLane::ended, this,
            [this, lane](int index, SiteOutcome outcome) { laneEnded(lane, index, std::move(outcome)); });
    connect(lane, &BatchLane::loggedOut, this, [this] {
        if (sessionsLeft_ > 0 && --sessionsLeft_ == 0)
            emit sessionsEnded();
    });
    threads_.push_back(thread.release());
    lanes_.push_back(lane);
    laneBusy_.push_back(false);
    return lane;
}

void TSiteBatch::laneStep(int index, SiteOutcome outcome)
{
    SiteOutcome& kept = outcomes_[std::size_t(index)];
    if (kept.ended())
        return; // a step told late, after the site's end
    kept = std::move(outcome);
    emit siteChanged(index);
}

void TSiteBatch::laneEnded(BatchLane* lane, int index, SiteOutcome outcome)
{
    const auto at = std::find(lanes_.begin(), lanes_.end(), lane);
    laneBusy_[std::size_t(at - lanes_.begin())] = false;
    --running_;
    outcomes_[std::size_t(index)] = std::move(outcome);
    emit siteChanged(index);
    emit siteEnded(index);
    launchMore();
    if (!running())
        emit finished();
}

void TSiteBatch::cancel()
{
    cancelled_->store(true);
    for (std::size_t i = 0; i < lanes_.size(); ++i)
        if (laneBusy_[i]) {
            BatchLane* lane = lanes_[i];
            QMetaObject::invokeMethod(
                lane, [lane] { lane->cancel(); }, Qt::QueuedConnection);
        }
}

#include "SiteBatch.moc"
