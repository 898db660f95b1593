// A virtual clock for running the program in-process without waiting: when enabled, usleep
// returns at once and moves the monotonic clock on by the time asked for, so the program's
// deadlines (its sleeps measure themselves against std::chrono::steady_clock) pass exactly as
// they would, only instantly. Disabled (the default), both behave as the C library's.
//
// virtual_clock.cpp replaces the C library's usleep and clock_gettime at link time: link the
// virtual_clock target (an object library) into the executable that enables the clock. The switch
// itself (virtual_clock_state.cpp) is part of the simulated bus, whose EPDSIM_CLOCK=virtual turns
// it on; without the replacements linked, turning it on changes nothing.
#ifndef EPDSIM_VIRTUAL_CLOCK_H
#define EPDSIM_VIRTUAL_CLOCK_H

#include <cstdint>

namespace virtual_clock {

void enable(bool on);
bool enabled();

// Moves the monotonic clock on by ns nanoseconds (what a sleep does while enabled).
void advance(std::int64_t ns);

// Time slept so far while enabled, in nanoseconds.
std::int64_t slept_ns();

} // namespace virtual_clock

#endif
