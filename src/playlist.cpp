#include "playlist.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pugixml.hpp>

#include "panel_layout.h"
#include "status_report.h"
#include "tool.h"

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

// The line of a node of a parsed document, from an index of where each line of its text starts.
class line_index {
  public:
    explicit line_index(const std::string &content) {
        for (size_t i = 0; i < content.size(); ++i) {
            if (content[i] == '\n') {
                line_ends.push_back(static_cast<ptrdiff_t>(i));
            }
        }
    }
    int line_of(pugi::xml_node node) const {
        const ptrdiff_t offset = node.offset_debug();
        if (offset < 0) {
            return 0;
        }
        return 1 + static_cast<int>(std::lower_bound(line_ends.begin(), line_ends.end(), offset) -
                                    line_ends.begin());
    }

  private:
    std::vector<ptrdiff_t> line_ends;
};

const char *const setting_names[] = {
    "color",       "image_path",    "slide_interval", "en_set_temperature",
    "temperature", "waveform_mode", "rotate"};

const char *const integer_setting_names[] = {"slide_interval", "en_set_temperature", "temperature",
                                             "waveform_mode", "rotate"};

void add_missing_settings(const line_index &text, pugi::xml_node epd_node,
                          std::vector<playlist_finding> &problems) {
    for (const char *name : setting_names) {
        if (!epd_node.child(name)) {
            problems.push_back({text.line_of(epd_node),
                                std::string("no <") + name + "> setting in its <epd> element"});
        }
    }
}

// The text of an optional keyword or number setting, without surrounding blanks.
std::string trimmed_text(pugi::xml_node node) {
    return trimmed(node.child_value());
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

// "<element> holds 'value'; expected ...", the problem of a value that does not read.
playlist_finding bad_value(int line, const std::string &element, const std::string &value,
                           const char *expected) {
    return {line, "<" + element + "> holds '" + value + "'; expected " + expected};
}

// Reads <fit>, <background>, <dither> and <clear_every> when present and echoes each one; a
// value that does not read is added to problems.
void read_optional_settings(const line_index &text, pugi::xml_node epd_node, dpy_imgs_info &s,
                            std::string &echo, std::vector<playlist_finding> &problems) {
    auto bad_setting = [&](pugi::xml_node node, const char *expected) {
        problems.push_back(
            bad_value(text.line_of(node), node.name(), node.child_value(), expected));
    };
    if (pugi::xml_node node = epd_node.child("fit")) {
        std::string word = trimmed_text(node);
        if (word == "stretch") {
            s.picture.fit = fit_mode::stretch;
        } else if (word == "contain") {
            s.picture.fit = fit_mode::contain;
        } else if (word == "cover") {
            s.picture.fit = fit_mode::cover;
        } else {
            bad_setting(node, "stretch, contain or cover");
        }
        echo += "fit = " + word + "\n";
    }
    if (pugi::xml_node node = epd_node.child("background")) {
        int32_t grey = 0;
        if (whole_number(trimmed_text(node), 0, 255, grey)) {
            s.picture.background = grey;
        } else {
            bad_setting(node, "a grey from 0 to 255");
        }
        echo += "background = " + std::to_string(grey) + "\n";
    }
    if (pugi::xml_node node = epd_node.child("dither")) {
        std::string word = trimmed_text(node);
        if (word != "none" && word != "floyd-steinberg") {
            bad_setting(node, "none or floyd-steinberg");
        }
        s.picture.dither = word == "floyd-steinberg";
        echo += "dither = " + word + "\n";
    }
    if (pugi::xml_node node = epd_node.child("clear_every")) {
        if (!whole_number(trimmed_text(node), 0, INT32_MAX, s.clear_every)) {
            bad_setting(node, "a whole number of images, 0 or more");
        }
        echo += "clear_every = " + std::to_string(s.clear_every) + "\n";
    }
}

// The number of single-character edits that turn a into b.
size_t edit_distance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The names of the elements the reader knows under parent ("" for the root's <epd>).
std::vector<std::string> known_under(const std::string &parent) {
    std::vector<std::string> names;
    for (const playlist_element &element : playlist_elements()) {
        if (parent == element.parent) {
            names.push_back(element.name);
        }
    }
    return names;
}

// Where an element the reader knows is read, for one written under another parent.
std::string parents_of(const std::string &name) {
    std::string parents;
    for (const playlist_element &element : playlist_elements()) {
        if (name == element.name && *element.parent != '\0') {
            parents += std::string(parents.empty() ? "<" : ", <") + element.parent + ">";
        }
    }
    return parents;
}

// What is wrong with an element that is not read under its parent: a name known elsewhere, or
// likely a typo of the closest known name.
std::string unknown_element(const std::string &name, const std::string &parent,
                            const std::vector<std::string> &known) {
    const std::string elsewhere = parents_of(name);
    if (!elsewhere.empty()) {
        return "<" + name + "> is not read under <" + parent + ">; it belongs under " + elsewhere;
    }
    const std::string *closest = &known.front();
    for (const std::string &candidate : known) {
        if (edit_distance(name, candidate) < edit_distance(name, *closest)) {
            closest = &candidate;
        }
    }
    return "unknown element <" + name + "> under <" + parent + "> is ignored; did you mean <" +
           *closest + ">?";
}

// Elements the reader does not know under node, and under the known elements below it.
void add_unknown_elements(const line_index &text, pugi::xml_node node,
                          std::vector<playlist_finding> &warnings) {
    const std::vector<std::string> known = known_under(node.name());
    if (known.empty()) {
        return;
    }
    for (pugi::xml_node child : node.children()) {
        if (child.type() != pugi::node_element) {
            continue;
        }
        if (std::find(known.begin(), known.end(), child.name()) == known.end()) {
            warnings.push_back(
                {text.line_of(child), unknown_element(child.name(), node.name(), known)});
        } else {
            add_unknown_elements(text, child, warnings);
        }
    }
}

// An attribute that switches something on: "true" or "false" (blanks around allowed).
bool read_switch(pugi::xml_attribute attribute, bool &on) {
    const std::string word = trimmed(attribute.value());
    on = word == "true";
    return on || word == "false";
}

// Seconds as an <img> or <folder> gives them, in the manner of slide_interval but strict.
bool read_seconds(pugi::xml_attribute attribute, int32_t &seconds) {
    return whole_number(trimmed(attribute.value()), 0, INT32_MAX, seconds);
}

void read_quiet_hours(const line_index &text, pugi::xml_node epd_node, dpy_imgs_info &s,
                      std::string &echo, std::vector<playlist_finding> &problems) {
    pugi::xml_node node = epd_node.child("quiet_hours");
    if (!node) {
        return;
    }
    if (!s.quiet.read(node.child_value())) {
        problems.push_back(bad_value(text.line_of(node), "quiet_hours", node.child_value(),
                                     "windows of the day such as 22:00-07:00, separated by "
                                     "commas, leaving some time of the day to show pictures in"));
        return;
    }
    if (pugi::xml_attribute clear = node.attribute("clear");
        clear && !read_switch(clear, s.quiet.clear)) {
        problems.push_back(
            bad_value(text.line_of(node), "quiet_hours clear", clear.value(), "true or false"));
        return;
    }
    echo += "quiet_hours = " + s.quiet.text() + "\n";
}

// The folder's text is used exactly as written, as image_path is.
void read_status_dir(const line_index &text, pugi::xml_node epd_node, dpy_imgs_info &s,
                     std::string &echo, std::vector<playlist_finding> &problems) {
    pugi::xml_node node = epd_node.child("status_dir");
    if (!node) {
        return;
    }
    s.status_dir = node.child_value();
    if (s.status_dir.empty()) {
        problems.push_back(
            bad_value(text.line_of(node), "status_dir", "", "a folder the tool may write in"));
    }
    echo += "status_dir = " + s.status_dir + "\n";
}

// A `when` attribute of the element at node, when it has one: one that does not read is a
// problem, one that can never hold a warning.
void read_when(const line_index &text, pugi::xml_node node, schedule &when,
               std::vector<playlist_finding> &problems, std::vector<playlist_finding> &warnings) {
    const pugi::xml_attribute attribute = node.attribute("when");
    if (!attribute) {
        return;
    }
    const std::string name = std::string("<") + node.name() + " when>";
    std::string problem;
    if (!when.read(attribute.value(), problem)) {
        problems.push_back({text.line_of(node), name + " holds '" + attribute.value() + "': " +
                                                    problem + "; expected " + schedule::expected});
        return;
    }
    for (const std::string &never : when.never_holding()) {
        warnings.push_back({text.line_of(node), name + " " + never});
    }
}

// An item whose `when` and its group's can each hold, but never at the same time.
void add_never_with_group(const line_index &text, pugi::xml_node item, const schedule &item_when,
                          pugi::xml_node group, const schedule &group_when,
                          std::vector<playlist_finding> &warnings) {
    if (item_when.always() || group_when.always() || !item_when.never_holding().empty() ||
        !group_when.never_holding().empty() || item_when.can_hold_with(group_when)) {
        return;
    }
    warnings.push_back({text.line_of(item), std::string("<") + item.name() + " when> '" +
                                                item.attribute("when").value() +
                                                "' can never hold while its <image_name when> '" +
                                                group.attribute("when").value() + "' does"});
}

// The seconds and shuffle attributes of a picture of the lists, checked before the show.
void check_picture_item(const line_index &text, pugi::xml_node item,
                        std::vector<playlist_finding> &problems) {
    int32_t seconds = 0;
    const std::string name = item.name();
    if (pugi::xml_attribute attribute = item.attribute("seconds");
        attribute && !read_seconds(attribute, seconds)) {
        problems.push_back(bad_value(text.line_of(item), name + " seconds", attribute.value(),
                                     "a whole number of seconds, 0 or more"));
    }
    bool on = false;
    if (pugi::xml_attribute attribute = item.attribute("shuffle");
        name == "folder" && attribute && !read_switch(attribute, on)) {
        problems.push_back(
            bad_value(text.line_of(item), "folder shuffle", attribute.value(), "true or false"));
    }
}

// What the reading of the groups finds: problems refuse the playlist, warnings do not.
struct group_findings {
    std::vector<playlist_finding> &problems;
    std::vector<playlist_finding> &warnings;
};

playlist_item read_item(const line_index &text, pugi::xml_node node, int32_t slide_interval,
                        group_findings found) {
    check_picture_item(text, node, found.problems);
    playlist_item item;
    item.folder = std::string(node.name()) == "folder";
    item.text = node.child_value();
    item.line = text.line_of(node);
    item.seconds = slide_interval;
    if (pugi::xml_attribute seconds = node.attribute("seconds")) {
        read_seconds(seconds, item.seconds);
    }
    read_switch(node.attribute("shuffle"), item.shuffle);
    read_when(text, node, item.when, found.problems, found.warnings);
    return item;
}

std::optional<std::string> stop_of(pugi::xml_node node) {
    const pugi::xml_node stop = node.child("stop");
    return stop ? std::optional<std::string>(stop.child_value()) : std::nullopt;
}

// A <full_update> holds <img> and <folder>, an <area_update> <img> and <area>.
picture_list read_list(const line_index &text, pugi::xml_node node, bool area_list,
                       int32_t slide_interval, const picture_group &group, group_findings found) {
    picture_list list;
    for (pugi::xml_node child : node.children()) {
        const std::string name = child.name();
        if (name == "img" || (name == "folder" && !area_list)) {
            list.items.push_back(read_item(text, child, slide_interval, found));
            add_never_with_group(text, child, list.items.back().when, node.parent(), group.when,
                                 found.warnings);
        } else if (name == "area" && area_list) {
            list.areas.push_back(
                {child.child_value(), text.line_of(child), parsing_area(child.child_value())});
        }
    }
    list.stop = stop_of(node);
    return list;
}

std::vector<picture_group> read_groups(const line_index &text, pugi::xml_node epd_node,
                                       int32_t slide_interval, group_findings found) {
    std::vector<picture_group> groups;
    for (pugi::xml_node node : epd_node.children("image_name")) {
        picture_group group;
        read_when(text, node, group.when, found.problems, found.warnings);
        for (pugi::xml_node list : node.children()) {
            const std::string kind = list.name();
            if (kind == "full_update") {
                group.full_lists.push_back(
                    read_list(text, list, false, slide_interval, group, found));
            } else if (kind == "area_update") {
                group.area_lists.push_back(
                    read_list(text, list, true, slide_interval, group, found));
            }
        }
        group.stop = stop_of(node);
        groups.push_back(std::move(group));
    }
    return groups;
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

const std::vector<playlist_element> &playlist_elements() {
    static const std::vector<playlist_element> elements = {
        {"", "epd", {"name"}},
        {"epd", "color", {}},
        {"epd", "image_path", {}},
        {"epd", "slide_interval", {}},
        {"epd", "en_set_temperature", {}},
        {"epd", "temperature", {}},
        {"epd", "waveform_mode", {}},
        {"epd", "rotate", {}},
        {"epd", "fit", {}},
        {"epd", "background", {}},
        {"epd", "dither", {}},
        {"epd", "clear_every", {}},
        {"epd", "quiet_hours", {"clear"}},
        {"epd", "status_dir", {}},
        {"epd", "image_name", {"when"}},
        {"image_name", "full_update", {}},
        {"image_name", "area_update", {}},
        {"image_name", "stop", {}},
        {"full_update", "img", {"seconds", "when"}},
        {"full_update", "folder", {"seconds", "shuffle", "when"}},
        {"full_update", "stop", {}},
        {"area_update", "img", {"seconds", "when"}},
        {"area_update", "area", {}},
        {"area_update", "stop", {}},
    };
    return elements;
}

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

namespace {

// Parses content into doc; what makes it unusable, naming the file, or "".
std::string parse_playlist(const char *path, const std::string &content, pugi::xml_document &doc) {
    pugi::xml_parse_result result = doc.load_buffer(content.data(), content.size(), parse_options);
    if (!result) {
        int line = 0, column = 0;
        line_and_column(content, result.offset, line, column);
        return std::string("playlist file '") + path +
               "' is not well-formed XML: " + result.description() + " at line " +
               std::to_string(line) + ", column " + std::to_string(column);
    }
    if (!doc.document_element().child("epd")) {
        return std::string("playlist file '") + path +
               "' has no <epd> element under its root element";
    }
    return "";
}

void read_settings(const line_index &text, pugi::xml_node epd_node, playlist_file &playlist) {
    std::vector<playlist_finding> &problems = playlist.problems;
    dpy_imgs_info &settings = playlist.settings;
    std::string &echo = playlist.optional_echo;
    add_missing_settings(text, epd_node, problems);
    settings.name = epd_node.attribute("name").value();
    settings.color = epd_node.child("color").child_value();
    settings.image_path = epd_node.child("image_path").child_value();
    settings.slide_interval = read_integer(epd_node.child("slide_interval").child_value());
    settings.en_set_temperature = read_integer(epd_node.child("en_set_temperature").child_value());
    settings.temperature = read_integer(epd_node.child("temperature").child_value());
    settings.waveform_mode = read_integer(epd_node.child("waveform_mode").child_value());
    settings.rotate = read_integer(epd_node.child("rotate").child_value());
    read_optional_settings(text, epd_node, settings, echo, problems);
    read_quiet_hours(text, epd_node, settings, echo, problems);
    read_status_dir(text, epd_node, settings, echo, problems);
    playlist.status_dir_line = text.line_of(epd_node.child("status_dir"));
}

// The warnings of the settings and the elements, with those found among the groups, in line order.
std::vector<playlist_finding> playlist_warnings(const line_index &text, pugi::xml_node epd_node,
                                                std::vector<playlist_finding> warnings) {
    if (pugi::xml_node rotate = epd_node.child("rotate")) {
        const int32_t degrees = read_integer(rotate.child_value());
        if (degrees != 0 && degrees != 90 && degrees != 180 && degrees != 270) {
            warnings.push_back({text.line_of(rotate),
                                "<rotate> " + std::to_string(degrees) +
                                    " turns no picture: 90, 180 and 270 turn them, 0 does not"});
        }
    }
    add_unknown_elements(text, epd_node, warnings);
    std::stable_sort(
        warnings.begin(), warnings.end(),
        [](const playlist_finding &a, const playlist_finding &b) { return a.line < b.line; });
    return warnings;
}

std::vector<playlist_finding> unread_numbers(const line_index &text, pugi::xml_node epd_node) {
    std::vector<playlist_finding> problems;
    for (const char *name : integer_setting_names) {
        pugi::xml_node node = epd_node.child(name);
        int32_t value = 0;
        if (node && !whole_number(trimmed_text(node), INT32_MIN, INT32_MAX, value)) {
            problems.push_back(
                {text.line_of(node), "<" + std::string(name) + "> holds '" + node.child_value() +
                                         "', which reads as " +
                                         std::to_string(read_integer(node.child_value()))});
        }
    }
    return problems;
}

} // namespace

int playlist_file::pictures_named() const {
    int count = 0;
    for_each_item([&](const picture_group &, const playlist_item &item) { count += !item.folder; });
    return count;
}

playlist_file read_playlist_file(const char *path) {
    playlist_file playlist;
    playlist.path = path;
    errno = 0;
    if (!read_whole_file(path, playlist.content)) {
        playlist.unusable = std::string("cannot read playlist file '") + path +
                            "': " + strerror(errno != 0 ? errno : EIO);
        return playlist;
    }
    pugi::xml_document doc;
    playlist.unusable = parse_playlist(path, playlist.content, doc);
    if (!playlist.unusable.empty()) {
        return playlist;
    }
    const line_index text(playlist.content);
    const pugi::xml_node epd_node = doc.document_element().child("epd");
    read_settings(text, epd_node, playlist);
    std::vector<playlist_finding> group_warnings;
    playlist.groups = read_groups(text, epd_node, playlist.settings.slide_interval,
                                  {playlist.problems, group_warnings});
    playlist.warnings = playlist_warnings(text, epd_node, std::move(group_warnings));
    playlist.loose_numbers = unread_numbers(text, epd_node);
    return playlist;
}

std::vector<playlist_finding> status_dir_problems(const playlist_file &playlist, bool create) {
    const std::string &folder = playlist.settings.status_dir;
    if (folder.empty()) {
        return {};
    }
    const std::string problem = status_folder_problem(folder, create);
    if (problem.empty()) {
        return {};
    }
    return {{playlist.status_dir_line, "<status_dir> '" + folder + "' " + problem}};
}

std::string finding_line(const std::string &path, const playlist_finding &finding) {
    return path + (finding.line > 0 ? ":" + std::to_string(finding.line) : "") + ": " +
           finding.text;
}

std::vector<playlist_finding> playlist_findings(const playlist_file &playlist,
                                                const std::vector<playlist_finding> &status_dir) {
    std::vector<playlist_finding> all = playlist.problems;
    for (const auto *more : {&status_dir, &playlist.loose_numbers, &playlist.warnings}) {
        all.insert(all.end(), more->begin(), more->end());
    }
    std::stable_sort(
        all.begin(), all.end(),
        [](const playlist_finding &a, const playlist_finding &b) { return a.line < b.line; });
    return all;
}

namespace {

// The playlist read, refused as --check would report it, or taken with its warnings on standard
// error. For the show the status folder is made (for a playlist it takes only; otherwise it is
// judged, as --check judges it) and the settings are echoed.
std::unique_ptr<playlist_file> reported_playlist(playlist_file read, bool for_show,
                                                 std::string *refusal) {
    auto playlist = std::make_unique<playlist_file>(std::move(read));
    const std::string &path = playlist->path;
    if (!playlist->unusable.empty()) {
        fprintf(stderr, "Error: %s\n", playlist->unusable.c_str());
        if (refusal != nullptr) {
            *refusal = playlist->unusable;
        }
        return nullptr;
    }
    const std::vector<playlist_finding> status_dir =
        status_dir_problems(*playlist, for_show && playlist->problems.empty());
    if (!playlist->problems.empty() || !status_dir.empty()) {
        std::string lines;
        for (const playlist_finding &finding : playlist_findings(*playlist, status_dir)) {
            const std::string line = finding_line(path, finding);
            fprintf(stderr, "Error: %s\n", line.c_str());
            lines += (lines.empty() ? "" : "; ") + line;
        }
        if (refusal != nullptr) {
            *refusal = lines;
        }
        return nullptr;
    }
    if (for_show) {
        print_settings(playlist->settings);
        fputs(playlist->optional_echo.c_str(), stdout);
    }
    for (const playlist_finding &warning : playlist->warnings) {
        fprintf(stderr, "Warning: %s\n", finding_line(path, warning).c_str());
    }
    return playlist;
}

} // namespace

std::unique_ptr<playlist_file> load_show_playlist(const char *path) {
    return reported_playlist(read_playlist_file(path), true, nullptr);
}

std::unique_ptr<playlist_file> accepted_for_show(playlist_file playlist, std::string *refusal) {
    return reported_playlist(std::move(playlist), true, refusal);
}

std::unique_ptr<playlist_file> load_plan_playlist(const char *path) {
    return reported_playlist(read_playlist_file(path), false, nullptr);
}

bool parsing_xml_file(const char *path, dpy_imgs_info &settings) {
    const std::unique_ptr<playlist_file> playlist = load_show_playlist(path);
    if (playlist) {
        settings = playlist->settings;
    }
    return playlist != nullptr;
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

bool area_fits_some_layout(const dpy_area &a) {
    const std::vector<panel_layout> &layouts = panel_layouts();
    return std::any_of(layouts.begin(), layouts.end(), [&](const panel_layout &layout) {
        return area_fits(a, layout.band_width, layout.panel_height());
    });
}
