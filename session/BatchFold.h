#pragma once

#include "session/SiteBatch.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// How the outcomes of a run on many sites are told together: sites that ended alike folded into groups, the
// smaller groups as differences from the largest, and the count of each outcome.

// One line of a text as it compares with the text before it: there in both, come since, or gone since.
struct LineChange {
    enum class Mark : std::uint8_t { Same, Added, Removed };
    Mark mark = Mark::Same;
    std::string line;

    bool operator==(const LineChange&) const = default;
};

// Sites that ended with the same outcome and the same text, in one group.
struct ReplyGroup {
    std::vector<std::size_t> members; // indexes into the outcomes, in the batch's order
    Outcome outcome = Outcome::Ok;
    std::vector<std::string> lines; // the text they share (see transcript)
};

namespace BatchFold {

// What a site's outcome reads as, line by line (the daemon's bytes as they came): for a run of one command its
// reply, or why it failed; for a script each line as "> LINE" (its password hidden) followed by its reply. A reply
// that was cut short keeps the lines that came, followed by why it ended.
std::vector<std::string> transcript(const SiteOutcome& outcome, bool script);

// Folds the sites that have ended: the same outcome and the same transcript make one group. The largest group
// comes first; groups of the same size in the order their first site has in the batch.
std::vector<ReplyGroup> fold(const std::vector<SiteOutcome>& outcomes, bool script);

// How many sites ended with each outcome (sites still under way are not counted).
using Recap = std::array<std::size_t, OutcomeCount>;
Recap recap(const std::vector<SiteOutcome>& outcomes);
// "12 ok, 2 refused, 1 unreachable": the outcomes that occur, in the order of the kinds.
std::string recapLine(const Recap& recap);

// The lines of a unified diff from one text to another, with three lines of context: "--- from", "+++ to", then
// "@@ -a,b +c,d @@" hunks. No lines when the texts are the same.
std::vector<std::string> unifiedDiff(const std::vector<std::string>& from, const std::vector<std::string>& to,
                                     const std::string& fromName, const std::string& toName);

// The text `to` whole, each of its lines marked Same or Added, with the lines of `from` that are gone marked Removed
// where they stood (before the lines that took their place, as a diff shows them). Every line is there, not only
// those near a change.
std::vector<LineChange> changes(const std::vector<std::string>& from, const std::vector<std::string>& to);
// How many lines came and went.
std::size_t countMarked(const std::vector<LineChange>& changes, LineChange::Mark mark);

} // namespace BatchFold
