// Diagnostics: error reports, the timestamp, the hex dump and the byte-order helpers.
#include <gtest/gtest.h>

#include "test_support.h"
#include "tool.h"

using namespace testing_support;

TEST(Timestamp, HasTheDateTimeAndTab) {
    char text[80];
    current_date_time(text);
    EXPECT_TRUE(matches(text, log_stamp)) << text;
}

TEST(ErrorReport, WithoutLogNoticeOnStdoutAndMessageOnStderr) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int written = perr(nullptr, "send_cbw failed : %s, retry %d times\n", "Pipe error", 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "tool, perr. log file is null\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "send_cbw failed : Pipe error, retry 3 times\n");
    EXPECT_EQ(written, 44);
}

TEST(ErrorReport, LogEntriesCarryTheTimestampAndMayShareALine) {
    temp_dir dir;
    std::string path = dir.file("log.txt");
    FILE *stream = fopen(path.c_str(), "w+");
    ASSERT_NE(stream, nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    perr(stream, "libusb_open() failed : %s", "Access denied");
    perr(stream, "Interface Failed!!\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "libusb_open() failed : Access deniedInterface Failed!!\n");
    fclose(stream);
    EXPECT_TRUE(matches(read_file(path), log_stamp + "libusb_open\\(\\) failed : Access denied" +
                                             log_stamp + "Interface Failed!!\n"))
        << read_file(path);
}

// A report that comes back command after command: written five times for each controller and
// text, then counted; the count is summed up (thousands grouped) once that controller's repeats
// end, and a new run counts afresh.
TEST(ErrorReport, RepeatedReportsAreWrittenFiveTimesThenSummedUpPerController) {
    temp_dir dir;
    log_file = fopen(dir.file("log.txt").c_str(), "w");
    ASSERT_NE(log_file, nullptr);
    fputs("Start :2030-01-01.12:00:00\t\n", log_file);
    auto reports = [](int controller, const char *text, int times) {
        for (int i = 0; i < times; ++i) {
            perr_repeating(controller, "%s\n", text);
        }
    };
    testing::internal::CaptureStderr();
    reports(0, "stall", 1086);
    reports(1, "stall", 5);
    reports(0, "short", 100);
    end_repeated_reports(1); // all five written: nothing to sum up; controller 0 still counts
    reports(1, "stall", 1);
    end_repeated_reports(-1);
    reports(0, "gone", 6);
    forget_repeated_reports();
    reports(0, "gone", 1);
    end_repeated_reports(-1);
    const std::string err = testing::internal::GetCapturedStderr();
    log_close();
    lines expected;
    for (const char *text : {"stall", "stall", "short"}) {
        expected.insert(expected.end(), 5, text);
    }
    expected.insert(expected.end(),
                    {"stall", "short ... repeated 100 times", "stall ... repeated 1,086 times"});
    expected.insert(expected.end(), 6, "gone");
    EXPECT_EQ(split_lines(err), expected);
    EXPECT_EQ(log_messages(dir.file("log.txt")), expected);
}

namespace {
std::string dump(const std::vector<unsigned char> &bytes) {
    testing::internal::CaptureStdout();
    display_buffer_hex(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return testing::internal::GetCapturedStdout();
}
} // namespace

TEST(HexDump, RowsCellsAndTextColumn) {
    EXPECT_EQ(dump({}), "\n");

    std::vector<unsigned char> sixteen;
    for (unsigned char b = 0x1E; b < 0x2E; ++b) {
        sixteen.push_back(b);
    }
    EXPECT_EQ(dump(sixteen), "\n  00000000  1e 1f 20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d  "
                             ".. !\"#$%&'()*+,-\n");

    std::vector<unsigned char> seventeen(16, 0x7E);
    seventeen.push_back(0x7F);
    std::string blank_cells(15 * 3, ' ');
    EXPECT_EQ(dump(seventeen), "\n  00000000  7e 7e 7e 7e 7e 7e 7e 7e 7e 7e 7e 7e 7e 7e 7e 7e  "
                               "~~~~~~~~~~~~~~~~\n  00000010  7f " +
                                   blank_cells + " .\n");
}

TEST(ByteOrder, WordSwapLeavesTheRemainderAlone) {
    unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t words[2];
    memcpy(words, bytes, 8);
    EndianLittleBig(words, 7);
    memcpy(bytes, words, 8);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 8),
              (std::vector<unsigned char>{4, 3, 2, 1, 5, 6, 7, 8}));
    EndianLittleBig(words, 3);
    memcpy(bytes, words, 8);
    EXPECT_EQ(bytes[0], 4);
}

TEST(ByteOrder, BigEndianReadIsSigned) {
    const unsigned char a[] = {0x00, 0x00, 0x01, 0x02};
    const unsigned char b[] = {0xFF, 0xFF, 0xFF, 0xFE};
    const unsigned char c[] = {0x80, 0x00, 0x00, 0x01};
    EXPECT_EQ(endian_big_to_little(a), 258);
    EXPECT_EQ(endian_big_to_little(b), -2);
    EXPECT_EQ(endian_big_to_little(c), -2147483647);
}
