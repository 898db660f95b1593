#include "panel_recovery.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "epd.h"
#include "service_notify.h"
#include "tool.h"
#include "usb_controller.h"

namespace {

constexpr int64_t first_wait_ms = 5000;
constexpr int64_t longest_wait_ms = 300000;
// A stop request ends a wait within this.
constexpr int64_t wait_slice_ms = 100;

std::string waiting_status(int answering, int controllers, int64_t wait_ms) {
    return "waiting for the panel: " + std::to_string(answering) + " of " +
           std::to_string(controllers) + " controllers answer, next try in " +
           std::to_string(wait_ms / 1000) + " s";
}

} // namespace

struct panel_recovery::attempt_result {
    std::unique_ptr<epd> panel; // the panel built, if any
    bool complete = false;      // a whole panel of the same size answers
    int answering = 0;
};

panel_recovery::panel_recovery(const volatile sig_atomic_t &stop_flag) : stop_flag(stop_flag) {}

std::unique_ptr<epd>
panel_recovery::bring_back(std::unique_ptr<epd> failed,
                           const std::function<void(const std::string &)> &waiting) {
    const std::vector<panel_member> members = failed->members();
    const int controllers = static_cast<int>(members.size());
    // As at shutdown: the session goes first, so the controllers find nothing left to release. The
    // log stays open for what the tool reports meanwhile.
    usb_close_keeping_log();
    failed.reset();
    int answering = 0;
    int64_t wait_ms = first_wait_ms;
    for (int attempt = 1;; ++attempt) {
        const std::string line = waiting_status(answering, controllers, wait_ms);
        service_status(line);
        if (waiting) {
            waiting(line);
        }
        if (!wait_unless_stopped(wait_ms)) {
            return nullptr;
        }
        attempt_result result = look_again(members);
        if (result.complete) {
            perr(log_file, "The panel answers again (attempt %d): the show goes on\n", attempt);
            return std::move(result.panel);
        }
        answering = result.answering;
        wait_ms = std::min(wait_ms * 2, longest_wait_ms);
        std::printf("Looking for the panel (attempt %d): %d of %d controllers answer, next try in "
                    "%d s\n",
                    attempt, answering, controllers, static_cast<int>(wait_ms / 1000));
        usb_close_keeping_log();
        result.panel.reset();
    }
}

// One look: the discovery and set-up of the start, after a reset of the controllers that were
// there but did not answer. The panel is the one it was when the controllers it was made of answer,
// whatever else is on the bus.
panel_recovery::attempt_result
panel_recovery::look_again(const std::vector<panel_member> &members) const {
    attempt_result result;
    const int found = usb_init_again();
    if (found <= 0) {
        return result;
    }
    usb_reset_unanswering();
    // Fewer controllers than the panel had cannot make it: none is asked.
    if (found < static_cast<int>(members.size())) {
        result.answering = found;
        return result;
    }
    result.panel = std::make_unique<epd>(found, members);
    const epd &panel = *result.panel;
    result.answering = panel.members_found();
    result.complete = panel.is_ready() && !panel.failed();
    return result;
}

bool panel_recovery::wait_unless_stopped(int64_t ms) const {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(ms);
    while (stop_flag != 1 && clock::now() < deadline) {
        service_alive();
        reopen_log_if_asked();
        usleep(static_cast<useconds_t>(wait_slice_ms * 1000));
    }
    return stop_flag != 1;
}
