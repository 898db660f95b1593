#include "img_proc.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "picture_file.h"

namespace {

// Transposes the 8 x 8 bytes held in rows (byte j of rows[i] is element i, j, in memory order):
// the 4 x 4 corners swap, then the 2 x 2 corners inside them, then single bytes.
void transpose_8x8(uint64_t rows[8]) {
    const uint64_t masks[3] = {0x00000000FFFFFFFFull, 0x0000FFFF0000FFFFull, 0x00FF00FF00FF00FFull};
    for (int stage = 0, span = 4; stage < 3; ++stage, span /= 2) {
        for (int i = 0; i < 8; ++i) {
            if (i & span) {
                continue;
            }
            const int shift = 8 * span;
            const uint64_t swap = ((rows[i] >> shift) ^ rows[i + span]) & masks[stage];
            rows[i] ^= swap << shift;
            rows[i + span] ^= swap;
        }
    }
}

// The picture turned by a quarter turn, made in one pass into one new matrix. Counter-clockwise
// (90): the source's right column, read top to bottom, becomes the top row; clockwise (270): the
// left column, read bottom to top. The same pixels as a transpose followed by a flip, without
// the second pass; the work goes in 64 x 64 tiles of 8 x 8 blocks so both sides stay in cache.
cv::Mat quarter_turn(const cv::Mat &source, bool counter_clockwise) {
    const int rows = source.rows;
    const int cols = source.cols;
    cv::Mat turned(cols, rows, CV_8UC1);
    // Where source pixel (r, c) lands in the turned picture.
    auto place = [&](int r, int c) -> uchar & {
        return counter_clockwise ? turned.ptr<uchar>(cols - 1 - c)[r]
                                 : turned.ptr<uchar>(c)[rows - 1 - r];
    };
    constexpr int tile = 64;
    const int whole_rows = rows & ~7;
    const int whole_cols = cols & ~7;
    for (int r0 = 0; r0 < whole_rows; r0 += tile) {
        for (int c0 = 0; c0 < whole_cols; c0 += tile) {
            const int r_end = std::min(r0 + tile, whole_rows);
            const int c_end = std::min(c0 + tile, whole_cols);
            for (int r = r0; r < r_end; r += 8) {
                for (int c = c0; c < c_end; c += 8) {
                    uint64_t block[8];
                    for (int i = 0; i < 8; ++i) {
                        std::memcpy(&block[i], source.ptr<uchar>(r + i) + c, 8);
                    }
                    transpose_8x8(block);
                    // block[j] now holds source column c + j, rows r to r + 7.
                    for (int j = 0; j < 8; ++j) {
                        if (counter_clockwise) {
                            std::memcpy(turned.ptr<uchar>(cols - 1 - c - j) + r, &block[j], 8);
                        } else {
                            const uint64_t reversed = __builtin_bswap64(block[j]);
                            std::memcpy(turned.ptr<uchar>(c + j) + rows - 8 - r, &reversed, 8);
                        }
                    }
                }
            }
        }
    }
    // The right and bottom edges that do not fill a whole block.
    for (int r = 0; r < rows; ++r) {
        const uchar *line = source.ptr<uchar>(r);
        for (int c = r < whole_rows ? whole_cols : 0; c < cols; ++c) {
            place(r, c) = line[c];
        }
    }
    return turned;
}

// Turns the picture by 90, 180 or 270 degrees; any other angle leaves it as it is.
void turn(cv::Mat &picture, int rotate) {
    switch (rotate) {
    case 90:
        picture = quarter_turn(picture, true);
        break;
    case 180:
        cv::flip(picture, picture, -1);
        break;
    case 270:
        picture = quarter_turn(picture, false);
        break;
    default:
        break;
    }
}

// Copies count bytes to out in reverse order, eight at a time.
void reverse_bytes(const uchar *source, size_t count, char *out) {
    const uchar *end = source + count;
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        uint64_t word;
        std::memcpy(&word, end - i - 8, 8);
        word = __builtin_bswap64(word);
        std::memcpy(out + i, &word, 8);
    }
    for (; i < count; ++i) {
        out[i] = static_cast<char>(end[-1 - static_cast<ptrdiff_t>(i)]);
    }
}

bool lies_inside(const cv::Mat &picture, int x, int y, int w, int h) {
    if (picture.empty() || x < 0 || y < 0 || w < 0 || h < 0) {
        return false;
    }
    return int64_t{x} + w <= picture.cols && int64_t{y} + h <= picture.rows;
}

// a * b / c rounded to the nearest whole number, for positive values.
int rounded_ratio(int64_t a, int64_t b, int64_t c) {
    return static_cast<int>((a * b + c / 2) / c);
}

bool wider_than(cv::Size source, int w, int h) {
    return int64_t{source.width} * h > int64_t{source.height} * w;
}

// Where a picture scaled to fit inside w x h with its proportions kept lies, centred.
cv::Rect contained_rect(cv::Size source, int w, int h) {
    int inner_w = w, inner_h = h;
    if (wider_than(source, w, h)) {
        inner_h = std::clamp(rounded_ratio(source.height, w, source.width), 1, h);
    } else {
        inner_w = std::clamp(rounded_ratio(source.width, h, source.height), 1, w);
    }
    return cv::Rect((w - inner_w) / 2, (h - inner_h) / 2, inner_w, inner_h);
}

// The centred part of a picture with the proportions of w x h, cropped evenly from both sides.
cv::Rect covering_crop(cv::Size source, int w, int h) {
    cv::Rect crop(0, 0, source.width, source.height);
    if (wider_than(source, w, h)) {
        crop.width = std::clamp(rounded_ratio(source.height, w, h), 1, source.width);
        crop.x = (source.width - crop.width) / 2;
    } else {
        crop.height = std::clamp(rounded_ratio(source.width, h, w), 1, source.height);
        crop.y = (source.height - crop.height) / 2;
    }
    return crop;
}

// Floyd-Steinberg error diffusion onto the grey levels k * 17 (k = 0 to 15) the panel shows.
void dither_to_panel_levels(cv::Mat &picture) {
    const int w = picture.cols;
    // Errors carried to this row and the next, with one spare cell on each side.
    std::vector<float> this_row(w + 2, 0.0f), next_row(w + 2, 0.0f);
    for (int y = 0; y < picture.rows; ++y) {
        uchar *row = picture.ptr<uchar>(y);
        for (int x = 0; x < w; ++x) {
            const float wanted = row[x] + this_row[x + 1];
            const int level = std::clamp(static_cast<int>(std::lround(wanted / 17.0f)), 0, 15);
            row[x] = static_cast<uchar>(level * 17);
            const float error = wanted - row[x];
            this_row[x + 2] += error * 7.0f / 16.0f;
            next_row[x] += error * 3.0f / 16.0f;
            next_row[x + 1] += error * 5.0f / 16.0f;
            next_row[x + 2] += error * 1.0f / 16.0f;
        }
        std::swap(this_row, next_row);
        std::fill(next_row.begin(), next_row.end(), 0.0f);
    }
}

} // namespace

img_proc::img_proc(const char *path, int w, int h, int rotate, const picture_options &options) {
    // A target of no pixels cannot be scaled to; the picture stays empty like a failed load.
    if (w <= 0 || h <= 0) {
        problem = "nothing to scale it to";
        return;
    }
    picture_file file = read_picture(path, options.background);
    if (file.grey.empty()) {
        problem = file.problem;
        std::puts("Error: Open Image File Fail");
        std::fprintf(stderr, "Error: cannot use picture '%s': %s\n", path, problem.c_str());
        return;
    }
    cv::Mat decoded = std::move(file.grey);
    turn(decoded, rotate);
    // A size past what memory can hold makes OpenCV throw; the picture then stays empty.
    try {
        scale(decoded, w, h, options);
    } catch (const std::exception &) {
        picture.release();
        problem = "cannot be scaled to " + std::to_string(w) + " x " + std::to_string(h);
        std::printf("Error: cannot scale the image to %d x %d\n", w, h);
        return;
    }
    if (options.dither) {
        dither_to_panel_levels(picture);
    }
}

img_proc::~img_proc() = default;

void img_proc::scale(const cv::Mat &source, int w, int h, const picture_options &options) {
    switch (options.fit) {
    case fit_mode::stretch:
        // A picture already of that size is taken as it is: resize would only copy it.
        if (source.cols == w && source.rows == h) {
            picture = source;
        } else {
            cv::resize(source, picture, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
        }
        break;
    case fit_mode::contain: {
        picture.create(h, w, CV_8UC1);
        picture.setTo(cv::Scalar(options.background));
        cv::Mat inner = picture(contained_rect(source.size(), w, h));
        cv::resize(source, inner, inner.size(), 0, 0, cv::INTER_LINEAR);
        break;
    }
    case fit_mode::cover:
        cv::resize(source(covering_crop(source.size(), w, h)), picture, cv::Size(w, h), 0, 0,
                   cv::INTER_LINEAR);
        break;
    }
}

band_buffer img_proc::getArea(int x, int y, int w, int h, bool flip) const {
    if (!lies_inside(picture, x, y, w, h)) {
        return nullptr;
    }
    const size_t row_bytes = static_cast<size_t>(w);
    // malloc(0) may return null, which would read as a failure; a band always gets a block.
    band_buffer band(static_cast<char *>(std::malloc(std::max<size_t>(1, row_bytes * h))));
    if (!band) {
        return nullptr;
    }
    // Each band row is one picture row read right to left; the rows run bottom-up unless flip.
    for (int i = 0; i < h; ++i) {
        const int source_row = y + (flip ? i : h - 1 - i);
        reverse_bytes(picture.ptr<uchar>(source_row) + x, row_bytes, band.get() + i * row_bytes);
    }
    return band;
}
