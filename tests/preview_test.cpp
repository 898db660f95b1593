// What the virtual panel shows after epdshow-sim played an image: the whole-panel picture as a
// viewer sees it on both layouts, and an area image where the band walk puts it.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include "test_support.h"

using testing_support::env_list;
using testing_support::run_program;
using testing_support::run_result;
using testing_support::temp_dir;

namespace {

std::string playlist(int rotate, const std::string &lists) {
    return "<playlist><epd name=\"preview\"><color>g</color><image_path></image_path>"
           "<slide_interval>0</slide_interval><en_set_temperature>0</en_set_temperature>"
           "<temperature>25</temperature><waveform_mode>2</waveform_mode><rotate>" +
           std::to_string(rotate) + "</rotate><image_name>" + lists +
           "<stop/></image_name></epd></playlist>";
}

// A picture with distinct quadrants and fine detail, so a wrong turn or mirror shows.
cv::Mat source_picture(int w, int h) {
    cv::Mat picture(h, w, CV_8UC1);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int quadrant = (x < w / 2 ? 0 : 1) + (y < h / 3 ? 0 : 2);
            picture.at<uchar>(y, x) = static_cast<uchar>(quadrant * 60 + (x * 3 + y) % 40);
        }
    }
    return picture;
}

cv::Mat turned(const cv::Mat &picture, int rotate) {
    cv::Mat out = picture.clone();
    if (rotate == 90) {
        cv::transpose(picture, out);
        cv::flip(out, out, 0);
    } else if (rotate == 180) {
        cv::flip(picture, out, -1);
    } else if (rotate == 270) {
        cv::transpose(picture, out);
        cv::flip(out, out, 1);
    }
    return out;
}

// The 16 grey levels the panel shows.
cv::Mat as_shown(const cv::Mat &picture) {
    cv::Mat levels = picture.clone();
    for (auto it = levels.begin<uchar>(); it != levels.end<uchar>(); ++it) {
        *it = static_cast<uchar>((*it >> 4) * 17);
    }
    return levels;
}

struct preview {
    run_result run;
    cv::Mat frame;
};

preview play(const temp_dir &dir, const std::string &layout, int rotate, const std::string &lists,
             const cv::Mat &picture) {
    cv::imwrite(dir.file("picture.png"), picture);
    dir.write("playlist.xml", playlist(rotate, lists));
    mkdir(dir.file("frames").c_str(), 0755);
    env_list env = {
        {"EPDSIM_LAYOUT", layout}, {"EPDSIM_BUSY", "1"}, {"EPDSIM_FRAMES", dir.file("frames")}};
    preview p;
    p.run = run_program(EPDSHOW_SIM_PATH, {"playlist.xml"}, env, dir.path(), 60);
    p.frame = cv::imread(dir.file("frames/frame-0001.png"), cv::IMREAD_UNCHANGED);
    return p;
}

void expect_same_pixels(const cv::Mat &a, const cv::Mat &b) {
    ASSERT_EQ(a.size(), b.size());
    ASSERT_EQ(a.type(), b.type());
    EXPECT_EQ(cv::countNonZero(a != b), 0);
}

} // namespace

TEST(Preview, WholePanelImageShowsUprightOnBothLayouts) {
    struct {
        std::string layout;
        int rotate;
        cv::Size panel;
    } cases[] = {{"42", 0, {2880, 2160}},
                 {"42", 90, {2880, 2160}},
                 {"32", 270, {1440, 2560}},
                 {"32", 180, {1440, 2560}}};
    for (const auto &c : cases) {
        temp_dir dir;
        cv::Mat picture = source_picture(640, 480);
        preview p = play(dir, c.layout, c.rotate,
                         "<full_update><img>picture.png</img></full_update>", picture);
        ASSERT_EQ(p.run.status, 0) << p.run.err;
        cv::Mat expected;
        cv::resize(turned(picture, c.rotate), expected, c.panel, 0, 0, cv::INTER_LINEAR);
        SCOPED_TRACE(c.layout + " layout, rotate " + std::to_string(c.rotate));
        expect_same_pixels(p.frame, as_shown(expected));
    }
}

TEST(Preview, AreaImageLandsWhereTheBandWalkPutsIt) {
    // Across the band boundary of the 42 layout: rows 1000 to 1199 of a 2160-row panel. Memory
    // column x + w - 1 - j holds picture column j, and the panel shows memory column c at
    // width - 1 - c, so the picture appears upright with its left edge at width - x - w.
    temp_dir dir;
    cv::Mat picture = source_picture(300, 200);
    const int x = 100, y = 1000, w = 300, h = 200;
    preview p = play(dir, "42", 0,
                     "<area_update><img>picture.png</img><area>100,1000,300,200</area>"
                     "</area_update>",
                     picture);
    ASSERT_EQ(p.run.status, 0) << p.run.err;
    ASSERT_FALSE(p.frame.empty());
    cv::Rect shown(2880 - x - w, y, w, h);
    expect_same_pixels(p.frame(shown), as_shown(picture));
    cv::Mat rest = p.frame.clone();
    rest(shown).setTo(255);
    // Beside the area only the 10x10 corners of uncovered bands may differ from white; here
    // both bands are covered, so the rest of the panel stays white.
    EXPECT_EQ(cv::countNonZero(rest != 255), 0);
}
