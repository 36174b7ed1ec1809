#pragma once

#include "session/FailureText.h"
#include "session/SiteBatch.h"

#include <QElapsedTimer>
#include <QObject>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What one check of a site found: whether it could be logged in to (or why not, in the failure words every door
// uses), how long each step took, what its TLS and certificate were, and the daemon's greeting. A check logs in,
// sends NOOP and logs out: nothing else goes to the daemon.
struct SiteHealth {
    // The presented certificate against the site's pin.
    enum class Pin : std::uint8_t {
        Unknown, // the site has a pin, but no certificate was presented (the connection was not made, or no TLS)
        Matches,
        NoPin,
        Changed, // the site's pin is another certificate's
    };

    std::string site;
    std::string host;
    int port = 0;
    qint64 checkedAt = 0; // when the check began, in ms since the epoch
    bool tls = false;     // the site is reached over TLS (by its record): it has a certificate to show

    Outcome outcome = Outcome::NotRun; // ok: logged in and the NOOP answered
    SessionFailure failure;            // why not
    FailureText why;                   // what failed and what to check, as the error box says it

    // Milliseconds, -1 where the step was not reached (or, for TLS, not taken).
    qint64 connectMs = -1; // until the connection was made: the greeting came, or the TLS handshake began
    qint64 tlsMs = -1;     // the handshake and the certificate's check
    qint64 loginMs = -1;   // from USER to the log-in's end
    qint64 noopMs = -1;    // NOOP's round trip

    std::string tlsVersion; // "TLSv1.3"
    std::string cipher;     // "TLS_AES_256_GCM_SHA384"
    std::string subject;    // the certificate's, as the engine shows it (RFC 2253)
    std::string issuer;
    std::string notAfter;    // "2026-03-01 12:00:00 UTC"
    qint64 notAfterMs = 0;   // the same in ms since the epoch; 0 for no certificate
    std::string fingerprint; // SHA-256
    Pin pin = Pin::Unknown;  // NoPin whenever the site has none
    std::string banner;      // the greeting's first line, without its line end

    bool ok() const { return outcome == Outcome::Ok; }
    bool hasCertificate() const { return notAfterMs != 0; }
    // Whole days until the certificate's last day, negative once it has passed.
    qint64 daysLeft(qint64 nowMs) const;
};

// "matches", "no pin", "CHANGED"; empty when nothing can be said.
const char* pinWord(SiteHealth::Pin pin);

// How much a site needs attention, in the Monitoring Plugins' order of exit statuses.
enum class HealthLevel : std::uint8_t { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };
// "OK", "WARNING", "CRITICAL", "UNKNOWN".
const char* levelWord(HealthLevel level);
// The worse of two: CRITICAL, then UNKNOWN, then WARNING, then OK.
HealthLevel worse(HealthLevel a, HealthLevel b);

// When a site needs attention. A round trip is judged only where a limit is given (negative: none).
struct HealthLimits {
    int warnDays = 30;
    int critDays = 7;
    int warnMs = -1;
    int critMs = -1;
};

struct HealthVerdict {
    HealthLevel level = HealthLevel::Ok;
    std::vector<std::string> reasons; // why it is not OK: "certificate ends in 5 days", ...
};

// A check that failed is critical (unreachable, no answer, log-in refused, TLS refused, lost), but a certificate
// refused is a warning: a changed pin, or one that neither verifies nor is pinned; a cancelled check is unknown. A
// certificate within critDays, or past its last day, is critical; within warnDays, a warning.
HealthVerdict judgeHealth(const SiteHealth& health, const HealthLimits& limits, qint64 nowMs);

// Hears one site's session through a health check's log-in and keeps the figures. It is the session's certificate
// judge, and refuses whatever it is asked: a check never trusts a certificate and never pins one.
class THealthProbe : public QObject, public TCertificateJudge {
public:
    THealthProbe(TSiteSession& session, const BatchSite& site);

    TrustAnswer judge(const std::string& siteKey, const std::string& where, const TCertificateInfo& info) override;
    // The figures, with how the site ended.
    std::shared_ptr<const SiteHealth> result(const SiteOutcome& outcome);

private:
    void heard(bool sent, const std::string& line);
    void told(const std::string& text);
    void keepTls(TSiteSession& session);

    SiteBook::Record record_;
    SiteHealth health_;
    QElapsedTimer clock_;
    qint64 tlsStart_ = -1;
    qint64 userSent_ = -1;
};

// The figures of a site of a health check: those its probe kept, or, for a site that never reached a connection (no
// password to send, a check that had not begun), what its outcome says.
SiteHealth healthOf(const TSiteBatch& batch, std::size_t index);
// Every site's, in the batch's order.
std::vector<SiteHealth> healthOf(const TSiteBatch& batch);

// A batch whose job is the health check: each site logged in to, sent NOOP and logged out, at most `jobs` at a
// time. TLS if offered is TLS required unless clear text is allowed, as in every run on many sites.
std::unique_ptr<TSiteBatch> makeHealthCheck(std::vector<BatchSite> sites, int jobs, bool allowClearText = false);
