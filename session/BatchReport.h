#pragma once

#include "session/SiteBatch.h"

#include <QString>

#include <string>
#include <vector>

// A batch's outcomes written out for a person, a spreadsheet or a script. The daemon's bytes are decoded from code
// page 437 as the console's boxes show them; every control character a terminal or a viewer would act on is
// escaped.
namespace BatchReport {

// The sites folded by identical replies, each group under a header naming its sites:
//   == 2 sites: alpha, beta
//   200 nobody is on
std::string folded(const std::vector<SiteOutcome>& outcomes);
// One JSON object a line and site: {"site": ..., "ok": ..., "code": ..., "lines": [...], "error": ..., "ms": ...}.
std::string jsonLines(const std::vector<SiteOutcome>& outcomes);
// A header row and one row a site: site, state, ms, code, first line, the whole reply (RFC 4180 quoting).
std::string csv(const std::vector<SiteOutcome>& outcomes);

// One reply line as shown, and a site's name as shown.
QString lineText(const std::string& line);
QString siteText(const std::string& key);
// The line that says what became of a site: its reply's first line, or why it failed.
QString summary(const SiteOutcome& outcome);

// Text escaped as the reports above escape it, for other reports that read alike: for a terminal (every control
// character as \uXXXX), as a JSON string (quoted), as a CSV field (quoted, line ends kept).
std::string printableText(const QString& text);
std::string jsonText(const QString& text);
std::string csvText(const QString& text);

} // namespace BatchReport
