#include "panel_stage.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

#include "panel_recovery.h"
#include "quiet_hours.h"
#include "service_notify.h"
#include "status_report.h"
#include "tool.h"

namespace {

std::vector<status_controller> status_controllers(const update_result &result) {
    std::vector<status_controller> controllers;
    for (const controller_reading &c : result.controllers) {
        controllers.push_back({c.index, c.multi_id, c.temperature});
    }
    return controllers;
}

status_picture status_of(const stage_picture &p) {
    status_picture picture;
    picture.file = p.file;
    picture.area = p.area.has_value();
    if (p.area) {
        picture.x = p.area->x;
        picture.y = p.area->y;
        picture.w = p.area->w;
        picture.h = p.area->h;
    }
    picture.waveform_mode = p.waveform_mode;
    picture.seconds = p.seconds;
    picture.number = p.number;
    picture.pictures_in_pass = p.pictures_in_pass;
    picture.pass = p.pass;
    return picture;
}

// Called about twice a second while the show waits.
void still_alive_while_waiting() {
    service_alive();
    reopen_log_if_asked();
}

// Sleeps up to half a second, never past until (half a second when it is already past).
void wait_a_moment(std::time_t now, std::time_t until) {
    const int64_t left_ms = until > now ? int64_t{until - now} * 1000 : 500;
    usleep(static_cast<useconds_t>(std::min<int64_t>(left_ms, 500) * 1000));
}

} // namespace

void slide_wait(int32_t seconds) {
    printf("Slide Period %d sec\n", seconds);
    sleep_ms(int64_t{seconds} * 1000, service_alive);
}

panel_stage::panel_stage(std::unique_ptr<epd> &panel, std::unique_ptr<status_report> &status,
                         panel_recovery &recovery, const volatile sig_atomic_t &stop_flag,
                         const volatile sig_atomic_t &hang_ups, std::string path)
    : panel(panel), status(status), recovery(recovery), stop_flag(stop_flag), hang_ups(hang_ups),
      path(std::move(path)) {}

std::time_t panel_stage::now() {
    return wall_clock();
}

bool panel_stage::stop_requested() {
    return stop_flag == 1;
}

bool panel_stage::hang_up() {
    if (hang_ups == hang_ups_seen) {
        return false;
    }
    hang_ups_seen = hang_ups;
    return true;
}

void panel_stage::say(const std::string &text) {
    fputs(text.c_str(), stdout);
}

void panel_stage::complain(const std::string &text) {
    fputs(text.c_str(), stderr);
}

// The status folder, when there is one, keeps a copy of what the panel is sent.
void panel_stage::mirror_panel() {
    if (!status) {
        panel->set_observer(nullptr);
        return;
    }
    status->mirror().set_shape(panel->get_layout(), panel->get_nb_devs(), panel->get_width(),
                               panel->get_height() / panel->get_nb_devs());
    panel->set_observer(&status->mirror());
}

// What the show does, in one line: for the service manager, and the status folder's detail.
void panel_stage::tell_status(const std::string &line) {
    status_line = line;
    service_status(line);
    if (status) {
        status->status_line(line);
    }
}

// Replaces the panel that failed (as failure says) by one brought back; false when a stop request
// ended the wait. The recovery's lines go to the status folder too; once the panel is back, the
// show's line is told again.
bool panel_stage::bring_panel_back(const std::string &failure) {
    if (status) {
        status->panel_failed("the panel failed: " + failure);
    }
    panel = recovery.bring_back(std::move(panel), [this](const std::string &line) {
        if (status) {
            status->waiting_for_panel(line);
        }
    });
    if (panel == nullptr) {
        return false;
    }
    panel->set_picture_options(picture);
    mirror_panel();
    tell_status(status_line);
    if (status) {
        status->panel_back();
    }
    return true;
}

// Writes the status files into folder from now on ("": none), keeping what the panel was sent.
void panel_stage::use_status_folder(const std::string &folder) {
    if (folder.empty()) {
        panel->set_observer(nullptr);
        status.reset();
        return;
    }
    if (!status) {
        status = std::make_unique<status_report>(folder, path);
        mirror_panel();
        status->show_started();
    } else if (status->get_folder() != folder) {
        status->move_to(folder);
    }
}

void panel_stage::use_settings(const dpy_imgs_info &settings) {
    use_status_folder(settings.status_dir);
    picture = settings.picture;
    panel->set_picture_options(picture);
}

std::string panel_stage::area_problem(const dpy_area &a) {
    if (area_fits(a, panel->get_width(), panel->get_height())) {
        return "";
    }
    char reason[160];
    snprintf(reason, sizeof reason,
             "area (x, y, w, h) = (%d, %d, %d, %d) does not fit the %d x %d panel", a.x, a.y, a.w,
             a.h, panel->get_width(), panel->get_height());
    return reason;
}

// Runs the update and returns its result; when the panel fails meanwhile, brings it back and runs
// the update again, so the picture is shown whole. A picture shown stays its seconds.
update_result panel_stage::show(const stage_picture &p) {
    reopen_log_if_asked();
    tell_status("showing " + p.name + ", image " + std::to_string(p.number) + " of " +
                std::to_string(p.pictures_in_pass));
    service_alive();
    if (status) {
        status->picture_starting(status_of(p));
    }
    for (;;) {
        const dpy_area a = p.area.value_or(dpy_area());
        update_result result =
            p.area
                ? panel->eInk_display_partial(p.file, a.x, a.y, a.w, a.h, p.waveform_mode, p.rotate,
                                              p.en_set_temperature)
                : panel->eInk_display_full(p.file, p.waveform_mode, p.rotate, p.en_set_temperature);
        if (result.what == update_result::outcome::panel_failed &&
            bring_panel_back(result.problem)) {
            continue;
        }
        if (result.what == update_result::outcome::shown) {
            if (status) {
                status->picture_shown(status_controllers(result), result.engines_idle,
                                      result.faults);
            }
            slide_wait(p.seconds);
        } else if (result.what == update_result::outcome::no_layout) {
            slide_wait(p.seconds);
        }
        return result;
    }
}

void panel_stage::no_panel(const std::string &reason) {
    if (status) {
        status->no_panel(reason);
    }
}

void panel_stage::picture_unusable(const std::string &file, const std::string &reason) {
    if (status) {
        status->picture_unusable(file, reason);
    }
}

// The panel's deep clear; a panel that fails during it is brought back.
bool panel_stage::deep_clear() {
    const update_result result = panel->deep_clear();
    if (result.what == update_result::outcome::shown && status) {
        status->panel_cleared();
    } else if (result.what == update_result::outcome::panel_failed) {
        return bring_panel_back(result.problem);
    }
    return true;
}

// One line saying until when, and the same to the service manager and the status folder.
void panel_stage::announce(const stage_wait &wait) {
    const bool quiet = wait.why == stage_wait::reason::quiet_hours;
    printf("%s until %s\n", quiet ? "Quiet hours" : "Nothing to show", wait.until_text.c_str());
    tell_status(std::string(quiet ? "quiet hours" : "nothing to show") + " until " +
                wait.until_text);
    if (!status) {
        return;
    }
    if (quiet) {
        status->quiet_hours_until(wait.until);
    } else {
        status->nothing_to_show_until(wait.until);
    }
}

stage::wait_end panel_stage::wait(const stage_wait &wait, const std::function<bool()> &over) {
    announce(wait);
    if (wait.clear && !deep_clear()) {
        return wait_end::panel_lost;
    }
    // Nothing ends the wait before its end as reckoned, unless the clock is set forward past it.
    for (std::time_t now = wall_clock(); now < wait.until || !over(); now = wall_clock()) {
        wait_a_moment(now, wait.until);
        if (stop_requested()) {
            return wait_end::stop_request;
        }
        if (hang_up()) {
            return wait_end::hang_up;
        }
        still_alive_while_waiting();
    }
    // Either wait over, the show goes on showing.
    if (status) {
        status->quiet_hours_over();
    }
    return wait_end::over;
}
