#include "sitebook/PathTest.h"

#include "platform/Finally.h"
#include "session/FailureText.h"
#include "session/SiteSession.h"

#include <cctype>

namespace {

using PathTest::Hop;

// What the conversation has shown so far of how far the log-in came.
struct Seen {
    bool reply = false;    // the site said something: it was reached
    bool authSent = false; // AUTH TLS went out
    bool tlsUp = false;    // the site took it (234)
    bool userSent = false; // the log-in name went out: TLS, where asked for, stood
    bool awaitingAuth = false;
};

bool startsWith(const std::string& line, const char* word)
{
    std::size_t i = 0;
    for (; word[i] != '\0'; ++i)
        if (i >= line.size() || std::toupper(static_cast<unsigned char>(line[i])) != word[i])
            return false;
    return true;
}

void watch(Seen& seen, bool sent, const std::string& line)
{
    if (sent) {
        if (startsWith(line, "AUTH ")) {
            seen.authSent = true;
            seen.awaitingAuth = true;
        }
        seen.userSent = seen.userSent || startsWith(line, "USER ");
        return;
    }
    seen.reply = true;
    if (seen.awaitingAuth) {
        seen.awaitingAuth = false;
        seen.tlsUp = line.compare(0, 3, "234") == 0;
    }
}

std::vector<Hop> hopsOf(bool viaProxy)
{
    if (viaProxy)
        return {Hop::ProxyReached, Hop::ProxyAccepted, Hop::SiteReached, Hop::Tls, Hop::LogIn};
    return {Hop::SiteReached, Hop::Tls, Hop::LogIn};
}

// Where a log-in that failed stopped: the proxy's hop names itself; after it, the failure's kind and what the
// conversation came to tell the rest apart.
Hop stoppedAt(const std::exception& error, const Seen& seen, const SiteBook::Record& site)
{
    if (const auto* proxy = dynamic_cast<const EProxyError*>(&error)) {
        switch (proxy->stage()) {
        case ProxyStage::Reach:
            return Hop::ProxyReached;
        case ProxyStage::Accept:
            return Hop::ProxyAccepted;
        case ProxyStage::Tunnel:
            break;
        }
        return Hop::SiteReached;
    }
    const auto* own = dynamic_cast<const Exception*>(&error);
    const FailureKind kind = own ? own->kind() : FailureKind::Other;
    if (kind == FailureKind::Tls || kind == FailureKind::Certificate)
        return Hop::Tls;
    if (!seen.reply)
        return Hop::SiteReached;
    if (seen.userSent || site.security == TFtpSecurity::Plain)
        return Hop::LogIn;
    return Hop::Tls;
}

// Why it stopped, and on a line of its own what to check. A proxy's hop has the proxy's words and a hint about the
// path; the site's own hops are said as a log-in from the main window says them.
std::string whyStopped(const std::exception& error, Hop hop, TSiteSession& session, const SiteBook::Record& site)
{
    const SessionFailure& last = session.lastFailure();
    const SessionFailure failure = last.failed() ? last : sessionFailureOf(error);
    if (dynamic_cast<const EProxyError*>(&error)) {
        const char* hint = hop == Hop::ProxyReached ? "Check the proxy's host and port in CONNECT ViA, and that the "
                                                      "proxy is running."
                           : hop == Hop::ProxyAccepted
                               ? "Check the proxy's user and password in CONNECT ViA."
                               : "Check the site's host name and port, and that the proxy's rules let it through.";
        return failure.message + "\n" + hint;
    }
    const FailureText text = failureText(failure, site);
    std::string why = text.message;
    if (failure.kind == FailureKind::Certificate)
        why += "; TEST trusts and pins nothing: log in from the main window to see the certificate";
    return text.hint.empty() ? why : why + "\n" + text.hint;
}

std::string tlsText(const Seen& seen, const SiteBook::Record& site)
{
    switch (site.security) {
    case TFtpSecurity::Plain:
        return "not asked for (Plain FTP)";
    case TFtpSecurity::Implicit:
        return "ok (implicit)";
    case TFtpSecurity::ExplicitIfOffered:
        if (!seen.tlsUp)
            return "the server offers none: the log-in went in clear text";
        break;
    case TFtpSecurity::ExplicitRequired:
        break;
    }
    return "ok";
}

} // namespace

std::string PathTest::hopName(Hop hop, bool viaProxy)
{
    switch (hop) {
    case Hop::ProxyReached:
        return "proxy reached";
    case Hop::ProxyAccepted:
        return "proxy accepted";
    case Hop::SiteReached:
        return viaProxy ? "site reached through it" : "site reached";
    case Hop::Tls:
        return "TLS";
    case Hop::LogIn:
        break;
    }
    return "log-in";
}

PathTest::Outcome PathTest::run(TSiteSession& session, const std::string& key, const SiteBook::Record& site)
{
    Outcome outcome;
    outcome.viaProxy = !site.connectVia.empty();
    const std::vector<Hop> hops = hopsOf(outcome.viaProxy);
    Seen seen;
    const QMetaObject::Connection watching =
        QObject::connect(&session, &TSiteSession::traffic, &session,
                         [&seen](bool sent, const std::string& line) { watch(seen, sent, line); });
    Finally unwatch([&] { QObject::disconnect(watching); });
    session.setCertificateJudge(nullptr);
    try {
        session.setSite(key, site);
    } catch (const std::exception& error) {
        // A path that cannot be read goes nowhere, not even directly.
        outcome.steps.push_back({hops.front(), false, sessionFailureOf(error).message});
        return outcome;
    }
    try {
        session.logIn();
    } catch (const std::exception& error) {
        const Hop stop = stoppedAt(error, seen, site);
        for (const Hop hop : hops) {
            if (hop == stop) {
                outcome.steps.push_back({hop, false, whyStopped(error, hop, session, site)});
                break;
            }
            outcome.steps.push_back({hop, true, hop == Hop::Tls ? tlsText(seen, site) : "ok"});
        }
        return outcome;
    }
    for (const Hop hop : hops)
        outcome.steps.push_back({hop, true, hop == Hop::Tls ? tlsText(seen, site) : "ok"});
    try {
        session.logOut();
    } catch (...) {
        // The log-in went through; how the daemon takes QUIT says nothing of the path.
    }
    return outcome;
}

std::vector<std::string> PathTest::lines(const Outcome& outcome)
{
    std::vector<std::string> shown;
    for (const Step& step : outcome.steps)
        shown.push_back(hopName(step.hop, outcome.viaProxy) + ": " +
                        (step.passed ? step.text : "stopped here: " + step.text));
    if (outcome.passed())
        shown.push_back(outcome.viaProxy ? "The path works: logged in through the proxy, and out again."
                                         : "The site works: logged in, and out again.");
    return shown;
}
