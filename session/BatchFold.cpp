#include "session/BatchFold.h"

#include "platform/PasswordMask.h"

#include <algorithm>
#include <map>
#include <unordered_map>

std::vector<std::string> BatchFold::transcript(const SiteOutcome& outcome, bool script)
{
    std::vector<std::string> text;
    if (outcome.replies.empty()) {
        if (outcome.ended() && outcome.outcome != Outcome::Ok)
            text.push_back(failureLine(outcome.failure));
        return text;
    }
    for (const LineReply& reply : outcome.replies) {
        if (script)
            text.push_back("> " + MaskedCommand(reply.command));
        if (reply.outcome == Outcome::NotRun) {
            text.push_back("(not run)");
            continue;
        }
        text.insert(text.end(), reply.lines.begin(), reply.lines.end());
        // The daemon's own refusal says why; anything else that ended the reply is said after what came.
        if (reply.outcome != Outcome::Ok && reply.outcome != Outcome::Refused)
            text.push_back(failureLine(reply.failure));
    }
    return text;
}

std::vector<ReplyGroup> BatchFold::fold(const std::vector<SiteOutcome>& outcomes, bool script)
{
    std::vector<ReplyGroup> groups;
    std::map<std::pair<Outcome, std::vector<std::string>>, std::size_t> seen;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const SiteOutcome& outcome = outcomes[i];
        if (!outcome.ended())
            continue;
        std::vector<std::string> lines = transcript(outcome, script);
        auto [at, fresh] = seen.try_emplace({outcome.outcome, lines}, groups.size());
        if (fresh)
            groups.push_back(ReplyGroup{{}, outcome.outcome, std::move(lines)});
        groups[at->second].members.push_back(i);
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [](const ReplyGroup& a, const ReplyGroup& b) { return a.members.size() > b.members.size(); });
    return groups;
}

BatchFold::Recap BatchFold::recap(const std::vector<SiteOutcome>& outcomes)
{
    Recap counts{};
    for (const SiteOutcome& outcome : outcomes)
        if (outcome.ended())
            ++counts[std::size_t(outcome.outcome)];
    return counts;
}

std::string BatchFold::recapLine(const Recap& recap)
{
    std::string line;
    for (int kind = 0; kind < OutcomeCount; ++kind)
        if (const std::size_t n = recap[std::size_t(kind)])
            line += (line.empty() ? "" : ", ") + std::to_string(n) + " " + outcomeWord(Outcome(kind));
    return line.empty() ? "no site ended" : line;
}

namespace {

enum class Op : char { Same, Gone, Added };

// The shortest edit from a to b (Myers' greedy algorithm on the lines' ids), as a sequence of operations. Past a
// few thousand differences it stops looking and replaces the rest whole: a diff that long is read as "all of it".
std::vector<Op> editScript(const std::vector<int>& a, const std::vector<int>& b)
{
    constexpr int kMostDifferences = 4000;
    const int n = int(a.size()), m = int(b.size());
    std::vector<std::vector<int>> trace; // after each round d: the furthest x on every diagonal k of -d..d
    int found = -1;
    for (int d = 0; d <= std::min(n + m, kMostDifferences) && found < 0; ++d) {
        std::vector<int> v(std::size_t(2 * d + 1));
        const std::vector<int>* last = d > 0 ? &trace.back() : nullptr;
        auto previous = [&](int k) { return (*last)[std::size_t(k + d - 1)]; };
        for (int k = -d; k <= d; k += 2) {
            int x = 0;
            if (d == 0)
                x = 0;
            else if (k == -d || (k != d && previous(k - 1) < previous(k + 1)))
                x = previous(k + 1);
            else
                x = previous(k - 1) + 1;
            int y = x - k;
            while (x < n && y < m && a[std::size_t(x)] == b[std::size_t(y)])
                ++x, ++y;
            v[std::size_t(k + d)] = x;
            if (x >= n && y >= m)
                found = d;
        }
        trace.push_back(std::move(v));
    }
    std::vector<Op> ops;
    if (found < 0) {
        ops.assign(std::size_t(n), Op::Gone);
        ops.insert(ops.end(), std::size_t(m), Op::Added);
        return ops;
    }
    int x = n, y = m;
    for (int d = found; d > 0; --d) {
        const std::vector<int>& last = trace[std::size_t(d - 1)];
        auto previous = [&](int k) { return last[std::size_t(k + d - 1)]; };
        const int k = x - y;
        const bool down = k == -d || (k != d && previous(k - 1) < previous(k + 1));
        const int priorK = down ? k + 1 : k - 1;
        const int priorX = previous(priorK), priorY = priorX - priorK;
        while (x > priorX && y > priorY) {
            ops.push_back(Op::Same);
            --x, --y;
        }
        ops.push_back(down ? Op::Added : Op::Gone);
        x = priorX, y = priorY;
    }
    while (x > 0 && y > 0) {
        ops.push_back(Op::Same);
        --x, --y;
    }
    std::reverse(ops.begin(), ops.end());
    // Within each run of changes the lines that went come before the lines that came, as diff prints them.
    for (std::size_t i = 0; i < ops.size();) {
        if (ops[i] == Op::Same) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < ops.size() && ops[j] != Op::Same)
            ++j;
        std::stable_partition(ops.begin() + std::ptrdiff_t(i), ops.begin() + std::ptrdiff_t(j),
                              [](Op op) { return op == Op::Gone; });
        i = j;
    }
    return ops;
}

std::string range(std::size_t start, std::size_t count)
{
    const std::size_t first = count ? start + 1 : start;
    return count == 1 ? std::to_string(first) : std::to_string(first) + "," + std::to_string(count);
}

} // namespace

namespace {

// The edit from one text to the other, line by line.
std::vector<Op> lineEdit(const std::vector<std::string>& from, const std::vector<std::string>& to)
{
    // The common start and end need no search.
    std::size_t head = 0;
    while (head < from.size() && head < to.size() && from[head] == to[head])
        ++head;
    std::size_t tail = 0;
    while (tail < from.size() - head && tail < to.size() - head &&
           from[from.size() - 1 - tail] == to[to.size() - 1 - tail])
        ++tail;
    std::unordered_map<std::string, int> ids;
    auto idsOf = [&](const std::vector<std::string>& lines) {
        std::vector<int> result;
        for (std::size_t i = head; i < lines.size() - tail; ++i)
            result.push_back(ids.try_emplace(lines[i], int(ids.size())).first->second);
        return result;
    };
    const std::vector<int> a = idsOf(from), b = idsOf(to);
    std::vector<Op> ops(head, Op::Same);
    const std::vector<Op> middle = editScript(a, b);
    ops.insert(ops.end(), middle.begin(), middle.end());
    ops.insert(ops.end(), tail, Op::Same);
    return ops;
}

} // namespace

std::vector<std::string> BatchFold::unifiedDiff(const std::vector<std::string>& from,
                                                const std::vector<std::string>& to, const std::string& fromName,
                                                const std::string& toName)
{
    constexpr std::size_t kContext = 3;
    std::vector<std::string> out;
    if (from == to)
        return out;
    const std::vector<Op> ops = lineEdit(from, to);
    // Where each operation stands in either text.
    std::vector<std::size_t> atFrom(ops.size() + 1), atTo(ops.size() + 1);
    for (std::size_t i = 0; i < ops.size(); ++i) {
        atFrom[i + 1] = atFrom[i] + (ops[i] != Op::Added);
        atTo[i + 1] = atTo[i] + (ops[i] != Op::Gone);
    }
    out.push_back("--- " + fromName);
    out.push_back("+++ " + toName);
    for (std::size_t i = 0; i < ops.size();) {
        if (ops[i] == Op::Same) {
            ++i;
            continue;
        }
        const std::size_t start = i > kContext ? i - kContext : 0;
        std::size_t lastChange = i;
        std::size_t j = i;
        for (; j < ops.size(); ++j) {
            if (ops[j] != Op::Same)
                lastChange = j;
            else if (j - lastChange > 2 * kContext)
                break;
        }
        const std::size_t end = std::min(ops.size(), lastChange + kContext + 1);
        out.push_back("@@ -" + range(atFrom[start], atFrom[end] - atFrom[start]) + " +" +
                      range(atTo[start], atTo[end] - atTo[start]) + " @@");
        for (std::size_t k = start; k < end; ++k) {
            switch (ops[k]) {
            case Op::Same:
                out.push_back(" " + from[atFrom[k]]);
                break;
            case Op::Gone:
                out.push_back("-" + from[atFrom[k]]);
                break;
            case Op::Added:
                out.push_back("+" + to[atTo[k]]);
                break;
            }
        }
        i = end;
    }
    return out;
}

std::vector<LineChange> BatchFold::changes(const std::vector<std::string>& from, const std::vector<std::string>& to)
{
    std::vector<LineChange> marked;
    marked.reserve(to.size());
    if (from == to) {
        for (const std::string& line : to)
            marked.push_back({LineChange::Mark::Same, line});
        return marked;
    }
    std::size_t inFrom = 0, inTo = 0;
    for (const Op op : lineEdit(from, to)) {
        switch (op) {
        case Op::Same:
            marked.push_back({LineChange::Mark::Same, to[inTo++]});
            ++inFrom;
            break;
        case Op::Gone:
            marked.push_back({LineChange::Mark::Removed, from[inFrom++]});
            break;
        case Op::Added:
            marked.push_back({LineChange::Mark::Added, to[inTo++]});
            break;
        }
    }
    return marked;
}

std::size_t BatchFold::countMarked(const std::vector<LineChange>& changes, LineChange::Mark mark)
{
    return std::size_t(
        std::count_if(changes.begin(), changes.end(), [mark](const LineChange& c) { return c.mark == mark; }));
}
