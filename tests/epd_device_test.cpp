// One controller object over the simulated bus: its system info record and every vendor command,
// byte for byte as it reaches the controller.
#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "epd_device.h"
#include "sim_bus_fixture.h"
#include "usb_session.h"

using namespace testing_support;

namespace {

// A malloc'd band of w x h pixels whose every pixel differs from its neighbours.
band_buffer band(int w, int h) {
    band_buffer buf(static_cast<char *>(malloc(static_cast<size_t>(w) * h)));
    for (int i = 0; i < w * h; ++i) {
        buf[i] = static_cast<char>((i * 7 + i / w * 13) & 0xFF);
    }
    return buf;
}

class EpdDeviceCommands : public usb_session_test {
  protected:
    void TearDown() override {
        run([&] { device.reset(); });
        usb_session_test::TearDown();
    }

    // Starts the bus and builds the object for controller 0 of the 32 layout (1440 wide).
    epd_device &build() {
        if (epdsim::controller_count() == 0) {
            epdsim::use_layout(32);
        }
        run([&] {
            usb_init();
            device = std::make_unique<epd_device>(0);
        });
        sent();
        return *device;
    }

    std::unique_ptr<epd_device> device;
};

TEST_F(EpdDeviceCommands, SystemInfoIsReadOnceAndGivesTheBandGeometry) {
    epdsim::use_layout(32, {2, 0, 1, 3});
    epd_device &dev = build();
    const auto &entry = epdsim::journal().at(0);
    EXPECT_EQ(entry.block, block(0x80, 0x38393531, {0x00, 0x01, 0x00, 0x02}));
    EXPECT_EQ(entry.flags, 0x80);
    EXPECT_EQ(entry.length, 120u);
    EXPECT_EQ(dev.get_width(), 1440);
    EXPECT_EQ(dev.get_height(), 640);
    EXPECT_EQ(dev.get_multiID(), 2);
    EXPECT_EQ(dev.get_img_buf_addr(), epdsim::config(0).img_buf_addr);
    EXPECT_EQ(dev.get_index(), 0);
    EXPECT_EQ(epdsim::violation_count(), 0);

    run([&] {
        device.reset();
        return 0;
    });
    EXPECT_EQ(out, "\t\t\tUSB:Releasing interface 0...\n");
    EXPECT_EQ(epdsim::open_handles(0), 0);
}

TEST_F(EpdDeviceCommands, RegistersTravelBigEndian) {
    epd_device &dev = build();
    EXPECT_EQ(dev.write_register(0x18001000, static_cast<int>(0x80000001u)), 0);
    EXPECT_EQ(dev.read_register(0x18001000), -2147483647);
    auto entries = sent();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].block, block(0x84, 0x18001000, {0x00, 0x04}));
    EXPECT_EQ(entries[0].flags, 0x00);
    EXPECT_EQ(entries[0].data, (bytes{0x80, 0x00, 0x00, 0x01}));
    EXPECT_EQ(entries[1].block, block(0x83, 0x18001000, {0x00, 0x04}));
    EXPECT_EQ(entries[1].flags, 0x80);
    EXPECT_EQ(entries[1].length, 4u);
}

TEST_F(EpdDeviceCommands, DisplaySendsTheSevenArgumentWords) {
    epd_device &dev = build();
    EXPECT_EQ(dev.display(0, 0, 10, 10, 2, 1), 0);
    auto entries = sent();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].block, block(0x94, 0));
    EXPECT_EQ(entries[0].flags, 0x00);
    EXPECT_EQ(entries[0].length, 28u);
    EXPECT_EQ(entries[0].data, be32({dev.get_img_buf_addr(), 2, 0, 0, 10, 10, 1}));
}

TEST_F(EpdDeviceCommands, PowerCarriesTheVcomAndReturnsTheReply) {
    epd_device &dev = build();
    EXPECT_EQ(run([&] { return dev.set_power(false, 2330); }), 2330);
    EXPECT_EQ(out, "\t\t\tVCom value = 2330\n");
    auto entries = sent();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].block, block(0xA3, 0, {0x09, 0x1A, 0x01, 0x01, 0x00}));
    EXPECT_EQ(entries[0].flags, 0x80);
    EXPECT_EQ(entries[0].length, 2u);
    run([&] { return dev.set_power(true, 2330); });
    EXPECT_EQ(sent().at(0).block[11], 0x01);
}

TEST_F(EpdDeviceCommands, TemperatureReadIsSignedAndWritesHaveNoDataPhase) {
    epdsim::controller_config config;
    config.temperature = -2;
    epdsim::add_controller(config);
    epd_device &dev = build();

    EXPECT_EQ(dev.set_temperature(0, -15), -2);
    EXPECT_EQ(dev.set_temperature(2, 30), 0);
    EXPECT_EQ(dev.set_temperature(1, 20), 0);
    auto entries = sent();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].block, block(0xA4, 0, {0x00, 0xF1}));
    EXPECT_EQ(entries[0].flags, 0x80);
    EXPECT_EQ(entries[0].length, 2u);
    EXPECT_EQ(entries[1].block, block(0xA4, 0, {0x02, 0x1E}));
    EXPECT_EQ(entries[1].flags, 0x00);
    EXPECT_EQ(entries[1].length, 0u);
    EXPECT_EQ(entries[2].block, block(0xA4, 0, {0x01, 0x14}));
    EXPECT_EQ(epdsim::violation_count(), 0);

    EXPECT_EQ(run([&] { return dev.set_temperature(3, 20); }), 0);
    EXPECT_EQ(err, "set_temperature: unknown type 3 for controller 0, nothing sent\n");
    EXPECT_TRUE(sent().empty());
}

TEST_F(EpdDeviceCommands, GetIdReadsTwoBytesAndReturnsZero) {
    epd_device &dev = build();
    EXPECT_EQ(dev.get_id(), 0);
    auto entries = sent();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].block, block(0xA8, 0));
    EXPECT_EQ(entries[0].flags, 0x80);
    EXPECT_EQ(entries[0].length, 2u);
}

TEST_F(EpdDeviceCommands, MemoryWriteSendsOneCommandPerRowAtTheRowAddress) {
    epd_device &dev = build();
    band_buffer pixels = band(1440, 2);
    const bytes first_row(pixels.get(), pixels.get() + 1440);
    EXPECT_EQ(dev.fast_write_mem(std::move(pixels), 0, 10, 1440, 2), 0);
    auto entries = sent();
    ASSERT_EQ(entries.size(), 2u);
    const std::uint32_t base = dev.get_img_buf_addr();
    EXPECT_EQ(entries[0].block, block(0xA5, base + 14400, {0x05, 0xA0}));
    EXPECT_EQ(entries[1].block, block(0xA5, base + 15840, {0x05, 0xA0}));
    EXPECT_EQ(entries[0].flags, 0x00);
    EXPECT_EQ(entries[0].length, 1440u);
    EXPECT_EQ(entries[0].data, first_row);
    EXPECT_EQ(epdsim::memory_at(0, 1439, 11), static_cast<std::uint8_t>(band(1440, 2)[2879]));

    // A narrow band still steps one panel row per band row.
    dev.fast_write_mem(band(4, 2), 100, 0, 4, 2);
    entries = sent();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].block, block(0xA5, base + 100 + 1440, {0x00, 0x04}));
    EXPECT_EQ(epdsim::memory_at(0, 103, 1), static_cast<std::uint8_t>(band(4, 2)[7]));
}

TEST_F(EpdDeviceCommands, AreaLoadGoesInChunksWithTheirOwnHeaders) {
    epd_device &dev = build();
    EXPECT_EQ(dev.load_img_area(band(1440, 100), 0, 200, 1440, 100), 0);
    auto entries = sent();
    ASSERT_EQ(entries.size(), 3u);
    const std::vector<std::uint32_t> rows = {42, 42, 16};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(entries[i].block, block(0xA2, 0));
        EXPECT_EQ(entries[i].flags, 0x00);
        EXPECT_EQ(entries[i].length, 20 + rows[i] * 1440);
        ASSERT_GE(entries[i].data.size(), 20u);
        EXPECT_EQ(
            bytes(entries[i].data.begin(), entries[i].data.begin() + 20),
            be32({dev.get_img_buf_addr(), 0, 200 + 42 * static_cast<uint32_t>(i), 1440, rows[i]}));
    }
    band_buffer expected = band(1440, 100);
    EXPECT_EQ(epdsim::memory_at(0, 5, 299), static_cast<std::uint8_t>(expected[99 * 1440 + 5]));
    EXPECT_EQ(epdsim::memory_at(0, 7, 242), static_cast<std::uint8_t>(expected[42 * 1440 + 7]));

    dev.load_img_area(band(1440, 3), 0, 0, 1440, 3);
    EXPECT_EQ(sent().size(), 1u);
    EXPECT_EQ(epdsim::violation_count(), 0);
}

TEST_F(EpdDeviceCommands, UnusableWidthsAndMissingBuffersSendNothing) {
    epd_device &dev = build();
    run([&] { return dev.load_img_area(band(1, 1), 0, 0, 0, 1); });
    EXPECT_EQ(err, "load_img_area: width 0 outside 1..61440 for controller 0, nothing sent\n");
    run([&] { return dev.load_img_area(band(61441, 1), 0, 0, 61441, 1); });
    EXPECT_EQ(err, "load_img_area: width 61441 outside 1..61440 for controller 0, nothing sent\n");
    run([&] { return dev.fast_write_mem(band(65536, 1), 0, 0, 65536, 1); });
    EXPECT_EQ(err, "fast_write_mem: width 65536 outside 1..65535 for controller 0, nothing sent\n");
    run([&] { return dev.fast_write_mem(nullptr, 0, 0, 10, 1); });
    EXPECT_EQ(err, "fast_write_mem: no band buffer for controller 0, nothing sent\n");
    run([&] { return dev.load_img_area(nullptr, 0, 0, 10, 1); });
    EXPECT_EQ(err, "load_img_area: no band buffer for controller 0, nothing sent\n");
    EXPECT_EQ(dev.fast_write_mem(band(10, 1), 0, 0, 10, 0), 0);
    EXPECT_TRUE(sent().empty());
}

TEST_F(EpdDeviceCommands, AControllerThatCannotBeOpenedReadsZeros) {
    epdsim::use_layout(32);
    epdsim::faults(0).open_error = LIBUSB_ERROR_ACCESS;
    epd_device &dev = build();
    EXPECT_EQ(dev.get_width(), 0);
    EXPECT_EQ(dev.get_multiID(), 0);
    EXPECT_EQ(dev.get_img_buf_addr(), 0u);
    EXPECT_EQ(run([&] { return dev.set_power(true, 2330); }), 0);
    EXPECT_EQ(out, "\t\t\tVCom value = 0\n");
    EXPECT_EQ(err, "send_cbw: controller 0 is not open\nusb_read: controller 0 is not open\n");
    EXPECT_EQ(run([&] { return dev.read_register(0x18001224) + dev.set_temperature(0, 0); }), 0);
    EXPECT_TRUE(epdsim::journal().empty());
}

TEST(EpdDeviceByteOrder, SwapsWholeWordsOnlyAndReadsSignedBigEndian) {
    unsigned int words[2] = {0x11223344, 0x55667788};
    epd_device::endian_little_to_big(words, 6);
    EXPECT_EQ(words[0], 0x44332211u);
    EXPECT_EQ(words[1], 0x55667788u);
    epd_device::endian_little_to_big(words, 0);
    EXPECT_EQ(words[0], 0x44332211u);
    epd_device::endian_little_to_big(words, 8);
    epd_device::endian_little_to_big(words, 8);
    EXPECT_EQ(words[0], 0x44332211u);
    EXPECT_EQ(words[1], 0x55667788u);

    const unsigned char minus_fifteen[4] = {0xFF, 0xFF, 0xFF, 0xF1};
    EXPECT_EQ(epd_device::endian_big_to_little(minus_fifteen), -15);
}

} // namespace
