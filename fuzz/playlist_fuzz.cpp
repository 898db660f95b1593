// A fuzzed playlist read and played end to end on a small virtual panel: the settings reader, the
// player's walk over groups, lists, stops and areas, and the updates it makes. Sleeps are instant;
// a Ctrl+C delivered after a fixed number of commands bounds shows that would repeat for ever.
#include "epdsim.h"
#include "fuzz_support.h"

#include <csignal>
#include <cstddef>
#include <cstdint>

namespace {

// Enough commands for a few dozen images before the stop flag rises.
const int commands_before_interrupt = 1500;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    fuzz_support::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_support::write_file("playlist.xml", data, size);
    // Two 2880 x 16 bands: the 42 layout at the cost of 32 rows per image; tall enough for the
    // 10 x 10 refresh the panel gives a band an area leaves out.
    fuzz_support::small_panel(2, 2880, 16);
    epdsim::raise_after_command(SIGINT, commands_before_interrupt);
    fuzz_support::run_entry("playlist.xml");
    return 0;
}
