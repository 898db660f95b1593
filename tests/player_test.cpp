// The slide-show player end to end: epdshow-sim plays playlists on a small virtual panel and the
// player's own lines, its exit status and the commands on the wire are checked.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "sim_show.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <sys/un.h>
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
        lines kept;
        for (const std::string &line : split_lines(out)) {
            if (line == "Display Area (0x94)") {
                continue;
            }
            for (const char *prefix :
                 {"Full update:", "Area update:", "Display ", "Full display", "Area update display",
                  "stop tag", "Done", "ctrl+c", "stop Flag"}) {
                if (line.rfind(prefix, 0) == 0) {
                    kept.push_back(line);
                    break;
                }
            }
        }
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

TEST_F(PlayerTest, EmptyGroupsAndListsDoNotSpin) {
    run_result empty_lists = play_groups("<image_name><full_update/><area_update><stop>s</stop>"
                                         "</area_update></image_name><image_name/>");
    EXPECT_EQ(empty_lists.status, 0);
    EXPECT_EQ(player_lines(empty_lists.out),
              (lines{"Full update:", "Area update:", "Full update:", "Area update:", "Done"}));
    EXPECT_EQ(empty_lists.err, "A whole pass of the playlist showed no image; the show ends\n");

    run_result no_groups = play_groups("");
    EXPECT_EQ(no_groups.status, 0);
    EXPECT_EQ(player_lines(no_groups.out), (lines{"Done"}));
    EXPECT_EQ(no_groups.err, "A whole pass of the playlist showed no image; the show ends\n");

    run_result stopped = play_groups("<image_name><stop>bye</stop></image_name>");
    EXPECT_EQ(player_lines(stopped.out),
              (lines{"Full update:", "Area update:", "stop tag bye and exit\r", "Done"}));
    EXPECT_EQ(stopped.err, "");
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

// Receives what the program tells the service manager: a datagram socket whose path goes to the
// program in NOTIFY_SOCKET.
class notify_socket {
  public:
    explicit notify_socket(const std::string &path) : path(path) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    }
    ~notify_socket() { close(fd); }

    // The messages received so far, one line per field.
    lines received() const {
        lines all;
        char message[4096];
        for (ssize_t n; (n = recv(fd, message, sizeof message, 0)) > 0;) {
            for (const std::string &line : split_lines(std::string(message, size_t(n)))) {
                all.push_back(line);
            }
        }
        return all;
    }

    const std::string path;

  private:
    int fd = -1;
};

TEST_F(PlayerTest, WithEveryControllerGoneAStopRequestEndsTheWaitForThePanelAtOnce) {
    // Both controllers leave during the second image and stay away: the tool waits 5 s before it
    // looks for them again. SIGTERM a second into that wait ends it at once, with status 0.
    notify_socket notify(dir.file("notify"));
    const auto start = std::chrono::steady_clock::now();
    bool sent = false;
    run_result r =
        play(playlist("<image_name><full_update><img>a.png</img><img>b.png</img></full_update>"
                      "</image_name>"),
             {{"EPDSIM_FAULTS", "gone=50"}, {"NOTIFY_SOCKET", notify.path}}, 30, [&](int pid) {
                 if (!sent && std::chrono::steady_clock::now() - start > std::chrono::seconds(1)) {
                     kill(pid, SIGTERM);
                     sent = true;
                 }
             });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(seconds, 2.5);
    EXPECT_EQ(player_lines(r.out),
              (lines{"Full update:", "Display : a.png ", "Display : b.png ",
                     "ctrl+c SIGINT Triggerred!. Close USB", "stop Flag flip!", "Done"}));
    EXPECT_NE(r.err.find(") has left the bus. The image img/b.png is given up"), std::string::npos)
        << r.err;
    // What systemctl status shows, and the pings of the watchdog.
    const lines told = notify.received();
    EXPECT_EQ(lines(told.begin(), told.begin() + std::min<size_t>(told.size(), 3)),
              (lines{"READY=1", "STATUS=showing a.png, image 1 of 2", "WATCHDOG=1"}));
    EXPECT_EQ(count_starting(told, "STATUS=showing b.png, image 2 of 2"), 1);
    EXPECT_EQ(told.back(),
              "STATUS=waiting for the panel: 0 of 2 controllers answer, next try in 5 s");
}

TEST_F(PlayerTest, ControllersThatMatchNoLayoutSayOnceWhyNoPictureIsShown) {
    run_result r = play_groups("<image_name><full_update><img>a.png</img><img>b.png</img>"
                               "</full_update><stop/></image_name>",
                               {{"EPDSIM_DEVICES", "2880x40@0"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "Warning: no picture will be shown: 1 controller of width 2880: the 42 "
                     "layout needs 2\n");
    EXPECT_EQ(count_starting(r.out, "Display : "), 2);
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
