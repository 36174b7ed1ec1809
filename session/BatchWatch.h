#pragma once

#include "session/BatchFold.h"
#include "session/SiteBatch.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <optional>
#include <string>
#include <vector>

namespace BatchWatching {

// The shortest and the longest time between the starts of two rounds that an operator may ask for, in seconds.
inline constexpr int MinimumSeconds = 5;
inline constexpr int MaximumSeconds = 86400;

// Why these lines cannot be watched: the first of them that changes the daemon's state, named with its password
// hidden. None when every line only reads.
std::optional<std::string> refusal(const std::vector<std::string>& lines);

// How long a second of a watch lasts, in milliseconds: 1000, unless KOLVANE_WATCH_SECOND_MS holds a shorter time,
// so that tests and benchmarks run hundreds of rounds in seconds. The operator's shortest interval stays 5 of them.
int secondMs();

// The plan as a watch runs it: the sessions kept from one round to the next, and a NOOP after keepAliveSeconds of
// quiet between them.
BatchPlan watchPlan(BatchPlan plan, int keepAliveSeconds);

} // namespace BatchWatching

// A watch: the same reading lines on the same sites, round after round, a round beginning every `seconds` (or as
// soon as the one before has ended, when it took longer), on sessions that stay logged in from the first round to
// the last. Each site's text of a round is compared with its text of the round before, line by line, so that every
// door can say what came and what went.
class TBatchWatch : public QObject {
    Q_OBJECT

public:
    // The batch's plan keeps its sessions (BatchWatching::watchPlan); the watch drives its rounds and does not own
    // it.
    TBatchWatch(TSiteBatch& batch, int seconds, QObject* parent = nullptr);
    ~TBatchWatch() override;

    // The watch ends by itself after this many rounds (0: only when stopped).
    int maxRounds = 0;

    // The first round begins now.
    void start();
    // Ends the watch: the round under way is cancelled, no other begins, and every site is logged out, each
    // waiting at most quitMs for the answer to its QUIT (negative: the session's own time). finished() tells when
    // all of it is done.
    void stop(int quitMs = -1);
    // From start() until finished().
    bool watching() const { return watching_; }
    // From stop() until finished().
    bool stopping() const { return stopping_; }
    int seconds() const { return seconds_; }
    // The round under way, or the last one; 1 for the first.
    int round() const { return round_; }
    // When it began.
    const QDateTime& roundTime() const { return roundTime_; }
    TSiteBatch& batch() { return batch_; }
    const TSiteBatch& batch() const { return batch_; }

    // A site's text this round, every line marked against its text of the round before (each of them Added when
    // there was none). Empty while the site is under way, and for a site the round did not reach (cancelled).
    const std::vector<LineChange>& changes(std::size_t index) const { return changes_[index]; }
    // Whether the site's text differs from its text of the round before. Never for the first round that reached it:
    // there is nothing to differ from.
    bool changed(std::size_t index) const { return changed_[index]; }
    // Whether this round is the first to reach the site.
    bool firstSight(std::size_t index) const { return firstSight_[index]; }

signals:
    void roundStarted(int round);
    // A site has ended in this round, and its changes are in.
    void siteEnded(int index);
    void roundEnded(int round);
    // The watch has ended: stopped with every site logged out, or its last round done.
    void finished();

private:
    void beginRound();
    void siteDone(int index);
    void batchFinished();
    void maybeFinish();

    TSiteBatch& batch_;
    int seconds_;
    QTimer next_;
    QElapsedTimer since_; // since the round began
    QDateTime roundTime_;
    int round_ = 0;
    bool watching_ = false;
    bool stopping_ = false;
    std::vector<std::vector<std::string>> before_; // each site's text in the last round that reached it
    std::vector<bool> seen_;                       // a round has reached the site
    std::vector<std::vector<LineChange>> changes_;
    std::vector<bool> changed_;
    std::vector<bool> firstSight_;
};
