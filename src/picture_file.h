// A picture file read and decoded as 8-bit grey, or the reason it cannot be used. The one
// judgement of a picture file: the show and the playlist check both ask it.
#ifndef EPDSHOW_PICTURE_FILE_H
#define EPDSHOW_PICTURE_FILE_H

#include <opencv2/core.hpp>
#include <string>

struct picture_file {
    cv::Mat grey;        // the decoded picture; empty when the file cannot be used
    std::string problem; // why it cannot be used ("not found", "cut short: ..."); empty if it can
};

// Reads the file at path and decodes it as 8-bit grey. A picture with an alpha channel is laid
// on the background grey first; every other picture decodes exactly as OpenCV's grey read does.
// The file is refused when it is missing, cannot be read, is a folder or empty, is not a format
// this build reads, is cut short (a JPEG without its end marker, a PNG without its last chunk, a
// WebP shorter than its header says), is too large, changed while it was read (its size or time
// of change moved), or does not decode.
picture_file read_picture(const char *path, int background = 255);

#endif
