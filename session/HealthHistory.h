#pragma once

#include "session/LocalRecord.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <vector>

struct SiteHealth;

// One check of one site as the history keeps it.
struct HealthSample {
    qint64 time = 0; // when the check began, in ms since the epoch
    QString site;
    QString program; // "kolvane", "kolvane-health"
    QString outcome; // the outcome's word: "ok", "unreachable", ...
    // Milliseconds, -1 where the step was not reached.
    qint64 connectMs = -1;
    qint64 tlsMs = -1;
    qint64 loginMs = -1;
    qint64 noopMs = -1;
    bool hasCertificate = false;
    qint64 certificateDays = 0; // whole days left when it was checked

    bool ok() const { return outcome == QLatin1String("ok"); }
};

// One point of a chart: the mean of a site's samples within a stretch of time, and when the last of them was taken.
struct HealthPoint {
    QString site;
    qint64 time = 0;
    double noopMs = -1; // -1 when none of them had one
    double loginMs = -1;
    int samples = 0;
};

// The history of the health checks: an SQLite file of its own, ${XDG_STATE_HOME:-~/.local/state}/kolvane/health.db
// (folder 0700, file 0600, WAL), written by the Site Health window and by kolvane-health alike, one transaction a
// sample. Samples older than KeepDays are dropped whenever a program starts writing, and every hour it writes. It
// holds no password, no log-in name and no reply: only the figures of each check. One thread at a time.
class THealthHistory : public LocalRecord::File {
public:
    static constexpr int KeepDays = 90;

    static QString defaultPath();

    // Nothing is opened until the first sample is written or the first query is made.
    explicit THealthHistory(QString path = defaultPath());
    ~THealthHistory() override;

    // Writes one check; program empty: the running program's name. Raises Exception (with the reason) when the
    // history cannot be written.
    void record(const SiteHealth& health, const QString& program = QString());
    // The samples of [since, until] (ms since the epoch), oldest first, of the sites given (all when none). A history
    // that does not exist yet has none. Raises Exception when the file cannot be read.
    std::vector<HealthSample> samples(qint64 since, qint64 until, const QStringList& sites = {});
    // The same stretch as at most `buckets` points per site, each the mean of its samples: what a chart can draw.
    std::vector<HealthPoint> points(qint64 since, qint64 until, int buckets, const QStringList& sites = {});
    // Drops the samples older than KeepDays, now.
    void prune();

private:
    void pruneLocked() override;
};

// Samples for a spreadsheet: a header row, then a row a sample (time in UTC, ISO 8601; RFC 4180 quoting; names with
// every control character escaped).
std::string healthCsv(const std::vector<HealthSample>& samples);
