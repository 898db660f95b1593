// What the harnesses that run the whole program in-process share: a private working folder with
// a few pictures, instant sleeps, the entry point run with its signal handlers undone afterwards.
#ifndef EPDSHOW_FUZZ_SUPPORT_H
#define EPDSHOW_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz_support {

// Once per process, from LLVMFuzzerInitialize: makes a fresh temporary folder (removed at exit)
// holding img/ with a.png (grey 40 x 30), b.jpg (colour), c.png (16-bit), d.png (text), e.png
// (empty), f.png (a folder) and g.png (a header declaring 100000 x 100000 pixels); silences
// standard output; makes every sleep instant. Unless the command line sets -artifact_prefix, crash
// inputs go to the folder the fuzzer was started in.
void start(int *argc, char ***argv);

// Writes a file into the temporary folder.
void write_file(const std::string &name, const uint8_t *data, size_t size);
void write_file(const std::string &name, const std::string &text);

// Runs the program inside the temporary folder on the playlist name there and returns its exit
// status, on a wall clock and a random seed that are the same for every run. The signal
// dispositions it changes (SIGINT, SIGTERM, SIGABRT, SIGHUP, SIGPIPE) are put back as they were,
// so the fuzzer's own handlers stay in force between runs.
int run_entry(const std::string &name);

// A bus of count controllers of width x height, multi IDs 0 .. count - 1, the LUT engine idle
// after every refresh; everything else as a reset bus.
void small_panel(int count, int width, int height);

} // namespace fuzz_support

#endif
