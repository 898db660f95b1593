#include "panel_layout.h"

const std::vector<panel_layout> &panel_layouts() {
    static const std::vector<panel_layout> layouts = {
        {42, 2, 2880, 1080, true},
        {32, 4, 1440, 640, false},
    };
    return layouts;
}

const panel_layout *find_panel_layout(int controllers, int band_width) {
    for (const panel_layout &layout : panel_layouts()) {
        if (layout.controllers == controllers && layout.band_width == band_width) {
            return &layout;
        }
    }
    return nullptr;
}

// The layouts of bands of that width are named with the count they need; when none has such
// bands, every layout is named with its count and width.
std::string layout_mismatch(int controllers, int band_width) {
    std::string needs;
    for (const panel_layout &layout : panel_layouts()) {
        if (layout.band_width == band_width) {
            needs += (needs.empty() ? "the " : ", the ") + std::to_string(layout.id) +
                     " layout needs " + std::to_string(layout.controllers);
        }
    }
    if (needs.empty()) {
        for (const panel_layout &layout : panel_layouts()) {
            needs += (needs.empty() ? "the " + std::to_string(layout.id) + " layout needs "
                                    : ", the " + std::to_string(layout.id) + " layout ") +
                     std::to_string(layout.controllers) + " of width " +
                     std::to_string(layout.band_width);
        }
    }
    return std::to_string(controllers) + (controllers == 1 ? " controller" : " controllers") +
           " of width " + std::to_string(band_width) + ": " + needs;
}
