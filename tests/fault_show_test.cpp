// Faults that outlast one command, against the whole show: controllers that leave the bus while
// it runs, a waveform engine that never goes idle, and system info records that report a band no
// panel can have. The long waits run in a child process with instant sleeps.
#include <gtest/gtest.h>

#include "epdsim.h"
#include "reliability_support.h"
#include "test_support.h"
#include "virtual_clock.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>

using reliability::lines;
using testing_support::env_list;
using testing_support::run_result;
using testing_support::split_lines;
using testing_support::temp_dir;

namespace {

// Commands a controller gets for one whole-panel picture on the small panel, in order:
// temperature read, 40 rows, partial-bit read and write, refresh, one engine poll.
lines commands_of_one_picture() {
    lines subs = {"0xA4"};
    subs.insert(subs.end(), 40, "0xA5");
    subs.insert(subs.end(), {"0x83", "0x84", "0x94", "0x83"});
    return subs;
}

std::string not_sent(int controller, const lines &subs) {
    std::string text;
    for (const std::string &sub : subs) {
        text += "send_cbw: controller " + std::to_string(controller) +
                " has left the bus, command " + sub + " not sent\n";
    }
    return text;
}

const char *const gone_report =
    "   send_mass_storage_command: No such device (it may have been disconnected)\n";

class ControllersLeaving : public testing::Test {
  protected:
    void SetUp() override {
        mkdir(dir.file("img").c_str(), 0755);
        mkdir(dir.file("frames").c_str(), 0755);
        for (int i = 0; i < 3; ++i) {
            pictures.push_back(reliability::numbered_picture(80 + 10 * i, 50, i));
            cv::imwrite(dir.file("img/" + std::to_string(i) + ".png"), pictures.back());
        }
        dir.write("playlist.xml", reliability::one_pass({"0.png", "1.png", "2.png"}));
    }

    run_result play(const std::string &faults) {
        env_list env = {{"EPDSIM_DEVICES", reliability::small_42},
                        {"EPDSIM_BUSY", "0"},
                        {"EPDSIM_FRAMES", dir.file("frames")},
                        {"EPDSIM_FAULTS", faults}};
        return testing_support::run_program(EPDSHOW_SIM_PATH, {"playlist.xml"}, env, dir.path(),
                                            60);
    }

    temp_dir dir;
    std::vector<cv::Mat> pictures;
};

} // namespace

TEST_F(ControllersLeaving, OneControllerLeavesAndTheShowGoesOnOnTheOther) {
    // Controller 1 (the top band) leaves when its 50th command arrives: the 3rd row of the
    // second picture. Its commands from then on are reported, not sent; the bottom band plays on.
    run_result r = play("id1.gone=50");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(reliability::count_prefixed(r.out, "Display : "), 3);
    EXPECT_NE(r.out.find("stop tag end and exit\r\nDone\n"), std::string::npos);

    lines rest_of_second = commands_of_one_picture();
    rest_of_second.erase(rest_of_second.begin(), rest_of_second.begin() + 4); // sent: A4, 3 rows
    EXPECT_EQ(r.err, gone_report +
                         std::string("controller 1 has left the bus: its commands are "
                                     "no longer sent\n") +
                         not_sent(1, rest_of_second) + not_sent(1, commands_of_one_picture()));
    EXPECT_EQ(reliability::log_messages(dir.file("log.txt")), split_lines(r.err));

    // The top band keeps showing the first picture's half; the bottom band shows each picture.
    for (int n = 1; n <= 3; ++n) {
        cv::Mat shown = reliability::frame(dir, n);
        ASSERT_FALSE(shown.empty()) << n;
        cv::Mat expected = reliability::as_shown(pictures[n - 1]);
        reliability::as_shown(pictures[0]).rowRange(0, 40).copyTo(expected.rowRange(0, 40));
        EXPECT_EQ(reliability::differing_pixels(shown, expected), 0) << "frame " << n;
    }
}

TEST_F(ControllersLeaving, ShowEndsCleanlyOnceTheLastOneHasLeftToo) {
    // Controller 1 leaves during the second picture, controller 0 during the third: after the
    // third picture's update no controller is left, and the show ends with its message.
    run_result r = play("id1.gone=50,id0.gone=100");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(reliability::count_prefixed(r.out, "Display : "), 3);
    EXPECT_EQ(r.out.find("Done"), std::string::npos);
    const std::string err = r.err;
    const std::string last =
        "Error: every e-paper controller has left the USB bus; the show ends\n";
    ASSERT_GE(err.size(), last.size());
    EXPECT_EQ(err.substr(err.size() - last.size()), last);
    EXPECT_EQ(reliability::count_prefixed(err, "controller 1 has left the bus"), 1);
    EXPECT_EQ(reliability::count_prefixed(err, "controller 0 has left the bus"), 1);
    EXPECT_EQ(reliability::count_prefixed(err, "   send_mass_storage_command: No such device"), 2);
    // The end message is the player's own, on standard error only; the log has every USB report.
    lines reports = split_lines(err);
    reports.pop_back();
    EXPECT_EQ(reliability::log_messages(dir.file("log.txt")), reports);
}

namespace {

// The whole program run in a child of the test, with instant sleeps.
class ShowInAChild : public testing::Test {
  protected:
    void SetUp() override {
        mkdir(dir.file("img").c_str(), 0755);
        cv::imwrite(dir.file("img/a.png"), reliability::numbered_picture(60, 40, 3));
        cv::imwrite(dir.file("img/b.png"), reliability::numbered_picture(60, 40, 4));
        dir.write("playlist.xml", reliability::one_pass({"a.png", "b.png"}));
    }

    // Two controllers of the small panel; controller 1's engine busy for busy_reads polls.
    static void small_panel(int busy_reads) {
        virtual_clock::enable(true);
        epdsim::reset();
        for (int id = 0; id < 2; ++id) {
            epdsim::controller_config config;
            config.panel_width = reliability::panel_width;
            config.panel_height = reliability::panel_height / 2;
            config.multiID = id;
            config.busy_reads = id == 1 ? busy_reads : 0;
            epdsim::add_controller(config);
        }
    }

    temp_dir dir;
};

} // namespace

TEST_F(ShowInAChild, EngineThatNeverGoesIdleIsGivenUpAfterSixtySecondsAndTheShowGoesOn) {
    // Every poll pass reads both controllers and sleeps 30 ms after each read: 60 ms a pass, so
    // the 60 s bound is reached after 1000 passes, counted on the child's virtual clock.
    reliability::child_result r =
        reliability::run_entry_in_child(dir.path(), "playlist.xml", [] { small_panel(INT_MAX); });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string gave_up = "LUT engine still busy after 60 s, going on";
    EXPECT_EQ(reliability::count_prefixed(r.out, gave_up), 2);
    const int busy = reliability::count_prefixed(r.out, "LUT engine is busy!");
    EXPECT_GE(busy, 2 * 990);
    EXPECT_LE(busy, 2 * 1000);
    // After giving up, each update powers the panel off and the show goes on to its end.
    const size_t first = r.out.find(gave_up);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(r.out.compare(first, gave_up.size() + 46,
                            gave_up + "\nDelay ~30ms\nDelay ~30ms\nSet Power Off (0xA3)\n"),
              0)
        << r.out.substr(first, 200);
    EXPECT_NE(r.out.find("Display : b.png "), std::string::npos);
    EXPECT_NE(r.out.find("stop tag end and exit\r\nDone\n"), std::string::npos);
}

TEST_F(ShowInAChild, EngineBusyForAWhileIsWaitedForWithoutGivingUp) {
    reliability::child_result r =
        reliability::run_entry_in_child(dir.path(), "playlist.xml", [] { small_panel(500); });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(reliability::count_prefixed(r.out, "LUT engine still busy"), 0);
    // 500 busy reads of controller 1 per refresh: 500 busy passes, then an idle one.
    EXPECT_EQ(reliability::count_prefixed(r.out, "LUT engine is busy!"), 2 * 500);
    EXPECT_NE(r.out.find("Done\n"), std::string::npos);
}

namespace {

// Rewrites the band height (word 5 of the system info record) that controller 0 reports.
void report_band_height(uint32_t rows) {
    epdsim::set_in_transfer_hook(
        [rows](int controller, unsigned char *data, int length, int *, int result) {
            if (controller == 0 && length == 120) {
                for (int i = 0; i < 4; ++i) {
                    data[20 + i] = static_cast<unsigned char>(rows >> (24 - 8 * i));
                }
            }
            return result;
        });
}

} // namespace

// Found by the transport fuzzer: a record whose band height, times the number of controllers,
// overflowed the panel's height (undefined behaviour), and short of that made every picture
// absurdly large. Such a panel is refused before any picture is loaded.
TEST_F(ShowInAChild, RecordWithABandHeightThatOverflowsThePanelIsRefused) {
    reliability::child_result r = reliability::run_entry_in_child(dir.path(), "playlist.xml", [] {
        small_panel(0);
        report_band_height(0x40000000);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "Error: cannot build the panel: controller 0 reports a band of 2880 x 1073741824 "
              "pixels\n");
    EXPECT_EQ(r.out.find("Display : "), std::string::npos);
    EXPECT_EQ(r.out.find("EPD Width"), std::string::npos);

    // The tallest band a memory write can describe is still a panel (shown here without
    // pictures, which would be scaled to 2880 x 131070).
    dir.write("no-pictures.xml", reliability::playlist("<image_name><stop/></image_name>"));
    reliability::child_result tall =
        reliability::run_entry_in_child(dir.path(), "no-pictures.xml", [] {
            small_panel(0);
            report_band_height(65535);
        });
    EXPECT_NE(tall.out.find("EPD Width = 2880, Height = 131070\n"), std::string::npos) << tall.err;
}

// Found when the fuzzer first ran the player over and over in one process: a second run of the
// entry point started with the first run's stop flag still raised (so it stopped after its first
// picture), and the first run's panel was lost (a leak, which the sanitizer build reports).
TEST_F(ShowInAChild, EntryRunAgainInTheSameProcessStartsAfresh) {
    reliability::child_result r = reliability::run_entry_in_child(dir.path(), "playlist.xml", [] {
        small_panel(0);
        epdsim::raise_after_command(SIGINT, 30); // during the first picture
        std::string program = "epdshow";
        std::string playlist = "playlist.xml";
        char *argv[] = {program.data(), playlist.data(), nullptr};
        if (epdshow_main(2, argv) != 0) {
            exit(3);
        }
        small_panel(0); // a new bus, without the interrupt, for the run that follows
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    lines player;
    for (const std::string &line : split_lines(r.out)) {
        for (const char *prefix : {"Display : ", "Full display", "stop tag", "Done", "ctrl+c"}) {
            if (line.rfind(prefix, 0) == 0) {
                player.push_back(line);
            }
        }
    }
    EXPECT_EQ(player, (lines{"Display : a.png ", "ctrl+c SIGINT Triggerred!. Close USB",
                             "Full display signal stop \r", "Done", "Display : a.png ",
                             "Display : b.png ", "stop tag end and exit\r", "Done"}));
}
