// Pictures for the tests: one maker, and the turns, grey levels and comparisons the tests need.
#ifndef EPDSHOW_TEST_PICTURES_H
#define EPDSHOW_TEST_PICTURES_H

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

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

} // namespace testing_support

#endif
