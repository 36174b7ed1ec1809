#include "session/HealthReport.h"

#include "session/BatchReport.h"
#include "sitebook/SiteBook.h"

#include <QDateTime>
#include <QStringDecoder>
#include <QTimeZone>

namespace {

using BatchReport::jsonText;

// The engine's words are UTF-8; a reply line quoted in them is the daemon's code page 437.
QString messageText(const std::string& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    return utf8.hasError() ? BatchReport::lineText(bytes) : text;
}

QString nameOf(const SiteHealth& health)
{
    return BatchReport::siteText(health.site);
}

// A text of the status line: every control character escaped, and no "|", which would begin the performance data.
std::string statusText(const QString& text)
{
    std::string out = BatchReport::printableText(text);
    for (std::size_t at = out.find('|'); at != std::string::npos; at = out.find('|', at))
        out.replace(at, 1, "\\u007C");
    return out;
}

std::string seconds(qint64 ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3fs", double(ms) / 1000.0);
    return text;
}

// A limit in seconds, as short as it can be written: 500 ms is "0.5"; none is empty.
std::string limit(int ms)
{
    return ms < 0 ? std::string() : QString::number(double(ms) / 1000.0, 'g', 10).toStdString();
}

std::string number(qint64 value)
{
    return std::to_string(value);
}

std::string optionalMs(qint64 ms)
{
    return ms < 0 ? std::string("null") : std::to_string(ms);
}

std::string optionalText(const QString& text)
{
    return text.isEmpty() ? std::string("null") : jsonText(text);
}

QString latin(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

std::string perfData(const SiteHealth& health, const HealthLimits& limits, qint64 nowMs)
{
    using HealthReport::perfLabel;
    const QString name = nameOf(health);
    std::string out = perfLabel(name, "rtt") + "=" + (health.noopMs < 0 ? std::string("U") : seconds(health.noopMs)) +
                      ";" + limit(limits.warnMs) + ";" + limit(limits.critMs) + ";0";
    out += " " + perfLabel(name, "login") + "=" + (health.loginMs < 0 ? std::string("U") : seconds(health.loginMs)) +
           ";;;0";
    if (health.tls)
        out += " " + perfLabel(name, "cert_days") + "=" +
               (health.hasCertificate() ? number(health.daysLeft(nowMs)) : std::string("U")) + ";" +
               number(limits.warnDays) + ";" + number(limits.critDays) + ";0";
    return out;
}

} // namespace

HealthLevel HealthReport::overall(const std::vector<SiteHealth>& sites, const HealthLimits& limits, qint64 nowMs)
{
    HealthLevel level = HealthLevel::Ok;
    for (const SiteHealth& health : sites)
        level = worse(level, judgeHealth(health, limits, nowMs).level);
    return level;
}

std::string HealthReport::perfLabel(const QString& site, const char* figure)
{
    QString label = SiteBook::shownName(site);
    label.replace(QLatin1Char('='), QStringLiteral("\\x3D"));
    label.replace(QLatin1Char('\''), QStringLiteral("''"));
    return "'" + label.toStdString() + "_" + figure + "'";
}

std::string HealthReport::pluginLine(const std::vector<SiteHealth>& sites, const HealthLimits& limits, qint64 nowMs)
{
    HealthLevel level = HealthLevel::Ok;
    std::string attention;
    std::size_t healthy = 0;
    std::string perf;
    for (const SiteHealth& health : sites) {
        const HealthVerdict verdict = judgeHealth(health, limits, nowMs);
        level = worse(level, verdict.level);
        if (verdict.level == HealthLevel::Ok) {
            ++healthy;
        } else {
            std::string why;
            for (const std::string& reason : verdict.reasons)
                why += (why.empty() ? "" : ", ") + reason;
            attention += statusText(SiteBook::shownName(nameOf(health))) + " " + levelWord(verdict.level) + ": " +
                         statusText(messageText(why)) + "; ";
        }
        perf += (perf.empty() ? "" : " ") + perfData(health, limits, nowMs);
    }
    const auto count = [](std::size_t n) { return std::to_string(n) + (n == 1 ? " site" : " sites"); };
    std::string summary;
    if (sites.empty())
        summary = "no site checked";
    else if (healthy == sites.size())
        summary = count(healthy) + " healthy";
    else
        summary = attention + std::to_string(healthy) + " of " + count(sites.size()) + " healthy";
    return std::string("KOLVANE ") + levelWord(level) + " - " + summary + (perf.empty() ? "" : " | " + perf) + "\n";
}

std::string HealthReport::json(const std::vector<SiteHealth>& sites, const HealthLimits& limits, qint64 nowMs)
{
    std::string out;
    for (const SiteHealth& h : sites) {
        const HealthVerdict verdict = judgeHealth(h, limits, nowMs);
        std::string reasons = "[";
        for (std::size_t i = 0; i < verdict.reasons.size(); ++i)
            reasons += (i ? ", " : "") + jsonText(messageText(verdict.reasons[i]));
        reasons += "]";
        const QString checked = QDateTime::fromMSecsSinceEpoch(h.checkedAt).toUTC().toString(Qt::ISODateWithMs);
        out += "{\"site\": " + jsonText(nameOf(h)) + ", \"host\": " + jsonText(latin(h.host)) +
               ", \"port\": " + number(h.port) + ", \"status\": " + jsonText(QLatin1String(levelWord(verdict.level))) +
               ", \"reasons\": " + reasons + ", \"reachable\": " + (h.ok() ? "true" : "false") +
               ", \"outcome\": " + jsonText(QLatin1String(outcomeWord(h.outcome))) +
               ", \"error\": " + optionalText(h.ok() ? QString() : messageText(h.why.message)) +
               ", \"hint\": " + optionalText(h.ok() ? QString() : latin(h.why.hint)) +
               ", \"connect_ms\": " + optionalMs(h.connectMs) + ", \"tls_ms\": " + optionalMs(h.tlsMs) +
               ", \"login_ms\": " + optionalMs(h.loginMs) + ", \"noop_ms\": " + optionalMs(h.noopMs) +
               ", \"tls_version\": " + optionalText(latin(h.tlsVersion)) +
               ", \"cipher\": " + optionalText(latin(h.cipher)) + ", \"subject\": " + optionalText(latin(h.subject)) +
               ", \"issuer\": " + optionalText(latin(h.issuer)) +
               ", \"not_after\": " + optionalText(latin(h.notAfter)) +
               ", \"days_left\": " + (h.hasCertificate() ? number(h.daysLeft(nowMs)) : std::string("null")) +
               ", \"pin\": " + optionalText(QLatin1String(pinWord(h.pin))) +
               ", \"fingerprint\": " + optionalText(latin(h.fingerprint)) +
               ", \"banner\": " + optionalText(h.banner.empty() ? QString() : BatchReport::lineText(h.banner)) +
               ", \"checked\": " + jsonText(checked) + "}\n";
    }
    return out;
}
