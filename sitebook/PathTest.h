#pragma once

#include "sitebook/SiteBook.h"

#include <string>
#include <vector>

class TSiteSession;

// The site dialog's TEST: one log-in to a site as its record says, along its connection path, told hop by hop: the
// proxy reached, the proxy accepted us, the site reached through it, TLS, the log-in. It goes through a session as
// every log-in does, and then logs out again. Nothing is pinned and nobody is asked about a certificate: one that
// neither verifies nor matches the site's pin is where the test stops, and it says so.
namespace PathTest {

enum class Hop { ProxyReached, ProxyAccepted, SiteReached, Tls, LogIn };

struct Step {
    Hop hop;
    bool passed = false;
    std::string text; // passed: what came of it ("ok", "not asked for"); else why it stopped there
};

struct Outcome {
    bool viaProxy = false;
    std::vector<Step> steps; // the hops tried, in order: all passed, or the last one is where it stopped

    bool passed() const { return !steps.empty() && steps.back().passed; }
};

// Logs in to the site through the session, which must be offline, and logs out again. Ends as a log-in ends: the
// site's reply time-out bounds every wait, and the session's cancel() ends it at once.
Outcome run(TSiteSession& session, const std::string& key, const SiteBook::Record& site);

// A hop in words: "proxy reached", "proxy accepted", "site reached through it" ("site reached" without a proxy),
// "TLS", "log-in".
std::string hopName(Hop hop, bool viaProxy);

// The outcome as the operator reads it: a line a hop ("proxy reached: ok", "TLS: stopped here: ..."), and a last
// line that says whether the path works.
std::vector<std::string> lines(const Outcome& outcome);

} // namespace PathTest
