// Fitting and dithering: each picture is compared with a reference worked out here, from the
// geometry of the fit, and the dithered grey levels with what the panel can show.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <filesystem>
#include <set>
#include <sys/stat.h>

#include "img_proc.h"
#include "sim_show.h"

using namespace testing_support;

namespace {

cv::Mat load(const std::string &path, int w, int h, int rotate, picture_options options) {
    img_proc loader(path.c_str(), w, h, rotate, options);
    return loader.get_picture().clone();
}

// The picture scaled by the smaller ratio, proportions kept, centred on the background.
cv::Mat contained(const cv::Mat &source, int w, int h, int background) {
    double ratio = std::min(double(w) / source.cols, double(h) / source.rows);
    int inner_w = std::max(1, int(std::lround(source.cols * ratio)));
    int inner_h = std::max(1, int(std::lround(source.rows * ratio)));
    inner_w = std::min(inner_w, w);
    inner_h = std::min(inner_h, h);
    cv::Mat scaled;
    cv::resize(source, scaled, cv::Size(inner_w, inner_h), 0, 0, cv::INTER_LINEAR);
    cv::Mat out(h, w, CV_8UC1, cv::Scalar(background));
    scaled.copyTo(out(cv::Rect((w - inner_w) / 2, (h - inner_h) / 2, inner_w, inner_h)));
    return out;
}

// The centred part of the picture with the target's proportions, scaled to fill it.
cv::Mat covered(const cv::Mat &source, int w, int h) {
    double ratio = std::max(double(w) / source.cols, double(h) / source.rows);
    int crop_w = std::min(source.cols, int(std::lround(w / ratio)));
    int crop_h = std::min(source.rows, int(std::lround(h / ratio)));
    cv::Mat crop =
        source(cv::Rect((source.cols - crop_w) / 2, (source.rows - crop_h) / 2, crop_w, crop_h));
    cv::Mat out;
    cv::resize(crop, out, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
    return out;
}

} // namespace

TEST(PictureFit, ContainAndCoverKeepProportionsOnOddShapes) {
    temp_dir dir;
    const cv::Size sources[] = {{301, 97}, {97, 301}, {640, 480}, {33, 35}};
    const cv::Size targets[] = {{200, 150}, {151, 403}, {1440, 64}};
    for (cv::Size source_size : sources) {
        cv::Mat source = numbered_picture(source_size.width, source_size.height);
        std::string path = dir.file("source.png");
        cv::imwrite(path, source);
        for (int rotate : {0, 90}) {
            const cv::Mat upright = turned(source, rotate);
            for (cv::Size t : targets) {
                SCOPED_TRACE(std::to_string(source_size.width) + "x" +
                             std::to_string(source_size.height) + " turned " +
                             std::to_string(rotate) + " into " + std::to_string(t.width) + "x" +
                             std::to_string(t.height));
                picture_options contain;
                contain.fit = fit_mode::contain;
                contain.background = 200;
                EXPECT_EQ(differing_pixels(load(path, t.width, t.height, rotate, contain),
                                           contained(upright, t.width, t.height, 200)),
                          0);
                picture_options cover;
                cover.fit = fit_mode::cover;
                EXPECT_EQ(differing_pixels(load(path, t.width, t.height, rotate, cover),
                                           covered(upright, t.width, t.height)),
                          0);
            }
        }
    }
}

TEST(PictureFit, StretchIsTheDefault) {
    temp_dir dir;
    cv::Mat source = numbered_picture(120, 50);
    std::string path = dir.file("source.png");
    cv::imwrite(path, source);
    cv::Mat expected;
    cv::resize(source, expected, cv::Size(90, 90), 0, 0, cv::INTER_LINEAR);
    EXPECT_EQ(differing_pixels(load(path, 90, 90, 0, {}), expected), 0);
}

TEST(PictureDither, LandsOnPanelLevelsKeepsTheMeanAndRepeats) {
    temp_dir dir;
    cv::Mat ramp(200, 300, CV_8UC1);
    for (int y = 0; y < ramp.rows; ++y) {
        for (int x = 0; x < ramp.cols; ++x) {
            ramp.at<uchar>(y, x) = static_cast<uchar>(x * 255 / (ramp.cols - 1));
        }
    }
    std::string path = dir.file("ramp.png");
    cv::imwrite(path, ramp);
    picture_options dither;
    dither.dither = true;
    for (int rotate : {0, 270}) {
        cv::Mat plain = load(path, 240, 180, rotate, {});
        cv::Mat dithered = load(path, 240, 180, rotate, dither);
        std::set<int> levels(dithered.begin<uchar>(), dithered.end<uchar>());
        for (int level : levels) {
            EXPECT_EQ(level % 17, 0) << level;
        }
        EXPECT_GT(levels.size(), 12u);
        EXPECT_NEAR(cv::mean(dithered)[0], cv::mean(plain)[0], 1.0);
        EXPECT_EQ(differing_pixels(dithered, load(path, 240, 180, rotate, dither)), 0);
        // Mixed levels stand in for the greys between two levels: a mid-grey column is not flat.
        cv::Mat middle = dithered.col(120);
        std::set<int> column(middle.begin<uchar>(), middle.end<uchar>());
        EXPECT_GE(column.size(), 2u);
    }
}

namespace {

// Three whole-panel images and an area image, on a panel of two 2880 x 16 bands.
class PictureSettings : public sim_show {
  protected:
    run_result play_with(const std::string &options, const env_list &more = {}) {
        cv::imwrite(dir.file("img/a.png"), numbered_picture(40, 30));
        show_settings settings;
        settings.options = options;
        panel = layout(42, 16);
        return play(playlist("<image_name><full_update><img>a.png</img><img>a.png</img>"
                             "<img>a.png</img></full_update><area_update><img>a.png</img>"
                             "<area>0,0,20,10</area></area_update></image_name>",
                             settings),
                    more);
    }
};

} // namespace

TEST_F(PictureSettings, EchoedAfterTheEightLines) {
    // Two passes: the flag is raised while the sixth image loads.
    run_result r = play_with("<status_dir>status</status_dir><fit> contain </fit>"
                             "<background>0</background><dither>floyd-steinberg</dither>"
                             "<clear_every>3</clear_every>",
                             {{"EPDSIM_RAISE", "SIGINT@300"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("rotate  = 0\nfit = contain\nbackground = 0\ndither = floyd-steinberg\n"
                         "clear_every = 3\nstatus_dir = status\nusb_init\n"),
              std::string::npos);
}

TEST_F(PictureSettings, DeepClearAfterEveryNImagesAcrossPasses) {
    // Each pass shows 4 images; with a clear after every 3, clears follow images 3 and 6.
    run_result r = play_with("<clear_every>3</clear_every>", {{"EPDSIM_RAISE", "SIGINT@300"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        lines_starting(r.out, {"Display :", "Display a.png", "Deep clear", "Clear Screen (0x94)"}),
        (lines{"Display : a.png ", "Display : a.png ", "Display : a.png ",
               "Deep clear after 3 images", "Clear Screen (0x94)",
               "Display a.png on (x, y, w, h) = (0, 0, 20, 10)", "Display : a.png ",
               "Display : a.png ", "Deep clear after 3 images", "Clear Screen (0x94)",
               "Display : a.png "}));
    // On the wire a clear is power on, a mode-0 refresh of every whole band, the engine poll and
    // power off, with nothing loaded.
    EXPECT_EQ(count_holding(journal(), "display mode=0 x=0 y=0 w=2880 h=16"), 2 * 2);
}

TEST_F(PictureSettings, BadValuesAreRefusedBeforeAnyUsbActivity) {
    const std::string quiet_expected = "expected windows of the day such as 22:00-07:00, separated "
                                       "by commas, leaving some time of the day to show pictures "
                                       "in";
    struct {
        std::string extra;
        std::string message;
    } cases[] = {
        {"<fit>zoom</fit>", "<fit> holds 'zoom'; expected stretch, contain or cover"},
        {"<background>256</background>", "<background> holds '256'; expected a grey from 0 to 255"},
        {"<background>dark</background>",
         "<background> holds 'dark'; expected a grey from 0 to 255"},
        {"<dither>ordered</dither>", "<dither> holds 'ordered'; expected none or floyd-steinberg"},
        {"<clear_every>-1</clear_every>",
         "<clear_every> holds '-1'; expected a whole number of images, 0 or more"},
        {"<quiet_hours>22:00-7</quiet_hours>", "<quiet_hours> holds '22:00-7'; " + quiet_expected},
        {"<quiet_hours>0:00-12:00,12:00-0:00</quiet_hours>",
         "<quiet_hours> holds '0:00-12:00,12:00-0:00'; " + quiet_expected},
        {"<quiet_hours clear=\"yes\">22:00-07:00</quiet_hours>",
         "<quiet_hours clear> holds 'yes'; expected true or false"},
        {"<image_name><full_update><img seconds=\"-1\">a.png</img></full_update></image_name>",
         "<img seconds> holds '-1'; expected a whole number of seconds, 0 or more"},
        {"<image_name><area_update><img seconds=\"1.5\">a.png</img></area_update></image_name>",
         "<img seconds> holds '1.5'; expected a whole number of seconds, 0 or more"},
        {"<image_name><full_update><folder seconds=\"soon\">x</folder></full_update>"
         "</image_name>",
         "<folder seconds> holds 'soon'; expected a whole number of seconds, 0 or more"},
        {"<image_name><full_update><folder shuffle=\"yes\">x</folder></full_update>"
         "</image_name>",
         "<folder shuffle> holds 'yes'; expected true or false"},
        {"<status_dir></status_dir>", "<status_dir> holds ''; expected a folder the tool may "
                                      "write in"},
        // A folder under a regular file, which no user can make.
        {"<status_dir>playlist.xml/status</status_dir>",
         "<status_dir> 'playlist.xml/status' cannot be created: Not a directory"},
    };
    for (const auto &c : cases) {
        run_result r = play_with(c.extra);
        EXPECT_EQ(r.status, 1) << c.extra;
        EXPECT_EQ(r.err, "Error: playlist.xml:1: " + c.message + "\n");
        EXPECT_EQ(r.out.find("usb_init"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(dir.file("journal.txt")) &&
                     !read_file(dir.file("journal.txt")).empty());
    }
}
