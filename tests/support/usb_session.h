// Tests that drive the USB layer in-process over the simulated bus, and the composite panel built
// on it. Each runs in a fresh folder (usb_init writes log.txt into the working folder) on an empty
// bus, and leaves the USB layer as a new process has it.
#ifndef EPDSHOW_USB_SESSION_H
#define EPDSHOW_USB_SESSION_H

#include "epd.h"
#include "epdsim.h"
#include "test_support.h"
#include "usb_controller.h"
#include "virtual_panel.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class usb_session_test : public testing::Test {
  protected:
    // Runs step, keeping what it printed in out and err; returns what step returns.
    template <typename Step> auto run(Step step) {
        struct keep_output {
            usb_session_test &test;
            ~keep_output() {
                test.out = testing::internal::GetCapturedStdout();
                test.err = testing::internal::GetCapturedStderr();
            }
        };
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        keep_output keep{*this};
        return step();
    }

    void SetUp() override {
        home = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        epdsim::reset();
    }

    // Ends the USB layer quietly and puts its globals back to their first values.
    void TearDown() override {
        run(usb_close);
        endpoint_in = 0;
        endpoint_out = 0;
        nb_ifaces = 0;
        version = nullptr;
        epdsim::reset();
        std::filesystem::current_path(home);
    }

    // The journal entries of the commands sent since the last call.
    std::vector<epdsim::journal_entry> sent() {
        const auto &journal = epdsim::journal();
        std::vector<epdsim::journal_entry> entries(journal.begin() + mark, journal.end());
        mark = journal.size();
        return entries;
    }

    testing_support::temp_dir dir;
    std::filesystem::path home;
    std::string out, err;
    size_t mark = 0;
};

// A composite panel over the simulated bus. Every command it sends must be well formed and
// accepted, unless the test made the controller refuse it.
class panel_session : public usb_session_test {
  protected:
    void TearDown() override {
        for (const epdsim::journal_entry &entry : epdsim::journal()) {
            // A failed status that the test injected is not the panel's doing.
            const bool injected =
                std::any_of(entry.notes.begin(), entry.notes.end(), [](const std::string &note) {
                    return note.rfind("injected CSW status", 0) == 0;
                });
            EXPECT_TRUE((entry.csw_status == 0 || injected) && !entry.violation) << entry.line();
        }
        run([&] { panel.reset(); });
        usb_session_test::TearDown();
    }

    // Sets the controllers up, starts the bus and builds the panel over every controller found.
    epd &build(const testing_support::virtual_panel &controllers) {
        controllers.plug();
        return build_with_count(nullptr);
    }

    // Starts the bus as it is; the panel is told count controllers instead of the number found.
    // What the build printed stays in out and err.
    epd &build_with_count(const int *count) {
        run([&] {
            const int found = usb_init();
            panel = std::make_unique<epd>(count != nullptr ? *count : found);
        });
        sent();
        return *panel;
    }

    // Runs action and returns what it printed on standard output.
    template <typename Action> std::string output_of(Action action) {
        run(action);
        return out;
    }

    // The commands sent since the last call, each as "dev=N command fields" (without sequence
    // number, multi ID and framing).
    testing_support::lines new_commands() {
        testing_support::lines commands;
        for (const epdsim::journal_entry &entry : sent()) {
            commands.push_back(
                testing_support::replace_all(entry.line(), R"(^#\S+ | id=\S+| flags=.*)", ""));
        }
        return commands;
    }

    std::string write_picture(const std::string &name, const cv::Mat &picture) const {
        std::string path = dir.file(name);
        cv::imwrite(path, picture);
        return path;
    }

    std::unique_ptr<epd> panel;
};

#endif
