// The slide-show player end to end: epdshow-sim plays playlists on a small virtual panel and the
// player's own lines, its exit status and the commands on the wire are checked.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "entry_in_child.h"
#include "epdsim.h"
#include "notify_socket.h"
#include "panel_stage.h"
#include "quiet_hours.h"
#include "sim_show.h"
#include "status_files.h"
#include "virtual_clock.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

// The small panel of the shows: two 2880-wide controllers with 40-row bands, the 42 layout.
// Commands of one whole-panel image there: 2 temperature reads, 80 rows, power on, 3 per band
// for the refresh, one idle poll pass of 2 reads, power off.
const int commands_per_full_image = 2 + 80 + 1 + 6 + 2 + 1;
const int commands_at_start = 2;

// The number of the command in the middle of the loading of the n-th whole-panel image.
int during_full_image(int n) {
    return commands_at_start + (n - 1) * commands_per_full_image + 40;
}

class PlayerTest : public sim_show {
  protected:
    void SetUp() override {
        sim_show::SetUp();
        for (const char *name : {"a.png", "b.png", "c.png", "d.png", "e.png"}) {
            cv::imwrite(dir.file("img/") + name, numbered_picture(40, 30));
        }
    }

    // Plays the groups; env comes after the panel's variables and so overrides them.
    run_result play_groups(const std::string &groups, const env_list &env = {}) {
        return play(playlist(groups), env);
    }

    // The player's own lines, in order, without the update's progress lines.
    static lines player_lines(const std::string &out) {
        lines kept = lines_starting(out, {"Full update:", "Area update:", "Display ",
                                          "Full display", "Area update display", "stop tag",
                                          "Played", "Done", "ctrl+c", "stop Flag"});
        kept.erase(std::remove(kept.begin(), kept.end(), "Display Area (0x94)"), kept.end());
        return kept;
    }
};

} // namespace

TEST_F(PlayerTest, StopUnderTheLastGroupEndsAfterOnePass) {
    run_result r =
        play_groups("<image_name><full_update><img>a.png</img><img>b.png</img></full_update>"
                    "<area_update><img>c.png</img><area>0,10,100,20</area>"
                    "<img>d.png</img><area>100,60,50,10</area></area_update>"
                    "<stop>the end</stop></image_name>");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(player_lines(r.out),
              (lines{"Full update:", "Display : a.png ", "Display : b.png ",
                     "Area update:", "Display c.png on (x, y, w, h) = (0, 10, 100, 20)",
                     "Display d.png on (x, y, w, h) = (100, 60, 50, 10)",
                     "stop tag the end and exit\r", "Done"}));
    EXPECT_NE(r.out.find("stop tag the end and exit\r\nDone\n"), std::string::npos);
    EXPECT_EQ(r.err, "");
}

// --passes N ends a playlist that repeats after N passes, as a stop under its last group would: a
// pass that showed nothing still fails the show.
TEST_F(PlayerTest, PassesEndTheShowAsAStopUnderTheLastGroupWould) {
    auto play_passes = [&](const std::string &passes, const std::string &groups) {
        dir.write("playlist.xml", playlist(groups));
        return run_program(EPDSHOW_SIM_PATH, {"--passes", passes, "playlist.xml"},
                           panel.environment(), dir.path());
    };
    const run_result r =
        play_passes("2", "<image_name><full_update><img>a.png</img><img>b.png</img></full_update>"
                         "</image_name>");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(player_lines(r.out),
              (lines{"Full update:", "Display : a.png ", "Display : b.png ",
                     "Area update:", "Full update:", "Display : a.png ", "Display : b.png ",
                     "Area update:", "Played 2 passes (--passes 2): the show ends", "Done"}));
    EXPECT_EQ(r.err, "");

    const run_result missing =
        play_passes("1", "<image_name><full_update><img>x.png</img></full_update></image_name>");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(player_lines(missing.out),
              (lines{"Full update:", "Display : x.png ", "Area update:"}));
}

TEST_F(PlayerTest, StopInsideAListShowsOnlyItsFirstImageEveryPass) {
    run_result r =
        play_groups("<image_name><full_update><stop/><img>a.png</img><img>b.png</img>"
                    "</full_update><full_update><img>c.png</img><img>d.png</img></full_update>"
                    "<area_update><img>a.png</img><img>b.png</img><area>0,0,10,10</area>"
                    "<area>0,0,20,20</area><stop/></area_update><stop></stop></image_name>");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        player_lines(r.out),
        (lines{"Full update:", "Display : a.png ", "Full display stop \r", "Display : c.png ",
               "Display : d.png ", "Area update:", "Display a.png on (x, y, w, h) = (0, 0, 10, 10)",
               "Area update display stop \r", "stop tag  and exit\r", "Done"}));
}

TEST_F(PlayerTest, StopUnderAnEarlierGroupHasNoEffect) {
    // Without a stop under the last group the passes repeat; a Ctrl+C in the second pass ends it.
    run_result r =
        play_groups("<image_name><full_update><img>a.png</img></full_update><stop>x</stop>"
                    "</image_name><image_name><full_update><img>b.png</img></full_update>"
                    "</image_name>",
                    {{"EPDSIM_RAISE", "SIGINT@" + std::to_string(during_full_image(3))}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(player_lines(r.out), (lines{"Full update:", "Display : a.png ",
                                          "Area update:", "Full update:", "Display : b.png ",
                                          "Area update:", "Full update:", "Display : a.png ",
                                          "ctrl+c SIGINT Triggerred!. Close USB", "stop Flag flip!",
                                          "Full display signal stop \r", "Done"}));
}

TEST_F(PlayerTest, InterruptDuringTheSecondImageEndsAfterIt) {
    run_result r =
        play_groups("<image_name><full_update><img>a.png</img><img>b.png</img>"
                    "<img>c.png</img></full_update><area_update><img>d.png</img>"
                    "<area>0,0,10,10</area></area_update></image_name>",
                    {{"EPDSIM_RAISE", "SIGINT@" + std::to_string(during_full_image(2))}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(player_lines(r.out), (lines{"Full update:", "Display : a.png ", "Display : b.png ",
                                          "ctrl+c SIGINT Triggerred!. Close USB", "stop Flag flip!",
                                          "Full display signal stop \r", "Done"}));
    // The interrupted image was finished: powered off after its refresh.
    EXPECT_EQ(journal().size(), size_t(commands_at_start + 2 * commands_per_full_image));
    EXPECT_NE(journal().back().find("power off"), std::string::npos);
}

TEST_F(PlayerTest, TerminationDuringTheFirstListStillShowsTheNextListsFirstImage) {
    run_result r =
        play_groups("<image_name><full_update><img>a.png</img><img>b.png</img></full_update>"
                    "<full_update><img>c.png</img><img>d.png</img></full_update>"
                    "</image_name>",
                    {{"EPDSIM_RAISE", "SIGTERM@" + std::to_string(during_full_image(1))}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(player_lines(r.out),
              (lines{"Full update:", "Display : a.png ", "ctrl+c SIGINT Triggerred!. Close USB",
                     "stop Flag flip!", "Full display signal stop \r", "Display : c.png ",
                     "Full display signal stop \r", "Done"}));
}

TEST_F(PlayerTest, InterruptDuringTheAreaPhaseReachesTheNextGroupsFullPhase) {
    // 1 full image, then the area image is interrupted: the other area list's first image and
    // the next group's first full image are still shown before the pass ends.
    int during_area = commands_at_start + commands_per_full_image + 5;
    run_result r = play_groups(
        "<image_name><full_update><img>a.png</img></full_update>"
        "<area_update><img>b.png</img><img>c.png</img><area>0,0,10,10</area>"
        "<area>0,0,10,10</area></area_update>"
        "<area_update><img>d.png</img><img>e.png</img><area>5,5,10,10</area>"
        "<area>5,5,10,10</area></area_update></image_name>"
        "<image_name><full_update><img>e.png</img><img>a.png</img></full_update>"
        "<full_update><img>b.png</img></full_update>"
        "<area_update><img>c.png</img><area>0,0,10,10</area></area_update></image_name>",
        {{"EPDSIM_RAISE", "SIGINT@" + std::to_string(during_area)}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(player_lines(r.out),
              (lines{"Full update:", "Display : a.png ",
                     "Area update:", "Display b.png on (x, y, w, h) = (0, 0, 10, 10)",
                     "ctrl+c SIGINT Triggerred!. Close USB", "stop Flag flip!",
                     "Area update display signal stop \r",
                     "Display d.png on (x, y, w, h) = (5, 5, 10, 10)",
                     "Area update display signal stop \r", "Full update:", "Display : e.png ",
                     "Full display signal stop \r", "Display : b.png ",
                     "Full display signal stop \r", "Done"}));
}

// A pass that shows nothing ends the show as a failure (status 1), so that a service manager
// starts it again; a stop element in a pass that had nothing to show still ends it as asked.
TEST_F(PlayerTest, EmptyGroupsAndListsDoNotSpin) {
    const std::string nothing_to_show =
        "A whole pass of the playlist showed no image; the show ends (the playlist names no "
        "picture)\n";
    run_result empty_lists = play_groups("<image_name><full_update/><area_update><stop>s</stop>"
                                         "</area_update></image_name><image_name/>");
    EXPECT_EQ(empty_lists.status, 1);
    EXPECT_EQ(player_lines(empty_lists.out),
              (lines{"Full update:", "Area update:", "Full update:", "Area update:"}));
    EXPECT_EQ(empty_lists.err, nothing_to_show);

    run_result no_groups = play_groups("");
    EXPECT_EQ(no_groups.status, 1);
    EXPECT_EQ(player_lines(no_groups.out), (lines{}));
    EXPECT_EQ(no_groups.err, nothing_to_show);

    run_result stopped = play_groups("<image_name><stop>bye</stop></image_name>");
    EXPECT_EQ(player_lines(stopped.out),
              (lines{"Full update:", "Area update:", "stop tag bye and exit\r", "Done"}));
    EXPECT_EQ(stopped.err, "");
}

// Pictures not there yet (a share mounted late): the pass shows nothing, costs no refresh and no
// slide wait, and the show fails naming the first picture, so that the service tries again; once
// the pictures are there the same playlist plays. One picture missing among good ones is
// reported and the show plays on.
TEST_F(PlayerTest, APassWhosePicturesAreAllMissingFailsUntilTheyAreThere) {
    const std::string groups = "<image_name><full_update><img>x.png</img><img>y.png</img>"
                               "</full_update><area_update><img>z.png</img><area>0,0,10,10</area>"
                               "</area_update><stop>end</stop></image_name>";
    run_result missing = play_groups(groups);
    EXPECT_EQ(missing.status, 1);
    const std::string not_found = "not found (looked up from '" + dir.path() + "')";
    EXPECT_EQ(missing.err, "Error: cannot use picture 'img/x.png': " + not_found +
                               "\nError: cannot use picture 'img/y.png': " + not_found +
                               "\nError: cannot use picture 'img/z.png': " + not_found +
                               "\nA whole pass of the playlist showed no image; the show ends "
                               "(the first that could not be used: 'img/x.png': " +
                               not_found + ")\n");
    EXPECT_EQ(count_starting(missing.out, "Slide Period"), 0);
    EXPECT_EQ(count_holding(journal(), " power "), 0);
    EXPECT_EQ(missing.out.find("Done"), std::string::npos);

    for (const char *name : {"x.png", "y.png", "z.png"}) {
        cv::imwrite(dir.file("img/") + name, numbered_picture(40, 30));
    }
    run_result there = play_groups(groups);
    EXPECT_EQ(there.status, 0) << there.err;
    EXPECT_EQ(there.err, "");
    EXPECT_EQ(count_starting(there.out, "Slide Period"), 3);

    std::filesystem::remove(dir.file("img/y.png"));
    run_result one_missing = play_groups(groups);
    EXPECT_EQ(one_missing.status, 0);
    EXPECT_EQ(one_missing.err, "Error: cannot use picture 'img/y.png': " + not_found + "\n");
    EXPECT_EQ(player_lines(one_missing.out),
              (lines{"Full update:", "Display : x.png ", "Display : y.png ",
                     "Area update:", "Display z.png on (x, y, w, h) = (0, 0, 10, 10)",
                     "stop tag end and exit\r", "Done"}));
}

TEST_F(PlayerTest, AreasThePanelCannotShowAreSkippedWithoutCommands) {
    run_result r = play_groups("<image_name><area_update>"
                               "<img>a.png</img><area>0,0,0,10</area>"
                               "<img>b.png</img><area>-1,0,10,10</area>"
                               "<img>c.png</img><area>2800,0,81,10</area>"
                               "<img>d.png</img><area>2870,70,10,30</area>"
                               "<img>e.png</img></area_update><stop/></image_name>");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        player_lines(r.out),
        (lines{"Full update:", "Area update:", "Display d.png on (x, y, w, h) = (2870, 70, 10, 30)",
               "stop tag  and exit\r", "Done"}));
    EXPECT_EQ(r.err, "Skip image a.png: area (x, y, w, h) = (0, 0, 0, 10) does not fit the 2880 x "
                     "80 panel\n"
                     "Skip image b.png: area (x, y, w, h) = (-1, 0, 10, 10) does not fit the 2880 "
                     "x 80 panel\n"
                     "Skip image c.png: area (x, y, w, h) = (2800, 0, 81, 10) does not fit the "
                     "2880 x 80 panel\n"
                     "Skip image e.png: its <area_update> has no <area> for it\n");
    // Only the one image that fits reached the controllers, the bottom band alone: its rows
    // below the panel are dropped and the top band, above it, gets no command.
    EXPECT_EQ(journal().size(), size_t(commands_at_start + 2 + 10 + 1 + 3 + 2 + 1));
}

TEST_F(PlayerTest, NoControllerEndsBeforeAnyPass) {
    run_result r =
        play_groups("<image_name><full_update><img>a.png</img></full_update></image_name>",
                    {{"EPDSIM_DEVICES", "none"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("usb_init\n"), std::string::npos);
    EXPECT_NE(r.out.find("epd_devs = 0\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Full update:"), std::string::npos);
    EXPECT_EQ(r.out.find("Done"), std::string::npos);
    EXPECT_EQ(r.err, "Error: no e-paper controller found on the USB bus\n");
}

TEST_F(PlayerTest, WithEveryControllerGoneAStopRequestEndsTheWaitForThePanelAtOnce) {
    // Both controllers leave during the second image and stay away: the tool waits 5 s before it
    // looks for them again. SIGTERM a second into that wait (as the service manager is told it
    // began) ends it at once, with status 0.
    const std::string waiting =
        "STATUS=waiting for the panel: 0 of 2 controllers answer, next try in 5 s";
    notify_socket notify(dir.file("notify"));
    using clock = std::chrono::steady_clock;
    const clock::time_point start = clock::now();
    clock::time_point waiting_since, sent;
    run_result r = play(
        playlist("<image_name><full_update><img>a.png</img><img>b.png</img></full_update>"
                 "</image_name>"),
        {{"EPDSIM_FAULTS", "gone=50"}, {"NOTIFY_SOCKET", notify.path}}, 30, [&](int pid) {
            const lines &told = notify.received();
            if (waiting_since == clock::time_point() && !told.empty() && told.back() == waiting) {
                waiting_since = clock::now();
            }
            if (sent == clock::time_point() && waiting_since != clock::time_point() &&
                clock::now() - waiting_since > std::chrono::seconds(1)) {
                kill(pid, SIGTERM);
                sent = clock::now();
            }
        });
    const clock::time_point ended = clock::now();
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_NE(sent, clock::time_point());
    // The wait ends within a second; the rest is the process's own end on a busy machine.
    EXPECT_LT(ended - sent, std::chrono::milliseconds(1500));
    EXPECT_EQ(player_lines(r.out),
              (lines{"Full update:", "Display : a.png ", "Display : b.png ",
                     "ctrl+c SIGINT Triggerred!. Close USB", "stop Flag flip!", "Done"}));
    EXPECT_NE(r.err.find(") has left the bus. The image img/b.png is given up"), std::string::npos)
        << r.err;
    // What systemctl status shows, and the pings of the watchdog: at most one a second, though
    // the wait for the panel looks at the clock ten times a second.
    const lines told = notify.received();
    EXPECT_EQ(lines(told.begin(), told.begin() + std::min<size_t>(told.size(), 3)),
              (lines{"READY=1", "STATUS=showing a.png, image 1 of 2", "WATCHDOG=1"}));
    EXPECT_EQ(count_starting(told, "READY="), 1);
    EXPECT_LE(count_starting(told, "WATCHDOG=1"),
              std::chrono::duration_cast<std::chrono::seconds>(ended - start).count() + 1);
    EXPECT_EQ(count_starting(told, "STATUS=showing b.png, image 2 of 2"), 1);
    lines statuses;
    std::copy_if(told.begin(), told.end(), std::back_inserter(statuses),
                 [](const std::string &line) { return line.rfind("STATUS=", 0) == 0; });
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), waiting);
}

TEST_F(PlayerTest, ControllersThatMatchNoLayoutSayOnceWhyNoPictureIsShown) {
    // A stop request during the first image of the second pass (the lone controller has 4 commands
    // an image): nothing is claimed as shown, and each pass says why once.
    show_settings status;
    status.options = "<status_dir>status</status_dir>";
    run_result r = play(
        playlist("<image_name><full_update><img>a.png</img><img>b.png</img>"
                 "</full_update></image_name>",
                 status),
        {{"EPDSIM_DEVICES", "2880x40@0"}, {"EPDSIM_RAISE", "SIGINT@" + std::to_string(1 + 4 * 3)}});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string why = "1 controller of width 2880: the 42 layout needs 2";
    EXPECT_EQ(r.err, "Warning: no picture will be shown: " + why + "\n");
    EXPECT_EQ(count_starting(r.out, "Display : "), 3);
    // Each picture's time is waited all the same: no busy loop.
    EXPECT_EQ(count_starting(r.out, "Slide Period 0 sec"), 3);
    const std::vector<json> log = read_json_lines(dir.file("status/play-log.jsonl"));
    ASSERT_EQ(log.size(), 2u);
    for (const json &line : log) {
        EXPECT_EQ(line["event"], "failure");
        EXPECT_EQ(line["error"], why);
    }
    EXPECT_EQ(read_json(dir.file("status/status.json"))["last_error"], why);
}

TEST_F(PlayerTest, ASecondInterruptOfEitherKindEndsTheToolAtOnce) {
    for (const std::string second : {"SIGINT", "SIGTERM"}) {
        run_result r = play_groups(
            "<image_name><full_update><img>a.png</img><img>b.png</img>"
            "</full_update></image_name>",
            {{"EPDSIM_RAISE", "SIGINT@" + std::to_string(during_full_image(1)) + "," + second +
                                  "@" + std::to_string(during_full_image(1) + 10)}});
        EXPECT_EQ(r.status, -1) << second;
        EXPECT_EQ(r.signal, second == "SIGINT" ? SIGINT : SIGTERM);
        EXPECT_EQ(player_lines(r.out),
                  (lines{"Full update:", "Display : a.png ", "ctrl+c SIGINT Triggerred!. Close USB",
                         "stop Flag flip!"}))
            << second;
    }
}

// Playlists that keep themselves: folders, shuffle, per-image time, quiet hours and reload.

namespace {

namespace fs = std::filesystem;

// Seconds since the epoch of a UTC time "YYYY-MM-DDTHH:MM:SS".
std::time_t utc(const std::string &text) {
    std::tm fields = {};
    strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &fields);
    return timegm(&fields);
}

void set_modified(const std::string &path, std::time_t when) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// "HH:MM:SS" of the wall clock, which the virtual clock may have set.
std::string time_of_day() {
    const std::time_t now = wall_clock();
    std::tm local = {};
    localtime_r(&now, &local);
    char text[16];
    strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

int second_of_day(const std::string &time_of_day) {
    return std::stoi(time_of_day.substr(0, 2)) * 3600 + std::stoi(time_of_day.substr(3, 2)) * 60 +
           std::stoi(time_of_day.substr(6, 2));
}

using command_actions = std::map<int, std::function<void()>>;

// Shows run by the entry in a child of the test, in UTC, on a virtual clock that starts at a
// given time and goes on as the program sleeps. Each command's journal line is kept with the time
// of day at which it ended, and actions run when the command of their number has ended (to change
// files or send a signal in the middle of a show); after_each after every command. With notify,
// the program tells it what it would tell the service manager.
class PlaylistUpkeep : public PlayerTest {
  protected:
    run_result play_from(const std::string &start, const std::string &playlist,
                         const command_actions &actions = {},
                         const std::function<void()> &after_each = {},
                         notify_socket *notify = nullptr) {
        dir.write("playlist.xml", playlist);
        const std::string times = dir.file("times.txt");
        const std::string journal_file = dir.file("journal.txt");
        auto set_up = [&] {
            std::string error;
            if (!virtual_clock::configure("virtual@" + start, &error)) {
                exit(3);
            }
            panel.plug();
            epdsim::set_journal_file(journal_file);
            auto out = std::make_shared<std::ofstream>(times);
            auto ended = std::make_shared<int>(0);
            epdsim::set_in_transfer_hook([=](int, unsigned char *, int, int *, int result) {
                while (*ended < epdsim::command_count()) {
                    *out << time_of_day() << std::endl;
                    if (auto action = actions.find(++*ended); action != actions.end()) {
                        action->second();
                    }
                    if (after_each) {
                        after_each();
                    }
                }
                return result;
            });
        };
        env_list env = {{"TZ", "UTC"}};
        if (notify != nullptr) {
            env.push_back({"NOTIFY_SOCKET", notify->path});
        }
        return run_entry_in_child(set_up, dir.path(), "playlist.xml", env, 60, [notify](int) {
            if (notify != nullptr) {
                notify->received();
            }
        });
    }

    // The journal of the latest show, each line preceded by the time its command ended.
    lines timed_journal() const {
        const lines times = split_lines(read_file(dir.file("times.txt")));
        lines entries = journal();
        EXPECT_EQ(times.size(), entries.size());
        for (size_t i = 0; i < std::min(times.size(), entries.size()); ++i) {
            entries[i] = times[i] + " " + entries[i];
        }
        return entries;
    }

    // A copy of a.png at path, last modified at when.
    void picture_at(const std::string &path, std::time_t when) {
        fs::copy_file(dir.file("img/a.png"), path, fs::copy_options::overwrite_existing);
        set_modified(path, when);
    }
};

} // namespace

TEST_F(PlaylistUpkeep, FolderIsListedAfreshEachPassInNaturalOrderWithoutFilesNotReady) {
    const std::string start = "2030-01-01T12:00:00";
    const std::string shots = dir.file("img/shots/");
    fs::create_directory(shots);
    fs::create_directory(shots + "sub.png");
    for (const char *name : {"img10.png", "img2.png", "img1.png", ".hidden.png", "b.png~",
                             "c.png.part", "~lock.png", "notes.txt"}) {
        picture_at(shots + name, utc(start) - 3600);
    }
    // Written as the show starts: left out until it has been left alone for a while.
    picture_at(shots + "fresh.png", utc(start));
    // Dated tomorrow by a machine whose clock was wrong: shown all the same.
    picture_at(shots + "future.png", utc(start) + 86400);
    command_actions actions = {
        {commands_at_start + 4 * commands_per_full_image, // the first pass's last command
         [&] {
             fs::remove(shots + "img1.png");
             picture_at(shots + "img3.png", utc(start) - 3600);
         }},
        {during_full_image(9), [] { raise(SIGINT); }}};
    run_result r = play_from(
        start,
        playlist("<image_name><full_update><folder seconds=\"20\">shots</folder></full_update>"
                 "</image_name>"),
        actions);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        lines_starting(r.out, {"shots", "Display : "}),
        (lines{"shots: 4 pictures", "Display : shots/future.png ", "Display : shots/img1.png ",
               "Display : shots/img2.png ", "Display : shots/img10.png ", "shots: 5 pictures",
               "Display : shots/fresh.png ", "Display : shots/future.png ",
               "Display : shots/img2.png ", "Display : shots/img3.png ",
               "Display : shots/img10.png "}));
    EXPECT_EQ(count_starting(r.out, "Slide Period 20 sec"), 9);
    EXPECT_EQ(r.err, "");
}

TEST_F(PlayerTest, ShuffledFolderPlaysANewOrderEachPassWithoutARepeatAtTheBoundary) {
    const std::string mix = dir.file("img/mix/");
    fs::create_directory(mix);
    for (const char *name : {"p1.png", "p2.png", "p3.png"}) {
        fs::copy_file(dir.file("img/a.png"), mix + name);
    }
    // An absolute folder: its pictures are echoed, and found, by that path.
    const std::string groups = "<image_name><full_update><folder shuffle=\"true\">" + mix +
                               "</folder></full_update></image_name>";
    const int passes = 12;
    notify_socket notify(dir.file("notify"));
    auto shown = [&](const std::string &seed) {
        run_result r =
            play(playlist(groups),
                 {{"EPDSIM_CLOCK", "virtual@2030-01-01T12:00:00"},
                  {"EPDSIM_SEED", seed},
                  {"EPDSIM_RAISE", "SIGINT@" + std::to_string(during_full_image(3 * passes))},
                  {"NOTIFY_SOCKET", notify.path}},
                 60, [&](int) { notify.received(); });
        EXPECT_EQ(r.status, 0) << r.err;
        return lines_starting(r.out, {"Display : "});
    };
    const lines first = shown("1");
    // The service's status line counts the folder's pictures into the pass.
    lines told;
    for (const std::string &line : notify.received()) {
        if (line.rfind("STATUS=", 0) == 0) {
            told.push_back(line);
        }
    }
    ASSERT_GE(told.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(told[i], "STATUS=showing " + first[i].substr(10, first[i].size() - 11) +
                               ", image " + std::to_string(i % 3 + 1) + " of 3");
    }
    ASSERT_EQ(first.size(), size_t(3 * passes));
    std::set<lines> orders;
    for (int pass = 0; pass < passes; ++pass) {
        lines order(first.begin() + 3 * pass, first.begin() + 3 * pass + 3);
        orders.insert(order);
        std::sort(order.begin(), order.end());
        EXPECT_EQ(order, (lines{"Display : " + mix + "p1.png ", "Display : " + mix + "p2.png ",
                                "Display : " + mix + "p3.png "}))
            << "pass " << pass;
        if (pass > 0) {
            EXPECT_NE(first[3 * pass], first[3 * pass - 1]) << "pass " << pass;
        }
    }
    EXPECT_GT(orders.size(), 1u);
    EXPECT_EQ(shown("1"), first);
    EXPECT_NE(shown("2"), first);
}

// A picture's stay after its update, timed on the virtual clock.
TEST(SlideWait, WaitsItsSecondsAndNeverLessThanNone) {
    const auto seconds_of = [](int32_t interval, std::string &out) {
        virtual_clock::enable(true);
        testing::internal::CaptureStdout();
        const auto start = std::chrono::steady_clock::now();
        slide_wait(interval);
        const auto end = std::chrono::steady_clock::now();
        out = testing::internal::GetCapturedStdout();
        virtual_clock::enable(false);
        return std::chrono::duration<double>(end - start).count();
    };
    std::string out;
    EXPECT_LT(seconds_of(-3, out), 1.0);
    EXPECT_EQ(out, "Slide Period -3 sec\n");
    const double one = seconds_of(1, out);
    EXPECT_GE(one, 1.0);
    EXPECT_LT(one, 2.0);
    EXPECT_EQ(out, "Slide Period 1 sec\n");
}

TEST_F(PlaylistUpkeep, SecondsOfAPictureReplaceTheSlideInterval) {
    run_result r = play_from(
        "2030-01-01T12:00:00",
        playlist("<image_name><full_update><img seconds=\"300\">a.png</img><img>b.png</img>"
                 "</full_update><area_update><img seconds=\"7\">c.png</img><area>0,0,10,10</area>"
                 "</area_update><stop/></image_name>"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_starting(r.out, {"Slide Period"}),
              (lines{"Slide Period 300 sec", "Slide Period 0 sec", "Slide Period 7 sec"}));
    // The next picture's first command comes the seconds asked for after the last one's.
    const lines timed = timed_journal();
    const size_t b_first = commands_at_start + commands_per_full_image;
    ASSERT_GT(timed.size(), b_first);
    const int waited = second_of_day(timed[b_first]) - second_of_day(timed[b_first - 1]);
    EXPECT_GE(waited, 300);
    EXPECT_LE(waited, 301);
}

TEST_F(PlaylistUpkeep, QuietHoursHoldTheShowUntilTheirEndAndMayClearThePanelFirst) {
    const lines shown = {"Display : a.png ", "Display : b.png ", "Display : c.png "};
    const std::string clear = "Clear Screen (0x94)", deep_clear = "Deep clear after 1 images";
    struct {
        std::string start;   // of the show (a.png and b.png stay 6 s each)
        std::string windows; // the quiet hours
        std::string options; // more settings
        lines expected;      // the lines of the pictures, quiet hours and clears
        int from, to;        // the quiet time the show meets, in seconds of the day
        int commands_inside; // commands the panel gets in it
        bool notify;         // what the service manager is told, on a short window
    } rows[] = {
        // Two windows that run together across midnight are one wait.
        {"21:59:50",
         "22:00-23:30, 23:30-07:00",
         "",
         {shown[0], shown[1], "Quiet hours until 07:00", shown[2]},
         22 * 3600,
         7 * 3600,
         0,
         false},
        // The panel is cleared as the wait begins: a whole-panel refresh of each band.
        {"21:59:50",
         "22:00-23:30, 23:30-07:00",
         " clear=\"true\"",
         {shown[0], shown[1], "Quiet hours until 07:00", clear, shown[2]},
         22 * 3600,
         7 * 3600,
         10,
         false},
        // A clear_every clear that falls due inside waits for the first picture after them.
        {"21:59:50",
         "22:00-07:00",
         "<clear_every>1</clear_every>",
         {shown[0], deep_clear, clear, shown[1], "Quiet hours until 07:00", shown[2], deep_clear,
          clear},
         22 * 3600,
         7 * 3600,
         0,
         false},
        // Before midnight in a window that crosses it: 7 hours to wait.
        {"23:00:00",
         "22:00-06:00",
         "",
         {"Quiet hours until 06:00", shown[0], shown[1], shown[2]},
         22 * 3600,
         6 * 3600,
         0,
         false},
        // A window that 24:00 ends.
        {"23:30:00",
         "23:00-24:00",
         "",
         {"Quiet hours until 00:00", shown[0], shown[1], shown[2]},
         23 * 3600,
         24 * 3600,
         0,
         false},
        {"21:59:50",
         "22:00-22:01",
         "",
         {shown[0], shown[1], "Quiet hours until 22:01", shown[2]},
         22 * 3600,
         22 * 3600 + 60,
         0,
         true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.start + " in " + row.windows + row.options);
        show_settings quiet;
        const bool clear_first = row.options.rfind(" clear", 0) == 0;
        quiet.options = "<quiet_hours" + (clear_first ? row.options : "") + ">" + row.windows +
                        "</quiet_hours>" + (clear_first ? "" : row.options);
        notify_socket notify(dir.file("notify"));
        run_result r =
            play_from("2030-01-01T" + row.start,
                      playlist("<image_name><full_update><img seconds=\"6\">a.png</img>"
                               "<img seconds=\"6\">b.png</img><img>c.png</img></full_update><stop/>"
                               "</image_name>",
                               quiet),
                      {}, {}, row.notify ? &notify : nullptr);
        fs::remove(notify.path);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(
            lines_starting(r.out, {"Display : ", "Quiet hours", "Clear Screen", "Deep clear"}),
            row.expected);
        // Inside the quiet time the panel gets nothing but the clear (when asked), with no
        // picture loaded; the next picture follows as it ends, in its first second.
        auto inside = [&](int second) {
            return row.from < row.to ? second >= row.from && second < row.to
                                     : second >= row.from || second < row.to;
        };
        const lines timed = timed_journal();
        lines commands_inside;
        for (size_t i = commands_at_start; i < timed.size(); ++i) {
            if (inside(second_of_day(timed[i]))) {
                commands_inside.push_back(timed[i]);
            }
        }
        EXPECT_EQ(count_holding(commands_inside, "display mode=0 x=0 y=0 w=2880 h=40"),
                  row.commands_inside / 5);
        EXPECT_EQ(count_holding(commands_inside, "write_mem"), 0);
        EXPECT_EQ(int(commands_inside.size()), row.commands_inside);
        EXPECT_GE(count_starting(timed, clock_text(row.to) + ":00 "), 1);
        if (row.notify) {
            // Told until when, and pinged once a second all the while: 70 s of slide waits and
            // quiet time.
            const lines told = notify.received();
            EXPECT_EQ(count_starting(told, "STATUS=quiet hours until 22:01"), 1);
            EXPECT_GE(count_starting(told, "WATCHDOG=1"), 68);
            EXPECT_LE(count_starting(told, "WATCHDOG=1"), 72);
        }
    }
}

// The detail is the service manager's status line: the picture's, the end of the quiet hours, the
// recovery's look, and the picture's again once the panel is back; none in a state begun without
// a line of its own.
TEST_F(PlaylistUpkeep, StatusFolderFollowsTheShowThroughQuietHoursAFailureAndItsEnd) {
    show_settings settings;
    settings.options = "<quiet_hours clear=\"true\">22:00-22:10</quiet_hours>"
                       "<status_dir>status</status_dir>";
    // Controller 1 leaves in the middle of c.png's rows and is back at the second look, 5 + 10 s
    // later.
    panel.faults = "id1.gone=110,id1.back=2";
    // The state, picture and detail of status.json each time they change, as a command ends (a
    // state with no command in it, such as b.png's slide wait, is not seen).
    const std::string status_file = dir.file("status/status.json");
    const std::string states_file = dir.file("states.txt");
    auto last = std::make_shared<std::string>();
    auto record_state = [=] {
        const std::string text = read_file(status_file);
        const json status = json::parse(text, nullptr, false);
        const std::string state = status.is_discarded()
                                      ? "not JSON: " + text
                                      : status["state"].get<std::string>() + " / " +
                                            status.value("picture", json("-")).dump() + " / " +
                                            status.value("detail", json("-")).dump();
        if (!text.empty() && state != *last) {
            *last = state;
            std::ofstream(states_file, std::ios::app) << state << std::endl;
        }
    };
    run_result r = play_from(
        "2030-01-01T21:59:00",
        playlist("<image_name><full_update><img seconds=\"30\">a.png</img><img>missing.png</img>"
                 "<img seconds=\"60\">b.png</img><img>c.png</img></full_update><stop/>"
                 "</image_name>",
                 settings),
        {}, record_state);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("quiet_hours = 22:00-22:10\nstatus_dir = status\nusb_init\n"),
              std::string::npos);
    EXPECT_EQ(
        split_lines(read_file(states_file)),
        (lines{"showing / null / null", "showing / \"img/a.png\" / \"showing a.png, image 1 of 4\"",
               "showing / \"img/a.png\" / \"showing missing.png, image 2 of 4\"",
               "quiet hours / \"img/b.png\" / \"quiet hours until 22:10\"", "showing / null / null",
               "waiting for the panel / null / \"waiting for the panel: 1 of 2 controllers "
               "answer, next try in 10 s\"",
               "showing / null / \"showing c.png, image 4 of 4\""}));
    const json status = read_json(status_file);
    const std::string failure = "the panel failed: controller 1 (slot 1, multi ID 1, bus 1, "
                                "device 3) has left the bus";
    EXPECT_EQ(status, json::parse(R"({"playlist": "playlist.xml", "state": "ended", "detail": null,
        "picture": "img/c.png", "update": "full", "area": null, "index": 4,
        "pictures_in_pass": 4, "pass": 1, "waveform_mode": 2,
        "shown_at": "2030-01-01T22:10:15+00:00", "next_change_at": null,
        "controllers": [{"index": 1, "multi_id": 1, "temperature": 25},
                        {"index": 0, "multi_id": 0, "temperature": 25}],
        "last_error": ")" + failure +
                                  R"(", "last_error_at": "2030-01-01T22:10:00+00:00",
        "updated_at": "2030-01-01T22:10:15+00:00"})"));
    // A line for each picture when its stay ends, with the seconds it stayed; the one given up
    // at once, followed by the failure and the recovery.
    lines log;
    for (const json &line : read_json_lines(dir.file("status/play-log.jsonl"))) {
        log.push_back(
            line["time"].get<std::string>().substr(11) + " " + line["event"].get<std::string>() +
            " " + line.value("picture", std::string("-")) + " " +
            (line["event"] == "picture"
                 ? line["update"].get<std::string>() + " mode " + line["waveform_mode"].dump() +
                       " " + line["seconds"].dump() + " s " + (line["ok"] == true ? "ok" : "failed")
                 : line.value("error", std::string())));
    }
    EXPECT_EQ(log,
              (lines{"21:59:30+00:00 failure img/missing.png not found (looked up from '" +
                         dir.path() + "')",
                     "21:59:00+00:00 picture img/a.png full mode 2 30 s ok",
                     "21:59:30+00:00 picture img/b.png full mode 2 60 s ok",
                     "22:10:00+00:00 picture img/c.png full mode 2 0 s failed",
                     "22:10:00+00:00 failure img/c.png " + failure, "22:10:15+00:00 recovery - ",
                     "22:10:15+00:00 picture img/c.png full mode 2 0 s ok"}));
}

// On the real clock: quiet hours from the minute before now to three minutes on, or a picture due
// from two minutes on, which leaves the pass nothing to show. SIGINT or SIGTERM ends either wait
// within a second; meanwhile the service manager and status.json say what the show waits for.
TEST_F(PlayerTest, StopRequestEndsTheWaitsWithinASecond) {
    const int minute = int(wall_clock() / 60 % (24 * 60));
    auto at = [&](int minutes_on) {
        return clock_text((minute + 24 * 60 + minutes_on) % (24 * 60) * 60);
    };
    show_settings quiet, later;
    later.options = "<status_dir>status</status_dir>";
    quiet.options = "<quiet_hours>" + at(-1) + "-" + at(3) + "</quiet_hours>" + later.options;
    const std::string quiet_list =
        playlist("<image_name><full_update><img>a.png</img></full_update></image_name>", quiet);
    const std::string later_list = playlist("<image_name><full_update><img when=\"" + at(2) + "-" +
                                                at(4) + "\">a.png</img></full_update></image_name>",
                                            later);
    const struct {
        const std::string &list;
        int signal;
        std::string waiting; // the line, the service manager's status and the state in status.json
    } cases[] = {{quiet_list, SIGINT, "quiet hours"},
                 {quiet_list, SIGTERM, "quiet hours"},
                 {later_list, SIGTERM, "nothing to show"}};
    using clock = std::chrono::steady_clock;
    int run = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.waiting + " " + std::to_string(c.signal));
        fs::remove(dir.file("journal.txt")); // the wait begins once the new one has its 2 lines
        notify_socket notify(dir.file("notify" + std::to_string(++run)));
        clock::time_point waiting_since, sent;
        std::string state;
        run_result r =
            play(c.list, {{"TZ", "UTC"}, {"NOTIFY_SOCKET", notify.path}}, 60, [&](int pid) {
                if (sent != clock::time_point() || journal().size() < size_t(commands_at_start)) {
                    return;
                }
                if (waiting_since == clock::time_point()) {
                    waiting_since = clock::now();
                } else if (clock::now() - waiting_since > std::chrono::milliseconds(300)) {
                    state = read_json(dir.file("status/status.json"))["state"];
                    kill(pid, c.signal);
                    sent = clock::now();
                }
            });
        const auto ended = clock::now();
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_NE(sent, clock::time_point());
        // The wait ends within a second; the rest is the process's own end (under a sanitizer,
        // its leak check) on a machine that may be busy.
        EXPECT_LT(ended - sent, std::chrono::milliseconds(1500));
        std::string line = c.waiting + " until ";
        line[0] = char(std::toupper(line[0]));
        EXPECT_EQ(count_starting(r.out, line), 1) << r.out;
        EXPECT_NE(r.out.find("stop Flag flip!\nDone\n"), std::string::npos) << r.out;
        EXPECT_EQ(journal().size(), size_t(commands_at_start));
        EXPECT_EQ(count_starting(notify.received(), "STATUS=" + c.waiting + " until "), 1);
        EXPECT_EQ(state, c.waiting);
    }
}

TEST_F(PlaylistUpkeep, HangUpReadsThePlaylistAgainAtTheNextImageOrKeepsTheOneThatReads) {
    const std::string first = playlist("<image_name><full_update><img>a.png</img><img>b.png</img>"
                                       "</full_update><stop>one</stop></image_name>");
    show_settings contain;
    contain.options = "<fit>contain</fit>";
    const std::string second = playlist(
        "<image_name><full_update><img>c.png</img></full_update><stop>two</stop></image_name>",
        contain);
    // The signal comes during the first image, after the playlist was rewritten (unless text is
    // empty).
    auto rewritten_to = [path = dir.file("playlist.xml")](const std::string &text,
                                                          int signal = SIGHUP) {
        return command_actions{{during_full_image(1), [path, text, signal] {
                                    if (!text.empty()) {
                                        std::ofstream(path) << text;
                                    }
                                    raise(signal);
                                }}};
    };
    const std::string start = "2030-01-01T12:00:00";

    // Log rotation (SIGUSR1), and a reload of a playlist whose bytes did not change, leave the
    // pass as it was: its next picture follows.
    for (const int signal : {SIGUSR1, SIGHUP}) {
        run_result same = play_from(start, first, rewritten_to("", signal));
        EXPECT_EQ(same.status, 0) << same.err;
        EXPECT_EQ(player_lines(same.out),
                  (lines{"Full update:", "Display : a.png ", "Display : b.png ",
                         "Area update:", "stop tag one and exit\r", "Done"}));
        EXPECT_EQ(count_starting(same.out, "Playlist unchanged: the show goes on with its next "
                                           "picture"),
                  signal == SIGHUP ? 1 : 0);
        EXPECT_EQ(count_starting(same.out, "Reload playlist"), signal == SIGHUP ? 1 : 0);
    }

    run_result good = play_from(start, first, rewritten_to(second));
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(player_lines(good.out),
              (lines{"Full update:", "Display : a.png ", "Full update:", "Display : c.png ",
                     "Area update:", "stop tag two and exit\r", "Done"}));
    EXPECT_NE(good.out.find("Slide Period 0 sec\nReload playlist : playlist.xml\nepd name = test\n"
                            "color = gray16\nimage path = img/\nslide interval = 0\n"
                            "en set temp    = 1\ntemperature    = 25\nwaveform_mode  = 2\n"
                            "rotate  = 0\nfit = contain\nFull update:\n"),
              std::string::npos)
        << good.out;
    EXPECT_EQ(good.err, "");

    run_result broken = play_from(start, first, rewritten_to("<playlist><epd>"));
    EXPECT_EQ(broken.status, 0) << broken.err;
    EXPECT_EQ(player_lines(broken.out),
              (lines{"Full update:", "Display : a.png ", "Display : b.png ",
                     "Area update:", "stop tag one and exit\r", "Done"}));
    EXPECT_EQ(count_starting(broken.out, "Reload playlist : playlist.xml"), 1);
    EXPECT_EQ(lines_starting(broken.err, {""}),
              (lines{"Error: playlist file 'playlist.xml' is not well-formed XML: Start-end tags "
                     "mismatch at line 1, column 15",
                     "Playlist not reloaded; the show goes on with the one read before"}));
}

namespace {

// The seconds since the epoch of a plan's time, "Mon 2030-01-07 07:00:00", and of the play log's,
// "2030-01-07T07:00:00+00:00", both in UTC.
std::time_t plan_time(const std::string &stamp) {
    return utc(stamp.substr(4, 10) + "T" + stamp.substr(15, 8));
}
std::time_t log_time(const std::string &stamp) {
    return utc(stamp.substr(0, 19));
}

} // namespace

// A canteen's week on the virtual clock: breakfast and lunch on weekdays, a campaign on two of
// them, a Friday evening that runs into quiet hours, a weekend group with a shuffled folder and two
// area pictures (each passed over, with its area, on the other day), and a group of the next
// Monday morning that ends the show. Its plan is the timeline expected; the show, with the same
// seed, puts the same pictures on the panel in the same order at the same times and waits the same
// waits.
TEST_F(PlayerTest, AWeekOfSchedulesPlaysAsItsPlanSays) {
    fs::create_directory(dir.file("img/weekend"));
    for (const char *name : {"breakfast.png", "lunch.png", "campaign.png", "party.png", "sat.png",
                             "sun.png", "monday.png", "weekend/w1.png", "weekend/w2.png"}) {
        cv::imwrite(dir.file("img/") + name, numbered_picture(40, 30));
    }
    show_settings settings;
    settings.options = "<quiet_hours>20:00-06:00</quiet_hours><status_dir>status</status_dir>";
    const std::string text = playlist(
        "<image_name when=\"Mon-Fri\"><full_update>"
        "<img seconds=\"3600\" when=\"07:00-09:00\">breakfast.png</img>"
        "<img seconds=\"3600\" when=\"11:00-13:00\">lunch.png</img>"
        "<img seconds=\"3600\" when=\"2030-01-09..2030-01-10 15:00-16:00\">campaign.png</img>"
        "<img seconds=\"3600\" when=\"Fri 19:00-21:00\">party.png</img></full_update>"
        "</image_name><image_name when=\"Sat,Sun\"><full_update>"
        "<folder seconds=\"3600\" shuffle=\"true\" when=\"10:00-12:00\">weekend</folder>"
        "</full_update><area_update>"
        "<img seconds=\"1800\" when=\"Sat 12:00-13:00\">sat.png</img><area>0,0,100,40</area>"
        "<img seconds=\"1800\" when=\"Sun 12:00-13:00\">sun.png</img><area>100,40,200,40</area>"
        "</area_update></image_name><image_name when=\"2030-01-14 06:30-07:00\"><full_update>"
        "<img>monday.png</img></full_update><stop>week over</stop></image_name>",
        settings);
    dir.write("playlist.xml", text);
    const run_result plan =
        run_program(EPDSHOW_SIM_PATH,
                    {"--plan", "playlist.xml", "--from", "2030-01-07T00:00", "--hours", "175"},
                    {{"TZ", "UTC"}, {"EPDSIM_SEED", "1"}}, dir.path());
    ASSERT_EQ(plan.status, 0) << plan.err;
    EXPECT_EQ(plan.err, "");

    lines expected = {"Plan of playlist.xml from Mon 2030-01-07 00:00 for 175 hours"};
    auto at = [&](const std::string &day, const std::string &time, const std::string &what) {
        expected.push_back(day + " " + time + ":00  " + what);
    };
    const std::string hour = "  3600 s  ", half = "  1800 s  ";
    const std::string days[] = {"Mon 2030-01-07", "Tue 2030-01-08", "Wed 2030-01-09",
                                "Thu 2030-01-10", "Fri 2030-01-11", "Sat 2030-01-12",
                                "Sun 2030-01-13", "Mon 2030-01-14"};
    at(days[0], "00:00", "nothing to show until Mon 2030-01-07 07:00");
    for (int d = 0; d < 5; ++d) {
        at(days[d], "07:00", hour + "breakfast.png");
        at(days[d], "08:00", hour + "breakfast.png");
        at(days[d], "09:00", "nothing to show until " + days[d] + " 11:00");
        at(days[d], "11:00", hour + "lunch.png");
        at(days[d], "12:00", hour + "lunch.png");
        if (d == 2 || d == 3) {
            at(days[d], "13:00", "nothing to show until " + days[d] + " 15:00");
            at(days[d], "15:00", hour + "campaign.png");
            at(days[d], "16:00", "nothing to show until " + days[d + 1] + " 07:00");
        } else if (d < 4) {
            at(days[d], "13:00", "nothing to show until " + days[d + 1] + " 07:00");
        }
    }
    at(days[4], "13:00", "nothing to show until " + days[4] + " 19:00");
    at(days[4], "19:00", hour + "party.png");
    at(days[4], "20:00", "quiet hours until 06:00");
    at(days[5], "06:00", "nothing to show until " + days[5] + " 10:00");
    for (int d : {5, 6}) {
        const std::string area = d == 5 ? "sat.png in (x, y, w, h) = (0, 0, 100, 40)"
                                        : "sun.png in (x, y, w, h) = (100, 40, 200, 40)";
        at(days[d], "10:00", hour + "weekend/w?.png (shuffled)");
        at(days[d], "11:00", hour + "weekend/w?.png (shuffled)");
        at(days[d], "12:00", half + area);
        at(days[d], "12:30", half + area);
        at(days[d], "13:00",
           "nothing to show until " + days[d + 1] + (d == 5 ? " 10:00" : " 06:30"));
    }
    at(days[7], "06:30", "     0 s  monday.png");
    at(days[7], "06:30", "the show ends");
    EXPECT_EQ(split_lines(replace_all(plan.out, "weekend/w[12]", "weekend/w?")), expected);

    const run_result show = play(
        text,
        {{"EPDSIM_CLOCK", "virtual@2030-01-07T00:00:00"}, {"EPDSIM_SEED", "1"}, {"TZ", "UTC"}});
    ASSERT_EQ(show.status, 0) << show.err;
    EXPECT_EQ(show.err, "");
    const std::string end = "stop tag week over and exit\r\nDone\n";
    EXPECT_EQ(show.out.substr(show.out.size() - std::min(show.out.size(), end.size())), end);
    // Each picture of the plan, with its file and the time its update starts; each of the show's,
    // from the play log, with the time its refresh completed.
    lines planned, shown;
    std::vector<std::time_t> planned_at, shown_at;
    lines planned_waits;
    for (const std::string &line : split_lines(plan.out)) {
        const std::string what = line.size() > 25 ? line.substr(25) : "";
        if (what.size() > 10 && what.substr(6, 4) == " s  ") {
            planned.push_back("img/" + what.substr(10, what.find_first_of(" ", 10) - 10));
            planned_at.push_back(plan_time(line));
        } else if (what.find(" until ") != std::string::npos) {
            planned_waits.push_back(what);
        }
    }
    for (const json &line : read_json_lines(dir.file("status/play-log.jsonl"))) {
        ASSERT_EQ(line["event"], "picture") << line.dump();
        shown.push_back(line["picture"]);
        shown_at.push_back(log_time(line["time"]));
    }
    EXPECT_EQ(shown, planned);
    for (size_t i = 0; i < std::min(shown_at.size(), planned_at.size()); ++i) {
        EXPECT_GE(shown_at[i], planned_at[i]) << shown[i];
        EXPECT_LE(shown_at[i], planned_at[i] + 10) << shown[i];
    }
    lines show_waits = lines_starting(show.out, {"Nothing to show until", "Quiet hours until"});
    for (std::string &wait : show_waits) {
        wait[0] = char(std::tolower(wait[0]));
    }
    EXPECT_EQ(show_waits, planned_waits);
    EXPECT_EQ(read_json(dir.file("status/status.json"))["state"], "ended");
}
