#include "platform/PollLoop.h"

#include "platform/Ticks.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <thread>

namespace {

// When the application's events last ran inside a wait (or the outermost wait began), and how deep the waits nest.
// Per thread: a session driven on a thread of its own waits with that thread's events.
thread_local WaitClock::time_point eventsRan = WaitClock::now();
thread_local int waitDepth = 0;

void noteEventsRan()
{
    eventsRan = WaitClock::now();
}

// A thread with no event loop to sleep in (no application yet, or a thread that Qt did not start) has nothing that
// could announce a change either: it looks again after a short sleep.
bool canSleepOnEvents()
{
    return QCoreApplication::instance() && QAbstractEventDispatcher::instance();
}

void shortSleep(WaitClock::time_point deadline)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(MillisecondsUntil(deadline), 2)));
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

void PollWait(WaitClock::time_point deadline)
{
    if (!canSleepOnEvents()) {
        shortSleep(deadline);
        return;
    }
    noteEventsRan();
    if (const int ms = MillisecondsUntil(deadline); ms > 0) {
        // The single-shot timer bounds the sleep: processEvents(WaitForMoreEvents) returns as soon as any event,
        // this timer's included, has been handled, and returns at once when one is pending already.
        QTimer bound;
        bound.setSingleShot(true);
        bound.setTimerType(Qt::PreciseTimer);
        bound.start(ms);
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    // What the events just handled posted in turn (a notification a socket sends itself) runs in the same turn.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    noteEventsRan();
}

void PollWait()
{
    PollWait(WaitClock::now() + std::chrono::milliseconds(2));
}

void PumpDelay(std::uint32_t milliseconds)
{
    const std::uint32_t start = GetTickCount();
    const WaitClock::time_point deadline = WaitClock::now() + std::chrono::milliseconds(milliseconds);
    while (GetTickCount() - start < milliseconds)
        PollWait(deadline);
}

bool WaitsSleepOnEvents()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() != app->thread() && QAbstractEventDispatcher::instance();
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

int MillisecondsUntil(WaitClock::time_point deadline)
{
    const WaitClock::time_point now = WaitClock::now();
    if (now >= deadline)
        return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return int(std::min<decltype(left)>(left, LongestSleepMs));
}

int MillisecondsUntilEventsDue()
{
    // Rounded up, so that a wait that sleeps this long finds the events due when it wakes.
    return MillisecondsUntil(eventsRan + std::chrono::milliseconds(EventIntervalMs));
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
