// A virtual clock for running the program without waiting: when enabled, usleep returns at once
// and moves the program's clocks on by the time asked for, so its deadlines (its sleeps measure
// themselves against std::chrono::steady_clock, its quiet hours and the age of files against the
// wall clock it reads with time) pass exactly as they would, only instantly. The wall clock can
// also be set to another time of day for tests of the quiet hours. CLOCK_REALTIME stays the
// kernel's: a fuzzer in the same process measures its runs by it. Disabled (the default), every
// call behaves as the C library's.
//
// virtual_clock.cpp replaces the C library's usleep, clock_gettime and time at link time: link
// the virtual_clock target (an object library) into the executable that enables the clock.
#ifndef EPDSIM_VIRTUAL_CLOCK_H
#define EPDSIM_VIRTUAL_CLOCK_H

#include <cstdint>
#include <ctime>
#include <string>

namespace virtual_clock {

void enable(bool on);

// Time slept so far while enabled, in nanoseconds.
std::int64_t slept_ns();

// Frozen (on), the kernel's monotonic and real-time clocks are read once, now, and the monotonic
// clock and time then advance by the time slept alone: no system call per reading, and the same
// readings on every run of the same path. For fuzzers, which read the clocks a thousand times a
// run; CLOCK_REALTIME itself stays the kernel's.
void freeze_kernel_time(bool on);

// Sets the time slept back to zero: with the kernel's time frozen, every run of a fuzzer then
// starts from the same readings, whatever the runs before it slept.
void rewind();

// Calls action once, from the usleep that takes the time slept to at_ns or past it (at once when
// it is already there); nullptr cancels. For bounding the virtual time of a fuzzer's run.
void when_slept(std::int64_t at_ns, void (*action)());

// Shifts the wall clock (time) so that it reads now at this moment; the time slept goes on adding
// to it.
void set_wall_clock(std::time_t now);

// Applies a setting of EPDSIM_CLOCK: "virtual" (instant sleeps, the wall clock as it is) or
// "virtual@YYYY-MM-DDTHH:MM:SS" (the same, the wall clock starting at that local time). On any
// other text it returns false with the reason and changes nothing.
bool configure(const std::string &setting, std::string *error);

} // namespace virtual_clock

#endif
