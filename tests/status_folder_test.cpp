// The status folder: now.png against the virtual panel's own frames, the play log's bound, JSON
// that stays valid whatever a file is called, a folder that fails while the show runs, and the
// status page's references to what the program writes.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "atomic_file.h"
#include "json_text.h"
#include "panel_layout.h"
#include "panel_mirror.h"
#include "sim_show.h"
#include "status_files.h"
#include "status_report.h"
#include "virtual_clock.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <unistd.h>

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

namespace {

// The local time zone for the moments of a test; the one before is back at its end.
class scoped_time_zone {
  public:
    explicit scoped_time_zone(const char *zone) {
        if (const char *was = std::getenv("TZ")) {
            before = was;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~scoped_time_zone() {
        before ? setenv("TZ", before->c_str(), 1) : unsetenv("TZ");
        tzset();
    }

  private:
    std::optional<std::string> before;
};

// A status report in UTC on the virtual clock from 2030-01-01T12:00:00, which only usleep moves.
class StatusReportStates : public testing::Test {
  protected:
    void SetUp() override {
        virtual_clock::enable(true);
        virtual_clock::set_wall_clock(start);
    }
    void TearDown() override { virtual_clock::enable(false); }

    static void pass_seconds(int seconds) { usleep(useconds_t(seconds) * 1000000); }

    static constexpr std::time_t start = 1893499200;
    scoped_time_zone utc{"UTC0"};
    temp_dir dir;
};

} // namespace

// Each state of status.json with every field that changes in it, and metrics.prom beside it,
// through a show's life: pictures shown (one with busy engines, one with failed commands and a
// controller with no reading yet), quiet hours whose clear fails and the panel brought back,
// nothing to show, no panel, the end.
TEST_F(StatusReportStates, EveryStateAndFieldAsTheShowGoesOn) {
    status_report report(dir.path(), "playlist.xml");
    report.mirror().set_shape(find_panel_layout(2, 2880), 2, 2880, 8);
    // Bus index and multi ID differ, so that neither stands for the other.
    const std::vector<status_controller> controllers = {{0, 1, 25}, {1, 0, 24}};
    // The controller of multi ID 1 has reported no temperature yet: null, and no sample (-1).
    const std::vector<status_controller> unreported = {{0, 1, std::nullopt}, {1, 0, 24}};
    auto starting = [&](const char *file, int seconds, int number, bool area) {
        status_picture picture;
        picture.file = file;
        picture.area = area;
        picture.x = 1, picture.y = 2, picture.w = 30, picture.h = 4;
        picture.waveform_mode = 2;
        picture.seconds = seconds;
        picture.number = number;
        picture.pictures_in_pass = 3;
        picture.pass = 1;
        report.status_line(std::string("showing ") + file);
        report.picture_starting(picture);
    };
    const std::string failed_rows = "3 of 1,080 row writes failed on controller 1";
    const struct {
        std::function<void()> step;
        std::string fields;  // the members of status.json that the step sets
        const char *metrics; // samples of metrics.prom
    } steps[] = {
        {[&] { report.show_started(); },
         R"({"state": "showing", "detail": null, "picture": null, "area": null, "index": null,
             "shown_at": null, "next_change_at": null, "controllers": [], "last_error": null,
             "last_error_at": null, "updated_at": "2030-01-01T12:00:00+00:00"})",
         "epdshow_panel_up 1\nepdshow_state{state=\"showing\"} 1\n"
         "epdshow_last_refresh_timestamp_seconds 0"},
        {[&] {
             starting("img/a.png", 30, 1, false);
             report.picture_shown(controllers, true);
         },
         R"({"state": "showing", "detail": "showing img/a.png", "picture": "img/a.png",
             "update": "full", "area": null, "index": 1, "pictures_in_pass": 3, "pass": 1,
             "waveform_mode": 2, "shown_at": "2030-01-01T12:00:00+00:00",
             "next_change_at": "2030-01-01T12:00:30+00:00",
             "controllers": [{"index": 0, "multi_id": 1, "temperature": 25},
                             {"index": 1, "multi_id": 0, "temperature": 24}]})",
         "epdshow_pictures_shown_total 1\nepdshow_last_refresh_timestamp_seconds 1893499200\n"
         "epdshow_controller_temperature_celsius{index=\"0\",multi_id=\"1\"} 25\n"
         "epdshow_controller_temperature_celsius{index=\"1\",multi_id=\"0\"} 24"},
        {[&] {
             pass_seconds(30);
             starting("img/b.png", 0, 2, true);
             report.picture_shown(controllers, false); // its engines still busy
         },
         R"({"picture": "img/b.png", "update": "area", "area": {"x": 1, "y": 2, "w": 30, "h": 4},
             "index": 2, "next_change_at": "2030-01-01T12:00:30+00:00", "last_error": null})",
         "epdshow_picture_failures_total{reason=\"incomplete\"} 1"},
        {[&] {
             pass_seconds(5);
             starting("img/c.png", 60, 3, false);
             report.picture_shown(unreported, true, failed_rows);
         },
         R"({"picture": "img/c.png", "area": null, "last_error": ")" + failed_rows +
             R"(", "last_error_at": "2030-01-01T12:00:35+00:00",
             "next_change_at": "2030-01-01T12:01:35+00:00",
             "controllers": [{"index": 0, "multi_id": 1, "temperature": null},
                             {"index": 1, "multi_id": 0, "temperature": 24}]})",
         "epdshow_pictures_shown_total 3\nepdshow_picture_failures_total{reason=\"incomplete\"} 2\n"
         "epdshow_controller_temperature_celsius{index=\"0\",multi_id=\"1\"} -1\n"
         "epdshow_controller_temperature_celsius{index=\"1\",multi_id=\"0\"} 24"},
        {[&] {
             pass_seconds(60);
             report.status_line("quiet hours until 13:00");
             report.quiet_hours_until(start + 3600);
         },
         R"({"state": "quiet hours", "detail": "quiet hours until 13:00", "picture": "img/c.png",
             "next_change_at": "2030-01-01T13:00:00+00:00"})",
         "epdshow_panel_up 1\nepdshow_state{state=\"quiet hours\"} 1\n"
         "epdshow_state{state=\"showing\"} 0"},
        {[&] { report.panel_failed("the panel failed: controller 1 has left the bus"); },
         R"({"state": "waiting for the panel", "detail": null, "next_change_at": null,
             "last_error": "the panel failed: controller 1 has left the bus",
             "last_error_at": "2030-01-01T12:01:35+00:00"})",
         "epdshow_panel_up 0\nepdshow_panel_failures_total 1\nepdshow_panel_recoveries_total 0\n"
         "epdshow_picture_failures_total{reason=\"panel_failed\"} 0"},
        {[&] { report.waiting_for_panel("waiting for the panel: 1 of 2 controllers answer"); },
         R"({"detail": "waiting for the panel: 1 of 2 controllers answer"})",
         "epdshow_state{state=\"waiting for the panel\"} 1"},
        {[&] {
             pass_seconds(5);
             report.status_line("quiet hours until 13:00");
             report.panel_back();
         },
         R"({"state": "quiet hours", "detail": "quiet hours until 13:00",
             "next_change_at": "2030-01-01T13:00:00+00:00"})",
         "epdshow_panel_up 1\nepdshow_panel_recoveries_total 1"},
        {[&] { report.panel_cleared(); },
         R"({"state": "quiet hours", "picture": null, "update": null, "index": null,
             "shown_at": "2030-01-01T12:01:40+00:00"})",
         "epdshow_last_refresh_timestamp_seconds 1893499300\nepdshow_pictures_shown_total 3"},
        {[&] {
             pass_seconds(3500);
             report.quiet_hours_over();
         },
         R"({"state": "showing", "detail": null, "next_change_at": null})",
         "epdshow_state{state=\"quiet hours\"} 0"},
        {[&] {
             report.status_line("nothing to show until 14:00");
             report.nothing_to_show_until(start + 7200);
         },
         R"({"state": "nothing to show", "detail": "nothing to show until 14:00",
             "next_change_at": "2030-01-01T14:00:00+00:00"})",
         "epdshow_panel_up 1\nepdshow_state{state=\"nothing to show\"} 1\n"
         "epdshow_state{state=\"showing\"} 0"},
        {[&] { report.no_panel("1 controller of width 2880: the 42 layout needs 2"); },
         R"({"state": "no panel", "detail": null, "next_change_at": null,
             "last_error": "1 controller of width 2880: the 42 layout needs 2",
             "last_error_at": "2030-01-01T13:00:00+00:00"})",
         "epdshow_panel_up 0\nepdshow_state{state=\"no panel\"} 1"},
        {[&] {
             pass_seconds(1);
             report.picture_unusable("img/d.png", "not found");
         },
         R"({"last_error": "cannot use 'img/d.png': not found",
             "last_error_at": "2030-01-01T13:00:01+00:00"})",
         "epdshow_picture_failures_total{reason=\"unusable\"} 1"},
        {[&] { report.show_ended(); },
         R"({"state": "ended", "detail": null, "next_change_at": null,
             "updated_at": "2030-01-01T13:00:01+00:00"})",
         "epdshow_panel_up 0\nepdshow_state{state=\"ended\"} 1\n"
         "epdshow_state{state=\"no panel\"} 0"},
    };
    int number = 0;
    for (const auto &step : steps) {
        SCOPED_TRACE("step " + std::to_string(++number));
        step.step();
        const json status = read_json(dir.file("status.json"));
        const json fields = json::parse(step.fields);
        for (const auto &[key, value] : fields.items()) {
            EXPECT_EQ(status[key], value) << key;
        }
        const std::string metrics = read_file(dir.file("metrics.prom"));
        for (const std::string &line : split_lines(step.metrics)) {
            const size_t blank = line.rfind(' ');
            EXPECT_EQ(prom_sample(metrics, line.substr(0, blank)), std::stoll(line.substr(blank)))
                << line;
        }
    }
    // A playlist read again names another folder: every file is there at once.
    fs::create_directory(dir.file("moved"));
    report.move_to(dir.file("moved"));
    for (const char *name : {"now.png", "status.json", "metrics.prom"}) {
        EXPECT_TRUE(fs::exists(dir.file("moved/") + name)) << name;
    }
    fs::remove_all(dir.file("moved"));
    // Each picture's line as its stay ended (the clear ended c.png's), the failure of the clear
    // (no picture in it) and the recovery, the panel that matches no layout, the unusable picture.
    lines summary;
    for (json line : read_json_lines(dir.file("play-log.jsonl"))) {
        const std::string time = line["time"].get<std::string>().substr(11, 8);
        line.erase("time");
        summary.push_back(time + " " + line.dump());
    }
    EXPECT_EQ(
        summary,
        (lines{
            R"(12:00:00 {"event":"picture","ok":true,"picture":"img/a.png","seconds":30,"update":"full","waveform_mode":2})",
            R"(12:00:30 {"area":{"h":4,"w":30,"x":1,"y":2},"event":"picture","ok":false,"picture":"img/b.png","seconds":5,"update":"area","waveform_mode":2})",
            R"(12:01:35 {"error":"the panel failed: controller 1 has left the bus","event":"failure"})",
            R"(12:01:40 {"event":"recovery"})",
            R"(12:00:35 {"error":")" + failed_rows +
                R"(","event":"picture","ok":false,"picture":"img/c.png","seconds":65,"update":"full","waveform_mode":2})",
            R"(13:00:00 {"error":"1 controller of width 2880: the 42 layout needs 2","event":"failure"})",
            R"(13:00:01 {"error":"not found","event":"failure","picture":"img/d.png"})"}));
}

TEST(StatusReport, PlayLogRollsOverPastItsBoundKeepingOneGeneration) {
    {
        // The show's bound: the line that makes the log 10,000,000 bytes long goes in, the next
        // one begins a new log.
        temp_dir show;
        status_report report(show.path(), "playlist.xml");
        report.picture_unusable("img/0.png", "not found");
        const std::uintmax_t line = fs::file_size(show.file("play-log.jsonl"));
        fs::resize_file(show.file("play-log.jsonl"), 10000000 - 2 * line);
        report.picture_unusable("img/1.png", "not found");
        EXPECT_EQ(fs::file_size(show.file("play-log.jsonl")), 10000000u - line);
        report.picture_unusable("img/2.png", "not found");
        EXPECT_FALSE(fs::exists(show.file("play-log.1.jsonl")));
        report.picture_unusable("img/3.png", "not found");
        EXPECT_EQ(fs::file_size(show.file("play-log.1.jsonl")), 10000000u);
        EXPECT_EQ(fs::file_size(show.file("play-log.jsonl")), line);
    }
    temp_dir dir;
    // An empty log is not renamed for a line past the bound: the generation before it stays.
    dir.write("play-log.jsonl", "");
    dir.write("play-log.1.jsonl", "older\n");
    status_report(dir.path(), "playlist.xml", 10).picture_unusable("img/0.png", "not found");
    EXPECT_EQ(read_file(dir.file("play-log.1.jsonl")), "older\n");
    fs::remove(dir.file("play-log.jsonl"));
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

    // Every class of byte sequence, at the edges of what UTF-8 allows: a sequence that is not
    // well formed gives each of its bytes as Latin-1.
    const struct {
        std::string bytes, json;
    } names[] = {
        {"\xc0\xaf \xc1\xbf", R"("\u00c0\u00af \u00c1\u00bf")"}, // overlong lead bytes
        {"\xc2\x80 \xdf\xbf", "\"\xc2\x80 \xdf\xbf\""},
        {"\xe0\x9f\xbf \xe0\xa0\x80", R"("\u00e0\u009f\u00bf )"
                                      "\xe0\xa0\x80\""}, // U+07FF overlong
        {"\xf0\x8f\xbf\xbf \xf0\x90\x80\x80", R"("\u00f0\u008f\u00bf\u00bf )"
                                              "\xf0\x90\x80\x80\""}, // U+FFFF overlong
        {"\xed\x9f\xbf \xed\xa0\x80 \xed\xbf\xbf \xee\x80\x80",
         "\"\xed\x9f\xbf "
         R"(\u00ed\u00a0\u0080 \u00ed\u00bf\u00bf )"
         "\xee\x80\x80\""}, // surrogates
        {"\xf4\x8f\xbf\xbf \xf4\x90\x80\x80 \xf5\x80\x80\x80",
         "\"\xf4\x8f\xbf\xbf "
         R"(\u00f4\u0090\u0080\u0080 \u00f5\u0080\u0080\u0080")"}, // past U+10FFFF
        {"\xc3\xc3\xa9 \xe2\x82 \xf0\x9f\x98", R"("\u00c3)"
                                               "\xc3\xa9"
                                               R"( \u00e2\u0082 \u00f0\u009f\u0098")"},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""}, // a sequence that ends the name
        {"\x1f\x20\x7f\"\\/", R"("\u001f )"
                              "\x7f"
                              R"(\"\\/")"}, // control bytes, quotes
    };
    for (const auto &name : names) {
        EXPECT_EQ(json_string(name.bytes), name.json);
        EXPECT_FALSE(json::parse(name.json, nullptr, false).is_discarded()) << name.json;
    }
}

TEST(JsonText, TimesAreLocalWithTheirOffsetAndZeroIsNull) {
    const char *zone = std::getenv("TZ");
    const std::string was = zone != nullptr ? zone : "";
    const std::time_t t = 1796763590; // 2026-12-08T20:59:50Z
    for (const auto &[tz, text] :
         {std::pair<const char *, const char *>{"CET-1", "2026-12-08T21:59:50+01:00"},
          {"<-0530>5:30", "2026-12-08T15:29:50-05:30"}}) {
        setenv("TZ", tz, 1);
        tzset();
        EXPECT_EQ(json_object().time("at", t).time("none", 0).str(),
                  std::string(R"({"at":")") + text + R"(","none":null})");
    }
    zone != nullptr ? setenv("TZ", was.c_str(), 1) : unsetenv("TZ");
    tzset();
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

// A reader that opened a status file keeps it whole while the next one is written; a temporary
// that a write cut short left is written over, and one that cannot take its place is removed.
TEST(AtomicFile, AReaderNeverSeesAFileHalfWritten) {
    temp_dir dir;
    const std::string path = dir.file("status.json");
    ASSERT_TRUE(replace_file(path, "the first, longer text\n"));
    std::ifstream reader(path);
    dir.write(".status.json.tmp", std::string(100, 'x'));
    ASSERT_TRUE(replace_file(path, "the second\n"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), "the first, longer text\n");
    EXPECT_EQ(read_file(path), "the second\n");
    fs::create_directories(dir.file("now.png/in"));
    EXPECT_FALSE(replace_file(dir.file("now.png"), "png"));
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(dir.path()), {}).size(), 2u);
}

// The copy of what the panel was sent, on a 42 layout of two 4 x 2 bands: each band shows its
// memory with the columns mirrored, the bottom band turned by a half turn, slot 1 on top; mode 0
// drives a rectangle white, any other shows the memory there; a rectangle outside its band
// changes nothing; the same shape keeps what the panel shows, another starts white.
TEST(PanelMirror, ComposesWhatEachRefreshShowedAsTheViewerSeesIt) {
    panel_mirror mirror;
    mirror.set_shape(find_panel_layout(2, 2880), 2, 4, 2);
    const unsigned char top[4] = {0x00, 0x10, 0x20, 0x30}, bottom[4] = {0x40, 0x50, 0x60, 0x7f};
    mirror.band_written(1, 0, 0, 4, 1, top);
    mirror.band_written(0, 0, 1, 4, 1, bottom);
    mirror.refresh_made(1, 0, 0, 4, 2, 2);
    mirror.refresh_made(0, 0, 0, 4, 2, 2);
    const cv::Mat shown = (cv::Mat_<uchar>(4, 4) << 51, 34, 17, 0, 255, 255, 255, 255, 119, 102, 85,
                           68, 255, 255, 255, 255);
    EXPECT_EQ(differing_pixels(mirror.compose(), shown), 0);
    // Outside a band: past its right or bottom edge, to the left of it, or no band at all; the
    // memory shown again afterwards is as it was.
    const unsigned char zeros[8] = {};
    mirror.refresh_made(1, 1, 0, 4, 1, 0);
    mirror.refresh_made(0, 0, 1, 4, 2, 0);
    mirror.refresh_made(1, -1, 0, 2, 1, 0);
    mirror.refresh_made(2, 0, 0, 1, 1, 0);
    mirror.refresh_made(-1, 0, 0, 1, 1, 0);
    mirror.band_written(1, 3, 0, 2, 1, zeros);
    mirror.band_written(0, 0, 1, 4, 2, zeros);
    mirror.band_written(2, 0, 0, 4, 1, zeros);
    EXPECT_EQ(differing_pixels(mirror.compose(), shown), 0);
    mirror.refresh_made(1, 0, 0, 4, 2, 2);
    mirror.refresh_made(0, 0, 0, 4, 2, 2);
    EXPECT_EQ(differing_pixels(mirror.compose(), shown), 0);
    mirror.set_shape(find_panel_layout(2, 2880), 2, 4, 2);
    EXPECT_EQ(differing_pixels(mirror.compose(), shown), 0);
    // The top band cleared, then two of its columns shown again from the memory.
    mirror.refresh_made(1, 0, 0, 4, 2, 0);
    mirror.refresh_made(1, 1, 0, 2, 1, 2);
    cv::Mat partly = shown.clone();
    partly.row(0) = cv::Scalar(255);
    partly.at<uchar>(0, 1) = 34;
    partly.at<uchar>(0, 2) = 17;
    EXPECT_EQ(differing_pixels(mirror.compose(), partly), 0);
    mirror.set_shape(find_panel_layout(2, 2880), 2, 4, 3);
    EXPECT_EQ(cv::countNonZero(mirror.compose() != 255), 0);
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
