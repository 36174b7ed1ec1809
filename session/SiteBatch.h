#pragma once

#include "session/BatchPlan.h"
#include "session/SiteSession.h"
#include "session/SiteVerbs.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class BatchLane;
class QThread;

// One site of a batch and the record it is reached with.
struct BatchSite {
    std::string key;
    SiteBook::Record record;
};

// What became of a site, or of one line sent to it, by kind.
enum class Outcome : std::uint8_t {
    Ok,           // the daemon answered with a 2xx
    Refused,      // the daemon answered the command with a 4xx or 5xx
    LoginRefused, // the daemon refused the log-in, or it could not be tried (no password to send)
    Unreachable,  // the connection could not be made: refused, no route, the name not found
    TimedOut,     // an answer did not come whole in the time allowed
    Certificate,  // the server's certificate is neither verified nor pinned, or not the pinned one
    TlsRefused,   // TLS failed, or the server refused it where it was asked for
    Cancelled,    // the operator ended the run before the site had finished
    NotRun,       // the site (or the line) was never started
    Error,        // anything else: a lost connection, a reply past its bounds, no descriptor left, ...
};
inline constexpr int OutcomeCount = int(Outcome::Error) + 1;

// The outcome's word: "ok", "refused", "log-in refused", "unreachable", "time-out", "certificate", "TLS refused",
// "cancelled", "not run", "error".
const char* outcomeWord(Outcome outcome);
// The outcome a failure of the engine stands for, during the log-in or after it.
Outcome outcomeOf(const SessionFailure& failure, bool loggingIn);

// The answer to one line of a site's plan.
struct LineReply {
    std::string command; // the line as the plan has it ("WHO")
    Outcome outcome = Outcome::NotRun;
    int code = 0;                   // the reply's code; 0 before it came, or when there was none
    std::vector<std::string> lines; // the reply line by line without line ends: all that came, a cut-off one too
    SessionFailure failure;         // why the line failed, when it did
    qint64 ms = 0;                  // from sending the line to the end of its reply

    bool ok() const { return outcome == Outcome::Ok; }
};

// What became of one site of a batch.
struct SiteOutcome {
    enum class Step { Waiting, LoggingIn, Running, Done, Failed };

    std::string site;
    Step step = Step::Waiting;
    Outcome outcome = Outcome::NotRun; // the site's: ok when every line was, else the first line's or log-in's that
                                       // was not
    std::vector<LineReply> replies;    // one per line of the plan once the log-in went through
    SessionFailure failure;            // why the site failed: its log-in, or the line that ended it
    qint64 ms = 0;                     // from the start of its log-in to the end of its last reply
    std::string note;                  // what the operator must hear besides the replies (a clear-text log-in)
    bool loggedInAgain = false;        // a later round logged in anew: the session of the round before had ended

    // The site answered every line with a 2xx.
    bool ok() const { return step == Step::Done && outcome == Outcome::Ok; }
    bool ended() const { return step == Step::Done || step == Step::Failed; }
    // The last reply's code and lines: for a run of one command, its reply.
    int code() const { return replies.empty() ? 0 : replies.back().code; }
    const std::vector<std::string>& lines() const;
};

const char* stepWord(SiteOutcome::Step step); // "waiting", "logging in", "running", "done", "failed"

// The one line that says why a site failed: "refused: Connection Failed: ...". Kept in one place, so that every
// door (the window, Run on Sites, kolvane-run) says the same.
std::string failureLine(const SessionFailure& failure);
// What a site that ended so should look at next; empty when there is nothing to say.
std::string failureAdvice(Outcome outcome, FailureKind kind);

// A plan run on many sites at once: each site logs in on a thread of its own (at most `jobs` at a time), sends the
// plan's lines and logs out; a certificate that is neither verified nor pinned is refused, since nobody is there to
// ask. The outcomes are told as they change, on the thread that made the batch. Every reply is bounded in lines,
// bytes and time, so that no daemon can hold a run or fill its memory.
class TSiteBatch : public QObject {
    Q_OBJECT

public:
    TSiteBatch(std::vector<BatchSite> sites, BatchPlan plan, int jobs = 8, QObject* parent = nullptr);
    TSiteBatch(std::vector<BatchSite> sites, std::string command, int jobs = 8, QObject* parent = nullptr);
    ~TSiteBatch() override;

    // Seconds each reply is waited for, in place of the site's own setting (negative: the site's). It bounds the
    // reply's whole time, not only the time between two of its bytes.
    int replyTimeout = -1;
    // Sites in waves of this many: the next wave starts only when the last has ended (0: as places come free).
    int serial = 0;
    // No new site starts once more than this share (in percent) of the sites ended so far did not end ok
    // (negative: no such stop).
    int maxFailPercent = -1;
    // The most lines and bytes one reply may have; a site past either fails with that reason.
    static constexpr std::size_t DefaultMaxReplyLines = 100000;
    static constexpr std::size_t DefaultMaxReplyBytes = std::size_t(8) << 20;
    std::size_t maxReplyLines = DefaultMaxReplyLines;
    std::size_t maxReplyBytes = DefaultMaxReplyBytes;

    // Starts a round; once it has finished, start() runs another (the sessions kept when the plan says so).
    void start();
    // Stops every site: those under way end their wait, those not begun never start.
    void cancel();
    // Stops every site as cancel() does, and logs out every session kept between rounds, all at once, each waiting
    // at most quitMs for the answer to its QUIT. sessionsEnded() tells when they have.
    void endSessions(int quitMs);
    bool endingSessions() const { return sessionsLeft_ > 0; }
    bool running() const { return running_ > 0 || (started_ && next_ < sites_.size()); }
    bool cancelled() const { return cancelled_->load(); }
    const std::vector<SiteOutcome>& outcomes() const { return outcomes_; }
    const std::vector<BatchSite>& sites() const { return sites_; }
    const BatchPlan& plan() const { return plan_; }
    // Why sites were left out: the share of failures went past maxFailPercent. Empty when nothing stopped the run.
    const std::string& stopReason() const { return stopReason_; }

signals:
    // A site's outcome changed (a step taken, or its end).
    void siteChanged(int index);
    // A site has its outcome: told once per site and round, after its last siteChanged.
    void siteEnded(int index);
    void finished();
    // Every session that endSessions() logged out has ended.
    void sessionsEnded();

private:
    void launchMore();
    bool mayLaunch();
    void skipRest(Outcome outcome, const std::string& why);
    void endWithout(std::size_t index, Outcome outcome, const std::string& why);
    BatchLane* freeLane(std::size_t index);
    BatchLane* makeLane();
    void laneStep(int index, SiteOutcome outcome);
    void laneEnded(BatchLane* lane, int index, SiteOutcome outcome);

    std::vector<BatchSite> sites_;
    BatchPlan plan_;
    int jobs_;
    std::size_t next_ = 0;
    std::size_t waveEnd_ = 0;
    int running_ = 0;
    bool started_ = false;
    bool noMoreLanes_ = false;
    std::string laneFailure_; // why no lane could be had at all
    std::string stopReason_;
    std::shared_ptr<std::atomic<bool>> cancelled_;
    std::vector<SiteOutcome> outcomes_;
    std::vector<QThread*> threads_;
    std::vector<BatchLane*> lanes_;
    std::vector<bool> laneBusy_;
    std::vector<int> siteLane_; // the lane a site runs on, -1 for none (kept for rounds of logged-in sessions)
    int sessionsLeft_ = 0;      // lanes whose log-out endSessions() waits for
};

Q_DECLARE_METATYPE(SiteOutcome)
