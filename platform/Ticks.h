#pragma once

#include <cstdint>

// The 32-bit millisecond tick counter: milliseconds of a monotonic clock, wrapping at 2^32.
std::uint32_t GetTickCount();
