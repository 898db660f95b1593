#include "folder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string lower_case(std::string text) {
    for (char &c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The text after the last dot, lower case; empty when there is none.
std::string extension_of(const std::string &name) {
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? "" : lower_case(name.substr(dot + 1));
}

bool is_digit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Compares the digit runs starting at a[i] and b[j] by their value and moves i and j past them.
int compare_numbers(const std::string &a, size_t &i, const std::string &b, size_t &j) {
    auto run_end = [](const std::string &s, size_t from) {
        while (from < s.size() && is_digit(s[from])) {
            ++from;
        }
        return from;
    };
    auto significant = [](const std::string &s, size_t from, size_t end) {
        while (from < end && s[from] == '0') {
            ++from;
        }
        return from;
    };
    const size_t a_end = run_end(a, i), b_end = run_end(b, j);
    const size_t a_from = significant(a, i, a_end), b_from = significant(b, j, b_end);
    int order = 0;
    if (a_end - a_from != b_end - b_from) {
        order = a_end - a_from < b_end - b_from ? -1 : 1;
    } else {
        order = a.compare(a_from, a_end - a_from, b, b_from, b_end - b_from);
    }
    i = a_end;
    j = b_end;
    return order;
}

int natural_compare(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            if (int order = compare_numbers(a, i, b, j)) {
                return order;
            }
            continue;
        }
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[j]));
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        ++i;
        ++j;
    }
    return (i < a.size()) - (j < b.size());
}

bool recently_modified(const struct stat &file, std::time_t now) {
    const std::time_t age = now - file.st_mtime;
    return age > -settle_seconds && age < settle_seconds;
}

bool wanted_picture(const std::string &folder, const std::string &name, std::time_t now) {
    if (hidden_or_temporary_name(name) || !has_picture_extension(name)) {
        return false;
    }
    struct stat file = {};
    return stat((folder + "/" + name).c_str(), &file) == 0 && S_ISREG(file.st_mode) &&
           !recently_modified(file, now);
}

} // namespace

const std::vector<std::string> &picture_extensions() {
    // OpenEXR is left out: Debian's OpenCV reads it only when an environment variable allows it.
    static const std::vector<std::string> extensions = {
        "bmp", "dib", "jpeg", "jpg", "jpe", "jp2", "png",  "webp", "pbm", "pgm", "ppm",
        "pxm", "pnm", "pam",  "pfm", "sr",  "ras", "tiff", "tif",  "hdr", "pic"};
    return extensions;
}

bool has_picture_extension(const std::string &name) {
    const std::vector<std::string> &known = picture_extensions();
    return std::find(known.begin(), known.end(), extension_of(name)) != known.end();
}

bool hidden_or_temporary_name(const std::string &name) {
    static const char *const temporary_extensions[] = {
        "tmp", "temp", "part", "partial", "crdownload", "download", "swp", "swx", "filepart"};
    if (name.empty() || name[0] == '.' || name[0] == '~' || name.back() == '~' ||
        (name.size() > 1 && name[0] == '#' && name.back() == '#')) {
        return true;
    }
    const std::string extension = extension_of(name);
    return std::any_of(std::begin(temporary_extensions), std::end(temporary_extensions),
                       [&](const char *temporary) { return extension == temporary; });
}

bool natural_less(const std::string &a, const std::string &b) {
    const int order = natural_compare(a, b);
    return order != 0 ? order < 0 : a < b;
}

bool list_pictures(const std::string &folder_path, std::time_t now,
                   std::vector<std::string> &names) {
    const std::string folder = folder_path.empty() ? "." : folder_path;
    names.clear();
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return false;
    }
    errno = 0;
    while (const dirent *entry = readdir(dir)) {
        if (wanted_picture(folder, entry->d_name, now)) {
            names.push_back(entry->d_name);
        }
        errno = 0;
    }
    const int read_error = errno;
    closedir(dir);
    std::sort(names.begin(), names.end(), natural_less);
    errno = read_error;
    return read_error == 0;
}

void shuffle_pictures(std::vector<std::string> &names, std::mt19937_64 &random,
                      const std::string &avoid) {
    // Fisher-Yates with the generator's own output, so that one seed gives one order everywhere.
    for (size_t i = names.size(); i > 1; --i) {
        std::swap(names[i - 1], names[random() % i]);
    }
    if (names.size() > 1 && names[0] == avoid) {
        std::swap(names[0], names[1 + random() % (names.size() - 1)]);
    }
}

std::uint64_t system_seed() {
    std::uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
        // No random source: the time and the process still differ from one start to the next.
        seed = static_cast<std::uint64_t>(
                   std::chrono::steady_clock::now().time_since_epoch().count()) ^
               static_cast<std::uint64_t>(getpid());
    }
    return seed;
}

picture_folder locate_folder(const std::string &image_path, const std::string &text) {
    picture_folder folder;
    folder.shown_prefix = text.empty() || text.back() == '/' ? text : text + "/";
    folder.path = (text.rfind('/', 0) == 0 ? "" : image_path) + folder.shown_prefix;
    return folder;
}

folder_listing list_folder(const std::string &image_path, const std::string &text,
                           std::time_t now) {
    folder_listing listing;
    listing.where = locate_folder(image_path, text);
    if (!list_pictures(listing.where.path, now, listing.names)) {
        listing.error = errno;
    }
    return listing;
}
