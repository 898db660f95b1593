// Brings a failed panel back while the tool runs: closes everything as at shutdown, then looks for
// the controllers again (the same discovery and panel set-up as at start) with a back-off of 5 s
// doubling to 5 minutes, one line per attempt, until the controllers the panel was made of answer
// again (the same multi IDs and bands), whatever else is on the bus.
#ifndef EPDSHOW_PANEL_RECOVERY_H
#define EPDSHOW_PANEL_RECOVERY_H

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class epd;
struct panel_member;

class panel_recovery {
  public:
    // stop_flag is raised by the entry's signal handler: it ends a wait within a second.
    explicit panel_recovery(const volatile sig_atomic_t &stop_flag);

    // Takes the failed panel, closes the USB session and the panel, and returns a new panel of the
    // same controllers once they all answer; null when the stop flag rose while waiting. Before
    // each wait, the line of the wait ("waiting for the panel: 1 of 2 controllers answer, next try
    // in 40 s") goes to the service manager and to waiting, when given.
    std::unique_ptr<epd> bring_back(std::unique_ptr<epd> failed,
                                    const std::function<void(const std::string &)> &waiting = {});

  private:
    struct attempt_result;

    attempt_result look_again(const std::vector<panel_member> &members) const;
    bool wait_unless_stopped(int64_t ms) const;

    const volatile sig_atomic_t &stop_flag;
};

#endif
