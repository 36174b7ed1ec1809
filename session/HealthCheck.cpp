#include "session/HealthCheck.h"

#include "platform/Tls.h"

#include <QDateTime>
#include <QTimeZone>

#include <cmath>

namespace {

constexpr qint64 DayMs = 24LL * 3600 * 1000;

std::string withoutLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return line;
}

bool startsWith(const std::string& text, std::string_view prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// "2026-03-01 12:00:00 UTC", as the engine writes a certificate's times, in ms since the epoch; 0 for none.
qint64 engineTime(const std::string& text)
{
    const QDateTime time =
        QDateTime::fromString(QString::fromLatin1(text.substr(0, 19)), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!time.isValid())
        return 0;
    return QDateTime(time.date(), time.time(), QTimeZone::utc()).toMSecsSinceEpoch();
}

std::string daysText(qint64 days)
{
    return std::to_string(days) + (days == 1 || days == -1 ? " day" : " days");
}

std::string secondsText(qint64 ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", double(ms) / 1000.0);
    return text;
}

// A pinned site has spoken TLS before, and is never reached without it.
bool speaksTls(const SiteBook::Record& record)
{
    return record.security != TFtpSecurity::Plain || !record.certificate.empty();
}

} // namespace

qint64 SiteHealth::daysLeft(qint64 nowMs) const
{
    if (!hasCertificate())
        return 0;
    return qint64(std::floor(double(notAfterMs - nowMs) / double(DayMs)));
}

const char* pinWord(SiteHealth::Pin pin)
{
    switch (pin) {
    case SiteHealth::Pin::Matches:
        return "matches";
    case SiteHealth::Pin::NoPin:
        return "no pin";
    case SiteHealth::Pin::Changed:
        return "CHANGED";
    case SiteHealth::Pin::Unknown:
        break;
    }
    return "";
}

const char* levelWord(HealthLevel level)
{
    switch (level) {
    case HealthLevel::Ok:
        return "OK";
    case HealthLevel::Warning:
        return "WARNING";
    case HealthLevel::Critical:
        return "CRITICAL";
    case HealthLevel::Unknown:
        break;
    }
    return "UNKNOWN";
}

HealthLevel worse(HealthLevel a, HealthLevel b)
{
    const auto rank = [](HealthLevel level) {
        switch (level) {
        case HealthLevel::Ok:
            return 0;
        case HealthLevel::Warning:
            return 1;
        case HealthLevel::Unknown:
            return 2;
        case HealthLevel::Critical:
            break;
        }
        return 3;
    };
    return rank(a) >= rank(b) ? a : b;
}

HealthVerdict judgeHealth(const SiteHealth& health, const HealthLimits& limits, qint64 nowMs)
{
    HealthVerdict verdict;
    const auto raise = [&](HealthLevel level, std::string why) {
        verdict.level = worse(verdict.level, level);
        verdict.reasons.push_back(std::move(why));
    };
    if (health.pin == SiteHealth::Pin::Changed)
        raise(HealthLevel::Warning, "the certificate is not the pinned one (CHANGED)");
    if (!health.ok() && health.pin != SiteHealth::Pin::Changed) {
        const std::string why = std::string(outcomeWord(health.outcome)) + ": " + withoutLineEnd(health.why.message);
        switch (health.outcome) {
        case Outcome::Certificate:
            raise(HealthLevel::Warning, why);
            break;
        case Outcome::Cancelled:
        case Outcome::NotRun:
            raise(HealthLevel::Unknown, why);
            break;
        default:
            raise(HealthLevel::Critical, why);
            break;
        }
    }
    if (health.hasCertificate()) {
        const qint64 left = health.notAfterMs - nowMs;
        const qint64 days = health.daysLeft(nowMs);
        if (left < 0)
            raise(HealthLevel::Critical, "the certificate expired on " + health.notAfter);
        else if (left <= qint64(limits.critDays) * DayMs)
            raise(HealthLevel::Critical, "the certificate ends in " + daysText(days));
        else if (left <= qint64(limits.warnDays) * DayMs)
            raise(HealthLevel::Warning, "the certificate ends in " + daysText(days));
    }
    if (health.noopMs >= 0) {
        if (limits.critMs >= 0 && health.noopMs >= limits.critMs)
            raise(HealthLevel::Critical, "NOOP took " + secondsText(health.noopMs));
        else if (limits.warnMs >= 0 && health.noopMs >= limits.warnMs)
            raise(HealthLevel::Warning, "NOOP took " + secondsText(health.noopMs));
    }
    return verdict;
}

THealthProbe::THealthProbe(TSiteSession& session, const BatchSite& site) : record_(site.record)
{
    clock_.start();
    health_.site = site.key;
    health_.host = site.record.host;
    health_.port = site.record.portNumber();
    health_.checkedAt = QDateTime::currentMSecsSinceEpoch();
    health_.tls = speaksTls(site.record);
    health_.pin = site.record.certificate.empty() ? SiteHealth::Pin::NoPin : SiteHealth::Pin::Unknown;
    session.setCertificateJudge(this);
    // The engine's word on its steps tells when the TLS handshake begins: with implicit TLS that is the end of the
    // connect, as no greeting comes before it.
    session.client().ReportLevel = StatusLevel::Operations;
    connect(&session, &TSiteSession::traffic, this, &THealthProbe::heard);
    connect(&session, &TSiteSession::status, this, [this](const std::string& text, bool) { told(text); });
    connect(&session, &TSiteSession::loggedIn, this, [this, &session] {
        if (userSent_ >= 0)
            health_.loginMs = clock_.elapsed() - userSent_;
        keepTls(session);
    });
    // A log-in that fails after the handshake (a changed pin, a refused certificate) still showed its certificate.
    connect(&session, &TSiteSession::disconnected, this, [this, &session] { keepTls(session); });
}

TrustAnswer THealthProbe::judge(const std::string&, const std::string&, const TCertificateInfo&)
{
    return TrustAnswer::Refuse;
}

void THealthProbe::heard(bool sent, const std::string& line)
{
    const qint64 now = clock_.elapsed();
    if (sent) {
        if (userSent_ < 0 && startsWith(line, "USER "))
            userSent_ = now;
        return;
    }
    if (health_.banner.empty()) {
        health_.banner = withoutLineEnd(line);
        if (health_.connectMs < 0)
            health_.connectMs = now;
    }
}

void THealthProbe::told(const std::string& text)
{
    const qint64 now = clock_.elapsed();
    if (text == "Starting TLS") {
        tlsStart_ = now;
        if (health_.connectMs < 0)
            health_.connectMs = now;
    } else if (startsWith(text, "Secured with ") && tlsStart_ >= 0 && health_.tlsMs < 0) {
        health_.tlsMs = now - tlsStart_;
    }
}

void THealthProbe::keepTls(TSiteSession& session)
{
    const TCertificateInfo& certificate = session.client().tlsCertificate();
    if (certificate.sha256Fingerprint.empty() || !health_.fingerprint.empty())
        return;
    const std::string& description = session.client().tlsDescription();
    const std::size_t blank = description.find(' ');
    health_.tlsVersion = description.substr(0, blank);
    health_.cipher = blank == std::string::npos ? std::string() : description.substr(blank + 1);
    health_.subject = certificate.subject;
    health_.issuer = certificate.issuer;
    health_.notAfter = certificate.notAfter;
    health_.notAfterMs = engineTime(certificate.notAfter);
    health_.fingerprint = certificate.sha256Fingerprint;
    if (!record_.certificate.empty())
        health_.pin = sameFingerprint(record_.certificate, certificate.sha256Fingerprint) ? SiteHealth::Pin::Matches
                                                                                          : SiteHealth::Pin::Changed;
}

std::shared_ptr<const SiteHealth> THealthProbe::result(const SiteOutcome& outcome)
{
    auto health = std::make_shared<SiteHealth>(health_);
    health->outcome = outcome.outcome;
    health->failure = outcome.failure;
    if (outcome.ok() && !outcome.replies.empty())
        health->noopMs = outcome.replies.front().ms;
    if (!outcome.ok()) {
        health->outcome = outcome.outcome == Outcome::Ok ? Outcome::Error : outcome.outcome;
        health->why = failureText(outcome.failure, record_);
    }
    return health;
}

SiteHealth healthOf(const TSiteBatch& batch, std::size_t index)
{
    const SiteOutcome& outcome = batch.outcomes()[index];
    if (outcome.health)
        return *outcome.health;
    const BatchSite& site = batch.sites()[index];
    SiteHealth health;
    health.site = site.key;
    health.host = site.record.host;
    health.port = site.record.portNumber();
    health.checkedAt = QDateTime::currentMSecsSinceEpoch();
    health.tls = speaksTls(site.record);
    health.pin = site.record.certificate.empty() ? SiteHealth::Pin::NoPin : SiteHealth::Pin::Unknown;
    health.outcome = outcome.ended() ? outcome.outcome : Outcome::Cancelled;
    if (health.outcome == Outcome::Ok)
        health.outcome = Outcome::Error; // ended well, but without figures: nothing can be said of it
    health.failure = outcome.failure;
    if (!health.failure.failed())
        health.failure = SessionFailure{FailureKind::Cancelled, "The check did not finish", 0};
    health.why = failureText(health.failure, site.record);
    return health;
}

std::vector<SiteHealth> healthOf(const TSiteBatch& batch)
{
    std::vector<SiteHealth> figures;
    figures.reserve(batch.outcomes().size());
    for (std::size_t i = 0; i < batch.outcomes().size(); ++i)
        figures.push_back(healthOf(batch, i));
    return figures;
}

std::unique_ptr<TSiteBatch> makeHealthCheck(std::vector<BatchSite> sites, int jobs, bool allowClearText)
{
    BatchPlan plan;
    plan.lines = {"NOOP"};
    plan.sitePrefix = false;
    plan.allowClearText = allowClearText;
    auto batch = std::make_unique<TSiteBatch>(std::move(sites), std::move(plan), jobs);
    batch->job = TSiteBatch::Job::HealthCheck;
    return batch;
}
