// A virtual clock for running the program in-process without waiting: when enabled, usleep
// returns at once and moves the monotonic clock on by the time asked for, so the program's
// deadlines (its sleeps measure themselves against std::chrono::steady_clock) pass exactly as
// they would, only instantly. Disabled, both behave as the C library's.
//
// The two functions replace the C library's at link time: include this header in exactly one
// source file of an executable (a fuzz harness, or a test that runs the player in a child).
#ifndef EPDSIM_VIRTUAL_CLOCK_H
#define EPDSIM_VIRTUAL_CLOCK_H

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

namespace virtual_clock {

inline std::atomic<bool> &enabled_flag() {
    static std::atomic<bool> on{false};
    return on;
}

inline std::atomic<std::int64_t> &offset_ns() {
    static std::atomic<std::int64_t> offset{0};
    return offset;
}

inline void enable(bool on) {
    enabled_flag() = on;
}

// Time slept so far while enabled, in nanoseconds.
inline std::int64_t slept_ns() {
    return offset_ns();
}

} // namespace virtual_clock

extern "C" int usleep(useconds_t microseconds) {
    if (virtual_clock::enabled_flag()) {
        virtual_clock::offset_ns() += std::int64_t{microseconds} * 1000;
        return 0;
    }
    timespec wait = {static_cast<time_t>(microseconds / 1000000),
                     static_cast<long>(microseconds % 1000000) * 1000};
    return nanosleep(&wait, nullptr);
}

extern "C" int clock_gettime(clockid_t clock, timespec *now) {
    // The kernel's clock, not the C library's (which this function replaces).
    if (syscall(SYS_clock_gettime, clock, now) != 0) {
        return -1;
    }
    if (clock == CLOCK_MONOTONIC) {
        std::int64_t ns =
            std::int64_t{now->tv_sec} * 1000000000 + now->tv_nsec + virtual_clock::offset_ns();
        now->tv_sec = static_cast<time_t>(ns / 1000000000);
        now->tv_nsec = static_cast<long>(ns % 1000000000);
    }
    return 0;
}

#endif
