#include "img_proc.h"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>

namespace {

void turn(cv::Mat &picture, int rotate) {
    switch (rotate) {
    case 90: // the right column, read top to bottom, becomes the top row
        cv::transpose(picture, picture);
        cv::flip(picture, picture, 0);
        break;
    case 180:
        cv::flip(picture, picture, -1);
        break;
    case 270: // the left column, read bottom to top, becomes the top row
        cv::transpose(picture, picture);
        cv::flip(picture, picture, 1);
        break;
    default:
        break;
    }
}

bool lies_inside(const cv::Mat &picture, int x, int y, int w, int h) {
    if (picture.empty() || x < 0 || y < 0 || w < 0 || h < 0) {
        return false;
    }
    return int64_t{x} + w <= picture.cols && int64_t{y} + h <= picture.rows;
}

} // namespace

img_proc::img_proc(const char *path, int w, int h, int rotate) {
    // A target of no pixels cannot be scaled to; the picture stays empty like a failed load.
    if (w <= 0 || h <= 0) {
        return;
    }
    // A file that cannot be read is reported by the message below alone, not by OpenCV's warning.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    cv::Mat decoded = cv::imread(path, cv::IMREAD_GRAYSCALE);
    if (decoded.empty()) {
        std::puts("Error: Open Image File Fail");
        return;
    }
    turn(decoded, rotate);
    // A size past what memory can hold makes OpenCV throw; the picture then stays empty.
    try {
        cv::resize(decoded, picture, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
    } catch (const std::exception &) {
        picture.release();
        std::printf("Error: cannot scale the image to %d x %d\n", w, h);
    }
}

img_proc::~img_proc() = default;

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
        const uchar *source = picture.ptr<uchar>(source_row) + x;
        std::reverse_copy(source, source + w, band.get() + i * row_bytes);
    }
    return band;
}
