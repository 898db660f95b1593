// A fuzzed playlist read and played end to end on a small virtual panel: the settings reader, the
// player's walk over groups, lists, stops, areas and schedules, and the updates it makes. Sleeps
// are instant; one Ctrl+C, delivered after a fixed number of commands or once the show has slept
// two days (waits for quiet hours and for pictures due, which send no command), bounds shows that
// would repeat for ever.
#include "epdsim.h"
#include "fuzz_support.h"
#include "virtual_clock.h"

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <pugixml.hpp>

namespace {

// Enough commands for a few dozen images before the stop flag rises.
const int commands_before_interrupt = 1500;
const std::int64_t sleep_before_interrupt_ns = std::int64_t{2 * 24 * 3600} * 1000000000;

// The program's handler takes one stop request; a second would end the process.
bool interrupted = false;
std::int64_t slept_at_start = 0;

void interrupt_once() {
    if (!interrupted) {
        interrupted = true;
        std::raise(SIGINT);
    }
}

void interrupt_after_long_sleep() {
    if (virtual_clock::slept_ns() - slept_at_start > sleep_before_interrupt_ns) {
        interrupt_once();
    }
}

// A fuzzed <status_dir> could name any folder of the machine, which the show would create and
// write in. Read as the program reads it (in any encoding), a playlist that sets one is not played.
bool sets_status_folder(const uint8_t *data, size_t size) {
    pugi::xml_document doc;
    doc.load_buffer(data, size, pugi::parse_default | pugi::parse_ws_pcdata);
    return !doc.document_element().child("epd").child("status_dir").empty();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    fuzz_support::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (sets_status_folder(data, size)) {
        return 0;
    }
    fuzz_support::write_file("playlist.xml", data, size);
    // Two 2880 x 16 bands: the 42 layout at the cost of 32 rows per image; tall enough for the
    // 10 x 10 refresh the panel gives a band an area leaves out.
    fuzz_support::small_panel(2, 2880, 16);
    interrupted = false;
    slept_at_start = virtual_clock::slept_ns();
    epdsim::set_in_transfer_hook([](int, unsigned char *, int, int *, int result) {
        if (epdsim::command_count() >= commands_before_interrupt) {
            interrupt_once();
        }
        return result;
    });
    virtual_clock::on_every_sleep(interrupt_after_long_sleep);
    fuzz_support::run_entry("playlist.xml");
    virtual_clock::on_every_sleep(nullptr);
    return 0;
}
