// Application: the playlist settings record, the playlist reader and the slide-show player.
#ifndef EPDSHOW_MAIN_H
#define EPDSHOW_MAIN_H

#include <cstdint>
#include <string>

#include "img_proc.h"

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
};

// Reads and echoes the settings of the playlist at path. On a playlist that cannot be used it
// prints one message naming the file and the problem on standard error and returns false.
bool parsing_xml_file(const char *path, dpy_imgs_info &settings);

// Reads "x,y,w,h"; missing fields are 0 and fields after the fourth are ignored.
dpy_area parsing_area(const char *text);

// Plays the playlist until a stop element or the stop flag ends it. Returns 0 once a show ran,
// 1 when it could not start (no playlist, no controller, no usable panel).
int slide_show(const char *path, dpy_imgs_info settings);

#endif
