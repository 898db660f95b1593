// The panels the tool knows how to drive: how many controllers, the band each one drives, and how
// each band's memory lies on the panel. The panel, its mirror, --check and --probe all read this
// one table.
#ifndef EPDSHOW_PANEL_LAYOUT_H
#define EPDSHOW_PANEL_LAYOUT_H

#include <string>
#include <vector>

struct panel_layout {
    int id = 0;          // how messages call it: the 42 layout, the 32 layout
    int controllers = 0; // one band each, stacked from the top down
    int band_width = 0;  // pixels: the width of the whole panel
    int band_height = 0; // rows of each band on the panel the layout is made for
    // Every band's memory runs right to left; the bottom band's memory also counts its rows up
    // from the panel's lower edge, so what it is sent is turned by 180 degrees.
    bool bottom_band_turned = false;

    int panel_height() const { return band_height * controllers; }
};

const std::vector<panel_layout> &panel_layouts();

// The layout of a panel of that many controllers with bands of that width, or null when none
// matches (such a panel shows no picture).
const panel_layout *find_panel_layout(int controllers, int band_width);

// Why that many controllers with bands of that width match no layout: "1 controller of width
// 2880: the 42 layout needs 2".
std::string layout_mismatch(int controllers, int band_width);

#endif
