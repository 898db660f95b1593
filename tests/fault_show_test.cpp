// Faults that outlast one command, against the whole show: controllers that leave the bus while
// it runs, a waveform engine that never goes idle, and system info records that report a band no
// panel can have. The long waits run in a child process with instant sleeps.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "entry_in_child.h"
#include "epdsim.h"
#include "main.h"
#include "sim_show.h"
#include "virtual_clock.h"

#include <csignal>
#include <cstdlib>

using namespace testing_support;

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

class ControllersLeaving : public sim_show {
  protected:
    void SetUp() override {
        sim_show::SetUp();
        for (int i = 0; i < 3; ++i) {
            pictures.push_back(numbered_picture(80 + 10 * i, 50, i));
            cv::imwrite(dir.file("img/" + std::to_string(i) + ".png"), pictures.back());
        }
    }

    run_result play_with(const std::string &faults) {
        panel.faults = faults;
        return play(one_pass({"0.png", "1.png", "2.png"}));
    }

    std::vector<cv::Mat> pictures;
};

} // namespace

TEST_F(ControllersLeaving, OneControllerLeavesAndTheShowGoesOnOnTheOther) {
    // Controller 1 (the top band) leaves when its 50th command arrives: the 3rd row of the
    // second picture. Its commands from then on are reported, not sent; the bottom band plays on.
    run_result r = play_with("id1.gone=50");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(count_starting(r.out, "Display : "), 3);
    EXPECT_NE(r.out.find("stop tag end and exit\r\nDone\n"), std::string::npos);

    lines rest_of_second = commands_of_one_picture();
    rest_of_second.erase(rest_of_second.begin(), rest_of_second.begin() + 4); // sent: A4, 3 rows
    EXPECT_EQ(r.err, gone_report +
                         std::string("controller 1 has left the bus: its commands are "
                                     "no longer sent\n") +
                         not_sent(1, rest_of_second) + not_sent(1, commands_of_one_picture()));
    EXPECT_EQ(log_messages(dir.file("log.txt")), split_lines(r.err));

    // The top band keeps showing the first picture's half; the bottom band shows each picture.
    for (int n = 1; n <= 3; ++n) {
        cv::Mat shown = frame(n);
        ASSERT_FALSE(shown.empty()) << n;
        cv::Mat expected = shown_whole(pictures[n - 1]);
        shown_whole(pictures[0]).rowRange(0, 40).copyTo(expected.rowRange(0, 40));
        EXPECT_EQ(differing_pixels(shown, expected), 0) << "frame " << n;
    }
}

TEST_F(ControllersLeaving, ShowEndsCleanlyOnceTheLastOneHasLeftToo) {
    // Controller 1 leaves during the second picture, controller 0 during the third: after the
    // third picture's update no controller is left, and the show ends with its message.
    run_result r = play_with("id1.gone=50,id0.gone=100");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(count_starting(r.out, "Display : "), 3);
    EXPECT_EQ(r.out.find("Done"), std::string::npos);
    const std::string err = r.err;
    const std::string last =
        "Error: every e-paper controller has left the USB bus; the show ends\n";
    ASSERT_GE(err.size(), last.size());
    EXPECT_EQ(err.substr(err.size() - last.size()), last);
    EXPECT_EQ(count_starting(err, "controller 1 has left the bus"), 1);
    EXPECT_EQ(count_starting(err, "controller 0 has left the bus"), 1);
    EXPECT_EQ(count_starting(err, "   send_mass_storage_command: No such device"), 2);
    // The end message is the player's own, on standard error only; the log has every USB report.
    lines reports = split_lines(err);
    reports.pop_back();
    EXPECT_EQ(log_messages(dir.file("log.txt")), reports);
}

namespace {

// The whole program run in a child of the test, with instant sleeps.
class ShowInAChild : public sim_show {
  protected:
    void SetUp() override {
        sim_show::SetUp();
        cv::imwrite(dir.file("img/a.png"), numbered_picture(60, 40, 3));
        cv::imwrite(dir.file("img/b.png"), numbered_picture(60, 40, 4));
        dir.write("playlist.xml", one_pass({"a.png", "b.png"}));
    }

    run_result play_in_child(const std::function<void()> &set_up,
                             const std::string &playlist = "playlist.xml") {
        return run_entry_in_child(set_up, dir.path(), playlist);
    }

    static int entry(std::string playlist) {
        std::string program = "epdshow";
        char *argv[] = {program.data(), playlist.data(), nullptr};
        return epdshow_main(2, argv);
    }

    // Two controllers of the small panel; controller 1's engine busy for busy_reads polls.
    static void small_panel(int busy_reads) {
        virtual_clock::enable(true);
        virtual_panel panel = layout(42, 40);
        panel.busy_reads = "0," + std::to_string(busy_reads);
        panel.plug();
    }
};

} // namespace

TEST_F(ShowInAChild, EngineThatNeverGoesIdleIsGivenUpAfterSixtySecondsAndTheShowGoesOn) {
    // Controller 1 stays busy far longer than the bound. Every poll pass reads both controllers and
    // sleeps 30 ms after each read: 60 ms a pass, so the 60 s bound is reached after 1000 passes,
    // counted on the child's virtual clock.
    run_result r = play_in_child([] { small_panel(1000000); });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string gave_up = "LUT engine still busy after 60 s, going on";
    EXPECT_EQ(count_starting(r.out, gave_up), 2);
    const int busy = count_starting(r.out, "LUT engine is busy!");
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
    run_result r = play_in_child([] { small_panel(500); });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_starting(r.out, "LUT engine still busy"), 0);
    // 500 busy reads of controller 1 per refresh: 500 busy passes, then an idle one.
    EXPECT_EQ(count_starting(r.out, "LUT engine is busy!"), 2 * 500);
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
    run_result r = play_in_child([] {
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
    dir.write("no-pictures.xml", playlist("<image_name><stop/></image_name>"));
    run_result tall = play_in_child(
        [] {
            small_panel(0);
            report_band_height(65535);
        },
        "no-pictures.xml");
    EXPECT_NE(tall.out.find("EPD Width = 2880, Height = 131070\n"), std::string::npos) << tall.err;
}

// Found when the fuzzer first ran the player over and over in one process: a second run of the
// entry point started with the first run's stop flag still raised (so it stopped after its first
// picture), and the first run's panel was lost (a leak, which the sanitizer build reports).
TEST_F(ShowInAChild, EntryRunAgainInTheSameProcessStartsAfresh) {
    run_result r = play_in_child([] {
        small_panel(0);
        epdsim::raise_after_command(SIGINT, 30); // during the first picture
        if (entry("playlist.xml") != 0) {
            exit(3);
        }
        small_panel(0); // a new bus, without the interrupt, for the run that follows
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(lines_starting(r.out, {"Display : ", "Full display", "stop tag", "Done", "ctrl+c"}),
              (lines{"Display : a.png ", "ctrl+c SIGINT Triggerred!. Close USB",
                     "Full display signal stop \r", "Done", "Display : a.png ", "Display : b.png ",
                     "stop tag end and exit\r", "Done"}));
}
