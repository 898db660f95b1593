// The simulated bus as libusb: descriptors, injected faults as libusb reports them, the signal
// trigger, the panel frames, and the EPDSIM_* settings.
#include "sim_bus_fixture.h"
#include "sim_show.h"

#include <opencv2/imgcodecs.hpp>

#include <csignal>
#include <filesystem>
#include <set>
#include <sys/stat.h>

using namespace testing_support;

namespace {

class SimBus : public bus_fixture {
  protected:
    void SetUp() override { epdsim::reset(); }

    // A row written at pixel (x, y) of the controller's image memory.
    reply write_at(int dev, int x, int y, const bytes &row) {
        const epdsim::controller_config &c = epdsim::config(dev);
        return write_row(dev, c.img_buf_addr + std::uint32_t(x + y * c.panel_width), row);
    }

    void refresh_band(int dev, int mode = 2) {
        const epdsim::controller_config &c = epdsim::config(dev);
        EXPECT_EQ(display(dev, c.img_buf_addr, mode, 0, 0, c.panel_width, c.panel_height).status(),
                  0);
    }

    reply power_off(int dev) {
        return command(dev, block(0xA3, 0, {0x09, 0x1A, 1, 1, 0}), 0x80, 2);
    }

    reply get_id(int dev) { return command(dev, block(0xA8), 0x80, 2); }

    temp_dir dir;
};

libusb_device *nth_device(libusb_device **list, int i) {
    return list[i];
}

TEST_F(SimBus, DescriptorsDescribeTheConfiguredDevices) {
    using epdsim::transfer_type;
    epdsim::add_other_device({0x1D6B, 0x0002, 2, 0});
    epdsim::controller_config c;
    c.product_id = 0x1234;
    c.bus_number = 3;
    c.device_address = 9;
    c.speed = 7;
    c.interfaces = {
        epdsim::interface_config{
            {epdsim::alt_setting_config{{{0x83, transfer_type::interrupt}}},
             epdsim::alt_setting_config{
                 {{0x06, transfer_type::isochronous}, {0x81}, {0x02, transfer_type::bulk, 64}}}}},
        epdsim::interface_config{{epdsim::alt_setting_config{{{0x00, transfer_type::control}}}}}};
    epdsim::add_controller(c);
    epdsim::add_other_device({0x046D, 0xC52B, 1, 0}, 0);
    ASSERT_EQ(libusb_init(nullptr), 0);
    started = true;
    libusb_device **list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 3);
    EXPECT_EQ(list[3], nullptr);
    libusb_device_descriptor d;
    std::vector<int> vendors;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(libusb_get_device_descriptor(nth_device(list, i), &d), 0);
        vendors.push_back(d.idVendor);
    }
    EXPECT_EQ(vendors, (std::vector<int>{0x046D, 0x1D6B, 0x048D}));
    EXPECT_EQ(d.idProduct, 0x1234);
    EXPECT_EQ(d.bNumConfigurations, 1);
    EXPECT_EQ(libusb_get_bus_number(list[2]), 3);
    EXPECT_EQ(libusb_get_device_address(list[2]), 9);
    EXPECT_EQ(libusb_get_device_address(list[1]), 3); // numbered by list position
    EXPECT_EQ(libusb_get_device_speed(list[2]), 7);

    libusb_config_descriptor *config = nullptr;
    EXPECT_EQ(libusb_get_config_descriptor(list[2], 1, &config), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_EQ(libusb_get_config_descriptor(list[2], 0, &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 2);
    const libusb_interface &first = config->interface[0];
    ASSERT_EQ(first.num_altsetting, 2);
    EXPECT_EQ(first.altsetting[0].bNumEndpoints, 1);
    EXPECT_EQ(first.altsetting[0].endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_INTERRUPT);
    const libusb_interface_descriptor &alt = first.altsetting[1];
    EXPECT_EQ(alt.bAlternateSetting, 1);
    EXPECT_EQ(alt.bInterfaceClass, LIBUSB_CLASS_MASS_STORAGE);
    ASSERT_EQ(alt.bNumEndpoints, 3);
    EXPECT_EQ(alt.endpoint[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x81);
    EXPECT_EQ(alt.endpoint[2].wMaxPacketSize, 64);
    EXPECT_EQ(config->interface[1].altsetting[0].endpoint[0].bmAttributes & 3,
              LIBUSB_TRANSFER_TYPE_CONTROL);
    libusb_free_config_descriptor(config);
    libusb_free_device_list(list, 1);
}

TEST_F(SimBus, StallsHoldUntilClearedAndCountOnlyTheStallsGiven) {
    epdsim::use_layout(42);
    start();
    epdsim::faults(0).stall_out = 2;
    bytes wrapper = cbw(block(0xA8), 0x80, 2);
    transfer t = out(0, wrapper);
    EXPECT_EQ(t.result, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(t.moved, 0);
    EXPECT_EQ(out(0, wrapper).result, LIBUSB_ERROR_PIPE); // still halted
    EXPECT_EQ(libusb_clear_halt(handles[0], ep_out), 0);
    EXPECT_EQ(out(0, wrapper).result, LIBUSB_ERROR_PIPE); // the second stall
    EXPECT_EQ(libusb_clear_halt(handles[0], ep_out), 0);
    EXPECT_EQ(out(0, wrapper).result, 0);
    EXPECT_EQ(in(0, 2).moved, 2);
    EXPECT_EQ(in(0, 13).data[12], 0);
    EXPECT_EQ(epdsim::clear_halts(0), (std::vector<std::uint8_t>{ep_out, ep_out}));
    EXPECT_NE(epdsim::journal()[0].line().find("note=injected stall on OUT; injected stall on OUT"),
              std::string::npos);
    EXPECT_EQ(libusb_clear_halt(handles[0], 0x05), LIBUSB_ERROR_NOT_FOUND);
}

TEST_F(SimBus, TimeoutsAndStatusFaultsAsLibusbReportsThem) {
    epdsim::use_layout(42);
    start();
    epdsim::faults(0).timeout_data = 1;
    ASSERT_EQ(out(0, cbw(block(0x80), 0x80, 120)).result, 0);
    transfer t = in(0, 120);
    EXPECT_EQ(t.result, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(t.moved, 0);
    reply r{{}, in(0, 13).data};
    EXPECT_EQ(r.status(), 2); // the device abandoned the data phase
    EXPECT_EQ(r.residue(), 120u);

    epdsim::faults(0).timeout_in = 1;
    ASSERT_EQ(out(0, cbw(block(0xA4, 0, {1, 20}), 0x00, 0)).result, 0);
    EXPECT_EQ(in(0, 13).result, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(in(0, 13).result, LIBUSB_ERROR_TIMEOUT); // the status was lost with it
    EXPECT_EQ(epdsim::temperature(0), 20);

    epdsim::faults(0).short_csw = 1;
    EXPECT_EQ(get_id(0).csw.size(), 12u);
    epdsim::faults(0).csw_failed = 1;
    EXPECT_EQ(get_id(0).status(), 1);
    epdsim::faults(1).csw_phase_error = 1;
    EXPECT_EQ(command(1, block(0x84, 0x40, {0, 4}), 0x00, 4, be32({7})).status(), 2);
    EXPECT_EQ(epdsim::register_value(1, 0x40), 0u); // a failed command has no effect
    EXPECT_EQ(get_id(0).status(), 0);
    EXPECT_EQ(epdsim::violation_count(), 1); // only the stray IN read
}

TEST_F(SimBus, DeviceGoneFailsEveryLaterCall) {
    epdsim::use_layout(42);
    start();
    epdsim::faults(0).gone_from_command = 2;
    EXPECT_EQ(get_id(0).status(), 0);
    transfer t = out(0, cbw(block(0xA8), 0x80, 2));
    EXPECT_EQ(t.result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(t.moved, 0);
    EXPECT_EQ(in(0, 13).result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_clear_halt(handles[0], ep_in), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_release_interface(handles[0], 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(get_id(1).status(), 0);
    EXPECT_NE(epdsim::journal().back().line().find("csw=0"), std::string::npos);
    EXPECT_NE(epdsim::journal()[1].line().find("note=device gone"), std::string::npos);
}

// The Bulk-Only Mass Storage Reset is the one control request the controller takes: it drops the
// command in progress and leaves the halts for the host to clear. Any other framing stalls.
TEST_F(SimBus, MassStorageResetDropsTheCommandAndLeavesTheHalts) {
    epdsim::use_layout(42);
    start();
    epdsim::faults(0).stall_in = 1;
    ASSERT_EQ(out(0, cbw(block(0x80), 0x80, 120)).result, 0);
    EXPECT_EQ(in(0, 120).result, LIBUSB_ERROR_PIPE);
    unsigned char lun = 0xEE;
    EXPECT_EQ(libusb_control_transfer(handles[0], 0xA1, 0xFE, 0, 0, &lun, 1, 1000),
              LIBUSB_ERROR_PIPE); // Get Max LUN: not understood
    EXPECT_EQ(libusb_control_transfer(handles[0], 0x21, 0xFF, 0, 1, nullptr, 0, 1000),
              LIBUSB_ERROR_PIPE); // no interface 1
    EXPECT_EQ(epdsim::mass_storage_resets(0), 0);
    EXPECT_EQ(libusb_control_transfer(handles[0], 0x21, 0xFF, 0, 0, nullptr, 0, 1000), 0);
    EXPECT_EQ(epdsim::mass_storage_resets(0), 1);
    EXPECT_EQ(in(0, 13).result, LIBUSB_ERROR_PIPE); // still halted
    ASSERT_EQ(libusb_clear_halt(handles[0], ep_in), 0);
    EXPECT_EQ(get_id(0).status(), 0); // a command block is due, not the dropped data phase
    EXPECT_EQ(epdsim::journal_lines(),
              (std::vector<std::string>{
                  "#0001 dev=0 id=0 control req=0xfe value=0 index=0 flags=0xa1 len=1 data=- "
                  "csw=- note=request not understood, stalled",
                  "#0002 dev=0 id=0 mass-storage-reset iface=1 flags=0x21 len=0 data=- csw=- "
                  "note=mass-storage reset of interface 1, which is not the Bulk-Only "
                  "interface, stalled",
                  "#0003 dev=0 id=0 sysinfo flags=0x80 len=120 data=- csw=- note=injected "
                  "stall on IN; mass-storage reset",
                  "#0004 dev=0 id=0 mass-storage-reset iface=0 flags=0x21 len=0 data=- csw=-",
                  "#0005 dev=0 id=0 get_id flags=0x80 len=2 data=8951 csw=0"}));
    EXPECT_EQ(epdsim::violation_count(), 2);
    EXPECT_EQ(epdsim::command_count(), 2); // a control request is no command

    epdsim::faults(1).hang_from_command = 1;
    EXPECT_EQ(out(1, cbw(block(0xA8), 0x80, 2)).result, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(libusb_control_transfer(handles[1], 0x21, 0xFF, 0, 0, nullptr, 0, 1000),
              LIBUSB_ERROR_TIMEOUT);
    epdsim::faults(1).gone_from_command = 0;
    EXPECT_EQ(libusb_control_transfer(handles[1], 0x21, 0xFF, 0, 0, nullptr, 0, 1000),
              LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(epdsim::mass_storage_resets(1), 0);
}

// A controller plugged in at the second listing: the program's first look misses it, the next
// one finds it.
TEST_F(SimBus, PluggedControllerAppearsAtItsListing) {
    epdsim::use_layout(42);
    epdsim::faults(0).plug_at_listing = 2;
    ASSERT_EQ(libusb_init(nullptr), 0);
    started = true;
    libusb_device **list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_device_descriptor d;
    ASSERT_EQ(libusb_get_device_descriptor(list[0], &d), 0);
    EXPECT_EQ(libusb_get_device_address(list[0]), 3); // controller 1
    libusb_free_device_list(list, 1);
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 2);
    libusb_device_handle *h = nullptr;
    ASSERT_EQ(libusb_open(list[0], &h), 0);
    handles.push_back(h);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(get_id(0).status(), 0);
    libusb_free_device_list(list, 1);
}

TEST_F(SimBus, OpenClaimAndDescriptorFaults) {
    epdsim::add_controller({});
    epdsim::add_controller({});
    epdsim::controller_config two;
    two.interfaces.push_back(epdsim::default_interfaces()[0]);
    epdsim::add_controller(two);
    epdsim::faults(0).open_error = LIBUSB_ERROR_ACCESS;
    epdsim::faults(1).device_descriptor_ok_calls = 1;
    epdsim::faults(1).device_descriptor_error = LIBUSB_ERROR_IO;
    epdsim::faults(1).config_descriptor_error = LIBUSB_ERROR_PIPE;
    epdsim::faults(2).claim_errors[1] = LIBUSB_ERROR_BUSY;
    ASSERT_EQ(libusb_init(nullptr), 0);
    started = true;
    libusb_device **list = nullptr;
    ASSERT_EQ(libusb_get_device_list(nullptr, &list), 3);
    libusb_device_handle *h = nullptr;
    EXPECT_EQ(libusb_open(list[0], &h), LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(h, nullptr);
    libusb_device_descriptor d;
    EXPECT_EQ(libusb_get_device_descriptor(list[1], &d), 0);
    EXPECT_EQ(libusb_get_device_descriptor(list[1], &d), LIBUSB_ERROR_IO);
    libusb_config_descriptor *config = nullptr;
    EXPECT_EQ(libusb_get_config_descriptor(list[1], 0, &config), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_open(list[2], &h), 0);
    handles.push_back(h);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_claim_interface(h, 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(h, 2), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(epdsim::claimed_interfaces(2), (std::vector<int>{0}));
    EXPECT_EQ(epdsim::open_handles(2), 1);
    EXPECT_EQ(libusb_release_interface(h, 0), 0);
    // Transfers need a claimed interface and an endpoint the device has.
    EXPECT_EQ(out(0, cbw(block(0xA8), 0x80, 2)).result, LIBUSB_ERROR_IO);
    libusb_claim_interface(h, 0);
    EXPECT_EQ(out(0, cbw(block(0xA8), 0x80, 2), 0x04).result, LIBUSB_ERROR_IO);
    EXPECT_TRUE(epdsim::journal().empty());
    libusb_free_device_list(list, 1);
}

TEST_F(SimBus, StartFaultsAndContexts) {
    epdsim::use_layout(32);
    epdsim::global_faults().init_error = LIBUSB_ERROR_ACCESS;
    EXPECT_EQ(libusb_init(nullptr), LIBUSB_ERROR_ACCESS);
    EXPECT_FALSE(epdsim::initialised());
    epdsim::global_faults().init_error = 0;
    epdsim::global_faults().device_list_error = LIBUSB_ERROR_NO_MEM;
    ASSERT_EQ(libusb_init(nullptr), 0);
    started = true;
    libusb_device **list = nullptr;
    EXPECT_EQ(libusb_get_device_list(nullptr, &list), LIBUSB_ERROR_NO_MEM);
    libusb_context *own = nullptr;
    EXPECT_EQ(libusb_init(&own), LIBUSB_ERROR_NOT_SUPPORTED);
    EXPECT_STREQ(libusb_strerror(LIBUSB_ERROR_PIPE), "Pipe error");
    EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_NO_DEVICE), "LIBUSB_ERROR_NO_DEVICE");
}

volatile std::sig_atomic_t commands_at_signal = 0;

TEST_F(SimBus, SignalIsRaisedInsideTheCallThatCompletesTheCommand) {
    epdsim::use_layout(42);
    epdsim::raise_after_command(SIGUSR1, 3);
    auto previous = std::signal(SIGUSR1, [](int) { commands_at_signal = epdsim::command_count(); });
    start();
    get_id(0);
    get_id(1);
    EXPECT_EQ(out(0, cbw(block(0xA8), 0x80, 2)).result, 0);
    EXPECT_EQ(in(0, 2).result, 0);
    EXPECT_EQ(commands_at_signal, 0);
    in(0, 13);
    EXPECT_EQ(commands_at_signal, 3);
    std::signal(SIGUSR1, previous);
}

// A journal not kept in memory still numbers, writes and counts every command, and frames and
// signal triggers still follow the commands; the refreshes made meanwhile show but are not kept.
TEST_F(SimBus, JournalNotKeptStillNumbersWritesAndCounts) {
    epdsim::use_layout(42);
    const std::string path = dir.file("journal.txt");
    epdsim::set_journal_file(path);
    start();
    get_id(0);
    epdsim::keep_journal(false);
    const bytes row(100, 7);
    EXPECT_EQ(write_at(1, 0, 0, row).status(), 0);
    refresh_band(1);
    EXPECT_EQ(power_off(1).status(), 0);
    epdsim::keep_journal(true);
    get_id(1);
    EXPECT_EQ(epdsim::journal().size(), 2u);
    EXPECT_EQ(epdsim::journal().back().seq, 5);
    EXPECT_EQ(epdsim::command_count(), 5);
    EXPECT_EQ(epdsim::frame_count(), 1);
    EXPECT_TRUE(epdsim::refreshes(1).empty());
    EXPECT_EQ(epdsim::memory_at(1, 0, 0), 7);
    stop();
    const std::vector<std::string> lines = split_lines(read_file(path));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1].rfind("#0002 dev=1 id=1 write_mem addr=0x00120000 rowlen=100", 0), 0u);
    EXPECT_EQ(lines[4].rfind("#0005 dev=1 id=1 get_id", 0), 0u);
}

TEST_F(SimBus, FramesOfTheFortyTwoLayoutShowBothBandsUpright) {
    epdsim::use_layout(42, {1, 0}); // the top band's controller is listed first
    epdsim::set_frames_dir(dir.path());
    start();
    write_at(0, 0, 0, {0x10});
    write_at(0, 12, 3, {0x4F});
    write_at(1, 0, 0, {0x30});
    write_at(1, 5, 2, {0x50});
    refresh_band(0);
    refresh_band(1);
    EXPECT_EQ(epdsim::frame_count(), 0);
    power_off(1);
    ASSERT_EQ(epdsim::frame_count(), 1);
    cv::Mat frame = cv::imread(dir.file("frame-0001.png"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(frame.type(), CV_8UC1);
    ASSERT_EQ(frame.size(), cv::Size(2880, 2160));
    EXPECT_EQ(frame.at<uchar>(0, 2879), 0x11);    // top band: columns mirrored
    EXPECT_EQ(frame.at<uchar>(3, 2867), 0x44);    // quantised to 16 levels
    EXPECT_EQ(frame.at<uchar>(2159, 2879), 0x33); // bottom band: turned by a half turn
    EXPECT_EQ(frame.at<uchar>(2157, 2874), 0x55);
    EXPECT_EQ(cv::countNonZero(frame != 255), 4);
    EXPECT_EQ(cv::countNonZero(frame != epdsim::last_frame()), 0);

    // waveform mode 0 whitens the area
    display(0, epdsim::config(0).img_buf_addr, 0, 0, 0, 10, 10);
    power_off(1);
    power_off(1); // nothing refreshed since: no frame
    ASSERT_EQ(epdsim::frame_count(), 2);
    frame = cv::imread(dir.file("frame-0002.png"), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(frame.at<uchar>(0, 2879), 255);
    EXPECT_EQ(frame.at<uchar>(3, 2867), 0x44);

    refresh_band(1);
    stop(); // refreshes still unshown at the end make one more frame
    EXPECT_EQ(epdsim::frame_count(), 3);
    EXPECT_TRUE(std::filesystem::exists(dir.file("frame-0003.png")));
}

TEST_F(SimBus, FramesOfTheThirtyTwoLayoutAndOfOtherSetsStackTheBands) {
    epdsim::use_layout(32, {2, 0, 3, 1});
    start();
    for (int dev = 0; dev < 4; ++dev) {
        int id = epdsim::config(dev).multiID;
        write_at(dev, 0, 1, {std::uint8_t(0x10 * (id + 1))});
        refresh_band(dev);
    }
    power_off(0);
    cv::Mat frame = epdsim::last_frame();
    ASSERT_EQ(frame.size(), cv::Size(1440, 2560));
    for (int band = 0; band < 4; ++band) // multi ID 3 on top
        EXPECT_EQ(frame.at<uchar>(band * 640 + 1, 1439), 0x11 * (4 - band)) << band;
    EXPECT_EQ(epdsim::layout(), 32);
    stop();

    epdsim::reset();
    bands(100, 10, {0, 2, 1}).plug();
    start();
    EXPECT_EQ(epdsim::layout(), 0);
    for (int dev = 0; dev < 3; ++dev) {
        write_at(dev, 2, 3, {std::uint8_t(0x20 * (dev + 1))});
        refresh_band(dev);
    }
    power_off(0);
    frame = epdsim::last_frame();
    ASSERT_EQ(frame.size(), cv::Size(100, 30));
    EXPECT_EQ(frame.at<uchar>(3, 2), 0x44);  // multi ID 2 (index 1) on top, unturned
    EXPECT_EQ(frame.at<uchar>(13, 2), 0x66); // multi ID 1 (index 2)
    EXPECT_EQ(frame.at<uchar>(23, 2), 0x22); // multi ID 0 (index 0) at the bottom
}

// --- settings

TEST(SimSettings, VariablesSetUpTheBus) {
    std::string error;
    ASSERT_TRUE(epdsim::configure_from(
        reader_of({{"EPDSIM_LAYOUT", "32"},
                   {"EPDSIM_ORDER", "3,2,1,0"},
                   {"EPDSIM_TEMP", "-5"},
                   {"EPDSIM_BUSY", "0,1,2,3"},
                   {"EPDSIM_SPEED", "9"},
                   {"EPDSIM_OTHERS", "1d6b:0002@0,046d:c52b"},
                   {"EPDSIM_FAULTS", "dev1.stall-in=3,id0.claim=1:ACCESS,csw-fail=2,"
                                     "id2.devdesc=1:NO_DEVICE,gone=9,list,dev2.plug=3"},
                   {"EPDSIM_RAISE", "SIGTERM@5"}}),
        &error))
        << error;
    ASSERT_EQ(epdsim::controller_count(), 4);
    EXPECT_EQ(epdsim::config(0).multiID, 3);
    EXPECT_EQ(epdsim::config(0).panel_width, 1440);
    EXPECT_EQ(epdsim::temperature(3), -5);
    EXPECT_EQ(epdsim::config(2).busy_reads, 2);
    EXPECT_EQ(epdsim::config(1).speed, 9);
    EXPECT_EQ(epdsim::faults(1).stall_in, 3);
    EXPECT_EQ(epdsim::faults(0).stall_in, 0);
    EXPECT_EQ(epdsim::faults(3).claim_errors.at(1), LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(epdsim::faults(1).device_descriptor_error, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(epdsim::faults(1).device_descriptor_ok_calls, 1);
    EXPECT_EQ(epdsim::faults(2).plug_at_listing, 3);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(epdsim::faults(i).csw_failed, 2);
        EXPECT_EQ(epdsim::faults(i).gone_from_command, 9);
    }
    EXPECT_EQ(epdsim::global_faults().device_list_error, LIBUSB_ERROR_NO_MEM);

    ASSERT_TRUE(
        epdsim::configure_from(reader_of({{"EPDSIM_DEVICES", "100x10@1,100x20@0"}}), &error));
    ASSERT_EQ(epdsim::controller_count(), 2);
    EXPECT_EQ(epdsim::config(1).panel_height, 20);
    EXPECT_EQ(epdsim::config(1).multiID, 0);
    EXPECT_EQ(epdsim::layout(), 0);
    ASSERT_TRUE(epdsim::configure_from(
        reader_of({{"EPDSIM_DEVICES", "none"}, {"EPDSIM_OTHERS", "1d6b:0003"}}), &error));
    EXPECT_EQ(epdsim::controller_count(), 0);
    epdsim::reset();
}

TEST(SimSettings, InvalidValuesNameTheirVariable) {
    const std::pair<env_list, std::string> cases[] = {
        {{{"EPDSIM_LAYOUT", "41"}}, "EPDSIM_LAYOUT=41: expected 42 or 32"},
        {{{"EPDSIM_ORDER", "0,0"}}, "EPDSIM_ORDER=0,0: list the multi IDs 0 to 1 once each"},
        {{{"EPDSIM_DEVICES", "100x@1"}}, "EPDSIM_DEVICES=100x@1: '' is not a number"},
        {{{"EPDSIM_TEMP", "1,2,3"}},
         "EPDSIM_TEMP=1,2,3: give one value, or one per controller (2)"},
        {{{"EPDSIM_TEMP", "200"}}, "EPDSIM_TEMP=200: 200 is outside -128 to 127"},
        {{{"EPDSIM_BUSY", "x"}}, "EPDSIM_BUSY=x: 'x' is not a number"},
        {{{"EPDSIM_OTHERS", "1d6b"}},
         "EPDSIM_OTHERS=1d6b: '1d6b' is not VID:PID[/CCSSPP...][@POSITION]"},
        {{{"EPDSIM_OTHERS", "048d:c101/0301"}},
         "EPDSIM_OTHERS=048d:c101/0301: '0301' is not an interface CCSSPP (six hex digits)"},
        {{{"EPDSIM_FAULTS", "dev5.stall-in=1"}},
         "EPDSIM_FAULTS=dev5.stall-in=1: dev5: no such controller"},
        {{{"EPDSIM_FAULTS", "stall-in"}}, "EPDSIM_FAULTS=stall-in: stall-in needs a value"},
        {{{"EPDSIM_FAULTS", "wobble=1"}}, "EPDSIM_FAULTS=wobble=1: unknown fault 'wobble'"},
        {{{"EPDSIM_FAULTS", "plug=0"}}, "EPDSIM_FAULTS=plug=0: 0 is outside 1 to 1000000000"},
        {{{"EPDSIM_FAULTS", "open=NOPE"}},
         "EPDSIM_FAULTS=open=NOPE: 'NOPE' is not a libusb error code"},
        {{{"EPDSIM_RAISE", "SIGFOO@3"}}, "EPDSIM_RAISE=SIGFOO@3: 'SIGFOO' is not a signal"},
        {{{"EPDSIM_RAISE", "INT@0"}}, "EPDSIM_RAISE=INT@0: 0 is outside 1 to 1000000000"},
    };
    for (const auto &c : cases) {
        std::string error;
        EXPECT_FALSE(epdsim::configure_from(reader_of(c.first), &error));
        EXPECT_EQ(error, c.second);
        EXPECT_EQ(epdsim::controller_count(), 0);
    }
}

// One whole-panel picture on the default panel, then a stop element or none.
std::string one_picture(const std::string &image, bool stop) {
    show_settings settings;
    settings.en_set_temperature = 0;
    return playlist("<image_name><full_update><img>" + image + "</img></full_update>" +
                        (stop ? "<stop/>" : "") + "</image_name>",
                    settings);
}

TEST(SimProcess, InvalidVariableEndsTheProgramWithStatusTwo) {
    temp_dir dir;
    dir.write("playlist.xml", one_picture("none.png", true));
    const std::pair<env_list, std::string> cases[] = {
        {{{"EPDSIM_FAULTS", "bogus"}}, "epdsim: EPDSIM_FAULTS=bogus: unknown fault 'bogus'\n"},
        {{{"EPDSIM_CLOCK", "virtual@2026-13-01T00:00:00"}},
         "epdsim: EPDSIM_CLOCK=virtual@2026-13-01T00:00:00: expected virtual or "
         "virtual@YYYY-MM-DDTHH:MM:SS\n"},
        {{{"EPDSIM_SEED", "-3"}},
         "epdsim: EPDSIM_SEED=-3: expected a whole number from 0 to 18446744073709551615\n"},
    };
    for (const auto &c : cases) {
        auto run = run_program(EPDSHOW_SIM_PATH, {"playlist.xml"}, c.first, dir.path(), 30);
        EXPECT_EQ(run.status, 2) << c.second;
        EXPECT_NE(run.err.find(c.second), std::string::npos) << run.err;
    }
}

// A preview of a playlist that repeats stops writing frames at EPDSIM_FRAMES_MAX, saying so once,
// and the show goes on until it is stopped.
TEST(SimProcess, FramesStopAtTheirMaximumWhileTheShowGoesOn) {
    temp_dir dir;
    mkdir(dir.file("img").c_str(), 0755);
    cv::imwrite(dir.file("img/picture.png"), numbered_picture(64, 48));
    dir.write("playlist.xml", one_picture("picture.png", false));
    auto run = run_program(EPDSHOW_SIM_PATH, {"playlist.xml"},
                           {{"EPDSIM_DEVICES", "2880x8@0,2880x8@1"},
                            {"EPDSIM_BUSY", "0"},
                            {"EPDSIM_CLOCK", "virtual"},
                            {"EPDSIM_FRAMES", dir.file("frames")},
                            {"EPDSIM_FRAMES_MAX", "3"},
                            {"EPDSIM_RAISE", "SIGINT@200"}},
                           dir.path(), 60);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_GT(count_starting(run.out, "Slide Period"), 5);
    EXPECT_EQ(run.err, "epdsim: 3 frames written to " + dir.file("frames") +
                           ", as many as EPDSIM_FRAMES_MAX allows; no more frames are written\n");
    std::set<std::string> frames;
    for (const auto &entry : std::filesystem::directory_iterator(dir.file("frames"))) {
        frames.insert(entry.path().filename().string());
    }
    EXPECT_EQ(frames,
              (std::set<std::string>{"frame-0001.png", "frame-0002.png", "frame-0003.png"}));
}

TEST(SimProcess, JournalMemoryAndSignalTriggerReachTheFiles) {
    temp_dir dir;
    mkdir(dir.file("img").c_str(), 0755);
    cv::imwrite(dir.file("img/picture.png"), numbered_picture(64, 48));
    dir.write("playlist.xml", one_picture("picture.png", false));
    auto run = run_program(EPDSHOW_SIM_PATH, {"playlist.xml"},
                           {{"EPDSIM_JOURNAL", dir.file("journal.txt")},
                            {"EPDSIM_MEMORY", dir.file("memory")},
                            {"EPDSIM_BUSY", "0"},
                            {"EPDSIM_RAISE", "SIGINT@3"}},
                           dir.path(), 60);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("stop Flag flip!"), std::string::npos);
    auto lines = split_lines(read_file(dir.file("journal.txt")));
    ASSERT_GT(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(0, 49), "#0001 dev=0 id=0 sysinfo flags=0x80 len=120 data=");
    EXPECT_EQ(lines[0].substr(lines[0].size() - 6), " csw=0");
    EXPECT_EQ(read_file(dir.file("memory/controller-1.mem")).size(), 2880u * 1080u);
}

} // namespace
