#include "player.h"

#include <cstdio>
#include <functional>
#include <string>

#include "epd.h"
#include "panel_recovery.h"
#include "service_notify.h"
#include "tool.h"
#include "usb_controller.h"

namespace {

// What the walk borrows from the player, and what one pass of the playlist did, for the
// decisions at its end. The panel is the player's: a panel that fails is replaced by the one
// brought back.
struct pass_state {
    pass_state(std::unique_ptr<epd> &panel, panel_recovery &recovery,
               const volatile sig_atomic_t &stop_flag, const dpy_imgs_info &settings)
        : panel(panel), recovery(recovery), stop_flag(stop_flag), picture(settings.picture),
          clear_every(settings.clear_every) {}

    std::unique_ptr<epd> &panel;
    panel_recovery &recovery;
    const volatile sig_atomic_t &stop_flag;
    const picture_options &picture;
    pugi::xml_node stop; // the latest stop lookup, whatever it found
    int images_shown = 0;
    int images_in_pass = 0;  // img elements of the playlist, for the status line
    int image_number = 0;    // of the image being shown, in this pass
    bool panel_lost = false; // a stop request came while waiting for the panel to come back
    int32_t clear_every;
    int64_t since_clear = 0; // images shown since the last deep clear, across passes
};

bool stop_requested(const pass_state &pass) {
    return pass.stop_flag == 1;
}

// Replaces the failed panel by one brought back; false when a stop request ended the wait.
bool bring_panel_back(pass_state &pass) {
    pass.panel = pass.recovery.bring_back(std::move(pass.panel));
    if (pass.panel == nullptr) {
        pass.panel_lost = true;
        return false;
    }
    pass.panel->set_picture_options(pass.picture);
    return true;
}

// Runs update on the panel; when the panel fails meanwhile, brings it back and runs update again,
// so the image is shown whole. False when the show must end instead.
bool show_on_panel(pass_state &pass, const std::string &name,
                   const std::function<void(epd &)> &update) {
    reopen_log_if_asked();
    service_status("showing " + name + ", image " + std::to_string(++pass.image_number) + " of " +
                   std::to_string(pass.images_in_pass));
    service_alive();
    for (;;) {
        update(*pass.panel);
        if (!pass.panel->failed()) {
            return true;
        }
        if (!bring_panel_back(pass)) {
            return false;
        }
    }
}

// Counts an image shown and gives the panel its deep clear after every clear_every images.
void image_shown(pass_state &pass) {
    ++pass.images_shown;
    if (pass.clear_every <= 0 || ++pass.since_clear < pass.clear_every) {
        return;
    }
    pass.since_clear = 0;
    printf("Deep clear after %d images\n", pass.clear_every);
    pass.panel->deep_clear();
    if (pass.panel->failed()) {
        bring_panel_back(pass);
    }
}

int images_in(pugi::xml_node epd_node) {
    int count = 0;
    for (pugi::xml_node group : epd_node.children("image_name")) {
        for (const char *kind : {"full_update", "area_update"}) {
            for (pugi::xml_node list : group.children(kind)) {
                for (pugi::xml_node img = list.child("img"); img; img = img.next_sibling("img")) {
                    ++count;
                }
            }
        }
    }
    return count;
}

std::string image_file(const dpy_imgs_info &settings) {
    return settings.image_path + settings.img;
}

// After an image of a list: true when the list ends there, because the panel was lost (which ends
// the phase too), the list holds a stop element, or the stop flag is up. The last two print their
// line.
bool list_ends_after_image(pugi::xml_node list, const char *stop_line, const char *signal_line,
                           pass_state &pass) {
    pass.stop = list.child("stop");
    if (pass.panel_lost) {
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
    for (pugi::xml_node list = group.child("full_update"); list && !pass.panel_lost;
         list = list.next_sibling("full_update")) {
        for (pugi::xml_node img = list.child("img"); img; img = img.next_sibling("img")) {
            settings.img = img.child_value();
            printf("Display : %s \n", settings.img.c_str());
            if (show_on_panel(pass, settings.img, [&](epd &panel) {
                    panel.eInk_display_full(image_file(settings), settings.waveform_mode,
                                            settings.rotate, settings.slide_interval,
                                            settings.en_set_temperature);
                })) {
                image_shown(pass);
            }
            if (list_ends_after_image(list, "Full display stop \r", "Full display signal stop \r",
                                      pass)) {
                break;
            }
        }
    }
}

// Areas the controllers cannot show are refused here, before any command is sent.
// An area may reach below the panel (those rows are dropped), but not be taller than it: the
// picture is scaled to the whole area, so an area picture never costs more than a whole-panel one.
bool area_fits_panel(const dpy_area &a, const epd &panel) {
    return a.w > 0 && a.h > 0 && a.x >= 0 && a.y >= 0 &&
           static_cast<int64_t>(a.x) + a.w <= panel.get_width() && a.h <= panel.get_height();
}

void show_area_image(pugi::xml_node area, dpy_imgs_info &settings, pass_state &pass) {
    if (!area) {
        fprintf(stderr, "Skip image %s: its <area_update> has no <area> for it\n",
                settings.img.c_str());
        return;
    }
    settings.area = parsing_area(area.child_value());
    const dpy_area &a = settings.area;
    if (!area_fits_panel(a, *pass.panel)) {
        fprintf(stderr,
                "Skip image %s: area (x, y, w, h) = (%d, %d, %d, %d) does not fit the %d x %d "
                "panel\n",
                settings.img.c_str(), a.x, a.y, a.w, a.h, pass.panel->get_width(),
                pass.panel->get_height());
        return;
    }
    printf("Display %s on (x, y, w, h) = (%d, %d, %d, %d)\n", settings.img.c_str(), a.x, a.y, a.w,
           a.h);
    if (show_on_panel(pass, settings.img, [&](epd &panel) {
            panel.eInk_display_partial(image_file(settings), a.x, a.y, a.w, a.h,
                                       settings.waveform_mode, settings.rotate,
                                       settings.slide_interval, settings.en_set_temperature);
        })) {
        image_shown(pass);
    }
}

void play_area_phase(pugi::xml_node group, dpy_imgs_info &settings, pass_state &pass) {
    for (pugi::xml_node list = group.child("area_update"); list && !pass.panel_lost;
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
        if (pass.panel_lost || stop_requested(pass)) {
            return;
        }
        puts("Area update:");
        play_area_phase(group, settings, pass);
        if (pass.panel_lost) {
            return;
        }
        pass.stop = group.child("stop");
    }
}

} // namespace

player::player(const volatile sig_atomic_t &stop_flag) : stop_flag(stop_flag) {}

player::~player() {
    // Reports still held back are summed up before the log closes.
    end_repeated_reports(-1);
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
    if (!panel->is_ready()) {
        return false;
    }
    panel->explain_missing_layout();
    service_ready();
    return true;
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
    panel_recovery recovery(stop_flag);
    pass_state pass(panel, recovery, stop_flag, settings);
    pass.images_in_pass = images_in(epd_node);
    for (;;) {
        pass.images_shown = 0;
        pass.image_number = 0;
        play_pass(epd_node, settings, pass);
        if (pass.panel_lost) {
            return 0;
        }
        if (pass.stop) {
            printf("stop tag %s and exit\r\n", pass.stop.child_value());
            return 0;
        }
        if (stop_requested(pass)) {
            return 0;
        }
        if (pass.images_shown == 0) {
            fprintf(stderr, "A whole pass of the playlist showed no image; the show ends\n");
            return 0;
        }
    }
}
