// The playlist file: the settings record, the areas, and the reading of the file into the settings
// and the groups of pictures that the show and --check walk.
#ifndef EPDSHOW_PLAYLIST_H
#define EPDSHOW_PLAYLIST_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "img_proc.h"
#include "quiet_hours.h"
#include "schedule.h"

struct dpy_area {
    int32_t x = 0;
    int32_t y = 0;
    int32_t w = 0;
    int32_t h = 0;
};

struct dpy_imgs_info {
    std::string name;
    std::string color;
    std::string image_path;
    std::string img;
    int32_t slide_interval = 0;
    int32_t en_set_temperature = 0;
    int32_t temperature = 0;
    int32_t waveform_mode = 0;
    int32_t rotate = 0;
    dpy_area area;
    // Optional settings; without their elements every image is shown as it always was.
    picture_options picture; // <fit>, <background>, <dither>
    int32_t clear_every = 0; // <clear_every>: a deep clear after every N images; 0 never
    quiet_hours quiet;       // <quiet_hours>: no image shown inside its windows
    std::string status_dir;  // <status_dir>: where now.png, status.json and the play log go
};

// One element that a playlist may hold: the element it stands under ("" for the root's <epd>),
// its name, and the attributes the tool reads on it.
struct playlist_element {
    const char *parent;
    const char *name;
    std::vector<const char *> attributes;
};

// Every element and attribute the tool reads, in one place: what a checker of playlists takes
// as known.
const std::vector<playlist_element> &playlist_elements();

// Something found in a playlist: the line it is on (0 when it cannot be told) and what it is.
struct playlist_finding {
    int line = 0;
    std::string text;
};

// The <area> an area picture is shown in: as written, where, and as read.
struct playlist_area {
    std::string text;
    int line = 0;
    dpy_area area;
};

// A picture of a list: an <img>, or a <folder> whose pictures each pass lists afresh.
struct playlist_item {
    bool folder = false;
    std::string text; // as written, blanks and line breaks included
    int line = 0;
    int32_t seconds = 0;  // how long each of its pictures stays
    bool shuffle = false; // a folder played in a new order each pass
    schedule when;        // when it is shown; passed over, as if absent, at other times
};

// A <full_update> (pictures over the whole panel: <img> and <folder> in document order) or an
// <area_update> (<img> only, each paired by position with an <area>).
struct picture_list {
    std::vector<playlist_item> items;
    std::vector<playlist_area> areas;
    std::optional<std::string>
        stop; // the text of its <stop>: the list shows its first picture only
    // The area of the k-th picture of an area list; null when the list has fewer areas.
    const playlist_area *area_of(size_t k) const { return k < areas.size() ? &areas[k] : nullptr; }
};

// An <image_name>: its full lists, then its area lists, and its <stop>, which under the last group
// ends the show after the pass.
struct picture_group {
    std::vector<picture_list> full_lists;
    std::vector<picture_list> area_lists;
    std::optional<std::string> stop;
    schedule when; // when it is played; passed over, as if absent, at other times
};

// A playlist file read once and parsed once: its settings and its groups, and what was found
// wrong with it. Everything that walks a playlist (the show, --check) walks this.
struct playlist_file {
    std::string path;
    std::string content; // the bytes read
    // Why the file cannot be used at all (it cannot be read, is not well-formed XML, or has no
    // <epd> element), naming it; empty when it was parsed.
    std::string unusable;
    dpy_imgs_info settings;
    std::string optional_echo; // the echo lines of the optional settings present
    std::vector<picture_group> groups;
    // Settings missing or that do not read, attributes that do not read: the show refuses the
    // playlist for any of them.
    std::vector<playlist_finding> problems;
    // Elements the reader does not know, a rotate that turns nothing and a `when` that can never
    // hold: the show plays anyway.
    std::vector<playlist_finding> warnings;
    // Integer settings whose text is not a plain whole number, with what they read as.
    std::vector<playlist_finding> loose_numbers;
    int status_dir_line = 0;

    // The <img> elements of every list: the pictures a pass names, folders aside.
    int pictures_named() const;

    // Calls visit(group, item) for every item of every list, in the playlist's order.
    template <typename Visit> void for_each_item(Visit visit) const {
        for (const picture_group &group : groups) {
            for (const auto *lists : {&group.full_lists, &group.area_lists}) {
                for (const picture_list &list : *lists) {
                    for (const playlist_item &item : list.items) {
                        visit(group, item);
                    }
                }
            }
        }
    }
};

// Reads and parses the playlist file at path once.
playlist_file read_playlist_file(const char *path);

// Whether the <status_dir> of the playlist can hold the status files: a missing folder is made when
// create is set (the show), and only judged otherwise (--check).
std::vector<playlist_finding> status_dir_problems(const playlist_file &playlist, bool create);

// A finding as --check and the show write it: "p.xml:3: what" ("p.xml: what" without a line).
std::string finding_line(const std::string &path, const playlist_finding &finding);

// What is found in the playlist itself, pictures aside, in line order: its problems, those of its
// status folder (status_dir, as judged or made), its loose numbers and its warnings. --check adds
// those of the pictures; the show refuses the playlist with all of them.
std::vector<playlist_finding> playlist_findings(const playlist_file &playlist,
                                                const std::vector<playlist_finding> &status_dir);

// The playlist at path, read for the show. A playlist the show refuses (a problem, or a status
// folder that cannot be made or written) gives on standard error what --check says of it, each
// line after "Error: ", and null; one it takes gives the settings echoed, each warning on standard
// error after "Warning: ", and the playlist.
std::unique_ptr<playlist_file> load_show_playlist(const char *path);
// The same for a playlist read already; refusal, when given, receives the refusal's lines joined by
// "; " (empty when the playlist is taken).
std::unique_ptr<playlist_file> accepted_for_show(playlist_file playlist,
                                                 std::string *refusal = nullptr);

// The playlist at path, read for --plan: refused as the show refuses it, its warnings on standard
// error, no echo and no status folder made.
std::unique_ptr<playlist_file> load_plan_playlist(const char *path);

// Reads and echoes the settings of the playlist at path as the show does; false when the show
// would refuse it.
bool parsing_xml_file(const char *path, dpy_imgs_info &settings);

// Reads "x,y,w,h"; missing fields are 0 and fields after the fourth are ignored.
dpy_area parsing_area(const char *text);

// Whether an area can be shown on a panel of width x height: not empty, not left of or above it,
// not past its right edge and not taller than it. It may reach below the panel (those rows are
// dropped): its picture is scaled to the whole area, so it never costs more than a whole panel.
bool area_fits(const dpy_area &area, int width, int height);

// Whether the area fits the panel of some layout: what can be said of it before the panel is known.
bool area_fits_some_layout(const dpy_area &area);

// Integers read as atoi does (blanks, sign, digits up to the first other character),
// kept within the 32-bit range instead of overflowing.
int32_t read_integer(const char *text);

#endif
