#include "session/SiteBatch.h"

#include <QThread>

#include <algorithm>
#include <map>

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

std::string failureLine(const SessionFailure& failure)
{
    std::string message = failure.message;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    return std::string(failureKindWord(failure.kind)) + ": " + message;
}

std::vector<ReplyGroup> foldOutcomes(const std::vector<SiteOutcome>& outcomes)
{
    std::vector<ReplyGroup> groups;
    std::map<std::pair<bool, std::vector<std::string>>, std::size_t> seen;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const SiteOutcome& outcome = outcomes[i];
        if (outcome.step != SiteOutcome::Step::Done && outcome.step != SiteOutcome::Step::Failed)
            continue;
        const bool failed = outcome.step == SiteOutcome::Step::Failed;
        std::vector<std::string> lines =
            failed ? std::vector<std::string>{failureLine(outcome.failure)} : outcome.lines;
        auto [at, fresh] = seen.try_emplace({failed, lines}, groups.size());
        if (fresh)
            groups.push_back(ReplyGroup{{}, failed, std::move(lines)});
        groups[at->second].members.push_back(i);
    }
    return groups;
}

const QStringList& readOnlySiteVerbs()
{
    static const QStringList verbs{
        QStringLiteral("GROUPS"),  QStringLiteral("GROUPTOP"), QStringLiteral("HELP"),    QStringLiteral("NEW"),
        QStringLiteral("NUKES"),   QStringLiteral("USER"),     QStringLiteral("USERS"),   QStringLiteral("USERTOP"),
        QStringLiteral("WEEKTOP"), QStringLiteral("WHO"),      QStringLiteral("ZIPLIST"), QStringLiteral("NFO"),
        QStringLiteral("DIZ"),
    };
    return verbs;
}

bool changesDaemonState(const std::string& command)
{
    const std::size_t start = command.find_first_not_of(' ');
    if (start == std::string::npos)
        return false; // nothing to send
    const std::size_t end = command.find(' ', start);
    const QString verb = QString::fromLatin1(command.substr(start, end - start)).toUpper();
    return !readOnlySiteVerbs().contains(verb);
}

// One site's run, on a thread of its own: the session lives and dies there, so its waits never stall another's.
class BatchWorker : public QObject {
    Q_OBJECT

public:
    BatchWorker(BatchSite site, std::string command, int replyTimeout, std::shared_ptr<std::atomic<bool>> cancelled)
        : site_(std::move(site)), command_(std::move(command)), replyTimeout_(replyTimeout),
          cancelled_(std::move(cancelled))
    {}

    // Runs on the worker's thread.
    void run()
    {
        SiteOutcome outcome;
        outcome.site = site_.key;
        QElapsedTimer clock;
        clock.start();
        TSiteSession session;
        session_ = &session;
        if (replyTimeout_ >= 0)
            site_.record.replyTimeout = replyTimeout_;
        session.setSite(site_.key, site_.record);
        try {
            if (cancelled_->load())
                throw EAbortError("Cancelled before it began");
            outcome.step = SiteOutcome::Step::LoggingIn;
            emit step(outcome);
            session.logIn();
            if (cancelled_->load())
                throw EAbortError("Cancelled");
            outcome.step = SiteOutcome::Step::Running;
            emit step(outcome);
            try {
                outcome.lines = session.command("SITE " + command_);
            } catch (const FTPException& refusal) {
                // The daemon's refusal is its answer: the site is done, and its reply is what it said.
                outcome.lines = session.lastReply();
                if (outcome.lines.empty())
                    outcome.lines.push_back(refusal.message());
                outcome.failure = session.lastFailure();
            }
            outcome.code = outcome.lines.empty() ? 0 : TPowersock::replyCode(outcome.lines.back());
            outcome.ms = clock.elapsed();
            try {
                session.logOut();
            } catch (...) {
                // The reply is in: a log-out the daemon spoils changes nothing of it.
            }
            outcome.step = SiteOutcome::Step::Done;
        } catch (const std::exception& error) {
            outcome.failure = session.lastFailure().failed() ? session.lastFailure() : sessionFailureOf(error);
            outcome.step = SiteOutcome::Step::Failed;
            outcome.ms = clock.elapsed();
        }
        session_ = nullptr;
        emit step(outcome);
        emit done();
    }

    // Runs on the worker's thread, from inside its session's wait.
    void cancel()
    {
        if (session_)
            session_->cancel();
    }

signals:
    void step(SiteOutcome outcome);
    void done();

private:
    BatchSite site_;
    std::string command_;
    int replyTimeout_;
    std::shared_ptr<std::atomic<bool>> cancelled_;
    TSiteSession* session_ = nullptr;
};

TSiteBatch::TSiteBatch(std::vector<BatchSite> sites, std::string command, int jobs, QObject* parent)
    : QObject(parent), sites_(std::move(sites)), command_(std::move(command)), jobs_(std::max(1, jobs)),
      cancelled_(std::make_shared<std::atomic<bool>>(false))
{
    qRegisterMetaType<SiteOutcome>();
    outcomes_.resize(sites_.size());
    for (std::size_t i = 0; i < sites_.size(); ++i)
        outcomes_[i].site = sites_[i].key;
    threads_.resize(sites_.size(), nullptr);
    workers_.resize(sites_.size(), nullptr);
}

TSiteBatch::~TSiteBatch()
{
    cancel();
    for (std::size_t i = 0; i < threads_.size(); ++i) {
        if (!threads_[i])
            continue;
        threads_[i]->quit();
        threads_[i]->wait();
        delete workers_[i];
        delete threads_[i];
    }
}

void TSiteBatch::start()
{
    if (std::exchange(started_, true))
        return;
    launchMore();
    if (!running())
        emit finished();
}

void TSiteBatch::launchMore()
{
    while (running_ < jobs_ && next_ < sites_.size()) {
        const int index = int(next_++);
        if (cancelled_->load()) {
            outcomes_[std::size_t(index)].step = SiteOutcome::Step::Failed;
            outcomes_[std::size_t(index)].failure = SessionFailure{FailureKind::Cancelled, "Cancelled before it began"};
            emit siteChanged(index);
            continue;
        }
        auto* thread = new QThread;
        auto* worker = new BatchWorker(sites_[std::size_t(index)], command_, replyTimeout, cancelled_);
        worker->moveToThread(thread);
        threads_[std::size_t(index)] = thread;
        workers_[std::size_t(index)] = worker;
        connect(thread, &QThread::started, worker, &BatchWorker::run);
        connect(worker, &BatchWorker::step, this,
                [this, index](const SiteOutcome& outcome) { workerStep(index, outcome); });
        connect(worker, &BatchWorker::done, this, [this, index] { workerDone(index); });
        ++running_;
        thread->start();
    }
}

void TSiteBatch::workerStep(int index, SiteOutcome outcome)
{
    outcomes_[std::size_t(index)] = std::move(outcome);
    emit siteChanged(index);
}

void TSiteBatch::workerDone(int index)
{
    QThread* thread = threads_[std::size_t(index)];
    thread->quit();
    thread->wait();
    delete workers_[std::size_t(index)];
    delete thread;
    workers_[std::size_t(index)] = nullptr;
    threads_[std::size_t(index)] = nullptr;
    --running_;
    launchMore();
    if (!running())
        emit finished();
}

void TSiteBatch::cancel()
{
    cancelled_->store(true);
    for (BatchWorker* worker : workers_)
        if (worker)
            QMetaObject::invokeMethod(worker, &BatchWorker::cancel, Qt::QueuedConnection);
}

#include "SiteBatch.moc"
