#pragma once

#include <cstdint>

// The one waiting primitive of the engine. Every blocking operation waits by calling PollWait() until its exit
// condition holds: the application keeps running (painting, timers, socket notifications, operator input)
// and no wait ever sleeps longer than 2 ms between two tests of its condition.

// Runs every pending event of the application without waiting for new ones.
void PumpEvents();

// Waits until an event arrives or 2 ms pass, then runs every pending event.
void PollWait();

// Waits at least the given number of milliseconds on the tick counter, running events all the while.
void PumpDelay(std::uint32_t milliseconds);
