#include "picture_file.h"
#include "tool.h"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
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
// What OpenCV and libpng decode at most: pixels in all, and pixels a side. A decoder that holds a
// picture in colour while it decodes it (a PNG with transparency, any WebP or TIFF, a JPEG of more
// than one scan) may hold at most this many bytes of it.
constexpr uint64_t largest_pixel_count = uint64_t{1} << 30;
constexpr uint64_t largest_side = 1000000;
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

// What the header of a picture declares: its size, and the bytes each pixel takes while the
// decoder holds the picture in colour (0 when it decodes straight to grey, row by row).
struct declared_size {
    uint64_t width = 0;
    uint64_t height = 0;
    uint64_t colour_bytes_per_pixel = 0;
};

// What the segments of a JPEG say: whether they reach its end-of-image marker (a file that ends
// first was cut short; what follows the marker is not looked at), and its frame's size. A
// progressive JPEG, or one of several scans, is decoded from all its coefficients at once: two
// bytes for each sample of each component.
struct jpeg_outline {
    bool complete = false;
    declared_size size;
};

bool is_frame_marker(unsigned char marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool is_progressive_frame(unsigned char marker) {
    return marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
}

jpeg_outline outline_jpeg(const bytes &data) {
    jpeg_outline outline;
    int components = 0;
    int scans = 0;
    bool progressive = false;
    size_t pos = 2;
    while (pos + 1 < data.size() && !outline.complete) {
        if (data[pos] != 0xFF) {
            // Stray bytes between segments: the decoder skips them, and so does the walk.
            pos = end_of_scan(data, pos);
            continue;
        }
        const unsigned char marker = data[pos + 1];
        if (marker == 0xFF) {
            ++pos; // fill byte
        } else if (marker == 0xD9) {
            outline.complete = true;
        } else if (marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2; // a marker without a segment
        } else {
            if (pos + 3 >= data.size()) {
                break;
            }
            if (is_frame_marker(marker) && pos + 9 < data.size()) {
                outline.size.height = read_be16(&data[pos + 5]);
                outline.size.width = read_be16(&data[pos + 7]);
                components = data[pos + 9];
                progressive = is_progressive_frame(marker);
            }
            pos += 2 + read_be16(&data[pos + 2]);
            if (marker == 0xDA) {
                ++scans;
                pos = end_of_scan(data, pos);
            }
        }
    }
    if (progressive || scans > 1) {
        outline.size.colour_bytes_per_pixel = 2 * static_cast<uint64_t>(components);
    }
    return outline;
}

// What the chunks of a PNG say: whether they reach the closing IEND chunk, whether the picture has
// transparency (an alpha channel, or a tRNS chunk for a colour picture), and its size. A picture
// with transparency is decoded with its colours and alpha.
struct png_outline {
    bool complete = false;
    bool alpha = false;
    declared_size size;
};

png_outline outline_png(const bytes &data) {
    png_outline outline;
    int colour_type = 0;
    int bit_depth = 8;
    size_t pos = 8;
    while (pos + 8 <= data.size()) {
        const uint64_t length = read_be32(&data[pos]);
        const unsigned char *type = &data[pos + 4];
        if (std::memcmp(type, "IHDR", 4) == 0 && length >= 13 && pos + 8 + 13 <= data.size()) {
            outline.size.width = read_be32(&data[pos + 8]);
            outline.size.height = read_be32(&data[pos + 12]);
            bit_depth = data[pos + 16];
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
    if (outline.alpha) {
        outline.size.colour_bytes_per_pixel = 4 * (bit_depth == 16 ? 2 : 1);
    }
    return outline;
}

// Whether a WebP picture has an alpha channel (the flag of its extended header, or the bit of a
// lossless bitstream's header), and its size: the canvas of an extended file, else the frame's.
// It is decoded in colour, with alpha when it has it.
struct webp_outline {
    bool alpha = false;
    declared_size size;
};

uint32_t read_le24(const unsigned char *bytes) {
    return bytes[0] | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16;
}

webp_outline outline_webp(const bytes &data) {
    webp_outline outline;
    if (starts_with(data, "VP8X", 4, 12) && data.size() >= 30) {
        outline.alpha = (data[20] & 0x10) != 0;
        outline.size.width = uint64_t{read_le24(&data[24])} + 1;
        outline.size.height = uint64_t{read_le24(&data[27])} + 1;
    } else if (starts_with(data, "VP8L", 4, 12) && data.size() >= 25) {
        const uint32_t bits = read_le32(&data[21]);
        outline.alpha = (bits >> 28 & 1) != 0;
        outline.size.width = (bits & 0x3FFF) + 1;
        outline.size.height = (bits >> 14 & 0x3FFF) + 1;
    } else if (starts_with(data, "VP8 ", 4, 12) && data.size() >= 30) {
        outline.size.width = read_le32(&data[26]) & 0x3FFF;
        outline.size.height = read_le32(&data[26]) >> 16 & 0x3FFF;
    }
    outline.size.colour_bytes_per_pixel = outline.alpha ? 4 : 3;
    return outline;
}

// The size and samples of a TIFF's first picture, from the tags of its first directory (classic
// or BigTIFF, either byte order). The decoder may hold a whole strip, which may be the whole
// picture, as four samples a pixel or as many as it has.
class tiff_reader {
  public:
    explicit tiff_reader(const bytes &data) : data(data) {}

    declared_size outline() const {
        declared_size size;
        const bool classic = starts_with(data, "II*\0", 4) || starts_with(data, "MM\0*", 4);
        const bool big = starts_with(data, "II+\0", 4) || starts_with(data, "MM\0+", 4);
        if (!classic && !big) {
            return size;
        }
        const int offset_size = classic ? 4 : 8;
        const int count_size = classic ? 2 : 8;
        const size_t entry_size = classic ? 12 : 20;
        const uint64_t directory = number(classic ? 4 : 8, offset_size);
        const uint64_t entries = number(directory, count_size);
        uint64_t bits = 1, samples = 1;
        for (uint64_t i = 0; i < entries; ++i) {
            const uint64_t entry = directory + count_size + i * entry_size;
            if (entry + entry_size > data.size()) {
                break;
            }
            const uint32_t tag = static_cast<uint32_t>(number(entry, 2));
            const uint64_t value = first_value(entry, offset_size);
            if (tag == 256) {
                size.width = value;
            } else if (tag == 257) {
                size.height = value;
            } else if (tag == 258) {
                bits = value;
            } else if (tag == 277) {
                samples = value;
            }
        }
        size.colour_bytes_per_pixel =
            std::max<uint64_t>(samples, 4) * std::max<uint64_t>(1, (bits + 7) / 8);
        return size;
    }

  private:
    bool big_endian() const { return data[0] == 'M'; }

    // The unsigned number of width bytes at offset; 0 past the end of the file.
    uint64_t number(uint64_t offset, int width) const {
        if (offset > data.size() || data.size() - offset < static_cast<uint64_t>(width)) {
            return 0;
        }
        uint64_t value = 0;
        for (int i = 0; i < width; ++i) {
            const int at = big_endian() ? i : width - 1 - i;
            value = value << 8 | data[offset + static_cast<uint64_t>(at)];
        }
        return value;
    }

    // The first value of a directory entry of a whole-number type: in the entry when they fit,
    // else where the entry points.
    uint64_t first_value(uint64_t entry, int offset_size) const {
        const uint32_t type = static_cast<uint32_t>(number(entry + 2, 2));
        const int width = type == 3 ? 2 : type == 4 ? 4 : type == 16 ? 8 : 0;
        if (width == 0) {
            return 0;
        }
        const uint64_t count = number(entry + 4, offset_size == 4 ? 4 : 8);
        const uint64_t field = entry + 4 + static_cast<uint64_t>(offset_size == 4 ? 4 : 8);
        if (count * static_cast<uint64_t>(width) <= static_cast<uint64_t>(offset_size)) {
            return number(field, width);
        }
        return number(number(field, offset_size), width);
    }

    const bytes &data;
};

std::string pixels_text(uint64_t width, uint64_t height) {
    return std::to_string(width) + " x " + std::to_string(height) + " pixels";
}

// Why a picture of that declared size would take more memory to decode than this build allows,
// or "".
std::string size_problem(const declared_size &size) {
    const std::string too_large =
        "too large: " + pixels_text(size.width, size.height) + ", more than this build decodes";
    if (size.width > largest_side || size.height > largest_side) {
        return too_large;
    }
    const uint64_t pixels = size.width * size.height;
    if (pixels > largest_pixel_count ||
        pixels * size.colour_bytes_per_pixel > largest_colour_bytes) {
        return too_large;
    }
    return "";
}

// Why a file of a format the structure of which is known cannot be decoded; sets alpha for a
// picture with transparency. A picture too large to decode is refused before it is decoded.
std::string structure_problem(const bytes &data, bool &alpha) {
    if (is_jpeg(data)) {
        const jpeg_outline jpeg = outline_jpeg(data);
        if (!jpeg.complete) {
            return "cut short: the JPEG file ends before its end marker";
        }
        return size_problem(jpeg.size);
    }
    if (is_png(data)) {
        const png_outline png = outline_png(data);
        const std::string too_large = size_problem(png.size);
        if (!too_large.empty()) {
            return too_large;
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
        const webp_outline webp = outline_webp(data);
        alpha = webp.alpha;
        return size_problem(webp.size);
    }
    return size_problem(tiff_reader(data).outline());
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

// The decoded picture as 8-bit grey: one with an alpha channel laid on the background grey first.
// Not every decoder gives grey when asked for it (a Radiance HDR picture comes in colour); a
// picture of channels that are neither grey, colour nor colour and alpha gives an empty one.
cv::Mat as_grey(const cv::Mat &decoded, int background) {
    const cv::Mat picture = eight_bit(decoded);
    cv::Mat grey;
    switch (picture.channels()) {
    case 1:
        return picture;
    case 3:
        cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
        return grey;
    case 4:
        break;
    default:
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
    if (grey.type() != CV_8UC1) {
        grey = as_grey(grey, background);
        if (grey.empty()) {
            return "damaged: the decoder gave neither grey nor colour";
        }
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
