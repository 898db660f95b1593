// The virtual controller as the host sees it through libusb: each vendor command's reply and
// effect, the Bulk-Only framing it insists on, and the journal it keeps.
#include "sim_bus_fixture.h"

#include <cstdio>

using namespace testing_support;

namespace {

constexpr std::uint32_t base = 0x00ABCDE0;
constexpr std::uint32_t partial_register = 0x18001138;
constexpr std::uint32_t engine_register = 0x18001224;

// The big-endian word at offset.
std::uint32_t word(const bytes &b, std::size_t offset) {
    return std::uint32_t(b[offset]) << 24 | std::uint32_t(b[offset + 1]) << 16 |
           std::uint32_t(b[offset + 2]) << 8 | b[offset + 3];
}

class SimController : public bus_fixture {
  protected:
    void SetUp() override {
        epdsim::reset();
        epdsim::controller_config config;
        config.panel_width = 64;
        config.panel_height = 16;
        config.img_buf_addr = base;
        config.multiID = 3;
        config.temperature = -7;
        config.busy_reads = 2;
        epdsim::add_controller(config);
        start();
    }

    std::uint32_t read_register(std::uint32_t address) {
        return word(command(0, block(0x83, address, {0, 4}), 0x80, 4).data, 0);
    }
};

TEST_F(SimController, SystemInfoRecordAndStatusWrapper) {
    reply r = command(0, block(0x80, 0x38393531, {0, 1, 0, 2}), 0x80, 120);
    ASSERT_EQ(r.data.size(), 120u);
    EXPECT_EQ(word(r.data, 16), 64u);
    EXPECT_EQ(word(r.data, 20), 16u);
    EXPECT_EQ(word(r.data, 28), base);
    EXPECT_EQ(word(r.data, 84), 3u);
    ASSERT_EQ(r.csw.size(), 13u);
    EXPECT_EQ(bytes(r.csw.begin(), r.csw.begin() + 8), (bytes{'U', 'S', 'B', 'S', 4, 3, 2, 1}));
    EXPECT_EQ(r.residue(), 0u);
    EXPECT_EQ(r.status(), 0);
    EXPECT_EQ(epdsim::violation_count(), 0);
}

TEST_F(SimController, MemoryWritesStoreRowsAndRefuseWhatFallsOutside) {
    EXPECT_EQ(write_row(0, base + 5 + 2 * 64, {1, 2, 3}).status(), 0);
    EXPECT_EQ(epdsim::memory_at(0, 5, 2), 1);
    EXPECT_EQ(epdsim::memory_at(0, 7, 2), 3);
    EXPECT_EQ(epdsim::memory_at(0, 8, 2), 255); // memory starts white

    const bytes before = epdsim::memory(0);
    EXPECT_EQ(write_row(0, base + 64 * 16 - 2, {9, 9, 9}).status(), 1); // runs past the end
    EXPECT_EQ(write_row(0, base - 1, {9}).status(), 1);
    // Row length in the block differs from the data length.
    EXPECT_EQ(command(0, block(0xA5, base, {0, 4}), 0x00, 3, {9, 9, 9}).status(), 1);
    EXPECT_EQ(epdsim::memory(0), before);

    bytes area = be32({base, 10, 3, 2, 2}); // address, x, y, w, rows
    area.insert(area.end(), {11, 12, 13, 14});
    EXPECT_EQ(command(0, block(0xA2), 0x00, 24, area).status(), 0);
    EXPECT_EQ(epdsim::memory_at(0, 10, 3), 11);
    EXPECT_EQ(epdsim::memory_at(0, 11, 4), 14);
    area[4 + 3] = 63; // x = 63: the rows would cross the memory's right edge
    EXPECT_EQ(command(0, block(0xA2), 0x00, 24, area).status(), 1);
    area.pop_back(); // pixels fewer than the header describes
    area[4 + 3] = 10;
    EXPECT_EQ(command(0, block(0xA2), 0x00, 23, area).status(), 1);
    EXPECT_EQ(epdsim::memory_at(0, 63, 3), 255);
}

TEST_F(SimController, RegistersKeepWritesAndTheEngineReportsBusyUnderNoise) {
    EXPECT_EQ(read_register(0x12345678), 0u);
    EXPECT_EQ(command(0, block(0x84, 0x12345678, {0, 4}), 0x00, 4, be32({0xCAFE0001})).status(), 0);
    EXPECT_EQ(read_register(0x12345678), 0xCAFE0001u);
    const std::uint32_t partial = read_register(partial_register);
    EXPECT_EQ(partial & 0x80000, 0u);
    command(0, block(0x84, partial_register, {0, 4}), 0x00, 4, be32({partial | 0x80000}));
    EXPECT_EQ(epdsim::register_value(0, partial_register), partial | 0x80000);

    EXPECT_EQ(read_register(engine_register) & 0xFFFF, 0u);
    ASSERT_EQ(display(0, base, 2, 0, 0, 64, 16).status(), 0);
    std::vector<std::uint32_t> low, high;
    for (int i = 0; i < 6; ++i) {
        std::uint32_t v = read_register(engine_register);
        low.push_back(v & 0xFFFF);
        high.push_back(v >> 16);
    }
    EXPECT_NE(low[0], 0u);
    EXPECT_NE(low[1], 0u);
    EXPECT_EQ(low[2] | low[3] | low[4] | low[5], 0u);
    for (std::uint32_t h : high)
        EXPECT_NE(h, 0u);
    // A register command whose length bytes are not 4 is refused.
    EXPECT_EQ(command(0, block(0x83, engine_register, {0, 2}), 0x80, 4).status(), 1);
}

TEST_F(SimController, RefreshRecordsItsAreaAndRefusesBadOnes) {
    command(0, block(0x84, partial_register, {0, 4}), 0x00, 4, be32({0x80000}));
    ASSERT_EQ(display(0, base, 4, 1, 2, 30, 10).status(), 0);
    ASSERT_EQ(epdsim::refreshes(0).size(), 1u);
    const epdsim::refresh_record &r = epdsim::refreshes(0)[0];
    EXPECT_EQ(r.address, base);
    EXPECT_EQ(r.mode, 4);
    EXPECT_EQ((std::vector<int>{r.x, r.y, r.w, r.h, r.arg6}), (std::vector<int>{1, 2, 30, 10, 1}));
    EXPECT_TRUE(r.partial_bit);

    EXPECT_EQ(display(0, base + 1, 2, 0, 0, 10, 10).status(), 1); // not the image buffer
    EXPECT_EQ(display(0, base, 2, 60, 0, 10, 10).status(), 1);    // past the right edge
    EXPECT_EQ(display(0, base, 2, 0, 0, 10, -1).status(), 1);
    EXPECT_EQ(epdsim::refreshes(0).size(), 1u);
}

TEST_F(SimController, PowerTemperatureAndIdentityReplies) {
    reply on = command(0, block(0xA3, 0, {0x09, 0x1A, 1, 1, 1}), 0x80, 2);
    EXPECT_EQ(on.data, (bytes{0x09, 0x1A}));
    EXPECT_TRUE(epdsim::power_on(0));
    EXPECT_EQ(epdsim::last_vcom(0), 2330);
    command(0, block(0xA3, 0, {0x09, 0x1A, 1, 1, 0}), 0x80, 2);
    EXPECT_FALSE(epdsim::power_on(0));

    EXPECT_EQ(command(0, block(0xA4, 0, {0, 0xF1}), 0x80, 2).data[0], 0xF9); // -7
    EXPECT_EQ(command(0, block(0xA4, 0, {2, 0xE2}), 0x00, 0).status(), 0);   // type 2: -30
    EXPECT_EQ(epdsim::temperature(0), -30);
    EXPECT_EQ(command(0, block(0xA4, 0, {1, 24}), 0x00, 0).status(), 0);
    EXPECT_EQ(command(0, block(0xA4, 0, {0, 0}), 0x80, 2).data[0], 24);
    EXPECT_EQ(command(0, block(0xA4, 0, {3, 0}), 0x80, 2).status(), 1); // unknown type

    EXPECT_EQ(command(0, block(0xA8), 0x80, 2).data.size(), 2u);
    EXPECT_EQ(command(0, block(0x99), 0x00, 0).status(), 1);
    bytes foreign = block(0x80);
    foreign[0] = 0x12;
    EXPECT_EQ(command(0, foreign, 0x80, 120).status(), 1);
    EXPECT_EQ(epdsim::violation_count(), 3);
}

TEST_F(SimController, CommandWhoseWrapperDisagreesWithItsBlockFailsAfterItsDataPhase) {
    reply r = command(0, block(0x80), 0x80, 100); // the record is 120 bytes
    EXPECT_EQ(r.data, bytes(100, 0));
    EXPECT_EQ(r.status(), 1);
    EXPECT_EQ(command(0, block(0x84, 0x10, {0, 4}), 0x80, 4).status(), 1); // wrong direction
    EXPECT_EQ(epdsim::register_value(0, 0x10), 0u);
    EXPECT_EQ(command(0, block(0xA4, 0, {1, 5}), 0x80, 2).status(), 1); // a write has no data
    EXPECT_EQ(epdsim::temperature(0), -7);
}

TEST_F(SimController, MalformedWrappersAreRecordedAndDiscarded) {
    bytes short_cbw = cbw(block(0xA8), 0x80, 2);
    short_cbw.pop_back();
    bytes bad_signature = cbw(block(0xA8), 0x80, 2);
    bad_signature[3] = 'D';
    bytes lun = cbw(block(0xA8), 0x80, 2);
    lun[13] = 1;
    bytes cb_length = cbw(block(0xA8), 0x80, 2);
    cb_length[14] = 12;
    for (const bytes &bad : {short_cbw, bad_signature, lun, cb_length}) {
        transfer t = out(0, bad);
        EXPECT_EQ(t.result, 0);
        EXPECT_EQ(t.moved, int(bad.size()));
        transfer nothing = in(0, 13); // no command started: the device has nothing to say
        EXPECT_EQ(nothing.result, LIBUSB_ERROR_TIMEOUT);
        EXPECT_EQ(nothing.moved, 0);
    }
    EXPECT_EQ(epdsim::violation_count(), 8);
    EXPECT_EQ(epdsim::command_count(), 0);
    const std::vector<std::string> lines = epdsim::journal_lines();
    EXPECT_EQ(lines[6], "#0007 dev=0 id=3 no-command flags=0x00 len=31 data=" +
                            std::string("55534243040302010200000080000c") + "fe0000000000a8" +
                            std::string(18, '0') +
                            " csw=- note=CBW command block length 12, discarded");
    EXPECT_EQ(lines[7], "#0008 dev=0 id=3 no-command flags=0x80 len=13 data=- csw=- "
                        "note=IN transfer with no command pending");
}

TEST_F(SimController, PhasesOutOfOrderFailTheCommandWithAPhaseError) {
    // Data-out of the wrong length.
    ASSERT_EQ(out(0, cbw(block(0x84, 0x20, {0, 4}), 0x00, 4)).result, 0);
    EXPECT_EQ(out(0, {1, 2, 3}).result, 0);
    reply r{{}, in(0, 13).data};
    EXPECT_EQ(r.status(), 2);
    EXPECT_EQ(r.residue(), 1u);
    EXPECT_EQ(epdsim::register_value(0, 0x20), 0u);

    // Status read where the data-in phase is due.
    ASSERT_EQ(out(0, cbw(block(0x80), 0x80, 120)).result, 0);
    r.csw = in(0, 13).data;
    EXPECT_EQ(r.status(), 2);
    EXPECT_EQ(r.residue(), 120u);

    // A data-in read of another length: what fits, then a phase error.
    ASSERT_EQ(out(0, cbw(block(0xA8), 0x80, 2)).result, 0);
    transfer more = in(0, 8);
    EXPECT_EQ(more.result, 0);
    EXPECT_EQ(more.moved, 2);
    EXPECT_EQ(in(0, 13).data[12], 2);

    // A new CBW while the status is still due: the old command is dropped, the new one runs.
    ASSERT_EQ(out(0, cbw(block(0xA4, 0, {1, 10}), 0x00, 0)).result, 0);
    reply next = command(0, block(0xA4, 0, {0, 0}), 0x80, 2);
    EXPECT_EQ(next.data[0], 10);
    EXPECT_EQ(next.status(), 0);

    const auto &journal = epdsim::journal();
    ASSERT_EQ(journal.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_TRUE(journal[i].violation) << journal[i].line();
    EXPECT_EQ(journal[3].csw_status, -1);
    EXPECT_FALSE(journal[4].violation);
}

TEST_F(SimController, JournalLinesFollowTheDocumentedFormat) {
    command(0, block(0xA4, 0, {2, 0xF1}), 0x00, 0);
    command(0, block(0x83, partial_register, {0, 4}), 0x80, 4);
    display(0, base, 2, 0, 0, 64, 16);
    write_row(0, base + 64 * 16 - 10, bytes(65, 0xAB));
    bytes row(64);
    std::string row_hex;
    for (int i = 0; i < 64; ++i) {
        row[std::size_t(i)] = std::uint8_t(i);
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", i);
        row_hex += pair;
    }
    write_row(0, base + 64, row);
    command(0, block(0xA3, 0, {0x09, 0x1A, 1, 1, 0}), 0x80, 2);
    std::vector<std::string> lines = epdsim::journal_lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "#0001 dev=0 id=3 temp type=2 value=-15 flags=0x00 len=0 data=- csw=0");
    EXPECT_EQ(lines[1], "#0002 dev=0 id=3 read_reg addr=0x18001138 flags=0x80 len=4 "
                        "data=00100041 csw=0");
    EXPECT_EQ(lines[2], "#0003 dev=0 id=3 display mode=2 x=0 y=0 w=64 h=16 arg6=1 flags=0x00 "
                        "len=28 data=00abcde0000000020000000000000000000000400000001000000001 "
                        "csw=0");
    EXPECT_EQ(lines[3], "#0004 dev=0 id=3 write_mem addr=0x00abd1d6 rowlen=65 flags=0x00 len=65 "
                        "data=65:7a06219a57a06a0a csw=1 note=memory write outside the image "
                        "memory");
    EXPECT_EQ(lines[4], "#0005 dev=0 id=3 write_mem addr=0x00abce20 rowlen=64 flags=0x00 len=64 "
                        "data=" +
                            row_hex + " csw=0");
    EXPECT_EQ(lines[5], "#0006 dev=0 id=3 power off vcom=2330 flags=0x80 len=2 data=091a csw=0");
}

} // namespace
