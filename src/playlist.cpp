#include "playlist.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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

bool area_fits(const dpy_area &a, int width, int height) {
    return a.w > 0 && a.h > 0 && a.x >= 0 && a.y >= 0 && int64_t{a.x} + a.w <= width &&
           a.h <= height;
}
