// Drives the simulated bus through plain libusb calls with hand-built Bulk-Only wrappers, for
// the sim_*_test files.
#ifndef EPDSIM_TEST_SIM_SUPPORT_H
#define EPDSIM_TEST_SIM_SUPPORT_H

#include "epdsim.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <cstdint>
#include <vector>

namespace sim_support {

using bytes = std::vector<std::uint8_t>;

constexpr unsigned char ep_in = 0x81;
constexpr unsigned char ep_out = 0x02;

// A vendor command block: operation code 0xFE, address in bytes 2-5, sub-command in byte 6,
// then the argument bytes from byte 7 on.
inline bytes block(std::uint8_t sub, std::uint32_t address = 0, bytes args = {}) {
    bytes b(16, 0);
    b[0] = 0xFE;
    b[2] = std::uint8_t(address >> 24);
    b[3] = std::uint8_t(address >> 16);
    b[4] = std::uint8_t(address >> 8);
    b[5] = std::uint8_t(address);
    b[6] = sub;
    for (std::size_t i = 0; i < args.size(); ++i)
        b[7 + i] = args[i];
    return b;
}

inline bytes cbw(const bytes &block16, std::uint8_t flags, std::uint32_t length,
                 std::uint32_t tag = 0x01020304) {
    bytes w(31, 0);
    w[0] = 'U', w[1] = 'S', w[2] = 'B', w[3] = 'C';
    for (int i = 0; i < 4; ++i) {
        w[4 + i] = std::uint8_t(tag >> (8 * i));
        w[8 + i] = std::uint8_t(length >> (8 * i));
    }
    w[12] = flags;
    w[14] = 16;
    std::copy(block16.begin(), block16.end(), w.begin() + 15);
    return w;
}

inline bytes be32(std::uint32_t v) {
    return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}

inline std::uint32_t word(const bytes &b, std::size_t offset) {
    return std::uint32_t(b[offset]) << 24 | std::uint32_t(b[offset + 1]) << 16 |
           std::uint32_t(b[offset + 2]) << 8 | b[offset + 3];
}

struct transfer {
    int result = 0;
    int moved = -1;
    bytes data;
};

struct reply {
    bytes data;
    bytes csw;
    int status() const { return csw.size() == 13 ? csw[12] : -1; }
    std::uint32_t residue() const {
        return csw[8] | csw[9] << 8 | csw[10] << 16 | std::uint32_t(csw[11]) << 24;
    }
};

// Starts the bus as set up, opens every controller and claims its interface 0.
class bus_fixture : public testing::Test {
  protected:
    void TearDown() override { stop(); }

    void start() {
        ASSERT_EQ(libusb_init(nullptr), 0);
        started = true;
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(nullptr, &list);
        ASSERT_GE(n, 0);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d;
            ASSERT_EQ(libusb_get_device_descriptor(list[i], &d), 0);
            if (d.idVendor != 0x048D)
                continue;
            libusb_device_handle *h = nullptr;
            ASSERT_EQ(libusb_open(list[i], &h), 0);
            ASSERT_EQ(libusb_claim_interface(h, 0), 0);
            handles.push_back(h);
        }
        libusb_free_device_list(list, 1);
    }

    void stop() {
        for (libusb_device_handle *h : handles)
            libusb_close(h);
        handles.clear();
        if (started)
            libusb_exit(nullptr);
        started = false;
    }

    transfer out(int dev, bytes data, unsigned char ep = ep_out) {
        transfer t;
        t.result = libusb_bulk_transfer(handles[std::size_t(dev)], ep, data.data(),
                                        int(data.size()), &t.moved, 1000);
        return t;
    }

    transfer in(int dev, int length, unsigned char ep = ep_in) {
        transfer t;
        t.data.assign(std::size_t(length), 0xEE);
        t.result = libusb_bulk_transfer(handles[std::size_t(dev)], ep, t.data.data(), length,
                                        &t.moved, 1000);
        t.data.resize(std::size_t(std::max(t.moved, 0)));
        return t;
    }

    // One whole command: CBW, the data phase its flags announce, CSW.
    reply command(int dev, const bytes &block16, std::uint8_t flags, std::uint32_t length,
                  const bytes &payload = {}) {
        reply r;
        EXPECT_EQ(out(dev, cbw(block16, flags, length)).result, 0);
        if (length && (flags & 0x80)) {
            r.data = in(dev, int(length)).data;
        } else if (length) {
            EXPECT_EQ(out(dev, payload).result, 0);
        }
        r.csw = in(dev, 13).data;
        return r;
    }

    std::vector<libusb_device_handle *> handles;
    bool started = false;
};

} // namespace sim_support

#endif
