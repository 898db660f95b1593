// The playlist file: the settings record, the reader of its settings and areas, and the loading
// of the document that the player walks.
#ifndef EPDSHOW_PLAYLIST_H
#define EPDSHOW_PLAYLIST_H

#include <cstdint>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "img_proc.h"
#include "quiet_hours.h"

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

// Reads and echoes the settings of the playlist at path. On a playlist that cannot be used it
// prints one message for each problem, naming the file, on standard error and returns false.
// Elements it does not know and a rotate that turns nothing are warned about on standard error.
bool parsing_xml_file(const char *path, dpy_imgs_info &settings);

// Something found in a playlist: the line it is on and what it is.
struct playlist_finding {
    int line = 0;
    std::string text;
};

// The text a playlist was parsed from, for the line numbers of its elements.
struct playlist_text {
    const std::string &content;
    int line_of(pugi::xml_node node) const; // 0 when it cannot be told
};

// Parses the playlist at path into doc, keeping its text in content. Returns what makes it
// unusable, naming the file (unreadable, not well-formed, no <epd> element), or "".
std::string parse_playlist(const char *path, pugi::xml_document &doc, std::string &content);

// Reads the settings of the <epd> element and the echo lines of the optional ones; returns every
// setting that is missing or does not read.
std::vector<playlist_finding> read_settings(const playlist_text &text, pugi::xml_node epd_node,
                                            dpy_imgs_info &settings, std::string &echo);

// Whether the <status_dir> of the <epd> element can hold the status files: a missing folder is
// made when create is set (the show), and only judged otherwise (--check).
std::vector<playlist_finding> status_dir_problems(const playlist_text &text,
                                                  pugi::xml_node epd_node, bool create);

// What a show warns about and then plays anyway: elements the reader does not know (with the
// known name closest to each, or where a known one belongs) and a rotate that turns nothing.
std::vector<playlist_finding> playlist_warnings(const playlist_text &text, pugi::xml_node epd_node);

// Integer settings whose text is not a plain whole number, with what it reads as.
std::vector<playlist_finding> unread_numbers(const playlist_text &text, pugi::xml_node epd_node);

// Reads "x,y,w,h"; missing fields are 0 and fields after the fourth are ignored.
dpy_area parsing_area(const char *text);

// Whether an area can be shown on a panel of width x height: not empty, not left of or above it,
// not past its right edge and not taller than it. It may reach below the panel (those rows are
// dropped): its picture is scaled to the whole area, so it never costs more than a whole panel.
bool area_fits(const dpy_area &area, int width, int height);

// Integers read as atoi does (blanks, sign, digits up to the first other character),
// kept within the 32-bit range instead of overflowing.
int32_t read_integer(const char *text);

// The seconds an <img> or <folder> of an accepted playlist stays: its seconds attribute, or else
// slide_interval.
int32_t picture_seconds(pugi::xml_node item, int32_t slide_interval);

// Whether a <folder> of an accepted playlist plays in a shuffled order (shuffle="true").
bool shuffled(pugi::xml_node folder);

// Parses the playlist at path into doc; on failure prints what is wrong and returns false.
bool load_playlist(const char *path, pugi::xml_document &doc);

#endif
