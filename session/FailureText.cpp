#include "session/FailureText.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

struct Where {
    std::string host;
    std::string address; // "host:port"
};

bool mentions(const std::string& text, std::string_view word)
{
    return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
           }) != text.end();
}

bool isLookup(const std::string& message)
{
    return message == "Null Remote Address" || message == "Host Lookup Failed";
}

// The engine's words for a connection that could not be made stay first; after them, where the console tried to go
// and why it could not.
std::string connectionMessage(const SessionFailure& failure, const Where& where)
{
    const std::string& message = failure.message;
    if (!failure.connecting)
        return message;
    if (isLookup(message))
        return "Could not find the host " + where.host + ": the name is not known (" + message + ")";
    if (message == "Host Lookup Timed Out")
        return message + ": the host " + where.host + " was not found in time";
    if (message == "Connection Timed out")
        return message + ": could not connect to " + where.address + ": no answer to the connection";
    if (message == "Connection Failed") {
        std::string reason = failure.reason;
        if (!reason.empty())
            reason[0] = char(std::tolower(static_cast<unsigned char>(reason[0])));
        return message + ": could not connect to " + where.address + (reason.empty() ? "" : ": " + reason);
    }
    return message;
}

std::string timeOutHint(const SessionFailure& failure, const Where& where)
{
    if (failure.message == "Host Lookup Timed Out")
        return "No name server answered for " + where.host +
               ": check this computer's network and name server (DNS), then the host name of the site in SiTES.";
    return "Check that the daemon is running and answering; how long the console waits is the site's TiMEOUT in "
           "SiTES.";
}

std::string daemonReplyHint(const SessionFailure& failure)
{
    // The daemon's own words are all there is to tell a refusal for want of TLS from a wrong password.
    const std::string& message = failure.message;
    const int code = failure.replyCode != 0 ? failure.replyCode : TPowersock::replyCode(message);
    if ((code == 530 || code == 534 || code == 503 || code == 550) &&
        (mentions(message, "TLS") || mentions(message, "SSL")))
        return "The daemon wants TLS: set SECURiTY of the site in SiTES to Require explicit TLS (or Implicit TLS on "
               "the daemon's TLS port).";
    if (code == 530)
        return "Check the log-in name and password of the site in SiTES.";
    return std::string();
}

// The proxy's hop, whatever the kind: the advice for a site reached directly would send the operator to the wrong
// host.
std::string proxyHint(ProxyStage stage, bool connecting, const Where& where)
{
    switch (stage) {
    case ProxyStage::Reach:
        return "Check CONNECT ViA of the site in SiTES (the proxy's host and port), and that the proxy is running "
               "there.";
    case ProxyStage::Accept:
        return "Check PROXY USER and PROXY PASSWORD of the site in SiTES.";
    case ProxyStage::Tunnel:
        break;
    }
    if (!connecting)
        return "The proxy could not make the data connection to " + where.host +
               ": check that the daemon's passive ports are open to the proxy, and that the proxy may reach them.";
    return "The proxy could not reach " + where.address +
           ": check the host name and port of the site in SiTES, that the daemon is running there, and that the "
           "proxy may reach it.";
}

std::string hintFor(const SessionFailure& failure, const SiteBook::Record& site, const Where& where)
{
    if (failure.proxyStage)
        return proxyHint(*failure.proxyStage, failure.connecting, where);
    const bool dataConnection =
        !failure.connecting && (failure.kind == FailureKind::Refused || failure.kind == FailureKind::Unreachable);
    if (dataConnection)
        return "The data connection to " + where.host +
               " could not be made: check DATA CONNECTiON of the site in SiTES (passive or active), and that no "
               "firewall on the way stops it.";
    switch (failure.kind) {
    case FailureKind::Lookup:
        return "No name server knows " + where.host +
               ": check the spelling of the host name of the site in SiTES; if it is right, check this computer's "
               "network and name server (DNS).";
    case FailureKind::Refused:
        return "Check the host name and port of the site in SiTES, and that the daemon is running there.";
    case FailureKind::Unreachable:
        return where.host + " cannot be reached from this computer: check the host name of the site in SiTES, and "
                            "the network on the way to it (a firewall, a VPN, a cable).";
    case FailureKind::TimedOut:
        return timeOutHint(failure, where);
    case FailureKind::Certificate:
        if (!site.certificate.empty())
            return "The site's certificate has changed: compare the presented fingerprint with the one the site's "
                   "owner gives; only if they match, FORGET the pinned one in SiTES and log in again.";
        return "Compare the certificate's fingerprint with the one the site's owner gives, and trust it at the next "
               "log-in from the console's main window if they match.";
    case FailureKind::Tls:
        return "The daemon offers no TLS here, or not on this port: check the port and SECURiTY of the site in SiTES.";
    case FailureKind::DaemonReply:
        return daemonReplyHint(failure);
    case FailureKind::Other:
    case FailureKind::Cancelled:
    case FailureKind::Lost:
    case FailureKind::Line:
        break;
    }
    return std::string();
}

} // namespace

FailureText failureText(const SessionFailure& failure, const SiteBook::Record& site)
{
    const Where where{site.host, site.host + ":" + std::to_string(site.portNumber())};
    return FailureText{connectionMessage(failure, where), hintFor(failure, site, where)};
}
