// The program's entry as a user meets it: banner, echo, missing argument, unusable playlists.
#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

using testing_support::run_program;
using testing_support::run_result;
using testing_support::temp_dir;

namespace {

const std::string banner = "***************************************************\n"
                           "### EPD Controller version:\tEPD_CTRS00QVB0002\n"
                           "### Build Date:\t\t\t2019/11/26-17:59:29\n"
                           "***************************************************\n";

run_result run_in(const temp_dir &dir, const std::vector<std::string> &args) {
    return run_program(EPDSHOW_SIM_PATH, args, {}, dir.path());
}

} // namespace

TEST(Entry, WithoutArgumentPrintsBannerAndStops) {
    temp_dir dir;
    run_result r = run_in(dir, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + "Input xml file : \nInput file is null\n");
    EXPECT_EQ(r.err, "");
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
        {"no-rotate.xml", "Error: playlist file 'no-rotate.xml' has no <rotate> setting in its "
                          "<epd> element\n"},
        {".", "Error: cannot read playlist file '.': Is a directory\n"},
    };
    for (const auto &c : cases) {
        run_result r = run_in(dir, {c.file, "ignored-second-argument"});
        EXPECT_EQ(r.status, 1) << c.file;
        EXPECT_EQ(r.out, banner + "Input xml file : " + c.file + "\n") << c.file;
        EXPECT_EQ(r.err, c.message) << c.file;
        EXPECT_FALSE(std::filesystem::exists(dir.file("log.txt"))) << c.file;
    }
}
