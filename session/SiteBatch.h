#pragma once

#include "session/SiteSession.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class BatchWorker;
class QThread;

// One site of a batch and the record it is reached with.
struct BatchSite {
    std::string key;
    SiteBook::Record record;
};

// What became of one site of a batch.
struct SiteOutcome {
    enum class Step { Waiting, LoggingIn, Running, Done, Failed };

    std::string site;
    Step step = Step::Waiting;
    int code = 0;                   // the reply's code; 0 before it came, or when there was none
    std::vector<std::string> lines; // the whole reply, line by line without line ends
    SessionFailure failure;         // why the site failed
    qint64 ms = 0;                  // from the start of its log-in to the end of its reply

    // A site answered with a 2xx.
    bool ok() const { return step == Step::Done && code >= 200 && code <= 299; }
};

const char* stepWord(SiteOutcome::Step step); // "waiting", "logging in", "running", "done", "failed"

// Sites whose outcomes are the same, folded into one group, in the order their first site came in the batch.
struct ReplyGroup {
    std::vector<std::size_t> members; // indexes into the outcomes
    bool failed = false;
    std::vector<std::string> lines; // the reply they share, or the failure's line for failed ones
};

// Folds the sites that are done or failed: identical replies make one group, and so do identical failures.
std::vector<ReplyGroup> foldOutcomes(const std::vector<SiteOutcome>& outcomes);
// The one line that says why a site failed: "refused: Connection Failed: ...".
std::string failureLine(const SessionFailure& failure);

// The SITE verbs that only read the daemon's state: a command starting with another verb changes it, and is
// confirmed before it runs on many sites.
const QStringList& readOnlySiteVerbs();
bool changesDaemonState(const std::string& command);

// One SITE command run on many sites at once: each site logs in on a thread of its own (at most `jobs` at a time),
// sends "SITE " + command, and logs out; a certificate that is neither verified nor pinned is refused, since nobody
// is there to ask. The outcomes are told as they change, on the thread that made the batch.
class TSiteBatch : public QObject {
    Q_OBJECT

public:
    TSiteBatch(std::vector<BatchSite> sites, std::string command, int jobs = 8, QObject* parent = nullptr);
    ~TSiteBatch() override;

    // Seconds each site's replies are waited for, in place of the site's own setting (negative: the site's).
    int replyTimeout = -1;

    void start();
    // Stops every site: those under way end their wait, those not begun never start.
    void cancel();
    bool running() const { return running_ > 0 || next_ < sites_.size(); }
    const std::vector<SiteOutcome>& outcomes() const { return outcomes_; }
    const std::string& command() const { return command_; }

signals:
    void siteChanged(int index);
    void finished();

private:
    void launchMore();
    void workerStep(int index, SiteOutcome outcome);
    void workerDone(int index);

    std::vector<BatchSite> sites_;
    std::string command_;
    int jobs_;
    std::size_t next_ = 0;
    int running_ = 0;
    bool started_ = false;
    std::shared_ptr<std::atomic<bool>> cancelled_;
    std::vector<SiteOutcome> outcomes_;
    std::vector<QThread*> threads_;
    std::vector<BatchWorker*> workers_;
};

Q_DECLARE_METATYPE(SiteOutcome)
