// Controller discovery and set-up over the simulated bus: the walk, the endpoints, the claims,
// the failures of each step, the log file and the tear-down.
#include <gtest/gtest.h>
#include <libusb.h>

#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "epdsim.h"
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
    EXPECT_TRUE(
        std::regex_match(read_file(dir.file("log.txt")), std::regex("Start :" + log_stamp + "\n")))
        << read_file(dir.file("log.txt"));
}

TEST_F(UsbDiscovery, EveryProductOfTheVendorCountsAndOtherVendorsAreSkipped) {
    epdsim::controller_config first;
    first.device_address = 7;
    epdsim::controller_config second;
    second.product_id = 0x1234;
    second.bus_number = 2;
    second.device_address = 9;
    epdsim::add_controller(first);
    epdsim::add_other_device({0x1D6B, 0x0003, 1, 4}, 0);
    epdsim::add_controller(second);
    EXPECT_EQ(run(usb_init), 2);
    EXPECT_EQ(out, "file open Success!\n" + version_line() +
                       "\t\t\t\t0x048d:0x8951 (bus 1, device 7)\n"
                       "\t\t\t\t0x048d:0x1234 (bus 2, device 9)\n"
                       "\t\t\t\tEndpoint_in = 0, Endpoint_out = 0\n\t\t\t\t2 EPD found!\n");
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
    EXPECT_TRUE(std::regex_match(
        read_file(dir.file("log.txt")),
        std::regex("Start :" + log_stamp + "\n" + log_stamp + "Interface Failed!!\n")));
}

TEST_F(UsbDiscovery, FailedOpenLeavesTheSlotEmptyAndTheTransportRefusesIt) {
    epdsim::add_controller({});
    epdsim::faults(0).open_error = LIBUSB_ERROR_ACCESS;
    run(usb_init);
    EXPECT_EQ(run([] { return usb_open_dev(0); }), LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(err, std::string("libusb_open() failed : ") + libusb_strerror(LIBUSB_ERROR_ACCESS));
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
    EXPECT_TRUE(
        std::regex_match(read_file(dir.file("log.txt")), std::regex("Start :" + log_stamp + "\n")));
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

} // namespace
