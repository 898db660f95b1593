// The status folder: now.png against the virtual panel's own frames, the play log's bound, JSON
// that stays valid whatever a file is called, a folder that fails while the show runs, and the
// status page's references to what the program writes.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "panel_layout.h"
#include "sim_show.h"
#include "status_files.h"
#include "status_report.h"

#include <algorithm>
#include <filesystem>
#include <set>

using namespace testing_support;

namespace {

namespace fs = std::filesystem;

// A show on either layout with a status folder, in small bands.
class StatusFolderShow : public sim_show, public testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        sim_show::SetUp();
        panel = layout(GetParam(), GetParam() == 42 ? 40 : 20);
        cv::imwrite(dir.file("img/whole.png"), numbered_picture(90, 70, 1));
        cv::imwrite(dir.file("img/area.png"), numbered_picture(50, 40, 2));
    }

    // Plays the pictures with a fresh frames folder; the number of frames the panel showed.
    int play_pictures(const std::string &full, const std::string &areas) {
        fs::remove_all(dir.file("frames"));
        fs::create_directory(dir.file("frames"));
        show_settings settings;
        settings.options = "<status_dir>status</status_dir>";
        run_result r =
            play(playlist("<image_name><full_update>" + full + "</full_update><area_update>" +
                              areas + "</area_update><stop/></image_name>",
                          settings));
        EXPECT_EQ(r.status, 0) << r.err;
        int frames = 0;
        while (fs::exists(dir.file(cv::format("frames/frame-%04d.png", frames + 1)))) {
            ++frames;
        }
        return frames;
    }

    cv::Mat now_png() const { return cv::imread(dir.file("status/now.png"), cv::IMREAD_UNCHANGED); }
};

// A status report's folder after a picture shown and one that could not be used: every field of
// status.json holds a value.
void write_a_status(status_report &report) {
    report.mirror().set_shape(find_panel_layout(2, 2880), 2, 2880, 8);
    status_picture picture;
    picture.file = "img/a.png";
    picture.area = true;
    report.picture_starting(picture);
    report.picture_shown({{0, 1, 25}, {1, 0, 24}}, true);
    report.picture_unusable("img/b.png", "not found");
}

} // namespace

TEST_P(StatusFolderShow, NowPngIsThePanelsLastFrameAfterWholeAndAreaPictures) {
    // An area that crosses band boundaries, the bands below it getting their small refresh.
    const std::string area = GetParam() == 42 ? "300,30,500,30" : "100,15,600,30";
    EXPECT_EQ(play_pictures("<img>whole.png</img>", ""), 1);
    EXPECT_EQ(differing_pixels(now_png(), frame(1)), 0);
    EXPECT_EQ(play_pictures("<img>whole.png</img>", "<img>area.png</img><area>" + area +
                                                        "</area><img>area.png</img>"
                                                        "<area>0,0,40,10</area>"),
              3);
    EXPECT_EQ(differing_pixels(now_png(), frame(3)), 0);
    const json last = read_json_lines(dir.file("status/play-log.jsonl")).back();
    EXPECT_EQ(last["update"], "area");
    EXPECT_EQ(last["area"], json::parse(R"({"x": 0, "y": 0, "w": 40, "h": 10})"));

    // Controller 0 refuses its first two row writes: now.png holds what the panel shows, without
    // them, and the picture is not claimed as shown whole.
    fs::remove_all(dir.file("status"));
    panel.faults = "dev0.from=3,dev0.csw-fail=2";
    EXPECT_EQ(play_pictures("<img>whole.png</img>", ""), 1);
    EXPECT_EQ(differing_pixels(now_png(), frame(1)), 0);
    const std::string faults =
        "2 of " + std::to_string(GetParam() == 42 ? 40 : 20) + " row writes failed on controller 0";
    const json line = read_json_lines(dir.file("status/play-log.jsonl")).at(0);
    EXPECT_EQ(line["ok"], false);
    EXPECT_EQ(line["error"], faults);
    EXPECT_EQ(read_json(dir.file("status/status.json"))["last_error"], faults);
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, StatusFolderShow, testing::Values(42, 32));

using RefusedStart = sim_show;

// An earlier run's status.json must not stand for a start that was refused.
TEST_F(RefusedStart, SaysWhyInTheStatusFolder) {
    show_settings settings;
    settings.options = "<status_dir>status</status_dir>";
    const std::string groups =
        "<image_name><full_update><img>a.png</img></full_update></image_name>";
    run_result r = play(playlist(groups, settings), {{"EPDSIM_DEVICES", "none"}});
    EXPECT_EQ(r.status, 1);
    json status = read_json(dir.file("status/status.json"));
    EXPECT_EQ(status["state"], "not started");
    EXPECT_EQ(status["last_error"], "no e-paper controller found on the USB bus");

    std::string without_interval = playlist(groups, settings);
    without_interval.replace(without_interval.find("<slide_interval>0</slide_interval>"),
                             std::string("<slide_interval>0</slide_interval>").size(), "");
    r = play(without_interval);
    EXPECT_EQ(r.status, 1);
    status = read_json(dir.file("status/status.json"));
    EXPECT_EQ(status["state"], "not started");
    EXPECT_EQ(status["last_error"],
              "playlist.xml:1: no <slide_interval> setting in its <epd> element");
}

TEST(StatusReport, PlayLogRollsOverPastItsBoundKeepingOneGeneration) {
    temp_dir dir;
    status_report report(dir.path(), "playlist.xml", 1000);
    for (int i = 1; i <= 40; ++i) {
        report.picture_unusable("img/" + std::to_string(i) + ".png", "not found");
    }
    const std::string log = dir.file("play-log.jsonl");
    const std::string old = dir.file("play-log.1.jsonl");
    EXPECT_LE(fs::file_size(log), 1000u);
    EXPECT_LE(fs::file_size(old), 1000u);
    EXPECT_GT(fs::file_size(old), 900u);
    // The newest lines, the last one the latest, and the generation before them, with no gap.
    std::vector<json> lines = read_json_lines(old);
    const std::vector<json> newest = read_json_lines(log);
    lines.insert(lines.end(), newest.begin(), newest.end());
    ASSERT_FALSE(lines.empty());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i]["picture"], "img/" + std::to_string(40 - lines.size() + 1 + i) + ".png");
    }
}

TEST(StatusReport, FileNamesOfAnyBytesKeepTheJsonValid) {
    temp_dir dir;
    status_report report(dir.path(), "play\"list\".xml", 1000);
    // Quotes, a backslash, control characters, UTF-8 and a byte that is not UTF-8 (read as
    // Latin-1).
    report.picture_unusable("img/\"q\"\\b\n\t\x01 caf\xc3\xa9 \xff.png", "not found");
    const json line = read_json_lines(dir.file("play-log.jsonl")).at(0);
    EXPECT_EQ(line["picture"], "img/\"q\"\\b\n\t\x01 caf\xc3\xa9 \xc3\xbf.png");
    const json status = read_json(dir.file("status.json"));
    EXPECT_EQ(status["playlist"], "play\"list\".xml");
    EXPECT_EQ(status["last_error"],
              "cannot use 'img/\"q\"\\b\n\t\x01 caf\xc3\xa9 \xc3\xbf.png': not found");
}

TEST(StatusReport, FolderThatCannotBeWrittenIsReportedOnceAndTriedAgain) {
    temp_dir dir;
    const std::string folder = dir.file("status");
    fs::create_directory(folder);
    status_report report(folder, "playlist.xml");
    fs::remove(folder);
    dir.write("status", "a file in the folder's place");
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        report.picture_unusable("img/a.png", "not found");
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_starting(err, "Error: cannot write the status file " + folder + "/"), 1) << err;
    // Once the folder is there again, the files are written without another word.
    fs::remove(folder);
    fs::create_directory(folder);
    testing::internal::CaptureStderr();
    report.picture_unusable("img/a.png", "not found");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(read_json(folder + "/status.json")["last_error"],
              "cannot use 'img/a.png': not found");
}

TEST(StatusPage, ReadsOnlyFieldsAndFilesTheProgramWrites) {
    temp_dir dir;
    status_report report(dir.path(), "playlist.xml");
    write_a_status(report);
    const json status = read_json(dir.file("status.json"));
    const std::string page = read_file(std::string(EPDSHOW_SOURCE_DIR) + "/examples/status.html");
    const std::string script = page.substr(page.find("<script>"));
    // Members read, without the methods called on them, nor the file named in the page's words.
    std::set<std::string> fields;
    for (std::string field : captures(script, R"((?:^|[^"\w.])status((?:\.[a-z_]+)+)(?![\w(]))")) {
        if (field == ".json") {
            continue;
        }
        fields.insert(field);
        std::replace(field.begin(), field.end(), '.', '/');
        EXPECT_TRUE(status.contains(json::json_pointer(field))) << "status" << field;
    }
    EXPECT_GE(fields.size(), 10u);
    for (const std::string &field : captures(script, R"(\bcontroller\.([a-z_]+))")) {
        EXPECT_TRUE(status["controllers"].at(0).contains(field)) << field;
    }
    // Every file it loads, and nothing from outside the folder.
    const lines loaded = captures(page, R"rx("([\w-]+\.(?:png|json))\?)rx");
    for (const std::string &file : loaded) {
        EXPECT_TRUE(fs::exists(dir.file(file))) << file;
    }
    EXPECT_EQ(std::set<std::string>(loaded.begin(), loaded.end()),
              (std::set<std::string>{"now.png", "status.json"}));
    EXPECT_TRUE(captures(page, R"((https?:|src="//|href="//|@import))").empty());
}
