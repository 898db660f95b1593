// Helpers shared by the fault, bad-image and soak tests: playlists for a small virtual panel,
// what the panel shows for a picture, the log without its timestamps, and running the whole
// program in a child process of the test with instant sleeps.
#ifndef EPDSHOW_RELIABILITY_SUPPORT_H
#define EPDSHOW_RELIABILITY_SUPPORT_H

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "test_support.h"

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

// The program's entry point, renamed in the epdshow_app library the tests link.
int epdshow_main(int argc, char *argv[]);

namespace reliability {

using lines = std::vector<std::string>;

// Two 2880-wide controllers with 40-row bands: the 42 layout, an 2880 x 80 panel.
const char *const small_42 = "2880x40@0,2880x40@1";
const int panel_width = 2880;
const int panel_height = 80;

// A playlist on the image folder img/: settings for a quick show, then the groups as given.
inline std::string playlist(const std::string &groups, int en_set_temperature = 1) {
    return "<playlist><epd name=\"reliability\"><color>gray16</color><image_path>img/"
           "</image_path><slide_interval>0</slide_interval><en_set_temperature>" +
           std::to_string(en_set_temperature) +
           "</en_set_temperature><temperature>25</temperature><waveform_mode>2</waveform_mode>"
           "<rotate>0</rotate>" +
           groups + "</epd></playlist>";
}

// One group showing the images whole, in order, once.
inline std::string one_pass(const lines &images) {
    std::string list;
    for (const std::string &image : images) {
        list += "<img>" + image + "</img>";
    }
    return playlist("<image_name><full_update>" + list +
                    "</full_update><stop>end</stop>"
                    "</image_name>");
}

// A grey picture with detail everywhere, so a lost, moved or turned row shows.
inline cv::Mat numbered_picture(int w, int h, int seed) {
    cv::Mat picture(h, w, CV_8UC1);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            picture.at<uchar>(y, x) = static_cast<uchar>((x * 7 + y * 13 + seed * 61) % 256);
        }
    }
    return picture;
}

// What the panel shows for a grey picture given whole: scaled to the panel, in 16 grey levels.
inline cv::Mat as_shown(const cv::Mat &grey) {
    cv::Mat scaled;
    cv::resize(grey, scaled, cv::Size(panel_width, panel_height), 0, 0, cv::INTER_LINEAR);
    for (auto it = scaled.begin<uchar>(); it != scaled.end<uchar>(); ++it) {
        *it = static_cast<uchar>((*it >> 4) * 17);
    }
    return scaled;
}

inline cv::Mat frame(const testing_support::temp_dir &dir, int number) {
    char name[32];
    snprintf(name, sizeof name, "frames/frame-%04d.png", number);
    return cv::imread(dir.file(name), cv::IMREAD_UNCHANGED);
}

inline int differing_pixels(const cv::Mat &a, const cv::Mat &b) {
    if (a.size() != b.size() || a.type() != b.type()) {
        return -1;
    }
    return cv::countNonZero(a != b);
}

// Lines of text that start with prefix.
inline int count_prefixed(const std::string &text, const std::string &prefix) {
    int n = 0;
    for (const std::string &line : testing_support::split_lines(text)) {
        n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
}

// Whether text starts with a timestamp of the log: "YYYY-MM-DD.HH:MM:SS" and a tab.
inline bool starts_with_timestamp(const std::string &text) {
    const std::string shape = "dddd-dd-dd.dd:dd:dd\t";
    if (text.size() < shape.size()) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

// The log's entries without their timestamps, after checking that the file starts with its start
// line and that every entry carries a timestamp.
inline lines log_messages(const std::string &path) {
    const lines all = testing_support::split_lines(testing_support::read_file(path));
    const size_t stamp = 20;
    lines messages;
    EXPECT_FALSE(all.empty()) << path;
    for (size_t i = 0; i < all.size(); ++i) {
        if (i == 0) {
            EXPECT_TRUE(all[i].rfind("Start :", 0) == 0 &&
                        starts_with_timestamp(all[i].substr(7)) && all[i].size() == 7 + stamp)
                << all[i];
        } else if (starts_with_timestamp(all[i])) {
            messages.push_back(all[i].substr(stamp));
        } else {
            ADD_FAILURE() << "log line without timestamp: " << all[i];
        }
    }
    return messages;
}

struct child_result {
    int status = -1; // exit status, -1 when the child did not exit
    int signal = 0;
    std::string out;
    std::string err;
};

// Runs the program's entry point on playlist in a child process of the test, inside folder cwd,
// after set_up has configured the simulated bus there (and, in a test file that includes
// virtual_clock.h, made the child's sleeps instant, so waits of a minute cost nothing). The child
// is killed after timeout_s seconds of real time. It ends through exit, so the leak check of a
// sanitizer build runs in it as in the real program.
inline child_result run_entry_in_child(const std::string &cwd, const std::string &playlist,
                                       const std::function<void()> &set_up, int timeout_s = 60) {
    const std::string out_path = cwd + "/child-stdout.txt";
    const std::string err_path = cwd + "/child-stderr.txt";
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(cwd.c_str())) {
            _exit(126);
        }
        set_up();
        std::string program = "epdshow";
        std::string path = playlist;
        char *argv[] = {program.data(), path.data(), nullptr};
        int status = epdshow_main(2, argv);
        exit(status);
    }
    child_result result;
    int wstatus = 0;
    const time_t deadline = time(nullptr) + timeout_s;
    while (waitpid(pid, &wstatus, WNOHANG) == 0) {
        if (time(nullptr) > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            break;
        }
        usleep(20000);
    }
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.signal = WTERMSIG(wstatus);
    }
    result.out = testing_support::read_file(out_path);
    result.err = testing_support::read_file(err_path);
    return result;
}

} // namespace reliability

#endif
