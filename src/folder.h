// A folder of pictures as a playlist's <folder> shows it: the picture files in it, in natural
// name order, listed afresh whenever asked, and a shuffled order of them.
#ifndef EPDSHOW_FOLDER_H
#define EPDSHOW_FOLDER_H

#include <cstdint>
#include <ctime>
#include <random>
#include <string>
#include <vector>

// File name extensions (lower case, without the dot) of the picture formats that this build's
// decoder reads: OpenCV's imgcodecs as Debian builds it.
const std::vector<std::string> &picture_extensions();

// A name with one of those extensions, in any case.
bool has_picture_extension(const std::string &name);

// A hidden name (leading dot) or one of the forms that downloads, editors and copying tools give
// a file while they write it: a leading or trailing '~', "#name#", .tmp, .part, .crdownload,
// .swp and the like.
bool hidden_or_temporary_name(const std::string &name);

// A file modified less than this many seconds ago may still be being written: it is left out
// until a later pass.
constexpr int settle_seconds = 10;

// Natural order: runs of digits compare by their value ("img2" before "img10"), letters without
// regard to case; names equal in that sense fall back to byte order.
bool natural_less(const std::string &a, const std::string &b);

// The picture files of folder (regular files, links followed) in natural order, leaving out
// hidden and temporary names, other extensions and files modified within settle_seconds of now.
// An empty folder is the working folder. False, with errno set, when the folder cannot be read.
bool list_pictures(const std::string &folder, std::time_t now, std::vector<std::string> &names);

// Where a playlist's <folder> is: its text with a closing slash added when it has none
// (shown_prefix, which the echo of each picture starts with), under image_path unless it starts
// with a slash (path, which each picture's file starts with).
struct picture_folder {
    std::string shown_prefix;
    std::string path;
};
picture_folder locate_folder(const std::string &image_path, const std::string &text);

// A playlist's <folder> listed as a pass lists it: where it is, its pictures, and the system's
// error number when it cannot be read (0 when it can).
struct folder_listing {
    picture_folder where;
    std::vector<std::string> names;
    int error = 0;
};
folder_listing list_folder(const std::string &image_path, const std::string &text, std::time_t now);

// Puts names in a random order; when there are two or more, avoid (the picture shown just before)
// does not come first.
void shuffle_pictures(std::vector<std::string> &names, std::mt19937_64 &random,
                      const std::string &avoid);

// A seed from the system's random source.
std::uint64_t system_seed();

#endif
