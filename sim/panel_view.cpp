#include "panel_view.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace epdsim {

namespace {

std::vector<const controller *> bands_top_down(const controller_list &controllers) {
    std::vector<const controller *> order;
    for (const auto &c : controllers)
        order.push_back(c.get());
    std::stable_sort(order.begin(), order.end(), [](const controller *a, const controller *b) {
        return a->config().multiID > b->config().multiID;
    });
    return order;
}

} // namespace

int layout_of(const controller_list &controllers) {
    auto all_wide = [&controllers](int width) {
        return std::all_of(controllers.begin(), controllers.end(),
                           [width](const auto &c) { return c->config().panel_width == width; });
    };
    if (controllers.size() == 2 && all_wide(2880))
        return 42;
    if (controllers.size() == 4 && all_wide(1440))
        return 32;
    return 0;
}

// In a layout every band shows its memory columns mirrored (memory column c at width - 1 - c);
// the bottom band of the 42 layout is also upside down (memory row r at band row B - 1 - r).
// Other sets stack their bands unturned.
cv::Mat compose_panel(const controller_list &controllers) {
    std::vector<const controller *> order = bands_top_down(controllers);
    int width = 0, height = 0;
    for (const controller *c : order) {
        width = std::max(width, c->config().panel_width);
        height += c->config().panel_height;
    }
    cv::Mat panel(height, width, CV_8UC1, cv::Scalar(255));
    int kind = layout_of(controllers);
    int top = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const controller &c = *order[k];
        int w = c.config().panel_width, h = c.config().panel_height;
        cv::Mat band(h, w, CV_8UC1, const_cast<std::uint8_t *>(c.shown().data()));
        cv::Mat view;
        if (kind == 42 && k + 1 == order.size())
            cv::flip(band, view, -1);
        else if (kind != 0)
            cv::flip(band, view, 1);
        else
            view = band;
        view.copyTo(panel(cv::Rect(0, top, w, h)));
        top += h;
    }
    cv::Mat levels(1, 256, CV_8UC1);
    for (int v = 0; v < 256; ++v)
        levels.at<std::uint8_t>(v) = std::uint8_t((v >> 4) * 17);
    cv::Mat shown;
    cv::LUT(panel, levels, shown);
    return shown;
}

void panel_view::count_refreshes(int index, std::size_t refreshes) {
    std::size_t &seen = refreshes_seen[std::size_t(index)];
    unshown_refreshes += int(refreshes - seen);
    seen = refreshes;
}

void panel_view::show_unshown(const controller_list &controllers) {
    if (unshown_refreshes > 0)
        write_frame(controllers);
}

void panel_view::write_frame(const controller_list &controllers) {
    last = compose_panel(controllers);
    ++frames;
    unshown_refreshes = 0;
    if (frames_dir.empty() || frames > frames_max + 1)
        return;
    if (frames == frames_max + 1) {
        std::fprintf(stderr,
                     "epdsim: %d frames written to %s, as many as EPDSIM_FRAMES_MAX allows; no "
                     "more frames are written\n",
                     frames_max, frames_dir.c_str());
        return;
    }
    char name[32];
    std::snprintf(name, sizeof name, "/frame-%04d.png", frames);
    if (!cv::imwrite(frames_dir + name, last))
        std::fprintf(stderr, "epdsim: cannot write %s%s\n", frames_dir.c_str(), name);
}

void panel_view::dump_memories(const controller_list &controllers) const {
    if (memory_dir.empty())
        return;
    for (std::size_t i = 0; i < controllers.size(); ++i) {
        std::string path = memory_dir + "/controller-" + std::to_string(i) + ".mem";
        std::ofstream out(path, std::ios::binary);
        const std::vector<std::uint8_t> &mem = controllers[i]->memory();
        out.write(reinterpret_cast<const char *>(mem.data()), std::streamsize(mem.size()));
        if (!out)
            std::fprintf(stderr, "epdsim: cannot write %s\n", path.c_str());
    }
}

} // namespace epdsim
