// A flaky bus under a running show, end to end: epdshow-sim plays two pictures on a small virtual
// panel while the simulated controllers stall, time out, or answer with short or failed status
// wrappers from a given command on. Each test checks the exact reports on standard error and in
// log.txt, the player's lines, the exit status, and what the panel showed afterwards.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "sim_show.h"

#include <map>
#include <sys/stat.h>

using namespace testing_support;

namespace {

class TransportFaults : public sim_show {
  protected:
    void SetUp() override {
        sim_show::SetUp();
        first = numbered_picture(90, 60, 1);
        second = numbered_picture(70, 50, 2);
        cv::imwrite(dir.file("img/first.png"), first);
        cv::imwrite(dir.file("img/second.png"), second);
    }

    run_result play_with(const std::string &faults) {
        panel.faults = faults;
        return play(one_pass({"first.png", "second.png"}));
    }

    // The show ran to its end: both pictures announced, the stop element, "Done", status 0.
    static void expect_whole_show(const run_result &r) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(lines_starting(r.out, {"Display : ", "stop tag", "Done"}),
                  (lines{"Display : first.png ", "Display : second.png ", "stop tag end and exit\r",
                         "Done"}));
    }

    // The journal's entries of controller index dev: "flags=0x80" tells a data-in command.
    lines journal_of(int dev) {
        lines entries;
        for (const std::string &line : journal()) {
            if (line.find(" dev=" + std::to_string(dev) + " ") != std::string::npos) {
                entries.push_back(line);
            }
        }
        return entries;
    }

    cv::Mat first, second;
};

std::string stall_reports(const char *operation) {
    std::string text;
    for (int attempt = 0; attempt < 5; ++attempt) {
        text += std::string(operation) + " libusb_bulk_transfer() failed : Pipe error, retry " +
                std::to_string(attempt) + " times\n";
    }
    return text;
}

} // namespace

TEST_F(TransportFaults, EndpointThatStallsOnEveryAttemptFailsTheControllerAfterTenExchanges) {
    // From its 5th command on, every IN transfer of controller 1 (the top band) stalls: each
    // data-in phase and each status wrapper is tried five times, with the halt cleared each time,
    // and none arrives. A status that never arrives is a failed exchange: after ten in a row the
    // controller fails as a hung one does, and the panel is looked for again, in vain (its record
    // cannot be read either), until a stop request. Each report is written five times, then
    // counted and summed up when the show ends.
    panel.faults = "dev1.from=5,dev1.stall-in=1000000";
    run_result r = play(one_pass({"first.png", "second.png"}),
                        {{"EPDSIM_CLOCK", "virtual"}, {"EPDSIM_RAISE", "SIGTERM@60"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(stall_reports("read_csw") + "   get_mass_storage_status: Pipe error\n" +
                         "Error: the panel failed: controller 1 (slot 1, multi ID 1, bus 1, "
                         "device 3) did not answer: 10 transfers in a row failed (the last: "
                         "Pipe error). The image img/first.png is given up"),
              std::string::npos)
        << r.err;
    std::map<std::string, int> seen;
    for (const std::string &line : split_lines(r.err)) {
        if (line.rfind("Error: ", 0) != 0) {
            EXPECT_LE(++seen[line], 5) << line;
        }
    }
    EXPECT_EQ(count_holding(split_lines(r.err), "Pipe error, retry 0 times ... repeated"), 2);
    EXPECT_GE(count_starting(r.out, "Looking for the panel"), 3);
    EXPECT_LE(r.err.size(), 20000u);
    expect_log_holds(r.err);
}

TEST_F(TransportFaults, MemoryWritesWhoseDataPhaseTimesOutAreReportedAndOnlyTheirRowsAreMissing) {
    // The data phases of controller 0's first three row writes time out; a timeout is not
    // retried, the controller abandons the command and says so in its status (phase error).
    run_result r = play_with("dev0.from=3,dev0.timeout-data=3");
    expect_whole_show(r);
    std::string expected;
    for (int row = 0; row < 3; ++row) {
        expected += "usb_write libusb_bulk_transfer() failed : Operation timed out, retry 0 "
                    "times\n\t\t\tMass Storage Status: 02 (FAILED)\n";
    }
    EXPECT_EQ(r.err, expected);
    expect_log_holds(r.err);
    // Each phase error is followed by the Bulk-Only reset before the next command.
    const lines journal = journal_of(0);
    for (int i = 2; i < 8; i += 2) {
        EXPECT_NE(journal[i].find("write_mem"), std::string::npos) << journal[i];
        EXPECT_NE(journal[i].find("csw=2"), std::string::npos) << journal[i];
        EXPECT_NE(journal[i + 1].find("mass-storage-reset iface=0 "), std::string::npos)
            << journal[i + 1];
    }

    // Memory rows 0 to 2 of the bottom band are the panel's three lowest rows (that band is
    // turned by a half turn): they stay as they were (white); every other pixel is the picture.
    cv::Mat expected_first = shown_whole(first);
    expected_first.rowRange(77, 80).setTo(255);
    EXPECT_EQ(differing_pixels(frame(1), expected_first), 0);
    // The next picture writes every row again.
    EXPECT_EQ(differing_pixels(frame(2), shown_whole(second)), 0);
}

TEST_F(TransportFaults, ShortStatusWrapperIsReportedAndItsCommandStands) {
    run_result r = play_with("dev1.from=4,dev1.short-csw=2");
    expect_whole_show(r);
    EXPECT_EQ(r.err, "   get_mass_storage_status: received 12 bytes (expected 13)\n"
                     "   get_mass_storage_status: received 12 bytes (expected 13)\n");
    expect_log_holds(r.err);
    EXPECT_EQ(differing_pixels(frame(1), shown_whole(first)), 0);
}

TEST_F(TransportFaults, FailedStatusIsReportedAndItsRowIsNotWritten) {
    // Controller 0 refuses its first two row writes (status 1): they have no effect.
    run_result r = play_with("dev0.from=3,dev0.csw-fail=2");
    expect_whole_show(r);
    EXPECT_EQ(r.err, "\t\t\tMass Storage Status: 01 (FAILED)\n"
                     "\t\t\tMass Storage Status: 01 (FAILED)\n");
    expect_log_holds(r.err);
    cv::Mat expected_first = shown_whole(first);
    expected_first.rowRange(78, 80).setTo(255);
    EXPECT_EQ(differing_pixels(frame(1), expected_first), 0);
    EXPECT_EQ(differing_pixels(frame(2), shown_whole(second)), 0);
}

TEST_F(TransportFaults, ValuesThatWereNotReadAreNeitherWrittenBackNorTakenForZero) {
    // Both temperature reads of the first picture fail: no temperature is written, and with no
    // reading before, the engines are polled instead of the cold wait a 0 would bring.
    panel.temperatures = "31";
    panel.faults = "dev0.from=2,dev0.csw-fail=1,dev1.from=2,dev1.csw-fail=1";
    show_settings write_back;
    write_back.en_set_temperature = 0;
    run_result r = play(playlist("<image_name><full_update><img>first.png</img><img>second.png"
                                 "</img></full_update><stop>end</stop></image_name>",
                                 write_back));
    expect_whole_show(r);
    EXPECT_EQ(r.err, "\t\t\tMass Storage Status: 01 (FAILED)\n"
                     "\t\t\tMass Storage Status: 01 (FAILED)\n"
                     "Warning: no controller reported its temperature: none is written back, "
                     "and the update goes by the LUT engine poll\n");
    expect_log_holds(r.err);
    EXPECT_EQ(lines_starting(r.out, {"Temperature", "Write Temperature", "Read from Register"}),
              (lines{"Temperature = unknown", "Read from Register - 0x18001224 to check LUT engine",
                     "Write Temperature (0xA4)", "Temperature = 31",
                     "Read from Register - 0x18001224 to check LUT engine"}));
    EXPECT_EQ(count_holding(journal(), " temp type=2 value=31 "), 2);
    EXPECT_EQ(count_holding(journal(), " temp type=2 "), 2);

    // The read of controller 1's partial-bit register fails (its 43rd command, the first picture's
    // refresh): the register keeps its other bits, the bit is not written.
    panel.faults = "dev1.from=43,dev1.csw-fail=1";
    r = play(one_pass({"first.png", "second.png"}));
    expect_whole_show(r);
    EXPECT_EQ(r.err, "\t\t\tMass Storage Status: 01 (FAILED)\n"
                     "Warning: controller 1 (slot 1): the read of register 0x18001138 failed; its "
                     "partial bit is left as it was\n");
    EXPECT_EQ(count_holding(journal_of(1), " write_reg addr=0x18001138 "), 1);
    EXPECT_EQ(count_starting(r.out, "[1]Disable Partial Bit 19 done"), 1);

    // The first read of controller 0's LUT engine register fails (its 47th command): a read that
    // failed says nothing, so the engines count as busy and are read again before power-off.
    const int polls = count_holding(journal_of(0), " read_reg addr=0x18001224 ");
    panel.faults = "dev0.from=47,dev0.csw-fail=1";
    r = play(one_pass({"first.png", "second.png"}));
    expect_whole_show(r);
    EXPECT_EQ(r.err, "\t\t\tMass Storage Status: 01 (FAILED)\n");
    EXPECT_EQ(count_starting(r.out, "LUT engine is busy!"), 1);
    EXPECT_EQ(count_holding(journal_of(0), " read_reg addr=0x18001224 "), polls + 1);
}

TEST_F(TransportFaults, LogThatCannotBeCreatedLeavesTheReportsOnStandardError) {
    // A folder where log.txt should go: the file cannot be created, not even by root.
    ASSERT_EQ(mkdir(dir.file("log.txt").c_str(), 0755), 0);
    run_result r = play_with("dev0.from=3,dev0.csw-fail=1");
    expect_whole_show(r);
    EXPECT_EQ(count_starting(r.out, "file open failed"), 1);
    EXPECT_EQ(count_starting(r.out, "file open Success!"), 0);
    // Each report says on standard output that there is no log, and goes to standard error.
    EXPECT_EQ(count_starting(r.out, "tool, perr. log file is null"), 1);
    EXPECT_EQ(r.err, "Error: cannot open the log file " + dir.path() +
                         "/log.txt: Is a directory\n\t\t\tMass Storage Status: 01 (FAILED)\n");
    struct stat st;
    ASSERT_EQ(stat(dir.file("log.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}
