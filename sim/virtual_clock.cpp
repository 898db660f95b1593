// Replaces the C library's usleep and clock_gettime: while the virtual clock is on, usleep returns
// at once and moves the monotonic clock on by the time asked for.
#include "virtual_clock.h"

#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" int usleep(useconds_t microseconds) {
    if (virtual_clock::enabled()) {
        virtual_clock::advance(std::int64_t{microseconds} * 1000);
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
            std::int64_t{now->tv_sec} * 1000000000 + now->tv_nsec + virtual_clock::slept_ns();
        now->tv_sec = static_cast<time_t>(ns / 1000000000);
        now->tv_nsec = static_cast<long>(ns % 1000000000);
    }
    return 0;
}
