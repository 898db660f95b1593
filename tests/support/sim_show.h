// Playlists, and shows played end to end by epdshow-sim in a fresh folder of the test.
#ifndef EPDSHOW_SIM_SHOW_H
#define EPDSHOW_SIM_SHOW_H

#include "pictures.h"
#include "test_support.h"
#include "virtual_panel.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace testing_support {

// The settings of a quick show: no slide wait, the temperature 25, waveform mode 2.
struct show_settings {
    std::string image_path = "img/";
    int slide_interval = 0;
    int rotate = 0;
    int en_set_temperature = 1;
    std::string options; // optional settings, such as "<fit>cover</fit>"
};

// A playlist of the settings, then the groups as given.
inline std::string playlist(const std::string &groups, const show_settings &settings = {}) {
    return "<playlist><epd name=\"test\"><color>gray16</color><image_path>" + settings.image_path +
           "</image_path><slide_interval>" + std::to_string(settings.slide_interval) +
           "</slide_interval><en_set_temperature>" + std::to_string(settings.en_set_temperature) +
           "</en_set_temperature><temperature>25</temperature><waveform_mode>2</waveform_mode>"
           "<rotate>" +
           std::to_string(settings.rotate) + "</rotate>" + settings.options + groups +
           "</epd></playlist>";
}

// A playlist of one group that shows the images whole, in order, once.
inline std::string one_pass(const lines &images) {
    std::string list;
    for (const std::string &image : images) {
        list += "<img>" + image + "</img>";
    }
    return playlist("<image_name><full_update>" + list +
                    "</full_update><stop>end</stop></image_name>");
}

// A show in folder dir: pictures in img/, the frames the panel shows in frames/, the command
// journal in journal.txt. It plays on panel, by default a small one: 2880 x 80 in two bands.
class sim_show : public testing::Test {
  protected:
    void SetUp() override {
        mkdir(dir.file("img").c_str(), 0755);
        mkdir(dir.file("frames").c_str(), 0755);
    }

    // Writes playlist as playlist.xml and plays it; the variables in more come after the
    // panel's and override them ("" unsets one). timeout_s and watch as for run_program.
    run_result play(const std::string &playlist, const env_list &more = {}, int timeout_s = 60,
                    const std::function<void(int pid)> &watch = {}) const {
        dir.write("playlist.xml", playlist);
        env_list env = panel.environment();
        env.insert(env.end(), {{"EPDSIM_JOURNAL", dir.file("journal.txt")},
                               {"EPDSIM_FRAMES", dir.file("frames")}});
        env.insert(env.end(), more.begin(), more.end());
        return run_program(EPDSHOW_SIM_PATH, {"playlist.xml"}, env, dir.path(), timeout_s, watch);
    }

    lines journal() const { return split_lines(read_file(dir.file("journal.txt"))); }

    // The reports on standard error went to the log as well, in the same order, each with its
    // timestamp (a panel that cannot be built says so on standard error only); returns the log's
    // size.
    size_t expect_log_holds(const std::string &err) const {
        lines reports;
        for (const std::string &line : split_lines(err)) {
            if (line.rfind("Error: cannot build the panel", 0) != 0) {
                reports.push_back(line);
            }
        }
        EXPECT_EQ(log_messages(dir.file("log.txt")), reports);
        const size_t bytes = read_file(dir.file("log.txt")).size();
        std::printf("log.txt: %zu bytes\n", bytes);
        return bytes;
    }

    cv::Mat frame(int number) const {
        return cv::imread(dir.file(cv::format("frames/frame-%04d.png", number)),
                          cv::IMREAD_UNCHANGED);
    }

    // What the small panel shows of a grey picture given whole.
    static cv::Mat shown_whole(const cv::Mat &picture) { return as_shown(picture, {2880, 80}); }

    temp_dir dir;
    virtual_panel panel = layout(42, 40);
};

} // namespace testing_support

#endif
