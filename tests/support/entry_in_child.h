// The program's entry run in-process, in a child of the test: for shows that set up the simulated
// bus, the virtual clock or hooks in the program's own process.
#ifndef EPDSHOW_ENTRY_IN_CHILD_H
#define EPDSHOW_ENTRY_IN_CHILD_H

#include "main.h"
#include "test_support.h"

#include <functional>
#include <string>

namespace testing_support {

// The program's entry, called as "epdshow playlist".
inline int run_entry(std::string playlist) {
    std::string program = "epdshow";
    char *argv[] = {program.data(), playlist.data(), nullptr};
    return epdshow_main(2, argv);
}

// Runs the program's entry on playlist in a child process, in folder dir with env added, after
// set_up has set up the simulated bus (and what else the show needs) there. The child is killed
// after timeout_s seconds of real time; watch as for run_in_child.
inline run_result run_entry_in_child(const std::function<void()> &set_up, const std::string &dir,
                                     const std::string &playlist = "playlist.xml",
                                     const env_list &env = {}, int timeout_s = 60,
                                     const std::function<void(int pid)> &watch = {}) {
    return run_in_child(
        [&] {
            set_up();
            return run_entry(playlist);
        },
        dir, env, timeout_s, watch);
}

} // namespace testing_support

#endif
