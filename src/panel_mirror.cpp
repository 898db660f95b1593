#include "panel_mirror.h"

#include <opencv2/core.hpp>

#include <cstdint>

#include "panel_layout.h"

namespace {

constexpr uchar white = 255;

// The same rectangle of a w x h band, or nothing when it does not lie inside it.
bool inside(int x, int y, int w, int h, const cv::Mat &band) {
    return x >= 0 && y >= 0 && w > 0 && h > 0 && int64_t{x} + w <= band.cols &&
           int64_t{y} + h <= band.rows;
}

} // namespace

void panel_mirror::set_shape(const panel_layout *panel, int band_count, int band_width,
                             int band_height) {
    const bool same =
        panel == layout && band_count == static_cast<int>(bands.size()) &&
        (bands.empty() || bands[0].memory.size() == cv::Size(band_width, band_height));
    if (same) {
        return;
    }
    layout = panel;
    bands.clear();
    for (int i = 0; i < band_count; ++i) {
        bands.push_back({cv::Mat(band_height, band_width, CV_8UC1, cv::Scalar(white)),
                         cv::Mat(band_height, band_width, CV_8UC1, cv::Scalar(white))});
    }
}

const panel_mirror::band *panel_mirror::band_at(int slot) const {
    return slot >= 0 && slot < static_cast<int>(bands.size()) ? &bands[slot] : nullptr;
}

void panel_mirror::band_written(int slot, int x, int y, int w, int rows,
                                const unsigned char *bytes) {
    const band *b = band_at(slot);
    if (b == nullptr || !inside(x, y, w, rows, b->memory)) {
        return;
    }
    const cv::Mat sent(rows, w, CV_8UC1, const_cast<unsigned char *>(bytes));
    sent.copyTo(bands[slot].memory(cv::Rect(x, y, w, rows)));
}

void panel_mirror::refresh_made(int slot, int x, int y, int w, int h, int mode) {
    const band *b = band_at(slot);
    if (b == nullptr || !inside(x, y, w, h, b->shown)) {
        return;
    }
    const cv::Rect area(x, y, w, h);
    if (mode == 0) {
        bands[slot].shown(area).setTo(white);
    } else {
        b->memory(area).copyTo(bands[slot].shown(area));
    }
}

// In a layout every band shows its memory columns mirrored (the controllers' memory runs right to
// left); a turned bottom band is also upside down. Other sets stack their bands as they are.
cv::Mat panel_mirror::compose() const {
    if (bands.empty()) {
        return cv::Mat();
    }
    const int band_height = bands[0].shown.rows;
    cv::Mat panel(band_height * static_cast<int>(bands.size()), bands[0].shown.cols, CV_8UC1);
    int top = 0;
    for (int slot = static_cast<int>(bands.size()) - 1; slot >= 0; --slot, top += band_height) {
        cv::Mat view = panel(cv::Rect(0, top, panel.cols, band_height));
        if (layout != nullptr && layout->bottom_band_turned && slot == 0) {
            cv::flip(bands[slot].shown, view, -1);
        } else if (layout != nullptr) {
            cv::flip(bands[slot].shown, view, 1);
        } else {
            bands[slot].shown.copyTo(view);
        }
    }
    cv::Mat levels(1, 256, CV_8UC1);
    for (int v = 0; v < 256; ++v) {
        levels.at<uchar>(v) = static_cast<uchar>((v >> 4) * 17);
    }
    cv::Mat shown;
    cv::LUT(panel, levels, shown);
    return shown;
}
