#include "player.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "epd.h"
#include "folder.h"
#include "panel_recovery.h"
#include "panel_stage.h"
#include "quiet_hours.h"
#include "service_notify.h"
#include "stage.h"
#include "status_report.h"
#include "tool.h"
#include "usb_controller.h"

namespace {

// The walk's own state: what one pass of the playlist did, for the decisions at its end, and what
// lasts from pass to pass. Everything it does goes through the stage.
struct pass_state {
    pass_state(stage &on, std::string path) : on(on), path(std::move(path)) {}

    stage &on;
    const std::string path;
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
    int pictures_taken = 0;     // pictures of the pass handed to the stage, shown or not
    int passed_over = 0;        // groups and items of the pass left out by their `when`
    bool panel_lost = false;    // a stop request came while waiting for the panel to come back
    std::string first_unusable; // the first picture of the pass that could not be used, and why
    int32_t clear_every = 0;
    int64_t since_clear = 0; // images shown since the last deep clear, across passes
    // The walk ends before its next image: a stop request during a wait, or a reload.
    bool cut_short = false;
    std::unique_ptr<playlist_file> reloaded;      // the playlist read again, to play from its start
    const std::string *playing_content = nullptr; // the bytes of the playlist being played
    std::string last_shown;                       // the file of the latest image shown
    std::optional<std::mt19937_64> random;        // seeded at the first shuffle
};

const std::string *stop_of(const std::optional<std::string> &stop) {
    return stop ? &*stop : nullptr;
}

bool stop_requested(const pass_state &pass) {
    return pass.on.stop_requested();
}

bool pass_cut(const pass_state &pass) {
    return pass.panel_lost || pass.cut_short;
}

bool quiet_now(const quiet_hours &quiet, std::time_t now) {
    return !quiet.empty() && quiet.covers(local_second_of_day(now));
}

// Counts an image shown and gives the panel its deep clear after every clear_every images. A
// clear that falls due in quiet hours waits for the first image shown after them.
void image_shown(pass_state &pass, const quiet_hours &quiet) {
    ++pass.images_shown;
    if (pass.clear_every <= 0 || ++pass.since_clear < pass.clear_every ||
        quiet_now(quiet, pass.on.now())) {
        return;
    }
    pass.since_clear = 0;
    pass.on.say("Deep clear after " + std::to_string(pass.clear_every) + " images\n");
    if (!pass.on.deep_clear()) {
        pass.panel_lost = true;
    }
}

// Reads the playlist again, with its echo as at start. True when the new one is to be played from
// its start; false when the file holds the same bytes (the show goes on where it was: a reload
// without a change), or when it no longer reads (reported) and the show goes on with the one it
// has.
bool reload(pass_state &pass) {
    pass.on.say("Reload playlist : " + pass.path + "\n");
    playlist_file read = read_playlist_file(pass.path.c_str());
    if (read.unusable.empty() && pass.playing_content != nullptr &&
        read.content == *pass.playing_content) {
        pass.on.say("Playlist unchanged: the show goes on with its next picture\n");
        return false;
    }
    pass.reloaded = accepted_for_show(std::move(read));
    if (!pass.reloaded) {
        pass.on.complain("Playlist not reloaded; the show goes on with the one read before\n");
        return false;
    }
    pass.cut_short = true;
    return true;
}

// After a hang-up: the playlist read again (see reload); false when no hang-up came.
bool reload_if_asked(pass_state &pass) {
    return pass.on.hang_up() && reload(pass);
}

// Waits on the stage until over() holds. False when the walk ends in the wait: a stop request, a
// playlist read again after a hang-up, or the panel lost while clearing. A hang-up whose playlist
// does not read leaves the show waiting.
bool wait_out(stage_wait wait, const std::function<bool()> &over, pass_state &pass) {
    if (wait.clear) {
        pass.since_clear = 0;
    }
    for (;;) {
        switch (pass.on.wait(wait, over)) {
        case stage::wait_end::over:
            return true;
        case stage::wait_end::panel_lost:
            pass.panel_lost = true;
            return false;
        case stage::wait_end::stop_request:
            pass.cut_short = true;
            return false;
        case stage::wait_end::hang_up:
            if (reload(pass)) {
                return false;
            }
            wait.clear = false;
            break;
        }
    }
}

// The boundary before an image. Inside quiet hours: a wait until the window is over, the panel
// cleared first when asked. False when the walk ends here instead of showing the image.
bool ready_for_image(const dpy_imgs_info &settings, pass_state &pass) {
    const quiet_hours &quiet = settings.quiet;
    if (pass_cut(pass)) {
        return false;
    }
    const std::time_t now = pass.on.now();
    if (!quiet_now(quiet, now)) {
        return true;
    }
    const int second = local_second_of_day(now);
    stage_wait wait;
    wait.why = stage_wait::reason::quiet_hours;
    wait.until = next_moment_at(now, quiet.end_of(second));
    wait.until_text = clock_text(quiet.end_of(second));
    wait.clear = quiet.clear;
    return wait_out(
        wait, [&] { return !quiet_now(quiet, pass.on.now()); }, pass);
}

// An item of a list in its group: due while both their `when`s hold.
struct item_turn {
    const schedule &group_when;
    const playlist_item &item;
};

// Whether the item is due now; one that is not is passed over, as if absent.
bool due_now(const item_turn &turn, pass_state &pass) {
    const std::time_t now = pass.on.now();
    if (turn.group_when.holds(now) && turn.item.when.holds(now)) {
        return true;
    }
    ++pass.passed_over;
    return false;
}

// Remembers the first picture of the pass that could not be used, for the end of a pass that
// showed nothing, and reports each one to the stage.
void note_unusable(pass_state &pass, const std::string &picture, const std::string &reason) {
    pass.on.picture_unusable(picture, reason);
    if (pass.first_unusable.empty()) {
        pass.first_unusable = "'" + picture + "': " + reason;
    }
}

// The picture described for the stage, numbered in the pass.
stage_picture numbered_picture(const std::string &name, const std::string &file,
                               const item_turn &turn, const dpy_imgs_info &settings,
                               pass_state &pass) {
    stage_picture picture;
    picture.name = name;
    picture.file = file;
    picture.seconds = turn.item.seconds;
    picture.shuffled = turn.item.folder && turn.item.shuffle;
    picture.waveform_mode = settings.waveform_mode;
    picture.rotate = settings.rotate;
    picture.en_set_temperature = settings.en_set_temperature;
    picture.number = ++pass.image_number;
    picture.pictures_in_pass = std::max(picture.number, pass.images_in_pass);
    picture.pass = pass.pass_number;
    ++pass.pictures_taken;
    return picture;
}

// What follows an update, in one place. A picture shown (the stage kept it for its seconds) counts
// as shown; one that could not be used is noted; a panel_failed result means the panel was lost.
void update_done(const update_result &result, const std::string &file, const quiet_hours &quiet,
                 pass_state &pass) {
    if (result.what == update_result::outcome::shown) {
        pass.last_shown = file;
        image_shown(pass, quiet);
    } else if (result.what == update_result::outcome::picture_unusable) {
        note_unusable(pass, file, result.problem);
    } else if (result.what == update_result::outcome::no_layout) {
        // Nothing is claimed as shown (the stage waited the picture's time all the same); once a
        // pass the status folder is told why.
        if (pass.no_layout_updates++ == 0) {
            pass.on.no_panel(result.problem);
        }
    } else if (result.what == update_result::outcome::panel_failed) {
        pass.panel_lost = true;
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
        pass.on.say(std::string(stop_line) + "\n");
        return true;
    }
    if (stop_requested(pass)) {
        pass.on.say(std::string(signal_line) + "\n");
        return true;
    }
    return false;
}

// Shows file over the whole panel for the item's seconds, echoing name; true when its list ends
// after it. A picture that is not due (before, or after quiet hours waited out) is passed over:
// false, and no stop is looked up.
bool show_full_image(const picture_list &list, const item_turn &turn, const std::string &name,
                     const std::string &file, dpy_imgs_info &settings, pass_state &pass) {
    if (!due_now(turn, pass)) {
        return false;
    }
    if (!ready_for_image(settings, pass)) {
        return true;
    }
    if (!due_now(turn, pass)) {
        return false;
    }
    settings.img = name;
    pass.on.say("Display : " + settings.img + " \n");
    const stage_picture picture = numbered_picture(name, file, turn, settings, pass);
    update_done(pass.on.show(picture), file, settings.quiet, pass);
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

// The pictures of a <folder> that is due, listed afresh (with their count) and shuffled when
// asked; each is echoed as the folder's text followed by its name, and found the way an <img> is
// (under image_path unless the folder is absolute). True when the list ends.
bool play_folder(const picture_list &list, const item_turn &turn, dpy_imgs_info &settings,
                 pass_state &pass) {
    if (!due_now(turn, pass)) {
        return false;
    }
    const playlist_item &folder = turn.item;
    folder_listing listing = list_folder(settings.image_path, folder.text, pass.on.now());
    const std::string &shown_prefix = listing.where.shown_prefix;
    const std::string &folder_path = listing.where.path;
    std::vector<std::string> &names = listing.names;
    if (listing.error != 0) {
        pass.on.complain("Error: cannot read the picture folder '" + folder_path +
                         "': " + strerror(listing.error) + "\n");
        note_unusable(pass, folder_path,
                      std::string("cannot read the folder: ") + strerror(listing.error));
        return false;
    }
    pass.on.say(folder.text + ": " + std::to_string(names.size()) + " picture" +
                (names.size() == 1 ? "" : "s") + "\n");
    if (names.empty()) {
        note_unusable(pass, folder_path, "the folder holds no picture");
    }
    pass.images_in_pass += static_cast<int>(names.size());
    if (folder.shuffle) {
        shuffle_pictures(names, shuffle_random(pass), name_in_folder(pass.last_shown, folder_path));
    }
    for (const std::string &name : names) {
        if (show_full_image(list, turn, shown_prefix + name, folder_path + name, settings, pass)) {
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
            const item_turn turn = {group.when, item};
            const bool list_ends =
                item.folder ? play_folder(list, turn, settings, pass)
                            : show_full_image(list, turn, item.text,
                                              settings.image_path + item.text, settings, pass);
            if (list_ends) {
                break;
            }
        }
    }
}

// The k-th picture of an area list in its area. Areas the controllers cannot show are refused
// here, before any command is sent. False when the picture is not due: it is passed over with its
// area, and no stop is looked up.
bool show_area_image(const picture_list &list, size_t k, const item_turn &turn,
                     dpy_imgs_info &settings, pass_state &pass) {
    if (!due_now(turn, pass)) {
        return false;
    }
    settings.img = turn.item.text;
    const std::string file = image_file(settings);
    const playlist_area *area = list.area_of(k);
    if (area == nullptr) {
        pass.on.complain("Skip image " + settings.img +
                         ": its <area_update> has no <area> for it\n");
        note_unusable(pass, file, "its <area_update> has no <area> for it");
        return true;
    }
    settings.area = area->area;
    const dpy_area &a = settings.area;
    if (const std::string reason = pass.on.area_problem(a); !reason.empty()) {
        pass.on.complain("Skip image " + settings.img + ": " + reason + "\n");
        note_unusable(pass, file, reason);
        return true;
    }
    if (!ready_for_image(settings, pass)) {
        return true;
    }
    if (!due_now(turn, pass)) {
        return false;
    }
    char line[160];
    snprintf(line, sizeof line, " on (x, y, w, h) = (%d, %d, %d, %d)\n", a.x, a.y, a.w, a.h);
    pass.on.say("Display " + settings.img + line);
    stage_picture picture = numbered_picture(settings.img, file, turn, settings, pass);
    picture.area = a;
    update_done(pass.on.show(picture), file, settings.quiet, pass);
    return true;
}

void play_area_phase(const picture_group &group, dpy_imgs_info &settings, pass_state &pass) {
    for (const picture_list &list : group.area_lists) {
        if (pass_cut(pass)) {
            return;
        }
        for (size_t k = 0; k < list.items.size(); ++k) {
            if (!show_area_image(list, k, {group.when, list.items[k]}, settings, pass)) {
                continue;
            }
            if (pass.cut_short ||
                list_ends_after_image(list, "Area update display stop \r",
                                      "Area update display signal stop \r", pass)) {
                break;
            }
        }
    }
}

// The groups in document order; a group whose `when` does not hold as its turn comes is passed
// over, as if absent.
void play_pass(playlist_file &playlist, pass_state &pass) {
    for (const picture_group &group : playlist.groups) {
        if (!group.when.holds(pass.on.now())) {
            ++pass.passed_over;
            continue;
        }
        pass.on.say("Full update:\n");
        play_full_phase(group, playlist.settings, pass);
        if (pass_cut(pass) || stop_requested(pass)) {
            return;
        }
        pass.on.say("Area update:\n");
        play_area_phase(group, playlist.settings, pass);
        if (pass_cut(pass)) {
            return;
        }
        pass.stop = stop_of(group.stop);
    }
}

// Whether some picture of the playlist is due at t: its group's `when` and its own hold.
bool anything_due(const playlist_file &playlist, std::time_t t) {
    bool due = false;
    playlist.for_each_item([&](const picture_group &group, const playlist_item &item) {
        due = due || (group.when.holds(t) && item.when.holds(t));
    });
    return due;
}

// The first moment after now at which some picture of the playlist is due; none when none ever
// will be again.
std::optional<std::time_t> next_due(const playlist_file &playlist, std::time_t now) {
    std::vector<const schedule *> schedules;
    const picture_group *last_group = nullptr;
    playlist.for_each_item([&](const picture_group &group, const playlist_item &item) {
        if (&group != last_group) {
            schedules.push_back(&group.when);
            last_group = &group;
        }
        schedules.push_back(&item.when);
    });
    return schedule::first_moment(schedules, now,
                                  [&](std::time_t t) { return anything_due(playlist, t); });
}

// A pass that had nothing to show because every picture it holds was left out by its `when` (not
// one that ends on a stop, was stopped or cut short).
bool nothing_due(const pass_state &pass) {
    return pass.passed_over > 0 && pass.pictures_taken == 0 && pass.first_unusable.empty() &&
           !pass.stop && !pass_cut(pass) && !stop_requested(pass);
}

// Waits until moment, when a picture of the playlist is due; false when the walk ends meanwhile.
bool wait_until_due(const playlist_file &playlist, std::time_t moment, pass_state &pass) {
    stage_wait wait;
    wait.why = stage_wait::reason::nothing_to_show;
    wait.until = moment;
    wait.until_text = local_time_text(moment, false);
    return wait_out(
        wait, [&] { return anything_due(playlist, pass.on.now()); }, pass);
}

// Puts a playlist's settings into effect for the images that follow.
void use_playlist(const playlist_file &playlist, pass_state &pass) {
    pass.playing_content = &playlist.content;
    pass.on.use_settings(playlist.settings);
    pass.pass_number = 0;
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

// why: the reason the pass had nothing to show, or null for the first picture that could not be
// used (or none named).
void report_empty_pass(const pass_state &pass, const char *why) {
    std::string reason = why != nullptr ? why : "the playlist names no picture";
    if (why == nullptr && !pass.first_unusable.empty()) {
        reason = "the first that could not be used: " + pass.first_unusable;
    }
    pass.on.complain("A whole pass of the playlist showed no image; the show ends (" + reason +
                     ")\n");
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
        pass.pictures_taken = 0;
        pass.passed_over = 0;
        play_pass(*playing, pass);
        if (pass.panel_lost) {
            return 0;
        }
        // Nothing was due: the next pass comes when something is.
        if (nothing_due(pass)) {
            const std::optional<std::time_t> next = next_due(*playing, pass.on.now());
            if (!next) {
                report_empty_pass(pass, "no picture of the playlist is due again");
                return 1;
            }
            if (wait_until_due(*playing, *next, pass)) {
                continue;
            }
        }
        // A hang-up that no image boundary took (a pass without images) is taken at its end.
        if (pass.reloaded || (!pass.stop && !stop_requested(pass) && reload_if_asked(pass))) {
            playing = std::move(pass.reloaded);
            use_playlist(*playing, pass);
            continue;
        }
        const bool last_pass = passes > 0 && ++played == passes;
        if (showed_nothing(pass, last_pass)) {
            report_empty_pass(pass, nullptr);
            return 1;
        }
        if (pass.stop) {
            pass.on.say("stop tag " + *pass.stop + " and exit\r\n");
            return 0;
        }
        if (last_pass) {
            pass.on.say("Played " + std::to_string(passes) + (passes == 1 ? " pass" : " passes") +
                        " (--passes " + std::to_string(passes) + "): the show ends\n");
            return 0;
        }
        if (stop_requested(pass)) {
            return 0;
        }
    }
}

} // namespace

int walk_playlist(std::unique_ptr<playlist_file> playing, stage &on, int passes) {
    pass_state pass(on, playing->path);
    use_playlist(*playing, pass);
    return play_passes(playing, pass, passes);
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
    panel_stage on(panel, status, recovery, stop_flag, hang_ups, playing->path);
    const int result = walk_playlist(std::move(playing), on, passes);
    if (status) {
        status->show_ended();
    }
    return result;
}
