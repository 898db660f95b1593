#include "main.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>
#include <unistd.h>

#include "epd.h"
#include "usb_controller.h"

namespace {

const char *const rule_line = "***************************************************";
const char *const version_label = "EPD_CTRS00QVB0002";
const char *const build_date = "2019/11/26-17:59:29";

// Raised by the signal handler, read afresh by the player at each of its checks.
volatile sig_atomic_t ucFlag = 0;

void write_all(const char *text) {
    size_t left = strlen(text);
    while (left > 0) {
        ssize_t n = write(STDOUT_FILENO, text, left);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        text += n;
        left -= static_cast<size_t>(n);
    }
}

void terminate_app(int) {
    int saved_errno = errno;
    write_all("ctrl+c SIGINT Triggerred!. Close USB\n");
    write_all("stop Flag flip!\n");
    ucFlag = 1;
    // Whichever of the two comes next, a second request ends the process at once.
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGINT, &default_action, nullptr);
    sigaction(SIGTERM, &default_action, nullptr);
    errno = saved_errno;
}

// The handler runs once; the default disposition is back afterwards for both SIGINT and
// SIGTERM, so a second request ends the process at once instead of waiting out a slide.
void arm_stop_handler() {
    struct sigaction action = {};
    action.sa_handler = terminate_app;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGABRT, &action, nullptr);
}

void print_banner() {
    puts(rule_line);
    printf("### EPD Controller version:\t%s\n", version_label);
    printf("### Build Date:\t\t\t%s\n", build_date);
    puts(rule_line);
}

// Integers read as atoi does (blanks, sign, digits up to the first other character),
// kept within the 32-bit range instead of overflowing.
int32_t read_integer(const char *text) {
    long long value = strtoll(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

// Element texts exactly as written: white space and line breaks are part of file names.
const unsigned int parse_options = pugi::parse_default | pugi::parse_ws_pcdata;

bool read_whole_file(const char *path, std::string &content) {
    FILE *file = fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
        content.append(chunk, n);
    }
    bool read_ok = ferror(file) == 0;
    int saved_errno = errno;
    fclose(file);
    errno = saved_errno;
    return read_ok;
}

void line_and_column(const std::string &content, ptrdiff_t offset, int &line, int &column) {
    line = 1;
    column = 1;
    for (ptrdiff_t i = 0; i < offset && i < static_cast<ptrdiff_t>(content.size()); ++i) {
        if (content[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
}

// Parses the playlist at path into doc; on failure prints what is wrong and returns false.
bool load_playlist(const char *path, pugi::xml_document &doc) {
    std::string content;
    errno = 0;
    if (!read_whole_file(path, content)) {
        fprintf(stderr, "Error: cannot read playlist file '%s': %s\n", path,
                strerror(errno != 0 ? errno : EIO));
        return false;
    }
    pugi::xml_parse_result result = doc.load_buffer(content.data(), content.size(), parse_options);
    if (!result) {
        int line = 0, column = 0;
        line_and_column(content, result.offset, line, column);
        fprintf(stderr,
                "Error: playlist file '%s' is not well-formed XML: %s at line %d, column %d\n",
                path, result.description(), line, column);
        return false;
    }
    return true;
}

pugi::xml_node find_epd(const char *path, const pugi::xml_document &doc) {
    pugi::xml_node epd_node = doc.document_element().child("epd");
    if (!epd_node) {
        fprintf(stderr, "Error: playlist file '%s' has no <epd> element under its root element\n",
                path);
    }
    return epd_node;
}

const char *const setting_names[] = {
    "color",       "image_path",    "slide_interval", "en_set_temperature",
    "temperature", "waveform_mode", "rotate"};

bool has_every_setting(const char *path, pugi::xml_node epd_node) {
    for (const char *name : setting_names) {
        if (!epd_node.child(name)) {
            fprintf(stderr, "Error: playlist file '%s' has no <%s> setting in its <epd> element\n",
                    path, name);
            return false;
        }
    }
    return true;
}

// The text of an optional keyword or number setting, without surrounding blanks.
std::string trimmed_text(pugi::xml_node node) {
    std::string text = node.child_value();
    const char *blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool whole_number(const std::string &text, long low, long high, int32_t &value) {
    if (text.empty() || text.size() > 11) {
        return false;
    }
    size_t start = text[0] == '-' || text[0] == '+' ? 1 : 0;
    if (start == text.size() || text.find_first_not_of("0123456789", start) != std::string::npos) {
        return false;
    }
    long number = strtol(text.c_str(), nullptr, 10);
    if (number < low || number > high) {
        return false;
    }
    value = static_cast<int32_t>(number);
    return true;
}

void report_bad_setting(const char *path, const char *element, const std::string &text,
                        const char *expected) {
    fprintf(stderr, "Error: playlist file '%s': <%s> holds '%s'; expected %s\n", path, element,
            text.c_str(), expected);
}

// Reads <fit>, <background>, <dither> and <clear_every> when present and echoes each one.
bool read_optional_settings(const char *path, pugi::xml_node epd_node, dpy_imgs_info &s,
                            std::string &echo) {
    if (pugi::xml_node node = epd_node.child("fit")) {
        std::string word = trimmed_text(node);
        if (word == "stretch") {
            s.picture.fit = fit_mode::stretch;
        } else if (word == "contain") {
            s.picture.fit = fit_mode::contain;
        } else if (word == "cover") {
            s.picture.fit = fit_mode::cover;
        } else {
            report_bad_setting(path, "fit", node.child_value(), "stretch, contain or cover");
            return false;
        }
        echo += "fit = " + word + "\n";
    }
    if (pugi::xml_node node = epd_node.child("background")) {
        int32_t grey = 0;
        if (!whole_number(trimmed_text(node), 0, 255, grey)) {
            report_bad_setting(path, "background", node.child_value(), "a grey from 0 to 255");
            return false;
        }
        s.picture.background = grey;
        echo += "background = " + std::to_string(grey) + "\n";
    }
    if (pugi::xml_node node = epd_node.child("dither")) {
        std::string word = trimmed_text(node);
        if (word != "none" && word != "floyd-steinberg") {
            report_bad_setting(path, "dither", node.child_value(), "none or floyd-steinberg");
            return false;
        }
        s.picture.dither = word == "floyd-steinberg";
        echo += "dither = " + word + "\n";
    }
    if (pugi::xml_node node = epd_node.child("clear_every")) {
        if (!whole_number(trimmed_text(node), 0, INT32_MAX, s.clear_every)) {
            report_bad_setting(path, "clear_every", node.child_value(),
                               "a whole number of images, 0 or more");
            return false;
        }
        echo += "clear_every = " + std::to_string(s.clear_every) + "\n";
    }
    return true;
}

void print_settings(const dpy_imgs_info &s) {
    printf("epd name = %s\n", s.name.c_str());
    printf("color = %s\n", s.color.c_str());
    printf("image path = %s\n", s.image_path.c_str());
    printf("slide interval = %d\n", s.slide_interval);
    printf("en set temp    = %d\n", s.en_set_temperature);
    printf("temperature    = %d\n", s.temperature);
    printf("waveform_mode  = %d\n", s.waveform_mode);
    printf("rotate  = %d\n", s.rotate);
}

} // namespace

bool parsing_xml_file(const char *path, dpy_imgs_info &settings) {
    pugi::xml_document doc;
    if (!load_playlist(path, doc)) {
        return false;
    }
    pugi::xml_node epd_node = find_epd(path, doc);
    if (!epd_node || !has_every_setting(path, epd_node)) {
        return false;
    }
    settings.name = epd_node.attribute("name").value();
    settings.color = epd_node.child("color").child_value();
    settings.image_path = epd_node.child("image_path").child_value();
    settings.slide_interval = read_integer(epd_node.child("slide_interval").child_value());
    settings.en_set_temperature = read_integer(epd_node.child("en_set_temperature").child_value());
    settings.temperature = read_integer(epd_node.child("temperature").child_value());
    settings.waveform_mode = read_integer(epd_node.child("waveform_mode").child_value());
    settings.rotate = read_integer(epd_node.child("rotate").child_value());
    std::string optional_echo;
    if (!read_optional_settings(path, epd_node, settings, optional_echo)) {
        return false;
    }
    print_settings(settings);
    fputs(optional_echo.c_str(), stdout);
    return true;
}

dpy_area parsing_area(const char *text) {
    int32_t values[4] = {0, 0, 0, 0};
    int count = 0;
    const char *p = text;
    while (*p != '\0' && count < 4) {
        while (*p == ',') {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        values[count++] = read_integer(p);
        while (*p != '\0' && *p != ',') {
            ++p;
        }
    }
    dpy_area area;
    area.x = values[0];
    area.y = values[1];
    area.w = values[2];
    area.h = values[3];
    return area;
}

namespace {

// The panel lives until the program ends; nothing destroys it.
epd *the_panel = nullptr;

bool start_panel() {
    // A show run before in the same process (tests, fuzzing) left its panel: it goes before the
    // USB layer starts again, so its controllers close nothing of the new session.
    delete the_panel;
    the_panel = nullptr;
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
    the_panel = new epd(count);
    return the_panel->is_ready();
}

// What one pass of the playlist did, for the decisions at its end.
struct pass_state {
    pugi::xml_node stop; // the latest stop lookup, whatever it found
    int images_shown = 0;
    bool controllers_gone = false;
    int32_t clear_every = 0;
    int64_t since_clear = 0; // images shown since the last deep clear, across passes
};

// Counts an image shown and gives the panel its deep clear after every clear_every images.
void image_shown(pass_state &pass) {
    ++pass.images_shown;
    if (pass.clear_every <= 0 || ++pass.since_clear < pass.clear_every) {
        return;
    }
    pass.since_clear = 0;
    printf("Deep clear after %d images\n", pass.clear_every);
    the_panel->deep_clear();
}

std::string image_file(const dpy_imgs_info &settings) {
    return settings.image_path + settings.img;
}

// After an image: false when the show cannot go on because every controller has left the bus.
bool controllers_present(pass_state &pass) {
    if (usb_present_count() == 0) {
        pass.controllers_gone = true;
        return false;
    }
    return true;
}

void play_full_phase(pugi::xml_node group, dpy_imgs_info &settings, pass_state &pass) {
    for (pugi::xml_node list = group.child("full_update"); list && !pass.controllers_gone;
         list = list.next_sibling("full_update")) {
        for (pugi::xml_node img = list.child("img"); img; img = img.next_sibling("img")) {
            settings.img = img.child_value();
            printf("Display : %s \n", settings.img.c_str());
            the_panel->eInk_display_full(image_file(settings), settings.waveform_mode,
                                         settings.rotate, settings.slide_interval,
                                         settings.en_set_temperature);
            image_shown(pass);
            pass.stop = list.child("stop");
            if (!controllers_present(pass)) {
                return;
            }
            if (pass.stop) {
                puts("Full display stop \r");
                break;
            }
            if (ucFlag == 1) {
                puts("Full display signal stop \r");
                break;
            }
        }
    }
}

// Areas the controllers cannot show are refused here, before any command is sent.
// An area may reach below the panel (those rows are dropped), but not be taller than it: the
// picture is scaled to the whole area, so an area picture never costs more than a whole-panel one.
bool area_fits_panel(const dpy_area &a) {
    return a.w > 0 && a.h > 0 && a.x >= 0 && a.y >= 0 &&
           static_cast<int64_t>(a.x) + a.w <= the_panel->get_width() &&
           a.h <= the_panel->get_height();
}

void show_area_image(pugi::xml_node area, dpy_imgs_info &settings, pass_state &pass) {
    if (!area) {
        fprintf(stderr, "Skip image %s: its <area_update> has no <area> for it\n",
                settings.img.c_str());
        return;
    }
    settings.area = parsing_area(area.child_value());
    const dpy_area &a = settings.area;
    if (!area_fits_panel(a)) {
        fprintf(stderr,
                "Skip image %s: area (x, y, w, h) = (%d, %d, %d, %d) does not fit the %d x %d "
                "panel\n",
                settings.img.c_str(), a.x, a.y, a.w, a.h, the_panel->get_width(),
                the_panel->get_height());
        return;
    }
    printf("Display %s on (x, y, w, h) = (%d, %d, %d, %d)\n", settings.img.c_str(), a.x, a.y, a.w,
           a.h);
    the_panel->eInk_display_partial(image_file(settings), a.x, a.y, a.w, a.h,
                                    settings.waveform_mode, settings.rotate,
                                    settings.slide_interval, settings.en_set_temperature);
    image_shown(pass);
}

void play_area_phase(pugi::xml_node group, dpy_imgs_info &settings, pass_state &pass) {
    for (pugi::xml_node list = group.child("area_update"); list && !pass.controllers_gone;
         list = list.next_sibling("area_update")) {
        pugi::xml_node area = list.child("area");
        for (pugi::xml_node img = list.child("img"); img; img = img.next_sibling("img")) {
            settings.img = img.child_value();
            show_area_image(area, settings, pass);
            area = area.next_sibling("area");
            pass.stop = list.child("stop");
            if (!controllers_present(pass)) {
                return;
            }
            if (pass.stop) {
                puts("Area update display stop \r");
                break;
            }
            if (ucFlag == 1) {
                puts("Area update display signal stop \r");
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
        if (pass.controllers_gone || ucFlag == 1) {
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

} // namespace

int slide_show(const char *path, dpy_imgs_info settings) {
    pugi::xml_document doc;
    if (!load_playlist(path, doc)) {
        return 1;
    }
    if (!start_panel()) {
        return 1;
    }
    the_panel->set_picture_options(settings.picture);
    pugi::xml_node epd_node = doc.document_element().child("epd");
    pass_state pass;
    pass.clear_every = settings.clear_every;
    for (;;) {
        pass.images_shown = 0;
        play_pass(epd_node, settings, pass);
        if (pass.controllers_gone) {
            fprintf(stderr,
                    "Error: every e-paper controller has left the USB bus; the show ends\n");
            return 1;
        }
        if (pass.stop) {
            printf("stop tag %s and exit\r\n", pass.stop.child_value());
            return 0;
        }
        if (ucFlag == 1) {
            return 0;
        }
        if (pass.images_shown == 0) {
            fprintf(stderr, "A whole pass of the playlist showed no image; the show ends\n");
            return 0;
        }
    }
}

int main(int argc, char *argv[]) {
    // Line by line, so progress reaches a log or pipe in step with the signal handler's lines.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char *path = argc > 1 ? argv[1] : nullptr;
    print_banner();
    printf("Input xml file : %s\n", path != nullptr ? path : "");
    // Down at every start, also when the entry runs again in the same process.
    ucFlag = 0;
    arm_stop_handler();
    if (path == nullptr) {
        puts("Input file is null");
        return 0;
    }
    dpy_imgs_info settings;
    if (!parsing_xml_file(path, settings)) {
        return 1;
    }
    int status = slide_show(path, settings);
    usb_close();
    if (status != 0) {
        return status;
    }
    puts("Done");
    return 0;
}
