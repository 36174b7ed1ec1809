#include "session/HealthHistory.h"

#include "platform/Exceptions.h"
#include "session/BatchReport.h"
#include "session/HealthCheck.h"
#include "session/LocalRecord.h"
#include "sitebook/SiteBook.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSet>
#include <QTimeZone>

#include <sqlite3.h>

#include <algorithm>

namespace {

using LocalRecord::exec;
using LocalRecord::Statement;
using LocalRecord::transaction;

constexpr qint64 DayMs = 24LL * 3600 * 1000;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS samples (id INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
    "site TEXT NOT NULL, program TEXT NOT NULL, outcome TEXT NOT NULL, connect_ms INTEGER, tls_ms INTEGER, "
    "login_ms INTEGER, noop_ms INTEGER, certificate_days INTEGER);"
    "CREATE INDEX IF NOT EXISTS samples_time ON samples (time);";

const char* const kColumns = "time, site, program, outcome, connect_ms, tls_ms, login_ms, noop_ms, certificate_days";

QString programName()
{
    if (QCoreApplication::instance() && !QCoreApplication::applicationName().isEmpty())
        return QCoreApplication::applicationName();
    return QStringLiteral("kolvane");
}

void bindMs(Statement& statement, int index, qint64 ms)
{
    if (ms < 0)
        statement.bindNull(index);
    else
        statement.bind(index, std::int64_t(ms));
}

qint64 msOf(const Statement& statement, int column)
{
    return statement.isNull(column) ? -1 : statement.integer(column);
}

double meanOf(const Statement& statement, int column)
{
    return statement.isNull(column) ? -1.0 : statement.real(column);
}

std::string msText(qint64 ms)
{
    return ms < 0 ? std::string() : std::to_string(ms);
}

std::string cannotRead(const QString& path, const Exception& e)
{
    return "The health history " + path.toStdString() + " cannot be read: " + e.message();
}

} // namespace

QString THealthHistory::defaultPath()
{
    return LocalRecord::stateFolder() + QStringLiteral("/health.db");
}

THealthHistory::THealthHistory(QString path)
    : LocalRecord::File(std::move(path), kSchema, std::string("SELECT ") + kColumns + " FROM samples LIMIT 0")
{}

THealthHistory::~THealthHistory() = default;

void THealthHistory::pruneLocked()
{
    const qint64 cutoff = QDateTime::currentMSecsSinceEpoch() - KeepDays * DayMs;
    transaction(db_, [&] {
        Statement drop(db_, "DELETE FROM samples WHERE time < ?1");
        drop.bind(1, std::int64_t(cutoff));
        drop.step();
    });
    lastPrune_ = QDateTime::currentMSecsSinceEpoch();
}

void THealthHistory::prune()
{
    try {
        openForWriting();
        pruneLocked();
    } catch (const Exception& e) {
        throw Exception("The health history " + path_.toStdString() + " cannot be written: " + e.message());
    }
}

void THealthHistory::record(const SiteHealth& health, const QString& program)
{
    try {
        openForWriting();
        transaction(db_, [&] {
            Statement insert(db_, "INSERT INTO samples (time, site, program, outcome, connect_ms, tls_ms, login_ms, "
                                  "noop_ms, certificate_days) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
            insert.bind(1, std::int64_t(health.checkedAt))
                .bind(2, QString::fromUtf8(health.site.data(), qsizetype(health.site.size())))
                .bind(3, program.isEmpty() ? programName() : program)
                .bind(4, QString::fromLatin1(outcomeWord(health.outcome)));
            bindMs(insert, 5, health.connectMs);
            bindMs(insert, 6, health.tlsMs);
            bindMs(insert, 7, health.loginMs);
            bindMs(insert, 8, health.noopMs);
            if (health.hasCertificate())
                insert.bind(9, std::int64_t(health.daysLeft(health.checkedAt)));
            else
                insert.bindNull(9);
            insert.step();
        });
    } catch (const Exception& e) {
        throw Exception("The health history " + path_.toStdString() + " cannot be written: " + e.message());
    }
}

std::vector<HealthSample> THealthHistory::samples(qint64 since, qint64 until, const QStringList& sites)
{
    std::vector<HealthSample> found;
    const QSet<QString> wanted(sites.begin(), sites.end());
    try {
        if (!openForReading() || !LocalRecord::hasTable(db_, "samples"))
            return found;
        Statement select(
            db_, (std::string("SELECT ") + kColumns + " FROM samples WHERE time >= ?1 AND time <= ?2 ORDER BY time, id")
                     .c_str());
        select.bind(1, std::int64_t(since)).bind(2, std::int64_t(until));
        while (select.step()) {
            HealthSample s;
            s.site = select.text(1);
            if (!wanted.isEmpty() && !wanted.contains(s.site))
                continue;
            s.time = select.integer(0);
            s.program = select.text(2);
            s.outcome = select.text(3);
            s.connectMs = msOf(select, 4);
            s.tlsMs = msOf(select, 5);
            s.loginMs = msOf(select, 6);
            s.noopMs = msOf(select, 7);
            s.hasCertificate = !select.isNull(8);
            s.certificateDays = select.integer(8);
            found.push_back(std::move(s));
        }
    } catch (const Exception& e) {
        throw Exception(cannotRead(path_, e));
    }
    return found;
}

std::vector<HealthPoint> THealthHistory::points(qint64 since, qint64 until, int buckets, const QStringList& sites)
{
    std::vector<HealthPoint> found;
    const QSet<QString> wanted(sites.begin(), sites.end());
    const qint64 width = std::max<qint64>(1, (until - since) / std::max(1, buckets) + 1);
    try {
        if (!openForReading() || !LocalRecord::hasTable(db_, "samples"))
            return found;
        Statement select(db_, "SELECT site, MAX(time), AVG(noop_ms), AVG(login_ms), COUNT(*) FROM samples "
                              "WHERE time >= ?1 AND time <= ?2 GROUP BY site, (time - ?1) / ?3 "
                              "ORDER BY site, MAX(time)");
        select.bind(1, std::int64_t(since)).bind(2, std::int64_t(until)).bind(3, std::int64_t(width));
        while (select.step()) {
            HealthPoint p;
            p.site = select.text(0);
            if (!wanted.isEmpty() && !wanted.contains(p.site))
                continue;
            p.time = select.integer(1);
            p.noopMs = meanOf(select, 2);
            p.loginMs = meanOf(select, 3);
            p.samples = int(select.integer(4));
            found.push_back(std::move(p));
        }
    } catch (const Exception& e) {
        throw Exception(cannotRead(path_, e));
    }
    return found;
}

std::string healthCsv(const std::vector<HealthSample>& samples)
{
    using BatchReport::csvText;
    std::string out = "time,site,program,outcome,connect_ms,tls_ms,login_ms,noop_ms,certificate_days\r\n";
    for (const HealthSample& s : samples)
        out += csvText(QDateTime::fromMSecsSinceEpoch(s.time).toUTC().toString(Qt::ISODateWithMs)) + "," +
               csvText(SiteBook::shownName(s.site)) + "," + csvText(s.program) + "," + csvText(s.outcome) + "," +
               msText(s.connectMs) + "," + msText(s.tlsMs) + "," + msText(s.loginMs) + "," + msText(s.noopMs) + "," +
               (s.hasCertificate ? std::to_string(s.certificateDays) : std::string()) + "\r\n";
    return out;
}
