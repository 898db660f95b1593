// The slide-show player end to end: epdshow-sim plays playlists on a small virtual panel and the
// player's own lines, its exit status and the commands on the wire are checked.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "sim_show.h"

#include <csignal>
#include <filesystem>

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
    EXPECT_EQ(missing.err, "Error: cannot use picture 'img/x.png': not found\n"
                           "Error: cannot use picture 'img/y.png': not found\n"
                           "Error: cannot use picture 'img/z.png': not found\n"
                           "A whole pass of the playlist showed no image; the show ends (the "
                           "first that could not be used: 'img/x.png': not found)\n");
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
    EXPECT_EQ(one_missing.err, "Error: cannot use picture 'img/y.png': not found\n");
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

TEST_F(PlayerTest, ShowEndsWhenEveryControllerHasLeftTheBus) {
    run_result r =
        play_groups("<image_name><full_update><img>a.png</img><img>b.png</img></full_update>"
                    "</image_name>",
                    {{"EPDSIM_FAULTS", "gone=50"}}); // each controller's 50th command: image 2
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(player_lines(r.out), (lines{"Full update:", "Display : a.png ", "Display : b.png "}));
    EXPECT_NE(r.err.find("Error: every e-paper controller has left the USB bus; the show ends\n"),
              std::string::npos)
        << r.err;
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
