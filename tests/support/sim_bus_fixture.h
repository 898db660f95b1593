// The bytes of the controller's vendor commands, and a fixture that drives the simulated bus
// through plain libusb calls with hand-built Bulk-Only wrappers.
#ifndef EPDSHOW_SIM_BUS_FIXTURE_H
#define EPDSHOW_SIM_BUS_FIXTURE_H

#include "epdsim.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace testing_support {

using bytes = std::vector<std::uint8_t>;

constexpr unsigned char ep_in = 0x81;
constexpr unsigned char ep_out = 0x02;

// A vendor command block: operation code 0xFE, address in bytes 2-5, sub-command in byte 6,
// then the argument bytes from byte 7 on.
inline bytes block(std::uint8_t sub, std::uint32_t address = 0, const bytes &args = {}) {
    bytes b(16, 0);
    b[0] = 0xFE;
    for (int i = 0; i < 4; ++i)
        b[2 + i] = std::uint8_t(address >> (24 - 8 * i));
    b[6] = sub;
    std::copy(args.begin(), args.begin() + std::min<std::size_t>(args.size(), 9), b.begin() + 7);
    return b;
}

// A command block wrapper: signature, tag, data length, direction flags, LUN 0, block length 16.
inline bytes cbw(const bytes &block16, std::uint8_t flags, std::uint32_t length,
                 std::uint32_t tag = 0x01020304) {
    bytes w = {'U', 'S', 'B', 'C'};
    for (std::uint32_t v : {tag, length})
        w.insert(w.end(), {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16),
                           std::uint8_t(v >> 24)});
    w.insert(w.end(), {flags, 0, 16});
    w.insert(w.end(), block16.begin(), block16.end());
    return w;
}

// The words one after the other, each big-endian.
inline bytes be32(std::initializer_list<std::uint32_t> words) {
    bytes out;
    for (std::uint32_t v : words)
        out.insert(out.end(), {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8),
                               std::uint8_t(v)});
    return out;
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

    // A memory write of one row at address.
    reply write_row(int dev, std::uint32_t address, const bytes &row) {
        return command(dev, block(0xA5, address, {0, std::uint8_t(row.size())}), 0x00,
                       std::uint32_t(row.size()), row);
    }

    // A refresh of the area in the mode, from the image memory at address.
    reply display(int dev, std::uint32_t address, std::uint32_t mode, std::uint32_t x,
                  std::uint32_t y, std::uint32_t w, std::uint32_t h) {
        return command(dev, block(0x94), 0x00, 28, be32({address, mode, x, y, w, h, 1}));
    }

    std::vector<libusb_device_handle *> handles;
    bool started = false;
};

} // namespace testing_support

#endif
