// Faults that outlast one command, against the whole show: controllers that leave the bus while
// it runs, a waveform engine that never goes idle, and system info records that report a band no
// panel can have. The long waits run in a child process with instant sleeps.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "entry_in_child.h"
#include "epdsim.h"
#include "main.h"
#include "notify_socket.h"
#include "sim_show.h"
#include "status_files.h"
#include "virtual_clock.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <unistd.h>

using namespace testing_support;

namespace {

// A panel failing while the show runs, one scenario for each way a panel fails in the field (the
// rows of the README's Reliability table): the image is given up, the panel is brought back, and
// the show resumes with that image, whole. The program's waits take no time (EPDSIM_CLOCK).
class FailingPanel : public sim_show {
  protected:
    void SetUp() override {
        sim_show::SetUp();
        for (int i = 0; i < 3; ++i) {
            pictures.push_back(numbered_picture(80 + 10 * i, 50, i));
            cv::imwrite(dir.file("img/" + std::to_string(i) + ".png"), pictures.back());
        }
    }

    // With notify, the show tells it what it would tell the service manager.
    run_result play_with(const std::string &faults, const env_list &more = {},
                         notify_socket *notify = nullptr) {
        panel.faults = faults;
        env_list env = {{"EPDSIM_CLOCK", "virtual"}};
        if (notify != nullptr) {
            env.push_back({"NOTIFY_SOCKET", notify->path});
        }
        env.insert(env.end(), more.begin(), more.end());
        return play(one_pass({"0.png", "1.png", "2.png"}), env, 60, [notify](int) {
            if (notify != nullptr) {
                notify->received();
            }
        });
    }

    // Every picture was shown whole, in order, each in a frame of its own, and the show ended.
    void expect_every_picture_shown_whole(const run_result &r) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(count_starting(r.out, "Slide Period"), 3);
        EXPECT_NE(r.out.find("stop tag end and exit\r\nDone\n"), std::string::npos);
        for (int n = 1; n <= 3; ++n) {
            EXPECT_EQ(differing_pixels(frame(n), shown_whole(pictures[n - 1])), 0) << "frame " << n;
        }
        EXPECT_FALSE(std::filesystem::exists(dir.file("frames/frame-0004.png")));
    }

    std::vector<cv::Mat> pictures;
};

// Controller 1's 60th command is the 14th row of the second picture.
const std::string given_up_second =
    ". The image img/1.png is given up, the panel is powered off; the tool looks for the "
    "controllers again and then shows it again\n";
const std::string answers_again = "The panel answers again (attempt ";
// Commands completed on the bus up to the power-off that follows controller 1's 60th command: two
// system info records, the first picture (45 a controller, power on and off), the second's two
// temperature reads and 12 rows, the command at which it left, the power-off.
const int commands_before_failure = 2 + 92 + 2 + 12 + 1 + 1;

} // namespace

TEST_F(FailingPanel, ControllerThatHangsIsGivenUpAfterTenTimeoutsResetAndTheShowResumes) {
    run_result r = play_with("id1.hang=60");
    expect_every_picture_shown_whole(r);
    // Each phase of a command is a transfer: 10 of them timed out, then the panel was given up.
    const std::string timeouts = "   send_mass_storage_command: Operation timed out\n"
                                 "usb_write libusb_bulk_transfer() failed : Operation timed out, "
                                 "retry 0 times\n"
                                 "   get_mass_storage_status: Operation timed out\n";
    EXPECT_EQ(r.err, timeouts + timeouts + timeouts +
                         "   send_mass_storage_command: Operation timed out\n"
                         "Error: the panel failed: controller 1 (slot 1, multi ID 1, bus 1, device "
                         "3) did not answer: 10 transfers in a row failed (the last: Operation "
                         "timed out)" +
                         given_up_second + answers_again + "1): the show goes on\n");
    // Still on the bus but silent: reset before it was opened again.
    EXPECT_EQ(count_starting(r.out, "Reset of controller 1 (bus 1, device 3): Success"), 1);
    EXPECT_LE(expect_log_holds(r.err), 20000u);
}

TEST_F(FailingPanel, ControllerThatAnswersFailedTenTimesIsGivenUpResetAndTheShowResumes) {
    // From its 60th command controller 1 answers ten commands with a failed status (1) or a phase
    // error (2): the image is given up as for a hung controller, the controller reset, the
    // panel found again, and every report says what happened.
    for (const std::string status : {"01", "02"}) {
        SCOPED_TRACE(status);
        std::filesystem::remove_all(dir.file("frames"));
        std::filesystem::create_directory(dir.file("frames"));
        std::filesystem::remove_all(dir.file("status"));
        panel.faults =
            std::string("id1.from=60,id1.") + (status == "01" ? "csw-fail" : "csw-phase") + "=10";
        show_settings settings;
        settings.options = "<status_dir>status</status_dir>";
        run_result r = play(playlist("<image_name><full_update><img>0.png</img><img>1.png</img>"
                                     "<img>2.png</img></full_update><stop>end</stop></image_name>",
                                     settings),
                            {{"EPDSIM_CLOCK", "virtual"}});
        expect_every_picture_shown_whole(r);
        const std::string failure = "controller 1 (slot 1, multi ID 1, bus 1, device 3) answered "
                                    "10 commands in a row with status " +
                                    status + " (FAILED)";
        EXPECT_NE(r.err.find("Error: the panel failed: " + failure + given_up_second),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(count_starting(r.out, "Reset of controller 1 (bus 1, device 3): Success"), 1);
        expect_log_holds(r.err);
        // The picture given up, why, the recovery, then each picture's stay as it ended.
        const std::vector<json> log = read_json_lines(dir.file("status/play-log.jsonl"));
        ASSERT_EQ(log.size(), 6u);
        EXPECT_EQ(log[0]["picture"], "img/1.png");
        EXPECT_EQ(log[0]["ok"], false);
        EXPECT_EQ(log[1]["error"], "the panel failed: " + failure);
        EXPECT_EQ(log[2]["event"], "recovery");
        for (int i = 3; i < 6; ++i) {
            EXPECT_EQ(log[i]["ok"], true) << i;
        }
        EXPECT_EQ(read_json(dir.file("status/status.json"))["last_error"],
                  "the panel failed: " + failure);
        // The panel brought back is the one now.png follows.
        EXPECT_EQ(differing_pixels(cv::imread(dir.file("status/now.png"), cv::IMREAD_UNCHANGED),
                                   frame(3)),
                  0);
    }
}

TEST_F(FailingPanel, ControllerThatStallsEveryTransferIsGivenUpAfterFiftyStalledAttempts) {
    // From its 60th command every transfer of controller 1 stalls, until 50 stalls are used up:
    // ten transfers of five attempts each, the last a command block.
    run_result r = play_with("id1.from=60,id1.stall-out=35,id1.stall-in=15");
    expect_every_picture_shown_whole(r);
    EXPECT_EQ(count_holding(split_lines(r.err), "Pipe error, retry"), 50);
    EXPECT_NE(r.err.find("Error: the panel failed: controller 1 (slot 1, multi ID 1, bus 1, "
                         "device 3) did not answer: 10 transfers in a row failed (the last: Pipe "
                         "error)" +
                         given_up_second),
              std::string::npos)
        << r.err;
    EXPECT_LE(expect_log_holds(r.err), 20000u);
}

TEST_F(FailingPanel, ControllerThatLeavesDuringADeepClearIsNamedAndTheShowResumes) {
    // After each picture a deep clear. Controller 1's 48th command is the refresh of the first;
    // controller 0's 54th is the power-off that ends it, which then cannot be sent again.
    const struct {
        const char *faults;
        std::string given_up;
    } rows[] = {
        {"id1.gone=48,id1.back=1",
         "controller 1 (slot 1, multi ID 1, bus 1, device 3) has left the bus. The deep clear is "
         "given up, the panel is powered off"},
        {"id0.gone=54,id0.back=1",
         "controller 0 (slot 0, multi ID 0, bus 1, device 2) has left the bus. The deep clear is "
         "given up, the panel could not be powered off"},
    };
    show_settings settings;
    settings.options = "<clear_every>1</clear_every>";
    for (const auto &row : rows) {
        SCOPED_TRACE(row.faults);
        panel.faults = row.faults;
        run_result r = play(playlist("<image_name><full_update><img>0.png</img><img>1.png</img>"
                                     "</full_update><stop>end</stop></image_name>",
                                     settings),
                            {{"EPDSIM_CLOCK", "virtual"}});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("Error: the panel failed: " + row.given_up +
                             "; the tool looks for the controllers again\n" + answers_again +
                             "1): the show goes on\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(count_starting(r.out, "Slide Period"), 2);
        EXPECT_NE(r.out.find("stop tag end and exit\r\nDone\n"), std::string::npos);
        expect_log_holds(r.err);
    }
}

TEST_F(FailingPanel, ControllerThatLeavesTheBusAndComesBackResumesTheShow) {
    // Controller 1 leaves at its 60th command and is plugged in again at the second look.
    notify_socket notify(dir.file("notify"));
    run_result r = play_with("id1.gone=60,id1.back=2", {}, &notify);
    expect_every_picture_shown_whole(r);
    EXPECT_EQ(r.err, "   send_mass_storage_command: No such device (it may have been "
                     "disconnected)\n"
                     "controller 1 has left the bus: its commands are no longer sent\n"
                     "Error: the panel failed: controller 1 (slot 1, multi ID 1, bus 1, device "
                     "3) has left the bus" +
                         given_up_second + answers_again + "2): the show goes on\n");
    EXPECT_EQ(lines_starting(r.out, {"Looking for the panel"}),
              lines{"Looking for the panel (attempt 1): 1 of 2 controllers answer, next try in "
                    "10 s"});
    // A controller that left is not reset: it is found again as it comes.
    EXPECT_EQ(count_starting(r.out, "Reset of controller"), 0);
    EXPECT_LE(expect_log_holds(r.err), 20000u);
    // What systemctl status says meanwhile, and the watchdog pinged once a second through the
    // 15 s of waiting, however often the wait looks at the clock.
    const lines told = notify.received();
    EXPECT_EQ(count_starting(told, "STATUS=waiting for the panel: 0 of 2 controllers answer, "
                                   "next try in 5 s"),
              1);
    EXPECT_EQ(count_starting(told, "STATUS=waiting for the panel: 1 of 2 controllers answer, "
                                   "next try in 10 s"),
              1);
    EXPECT_GE(count_starting(told, "WATCHDOG=1"), 15);
    EXPECT_LE(count_starting(told, "WATCHDOG=1"), 18);
}

TEST_F(FailingPanel, PanelResumesWhenTheControllersItWasMadeOfAnswerWhateverElseIsOnTheBus) {
    // A controller of the panel leaves during the second picture and is back at the first look.
    // Only the panel's own controllers answer for it: a look at which the other answers alone
    // finds none of its one.
    const struct {
        const char *what;
        virtual_panel controllers;
        const char *faults;
        lines looks; // the lines of the looks that failed
    } cases[] = {
        // Controller 0 alone (a multi ID above 10000) makes the panel, the other stays on the bus.
        {"controller 0 alone", bands(2880, 40, {20000, 1}), "dev0.gone=6,dev0.back=1", {}},
        {"controller 0 alone, back later",
         bands(2880, 40, {20000, 1}),
         "dev0.gone=6,dev0.back=2",
         {"Looking for the panel (attempt 1): 0 of 1 controllers answer, next try in 10 s"}},
        // A third controller of the vendor is plugged in while the tool waits.
        {"one plugged in meanwhile",
         bands(2880, 40, {0, 1, 2}),
         "dev2.plug=2,id1.gone=60,id1.back=1",
         {}},
        {"a panel of four", layout(32, 20), "id2.gone=40,id2.back=1", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        panel = c.controllers;
        run_result r = play_with(c.faults);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(answers_again + std::to_string(c.looks.size() + 1) +
                             "): the show goes on\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(lines_starting(r.out, {"Looking for the panel"}), c.looks);
        EXPECT_NE(r.out.find("stop tag end and exit\r\nDone\n"), std::string::npos);
    }
}

TEST_F(FailingPanel, ControllerThatComesBackHungIsLookedForUntilAStopRequest) {
    // Controller 1 leaves at its 60th command and comes back hung at the first look; a reset
    // does not help it. Controller 0's system info is the one command each look completes: the
    // stop request comes with the eighth look's. The wait doubles from 5 s to its cap of 5 min.
    run_result r =
        play_with("id1.gone=60,id1.back-hung=1",
                  {{"EPDSIM_RAISE", "SIGTERM@" + std::to_string(commands_before_failure + 8)}});
    EXPECT_EQ(r.status, 0) << r.err;
    lines expected;
    const int waits[] = {10, 20, 40, 80, 160, 300, 300, 300};
    for (int attempt = 1; attempt <= 8; ++attempt) {
        if (attempt > 1) {
            expected.push_back("Reset of controller 1 (bus 1, device 3): Success");
        }
        if (attempt == 8) {
            expected.push_back("ctrl+c SIGINT Triggerred!. Close USB");
        }
        expected.push_back("Looking for the panel (attempt " + std::to_string(attempt) +
                           "): 1 of 2 controllers answer, next try in " +
                           std::to_string(waits[attempt - 1]) + " s");
    }
    expected.push_back("Done");
    EXPECT_EQ(lines_starting(r.out, {"Looking for the panel", "Reset of", "ctrl+c", "Done"}),
              expected);
    EXPECT_EQ(count_starting(r.err, "Error: cannot build the panel: controller 1 (bus 1, device 3) "
                                    "did not deliver its system information"),
              8);
    EXPECT_EQ(count_starting(r.out, "Slide Period"), 1);
    EXPECT_LE(expect_log_holds(r.err), 20000u);
}

TEST_F(FailingPanel, PanelWhoseFirstRecordDoesNotArriveIsRefusedAtStart) {
    // Controller 0's very first command fails once: no panel of 0 x 0 pixels plays a show.
    run_result r = play_with("dev0.csw-fail=1");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\t\t\tMass Storage Status: 01 (FAILED)\n"
                     "Error: cannot build the panel: controller 0 (bus 1, device 2) did not "
                     "deliver its system information\n");
    EXPECT_EQ(r.out.find("EPD Width"), std::string::npos);
    EXPECT_EQ(r.out.find("Display : "), std::string::npos);
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
        if (run_entry("playlist.xml") != 0) {
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

namespace {

// Calls act(n) for the n-th status wrapper controller 0 sends (1-based), after it was sent; act
// returns the status byte the host shall see.
void on_status_of_controller_0(const std::function<int(int n, int status)> &act) {
    auto counted = std::make_shared<int>(0);
    epdsim::set_in_transfer_hook(
        [act, counted](int controller, unsigned char *data, int length, int *, int result) {
            if (controller == 0 && length == 13 && result == 0) {
                data[12] = static_cast<unsigned char>(act(++*counted, data[12]));
            }
            return result;
        });
}

const char *const failed_status = "\t\t\tMass Storage Status: 01 (FAILED)";

} // namespace

TEST_F(ShowInAChild, LogRenamedOrEmptiedByOthersGoesOnWithoutLossOrHole) {
    // Four failed statuses are reported. Before the second, log rotation renames log.txt and
    // sends SIGHUP; before the third, someone empties the new log.txt.
    run_result r = play_in_child([] {
        small_panel(0);
        on_status_of_controller_0([](int n, int status) {
            if (n == 20) {
                std::rename("log.txt", "log.txt.1");
                std::raise(SIGHUP);
            }
            if (n == 30) {
                truncate("log.txt", 0);
            }
            return n == 10 || n == 20 || n == 30 || n == 40 ? 1 : status;
        });
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_starting(r.err, failed_status), 4);
    // The renamed file kept what was written before the hang-up; the new one what came after.
    EXPECT_EQ(log_messages(dir.file("log.txt.1")), lines{failed_status});
    const std::string log = read_file(dir.file("log.txt"));
    EXPECT_EQ(log.find('\0'), std::string::npos) << "a hole of NUL bytes";
    EXPECT_TRUE(matches(log, "(" + log_stamp + "[^\n]*\n){2}")) << log;
    EXPECT_EQ(count_holding(split_lines(log), failed_status), 2);
}

TEST_F(ShowInAChild, OutputIntoAClosedPipeNeverEndsTheShow) {
    run_result r = run_in_child(
        [] {
            small_panel(0);
            int ends[2];
            if (pipe(ends) != 0) {
                return 3;
            }
            close(ends[0]);
            dup2(ends[1], STDOUT_FILENO);
            const int status = run_entry("playlist.xml");
            return status == 0 && epdsim::frame_count() == 2 ? 0 : 4;
        },
        dir.path(), {}, 60);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(ShowInAChild, ClosedStandardStreamsLeaveTheLogItsEntriesOnly) {
    // Started with standard output and standard error closed, the tool must not open log.txt onto
    // them: the progress lines would fill it, and each entry would be written twice.
    run_result r = run_in_child(
        [] {
            small_panel(0);
            on_status_of_controller_0([](int n, int status) { return n == 10 ? 1 : status; });
            if (fcntl(STDIN_FILENO, F_GETFD) == -1) {
                open("/dev/null", O_RDONLY); // standard input as a service has it
            }
            close(STDOUT_FILENO);
            close(STDERR_FILENO);
            return run_entry("playlist.xml");
        },
        dir.path(), {}, 60);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(log_messages(dir.file("log.txt")), lines{failed_status});
}

TEST_F(ShowInAChild, ASignalThatEndsTheToolLosesNoLogEntry) {
    // SIGUSR2 keeps its default: the tool ends at once, but the entry written before is in the
    // file.
    run_result r = play_in_child([] {
        small_panel(0);
        on_status_of_controller_0([](int n, int status) {
            if (n == 20) {
                std::raise(SIGUSR2);
            }
            return n == 10 ? 1 : status;
        });
    });
    EXPECT_EQ(r.signal, SIGUSR2);
    EXPECT_EQ(log_messages(dir.file("log.txt")), lines{failed_status});
}
