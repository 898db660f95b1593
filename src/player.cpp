#include "player.h"

#include <cstdio>
#include <string>

#include "epd.h"
#include "usb_controller.h"

namespace {

// What the walk borrows from the player, and what one pass of the playlist did, for the
// decisions at its end.
struct pass_state {
    pass_state(epd &panel, const volatile sig_atomic_t &stop_flag, int32_t clear_every)
        : panel(panel), stop_flag(stop_flag), clear_every(clear_every) {}

    epd &panel;
    const volatile sig_atomic_t &stop_flag;
    pugi::xml_node stop; // the latest stop lookup, whatever it found
    int images_shown = 0;
    std::string first_unusable; // the first picture of the pass that could not be used, and why
    bool controllers_gone = false;
    int32_t clear_every;
    int64_t since_clear = 0; // images shown since the last deep clear, across passes
};

bool stop_requested(const pass_state &pass) {
    return pass.stop_flag == 1;
}

// Counts an image shown and gives the panel its deep clear after every clear_every images.
void image_shown(pass_state &pass) {
    ++pass.images_shown;
    if (pass.clear_every <= 0 || ++pass.since_clear < pass.clear_every) {
        return;
    }
    pass.since_clear = 0;
    printf("Deep clear after %d images\n", pass.clear_every);
    pass.panel.deep_clear();
}

std::string image_file(const dpy_imgs_info &settings) {
    return settings.image_path + settings.img;
}

// Remembers the first picture of the pass that could not be used, for the end of a pass that
// showed nothing.
void note_unusable(pass_state &pass, const std::string &picture, const std::string &reason) {
    if (pass.first_unusable.empty()) {
        pass.first_unusable = "'" + picture + "': " + reason;
    }
}

// Counts an image the update showed, or notes why its picture could not be used.
void update_done(int result, const dpy_imgs_info &settings, pass_state &pass) {
    if (result == 0) {
        image_shown(pass);
    } else if (result == epd::picture_unusable) {
        note_unusable(pass, image_file(settings), pass.panel.get_picture_problem());
    }
}

// After an image of a list: true when the list ends there, because every controller has left the
// bus (which ends the phase too), the list holds a stop element, or the stop flag is up. The
// last two print their line.
bool list_ends_after_image(pugi::xml_node list, const char *stop_line, const char *signal_line,
                           pass_state &pass) {
    pass.stop = list.child("stop");
    if (usb_present_count() == 0) {
        pass.controllers_gone = true;
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

void play_full_phase(pugi::xml_node group, dpy_imgs_info &settings, pass_state &pass) {
    for (pugi::xml_node list = group.child("full_update"); list && !pass.controllers_gone;
         list = list.next_sibling("full_update")) {
        for (pugi::xml_node img = list.child("img"); img; img = img.next_sibling("img")) {
            settings.img = img.child_value();
            printf("Display : %s \n", settings.img.c_str());
            update_done(pass.panel.eInk_display_full(image_file(settings), settings.waveform_mode,
                                                     settings.rotate, settings.slide_interval,
                                                     settings.en_set_temperature),
                        settings, pass);
            if (list_ends_after_image(list, "Full display stop \r", "Full display signal stop \r",
                                      pass)) {
                break;
            }
        }
    }
}

// Areas the controllers cannot show are refused here, before any command is sent.
void show_area_image(pugi::xml_node area, dpy_imgs_info &settings, pass_state &pass) {
    if (!area) {
        fprintf(stderr, "Skip image %s: its <area_update> has no <area> for it\n",
                settings.img.c_str());
        note_unusable(pass, image_file(settings), "its <area_update> has no <area> for it");
        return;
    }
    settings.area = parsing_area(area.child_value());
    const dpy_area &a = settings.area;
    if (!area_fits(a, pass.panel.get_width(), pass.panel.get_height())) {
        char reason[160];
        snprintf(reason, sizeof reason,
                 "area (x, y, w, h) = (%d, %d, %d, %d) does not fit the %d x %d panel", a.x, a.y,
                 a.w, a.h, pass.panel.get_width(), pass.panel.get_height());
        fprintf(stderr, "Skip image %s: %s\n", settings.img.c_str(), reason);
        note_unusable(pass, image_file(settings), reason);
        return;
    }
    printf("Display %s on (x, y, w, h) = (%d, %d, %d, %d)\n", settings.img.c_str(), a.x, a.y, a.w,
           a.h);
    update_done(pass.panel.eInk_display_partial(
                    image_file(settings), a.x, a.y, a.w, a.h, settings.waveform_mode,
                    settings.rotate, settings.slide_interval, settings.en_set_temperature),
                settings, pass);
}

void play_area_phase(pugi::xml_node group, dpy_imgs_info &settings, pass_state &pass) {
    for (pugi::xml_node list = group.child("area_update"); list && !pass.controllers_gone;
         list = list.next_sibling("area_update")) {
        pugi::xml_node area = list.child("area");
        for (pugi::xml_node img = list.child("img"); img; img = img.next_sibling("img")) {
            settings.img = img.child_value();
            show_area_image(area, settings, pass);
            area = area.next_sibling("area");
            if (list_ends_after_image(list, "Area update display stop \r",
                                      "Area update display signal stop \r", pass)) {
                break;
            }
        }
    }
}

void play_pass(pugi::xml_node epd_node, dpy_imgs_info &settings, pass_state &pass) {
    for (pugi::xml_node group = epd_node.child("image_name"); group;
         group = group.next_sibling("image_name")) {
        puts("Full update:");
        play_full_phase(group, settings, pass);
        if (pass.controllers_gone || stop_requested(pass)) {
            return;
        }
        puts("Area update:");
        play_area_phase(group, settings, pass);
        if (pass.controllers_gone) {
            return;
        }
        pass.stop = group.child("stop");
    }
}

// A pass that showed no image fails the show, so that a service manager starts it again: its
// pictures may not be there yet. A stop request, or a stop element in a pass that had nothing to
// show, still ends the show as asked.
bool showed_nothing(const pass_state &pass) {
    if (pass.images_shown > 0 || stop_requested(pass)) {
        return false;
    }
    return !pass.first_unusable.empty() || !pass.stop;
}

void report_empty_pass(const pass_state &pass) {
    fprintf(stderr, "A whole pass of the playlist showed no image; the show ends (%s)\n",
            pass.first_unusable.empty()
                ? "the playlist names no picture"
                : ("the first that could not be used: " + pass.first_unusable).c_str());
}

} // namespace

player::player(const volatile sig_atomic_t &stop_flag) : stop_flag(stop_flag) {}

player::~player() {
    usb_close();
}

bool player::start_panel() {
    puts("usb_init");
    int count = usb_init();
    printf("epd_devs = %d\n", count);
    if (count == 0) {
        fprintf(stderr, "Error: no e-paper controller found on the USB bus\n");
        return false;
    }
    if (count < 0) {
        fprintf(stderr, "Error: the USB bus could not be read (libusb error %d)\n", count);
        return false;
    }
    panel = std::make_unique<epd>(count);
    return panel->is_ready();
}

int player::slide_show(const char *path, dpy_imgs_info settings) {
    pugi::xml_document doc;
    if (!load_playlist(path, doc)) {
        return 1;
    }
    if (!start_panel()) {
        return 1;
    }
    panel->set_picture_options(settings.picture);
    pugi::xml_node epd_node = doc.document_element().child("epd");
    pass_state pass(*panel, stop_flag, settings.clear_every);
    for (;;) {
        pass.images_shown = 0;
        pass.first_unusable.clear();
        play_pass(epd_node, settings, pass);
        if (pass.controllers_gone) {
            fprintf(stderr,
                    "Error: every e-paper controller has left the USB bus; the show ends\n");
            return 1;
        }
        if (showed_nothing(pass)) {
            report_empty_pass(pass);
            return 1;
        }
        if (pass.stop) {
            printf("stop tag %s and exit\r\n", pass.stop.child_value());
            return 0;
        }
        if (stop_requested(pass)) {
            return 0;
        }
    }
}
