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

// The show ends during the wait, with the USB session and so the log closed: the reports held
// back are summed up in the log, opened again for that, as at the end of any show.
void sum_up_repeated_reports() {
    const bool reopened = log_file == nullptr && log_open(false);
    end_repeated_reports(-1);
    if (reopened) {
        log_close();
    }
}

} // namespace

struct panel_recovery::attempt_result {
    std::unique_ptr<epd> panel; // the panel built, if any
    bool complete = false;      // a whole panel of the same size answers
    int answering = 0;
};

panel_recovery::panel_recovery(const volatile sig_atomic_t &stop_flag) : stop_flag(stop_flag) {}

std::unique_ptr<epd> panel_recovery::bring_back(std::unique_ptr<epd> failed) {
    const int controllers = failed->get_nb_devs();
    const int width = failed->get_width();
    const int height = failed->get_height();
    // As at shutdown: the session goes first, so the controllers find nothing left to release.
    usb_close();
    failed.reset();
    int answering = 0;
    int64_t wait_ms = first_wait_ms;
    for (int attempt = 1;; ++attempt) {
        service_status(waiting_status(answering, controllers, wait_ms));
        if (!wait_unless_stopped(wait_ms)) {
            sum_up_repeated_reports();
            return nullptr;
        }
        attempt_result result = look_again(controllers, width, height);
        if (result.complete) {
            perr(log_file, "The panel answers again (attempt %d): the show goes on\n", attempt);
            return std::move(result.panel);
        }
        answering = result.answering;
        wait_ms = std::min(wait_ms * 2, longest_wait_ms);
        std::printf("Looking for the panel (attempt %d): %d of %d controllers answer, next try in "
                    "%d s\n",
                    attempt, answering, controllers, static_cast<int>(wait_ms / 1000));
        usb_close();
        result.panel.reset();
    }
}

// One look: the discovery and set-up of the start, after a reset of the controllers that were
// there but did not answer.
panel_recovery::attempt_result panel_recovery::look_again(int controllers, int width,
                                                          int height) const {
    attempt_result result;
    const int found = usb_init_again();
    if (found <= 0) {
        return result;
    }
    usb_reset_unanswering();
    if (found != controllers) {
        result.answering = std::min(found, controllers);
        return result;
    }
    result.panel = std::make_unique<epd>(found);
    const epd &panel = *result.panel;
    result.answering = panel.controllers_answering();
    result.complete = panel.is_ready() && !panel.failed() && panel.get_nb_devs() == controllers &&
                      panel.get_width() == width && panel.get_height() == height;
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
