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

TEST_F(TransportFaults, EndpointThatStallsOnEveryAttemptCostsFiveTriesPerPhaseAndTheShowGoesOn) {
    // From its 5th command on, every IN transfer of controller 1 (the top band) stalls: every
    // data-in phase and every status wrapper is tried five times, with the halt cleared each time.
    // Each command's status goes through (its command block does), so the controller does not
    // fail, but the same reports come command after command: each text is written five times,
    // the numbered retries of a command together, then summed up when the show ends.
    run_result r = play_with("dev1.from=5,dev1.stall-in=1000000");
    expect_whole_show(r);

    const lines journal = journal_of(1);
    ASSERT_EQ(journal.size(), 91u); // system info, then 45 commands per picture
    std::string expected;
    std::map<std::string, int> seen;
    auto report = [&](const std::string &text) {
        if (++seen[text] <= 5) {
            expected += text;
        }
    };
    auto reports = [&](const char *operation) {
        for (const std::string &line : split_lines(stall_reports(operation))) {
            report(line + "\n");
        }
    };
    int data_in = 0;
    for (size_t i = 4; i < journal.size(); ++i) {
        if (journal[i].find("flags=0x80") != std::string::npos) {
            reports("usb_read");
            ++data_in;
        }
        reports("read_csw");
        report("   get_mass_storage_status: Pipe error\n");
    }
    EXPECT_EQ(data_in, 5); // a temperature, two partial-bit reads, two engine polls
    for (const auto &[text, count] : seen) {
        if (count > 5) {
            expected += text.substr(0, text.size() - 1) + " ... repeated " + std::to_string(count) +
                        " times\n";
        }
    }
    EXPECT_EQ(r.err, expected);
    EXPECT_LE(r.err.size(), 20000u);
    expect_log_holds(r.err);

    // A failed temperature read is no reading: the average is controller 0's.
    EXPECT_EQ(count_starting(r.out, "Temperature = 25"), 2);
    // Only status was lost: every row and refresh took effect, the panel shows both pictures.
    EXPECT_EQ(differing_pixels(frame(1), shown_whole(first)), 0);
    EXPECT_EQ(differing_pixels(frame(2), shown_whole(second)), 0);
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
    const lines journal = journal_of(0);
    for (int i = 2; i < 5; ++i) {
        EXPECT_NE(journal[i].find("write_mem"), std::string::npos) << journal[i];
        EXPECT_NE(journal[i].find("csw=2"), std::string::npos) << journal[i];
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

TEST_F(TransportFaults, LogThatCannotBeCreatedLeavesTheReportsOnStandardError) {
    // A folder where log.txt should go: the file cannot be created, not even by root.
    ASSERT_EQ(mkdir(dir.file("log.txt").c_str(), 0755), 0);
    run_result r = play_with("dev0.from=3,dev0.csw-fail=1");
    expect_whole_show(r);
    EXPECT_EQ(count_starting(r.out, "file open failed"), 1);
    EXPECT_EQ(count_starting(r.out, "file open Success!"), 0);
    // Each report says on standard output that there is no log, and goes to standard error.
    EXPECT_EQ(count_starting(r.out, "tool, perr. log file is null"), 1);
    EXPECT_EQ(r.err, "\t\t\tMass Storage Status: 01 (FAILED)\n");
    struct stat st;
    ASSERT_EQ(stat(dir.file("log.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}
