// The update sequence of one image, whole panel and area.
#include "panel_mirror.h"
#include "pictures.h"
#include "usb_session.h"
#include "virtual_clock.h"

#include <chrono>
#include <functional>

using namespace testing_support;

namespace {

constexpr int band = 10;

class Update : public panel_session {
  protected:
    epd &build_42(int temperature, int busy_reads = 0) {
        virtual_panel controllers = layout(42, band);
        controllers.temperatures = std::to_string(temperature);
        controllers.busy_reads = std::to_string(busy_reads);
        return build(controllers);
    }

    std::string whole_picture() const {
        return write_picture("whole.png", numbered_picture(2880, 2 * band));
    }

    static std::string vcom_line(int dev) {
        return "\t\t\tVCom value = " + std::to_string(epdsim::last_vcom(dev)) + "\n";
    }

    // How long action takes with its waits on the virtual clock: they pass at once, and count.
    static double seconds_of(const std::function<void()> &action) {
        virtual_clock::enable(true);
        const auto start = std::chrono::steady_clock::now();
        action();
        const auto end = std::chrono::steady_clock::now();
        virtual_clock::enable(false);
        return std::chrono::duration<double>(end - start).count();
    }
};

TEST_F(Update, WholePanelImageOnThe42Layout) {
    epd &p = build_42(24);
    const std::string path = whole_picture();
    const std::string out = output_of([&] { p.eInk_display_full(path, 2, 0, 0); });
    EXPECT_EQ(out, "Read Temperature (0xA4)\n"
                   "it8951_dev[1]: read_temperature\n"
                   "it8951_dev[0]: read_temperature\n"
                   "Write Temperature (0xA4)\n"
                   "it8951_dev[1]: write_temperature 24 Celsius\n"
                   "it8951_dev[0]: write_temperature 24 Celsius\n"
                   "Load Image (0xA2)\n"
                   "Power on\n"
                   "it8951_dev[0]: pmic_ctrl\n" +
                       vcom_line(0) +
                       "Display Area (0x94)\n"
                       "[1]Disable Partial Bit 19 done\n"
                       "[0]Disable Partial Bit 19 done\n"
                       "Temperature = 24\n"
                       "Read from Register - 0x18001224 to check LUT engine\n"
                       "Delay ~30ms\n"
                       "Delay ~30ms\n"
                       "Set Power Off (0xA3)\n"
                       "it8951_dev[0]: pmic_ctrl\n" +
                       vcom_line(0));

    lines commands = new_commands();
    ASSERT_EQ(commands.size(), 4u + 2 * band + 1 + 6 + 2 + 1);
    EXPECT_EQ(lines(commands.begin(), commands.begin() + 4),
              (lines{"dev=1 temp type=0 value=-15", "dev=0 temp type=0 value=-15",
                     "dev=1 temp type=2 value=24", "dev=0 temp type=2 value=24"}));
    EXPECT_EQ(count_starting(commands, "dev=1 write_mem"), band);
    EXPECT_EQ(count_starting(commands, "dev=0 write_mem"), band);
    EXPECT_EQ(commands[4 + 2 * band], "dev=0 power on vcom=2330");
    EXPECT_EQ(commands[4 + 2 * band + 3], "dev=1 display mode=2 x=0 y=0 w=2880 h=10 arg6=1");
    EXPECT_EQ(commands[4 + 2 * band + 6], "dev=0 display mode=2 x=0 y=0 w=2880 h=10 arg6=1");
    EXPECT_EQ(commands[commands.size() - 3], "dev=1 read_reg addr=0x18001224");
    EXPECT_EQ(commands[commands.size() - 2], "dev=0 read_reg addr=0x18001224");
    EXPECT_EQ(commands.back(), "dev=0 power off vcom=2330");
    EXPECT_EQ(epdsim::frame_count(), 1);
}

TEST_F(Update, AreaImageWaitsAfterPowerOnAndKeepsTheTemperature) {
    epd &p = build_42(21, 1);
    const std::string path = write_picture("area.png", numbered_picture(20, 3));
    const lines printed =
        split_lines(output_of([&] { p.eInk_display_partial(path, 40, 1, 20, 3, 5, 0, 1); }));
    EXPECT_EQ(printed,
              (lines{"Read Temperature (0xA4)", "it8951_dev[1]: read_temperature",
                     "it8951_dev[0]: read_temperature", "Load Image (0xA2)", "Power on",
                     "it8951_dev[0]: pmic_ctrl", vcom_line(0).substr(0, vcom_line(0).size() - 1),
                     "Delay ~30ms", "Display Area (0x94)", "[1]Disable Partial Bit 19 done",
                     "[0]Enable Partial Bit 19 done", "Temperature = 21",
                     "Read from Register - 0x18001224 to check LUT engine", "LUT engine is busy!",
                     "Delay ~30ms", "Delay ~30ms", "Set Power Off (0xA3)",
                     "it8951_dev[0]: pmic_ctrl", vcom_line(0).substr(0, vcom_line(0).size() - 1)}));
    const lines commands = new_commands();
    EXPECT_EQ(count_starting(commands, "dev=1 temp type=2"), 0);
    EXPECT_EQ(count_starting(commands, "dev=1 write_mem"), 3);
    EXPECT_EQ(count_starting(commands, "dev=0 display mode=5 x=0 y=0 w=10 h=10"), 1);
}

// A picture that cannot be used costs no refresh: after the temperature the update ends, the panel
// left as it was, and says why.
TEST_F(Update, UnusablePictureEndsTheUpdateBeforePower) {
    epd &p = build_42(24);
    const std::string path = dir.write("broken.png", "not a picture");
    update_result result;
    const double seconds =
        seconds_of([&] { result = run([&] { return p.eInk_display_full(path, 2, 0, 1); }); });
    EXPECT_LT(seconds, 1.0);
    EXPECT_EQ(result.what, update_result::outcome::picture_unusable);
    EXPECT_EQ(result.problem, "not a picture format this build reads");
    EXPECT_EQ(out.substr(out.find("Load Image")),
              "Load Image (0xA2)\nError: Open Image File Fail\n");
    EXPECT_EQ(err,
              "Error: cannot use picture '" + path + "': not a picture format this build reads\n");
    EXPECT_EQ(new_commands(),
              (lines{"dev=1 temp type=0 value=-15", "dev=0 temp type=0 value=-15"}));
    EXPECT_EQ(epdsim::frame_count(), 0);

    result = run([&] { return p.eInk_display_full(whole_picture(), 2, 0, 1); });
    EXPECT_EQ(result.what, update_result::outcome::shown);
    EXPECT_EQ(result.problem, "");
}

// Commands that fail without failing their controller (status 1): the update names them, a copy
// of what the panel was sent holds only the rows and refreshes the controllers acknowledged, and
// a temperature that no controller reported is neither written nor taken for 0 degrees.
TEST_F(Update, FailedCommandsAreNamedAndOnlyWhatWasAcknowledgedIsTakenForShown) {
    virtual_panel controllers = layout(42, 1000);
    controllers.temperatures = "23";
    epd &p = build(controllers);
    panel_mirror mirror;
    mirror.set_shape(p.get_layout(), 2, 2880, 1000);
    p.set_observer(&mirror);
    // Fails the n-th command of controller dev from now on (status 1).
    auto fail_command = [](int dev, int n) {
        int sent = 0;
        for (const epdsim::journal_entry &entry : epdsim::journal()) {
            sent += entry.command && entry.controller == dev;
        }
        epdsim::faults(dev).counted_from_command = sent + n;
        epdsim::faults(dev).csw_failed = 1;
    };
    // The 1000 rows of an area in the top band (controller 1): its first row write fails.
    const std::string tall = write_picture("tall.png", numbered_picture(8, 1000));
    fail_command(1, 2);
    update_result result =
        run([&] { return p.eInk_display_partial(tall, 0, 0, 8, 1000, 2, 0, 1); });
    EXPECT_EQ(result.faults, "1 of 1,000 row writes failed on controller 1");
    EXPECT_EQ(differing_pixels(mirror.compose(), epdsim::last_frame()), 0);
    // The refresh of two rows fails (after their writes and the partial-bit register's read and
    // write).
    const std::string dark = write_picture("dark.png", cv::Mat(2, 8, CV_8UC1, cv::Scalar(0)));
    fail_command(1, 6);
    result = run([&] { return p.eInk_display_partial(dark, 0, 0, 8, 2, 2, 0, 1); });
    EXPECT_EQ(result.faults, "the refresh failed on controller 1");
    EXPECT_EQ(differing_pixels(mirror.compose(), epdsim::last_frame()), 0);
    // Neither temperature read answers: the update goes by the last reading of the run.
    fail_command(0, 1);
    fail_command(1, 1);
    result = run([&] { return p.eInk_display_partial(dark, 0, 0, 8, 2, 2, 0, 0); });
    EXPECT_EQ(err, "\t\t\tMass Storage Status: 01 (FAILED)\n\t\t\tMass Storage Status: 01 "
                   "(FAILED)\nWarning: no controller reported its temperature: none is written "
                   "back, and the update goes by 23 Celsius, the last reading\n");
    EXPECT_NE(out.find("Temperature = 23\nRead from Register"), std::string::npos);
    EXPECT_EQ(count_holding(new_commands(), "temp type=2"), 0);
    EXPECT_EQ(result.what, update_result::outcome::shown);
    // Controller 0's power-on (its third command of this update) answers failed: the update says
    // so.
    fail_command(0, 3);
    result = run([&] { return p.eInk_display_partial(dark, 0, 0, 8, 2, 2, 0, 0); });
    EXPECT_EQ(result.faults, "the power-on failed on controller 0");
}

TEST_F(Update, ColdPanelWaitsTenSecondsInsteadOfPolling) {
    epd &p = build_42(0, 3);
    const std::string path = whole_picture();
    std::string out;
    const double seconds =
        seconds_of([&] { out = output_of([&] { p.eInk_display_full(path, 2, 0, 0); }); });
    EXPECT_GE(seconds, 10.0);
    EXPECT_LT(seconds, 12.0);
    EXPECT_NE(out.find("it8951_dev[0]: write_temperature 0 Celsius\n"), std::string::npos);
    EXPECT_NE(out.find("Temperature = 0\nTemperature is less than zero\nDelay ~30ms\n"
                       "Set Power Off (0xA3)\n"),
              std::string::npos);
    const lines commands = new_commands();
    EXPECT_EQ(count_starting(commands, "dev=0 read_reg addr=0x18001224") +
                  count_starting(commands, "dev=1 read_reg addr=0x18001224"),
              0);
    EXPECT_EQ(commands.back(), "dev=0 power off vcom=2330");
}

} // namespace
