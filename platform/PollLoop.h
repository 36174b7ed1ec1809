#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// The waiting primitive of the engine. Every blocking operation waits in a loop that tests its exit condition
// between turns, and the application keeps running meanwhile (painting, timers, socket notifications, operator
// input). A turn sleeps until something can have changed (a socket became ready, an event came for the thread, the
// wait's deadline passed) and never wakes for nothing, so a wait costs nothing while nothing happens, however many
// threads wait at once.
//
// A wait on the application's main thread watches its sockets first: it sleeps on their handles and hands whatever
// readiness it finds straight to them, so a reply is read the moment it arrives rather than after the window's
// other pending events (a repaint of a whole page, say); the window's events run in such a wait at least every
// EventIntervalMs, which keeps it live and lets a cancel that comes from a click or a timer end the wait.
//
// A wait on any other thread (a session of a batch, each on a thread of its own) sleeps on the thread's event
// queue, which carries its sockets' notifications, its timers and the calls other threads queue to it (a cancel):
// each wakes the wait at once.

using WaitClock = std::chrono::steady_clock;

// The deadline of a wait that has none of its own.
inline constexpr WaitClock::time_point NoDeadline = WaitClock::time_point::max();

// The longest a wait on the main thread's sockets goes without running the application's events.
inline constexpr int EventIntervalMs = 10;

// The longest any turn sleeps, deadline or not: a condition that nothing announces (none should) is seen this late,
// never not at all.
inline constexpr int LongestSleepMs = 1000;

// Runs every pending event of the application without waiting for new ones.
void PumpEvents();

// Sleeps until an event comes for this thread (a timer's included) or the deadline passes, then runs every pending
// event.
void PollWait(WaitClock::time_point deadline);

// The same for at most 2 ms: for a caller that tests a condition no event announces.
void PollWait();

// Waits at least the given number of milliseconds on the tick counter, running events all the while.
void PumpDelay(std::uint32_t milliseconds);

// This thread's waits sleep on its event queue (every thread but the application's main one); see above.
bool WaitsSleepOnEvents();

// Marks a wait of the engine, or an operation made of several waits. The outermost one restarts the interval of
// EventIntervalMs: it is entered from an event handler, so the application's events have only just run.
class WaitScope {
public:
    WaitScope();
    ~WaitScope();
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;
};

// The application's events are due in a wait on sockets; and how long until they are (0 when they are due).
bool EventsDue();
int MillisecondsUntilEventsDue();

// Milliseconds from now until the deadline, rounded up so that a sleep this long finds it passed; 0 once it has,
// and at most LongestSleepMs.
int MillisecondsUntil(WaitClock::time_point deadline);

// One socket handle that a wait watches: what it waits for, and what it found.
struct WaitHandle {
    int fd = -1;
    bool read = false;  // data, the end of the stream, or an incoming connection
    bool write = false; // room to send, or a connect that completed
    bool readable = false;
    bool writable = false;
};

// Sleeps at most timeoutMs until one of the handles is ready as asked (an error or a hang-up counts as ready for
// both), running no event; false when none became ready in time.
bool WaitForHandles(WaitHandle* handles, std::size_t count, int timeoutMs);
