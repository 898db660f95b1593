// What the virtual panel shows after epdshow-sim played an image: the whole-panel picture as a
// viewer sees it on both layouts, and an area image where the band walk puts it.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sim_show.h"

using namespace testing_support;

namespace {

class Preview : public sim_show {
  protected:
    // Plays the lists with picture.png on the real-sized panel of the layout; returns the frame.
    cv::Mat play_on(int which, int rotate, const std::string &lists, const cv::Mat &picture) {
        cv::imwrite(dir.file("img/picture.png"), picture);
        panel = layout(which);
        panel.busy_reads = "1";
        show_settings settings;
        settings.rotate = rotate;
        settings.en_set_temperature = 0;
        const run_result run =
            play(playlist("<image_name>" + lists + "<stop/></image_name>", settings));
        EXPECT_EQ(run.status, 0) << run.err;
        return frame(1);
    }
};

} // namespace

TEST_F(Preview, WholePanelImageShowsUprightOnBothLayouts) {
    struct {
        int layout;
        int rotate;
        cv::Size panel;
    } cases[] = {{42, 0, {2880, 2160}},
                 {42, 90, {2880, 2160}},
                 {32, 270, {1440, 2560}},
                 {32, 180, {1440, 2560}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.layout) + " layout, rotate " + std::to_string(c.rotate));
        cv::Mat picture = numbered_picture(640, 480);
        cv::Mat seen = play_on(c.layout, c.rotate,
                               "<full_update><img>picture.png</img></full_update>", picture);
        EXPECT_EQ(differing_pixels(seen, as_shown(turned(picture, c.rotate), c.panel)), 0);
    }
}

TEST_F(Preview, AreaImageLandsWhereTheBandWalkPutsIt) {
    // Across the band boundary of the 42 layout: rows 1000 to 1199 of a 2160-row panel. Memory
    // column x + w - 1 - j holds picture column j, and the panel shows memory column c at
    // width - 1 - c, so the picture appears upright with its left edge at width - x - w.
    cv::Mat picture = numbered_picture(300, 200);
    const int x = 100, y = 1000, w = 300, h = 200;
    cv::Mat seen = play_on(42, 0,
                           "<area_update><img>picture.png</img><area>100,1000,300,200</area>"
                           "</area_update>",
                           picture);
    ASSERT_FALSE(seen.empty());
    cv::Rect shown(2880 - x - w, y, w, h);
    EXPECT_EQ(differing_pixels(seen(shown), as_shown(picture)), 0);
    cv::Mat rest = seen.clone();
    rest(shown).setTo(255);
    // Beside the area only the 10x10 corners of uncovered bands may differ from white; here
    // both bands are covered, so the rest of the panel stays white.
    EXPECT_EQ(cv::countNonZero(rest != 255), 0);
}
