// The virtual clock's switch and the time it has slept, part of the simulated bus so that its
// settings can turn the clock on; the replacements that use them are in virtual_clock.cpp.
#include "virtual_clock.h"

#include <atomic>

namespace virtual_clock {

namespace {

std::atomic<bool> on_now{false};
std::atomic<std::int64_t> offset_ns{0};

} // namespace

void enable(bool on) {
    on_now = on;
}

bool enabled() {
    return on_now;
}

void advance(std::int64_t ns) {
    offset_ns += ns;
}

std::int64_t slept_ns() {
    return offset_ns;
}

} // namespace virtual_clock
