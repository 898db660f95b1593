// The program's entry as a user meets it: banner, echo, missing argument, unusable playlists.
#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <sys/stat.h>

#include "pictures.h"
#include "status_files.h"
#include "test_support.h"

using testing_support::cache_value;
using testing_support::env_list;
using testing_support::run_program;
using testing_support::run_result;
using testing_support::temp_dir;

namespace {

const std::string banner = "***************************************************\n"
                           "### EPD Controller version:\tEPD_CTRS00QVB0002\n"
                           "### Build Date:\t\t\t2019/11/26-17:59:29\n"
                           "***************************************************\n";

const std::string usage =
    "Usage: epdshow-sim [--passes N] PLAYLIST\n"
    "         play the slide show of the XML playlist on the panel (N passes, then end)\n"
    "       epdshow-sim --check PLAYLIST\n"
    "         read the playlist and its pictures without USB; report every problem\n"
    "       epdshow-sim --plan PLAYLIST [--from YYYY-MM-DDTHH:MM] [--hours N]\n"
    "         print what the show would put on the panel and when, without USB\n"
    "         (from now, for 24 hours, unless told)\n"
    "       epdshow-sim --probe\n"
    "         list the controllers on USB and whether they form a panel (run it first)\n"
    "       epdshow-sim --help | --version\n";

run_result run_in(const temp_dir &dir, const std::vector<std::string> &args) {
    return run_program(EPDSHOW_SIM_PATH, args, {}, dir.path());
}

} // namespace

// A unit missing its argument fails, so that it is not taken for a show that ended well.
TEST(Entry, WithoutArgumentPrintsBannerThenTheUsageAndFails) {
    temp_dir dir;
    run_result r = run_in(dir, {});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, banner + "Input xml file : \nInput file is null\n");
    EXPECT_EQ(r.err, usage);
    EXPECT_FALSE(std::filesystem::exists(dir.file("log.txt")));
}

TEST(Entry, UnusablePlaylistEndsWithStatusOneBeforeAnyUsbActivity) {
    temp_dir dir;
    dir.write("broken.xml", "<r><epd>\n<color>x</colour></epd></r>");
    dir.write("no-epd.xml", "<r><display/></r>");
    dir.write("no-rotate.xml", "<r><epd><color/><image_path/><slide_interval>1</slide_interval>"
                               "<en_set_temperature>1</en_set_temperature>"
                               "<temperature>1</temperature><waveform_mode>2</waveform_mode>"
                               "</epd></r>");
    // A typo in a setting: refused with the line and the hint --check gives, also in the status
    // folder.
    dir.write("typo.xml", "<r><epd>\n<color/><image_path/><slide_intervall>1</slide_intervall>\n"
                          "<en_set_temperature>1</en_set_temperature><temperature>1</temperature>"
                          "<waveform_mode>2</waveform_mode><rotate>0</rotate>"
                          "<status_dir>status</status_dir></epd></r>");
    const std::string missing = "typo.xml:1: no <slide_interval> setting in its <epd> element";
    const std::string hint = "typo.xml:2: unknown element <slide_intervall> under <epd> is "
                             "ignored; did you mean <slide_interval>?";
    struct {
        std::string file;
        std::string message;
    } cases[] = {
        {"missing.xml",
         "Error: cannot read playlist file 'missing.xml': No such file or directory\n"},
        {"broken.xml", "Error: playlist file 'broken.xml' is not well-formed XML: Start-end tags "
                       "mismatch at line 2, column 11\n"},
        {"no-epd.xml", "Error: playlist file 'no-epd.xml' has no <epd> element under its root "
                       "element\n"},
        {"no-rotate.xml", "Error: no-rotate.xml:1: no <rotate> setting in its <epd> element\n"},
        {"typo.xml", "Error: " + missing + "\nError: " + hint + "\n"},
        {".", "Error: cannot read playlist file '.': Is a directory\n"},
    };
    for (const auto &c : cases) {
        run_result r = run_in(dir, {c.file, "ignored-second-argument"});
        EXPECT_EQ(r.status, 1) << c.file;
        EXPECT_EQ(r.out, banner + "Input xml file : " + c.file + "\n") << c.file;
        EXPECT_EQ(r.err,
                  "Warning: extra argument 'ignored-second-argument' is ignored\n" + c.message)
            << c.file;
        EXPECT_FALSE(std::filesystem::exists(dir.file("log.txt"))) << c.file;
    }
    const testing_support::json status = testing_support::read_json(dir.file("status/status.json"));
    EXPECT_EQ(status["state"], "not started");
    EXPECT_EQ(status["last_error"], missing + "; " + hint);
}

TEST(Entry, HelpVersionAndUnknownOptions) {
    temp_dir dir;
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{"--help"}, 0, usage, ""},
        {{"-h", "playlist.xml"}, 0, usage, ""},
        {{"--version"}, 0, "epdshow-sim " + cache_value("CMAKE_PROJECT_VERSION") + "\n", ""},
        {{"--bogus", "playlist.xml"}, 2, "", "epdshow-sim: unknown option '--bogus'\n" + usage},
        {{"--check"}, 2, "", "epdshow-sim: --check needs the playlist to check\n" + usage},
        {{"--plan", "--hours", "2"},
         2,
         "",
         "epdshow-sim: --plan needs the playlist to plan\n" + usage},
        {{"--plan", "p.xml", "--from", "2030-02-30T10:00"},
         2,
         "",
         "epdshow-sim: --from needs a local time YYYY-MM-DDTHH:MM, not '2030-02-30T10:00'\n"},
        {{"--plan", "p.xml", "--hours", "0"},
         2,
         "",
         "epdshow-sim: --hours needs a whole number of hours from 1 to 8784, not '0'\n"},
        {{"p.xml", "--from", "2030-01-01T10:00"},
         2,
         "",
         "epdshow-sim: --from and --hours go with --plan\n" + usage},
        {{"--check", "p.xml", "--passes", "1"},
         2,
         "",
         "epdshow-sim: --passes goes with the show of a playlist\n" + usage},
        {{"--passes", "0", "playlist.xml"},
         2,
         "",
         "epdshow-sim: --passes needs a whole number of passes, 1 or more, not '0'\n" + usage},
        {{"--passes=1.5", "playlist.xml"},
         2,
         "",
         "epdshow-sim: --passes needs a whole number of passes, 1 or more, not '1.5'\n" + usage},
        {{"playlist.xml", "--passes"},
         2,
         "",
         "epdshow-sim: --passes needs a whole number of passes, 1 or more\n" + usage},
    };
    for (const auto &c : cases) {
        run_result r = run_in(dir, c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("log.txt")));
}

// One of each mistake a playlist can hold, all reported at once with their lines, without USB;
// the show itself warns about the typos and the rotate, and plays.
TEST(Entry, CheckReportsEveryProblemOfAPlaylistAtOnce) {
    temp_dir dir;
    mkdir(dir.file("img").c_str(), 0755);
    cv::imwrite(dir.file("img/good.png"), testing_support::numbered_picture(40, 30));
    dir.write("img/notes.jpg", "a text file named like a picture\n");
    dir.write("playlist.xml",
              "<playlist><epd name=\"hall\">\n"                      // 1
              "<color>gray16</color><image_path>img/</image_path>\n" // 2
              "<slide_interval>1 min</slide_interval>\n"             // 3
              "<en_set_temperature>1</en_set_temperature><temperature>25</temperature>\n"
              "<waveform_mode>2</waveform_mode><rotate>45</rotate>\n"     // 5
              "<fit>zoom</fit><status_dir>playlist.xml/st</status_dir>\n" // 6
              "<dithering>floyd-steinberg</dithering>\n"                  // 7
              "<image_name>\n"                                            // 8
              "<full_updates><img>good.png</img></full_updates>\n"        // 9
              "<img>good.png</img>\n"                                     // 10
              "<full_update><img>good.png</img><img>missing.png</img></full_update>\n"
              "<area_update><img>notes.jpg</img><area>0,0,3000,10</area>\n" // 12
              "<img>good.png</img></area_update>\n"                         // 13
              "<full_update><folder seconds=\"soon\">beach</folder></full_update>\n"
              "<full_update><img when=\"Mnday\">good.png</img>\n"                       // 15
              "<img when=\"Sat 2030-01-07..2030-01-11\">good.png</img></full_update>\n" // 16
              "</image_name><image_name when=\"Sat,Sun\">\n"                            // 17
              "<full_update><img when=\"Mon-Fri\">good.png</img></full_update>\n"       // 18
              "</image_name></epd></playlist>\n");
    const env_list sim = {{"EPDSIM_JOURNAL", dir.file("journal.txt")}};
    run_result r = run_program(EPDSHOW_SIM_PATH, {"--check", "playlist.xml"}, sim, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "playlist.xml:3: <slide_interval> holds '1 min', which reads as 1\n"
              "playlist.xml:5: <rotate> 45 turns no picture: 90, 180 and 270 turn them, 0 does "
              "not\n"
              "playlist.xml:6: <fit> holds 'zoom'; expected stretch, contain or cover\n"
              "playlist.xml:6: <status_dir> 'playlist.xml/st' cannot be created: Not a "
              "directory\n"
              "playlist.xml:7: unknown element <dithering> under <epd> is ignored; did you mean "
              "<dither>?\n"
              "playlist.xml:9: unknown element <full_updates> under <image_name> is ignored; did "
              "you mean <full_update>?\n"
              "playlist.xml:10: <img> is not read under <image_name>; it belongs under "
              "<full_update>, <area_update>\n"
              "playlist.xml:11: cannot use picture 'img/missing.png': not found (looked up "
              "from '" +
                  dir.path() +
                  "')\n"
                  "playlist.xml:12: cannot use picture 'img/notes.jpg': not a picture format this "
                  "build reads\n"
                  "playlist.xml:12: area (x, y, w, h) = (0, 0, 3000, 10) fits neither the 42 panel "
                  "(2880 x 2160) nor the 32 panel (1440 x 2560)\n"
                  "playlist.xml:13: <img>good.png</img> has no <area> in its <area_update>\n"
                  "playlist.xml:14: <folder seconds> holds 'soon'; expected a whole number of "
                  "seconds, 0 or more\n"
                  "playlist.xml:14: cannot read the picture folder 'img/beach/': No such file or "
                  "directory\n"
                  "playlist.xml:15: <img when> holds 'Mnday': 'Mnday' does not read; expected "
                  "weekdays (Mon-Fri, Sat,Sun), windows of the local time (06:30-11:00, "
                  "22:00-02:00) or dates (2026-12-01..2026-12-24, 2026-12-24), joined by blanks; "
                  "alternatives separated by ';'\n"
                  "playlist.xml:16: <img when> 'Sat 2030-01-07..2030-01-11' can never hold: none "
                  "of its dates falls on its weekdays\n"
                  "playlist.xml:18: <img when> 'Mon-Fri' can never hold while its <image_name "
                  "when> 'Sat,Sun' does\n"
                  "playlist.xml: 16 problems\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("log.txt")));
    EXPECT_EQ(testing_support::read_file(dir.file("journal.txt")), "");

    // The show refuses it with what --check says of the playlist itself (its pictures and areas
    // are looked at as they come).
    const testing_support::lines said = testing_support::split_lines(r.out);
    const run_result refused = run_program(EPDSHOW_SIM_PATH, {"playlist.xml"}, sim, dir.path());
    EXPECT_EQ(refused.status, 1);
    testing_support::lines refusal;
    for (size_t line : {0, 1, 2, 3, 4, 5, 6, 11, 13, 14, 15}) {
        refusal.push_back("Error: " + said.at(line));
    }
    EXPECT_EQ(testing_support::split_lines(refused.err), refusal);

    // Without the unreadable <fit>, `when` and status folder, it warns (of a `when` that can never
    // hold too) and plays.
    std::string text = testing_support::read_file(dir.file("playlist.xml"));
    text.replace(text.find("<fit>zoom</fit>"), 15, "<fit>cover</fit>");
    text.replace(text.find(" seconds=\"soon\""), 15, "");
    text.replace(text.find(" when=\"Mnday\""), 13, "");
    const size_t status_dir = text.find("<status_dir>");
    text.erase(status_dir, text.find("</status_dir>") + 13 - status_dir);
    dir.write("playlist.xml", text);
    r = run_program(EPDSHOW_SIM_PATH, {"playlist.xml"},
                    {{"EPDSIM_DEVICES", "2880x8@0,2880x8@1"},
                     {"EPDSIM_BUSY", "0"},
                     {"EPDSIM_RAISE", "SIGINT@3"}},
                    dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Warning: playlist.xml:5: <rotate> 45 turns no picture: 90, 180 and "
                         "270 turn them, 0 does not\n"
                         "Warning: playlist.xml:7: unknown element <dithering> under <epd> is "
                         "ignored; did you mean <dither>?\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Warning: playlist.xml:18: <img when> 'Mon-Fri' can never hold while "
                         "its <image_name when> 'Sat,Sun' does\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("Display : good.png \n"), std::string::npos);
}

// The example playlists check clean from the source tree's root, as a new user runs them (the
// installed copies name the installed pictures: tests/packaging_test.cpp).
TEST(Entry, CheckFindsNothingInTheExamplesFromTheSourceTree) {
    for (const char *name : {"demo-42.xml", "demo-32.xml", "photo-frame.xml", "canteen.xml"}) {
        const std::string playlist = std::string("examples/") + name;
        run_result r = run_program(EPDSHOW_SIM_PATH, {"--check", playlist}, {}, EPDSHOW_SOURCE_DIR);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out.rfind(playlist + ": no problem found (", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
}
