#include "virtual_clock.h"

#include <atomic>
#include <cstdio>
#include <sys/syscall.h>
#include <unistd.h>

namespace virtual_clock {

namespace {

std::atomic<bool> enabled{false};
std::atomic<std::int64_t> offset_ns{0};
std::atomic<std::int64_t> wall_shift_ns{0};
std::atomic<bool> frozen{false};
timespec frozen_monotonic = {};
timespec frozen_realtime = {};
std::atomic<std::int64_t> alarm_ns{0};
std::atomic<void (*)()> alarm_action{nullptr};

constexpr std::int64_t ns_per_s = 1000000000;

timespec kernel_clock(clockid_t clock) {
    timespec now = {};
    // The kernel's clock, not the C library's (which this file replaces).
    syscall(SYS_clock_gettime, clock, &now);
    return now;
}

std::int64_t in_ns(const timespec &t) {
    return std::int64_t{t.tv_sec} * ns_per_s + t.tv_nsec;
}

// What the program's clocks start from: the kernel's clock, or its reading when it was frozen.
timespec base_clock(clockid_t clock) {
    if (frozen) {
        return clock == CLOCK_MONOTONIC ? frozen_monotonic : frozen_realtime;
    }
    return kernel_clock(clock);
}

void sound_alarm_if_due() {
    void (*action)() = alarm_action;
    if (action != nullptr && offset_ns >= alarm_ns &&
        alarm_action.compare_exchange_strong(action, nullptr)) {
        action();
    }
}

// The local time written as YYYY-MM-DDTHH:MM:SS, as the seconds since the epoch.
bool read_local_time(const std::string &text, std::time_t &out) {
    std::tm fields = {};
    char rest = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &fields.tm_year, &fields.tm_mon,
                    &fields.tm_mday, &fields.tm_hour, &fields.tm_min, &fields.tm_sec, &rest) != 6) {
        return false;
    }
    if (fields.tm_mon < 1 || fields.tm_mon > 12 || fields.tm_mday < 1 || fields.tm_mday > 31 ||
        fields.tm_hour > 23 || fields.tm_min > 59 || fields.tm_sec > 59) {
        return false;
    }
    fields.tm_year -= 1900;
    fields.tm_mon -= 1;
    fields.tm_isdst = -1;
    out = std::mktime(&fields);
    return out != static_cast<std::time_t>(-1);
}

} // namespace

void enable(bool on) {
    enabled = on;
}

std::int64_t slept_ns() {
    return offset_ns;
}

void freeze_kernel_time(bool on) {
    frozen_monotonic = kernel_clock(CLOCK_MONOTONIC);
    frozen_realtime = kernel_clock(CLOCK_REALTIME);
    frozen = on;
}

void rewind() {
    offset_ns = 0;
}

void when_slept(std::int64_t at_ns, void (*action)()) {
    alarm_ns = at_ns;
    alarm_action = action;
    sound_alarm_if_due();
}

void set_wall_clock(std::time_t now) {
    wall_shift_ns = std::int64_t{now} * ns_per_s - in_ns(base_clock(CLOCK_REALTIME)) - offset_ns;
}

bool configure(const std::string &setting, std::string *error) {
    const std::string mode = "virtual";
    if (setting == mode) {
        enable(true);
        return true;
    }
    std::time_t start = 0;
    if (setting.rfind(mode + "@", 0) != 0 ||
        !read_local_time(setting.substr(mode.size() + 1), start)) {
        *error = "expected virtual or virtual@YYYY-MM-DDTHH:MM:SS";
        return false;
    }
    enable(true);
    set_wall_clock(start);
    return true;
}

} // namespace virtual_clock

extern "C" int usleep(useconds_t microseconds) {
    if (virtual_clock::enabled) {
        virtual_clock::offset_ns += std::int64_t{microseconds} * 1000;
        virtual_clock::sound_alarm_if_due();
        return 0;
    }
    timespec wait = {static_cast<time_t>(microseconds / 1000000),
                     static_cast<long>(microseconds % 1000000) * 1000};
    return nanosleep(&wait, nullptr);
}

extern "C" int clock_gettime(clockid_t clock, timespec *now) {
    if (clock == CLOCK_MONOTONIC && virtual_clock::frozen) {
        *now = virtual_clock::frozen_monotonic;
    } else if (syscall(SYS_clock_gettime, clock, now) != 0) {
        return -1;
    }
    if (clock == CLOCK_MONOTONIC) {
        std::int64_t ns = virtual_clock::in_ns(*now) + virtual_clock::offset_ns;
        now->tv_sec = static_cast<time_t>(ns / virtual_clock::ns_per_s);
        now->tv_nsec = static_cast<long>(ns % virtual_clock::ns_per_s);
    }
    return 0;
}

extern "C" time_t time(time_t *out) {
    const std::int64_t ns = virtual_clock::in_ns(virtual_clock::base_clock(CLOCK_REALTIME)) +
                            virtual_clock::offset_ns + virtual_clock::wall_shift_ns;
    const time_t now = static_cast<time_t>(ns / virtual_clock::ns_per_s);
    if (out != nullptr) {
        *out = now;
    }
    return now;
}
