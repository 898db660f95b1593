// The bulk-only transport over the simulated bus: the wrapper's fields, the stall rule of each
// phase, the status judgement, and the refusal of controllers that are not there.
#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <string>
#include <unistd.h>
#include <vector>

#include "epdsim.h"
#include "tool.h"
#include "usb_controller.h"
#include "usb_session.h"

using namespace testing_support;

namespace {

// Vendor command blocks of the controller: a register read (4 bytes in), a register write
// (4 bytes out) and a temperature write (no data phase).
const unsigned char read_reg[16] = {0xFE, 0, 0x18, 0x00, 0x12, 0x24, 0x83, 0x00, 0x04};
const unsigned char write_reg[16] = {0xFE, 0, 0x18, 0x00, 0x10, 0x00, 0x84, 0x00, 0x04};
const unsigned char set_temp[16] = {0xFE, 0, 0, 0, 0, 0, 0xA4, 0x02, 25};

std::string attempts(const std::string &operation, int error, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += operation + " libusb_bulk_transfer() failed : " + libusb_strerror(error) +
                ", retry " + std::to_string(i) + " times\n";
    }
    return text;
}

class UsbTransport : public usb_session_test {
  protected:
    void SetUp() override {
        usb_session_test::SetUp();
        epdsim::use_layout(42);
        testing::internal::CaptureStdout();
        usb_init();
        usb_open_dev(0);
        usb_open_dev(1);
        testing::internal::GetCapturedStdout();
    }

    // Reads the status wrapper straight from the bus, past the transport.
    std::vector<unsigned char> raw_csw() {
        std::vector<unsigned char> csw(13);
        int moved = 0;
        libusb_bulk_transfer(epd_handles[0], endpoint_in, csw.data(), 13, &moved, 1000);
        csw.resize(moved);
        return csw;
    }
};

TEST_F(UsbTransport, EveryWrapperCarriesTagOneLunZeroAndTheBlockLength) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(send_cbw(0, set_temp, 0x00, 0), 0);
        std::vector<unsigned char> csw = raw_csw();
        ASSERT_EQ(csw.size(), 13u);
        EXPECT_EQ(std::vector<unsigned char>(csw.begin() + 4, csw.begin() + 8),
                  (std::vector<unsigned char>{1, 0, 0, 0}));
        EXPECT_EQ(csw[12], 0);
    }
    unsigned char value[4] = {};
    send_cbw(0, read_reg, 0x80, 4);
    usb_read(0, value, 4);
    send_cbw(0, write_reg, 0x00, 4);
    usb_write(0, value, 4);
    const auto &journal = epdsim::journal();
    ASSERT_EQ(journal.size(), 5u);
    EXPECT_EQ(journal[3].flags, 0x80);
    EXPECT_EQ(journal[3].length, 4u);
    EXPECT_EQ(journal[4].flags, 0x00);
    EXPECT_EQ(journal[4].length, 4u);
    EXPECT_EQ(journal[4].block, std::vector<std::uint8_t>(write_reg, write_reg + 16));
    EXPECT_EQ(epdsim::violation_count(), 0);
}

TEST_F(UsbTransport, NullBlockSendsNothingAndReportsNothing) {
    EXPECT_EQ(run([] { return send_cbw(0, nullptr, 0x00, 0); }), -1);
    EXPECT_EQ(err, "");
    EXPECT_TRUE(epdsim::journal().empty());
}

TEST_F(UsbTransport, StalledWrapperPhasesTryFiveTimesThenGiveUp) {
    epdsim::faults(0).stall_out = 100;
    EXPECT_EQ(run([] { return send_cbw(0, set_temp, 0x00, 0); }), -1);
    EXPECT_EQ(err, attempts("send_cbw", LIBUSB_ERROR_PIPE, 5) + "   send_mass_storage_command: " +
                       libusb_strerror(LIBUSB_ERROR_PIPE) + "\n");
    EXPECT_EQ(epdsim::clear_halts(0), std::vector<std::uint8_t>(5, 0x02));

    ASSERT_EQ(send_cbw(1, set_temp, 0x00, 0), 0);
    epdsim::faults(1).stall_in = 100;
    EXPECT_EQ(run([] { return read_csw(1, endpoint_in); }), -1);
    EXPECT_EQ(err, attempts("read_csw", LIBUSB_ERROR_PIPE, 5) +
                       "   get_mass_storage_status: " + libusb_strerror(LIBUSB_ERROR_PIPE) + "\n");
    EXPECT_EQ(epdsim::clear_halts(1), std::vector<std::uint8_t>(5, 0x81));
}

TEST_F(UsbTransport, StalledDataPhasesTryFiveTimesThenReadTheStatus) {
    unsigned char value[4] = {9, 9, 9, 9};
    ASSERT_EQ(send_cbw(0, read_reg, 0x80, 4), 0);
    epdsim::faults(0).stall_in = 100;
    EXPECT_EQ(run([&] { return usb_read(0, value, 4); }), 0);
    EXPECT_EQ(err, attempts("usb_read", LIBUSB_ERROR_PIPE, 5) +
                       attempts("read_csw", LIBUSB_ERROR_PIPE, 5) +
                       "   get_mass_storage_status: " + libusb_strerror(LIBUSB_ERROR_PIPE) + "\n");
    EXPECT_EQ(epdsim::clear_halts(0), std::vector<std::uint8_t>(10, 0x81));
    EXPECT_EQ(value[0] | value[1] | value[2] | value[3], 0);

    ASSERT_EQ(send_cbw(1, write_reg, 0x00, 4), 0);
    epdsim::faults(1).stall_out = 100;
    EXPECT_EQ(run([&] { return usb_write(1, value, 4); }), 0);
    EXPECT_EQ(err.substr(0, attempts("usb_write", LIBUSB_ERROR_PIPE, 5).size()),
              attempts("usb_write", LIBUSB_ERROR_PIPE, 5));
    EXPECT_EQ(count_holding(split_lines(err), "usb_write"), 5);
    EXPECT_EQ(epdsim::clear_halts(1), std::vector<std::uint8_t>(5, 0x02));
}

TEST_F(UsbTransport, TimeoutsAreNotRetriedAndOnlyDataPhasesReportTheAttempt) {
    epdsim::faults(0).timeout_out = 1;
    EXPECT_EQ(run([] { return send_cbw(0, set_temp, 0x00, 0); }), -1);
    EXPECT_EQ(err, std::string("   send_mass_storage_command: ") +
                       libusb_strerror(LIBUSB_ERROR_TIMEOUT) + "\n");

    ASSERT_EQ(send_cbw(1, set_temp, 0x00, 0), 0);
    epdsim::faults(1).timeout_in = 1;
    EXPECT_EQ(run([] { return read_csw(1, endpoint_in); }), -1);
    EXPECT_EQ(err, std::string("   get_mass_storage_status: ") +
                       libusb_strerror(LIBUSB_ERROR_TIMEOUT) + "\n");

    epdsim::faults(1).timeout_data = 2;
    unsigned char value[4] = {7, 7, 7, 7};
    send_cbw(1, read_reg, 0x80, 4);
    run([&] { return usb_read(1, value, 4); });
    EXPECT_EQ(err.substr(0, err.find('\n') + 1), attempts("usb_read", LIBUSB_ERROR_TIMEOUT, 1));
    EXPECT_EQ(count_holding(split_lines(err), "usb_read"), 1);
    EXPECT_EQ(value[0] | value[1] | value[2] | value[3], 0);
    send_cbw(1, write_reg, 0x00, 4);
    run([&] { return usb_write(1, value, 4); });
    EXPECT_EQ(err.substr(0, err.find('\n') + 1), attempts("usb_write", LIBUSB_ERROR_TIMEOUT, 1));
    EXPECT_EQ(count_holding(split_lines(err), "usb_write"), 1);
    // A timeout is not retried: the only halts cleared are those of the Bulk-Only reset that the
    // phase error of the read (status 2) called for before the next command.
    EXPECT_EQ(epdsim::clear_halts(1), (std::vector<std::uint8_t>{endpoint_in, endpoint_out}));
}

TEST_F(UsbTransport, StatusIsJudgedByLengthAndStatusByte) {
    epdsim::faults(0).short_csw = 1;
    send_cbw(0, set_temp, 0x00, 0);
    EXPECT_EQ(run([] { return read_csw(0, endpoint_in); }), -1);
    EXPECT_EQ(err, "   get_mass_storage_status: received 12 bytes (expected 13)\n");

    epdsim::faults(0).csw_failed = 1;
    send_cbw(0, set_temp, 0x00, 0);
    EXPECT_EQ(run([] { return read_csw(0, endpoint_in); }), -2);
    EXPECT_EQ(err, "\t\t\tMass Storage Status: 01 (FAILED)\n");

    epdsim::faults(0).csw_phase_error = 1;
    send_cbw(0, set_temp, 0x00, 0);
    EXPECT_EQ(run([] { return read_csw(0, endpoint_in); }), -1);
    EXPECT_EQ(err, "\t\t\tMass Storage Status: 02 (FAILED)\n");

    send_cbw(0, set_temp, 0x00, 0);
    EXPECT_EQ(run([] { return read_csw(0, endpoint_in); }), 0);
    EXPECT_EQ(err, "");
}

// A Bulk-Only reset that fails (here refused: its interface is not claimed) counts as a failed
// exchange and is tried again before the next command.
TEST_F(UsbTransport, ResetThatFailsIsTriedAgainBeforeTheNextCommand) {
    auto command = [] { return send_cbw(0, set_temp, 0x00, 0) + read_csw(0, endpoint_in); };
    epdsim::faults(0).csw_phase_error = 1;
    run(command);
    const int resets = epdsim::mass_storage_resets(0);
    libusb_release_interface(epd_handles[0], 0);
    run(command);
    EXPECT_EQ(err.rfind("   bulk_only_reset: Pipe error\n", 0), 0u) << err; // the command fails too
    EXPECT_EQ(epdsim::mass_storage_resets(0), resets);
    libusb_claim_interface(epd_handles[0], 0);
    run(command);
    EXPECT_EQ(err, "");
    EXPECT_EQ(epdsim::mass_storage_resets(0), resets + 1);
}

// The health count of controller 0 over commands whose status passed (P), failed (1), was a phase
// error (2) or came short (S): ten failed exchanges in a row fail the controller; only a status of
// 0 clears the count, and a short status wrapper neither counts nor clears. Only a phase error
// brings the Bulk-Only reset before the next command.
TEST_F(UsbTransport, TenFailedExchangesInARowFailTheControllerAndOnlyStatusZeroClearsThem) {
    // Outcomes: status 1 or 2, passed, a short status wrapper, a status that never arrives.
    const std::string answered_failed = "answered 10 commands in a row with status 0";
    const struct {
        std::string outcomes;
        bool failed;
        std::string cause = "";
    } rows[] = {
        {"1111111111", true, answered_failed + "1 (FAILED)"},
        {"111111111", false},
        {"2222222222", true, answered_failed + "2 (FAILED)"},
        {"111111111P111111111", false},
        {"111111111S", false},
        {"111111111S1", true, answered_failed + "1 (FAILED)"},
        {"SSSSSSSSSSSS", false},
        {"P1P", false},
        {"111111111T", true,
         "had 10 failed exchanges in a row (failed transfers: 1, the last: Operation timed out; "
         "answers with a failed status: 9)"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.outcomes);
        run([] {
            usb_close();
            usb_init();
            usb_open_dev(0);
        });
        int resets = epdsim::mass_storage_resets(0);
        char last = 'P';
        for (const char outcome : row.outcomes) {
            epdsim::controller_faults &faults = epdsim::faults(0);
            faults.csw_failed = outcome == '1';
            faults.csw_phase_error = outcome == '2';
            faults.short_csw = outcome == 'S';
            faults.timeout_in = outcome == 'T';
            run([] { return send_cbw(0, set_temp, 0x00, 0) + read_csw(0, endpoint_in); });
            EXPECT_EQ(epdsim::mass_storage_resets(0), resets + (last == '2')) << outcome;
            resets = epdsim::mass_storage_resets(0);
            last = outcome;
        }
        EXPECT_EQ(usb_controller_failed(0), row.failed);
        if (row.failed) {
            EXPECT_EQ(usb_failure_cause(0), row.cause);
        }
    }
}

// The data of a read whose status says it failed is not trusted, whatever arrived.
TEST_F(UsbTransport, ReadThatFailedGivesZeros) {
    epdsim::set_in_transfer_hook([](int, unsigned char *data, int length, int *, int result) {
        if (length == 4) {
            std::fill(data, data + length, 9);
        }
        return result;
    });
    for (const bool fails : {false, true}) {
        unsigned char value[4] = {};
        epdsim::faults(0).csw_failed = fails;
        run([&] { return send_cbw(0, read_reg, 0x80, 4) + usb_read(0, value, 4); });
        EXPECT_EQ(value[0] | value[1] | value[2] | value[3], fails ? 0 : 9);
    }
    epdsim::set_in_transfer_hook({});
}

TEST_F(UsbTransport, ControllerThatLeftTheBusIsReportedOnceThenOneLinePerCommand) {
    epdsim::faults(0).gone_from_command = 2;
    unsigned char value[4] = {5, 5, 5, 5};
    send_cbw(0, read_reg, 0x80, 4);
    usb_read(0, value, 4);
    EXPECT_EQ(usb_present_count(), 2);

    run([&] { return send_cbw(0, read_reg, 0x80, 4) + usb_read(0, value, 4); });
    EXPECT_EQ(err, std::string("   send_mass_storage_command: ") +
                       libusb_strerror(LIBUSB_ERROR_NO_DEVICE) +
                       "\ncontroller 0 has left the bus: its commands are no longer sent\n");
    EXPECT_EQ(value[0] | value[1] | value[2] | value[3], 0);
    EXPECT_TRUE(usb_dev_gone(0));
    EXPECT_FALSE(usb_dev_gone(1));
    EXPECT_EQ(usb_present_count(), 1);

    const size_t journaled = epdsim::journal().size();
    run([&] { return send_cbw(0, write_reg, 0x00, 4) + usb_write(0, value, 4); });
    EXPECT_EQ(err, "send_cbw: controller 0 has left the bus, command 0x84 not sent\n");
    run([&] { return send_cbw(0, set_temp, 0x00, 0) + read_csw(0, endpoint_in); });
    EXPECT_EQ(err, "send_cbw: controller 0 has left the bus, command 0xA4 not sent\n");
    EXPECT_EQ(epdsim::journal().size(), journaled);

    epdsim::faults(1).gone_from_command = 1;
    run([] { return send_cbw(1, set_temp, 0x00, 0); });
    EXPECT_EQ(usb_present_count(), 0);
}

TEST_F(UsbTransport, BadIndexesAndSizesAreRefusedBeforeTheBus) {
    unsigned char value[4] = {1, 1, 1, 1};
    EXPECT_EQ(run([] { return send_cbw(2, read_reg, 0x80, 4); }), -1);
    EXPECT_EQ(err, "send_cbw: no controller 2\n");
    EXPECT_EQ(run([&] { return usb_read(-1, value, 4); }), -1);
    EXPECT_EQ(err, "usb_read: no controller -1\n");
    EXPECT_EQ(value[0], 0);
    EXPECT_EQ(run([&] { return usb_write(0, value, -4); }), -1);
    EXPECT_EQ(err, "usb_write: invalid buffer of -4 bytes for controller 0\n");
    EXPECT_EQ(run([&] { return usb_read(0, value, -1); }), -1);
    EXPECT_EQ(err, "usb_read: invalid buffer of -1 bytes for controller 0\n");
    EXPECT_EQ(run([] { return send_cbw(0, read_reg, 0x80, -1); }), -1);
    EXPECT_EQ(err, "send_cbw: invalid data length -1 for controller 0\n");
    EXPECT_TRUE(epdsim::journal().empty());
    EXPECT_TRUE(usb_dev_gone(7));
}

} // namespace
