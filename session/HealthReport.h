#pragma once

#include "session/HealthCheck.h"

#include <QString>

#include <string>
#include <vector>

// Health checks written out for a monitoring system or a script, every name and every text of the daemon's with
// its control characters escaped.
namespace HealthReport {

// The worst level of the sites (OK for none).
HealthLevel overall(const std::vector<SiteHealth>& sites, const HealthLimits& limits, qint64 nowMs);

// One line in the Monitoring Plugins' form: "KOLVANE OK - 12 sites healthy | 'home_rtt'=0.012s;0.5;2;0 ...": the
// overall level, each site that is not OK with its level and why, then the performance data of every site (its
// NOOP round trip and log-in time in seconds, its certificate's days left; U where there is no figure).
std::string pluginLine(const std::vector<SiteHealth>& sites, const HealthLimits& limits, qint64 nowMs);
// A performance data label: the site's name as the book shows names, quoted, a quote in it doubled and an equals
// sign (which no label may hold) escaped, then the figure's name: 'home_rtt'.
std::string perfLabel(const QString& site, const char* figure);

// One JSON object a line and site, with every figure of the site's row in the Site Health window.
std::string json(const std::vector<SiteHealth>& sites, const HealthLimits& limits, qint64 nowMs);

} // namespace HealthReport
