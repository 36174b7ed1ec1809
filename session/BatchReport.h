#pragma once

#include "session/BatchFold.h"

#include <QString>

#include <string>
#include <vector>

class TBatchWatch;

// A batch's outcomes written out for a person, a spreadsheet or a script. The daemon's bytes are decoded from code
// page 437 as the console's boxes show them; every control character a terminal or a viewer would act on is
// escaped.
namespace BatchReport {

// The sites folded by outcome and reply, the largest group first, each under a header naming its sites:
//   == 2 sites: alpha, beta
//   200 nobody is on
//   == gamma (refused)
//   550 WHO is off
std::string folded(const std::vector<SiteOutcome>& outcomes, bool script = false);
// The largest group whole, then each other group as a unified diff against it.
std::string differences(const std::vector<SiteOutcome>& outcomes, bool script = false);
// A group's header without "== ": "17 sites: a, b, c" (at most `names` names, then " ..."; 0: all of them), and
// with withOutcome the outcome in brackets when it is not ok.
std::string groupHeader(const std::vector<SiteOutcome>& outcomes, const ReplyGroup& group, std::size_t names = 0,
                        bool withOutcome = true);

// One site's JSON objects, one a line: one per line of the plan once the log-in went through, else one for the
// site. {"site": ..., "ok": ..., "code": ..., "lines": [...], "error": ..., "ms": ..., "outcome": ..., "line": ...,
// "command": ..., "note": ...}
std::string jsonSite(const SiteOutcome& outcome);
// Every site's objects, in the batch's order.
std::string jsonLines(const std::vector<SiteOutcome>& outcomes);
// The last object of a run: {"recap": {"sites": N, "ok": N, "refused": N, ...}}, every outcome counted.
std::string jsonRecap(const std::vector<SiteOutcome>& outcomes);
// A header row and one row a site: site, state, ms, code, first line, the whole reply, outcome (RFC 4180).
std::string csv(const std::vector<SiteOutcome>& outcomes, bool script = false);

// A dry run: per site, every line it would be sent (passwords hidden), or why it could not log in at all.
std::string dryRun(const std::vector<BatchSite>& sites, const BatchPlan& plan);
std::string dryRunJson(const std::vector<BatchSite>& sites, const BatchPlan& plan);

// One reply line as shown, and a site's name as shown: as the site book shows names (SiteBook::shownName), so that
// no name can hide or reorder what stands around it. The name the book knows a site by is its key.
QString lineText(const std::string& line);
QString siteText(const std::string& key);
// Text for a terminal or a file: every control character escaped.
std::string printable(const QString& text);
// The line that says what became of a site: its reply's first line, or why it failed.
QString summary(const SiteOutcome& outcome);

// A watch's round for a terminal: a header with the round, the time it began and how its sites ended, then only
// what changed since the round before, sites whose changes are alike under one header, the largest group first:
//   -- round 2, 2026-05-04 10:00:05: 2 ok, 1 unreachable
//   == alpha
//   +200- bob is on
//   -200 nobody is on
// A site the watch reaches for the first time has its whole text printed, folded as folded() folds it.
std::string watchRound(const TBatchWatch& watch);
// One site's object for a round that changed its text (or reached it first), with the lines that came and went:
// {"round": 2, "time": "2026-05-04T10:00:05+02:00", "site": ..., "outcome": ..., "code": ..., "added": [...],
// "removed": [...], "error": ..., "note": ...}. Empty when the round changed nothing of it.
std::string jsonWatchSite(const TBatchWatch& watch, std::size_t index);

// Text escaped as the reports above escape it, for other reports that read alike: for a terminal (every control
// character as \uXXXX), as a JSON string (quoted), as a CSV field (quoted, line ends kept).
std::string printableText(const QString& text);
std::string jsonText(const QString& text);
std::string csvText(const QString& text);

} // namespace BatchReport
