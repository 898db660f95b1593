#include "img_proc.h"
#include "picture_file.h"

#include "pictures.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fcntl.h>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#ifdef EPDSHOW_SANITIZED
// An allocation past any memory gives null under AddressSanitizer too, as it does in a plain build.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}
#endif

using namespace testing_support;

namespace {

// When set, runs once right after the next read() of this test program: as a write of another
// program would land while a picture is being read.
std::function<void()> after_next_read;

} // namespace

// Stands in for the C library's read() in this test program; it reads as that one does.
extern "C" ssize_t read(int fd, void *buffer, size_t count) {
    const ssize_t got = syscall(SYS_read, fd, buffer, count);
    if (after_next_read) {
        const std::function<void()> act = std::move(after_next_read);
        after_next_read = nullptr;
        act();
    }
    return got;
}

namespace {

using bytes = std::vector<unsigned char>;

// The 3 x 2 picture with 1, 2, 3 in its top row and 4, 5, 6 in its bottom row.
std::string write_three_by_two(const temp_dir &dir) {
    cv::Mat picture = (cv::Mat_<uchar>(2, 3) << 1, 2, 3, 4, 5, 6);
    std::string path = dir.file("three_by_two.png");
    cv::imwrite(path, picture);
    return path;
}

std::string write_two_by_two(const temp_dir &dir) {
    cv::Mat picture = (cv::Mat_<uchar>(2, 2) << 1, 2, 3, 4);
    std::string path = dir.file("two_by_two.png");
    cv::imwrite(path, picture);
    return path;
}

bytes rows_of(const cv::Mat &picture) {
    bytes out;
    for (int r = 0; r < picture.rows; ++r) {
        for (int c = 0; c < picture.cols; ++c) {
            out.push_back(picture.at<uchar>(r, c));
        }
    }
    return out;
}

bytes band_bytes(const band_buffer &band, size_t size) {
    const auto *start = reinterpret_cast<const unsigned char *>(band.get());
    return bytes(start, start + size);
}

struct turn_case {
    int rotate;
    int w, h;
    bytes expected;
};

void PrintTo(const turn_case &c, std::ostream *out) {
    *out << "rotate " << c.rotate;
}

class ImgProcTurn : public testing::TestWithParam<turn_case> {};

TEST_P(ImgProcTurn, TurnsBeforeScalingToTheTurnedSize) {
    temp_dir dir;
    const turn_case &c = GetParam();
    img_proc loader(write_three_by_two(dir).c_str(), c.w, c.h, c.rotate);
    ASSERT_EQ(loader.get_picture().cols, c.w);
    ASSERT_EQ(loader.get_picture().rows, c.h);
    EXPECT_EQ(loader.get_picture().type(), CV_8UC1);
    EXPECT_EQ(rows_of(loader.get_picture()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Angles, ImgProcTurn,
                         testing::Values(turn_case{90, 2, 3, {3, 6, 2, 5, 1, 4}},
                                         turn_case{270, 2, 3, {4, 1, 5, 2, 6, 3}},
                                         turn_case{180, 3, 2, {6, 5, 4, 3, 2, 1}},
                                         turn_case{0, 3, 2, {1, 2, 3, 4, 5, 6}},
                                         turn_case{45, 3, 2, {1, 2, 3, 4, 5, 6}}));

// Pictures larger than a few pixels go through the blocked turn and the word-wise band copy; odd
// sizes leave edges outside whole blocks. Each must match OpenCV's own transpose and flip.
TEST(ImgProc, TurnsAndCutsLargerPicturesPixelForPixel) {
    temp_dir dir;
    for (const cv::Size size : {cv::Size(8, 8), cv::Size(77, 45), cv::Size(130, 203)}) {
        cv::Mat source(size, CV_8UC1);
        cv::randu(source, 0, 256);
        const std::string path = dir.file("random.png");
        cv::imwrite(path, source);
        for (int rotate : {90, 270, 180, 0}) {
            const cv::Mat expected = turned(source, rotate);
            img_proc loader(path.c_str(), expected.cols, expected.rows, rotate);
            ASSERT_EQ(loader.get_picture().size(), expected.size()) << rotate;
            EXPECT_EQ(cv::countNonZero(loader.get_picture() != expected), 0)
                << size << " rotate " << rotate;

            // The whole picture with flip false is the picture turned by a half turn.
            const size_t count = expected.total();
            cv::Mat half_turn;
            cv::flip(expected, half_turn, -1);
            EXPECT_EQ(band_bytes(loader.getArea(0, 0, expected.cols, expected.rows, false), count),
                      rows_of(half_turn));
        }
    }
}

TEST(ImgProc, ScalesToExactlyTheSizeAskedFor) {
    temp_dir dir;
    img_proc loader(write_three_by_two(dir).c_str(), 7, 5, 90);
    EXPECT_EQ(loader.get_picture().cols, 7);
    EXPECT_EQ(loader.get_picture().rows, 5);
}

TEST(ImgProc, ColourFileBecomesOneGreyChannel) {
    temp_dir dir;
    std::string path = dir.file("colour.png");
    cv::imwrite(path, cv::Mat(4, 4, CV_8UC3, cv::Scalar(10, 200, 60)));
    img_proc loader(path.c_str(), 4, 4, 0);
    EXPECT_EQ(loader.get_picture().type(), CV_8UC1);
}

TEST(ImgProc, UndecodableFileReportsAndLeavesAnEmptyPicture) {
    temp_dir dir;
    std::string path = dir.write("not_an_image.png", "plain text");
    testing::internal::CaptureStdout();
    img_proc loader(path.c_str(), 4, 4, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: Open Image File Fail\n");
    EXPECT_TRUE(loader.empty());

    testing::internal::CaptureStdout();
    img_proc missing(dir.file("missing.png").c_str(), 4, 4, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: Open Image File Fail\n");
}

namespace {

// Why a cut of a picture file is refused: the reason its first bytes give.
std::string reason_for_cut(const std::string &extension, size_t kept) {
    const size_t signature = extension == ".jpg" ? 3 : extension == ".png" ? 8 : 12;
    if (kept == 0) {
        return "is empty";
    }
    if (kept < signature) {
        return "not a picture format this build reads";
    }
    return extension == ".jpg"   ? "cut short: the JPEG file ends before its end marker"
           : extension == ".png" ? "cut short: the PNG file ends before its IEND chunk"
                                 : "cut short: the WebP file is shorter than its header says";
}

} // namespace

// Every cut of a picture file (a copy still in progress) is refused, never shown, with the reason
// its bytes give; the whole file reads, a picture without transparency exactly as OpenCV's grey
// read gives it, one with transparency laid on white, rounded to the nearest grey.
TEST(PictureFile, EveryCutOfAPictureIsRefusedAndTheWholeReads) {
    temp_dir dir;
    const cv::Mat grey = numbered_picture(24, 16);
    const cv::Mat alpha = numbered_picture(24, 16, 1);
    cv::Mat clear, laid(grey.size(), CV_8UC1);
    cv::merge(std::vector<cv::Mat>{grey, grey, grey, alpha}, clear);
    for (int y = 0; y < grey.rows; ++y) {
        for (int x = 0; x < grey.cols; ++x) {
            const int a = alpha.at<uchar>(y, x);
            laid.at<uchar>(y, x) =
                static_cast<uchar>((grey.at<uchar>(y, x) * a + 255 * (255 - a) + 127) / 255);
        }
    }
    const std::pair<std::string, cv::Mat> files[] = {
        {".jpg", grey}, {".png", grey}, {".png", clear}, {".webp", clear}};
    for (const auto &file : files) {
        std::vector<uchar> encoded;
        ASSERT_TRUE(
            cv::imencode(file.first, file.second, encoded, {cv::IMWRITE_WEBP_QUALITY, 101}));
        const std::string whole(encoded.begin(), encoded.end());
        const std::string path = dir.write("whole" + file.first, whole);
        const picture_file read = read_picture(path.c_str());
        EXPECT_EQ(read.problem, "") << file.first;
        ASSERT_EQ(read.grey.size(), grey.size()) << file.first;
        if (file.second.channels() == 1) {
            EXPECT_EQ(differing_pixels(read.grey, cv::imread(path, cv::IMREAD_GRAYSCALE)), 0);
        } else {
            EXPECT_EQ(differing_pixels(read.grey, laid), 0) << "laid on white, " << file.first;
        }
        for (size_t kept = 0; kept < whole.size(); ++kept) {
            const std::string cut = dir.write("cut" + file.first, whole.substr(0, kept));
            const picture_file refused = read_picture(cut.c_str());
            EXPECT_TRUE(refused.grey.empty()) << file.first << " cut to " << kept << " bytes";
            EXPECT_EQ(refused.problem, reason_for_cut(file.first, kept))
                << file.first << " cut to " << kept << " bytes";
        }
    }
}

// A copy that overwrites a picture in place while the show reads it could give half of each: such
// a picture is refused for this turn, and read whole at the next. A change shows in the file's
// size or its time of change, to the nanosecond.
TEST(PictureFile, APictureRewrittenWhileReadIsRefusedForThisTurn) {
    temp_dir dir;
    std::vector<uchar> encoded;
    ASSERT_TRUE(cv::imencode(".jpg", numbered_picture(24, 16), encoded));
    const std::string whole(encoded.begin(), encoded.end());
    const std::string path = dir.write("photo.jpg", whole);
    const timespec long_ago[2] = {{1577836800, 0}, {1577836800, 0}};
    const timespec a_moment_later[2] = {{1577836800, 1}, {1577836800, 1}};
    const std::function<void()> changes[] = {
        [&] { std::ofstream(path, std::ios::in | std::ios::binary) << whole; },
        [&] { utimensat(AT_FDCWD, path.c_str(), a_moment_later, 0); },
        [&] {
            std::ofstream(path, std::ios::app | std::ios::binary) << "more";
            utimensat(AT_FDCWD, path.c_str(), long_ago, 0);
        },
    };
    for (const std::function<void()> &change : changes) {
        dir.write("photo.jpg", whole);
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), long_ago, 0), 0);
        after_next_read = change;
        const picture_file changed = read_picture(path.c_str());
        EXPECT_EQ(changed.problem, "changed while read");
        EXPECT_TRUE(changed.grey.empty());
        EXPECT_EQ(read_picture(path.c_str()).problem, "");
    }
}

TEST(ImgProc, SizePastAnyMemoryLeavesAnEmptyPicture) {
    temp_dir dir;
    testing::internal::CaptureStdout();
    img_proc loader(write_three_by_two(dir).c_str(), 1 << 20, 1 << 30, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error: cannot scale the image to 1048576 x 1073741824\n");
    EXPECT_TRUE(loader.empty());
    EXPECT_EQ(loader.getArea(0, 0, 1, 1, true), nullptr);
}

TEST(ImgProcGetArea, ReversesColumnsAndTurnsRowsUnlessFlip) {
    temp_dir dir;
    img_proc loader(write_two_by_two(dir).c_str(), 2, 2, 0);
    band_buffer turned = loader.getArea(0, 0, 2, 2, false);
    band_buffer mirrored = loader.getArea(0, 0, 2, 2, true);
    ASSERT_TRUE(turned && mirrored);
    EXPECT_EQ(band_bytes(turned, 4), (bytes{4, 3, 2, 1}));
    EXPECT_EQ(band_bytes(mirrored, 4), (bytes{2, 1, 4, 3}));
}

TEST(ImgProcGetArea, CutsAnInnerRectangle) {
    temp_dir dir;
    img_proc loader(write_three_by_two(dir).c_str(), 3, 2, 0);
    EXPECT_EQ(band_bytes(loader.getArea(1, 0, 2, 2, false), 4), (bytes{6, 5, 3, 2}));
    EXPECT_EQ(band_bytes(loader.getArea(0, 1, 3, 1, true), 3), (bytes{6, 5, 4}));
}

TEST(ImgProcGetArea, RepeatedCutsGiveEqualBytesInNewBuffersAndKeepThePicture) {
    temp_dir dir;
    img_proc loader(write_three_by_two(dir).c_str(), 3, 2, 0);
    band_buffer first = loader.getArea(0, 0, 3, 2, false);
    band_buffer second = loader.getArea(0, 0, 3, 2, false);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(band_bytes(first, 6), band_bytes(second, 6));
    EXPECT_EQ(rows_of(loader.get_picture()), (bytes{1, 2, 3, 4, 5, 6}));
}

TEST(ImgProcGetArea, ZeroRowBandInsideOrAtTheBottomEdgeIsARealBuffer) {
    temp_dir dir;
    img_proc loader(write_three_by_two(dir).c_str(), 3, 2, 0);
    EXPECT_NE(loader.getArea(0, 1, 3, 0, true), nullptr);
    EXPECT_NE(loader.getArea(0, 2, 3, 0, false), nullptr);
}

TEST(ImgProcGetArea, RectangleOutsideThePictureGivesNoBuffer) {
    temp_dir dir;
    img_proc loader(write_three_by_two(dir).c_str(), 3, 2, 0);
    EXPECT_EQ(loader.getArea(0, 3, 3, 0, true), nullptr);
    EXPECT_EQ(loader.getArea(0, 1, 3, 2, true), nullptr);
    EXPECT_EQ(loader.getArea(1, 0, 3, 1, true), nullptr);
    EXPECT_EQ(loader.getArea(-1, 0, 1, 1, true), nullptr);
    EXPECT_EQ(loader.getArea(0, 0, -1, 1, true), nullptr);
    EXPECT_EQ(loader.getArea(0, 1, 3, 2147483647, true), nullptr);
}

TEST(ImgProcGetArea, EmptyPictureGivesNoBufferAtAll) {
    temp_dir dir;
    testing::internal::CaptureStdout();
    img_proc loader(dir.file("missing.png").c_str(), 3, 2, 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(loader.getArea(0, 0, 3, 2, true), nullptr);
    EXPECT_EQ(loader.getArea(0, 0, 3, 0, false), nullptr);
    EXPECT_EQ(loader.getArea(0, 0, 0, 0, false), nullptr);
}

} // namespace
