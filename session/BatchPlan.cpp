#include "session/BatchPlan.h"

#include "platform/PasswordMask.h"

BatchPlan BatchPlan::command(std::string line)
{
    BatchPlan plan;
    plan.lines.push_back(std::move(line));
    return plan;
}

std::vector<std::string> BatchPlanning::scriptLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        lines.push_back(line.substr(first));
    }
    return lines;
}

std::optional<std::string> BatchPlanning::cannotLogIn(const std::string& siteKey, const SiteBook::Record& site)
{
    if (!site.passwordProblem.empty())
        return site.passwordProblem + "; nothing was sent to the site";
    if (site.password.empty())
        return "The site " + siteKey +
               " has no password in the site book, and an empty password is never sent: nothing was sent to the site";
    return std::nullopt;
}

TFtpSecurity BatchPlanning::runSecurity(const SiteBook::Record& site, bool allowClearText)
{
    return site.security == TFtpSecurity::ExplicitIfOffered && !allowClearText ? TFtpSecurity::ExplicitRequired
                                                                               : site.security;
}

std::vector<std::string> BatchPlanning::linesFor(const SiteBook::Record& site, const BatchPlan& plan)
{
    std::vector<std::string> lines;
    // A pinned site has spoken TLS before, and is never reached in clear text whatever its security says.
    const TFtpSecurity security = runSecurity(site, plan.allowClearText);
    const bool explicitTls = security == TFtpSecurity::ExplicitIfOffered ||
                             security == TFtpSecurity::ExplicitRequired ||
                             (security == TFtpSecurity::Plain && !site.certificate.empty());
    if (explicitTls)
        lines.push_back("AUTH TLS");
    if (explicitTls || security == TFtpSecurity::Implicit) {
        lines.push_back("PBSZ 0");
        lines.push_back("PROT P");
    }
    lines.push_back("USER " + site.login);
    lines.push_back(MaskedLine("PASS " + site.password));
    for (const std::string& line : plan.lines)
        lines.push_back(MaskedLine(plan.sent(line)));
    if (!plan.stayLoggedIn)
        lines.push_back("QUIT");
    return lines;
}
