// Controller discovery and set-up over the simulated bus: the walk, the endpoints, the claims,
// the failures of each step, the log file and the tear-down.
#include <gtest/gtest.h>
#include <libusb.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "epdsim.h"
#include "sim_show.h"
#include "tool.h"
#include "usb_controller.h"
#include "usb_session.h"

using namespace testing_support;

namespace {

epdsim::controller_config controller_with(std::vector<epdsim::interface_config> interfaces) {
    epdsim::controller_config config;
    config.interfaces = std::move(interfaces);
    return config;
}

epdsim::interface_config one_setting(std::vector<epdsim::endpoint_config> endpoints) {
    return epdsim::interface_config{{epdsim::alt_setting_config{std::move(endpoints)}}};
}

// The one line of a controller the user may not open: which, why, and what gives access.
std::string open_denied_line(int index, int device) {
    return "libusb_open() failed : Access denied (insufficient permissions): controller " +
           std::to_string(index) + " (bus 1, device " + std::to_string(device) +
           "); give the user access: install the udev rule 60-epdshow.rules and join the plugdev "
           "group (sudo usermod -aG plugdev $USER, then log in again)\n";
}

class UsbDiscovery : public usb_session_test {
  protected:
    std::string version_line() const {
        const libusb_version *v = libusb_get_version();
        return "Using libusb v" + std::to_string(v->major) + "." + std::to_string(v->minor) + "." +
               std::to_string(v->micro) + "." + std::to_string(v->nano) + "\n\n";
    }
};

TEST_F(UsbDiscovery, BusWithoutControllersCountsNone) {
    epdsim::add_other_device({});
    EXPECT_EQ(run(usb_init), 0);
    EXPECT_EQ(out, "file open Success!\n" + version_line() +
                       "\t\t\t\tEndpoint_in = 0, Endpoint_out = 0\n\t\t\t\t0 EPD found!\n");
    EXPECT_EQ(err, "");
    usb_close();
    EXPECT_TRUE(matches(read_file(dir.file("log.txt")), "Start :" + log_stamp + "\n"))
        << read_file(dir.file("log.txt"));
}

// A controller is a device of the vendor, of any product, with a mass-storage Bulk-Only interface
// (a composite device too). The vendor's other devices (keyboards, infrared receivers) are named
// on standard error and never opened; other vendors' devices are skipped silently.
TEST_F(UsbDiscovery, OnlyDevicesOfTheVendorWithABulkOnlyInterfaceAreControllers) {
    epdsim::controller_config first;
    first.device_address = 7;
    epdsim::controller_config second;
    second.product_id = 0x1234;
    second.bus_number = 2;
    second.device_address = 9;
    epdsim::interface_config keyboard = epdsim::vendor_specific_interface()[0];
    keyboard.class_code = 0x03;
    keyboard.subclass = 0x01;
    keyboard.protocol = 0x01;
    second.interfaces.insert(second.interfaces.begin(), keyboard);
    second.multiID = 1;
    epdsim::add_controller(first);
    epdsim::add_other_device({0x1D6B, 0x0003, 1, 4}, 0);
    epdsim::add_other_device({0x048D, 0xC101, 1, 5, {keyboard}}, 1);
    epdsim::add_other_device({0x048D, 0x8297, 1, 6});
    epdsim::add_controller(second);
    EXPECT_EQ(run(usb_init), 2);
    EXPECT_EQ(out, "file open Success!\n" + version_line() +
                       "\t\t\t\t0x048d:0x8951 (bus 1, device 7)\n"
                       "\t\t\t\t0x048d:0x1234 (bus 2, device 9)\n"
                       "\t\t\t\tEndpoint_in = 0, Endpoint_out = 0\n\t\t\t\t2 EPD found!\n");
    EXPECT_EQ(err, "Skipping USB device 0x048d:0xc101 (bus 1, device 5): not an e-paper controller "
                   "(interfaces :030101:, none of them mass-storage Bulk-Only :080650:)\n"
                   "Skipping USB device 0x048d:0x8297 (bus 1, device 6): not an e-paper controller "
                   "(interfaces :ff0000:, none of them mass-storage Bulk-Only :080650:)\n");

    // The panel is built from the two controllers alone; the other devices were never opened.
    std::unique_ptr<epd> panel;
    run([&] { panel = std::make_unique<epd>(2); });
    EXPECT_TRUE(panel->is_ready());
    EXPECT_EQ(epdsim::other_device_opens(), 0);
    EXPECT_EQ(epdsim::open_handles(0) + epdsim::open_handles(1), 2);
    run([&] { panel.reset(); });
}

TEST_F(UsbDiscovery, FirstControllerOpenedFixesTheEndpointsForAll) {
    epdsim::add_controller(controller_with({one_setting({{0x81}})})); // no OUT endpoint
    epdsim::add_controller(controller_with({one_setting({{0x83}, {0x04}})}));
    epdsim::add_controller({});
    run(usb_init);

    EXPECT_EQ(run([] { return usb_open_dev(0); }), 0);
    EXPECT_EQ(out, "             speed: 480 Mbit/s (USB HighSpeed)\n"
                   "\t\t\tReading first configuration descriptor:\n"
                   "\t\t\t\tnb interfaces: 1\n"
                   "endpoint in = 0x81h\n");
    EXPECT_EQ(endpoint_out, 0);

    run([] { return usb_open_dev(1); });
    EXPECT_EQ(out.substr(out.find("nb interfaces")), "nb interfaces: 1\nendpoint out = 0x4h\n");
    run([] { return usb_open_dev(2); });
    EXPECT_EQ(out.find("endpoint"), std::string::npos);
    EXPECT_EQ(endpoint_in, 0x81);
    EXPECT_EQ(endpoint_out, 0x04);
    EXPECT_EQ(usb_present_count(), 3);
}

TEST_F(UsbDiscovery, AnyNonControlEndpointQualifiesInWalkOrder) {
    using epdsim::transfer_type;
    epdsim::add_controller(controller_with(
        {one_setting({{0x85, transfer_type::control}, {0x01, transfer_type::control}}),
         epdsim::interface_config{
             {epdsim::alt_setting_config{{{0x83, transfer_type::interrupt}}},
              epdsim::alt_setting_config{{{0x06, transfer_type::isochronous}, {0x81}, {0x02}}}}}}));
    run(usb_init);
    EXPECT_EQ(run([] { return usb_open_dev(0); }), 0);
    EXPECT_EQ(endpoint_in, 0x83);
    EXPECT_EQ(endpoint_out, 0x06);
    EXPECT_EQ(nb_ifaces, 2);
    EXPECT_EQ(epdsim::claimed_interfaces(0), (std::vector<int>{0, 1}));
}

TEST_F(UsbDiscovery, FailedClaimIsReportedAndTheOthersAreStillClaimed) {
    epdsim::add_controller(controller_with({one_setting({{0x81}, {0x02}}), one_setting({})}));
    epdsim::faults(0).claim_errors[0] = LIBUSB_ERROR_BUSY;
    run(usb_init);
    EXPECT_EQ(run([] { return usb_open_dev(0); }), 0);
    EXPECT_EQ(err, "Interface Failed!!\n");
    EXPECT_EQ(epdsim::claimed_interfaces(0), (std::vector<int>{1}));
    usb_close();
    EXPECT_EQ(epdsim::open_handles(0), 0);
    EXPECT_TRUE(matches(read_file(dir.file("log.txt")),
                        "Start :" + log_stamp + "\n" + log_stamp + "Interface Failed!!\n"));
}

TEST_F(UsbDiscovery, FailedOpenLeavesTheSlotEmptyAndTheTransportRefusesIt) {
    epdsim::add_controller({});
    epdsim::faults(0).open_error = LIBUSB_ERROR_ACCESS;
    run(usb_init);
    EXPECT_EQ(run([] { return usb_open_dev(0); }), LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(err, open_denied_line(0, 2));
    EXPECT_EQ(epd_handles[0], nullptr);
    EXPECT_EQ(usb_present_count(), 0);
    EXPECT_FALSE(usb_dev_gone(0));

    const unsigned char block[16] = {0xFE};
    unsigned char reply[4] = {1, 2, 3, 4};
    EXPECT_EQ(run([&] { return send_cbw(0, block, 0x80, 4); }), -1);
    EXPECT_EQ(err, "send_cbw: controller 0 is not open\n");
    EXPECT_EQ(run([&] { return usb_read(0, reply, 4); }), -1);
    EXPECT_EQ(err, "usb_read: controller 0 is not open\n");
    EXPECT_EQ(reply[0] | reply[1] | reply[2] | reply[3], 0);
    EXPECT_EQ(run([&] { return usb_write(0, reply, 4); }), -1);
    EXPECT_EQ(err, "usb_write: controller 0 is not open\n");
    EXPECT_EQ(run([] { return read_csw(0, endpoint_in); }), -1);
    EXPECT_EQ(err, "read_csw: controller 0 is not open\n");
    EXPECT_TRUE(epdsim::journal().empty());
}

TEST_F(UsbDiscovery, UnreadableDescriptorsCloseTheHandleAndBypassTheLog) {
    epdsim::add_controller({});
    epdsim::add_controller({});
    epdsim::faults(0).device_descriptor_ok_calls = 1; // the walk of usb_init still reads it
    epdsim::faults(0).device_descriptor_error = LIBUSB_ERROR_IO;
    epdsim::faults(1).config_descriptor_error = LIBUSB_ERROR_IO;
    run(usb_init);

    EXPECT_EQ(run([] { return usb_open_dev(0); }), -1);
    EXPECT_EQ(err, std::string("   ") + libusb_strerror(LIBUSB_ERROR_IO) + "\n");
    EXPECT_EQ(run([] { return usb_open_dev(1); }), -1);
    EXPECT_NE(out.find("Reading first configuration descriptor:\n"), std::string::npos);
    EXPECT_EQ(err, std::string("   ") + libusb_strerror(LIBUSB_ERROR_IO) + "\n");
    EXPECT_EQ(epdsim::open_handles(0) + epdsim::open_handles(1), 0);
    EXPECT_EQ(epd_handles[0], nullptr);
    EXPECT_EQ(epd_handles[1], nullptr);
    usb_close();
    EXPECT_TRUE(matches(read_file(dir.file("log.txt")), "Start :" + log_stamp + "\n"));
}

TEST_F(UsbDiscovery, StartFailuresAreReportedAndReturned) {
    epdsim::add_controller({});
    epdsim::faults(0).device_descriptor_error = LIBUSB_ERROR_IO;
    EXPECT_EQ(run(usb_init), LIBUSB_ERROR_IO);
    EXPECT_EQ(err, std::string("libusb_get_device_descriptor() failed : ") +
                       libusb_strerror(LIBUSB_ERROR_IO) + "\n");
    EXPECT_EQ(epd_handles, nullptr);
    usb_close();

    epdsim::reset();
    epdsim::global_faults().init_error = LIBUSB_ERROR_OTHER;
    EXPECT_EQ(run(usb_init), LIBUSB_ERROR_OTHER);
    EXPECT_EQ(err,
              std::string("libusb_init() failed : ") + libusb_strerror(LIBUSB_ERROR_OTHER) + "\n");
    usb_close();

    epdsim::reset();
    epdsim::global_faults().device_list_error = LIBUSB_ERROR_NO_MEM;
    EXPECT_EQ(run(usb_init), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(err, std::string("libusb_get_device_list() failed : ") +
                       libusb_strerror(LIBUSB_ERROR_NO_MEM) + "\n");
}

TEST_F(UsbDiscovery, SpeedsOutsideTheTableReadUnknown) {
    const std::vector<std::pair<int, std::string>> speeds = {{0, "Unknown"},
                                                             {1, "1.5 Mbit/s (USB LowSpeed)"},
                                                             {4, "5000 Mbit/s (USB SuperSpeed)"},
                                                             {5, "Unknown"},
                                                             {-1, "Unknown"},
                                                             {1000, "Unknown"}};
    for (const auto &speed : speeds) {
        epdsim::controller_config config;
        config.speed = speed.first;
        epdsim::add_controller(config);
    }
    run(usb_init);
    for (size_t i = 0; i < speeds.size(); ++i) {
        run([i] { return usb_open_dev(static_cast<int>(i)); });
        EXPECT_EQ(out.substr(0, out.find('\n') + 1),
                  "             speed: " + speeds[i].second + "\n");
    }
}

TEST_F(UsbDiscovery, UnwritableLogStillCountsTheControllers) {
    ASSERT_EQ(mkdir(dir.file("log.txt").c_str(), 0755), 0);
    epdsim::add_controller({});
    EXPECT_EQ(run(usb_init), 1);
    EXPECT_EQ(out.substr(0, out.find('\n') + 1), "file open failed\n");
    EXPECT_EQ(log_file, nullptr);
}

TEST_F(UsbDiscovery, ClosingEachControllerOnceReleasesTheSharedStateWithTheLastOne) {
    epdsim::add_controller({});
    epdsim::add_controller({});
    run(usb_init);
    run([] { return usb_open_dev(0); });
    run([] { return usb_open_dev(1); });

    run([] {
        usb_close_dev(0);
        return 0;
    });
    EXPECT_EQ(out, "\t\t\tUSB:Releasing interface 0...\n");
    EXPECT_EQ(epdsim::open_handles(0), 0);
    EXPECT_NE(epd_handles, nullptr);
    EXPECT_NE(log_file, nullptr);
    EXPECT_EQ(usb_present_count(), 1);

    run([] {
        usb_close_dev(1);
        return 0;
    });
    EXPECT_EQ(epdsim::open_handles(1), 0);
    EXPECT_EQ(epd_handles, nullptr);
    EXPECT_EQ(epd_devs, nullptr);
    EXPECT_EQ(log_file, nullptr);

    // A repeated close, the final shutdown and a late command reach nothing that was released.
    run([] {
        usb_close_dev(1);
        usb_close();
        return 0;
    });
    const unsigned char block[16] = {0xFE};
    EXPECT_EQ(run([&] { return send_cbw(1, block, 0, 0); }), -1);
    EXPECT_EQ(err, "send_cbw: no controller 1\n");
    EXPECT_TRUE(usb_dev_gone(1));
    EXPECT_TRUE(epdsim::journal().empty());
}

// --- end to end on epdshow-sim: the show and the probe as a user meets them

class FirstContact : public sim_show {
  protected:
    void SetUp() override {
        sim_show::SetUp();
        cv::imwrite(dir.file("img/a.png"), numbered_picture(60, 40));
    }

    run_result probe(const env_list &more) const {
        env_list env = panel.environment();
        env.push_back({"EPDSIM_JOURNAL", dir.file("journal.txt")});
        env.insert(env.end(), more.begin(), more.end());
        return run_program(EPDSHOW_SIM_PATH, {"--probe"}, env, dir.path());
    }

    // The probe's title, before its report.
    static std::string title() {
        return "epdshow-sim " + cache_value("CMAKE_PROJECT_VERSION") +
               ": the e-paper controllers on USB\n\n";
    }
};

const std::string next_steps =
    "Next steps:\n"
    "  1. Check that the panel is powered and that each controller's USB cable is plugged\n"
    "     in, into this machine or a powered hub.\n"
    "  2. Run `lsusb -d 048d:`: it lists the devices of the controllers' vendor (0x048D);\n"
    "     a controller not listed there is not on the bus.\n"
    "  3. A controller that cannot be opened needs the udev rule 60-epdshow.rules (the\n"
    "     package installs it) and a user in the plugdev group:\n"
    "     sudo usermod -aG plugdev \"$USER\", then log in again.\n";

TEST_F(FirstContact, AKeyboardOfTheVendorIsLeftAloneAndTheShowPlays) {
    run_result r = play(one_pass({"a.png"}), {{"EPDSIM_OTHERS", "048d:c101/030101/030102@0"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\t\t\t\t2 EPD found!\n"), std::string::npos);
    EXPECT_EQ(r.err, "Skipping USB device 0x048d:0xc101 (bus 1, device 2): not an e-paper "
                     "controller (interfaces :030101:030102:, none of them mass-storage Bulk-Only "
                     ":080650:)\n");
    EXPECT_EQ(differing_pixels(frame(1), shown_whole(numbered_picture(60, 40))), 0);
    EXPECT_EQ(count_holding(journal(), "note="), 0);
}

// A controller the user may not open: one line naming it with libusb's words and the remedy, in
// the log too, then the show refuses the panel for that cause, not for its multi IDs.
TEST_F(FirstContact, APermissionFailureSaysWhatToDoAndEndsWithStatusOne) {
    run_result r = play(one_pass({"a.png"}), {{"EPDSIM_FAULTS", "dev1.open"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, open_denied_line(1, 3) +
                         "Error: cannot build the panel: controller 1 (bus 1, device 3) could not "
                         "be opened: Access denied (insufficient permissions)\n");
    EXPECT_EQ(log_messages(dir.file("log.txt")),
              (lines{open_denied_line(1, 3).substr(0, open_denied_line(1, 3).size() - 1)}));
    EXPECT_EQ(r.out.find("Full update:"), std::string::npos);
}

// The probe reads each controller's system information and nothing else: no power, no image
// memory, no refresh. It prints its report only, without the show's start-up lines, and keeps no
// log.
TEST_F(FirstContact, ProbeReportsTheControllersAndTheirPanelOnBothLayouts) {
    const std::pair<std::string, std::string> cases[] = {
        {"42", "2 controllers found:\n"
               "controller 0: bus 1, device 2, product 0x8951, 480 Mbit/s (USB HighSpeed)\n"
               "\tmulti ID 1, band 2880 x 1080, image buffer 0x00120000, version texts: "
               "\"SIM_EPD_1.00\"\n"
               "controller 1: bus 1, device 3, product 0x8951, 480 Mbit/s (USB HighSpeed)\n"
               "\tmulti ID 0, band 2880 x 1080, image buffer 0x00120000, version texts: "
               "\"SIM_EPD_1.00\"\n"
               "Panel: the 42 layout, 2880 x 2160 pixels in 2 bands\n"},
        {"32", "4 controllers found:\n"
               "controller 0: bus 1, device 2, product 0x8951, 480 Mbit/s (USB HighSpeed)\n"
               "\tmulti ID 3, band 1440 x 640, image buffer 0x00120000, version texts: "
               "\"SIM_EPD_1.00\"\n"
               "controller 1: bus 1, device 3, product 0x8951, 480 Mbit/s (USB HighSpeed)\n"
               "\tmulti ID 2, band 1440 x 640, image buffer 0x00120000, version texts: "
               "\"SIM_EPD_1.00\"\n"
               "controller 2: bus 1, device 4, product 0x8951, 480 Mbit/s (USB HighSpeed)\n"
               "\tmulti ID 1, band 1440 x 640, image buffer 0x00120000, version texts: "
               "\"SIM_EPD_1.00\"\n"
               "controller 3: bus 1, device 5, product 0x8951, 480 Mbit/s (USB HighSpeed)\n"
               "\tmulti ID 0, band 1440 x 640, image buffer 0x00120000, version texts: "
               "\"SIM_EPD_1.00\"\n"
               "Panel: the 32 layout, 1440 x 2560 pixels in 4 bands\n"},
    };
    for (const auto &c : cases) {
        run_result r = probe({{"EPDSIM_DEVICES", ""},
                              {"EPDSIM_LAYOUT", c.first},
                              {"EPDSIM_ORDER", c.first == "42" ? "1,0" : "3,2,1,0"}});
        EXPECT_EQ(r.status, 0) << c.first << r.err;
        EXPECT_EQ(r.out, title() + c.second);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(std::filesystem::exists(dir.file("log.txt")));
        const lines commands = journal();
        EXPECT_EQ(int(commands.size()), c.first == "42" ? 2 : 4);
        EXPECT_EQ(count_holding(commands, " sysinfo "), int(commands.size())) << c.first;
    }
}

// Nothing found, or a set that is no panel: why, then the next steps to take.
TEST_F(FirstContact, ProbeSaysWhyTheControllersFormNoPanelAndWhatToDo) {
    const std::pair<env_list, std::string> cases[] = {
        {{{"EPDSIM_DEVICES", "2880x40@1,2880x40@1"}},
         "No panel: cannot order the controllers into a panel: their multi IDs must be 0 to 1, "
         "each once\n"},
        // Said as the show says it.
        {{{"EPDSIM_DEVICES", "2880x40@0"}},
         "No panel: 1 controller of width 2880: the 42 layout needs 2\n"},
        {{{"EPDSIM_DEVICES", "1000x40@0,1000x40@1"}},
         "No panel: 2 controllers of width 1000: the 42 layout needs 2 of width 2880, the 32 "
         "layout 4 of width 1440\n"},
        {{{"EPDSIM_FAULTS", "dev0.open"}},
         "No panel: cannot build the panel: controller 0 (bus 1, device 2) could not be opened: "
         "Access denied (insufficient permissions)\n"},
        {{{"EPDSIM_DEVICES", "none"}}, "No panel: no e-paper controller found on the USB bus\n"},
    };
    for (const auto &c : cases) {
        run_result r = probe(c.first);
        EXPECT_EQ(r.status, 1) << c.second;
        ASSERT_GT(r.out.size(), c.second.size() + next_steps.size());
        EXPECT_EQ(r.out.substr(r.out.size() - c.second.size() - next_steps.size()),
                  c.second + next_steps);
        EXPECT_EQ(r.out.rfind(title(), 0), 0u);
        EXPECT_FALSE(std::filesystem::exists(dir.file("log.txt")));
        EXPECT_EQ(count_holding(journal(), " sysinfo "), int(journal().size()));
    }
}

} // namespace
