#pragma once

#include <cstddef>
#include <cstdint>

// The waiting primitives of the engine. Every blocking operation waits in a loop that tests its exit condition
// between turns, and the application keeps running meanwhile (painting, timers, socket notifications, operator
// input).
//
// A wait for a socket watches the socket itself: between two tests it sleeps on the socket's handle for at most
// 2 ms and hands whatever readiness it finds straight to the socket, so a reply is read the moment it arrives
// rather than after the application's other pending events (a repaint of a whole page, say). The application's
// own events run in such a wait at least every EventIntervalMs, which keeps a window live and lets a cancel that
// comes from a click or a timer end the wait.

// The longest a wait on sockets goes without running the application's events.
inline constexpr int EventIntervalMs = 10;

// Runs every pending event of the application without waiting for new ones.
void PumpEvents();

// Waits until an event arrives or 2 ms pass, then runs every pending event.
void PollWait();

// Waits at least the given number of milliseconds on the tick counter, running events all the while.
void PumpDelay(std::uint32_t milliseconds);

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
