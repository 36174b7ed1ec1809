#include "session/ToolKit.h"

#include <atomic>
#include <csignal>

namespace {

std::atomic<int> pending{0}; // the signal the handler noted, not yet told

} // namespace

ToolKit::Option ToolKit::option(const QString& word)
{
    if (const qsizetype eq = word.indexOf(QLatin1Char('=')); eq > 0 && word.startsWith(QLatin1String("--")))
        return {word.left(eq), word.mid(eq + 1)};
    return {word, std::nullopt};
}

TToolSignals::TToolSignals(std::function<void(int)> first, int graceMs, std::function<void()> graceOver)
    : onFirst_(std::move(first)), graceOver_(std::move(graceOver)), graceMs_(graceMs)
{
    std::signal(SIGINT, [](int signal) { pending = signal; });
    std::signal(SIGTERM, [](int signal) { pending = signal; });
    grace_.setSingleShot(true);
    connect(&grace_, &QTimer::timeout, this, [this] { graceOver_(); });
    connect(&poll_, &QTimer::timeout, this, [this] {
        const int signal = pending.exchange(0);
        if (!signal)
            return;
        if (first_) {
            graceOver_(); // asked twice: at once
            return;
        }
        first_ = signal;
        onFirst_(signal);
        grace_.start(graceMs_);
    });
    poll_.start(50);
}

TToolSignals::~TToolSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}
