// Pictures for the tests: one maker, and the turns, grey levels and comparisons the tests need.
#ifndef EPDSHOW_TEST_PICTURES_H
#define EPDSHOW_TEST_PICTURES_H

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <string>

namespace testing_support {

// A w x h 8-bit grey picture whose every pixel differs from its neighbours, so that a lost,
// moved, turned or mirrored row or column shows; another seed gives another picture.
inline cv::Mat numbered_picture(int w, int h, int seed = 0) {
    cv::Mat picture(h, w, CV_8UC1);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            picture.at<uchar>(y, x) = static_cast<uchar>((x * 7 + y * 13 + seed * 61) % 256);
        }
    }
    return picture;
}

// The picture turned as the program turns it for rotate 90, 180 or 270 (any other: unturned).
inline cv::Mat turned(const cv::Mat &picture, int rotate) {
    cv::Mat out = picture.clone();
    if (rotate == 90 || rotate == 270) {
        cv::transpose(picture, out);
        cv::flip(out, out, rotate == 90 ? 0 : 1);
    } else if (rotate == 180) {
        cv::flip(picture, out, -1);
    }
    return out;
}

// What the panel shows of a grey picture: scaled to panel (when one is given), in 16 grey levels.
inline cv::Mat as_shown(const cv::Mat &picture, cv::Size panel = {}) {
    cv::Mat levels = picture.clone();
    if (!panel.empty()) {
        cv::resize(picture, levels, panel, 0, 0, cv::INTER_LINEAR);
    }
    for (auto it = levels.begin<uchar>(); it != levels.end<uchar>(); ++it) {
        *it = static_cast<uchar>((*it >> 4) * 17);
    }
    return levels;
}

// Pixels in which two pictures differ; -1 when their sizes or types differ.
inline int differing_pixels(const cv::Mat &a, const cv::Mat &b) {
    if (a.size() != b.size() || a.type() != b.type()) {
        return -1;
    }
    return cv::countNonZero(a != b);
}

// Files whose header declares a size that nothing behind it backs, as a forged or cut-short file
// would: a w x h picture with (nearly) no pixel data.
namespace forged {

inline void put_be32(std::string &out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>(value >> shift);
    }
}

inline void put_le(std::string &out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>(value >> (8 * i));
    }
}

// The CRC-32 every PNG chunk ends with (over its type and data).
inline uint32_t png_crc(const std::string &bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

inline void put_chunk(std::string &file, const std::string &type_and_data) {
    put_be32(file, static_cast<uint32_t>(type_and_data.size() - 4));
    file += type_and_data;
    put_be32(file, png_crc(type_and_data));
}

// A PNG of w x h 8-bit grey pixels whose data chunk holds only 100 zero bytes (a zlib stream of
// one stored block), and which then ends.
inline std::string png(uint32_t w, uint32_t h) {
    std::string file = "\x89PNG\r\n\x1a\n";
    std::string header = "IHDR";
    put_be32(header, w);
    put_be32(header, h);
    header += std::string("\x08\x00\x00\x00\x00", 5);
    put_chunk(file, header);
    std::string data = "IDAT";
    data += std::string("\x78\x01\x01\x64\x00\x9b\xff", 7) + std::string(100, '\0');
    put_be32(data, 0x00640001); // Adler-32 of the 100 zero bytes
    put_chunk(file, data);
    return file;
}

// An extended WebP with alpha whose canvas is w x h, and no picture in it.
inline std::string webp(uint32_t w, uint32_t h) {
    std::string header = "VP8X";
    put_le(header, 10, 4);
    header += std::string("\x10\x00\x00\x00", 4); // alpha
    put_le(header, w - 1, 3);
    put_le(header, h - 1, 3);
    std::string file = "RIFF";
    put_le(file, static_cast<uint32_t>(4 + header.size()), 4);
    return file + "WEBP" + header;
}

// A little-endian TIFF of w x h 8-bit grey pixels without strips.
inline std::string tiff(uint32_t w, uint32_t h) {
    std::string file = std::string("II*\0", 4);
    put_le(file, 8, 4); // the first directory
    const uint32_t tags[][3] = {{256, 4, w}, {257, 4, h}, {258, 3, 8}, {262, 3, 1}, {277, 3, 1}};
    put_le(file, 5, 2);
    for (const auto &tag : tags) {
        put_le(file, tag[0], 2);
        put_le(file, tag[1], 2);
        put_le(file, 1, 4);
        put_le(file, tag[2], 4);
    }
    put_le(file, 0, 4); // no next directory
    return file;
}

// A progressive JPEG frame of w x h in three components, and its end marker, without a scan.
inline std::string progressive_jpeg(uint16_t w, uint16_t h) {
    std::string file = std::string("\xFF\xD8\xFF\xC2\x00\x11\x08", 7);
    file += static_cast<char>(h >> 8);
    file += static_cast<char>(h);
    file += static_cast<char>(w >> 8);
    file += static_cast<char>(w);
    file += std::string("\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01", 10);
    return file + std::string("\xFF\xD9", 2);
}

} // namespace forged

} // namespace testing_support

#endif
