// Image distribution and refresh across the bands of the 42 and 32 layouts.
#include "pictures.h"
#include "usb_session.h"

#include <cstdio>
#include <numeric>

using namespace testing_support;

namespace {

constexpr int band = 10;

class Bands : public panel_session {
  protected:
    // The 42 or the 32 layout with bands of 10 rows, multi IDs in bus order.
    epd &build_layout(int which) {
        epd &p = build(layout(which, band));
        partial_register_at_start = epdsim::register_value(0, 0x18001138);
        return p;
    }

    uint32_t partial_register_at_start = 0;

    // Loads a numbered picture of w x h into the rectangle; returns the picture.
    cv::Mat load(int x, int y, int w, int h) {
        cv::Mat picture = numbered_picture(w, h);
        std::string path = write_picture("picture.png", picture);
        EXPECT_EQ(output_of([&] { panel->ldImg2Buf(path, x, y, w, h, 0); }), "");
        return picture;
    }

    // Every picture row that falls on the panel is in the memory of its band's controller:
    // columns reversed, and in the bottom band of the 42 layout counted up from the panel edge.
    void expect_memory_shows(const cv::Mat &picture, int x, int y) const {
        const int devs = panel->get_nb_devs();
        const bool bottom_reversed = epdsim::layout() == 42;
        for (int r = 0; r < picture.rows && y + r < devs * band; ++r) {
            const int panel_row = y + r;
            const int slot = devs - 1 - panel_row / band;
            const int band_row = panel_row % band;
            const int memory_row = bottom_reversed && slot == 0 ? band - 1 - band_row : band_row;
            const int index = epdsim::controller_index_of(slot);
            for (int j = 0; j < picture.cols; ++j) {
                ASSERT_EQ(epdsim::memory_at(index, x + picture.cols - 1 - j, memory_row),
                          picture.at<uchar>(r, j))
                    << "picture row " << r << " column " << j;
            }
        }
    }

    // The memory writes of rows first .. last (memory rows) of controller dev, w bytes at x.
    static lines row_writes(int dev, int x, int w, int first, int last) {
        const epdsim::controller_config &config = epdsim::config(dev);
        lines out;
        for (int row = first; row <= last; ++row) {
            char text[96];
            std::snprintf(text, sizeof text, "dev=%d write_mem addr=0x%08x rowlen=%d", dev,
                          config.img_buf_addr + x + row * config.panel_width, w);
            out.push_back(text);
        }
        return out;
    }

    static lines concat(lines a, const lines &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    // The partial-bit change and the refresh of one slot whose register held its start value:
    // the other bits are written back as read.
    lines refresh(int dev, bool partial, const std::string &area) const {
        const uint32_t before = partial_register_at_start;
        char write[96];
        std::snprintf(write, sizeof write, "dev=%d write_reg addr=0x18001138 value=0x%08x", dev,
                      partial ? before | 0x80000u : before & ~0x80000u);
        const std::string name = "dev=" + std::to_string(dev);
        return {name + " read_reg addr=0x18001138", write, name + " display " + area};
    }
};

TEST_F(Bands, RectangleAcrossTheBandBoundaryOfThe42Layout) {
    build_layout(42);
    cv::Mat picture = load(100, 8, 6, 5);
    // Slot 1 (top) takes picture rows 0-1 at memory rows 8-9; slot 0 the rows 2-4, turned, at 7-9.
    EXPECT_EQ(new_commands(), concat(row_writes(1, 100, 6, 8, 9), row_writes(0, 100, 6, 7, 9)));
    expect_memory_shows(picture, 100, 8);

    EXPECT_EQ(output_of([&] { panel->display(100, 8, 6, 5, 2, true, 1); }),
              "[1]Disable Partial Bit 19 done\n[0]Disable Partial Bit 19 done\n");
    EXPECT_EQ(new_commands(), concat(refresh(1, false, "mode=2 x=100 y=8 w=6 h=2 arg6=1"),
                                     refresh(0, false, "mode=2 x=100 y=7 w=6 h=3 arg6=1")));
}

TEST_F(Bands, WholePanelOnThe42LayoutTurnsTheBottomBand) {
    build_layout(42);
    cv::Mat picture = numbered_picture(2880, 2 * band);
    std::string path = write_picture("whole.png", picture);
    EXPECT_EQ(output_of([&] { panel->ldImg2Buf(path, 0); }), "");
    EXPECT_EQ(new_commands(),
              concat(row_writes(1, 0, 2880, 0, band - 1), row_writes(0, 0, 2880, 0, band - 1)));
    expect_memory_shows(picture, 0, 0);

    EXPECT_EQ(output_of([&] { panel->display(4, 1); }),
              "[1]Disable Partial Bit 19 done\n[0]Disable Partial Bit 19 done\n");
    EXPECT_EQ(new_commands(), concat(refresh(1, false, "mode=4 x=0 y=0 w=2880 h=10 arg6=1"),
                                     refresh(0, false, "mode=4 x=0 y=0 w=2880 h=10 arg6=1")));
}

TEST_F(Bands, TopOnABandBoundaryGivesTheBandAboveNoRows) {
    build_layout(42);
    cv::Mat picture = load(0, band, 7, 5);
    EXPECT_EQ(new_commands(), row_writes(0, 0, 7, 5, 9));
    expect_memory_shows(picture, 0, band);

    EXPECT_EQ(output_of([&] { panel->display(0, band, 7, 5, 2, true, 1); }),
              "[1]Enable Partial Bit 19 done\n[0]Disable Partial Bit 19 done\n");
    EXPECT_EQ(new_commands(), concat(refresh(1, true, "mode=2 x=0 y=0 w=10 h=10 arg6=1"),
                                     refresh(0, false, "mode=2 x=0 y=5 w=7 h=5 arg6=1")));
}

TEST_F(Bands, RectangleInTheBottomBandOfThe42LayoutSkipsTheTopBand) {
    build_layout(42);
    cv::Mat picture = load(3, 12, 7, 8);
    EXPECT_EQ(new_commands(), row_writes(0, 3, 7, 0, 7));
    expect_memory_shows(picture, 3, 12);

    EXPECT_EQ(output_of([&] { panel->display(3, 12, 7, 8, 2, true, 1); }),
              "[0]Disable Partial Bit 19 done\n");
    EXPECT_EQ(new_commands(), refresh(0, false, "mode=2 x=3 y=0 w=7 h=8 arg6=1"));
}

TEST_F(Bands, RectangleReachingTheLastRowOfTheTopBand) {
    build_layout(42);
    cv::Mat picture = load(0, 3, 9, 7);
    EXPECT_EQ(new_commands(), row_writes(1, 0, 9, 3, 9));
    expect_memory_shows(picture, 0, 3);

    EXPECT_EQ(output_of([&] { panel->display(0, 3, 9, 7, 2, true, 1); }),
              "[1]Disable Partial Bit 19 done\n[0]Enable Partial Bit 19 done\n");
    EXPECT_EQ(new_commands(), concat(refresh(1, false, "mode=2 x=0 y=3 w=9 h=7 arg6=1"),
                                     refresh(0, true, "mode=2 x=0 y=0 w=10 h=10 arg6=1")));
}

TEST_F(Bands, RectangleOverTwoMiddleBandsOfThe32Layout) {
    build_layout(32);
    cv::Mat picture = load(0, 15, 1440, 12);
    EXPECT_EQ(new_commands(), concat(row_writes(2, 0, 1440, 5, 9), row_writes(1, 0, 1440, 0, 6)));
    expect_memory_shows(picture, 0, 15);

    EXPECT_EQ(output_of([&] { panel->display(0, 15, 1440, 12, 3, true, 1); }),
              "[2]Disable Partial Bit 19 done\n[1]Disable Partial Bit 19 done\n"
              "[0]Enable Partial Bit 19 done\n");
    EXPECT_EQ(new_commands(), concat(concat(refresh(2, false, "mode=3 x=0 y=5 w=1440 h=5 arg6=1"),
                                            refresh(1, false, "mode=3 x=0 y=0 w=1440 h=7 arg6=1")),
                                     refresh(0, true, "mode=3 x=0 y=0 w=10 h=10 arg6=1")));
}

TEST_F(Bands, RowsBelowThePanelAreDropped) {
    build_layout(32);
    cv::Mat picture = load(20, 3 * band + 2, 30, 20);
    EXPECT_EQ(new_commands(), row_writes(0, 20, 30, 2, 9));
    expect_memory_shows(picture, 20, 3 * band + 2);

    EXPECT_EQ(output_of([&] { panel->display(20, 3 * band + 2, 30, 20, 3, true, 1); }),
              "[0]Disable Partial Bit 19 done\n");
    EXPECT_EQ(new_commands(), refresh(0, false, "mode=3 x=20 y=2 w=30 h=8 arg6=1"));
}

TEST_F(Bands, TallestRectangleIsCutAtThePanelBottom) {
    build_layout(42);
    output_of([&] { panel->display(0, 5, 10, 2147483647, 3, true, 1); });
    EXPECT_EQ(new_commands(), concat(refresh(1, false, "mode=3 x=0 y=5 w=10 h=5 arg6=1"),
                                     refresh(0, false, "mode=3 x=0 y=0 w=10 h=10 arg6=1")));
}

TEST_F(Bands, PartialBitIsChangedAlone) {
    epd &panel = build_layout(42);
    panel.write_register(0x18001138, 0x123C5678);
    output_of([&] { panel.display(2, 1); });
    EXPECT_EQ(epdsim::register_value(1, 0x18001138), 0x12345678u);
    EXPECT_EQ(epdsim::register_value(0, 0x18001138), 0x12345678u);
    output_of([&] { panel.display(0, 0, 10, 3, 2, true, 1); });
    EXPECT_EQ(epdsim::register_value(1, 0x18001138), 0x12345678u);
    EXPECT_EQ(epdsim::register_value(0, 0x18001138), 0x123C5678u);
}

struct panel_shape {
    int devs;
    int width;
};

void PrintTo(const panel_shape &s, std::ostream *out) {
    *out << s.devs << " x " << s.width;
}

class BandsWithoutLayout : public panel_session, public testing::WithParamInterface<panel_shape> {};

TEST_P(BandsWithoutLayout, LoadAndRefreshSendNothing) {
    std::vector<int> ids(GetParam().devs);
    std::iota(ids.begin(), ids.end(), 0);
    epd &panel = build(bands(GetParam().width, band, ids));
    // A missing file shows that no image is even opened.
    std::string missing = dir.file("missing.png");
    EXPECT_EQ(output_of([&] {
                  panel.ldImg2Buf(missing, 0);
                  panel.ldImg2Buf(missing, 0, 0, 10, 10, 0);
                  panel.display(2, 1);
                  panel.display(0, 0, 10, 10, 2, true, 1);
              }),
              "");
    EXPECT_EQ(new_commands(), lines{});
}

INSTANTIATE_TEST_SUITE_P(Shapes, BandsWithoutLayout,
                         testing::Values(panel_shape{2, 1440}, panel_shape{4, 2880},
                                         panel_shape{3, 2880}));

TEST_F(Bands, BadRectanglesReachNoController) {
    epd &panel = build_layout(42);
    std::string path = write_picture("picture.png", numbered_picture(8, 8));
    const int rectangles[][4] = {{0, 0, 0, 5},    {0, 0, 5, 0},    {0, 0, -5, 5},
                                 {0, 0, 5, -5},   {-1, 0, 5, 5},   {0, -1, 5, 5},
                                 {2876, 0, 5, 5}, {1, 0, 2880, 5}, {2147483647, 0, 1, 1}};
    for (const auto &r : rectangles) {
        EXPECT_EQ(output_of([&] {
                      panel.ldImg2Buf(path, r[0], r[1], r[2], r[3], 0);
                      panel.display(r[0], r[1], r[2], r[3], 2, true, 1);
                  }),
                  "");
        EXPECT_EQ(new_commands(), lines{}) << r[0] << ", " << r[1] << ", " << r[2] << ", " << r[3];
    }
}

} // namespace
