#pragma once

#include "session/SiteSession.h"

#include <string>

// What failed and what to check next, in plain words that name the site's host and port: worked out once from the
// failure's kind and the site, so that the console's error box, Run on Sites and kolvane-run say the same for the
// same failure. No widgets: a program without a window calls it as the window does.
struct FailureText {
    std::string message; // what failed: the engine's or the daemon's own words, and for a connection where and why
    std::string hint;    // one line that says what to check; empty for a failure the operator can do nothing about
};

FailureText failureText(const SessionFailure& failure, const SiteBook::Record& site);
