#include "session/BatchWatch.h"

#include "platform/PasswordMask.h"
#include "session/SiteVerbs.h"

#include <QStringList>

#include <algorithm>

std::optional<std::string> BatchWatching::refusal(const std::vector<std::string>& lines)
{
    for (const std::string& line : lines)
        if (changesDaemonState(line))
            return MaskedLine("SITE " + line) + " changes the daemon's state, and a watch repeats only the commands " +
                   "that read it: " + readOnlySiteVerbs().join(QStringLiteral(", ")).toStdString();
    return std::nullopt;
}

int BatchWatching::secondMs()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("KOLVANE_WATCH_SECOND_MS", &ok);
    return ok && ms >= 1 && ms < 1000 ? ms : 1000;
}

BatchPlan BatchWatching::watchPlan(BatchPlan plan, int keepAliveSeconds)
{
    plan.stayLoggedIn = true;
    plan.keepAliveSeconds = std::max(0, keepAliveSeconds);
    return plan;
}

TBatchWatch::TBatchWatch(TSiteBatch& batch, int seconds, QObject* parent)
    : QObject(parent), batch_(batch),
      seconds_(std::clamp(seconds, BatchWatching::MinimumSeconds, BatchWatching::MaximumSeconds)), next_(this)
{
    const std::size_t count = batch_.sites().size();
    before_.resize(count);
    seen_.assign(count, false);
    changes_.resize(count);
    changed_.assign(count, false);
    firstSight_.assign(count, false);
    next_.setSingleShot(true);
    connect(&next_, &QTimer::timeout, this, &TBatchWatch::beginRound);
    connect(&batch_, &TSiteBatch::siteEnded, this, &TBatchWatch::siteDone);
    connect(&batch_, &TSiteBatch::finished, this, &TBatchWatch::batchFinished);
    connect(&batch_, &TSiteBatch::sessionsEnded, this, &TBatchWatch::maybeFinish);
}

TBatchWatch::~TBatchWatch() = default;

void TBatchWatch::start()
{
    if (watching_)
        return;
    watching_ = true;
    stopping_ = false;
    beginRound();
}

void TBatchWatch::beginRound()
{
    if (!watching_ || stopping_)
        return;
    ++round_;
    roundTime_ = QDateTime::currentDateTime();
    since_.start();
    for (std::size_t i = 0; i < changes_.size(); ++i) {
        changes_[i].clear();
        changed_[i] = false;
        firstSight_[i] = false;
    }
    emit roundStarted(round_);
    batch_.start();
}

void TBatchWatch::siteDone(int index)
{
    if (!watching_)
        return;
    const auto at = std::size_t(index);
    const SiteOutcome& outcome = batch_.outcomes()[at];
    // A site the round did not reach has nothing to compare: its text stays what it was.
    if (outcome.outcome == Outcome::Cancelled) {
        emit siteEnded(index);
        return;
    }
    std::vector<std::string> text = BatchFold::transcript(outcome, batch_.plan().lines.size() != 1);
    const bool first = !seen_[at];
    changes_[at] = BatchFold::changes(first ? std::vector<std::string>() : before_[at], text);
    changed_[at] = !first && text != before_[at];
    firstSight_[at] = first;
    before_[at] = std::move(text);
    seen_[at] = true;
    emit siteEnded(index);
}

void TBatchWatch::batchFinished()
{
    if (!watching_)
        return;
    if (stopping_) {
        maybeFinish();
        return;
    }
    emit roundEnded(round_);
    if (maxRounds > 0 && round_ >= maxRounds) {
        stop();
        return;
    }
    // Rounds begin every `seconds`, start to start; one that took longer is followed at once.
    const qint64 interval = qint64(seconds_) * BatchWatching::secondMs();
    next_.start(std::chrono::milliseconds(std::max<qint64>(0, interval - since_.elapsed())));
}

void TBatchWatch::stop(int quitMs)
{
    if (!watching_ || stopping_)
        return;
    stopping_ = true;
    next_.stop();
    batch_.endSessions(quitMs);
    // Told from the event loop, never from inside this call, even when nothing is left to wait for.
    QTimer::singleShot(0, this, &TBatchWatch::maybeFinish);
}

void TBatchWatch::maybeFinish()
{
    if (!watching_ || !stopping_ || batch_.running() || batch_.endingSessions())
        return;
    watching_ = false;
    stopping_ = false;
    emit finished();
}
