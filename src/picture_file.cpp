#include "picture_file.h"
#include "tool.h"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// No picture a panel shows comes near this; a bigger file is not read into memory.
constexpr off_t largest_file = off_t{1} << 30;
// What OpenCV and libpng decode at most: pixels in all, and pixels a side of a PNG. A picture
// with transparency is decoded with its colours and alpha: at most this many bytes of them.
constexpr uint64_t largest_pixel_count = uint64_t{1} << 30;
constexpr uint32_t largest_png_side = 1000000;
constexpr uint64_t largest_colour_bytes = uint64_t{1} << 30;

using bytes = std::vector<unsigned char>;

bool starts_with(const bytes &data, const char *signature, size_t length, size_t at = 0) {
    return data.size() >= at + length && std::memcmp(data.data() + at, signature, length) == 0;
}

bool is_jpeg(const bytes &data) {
    return starts_with(data, "\xFF\xD8\xFF", 3);
}

bool is_png(const bytes &data) {
    return starts_with(data, "\x89PNG\r\n\x1a\n", 8);
}

bool is_webp(const bytes &data) {
    return starts_with(data, "RIFF", 4) && starts_with(data, "WEBP", 4, 8);
}

bool is_regular_file(const std::string &path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool is_folder(const std::string &path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The file the path names when a slash is put back between a folder and the rest: an image_path
// written without its closing slash glues the folder's name to the picture's. Empty when there is
// none.
std::string with_slash_put_back(const std::string &path) {
    for (size_t at = 1; at < path.size(); ++at) {
        if (path[at - 1] == '/' || path[at] == '/') {
            continue;
        }
        const std::string folder = path.substr(0, at);
        if (is_folder(folder) && is_regular_file(folder + "/" + path.substr(at))) {
            return folder + "/" + path.substr(at);
        }
    }
    return "";
}

// "not found", with what leads to the fix: the folder a relative path was looked up from, and the
// file meant when the image_path lacks its closing slash.
std::string not_found(const char *path) {
    std::string problem = "not found";
    if (path[0] != '/') {
        char *working = getcwd(nullptr, 0);
        if (working != nullptr) {
            problem += std::string(" (looked up from '") + working + "')";
            std::free(working);
        }
    }
    const std::string meant = with_slash_put_back(path);
    if (!meant.empty()) {
        problem += "; `image_path` has no trailing '/': did you mean '" + meant + "'?";
    }
    return problem;
}

// Reads the whole file, or says why it cannot be read.
std::string read_file(const char *path, bytes &data) {
    // Without O_NONBLOCK, opening a FIFO would wait for a writer that may never come.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno == ENOENT || errno == ENOTDIR
                   ? not_found(path)
                   : std::string("cannot be read: ") + std::strerror(errno);
    }
    std::string problem;
    struct stat status;
    if (fstat(fd, &status) != 0) {
        problem = std::string("cannot be read: ") + std::strerror(errno);
    } else if (S_ISDIR(status.st_mode)) {
        problem = "is a folder, not a picture";
    } else if (!S_ISREG(status.st_mode)) {
        problem = "is not a regular file";
    } else if (status.st_size == 0) {
        problem = "is empty";
    } else if (status.st_size > largest_file) {
        problem = "too large: a file of " + std::to_string(status.st_size) + " bytes";
    } else {
        data.resize(static_cast<size_t>(status.st_size));
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = read(fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                problem = std::string("cannot be read: ") +
                          (n < 0 ? std::strerror(errno) : "it became shorter while read");
                break;
            }
            done += static_cast<size_t>(n);
        }
        // A file rewritten while it was read may hold parts of two pictures.
        struct stat after;
        if (problem.empty() && fstat(fd, &after) == 0 &&
            (after.st_size != status.st_size || after.st_mtim.tv_sec != status.st_mtim.tv_sec ||
             after.st_mtim.tv_nsec != status.st_mtim.tv_nsec)) {
            problem = "changed while read";
        }
    }
    close(fd);
    return problem;
}

// The offset of the marker that ends the entropy-coded data starting at pos (a 0xFF followed by
// neither a stuffed 0x00, a restart marker nor a fill byte), or the file's size.
size_t end_of_scan(const bytes &data, size_t pos) {
    const unsigned char *base = data.data();
    while (pos + 1 < data.size()) {
        const void *found = std::memchr(base + pos, 0xFF, data.size() - pos - 1);
        if (found == nullptr) {
            break;
        }
        pos = static_cast<size_t>(static_cast<const unsigned char *>(found) - base);
        const unsigned char next = data[pos + 1];
        if (next != 0x00 && next != 0xFF && (next < 0xD0 || next > 0xD7)) {
            return pos;
        }
        pos += next == 0xFF ? 1 : 2;
    }
    return data.size();
}

// Walks the segments of a JPEG, and the entropy-coded data of each scan, to its end-of-image
// marker: a file that ends first was cut short. What follows the marker is not looked at.
bool jpeg_complete(const bytes &data) {
    size_t pos = 2;
    while (pos + 1 < data.size()) {
        if (data[pos] != 0xFF) {
            // Stray bytes between segments: the decoder skips them, and so does the walk.
            pos = end_of_scan(data, pos);
            continue;
        }
        const unsigned char marker = data[pos + 1];
        if (marker == 0xFF) {
            ++pos; // fill byte
        } else if (marker == 0xD9) {
            return true;
        } else if (marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2; // a marker without a segment
        } else {
            if (pos + 3 >= data.size()) {
                return false;
            }
            pos += 2 + read_be16(&data[pos + 2]);
            if (marker == 0xDA) {
                pos = end_of_scan(data, pos);
            }
        }
    }
    return false;
}

// What the chunks of a PNG say: whether they reach the closing IEND chunk, whether the picture has
// transparency (an alpha channel, or a tRNS chunk for a colour picture), and its size.
struct png_outline {
    bool complete = false;
    bool alpha = false;
    uint32_t width = 0;
    uint32_t height = 0;
    int bit_depth = 8;
};

png_outline outline_png(const bytes &data) {
    png_outline outline;
    int colour_type = 0;
    size_t pos = 8;
    while (pos + 8 <= data.size()) {
        const uint64_t length = read_be32(&data[pos]);
        const unsigned char *type = &data[pos + 4];
        if (std::memcmp(type, "IHDR", 4) == 0 && length >= 13 && pos + 8 + 13 <= data.size()) {
            outline.width = read_be32(&data[pos + 8]);
            outline.height = read_be32(&data[pos + 12]);
            outline.bit_depth = data[pos + 16];
            colour_type = data[pos + 17];
            outline.alpha = colour_type == 4 || colour_type == 6;
        } else if (std::memcmp(type, "tRNS", 4) == 0) {
            // OpenCV gives a grey picture with tRNS no alpha channel, a colour one gets one.
            outline.alpha = outline.alpha || colour_type == 2 || colour_type == 3;
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            outline.complete = pos + 12 <= data.size(); // with its CRC
            break;
        }
        pos += 12 + length; // length, type, data, CRC
    }
    return outline;
}

// Whether a WebP picture has an alpha channel: the flag of its extended header, or the bit of a
// lossless bitstream's header.
bool webp_alpha(const bytes &data) {
    if (starts_with(data, "VP8X", 4, 12) && data.size() > 20) {
        return (data[20] & 0x10) != 0;
    }
    if (starts_with(data, "VP8L", 4, 12) && data.size() >= 25) {
        return (read_le32(&data[21]) >> 28 & 1) != 0;
    }
    return false;
}

std::string pixels_text(uint64_t width, uint64_t height) {
    return std::to_string(width) + " x " + std::to_string(height) + " pixels";
}

// Why a file of a format the structure of which is known cannot be decoded; sets alpha for a
// picture with transparency.
std::string structure_problem(const bytes &data, bool &alpha) {
    if (is_jpeg(data) && !jpeg_complete(data)) {
        return "cut short: the JPEG file ends before its end marker";
    }
    if (is_png(data)) {
        const png_outline png = outline_png(data);
        const uint64_t pixels = uint64_t{png.width} * png.height;
        const uint64_t colour_bytes = pixels * 4 * (png.bit_depth == 16 ? 2 : 1);
        if (png.width > largest_png_side || png.height > largest_png_side ||
            pixels > largest_pixel_count || (png.alpha && colour_bytes > largest_colour_bytes)) {
            return "too large: " + pixels_text(png.width, png.height) +
                   ", more than this build decodes";
        }
        if (!png.complete) {
            return "cut short: the PNG file ends before its IEND chunk";
        }
        alpha = png.alpha;
    }
    if (is_webp(data)) {
        if (uint64_t{read_le32(&data[4])} + 8 > data.size()) {
            return "cut short: the WebP file is shorter than its header says";
        }
        alpha = webp_alpha(data);
    }
    return "";
}

// Any depth to 8 bits: the upper byte of a 16-bit sample, as the grey read takes it.
cv::Mat eight_bit(const cv::Mat &picture) {
    if (picture.depth() == CV_8U) {
        return picture;
    }
    cv::Mat converted;
    picture.convertTo(converted, CV_8U, picture.depth() == CV_16U ? 1.0 / 256 : 1.0);
    return converted;
}

// A picture with an alpha channel laid on the background grey, then turned grey.
cv::Mat laid_on(const cv::Mat &decoded, int background) {
    const cv::Mat picture = eight_bit(decoded);
    if (picture.channels() == 1) {
        return picture;
    }
    cv::Mat grey;
    if (picture.channels() != 4) {
        cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
        return grey;
    }
    cv::cvtColor(picture, grey, cv::COLOR_BGRA2GRAY);
    for (int y = 0; y < grey.rows; ++y) {
        uchar *row = grey.ptr<uchar>(y);
        const uchar *source = picture.ptr<uchar>(y);
        for (int x = 0; x < grey.cols; ++x) {
            const int alpha = source[4 * x + 3];
            row[x] = static_cast<uchar>((row[x] * alpha + background * (255 - alpha) + 127) / 255);
        }
    }
    return grey;
}

std::string decode(const char *path, const bytes &data, bool alpha, int background, cv::Mat &grey) {
    // The reasons come from here, not from OpenCV's own warnings.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    const cv::Mat encoded(1, static_cast<int>(data.size()), CV_8UC1,
                          const_cast<unsigned char *>(data.data()));
    try {
        grey = cv::imdecode(encoded, alpha ? cv::IMREAD_UNCHANGED : cv::IMREAD_GRAYSCALE);
    } catch (const cv::Exception &error) {
        // OpenCV refuses a header declaring more pixels than it takes by throwing.
        grey.release();
        return error.err.find("CV_IO_MAX_IMAGE") != std::string::npos
                   ? "too large: more pixels than this build decodes"
                   : "damaged: " + error.err;
    } catch (const std::bad_alloc &) {
        grey.release();
        return "too large: not enough memory to decode it";
    }
    if (grey.empty()) {
        return cv::haveImageReader(path) ? "damaged: the decoder could not read it"
                                         : "not a picture format this build reads";
    }
    if (alpha) {
        grey = laid_on(grey, background);
    }
    return "";
}

} // namespace

picture_file read_picture(const char *path, int background) {
    picture_file result;
    bytes data;
    result.problem = read_file(path, data);
    bool alpha = false;
    if (result.problem.empty()) {
        result.problem = structure_problem(data, alpha);
    }
    if (result.problem.empty()) {
        result.problem = decode(path, data, alpha, background, result.grey);
    }
    return result;
}
