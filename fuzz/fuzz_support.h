// What the harnesses share: a private working folder with a few pictures, instant sleeps on a
// frozen clock, and the program's entry run with its signal handlers undone and the bus reset
// afterwards.
#ifndef EPDSHOW_FUZZ_SUPPORT_H
#define EPDSHOW_FUZZ_SUPPORT_H

#include "epdsim.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace fuzz_support {

// Once per process, from LLVMFuzzerInitialize: makes a fresh temporary folder (removed at exit;
// one that a process killed before its exit left behind is removed by the next start) holding
// img/ with a.png (grey 40 x 30), b.jpg (colour), c.png (16-bit), d.png (text), e.png (empty),
// f.png (a folder) and g.png (a header declaring 100000 x 100000 pixels); silences standard
// output; makes every sleep instant and freezes the kernel's time; sets TZ to UTC. Crash inputs go
// to the folder the fuzzer was started in, or to the -artifact_prefix of the command line, taken
// from that folder when it is relative.
void start(int *argc, char ***argv);

// The absolute path of a name in the temporary folder.
std::string path_of(const std::string &name);

// Writes a file into the temporary folder.
void write_file(const std::string &name, const uint8_t *data, size_t size);
void write_file(const std::string &name, const std::string &text);

// Empties a folder of the temporary folder (made when missing), whatever it holds.
void empty_folder(const std::string &name);

// Noon, 1 January 2026 in UTC.
constexpr std::time_t new_year_noon = 1767268800;

// How far one run may go: once the bus has completed commands commands, or the program has slept
// virtual_seconds, the show is asked to stop (a Ctrl+C). At the command limit the controllers also
// leave the bus, so that an update in progress (a band claimed 65535 rows tall) ends there instead
// of writing its remaining rows.
struct run_limits {
    int commands = 400;
    int virtual_seconds = 300;
};

// Runs the program's entry inside the temporary folder as "epdshow arguments..." and returns its
// exit status: on a wall clock that reads wall_clock at the start, the same random seed every run,
// within limits; replies, when given, sees every IN transfer after the limits' own check. The
// signal dispositions the program changes are put back as they were, so the fuzzer's own handlers
// stay in force between runs, and the bus is reset afterwards.
int run_entry(const std::vector<std::string> &arguments, const run_limits &limits = {},
              epdsim::in_transfer_hook replies = nullptr, std::time_t wall_clock = new_year_noon);

// Asks the show of the run in progress to stop, as a Ctrl+C does; at most once a run, and only
// once the program handles the signal itself.
void stop_show();

// Ends the process on a broken rule of the code under test: the text on standard error and in the
// sanitizer's report (which the fuzzer keeps when it closes standard error), then abort(), which
// the fuzzer reports with the input.
[[noreturn]] void fail(const char *what);

// A bus of count controllers of width x height, multi IDs 0 .. count - 1, the LUT engine idle
// after every refresh, a journal that keeps no entries; everything else as a reset bus.
void small_panel(int count, int width, int height);

} // namespace fuzz_support

#endif
