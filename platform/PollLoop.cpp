#include "platform/PollLoop.h"

#include "platform/Ticks.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// When the application's events last ran inside a wait (or the outermost wait began), and how deep the waits nest.
// Per thread: a session driven on a thread of its own waits with that thread's events.
thread_local Clock::time_point eventsRan = Clock::now();
thread_local int waitDepth = 0;

void noteEventsRan()
{
    eventsRan = Clock::now();
}

} // namespace

void PumpEvents()
{
    if (!QCoreApplication::instance())
        return;
    // Marked before as well as after: a wait that a handler starts in here has its own interval ahead of it.
    noteEventsRan();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    noteEventsRan();
}

void PollWait()
{
    if (!QCoreApplication::instance()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return;
    }
    // The single-shot timer bounds the wait: processEvents(WaitForMoreEvents) returns as soon as any event,
    // this timer's included, has been handled.
    noteEventsRan();
    QTimer bound;
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    bound.start(2);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    noteEventsRan();
}

void PumpDelay(std::uint32_t milliseconds)
{
    const std::uint32_t start = GetTickCount();
    while (GetTickCount() - start < milliseconds)
        PollWait();
}

WaitScope::WaitScope()
{
    if (waitDepth++ == 0)
        noteEventsRan();
}

WaitScope::~WaitScope()
{
    --waitDepth;
}

int MillisecondsUntilEventsDue()
{
    const auto due = eventsRan + std::chrono::milliseconds(EventIntervalMs);
    const auto now = Clock::now();
    if (now >= due)
        return 0;
    // Rounded up, so that a wait that sleeps this long finds the events due when it wakes.
    return int(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
}

bool EventsDue()
{
    return MillisecondsUntilEventsDue() == 0;
}

bool WaitForHandles(WaitHandle* handles, std::size_t count, int timeoutMs)
{
    pollfd fds[4];
    count = std::min<std::size_t>(count, std::size(fds));
    for (std::size_t i = 0; i < count; ++i) {
        fds[i].fd = handles[i].fd;
        fds[i].events = short((handles[i].read ? POLLIN : 0) | (handles[i].write ? POLLOUT : 0));
        fds[i].revents = 0;
        handles[i].readable = handles[i].writable = false;
    }
    int n;
    do
        n = ::poll(fds, nfds_t(count), std::max(timeoutMs, 0));
    while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        const short r = fds[i].revents;
        const bool broken = (r & (POLLERR | POLLHUP)) != 0;
        handles[i].readable = handles[i].read && ((r & POLLIN) || broken);
        handles[i].writable = handles[i].write && ((r & POLLOUT) || broken);
    }
    return true;
}
