// A composite panel built in-process over the simulated bus, with helpers to read what the
// controllers received. Shared by the epd_*_test files.
#ifndef EPDSHOW_EPD_TEST_BENCH_H
#define EPDSHOW_EPD_TEST_BENCH_H

#include "epd.h"
#include "epdsim.h"
#include "test_support.h"
#include "usb_controller.h"
#include "usb_session.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace epd_bench {

// A controller of the given band size and multi ID; the LUT engine idle after every refresh.
inline epdsim::controller_config controller(int width, int height, int multi_id,
                                            int temperature = 25, int busy_reads = 0) {
    epdsim::controller_config config;
    config.panel_width = width;
    config.panel_height = height;
    config.multiID = multi_id;
    config.temperature = temperature;
    config.busy_reads = busy_reads;
    return config;
}

// One journal entry as "dev=N command fields", without sequence number, multi ID and framing.
inline std::string summary(const epdsim::journal_entry &entry) {
    std::string line = entry.line();
    line = line.substr(line.find(' ') + 1);
    const size_t id = line.find(" id=");
    line.erase(id, line.find(' ', id + 1) - id);
    return line.substr(0, line.find(" flags="));
}

// What a refresh record says, in the form the tests write it.
inline std::string refresh_text(const epdsim::refresh_record &r) {
    return "mode=" + std::to_string(r.mode) + " x=" + std::to_string(r.x) +
           " y=" + std::to_string(r.y) + " w=" + std::to_string(r.w) + " h=" + std::to_string(r.h) +
           " arg6=" + std::to_string(r.arg6) + (r.partial_bit ? " partial" : "");
}

// A grey picture whose every pixel differs from its neighbours, written as PNG.
inline cv::Mat numbered_picture(int w, int h) {
    cv::Mat picture(h, w, CV_8UC1);
    for (int r = 0; r < h; ++r) {
        for (int c = 0; c < w; ++c) {
            picture.at<uchar>(r, c) = static_cast<uchar>((r * 37 + c * 11 + 5) & 0xFF);
        }
    }
    return picture;
}

class sim_panel : public usb_session_test {
  protected:
    void TearDown() override {
        // Every command the panel sent was well formed and accepted.
        for (const epdsim::journal_entry &entry : epdsim::journal()) {
            EXPECT_TRUE(entry.csw_status == 0 && !entry.violation) << entry.line();
        }
        testing::internal::CaptureStdout();
        panel.reset();
        testing::internal::GetCapturedStdout();
        usb_session_test::TearDown();
    }

    // Starts the bus as configured and builds the panel over every controller found.
    epd &build() { return build_with_count(nullptr); }

    // The same with count handed to the panel instead of the number found.
    epd &build_with_count(const int *count) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int found = usb_init();
        panel = std::make_unique<epd>(count != nullptr ? *count : found);
        build_out = testing::internal::GetCapturedStdout();
        build_err = testing::internal::GetCapturedStderr();
        mark = epdsim::journal().size();
        return *panel;
    }

    // Runs action and returns what it printed on standard output.
    static std::string output_of(const std::function<void()> &action) {
        testing::internal::CaptureStdout();
        action();
        return testing::internal::GetCapturedStdout();
    }

    // The commands sent since the panel was built (or since the last call).
    std::vector<std::string> new_commands() {
        std::vector<std::string> out;
        const auto &journal = epdsim::journal();
        for (size_t i = mark; i < journal.size(); ++i) {
            out.push_back(summary(journal[i]));
        }
        mark = journal.size();
        return out;
    }

    std::string write_picture(const std::string &name, const cv::Mat &picture) const {
        std::string path = dir.file(name);
        cv::imwrite(path, picture);
        return path;
    }

    std::unique_ptr<epd> panel;
    std::string build_out;
    std::string build_err;
    size_t mark = 0;
};

} // namespace epd_bench

#endif
