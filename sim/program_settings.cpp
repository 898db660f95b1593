// The settings of epdshow-sim that act on the program itself rather than on the bus: its clock
// (EPDSIM_CLOCK) and the seed of its random choices (EPDSIM_SEED). Read once, before main, so that
// they hold from the program's first step. Linked into epdshow-sim only.
#include "fixed_seed.h"
#include "virtual_clock.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using setting_reader = bool (*)(const std::string &, std::string *);

// An invalid value ends the program as an invalid bus setting does: one line naming it, status 2.
void apply(const char *variable, setting_reader configure) {
    const char *value = std::getenv(variable);
    if (value == nullptr || *value == '\0') {
        return;
    }
    std::string error;
    if (!configure(value, &error)) {
        std::fprintf(stderr, "epdsim: %s=%s: %s\n", variable, value, error.c_str());
        std::exit(2);
    }
}

struct read_at_start {
    read_at_start() {
        apply("EPDSIM_CLOCK", virtual_clock::configure);
        apply("EPDSIM_SEED", fixed_seed::configure);
    }
} settings;

} // namespace
