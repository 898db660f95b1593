#include "status_report.h"

#include <opencv2/imgcodecs.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "atomic_file.h"
#include "json_text.h"
#include "tool.h"

namespace {

namespace fs = std::filesystem;

const char *const now_png = "now.png";
const char *const status_json = "status.json";
const char *const metrics_prom = "metrics.prom";
const char *const play_log = "play-log.jsonl";
const char *const old_play_log = "play-log.1.jsonl";

std::string area_json(const status_picture &p) {
    return json_object().number("x", p.x).number("y", p.y).number("w", p.w).number("h", p.h).str();
}

// The nearest folder at or above path that exists.
fs::path existing_ancestor(fs::path path) {
    std::error_code ignored;
    path = fs::absolute(path, ignored);
    while (!fs::exists(path, ignored) && path.has_relative_path()) {
        path = path.parent_path();
    }
    return path;
}

} // namespace

std::string status_folder_problem(const std::string &folder, bool create) {
    std::error_code error;
    const bool exists = fs::exists(folder, error);
    if (!exists && create && !fs::create_directories(folder, error) && error) {
        return "cannot be created: " + error.message();
    }
    if (!exists && !create) {
        // Judged by the folder it would be made in, without making it.
        const fs::path parent = existing_ancestor(folder);
        if (!fs::is_directory(parent, error)) {
            return "cannot be created: " + std::string(std::strerror(ENOTDIR));
        }
        if (::access(parent.c_str(), W_OK | X_OK) != 0) {
            return "cannot be created: " + std::string(std::strerror(errno));
        }
        return "";
    }
    if (!fs::is_directory(folder, error)) {
        return "is not a folder";
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        return "cannot be written: " + std::string(std::strerror(errno));
    }
    return "";
}

status_report::status_report(std::string folder, std::string playlist, std::uintmax_t log_bound)
    : folder(std::move(folder)), playlist(std::move(playlist)), log_bound(log_bound) {}

void status_report::show_started() {
    publish_status();
}

void status_report::status_line(const std::string &text) {
    detail = text;
}

void status_report::waiting_for_panel(const std::string &line) {
    detail = line;
    publish_status();
}

void status_report::move_to(std::string new_folder) {
    folder = std::move(new_folder);
    write_failure_reported = false;
    publish_status();
    publish_now_png();
}

void status_report::picture_starting(const status_picture &picture) {
    pending = picture;
    updating = true;
}

void status_report::picture_shown(const std::vector<status_controller> &found, bool engine_idle,
                                  const std::string &faults) {
    const std::time_t now = std::time(nullptr);
    end_stay(now);
    controllers = found;
    state = "showing";
    ++metrics.pictures_shown;
    shown = pending;
    showing_picture = updating;
    stay_logged = false;
    updating = false;
    shown_ok = engine_idle && faults.empty();
    if (!shown_ok) {
        ++metrics.incomplete;
    }
    shown_faults = faults;
    if (!faults.empty()) {
        last_error = faults;
        last_error_at = now;
    }
    shown_at = now;
    next_change = now + shown.seconds;
    publish_now_png();
    publish_status();
}

void status_report::panel_cleared() {
    const std::time_t now = std::time(nullptr);
    end_stay(now);
    showing_picture = false;
    shown_at = now;
    publish_now_png();
    publish_status();
}

void status_report::panel_failed(const std::string &error) {
    const std::time_t now = std::time(nullptr);
    if (updating) {
        log_picture(pending, now, 0, false);
        ++metrics.panel_failed;
    }
    ++metrics.panel_failures;
    log_failure(now, updating ? pending.file : "", error);
    before_failure = {state, next_change};
    state = "waiting for the panel";
    detail.clear();
    next_change = 0;
    publish_status();
}

// The show goes on as it was: showing, or waiting out quiet hours (a clear as they began failed).
void status_report::panel_back() {
    const std::time_t now = std::time(nullptr);
    append_log_line(json_object().time("time", now).text("event", "recovery").str());
    ++metrics.panel_recoveries;
    state = before_failure.first;
    next_change = before_failure.second;
    publish_status();
}

void status_report::no_panel(const std::string &reason) {
    updating = false;
    log_failure(std::time(nullptr), "", reason);
    state = "no panel";
    detail.clear();
    next_change = 0;
    publish_status();
}

void status_report::picture_unusable(const std::string &file, const std::string &reason) {
    updating = false;
    log_failure(std::time(nullptr), file, reason);
    ++metrics.unusable;
    last_error = "cannot use '" + file + "': " + reason;
    publish_status();
}

void status_report::quiet_hours_until(std::time_t end) {
    state = "quiet hours";
    next_change = end;
    publish_status();
}

void status_report::nothing_to_show_until(std::time_t end) {
    state = "nothing to show";
    next_change = end;
    publish_status();
}

void status_report::quiet_hours_over() {
    state = "showing";
    detail.clear();
    next_change = 0;
    publish_status();
}

void report_refused_start(const std::string &folder, const std::string &playlist,
                          const std::string &reason) {
    if (folder.empty() || !status_folder_problem(folder, true).empty()) {
        return;
    }
    status_report(folder, playlist).not_started(reason);
}

void status_report::not_started(const std::string &reason) {
    log_failure(std::time(nullptr), "", reason);
    state = "not started";
    detail.clear();
    next_change = 0;
    publish_status();
}

void status_report::show_ended() {
    end_stay(std::time(nullptr)); // the panel still shows it
    state = "ended";
    detail.clear();
    next_change = 0;
    publish_status();
}

// The picture shown stays up until the panel shows something else, or the show ends: its line,
// with the seconds it stayed, is written then.
void status_report::end_stay(std::time_t now) {
    if (showing_picture && !stay_logged) {
        log_picture(shown, shown_at, static_cast<long long>(now - shown_at), shown_ok,
                    shown_faults);
    }
    stay_logged = true;
}

void status_report::log_picture(const status_picture &picture, std::time_t when, long long seconds,
                                bool ok, const std::string &error) {
    json_object line;
    line.time("time", when).text("event", "picture").text("picture", picture.file);
    line.text("update", picture.area ? "area" : "full");
    if (picture.area) {
        line.raw("area", area_json(picture));
    }
    line.number("waveform_mode", picture.waveform_mode)
        .number("seconds", seconds)
        .boolean("ok", ok);
    if (!error.empty()) {
        line.text("error", error);
    }
    append_log_line(line.str());
}

void status_report::log_failure(std::time_t now, const std::string &file,
                                const std::string &error) {
    json_object line;
    line.time("time", now).text("event", "failure");
    if (!file.empty()) {
        line.text("picture", file);
    }
    append_log_line(line.text("error", error).str());
    last_error = error;
    last_error_at = now;
}

void status_report::append_log_line(const std::string &line) {
    const std::string path = folder + "/" + play_log;
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && info.st_size > 0 &&
        static_cast<std::uintmax_t>(info.st_size) + line.size() + 1 > log_bound) {
        const std::string old = folder + "/" + old_play_log;
        if (::rename(path.c_str(), old.c_str()) != 0) {
            report_write_failure(old, errno);
        }
    }
    if (!append_line(path, line + "\n")) {
        report_write_failure(path, errno);
    }
}

void status_report::publish_status() {
    json_object status;
    status.text("playlist", playlist).text("state", state);
    if (detail.empty()) {
        status.null("detail");
    } else {
        status.text("detail", detail);
    }
    if (showing_picture) {
        status.text("picture", shown.file).text("update", shown.area ? "area" : "full");
        if (shown.area) {
            status.raw("area", area_json(shown));
        } else {
            status.null("area");
        }
        status.number("index", shown.number).number("pictures_in_pass", shown.pictures_in_pass);
        status.number("pass", shown.pass).number("waveform_mode", shown.waveform_mode);
    } else {
        for (const char *key :
             {"picture", "update", "area", "index", "pictures_in_pass", "pass", "waveform_mode"}) {
            status.null(key);
        }
    }
    status.time("shown_at", shown_at).time("next_change_at", next_change);
    std::string list;
    for (const status_controller &c : controllers) {
        json_object controller;
        controller.number("index", c.index).number("multi_id", c.multi_id);
        if (c.temperature) {
            controller.number("temperature", *c.temperature);
        } else {
            controller.null("temperature");
        }
        list += (list.empty() ? "" : ",") + controller.str();
    }
    status.raw("controllers", "[" + list + "]");
    if (last_error.empty()) {
        status.null("last_error");
    } else {
        status.text("last_error", last_error);
    }
    status.time("last_error_at", last_error_at).time("updated_at", std::time(nullptr));
    write_file(status_json, status.str() + "\n");
    publish_metrics();
}

void status_report::publish_metrics() {
    metrics.state = state;
    metrics.last_refresh = shown_at;
    metrics.controllers.clear();
    for (const status_controller &c : controllers) {
        metrics.controllers.push_back({c.index, c.multi_id, c.temperature});
    }
    write_file(metrics_prom, metrics_text(metrics));
}

void status_report::publish_now_png() {
    const cv::Mat picture = panel.compose();
    std::vector<uchar> png;
    if (picture.empty() || !cv::imencode(".png", picture, png)) {
        return;
    }
    write_file(now_png, std::string(png.begin(), png.end()));
}

void status_report::write_file(const std::string &name, const std::string &content) {
    const std::string path = folder + "/" + name;
    if (!replace_file(path, content)) {
        report_write_failure(path, errno);
    }
}

// Said once: the show goes on, and each later write tries again quietly.
void status_report::report_write_failure(const std::string &path, int error) {
    if (write_failure_reported) {
        return;
    }
    write_failure_reported = true;
    perr(log_file,
         "Error: cannot write the status file %s: %s; the show goes on, the status files may "
         "be out of date\n",
         path.c_str(), std::strerror(error));
}
