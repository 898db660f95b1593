#include "player.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "epd.h"
#include "folder.h"
#include "panel_recovery.h"
#include "quiet_hours.h"
#include "service_notify.h"
#include "status_report.h"
#include "tool.h"
#include "usb_controller.h"

namespace {

// What the walk borrows from the player, and what one pass of the playlist did, for the
// decisions at its end. The panel is the player's: a panel that fails is replaced by the one
// brought back.
struct pass_state {
    pass_state(std::unique_ptr<epd> &panel, std::unique_ptr<status_report> &status,
               panel_recovery &recovery, const volatile sig_atomic_t &stop_flag,
               const volatile sig_atomic_t &hang_ups, std::string path)
        : panel(panel), status(status), recovery(recovery), stop_flag(stop_flag),
          hang_ups(hang_ups), path(std::move(path)) {}

    std::unique_ptr<epd> &panel;
    std::unique_ptr<status_report> &status; // null without a status folder
    panel_recovery &recovery;
    const volatile sig_atomic_t &stop_flag;
    const volatile sig_atomic_t &hang_ups;
    const std::string path;
    picture_options picture; // of the playlist being played, for a panel brought back
    // The text of the <stop> the latest lookup found, in the playlist being played; null when it
    // found none.
    const std::string *stop = nullptr;
    int images_shown = 0;
    // Updates of the pass that showed nothing because the controllers match no layout; the first
    // is told to the status folder.
    int no_layout_updates = 0;
    int images_in_pass = 0;     // pictures of the pass known so far, for the status line
    int image_number = 0;       // of the image being shown, in this pass
    int pass_number = 0;        // of the playlist being played
    bool panel_lost = false;    // a stop request came while waiting for the panel to come back
    std::string first_unusable; // the first picture of the pass that could not be used, and why
    int32_t clear_every = 0;
    int64_t since_clear = 0; // images shown since the last deep clear, across passes
    // The walk ends before its next image: a stop request during the quiet hours, or a reload.
    bool cut_short = false;
    std::unique_ptr<playlist_file> reloaded;      // the playlist read again, to play from its start
    const std::string *playing_content = nullptr; // the bytes of the playlist being played
    sig_atomic_t hang_ups_seen = 0;
    std::string last_shown;                // the file of the latest image shown
    std::string status_line;               // what the service manager was told the show does
    std::optional<std::mt19937_64> random; // seeded at the first shuffle
};

const std::string *stop_of(const std::optional<std::string> &stop) {
    return stop ? &*stop : nullptr;
}

bool stop_requested(const pass_state &pass) {
    return pass.stop_flag == 1;
}

// What the show does, in one line: for the service manager, and the status folder's detail.
void tell_status(pass_state &pass, const std::string &line) {
    pass.status_line = line;
    service_status(line);
    if (pass.status) {
        pass.status->status_line(line);
    }
}

// The status folder, when there is one, keeps a copy of what the panel is sent.
void mirror_panel(pass_state &pass) {
    if (!pass.status) {
        pass.panel->set_observer(nullptr);
        return;
    }
    const epd &panel = *pass.panel;
    pass.status->mirror().set_shape(panel.get_layout(), panel.get_nb_devs(), panel.get_width(),
                                    panel.get_height() / panel.get_nb_devs());
    pass.panel->set_observer(&pass.status->mirror());
}

// Replaces the panel that failed (as failure says) by one brought back; false when a stop request
// ended the wait. The recovery's lines go to the status folder too; once the panel is back, the
// show's line is told again.
bool bring_panel_back(pass_state &pass, const std::string &failure) {
    if (pass.status) {
        pass.status->panel_failed("the panel failed: " + failure);
    }
    pass.panel = pass.recovery.bring_back(std::move(pass.panel), [&pass](const std::string &line) {
        if (pass.status) {
            pass.status->waiting_for_panel(line);
        }
    });
    if (pass.panel == nullptr) {
        pass.panel_lost = true;
        return false;
    }
    pass.panel->set_picture_options(pass.picture);
    mirror_panel(pass);
    tell_status(pass, pass.status_line);
    if (pass.status) {
        pass.status->panel_back();
    }
    return true;
}

// Runs update on the panel and returns its result; when the panel fails meanwhile, brings it back
// and runs update again, so the image is shown whole. A panel_failed result when a stop request
// ended the wait for the panel. picture describes the image to the status folder, when there is
// one.
update_result show_on_panel(pass_state &pass, const std::string &name, status_picture picture,
                            const std::function<update_result(epd &)> &update) {
    reopen_log_if_asked();
    const int number = ++pass.image_number;
    const int in_pass = std::max(number, pass.images_in_pass);
    tell_status(pass, "showing " + name + ", image " + std::to_string(number) + " of " +
                          std::to_string(in_pass));
    service_alive();
    if (pass.status) {
        picture.number = number;
        picture.pictures_in_pass = in_pass;
        picture.pass = pass.pass_number;
        pass.status->picture_starting(picture);
    }
    for (;;) {
        update_result result = update(*pass.panel);
        if (result.what != update_result::outcome::panel_failed ||
            !bring_panel_back(pass, result.problem)) {
            return result;
        }
    }
}

// The panel's deep clear; a panel that fails during it is brought back.
void deep_clear(pass_state &pass) {
    const update_result result = pass.panel->deep_clear();
    if (result.what == update_result::outcome::shown && pass.status) {
        pass.status->panel_cleared();
    } else if (result.what == update_result::outcome::panel_failed) {
        bring_panel_back(pass, result.problem);
    }
}

bool pass_cut(const pass_state &pass) {
    return pass.panel_lost || pass.cut_short;
}

bool quiet_now(const quiet_hours &quiet) {
    return !quiet.empty() && quiet.covers(local_second_of_day(wall_clock()));
}

// Counts an image shown and gives the panel its deep clear after every clear_every images. A
// clear that falls due in quiet hours waits for the first image shown after them.
void image_shown(pass_state &pass, const quiet_hours &quiet) {
    ++pass.images_shown;
    if (pass.clear_every <= 0 || ++pass.since_clear < pass.clear_every || quiet_now(quiet)) {
        return;
    }
    pass.since_clear = 0;
    printf("Deep clear after %d images\n", pass.clear_every);
    deep_clear(pass);
}

// After a hang-up: reads the playlist again, with its echo as at start. True when the new one is
// to be played from its start; false when no hang-up came, when the file holds the same bytes (the
// show goes on where it was: a log rotation, or a reload without a change), or when the playlist
// no longer reads (reported) and the show goes on with the one it has.
bool reload_if_asked(pass_state &pass) {
    if (pass.hang_ups == pass.hang_ups_seen) {
        return false;
    }
    pass.hang_ups_seen = pass.hang_ups;
    printf("Reload playlist : %s\n", pass.path.c_str());
    playlist_file read = read_playlist_file(pass.path.c_str());
    if (read.unusable.empty() && pass.playing_content != nullptr &&
        read.content == *pass.playing_content) {
        puts("Playlist unchanged: the show goes on with its next picture");
        return false;
    }
    pass.reloaded = accepted_for_show(std::move(read));
    if (!pass.reloaded) {
        fprintf(stderr, "Playlist not reloaded; the show goes on with the one read before\n");
        return false;
    }
    pass.cut_short = true;
    return true;
}

// Called about twice a second while the show waits out quiet hours.
void still_alive_while_quiet() {
    service_alive();
    reopen_log_if_asked();
}

// Sleeps up to half a second, never past the end of the quiet time; false once it is over.
bool still_quiet_after_a_moment(const quiet_hours &quiet) {
    const int second = local_second_of_day(wall_clock());
    if (!quiet.covers(second)) {
        return false;
    }
    const int64_t left_ms = int64_t{quiet.seconds_left(second)} * 1000;
    usleep(static_cast<useconds_t>(std::min<int64_t>(left_ms, 500) * 1000));
    return true;
}

// The boundary before an image. Inside quiet hours: one line saying until when, the clear when
// asked, and a wait until the window is over; a stop request or a reload ends the wait within a
// second. False when the walk ends here instead of showing the image.
bool ready_for_image(const dpy_imgs_info &settings, pass_state &pass) {
    const quiet_hours &quiet = settings.quiet;
    if (pass_cut(pass)) {
        return false;
    }
    if (!quiet_now(quiet)) {
        return true;
    }
    const std::time_t now = wall_clock();
    const int second = local_second_of_day(now);
    const std::string until = clock_text(quiet.end_of(second));
    printf("Quiet hours until %s\n", until.c_str());
    tell_status(pass, "quiet hours until " + until);
    if (pass.status) {
        pass.status->quiet_hours_until(now + quiet.seconds_left(second));
    }
    if (quiet.clear) {
        deep_clear(pass);
        pass.since_clear = 0;
        if (pass.panel_lost) {
            return false;
        }
    }
    while (still_quiet_after_a_moment(quiet)) {
        if (stop_requested(pass) || reload_if_asked(pass)) {
            pass.cut_short = true;
            return false;
        }
        still_alive_while_quiet();
    }
    if (pass.status) {
        pass.status->quiet_hours_over();
    }
    return true;
}

// Remembers the first picture of the pass that could not be used, for the end of a pass that
// showed nothing, and reports each one to the status folder.
void note_unusable(pass_state &pass, const std::string &picture, const std::string &reason) {
    if (pass.status) {
        pass.status->picture_unusable(picture, reason);
    }
    if (pass.first_unusable.empty()) {
        pass.first_unusable = "'" + picture + "': " + reason;
    }
}

std::vector<status_controller> status_controllers(const update_result &result) {
    std::vector<status_controller> controllers;
    for (const controller_reading &c : result.controllers) {
        controllers.push_back({c.index, c.multi_id, c.temperature});
    }
    return controllers;
}

// What follows an update, in one place. A picture shown is told to the status folder and stays for
// its seconds, then counts as shown; one that could not be used is noted.
void update_done(const update_result &result, const std::string &file, int32_t seconds,
                 const quiet_hours &quiet, pass_state &pass) {
    if (result.what == update_result::outcome::shown) {
        if (pass.status) {
            pass.status->picture_shown(status_controllers(result), result.engines_idle,
                                       result.faults);
        }
        slide_wait(seconds);
        pass.last_shown = file;
        image_shown(pass, quiet);
    } else if (result.what == update_result::outcome::picture_unusable) {
        note_unusable(pass, file, result.problem);
    } else if (result.what == update_result::outcome::no_layout) {
        // Nothing is claimed as shown; the picture's time still passes, so that the show does not
        // run on without a pause.
        if (pass.no_layout_updates++ == 0 && pass.status) {
            pass.status->no_panel(result.problem);
        }
        slide_wait(seconds);
    }
}

// After an image of a list: true when the list ends there, because the panel was lost (which ends
// the phase too), a reloaded playlist takes over, the list holds a stop element, or the stop flag
// is up. The last two print their line.
bool list_ends_after_image(const picture_list &list, const char *stop_line, const char *signal_line,
                           pass_state &pass) {
    pass.stop = stop_of(list.stop);
    if (pass.panel_lost) {
        return true;
    }
    if (!stop_requested(pass) && reload_if_asked(pass)) {
        return true;
    }
    if (pass.stop) {
        puts(stop_line);
        return true;
    }
    if (stop_requested(pass)) {
        puts(signal_line);
        return true;
    }
    return false;
}

// Shows file over the whole panel for seconds, echoing name; true when its list ends after it.
bool show_full_image(const picture_list &list, const std::string &name, const std::string &file,
                     int32_t seconds, dpy_imgs_info &settings, pass_state &pass) {
    if (!ready_for_image(settings, pass)) {
        return true;
    }
    settings.img = name;
    printf("Display : %s \n", settings.img.c_str());
    const status_picture picture = {file, false, 0, 0, 0, 0, settings.waveform_mode, seconds};
    update_done(show_on_panel(pass, name, picture,
                              [&](epd &panel) {
                                  return panel.eInk_display_full(file, settings.waveform_mode,
                                                                 settings.rotate,
                                                                 settings.en_set_temperature);
                              }),
                file, seconds, settings.quiet, pass);
    return list_ends_after_image(list, "Full display stop \r", "Full display signal stop \r", pass);
}

std::mt19937_64 &shuffle_random(pass_state &pass) {
    if (!pass.random) {
        pass.random.emplace(system_seed());
    }
    return *pass.random;
}

// The name of file when it lies in folder (however the two paths spell "." and ".."), else "".
std::string name_in_folder(const std::string &file, const std::string &folder) {
    namespace fs = std::filesystem;
    const fs::path normal_file = fs::path(file).lexically_normal();
    const fs::path normal_folder = (fs::path(folder) / "x").lexically_normal().parent_path();
    return normal_file.parent_path() == normal_folder ? normal_file.filename().string() : "";
}

// The pictures of a <folder>, listed afresh (with their count) and shuffled when asked; each is
// echoed as the folder's text followed by its name, and found the way an <img> is (under
// image_path unless the folder is absolute). True when the list ends.
bool play_folder(const picture_list &list, const playlist_item &folder, dpy_imgs_info &settings,
                 pass_state &pass) {
    folder_listing listing = list_folder(settings.image_path, folder.text, wall_clock());
    const std::string &shown_prefix = listing.where.shown_prefix;
    const std::string &folder_path = listing.where.path;
    std::vector<std::string> &names = listing.names;
    if (listing.error != 0) {
        fprintf(stderr, "Error: cannot read the picture folder '%s': %s\n", folder_path.c_str(),
                strerror(listing.error));
        note_unusable(pass, folder_path,
                      std::string("cannot read the folder: ") + strerror(listing.error));
        return false;
    }
    printf("%s: %zu picture%s\n", folder.text.c_str(), names.size(), names.size() == 1 ? "" : "s");
    if (names.empty()) {
        note_unusable(pass, folder_path, "the folder holds no picture");
    }
    pass.images_in_pass += static_cast<int>(names.size());
    if (folder.shuffle) {
        shuffle_pictures(names, shuffle_random(pass), name_in_folder(pass.last_shown, folder_path));
    }
    for (const std::string &name : names) {
        if (show_full_image(list, shown_prefix + name, folder_path + name, folder.seconds, settings,
                            pass)) {
            return true;
        }
    }
    return false;
}

std::string image_file(const dpy_imgs_info &settings) {
    return settings.image_path + settings.img;
}

// The pictures of each <full_update>, <img> and <folder> in document order.
void play_full_phase(const picture_group &group, dpy_imgs_info &settings, pass_state &pass) {
    for (const picture_list &list : group.full_lists) {
        if (pass_cut(pass)) {
            return;
        }
        for (const playlist_item &item : list.items) {
            const bool list_ends =
                item.folder ? play_folder(list, item, settings, pass)
                            : show_full_image(list, item.text, settings.image_path + item.text,
                                              item.seconds, settings, pass);
            if (list_ends) {
                break;
            }
        }
    }
}

// Areas the controllers cannot show are refused here, before any command is sent.
void show_area_image(const playlist_area *area, int32_t seconds, dpy_imgs_info &settings,
                     pass_state &pass) {
    const std::string file = image_file(settings);
    if (area == nullptr) {
        fprintf(stderr, "Skip image %s: its <area_update> has no <area> for it\n",
                settings.img.c_str());
        note_unusable(pass, file, "its <area_update> has no <area> for it");
        return;
    }
    settings.area = area->area;
    const dpy_area &a = settings.area;
    if (!area_fits(a, pass.panel->get_width(), pass.panel->get_height())) {
        char reason[160];
        snprintf(reason, sizeof reason,
                 "area (x, y, w, h) = (%d, %d, %d, %d) does not fit the %d x %d panel", a.x, a.y,
                 a.w, a.h, pass.panel->get_width(), pass.panel->get_height());
        fprintf(stderr, "Skip image %s: %s\n", settings.img.c_str(), reason);
        note_unusable(pass, file, reason);
        return;
    }
    if (!ready_for_image(settings, pass)) {
        return;
    }
    printf("Display %s on (x, y, w, h) = (%d, %d, %d, %d)\n", settings.img.c_str(), a.x, a.y, a.w,
           a.h);
    const status_picture picture = {file,   true, a.x, a.y, a.w, a.h, settings.waveform_mode,
                                    seconds};
    update_done(show_on_panel(pass, settings.img, picture,
                              [&](epd &panel) {
                                  return panel.eInk_display_partial(
                                      file, a.x, a.y, a.w, a.h, settings.waveform_mode,
                                      settings.rotate, settings.en_set_temperature);
                              }),
                file, seconds, settings.quiet, pass);
}

void play_area_phase(const picture_group &group, dpy_imgs_info &settings, pass_state &pass) {
    for (const picture_list &list : group.area_lists) {
        if (pass_cut(pass)) {
            return;
        }
        for (size_t k = 0; k < list.items.size(); ++k) {
            settings.img = list.items[k].text;
            show_area_image(list.area_of(k), list.items[k].seconds, settings, pass);
            if (pass.cut_short ||
                list_ends_after_image(list, "Area update display stop \r",
                                      "Area update display signal stop \r", pass)) {
                break;
            }
        }
    }
}

void play_pass(playlist_file &playlist, pass_state &pass) {
    for (const picture_group &group : playlist.groups) {
        puts("Full update:");
        play_full_phase(group, playlist.settings, pass);
        if (pass_cut(pass) || stop_requested(pass)) {
            return;
        }
        puts("Area update:");
        play_area_phase(group, playlist.settings, pass);
        if (pass_cut(pass)) {
            return;
        }
        pass.stop = stop_of(group.stop);
    }
}

// Writes the status files into folder from now on ("": none), keeping what the panel was sent.
void use_status_folder(const std::string &folder, pass_state &pass) {
    if (folder.empty()) {
        pass.panel->set_observer(nullptr);
        pass.status.reset();
        return;
    }
    if (!pass.status) {
        pass.status = std::make_unique<status_report>(folder, pass.path);
        mirror_panel(pass);
        pass.status->show_started();
    } else if (pass.status->get_folder() != folder) {
        pass.status->move_to(folder);
    }
}

// Puts a playlist's settings into effect for the images that follow.
void use_playlist(const playlist_file &playlist, pass_state &pass) {
    pass.playing_content = &playlist.content;
    use_status_folder(playlist.settings.status_dir, pass);
    pass.pass_number = 0;
    pass.picture = playlist.settings.picture;
    pass.panel->set_picture_options(pass.picture);
    pass.clear_every = playlist.settings.clear_every;
    pass.stop = nullptr;
    pass.cut_short = false;
}

// A pass that showed no image fails the show, so that a service manager starts it again: its
// pictures may not be there yet. A stop request, or a stop element (or the last of the passes
// asked for: last_pass) in a pass that had nothing to show, still ends the show as asked.
bool showed_nothing(const pass_state &pass, bool last_pass) {
    // Controllers that match no layout show nothing, whatever the pictures: that is said once at
    // start and in each pass, and the show goes on, as the panel may be put right.
    if (pass.images_shown > 0 || pass.no_layout_updates > 0 || stop_requested(pass)) {
        return false;
    }
    return !pass.first_unusable.empty() || !(pass.stop || last_pass);
}

void report_empty_pass(const pass_state &pass) {
    fprintf(stderr, "A whole pass of the playlist showed no image; the show ends (%s)\n",
            pass.first_unusable.empty()
                ? "the playlist names no picture"
                : ("the first that could not be used: " + pass.first_unusable).c_str());
}

// Plays passes until the show ends, after passes passes when that is above 0 (a pass cut short by
// a reload does not count); returns the exit status of the show.
int play_passes(std::unique_ptr<playlist_file> &playing, pass_state &pass, int passes) {
    for (int played = 0;;) {
        pass.images_shown = 0;
        pass.no_layout_updates = 0;
        pass.image_number = 0;
        ++pass.pass_number;
        pass.first_unusable.clear();
        pass.images_in_pass = playing->pictures_named();
        play_pass(*playing, pass);
        if (pass.panel_lost) {
            return 0;
        }
        // A hang-up that no image boundary took (a pass without images) is taken at its end.
        if (pass.reloaded || (!pass.stop && !stop_requested(pass) && reload_if_asked(pass))) {
            playing = std::move(pass.reloaded);
            use_playlist(*playing, pass);
            continue;
        }
        const bool last_pass = passes > 0 && ++played == passes;
        if (showed_nothing(pass, last_pass)) {
            report_empty_pass(pass);
            return 1;
        }
        if (pass.stop) {
            printf("stop tag %s and exit\r\n", pass.stop->c_str());
            return 0;
        }
        if (last_pass) {
            printf("Played %d pass%s (--passes %d): the show ends\n", passes,
                   passes == 1 ? "" : "es", passes);
            return 0;
        }
        if (stop_requested(pass)) {
            return 0;
        }
    }
}

} // namespace

void slide_wait(int32_t seconds) {
    printf("Slide Period %d sec\n", seconds);
    sleep_ms(int64_t{seconds} * 1000, service_alive);
}

player::player(const volatile sig_atomic_t &stop_flag, const volatile sig_atomic_t &hang_ups)
    : stop_flag(stop_flag), hang_ups(hang_ups) {}

player::~player() {
    // Reports still held back are summed up before the log closes.
    end_repeated_reports(-1);
    usb_close();
}

// Builds the panel; a panel that cannot be had says why, and the status folder is told.
bool player::start_panel(const playlist_file &playlist) {
    puts("usb_init");
    int count = usb_init();
    printf("epd_devs = %d\n", count);
    std::string refusal;
    if (count == 0) {
        refusal = "no e-paper controller found on the USB bus";
    } else if (count < 0) {
        refusal = "the USB bus could not be read (libusb error " + std::to_string(count) + ")";
    }
    if (!refusal.empty()) {
        fprintf(stderr, "Error: %s\n", refusal.c_str());
    } else {
        panel = std::make_unique<epd>(count);
        refusal = panel->get_refusal();
    }
    if (!refusal.empty()) {
        report_refused_start(playlist.settings.status_dir, playlist.path, refusal);
        return false;
    }
    panel->explain_missing_layout();
    service_ready();
    return true;
}

int player::slide_show(std::unique_ptr<playlist_file> playing, int passes) {
    if (!start_panel(*playing)) {
        return 1;
    }
    panel_recovery recovery(stop_flag);
    pass_state pass(panel, status, recovery, stop_flag, hang_ups, playing->path);
    use_playlist(*playing, pass);
    const int result = play_passes(playing, pass, passes);
    if (status) {
        status->show_ended();
    }
    return result;
}
