// Fitting and dithering: each picture is compared with a reference worked out here, from the
// geometry of the fit, and the dithered grey levels with what the panel can show.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <set>
#include <sys/stat.h>

#include "img_proc.h"
#include "test_support.h"

using testing_support::env_list;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::run_result;
using testing_support::split_lines;
using testing_support::temp_dir;

namespace {

cv::Mat textured(int w, int h) {
    cv::Mat picture(h, w, CV_8UC1);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            picture.at<uchar>(y, x) = static_cast<uchar>((x * 7 + y * 3 + (x * y) % 13) % 256);
        }
    }
    return picture;
}

cv::Mat quarter_turn(const cv::Mat &picture) {
    cv::Mat out;
    cv::transpose(picture, out);
    cv::flip(out, out, 0);
    return out;
}

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

int differing(const cv::Mat &a, const cv::Mat &b) {
    if (a.size() != b.size()) {
        return -1;
    }
    return cv::countNonZero(a != b);
}

} // namespace

TEST(PictureFit, ContainAndCoverKeepProportionsOnOddShapes) {
    temp_dir dir;
    const cv::Size sources[] = {{301, 97}, {97, 301}, {640, 480}, {33, 35}};
    const cv::Size targets[] = {{200, 150}, {151, 403}, {1440, 64}};
    for (cv::Size source_size : sources) {
        cv::Mat source = textured(source_size.width, source_size.height);
        std::string path = dir.file("source.png");
        cv::imwrite(path, source);
        for (int rotate : {0, 90}) {
            cv::Mat turned = rotate == 90 ? quarter_turn(source) : source;
            for (cv::Size t : targets) {
                SCOPED_TRACE(std::to_string(source_size.width) + "x" +
                             std::to_string(source_size.height) + " turned " +
                             std::to_string(rotate) + " into " + std::to_string(t.width) + "x" +
                             std::to_string(t.height));
                picture_options contain;
                contain.fit = fit_mode::contain;
                contain.background = 200;
                EXPECT_EQ(differing(load(path, t.width, t.height, rotate, contain),
                                    contained(turned, t.width, t.height, 200)),
                          0);
                picture_options cover;
                cover.fit = fit_mode::cover;
                EXPECT_EQ(differing(load(path, t.width, t.height, rotate, cover),
                                    covered(turned, t.width, t.height)),
                          0);
            }
        }
    }
}

TEST(PictureFit, StretchIsTheDefault) {
    temp_dir dir;
    cv::Mat source = textured(120, 50);
    std::string path = dir.file("source.png");
    cv::imwrite(path, source);
    cv::Mat expected;
    cv::resize(source, expected, cv::Size(90, 90), 0, 0, cv::INTER_LINEAR);
    EXPECT_EQ(differing(load(path, 90, 90, 0, {}), expected), 0);
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
        EXPECT_EQ(differing(dithered, load(path, 240, 180, rotate, dither)), 0);
        // Mixed levels stand in for the greys between two levels: a mid-grey column is not flat.
        cv::Mat middle = dithered.col(120);
        std::set<int> column(middle.begin<uchar>(), middle.end<uchar>());
        EXPECT_GE(column.size(), 2u);
    }
}

namespace {

std::string playlist(const std::string &extra) {
    return "<playlist><epd name=\"opt\"><color>g</color><image_path></image_path>"
           "<slide_interval>0</slide_interval><en_set_temperature>1</en_set_temperature>"
           "<temperature>25</temperature><waveform_mode>2</waveform_mode><rotate>0</rotate>" +
           extra +
           "<image_name><full_update><img>a.png</img><img>a.png</img><img>a.png</img>"
           "</full_update><area_update><img>a.png</img><area>0,0,20,10</area></area_update>"
           "</image_name></epd></playlist>";
}

run_result play(const temp_dir &dir, const std::string &extra, const env_list &more = {}) {
    cv::imwrite(dir.file("a.png"), textured(40, 30));
    dir.write("playlist.xml", playlist(extra));
    env_list env = {{"EPDSIM_DEVICES", "2880x16@0,2880x16@1"},
                    {"EPDSIM_BUSY", "0"},
                    {"EPDSIM_JOURNAL", dir.file("journal.txt")}};
    env.insert(env.end(), more.begin(), more.end());
    return run_program(EPDSHOW_SIM_PATH, {"playlist.xml"}, env, dir.path(), 60);
}

} // namespace

TEST(PictureSettings, EchoedAfterTheEightLines) {
    temp_dir dir;
    // Two passes: the flag is raised while the sixth image loads.
    run_result r = play(dir,
                        "<fit> contain </fit><background>0</background>"
                        "<dither>floyd-steinberg</dither><clear_every>3</clear_every>",
                        {{"EPDSIM_RAISE", "SIGINT@300"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("rotate  = 0\nfit = contain\nbackground = 0\ndither = floyd-steinberg\n"
                         "clear_every = 3\nusb_init\n"),
              std::string::npos);
}

TEST(PictureSettings, DeepClearAfterEveryNImagesAcrossPasses) {
    temp_dir dir;
    // Each pass shows 4 images; with a clear after every 3, clears follow images 3 and 6.
    run_result r = play(dir, "<clear_every>3</clear_every>", {{"EPDSIM_RAISE", "SIGINT@300"}});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> sequence;
    for (const std::string &line : split_lines(r.out)) {
        if (line.rfind("Display :", 0) == 0 || line.rfind("Display a.png", 0) == 0 ||
            line.rfind("Deep clear", 0) == 0 || line == "Clear Screen (0x94)") {
            sequence.push_back(line);
        }
    }
    EXPECT_EQ(sequence, (std::vector<std::string>{
                            "Display : a.png ", "Display : a.png ", "Display : a.png ",
                            "Deep clear after 3 images", "Clear Screen (0x94)",
                            "Display a.png on (x, y, w, h) = (0, 0, 20, 10)", "Display : a.png ",
                            "Display : a.png ", "Deep clear after 3 images", "Clear Screen (0x94)",
                            "Display : a.png "}));
    // On the wire a clear is power on, a mode-0 refresh of every whole band, the engine poll and
    // power off, with nothing loaded.
    int clears = 0;
    std::vector<std::string> journal = split_lines(read_file(dir.file("journal.txt")));
    for (size_t i = 0; i < journal.size(); ++i) {
        if (journal[i].find("display mode=0 x=0 y=0 w=2880 h=16") != std::string::npos) {
            ++clears;
        }
    }
    EXPECT_EQ(clears, 2 * 2);
}

TEST(PictureSettings, BadValuesAreRefusedBeforeAnyUsbActivity) {
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
    };
    for (const auto &c : cases) {
        temp_dir dir;
        run_result r = play(dir, c.extra);
        EXPECT_EQ(r.status, 1) << c.extra;
        EXPECT_EQ(r.err, "Error: playlist file 'playlist.xml': " + c.message + "\n");
        EXPECT_EQ(r.out.find("usb_init"), std::string::npos);
        EXPECT_FALSE(testing_support::file_exists(dir.file("journal.txt")) &&
                     !read_file(dir.file("journal.txt")).empty());
    }
}
