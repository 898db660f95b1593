// Picture files the loader cannot use, or must convert, end to end on epdshow-sim: each bad file
// gives the loader's message and its reason, costs no refresh, and the show goes on without a
// crash; the panel keeps showing the last good picture; pictures that are not 8-bit grey, or
// that are transparent, are shown as 8-bit grey.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "sim_show.h"

#include <algorithm>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

const char *const load_failed = "Error: Open Image File Fail";

using forged::put_be32;
using forged::put_chunk;

// A zlib stream of stored (uncompressed) blocks holding data, as a PNG's pixel data.
std::string stored_zlib(const std::string &data) {
    std::string stream = "\x78\x01";
    size_t at = 0;
    do {
        const size_t length = std::min<size_t>(data.size() - at, 65535);
        stream += static_cast<char>(at + length == data.size() ? 1 : 0);
        for (uint32_t field : {uint32_t(length), uint32_t(~length & 0xFFFF)}) {
            stream += static_cast<char>(field & 0xFF);
            stream += static_cast<char>(field >> 8);
        }
        stream += data.substr(at, length);
        at += length;
    } while (at < data.size());
    uint32_t a = 1, b = 0;
    for (unsigned char byte : data) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    put_be32(stream, b << 16 | a);
    return stream;
}

// The signature and header of a PNG of 8-bit samples.
std::string png_header(uint32_t w, uint32_t h, int colour_type) {
    std::string file = "\x89PNG\r\n\x1a\n";
    std::string header = "IHDR";
    put_be32(header, w);
    put_be32(header, h);
    header += '\x08';
    header += static_cast<char>(colour_type);
    header += std::string(3, '\0');
    put_chunk(file, header);
    return file;
}

// A whole PNG of 8-bit samples of colour_type (4: grey and alpha; 3: palette), each row given
// without its filter byte, the chunks in between (a palette and its transparency) after the header.
std::string png_file(uint32_t w, int colour_type, const std::vector<std::string> &rows,
                     const std::string &chunks = "") {
    std::string pixels;
    for (const std::string &row : rows) {
        pixels += '\0' + row;
    }
    std::string file = png_header(w, static_cast<uint32_t>(rows.size()), colour_type) + chunks;
    put_chunk(file, "IDAT" + stored_zlib(pixels));
    put_chunk(file, "IEND");
    return file;
}

// A PNG declaring w x h pixels of 8-bit grey (or another colour type) whose data chunk holds only
// 100 zero bytes, and which then ends: as a forged or cut-short file would.
std::string png_without_pixels(uint32_t w, uint32_t h, int colour_type = 0) {
    std::string file = png_header(w, h, colour_type);
    put_chunk(file, "IDAT" + stored_zlib(std::string(100, '\0')));
    return file;
}

class BadImages : public sim_show {
  protected:
    void SetUp() override {
        sim_show::SetUp();
        good = numbered_picture(120, 60, 5);
        cv::imwrite(dir.file("img/good.png"), good);
    }

    // The first part of a picture file, as a copy cut short in transfer would hold.
    void write_cut(const std::string &name, const cv::Mat &picture, double kept) {
        std::vector<uchar> bytes;
        const std::string extension = name.substr(name.rfind('.'));
        ASSERT_TRUE(cv::imencode(extension, picture, bytes));
        bytes.resize(static_cast<size_t>(bytes.size() * kept));
        dir.write("img/" + name, std::string(bytes.begin(), bytes.end()));
    }

    // For each picture announced, whether the loader's message followed before the next one.
    static std::vector<bool> failed_loads(const std::string &out) {
        std::vector<bool> failed;
        for (const std::string &line : split_lines(out)) {
            if (line.rfind("Display : ", 0) == 0) {
                failed.push_back(false);
            } else if (line == load_failed && !failed.empty()) {
                failed.back() = true;
            }
        }
        return failed;
    }

    cv::Mat good;
};

} // namespace

// Each picture that cannot be used gives the loader's line on standard output and its file and
// reason on standard error, and costs no refresh and no slide wait: the panel keeps showing the
// last good picture, and the show goes on.
TEST_F(BadImages, UnusableFilesAreReportedWithTheirReasonAndCostNoRefresh) {
    dir.write("img/empty.png", "");
    dir.write("img/text.png", "this is a shopping list, not a picture\n");
    write_cut("cut.png", numbered_picture(200, 100, 6), 0.5);
    write_cut("cut.jpg", numbered_picture(200, 100, 7), 0.4);
    mkdir(dir.file("img/folder.png").c_str(), 0755);
    mkfifo(dir.file("img/pipe.png").c_str(), 0644); // nothing ever writes it: opening must not wait
    std::vector<uchar> gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ';'};
    dir.write("img/old.gif", std::string(gif.begin(), gif.end()));
    // Past the largest file read (1 GiB), without its bytes on disk: it is refused unread.
    ASSERT_EQ(truncate(dir.write("img/huge.png", "").c_str(), (off_t{1} << 30) + 1), 0);
    lines names = {"good.png", "empty.png",  "text.png",          "cut.png",
                   "cut.jpg",  "folder.png", "pipe.png",          "missing.png",
                   "old.gif",  "huge.png",   "good.png/under.png"};
    std::string expected_err = "Error: cannot use picture 'img/empty.png': is empty\n"
                               "Error: cannot use picture 'img/text.png': not a picture format "
                               "this build reads\n"
                               "Error: cannot use picture 'img/cut.png': cut short: the PNG file "
                               "ends before its IEND chunk\n"
                               "Error: cannot use picture 'img/cut.jpg': cut short: the JPEG file "
                               "ends before its end marker\n"
                               "Error: cannot use picture 'img/folder.png': is a folder, not a "
                               "picture\n"
                               "Error: cannot use picture 'img/pipe.png': is not a regular file\n"
                               "Error: cannot use picture 'img/missing.png': not found (looked "
                               "up from '" +
                               dir.path() +
                               "')\n"
                               "Error: cannot use picture 'img/old.gif': not a picture format "
                               "this build reads\n"
                               "Error: cannot use picture 'img/huge.png': too large: a file of "
                               "1073741825 bytes\n"
                               "Error: cannot use picture 'img/good.png/under.png': not found "
                               "(looked up from '" +
                               dir.path() + "')\n";
    if (geteuid() != 0) { // root reads any file
        cv::imwrite(dir.file("img/locked.png"), good);
        chmod(dir.file("img/locked.png").c_str(), 0);
        names.push_back("locked.png");
        expected_err += "Error: cannot use picture 'img/locked.png': cannot be read: Permission "
                        "denied\n";
    }
    names.push_back("good.png");
    run_result r = play(one_pass(names));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.signal, 0);
    std::vector<bool> expected(names.size(), true);
    expected.front() = expected.back() = false;
    EXPECT_EQ(failed_loads(r.out), expected);
    EXPECT_NE(r.out.find("stop tag end and exit\r\nDone\n"), std::string::npos);
    EXPECT_EQ(r.err, expected_err);

    // Two pictures shown, two frames; a picture that could not be used cost its two temperature
    // reads and nothing else.
    EXPECT_EQ(count_starting(r.out, "Slide Period"), 2);
    EXPECT_EQ(count_holding(journal(), " display "), 2 * 2);
    EXPECT_EQ(count_holding(journal(), " temp type=0"), int(names.size()) * 2);
    EXPECT_FALSE(std::filesystem::exists(dir.file("frames/frame-0003.png")));
    EXPECT_EQ(differing_pixels(frame(2), shown_whole(good)), 0);
}

// A missing picture leads to the fix: a relative path names the folder it was looked up from, and
// an image_path without its closing slash names the file that was meant, when it is there.
TEST_F(BadImages, AMissingPictureSaysWhereItWasLookedForAndWhatWasMeant) {
    const std::string hint = "; `image_path` has no trailing '/': did you mean '";
    const struct {
        std::string image_path;
        std::string line;
    } cases[] = {
        {dir.file("img"), "Error: cannot use picture '" + dir.file("imggood.png") + "': not found" +
                              hint + dir.file("img/good.png") + "'?"},
        {"img", "Error: cannot use picture 'imggood.png': not found (looked up from '" +
                    dir.path() + "')" + hint + "img/good.png'?"},
    };
    for (const auto &c : cases) {
        show_settings settings;
        settings.image_path = c.image_path;
        run_result r = play(playlist(
            "<image_name><full_update><img>good.png</img></full_update><stop/></image_name>",
            settings));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(split_lines(r.err).at(0), c.line);
    }
}

// Found while feeding the loader a forged header: OpenCV refuses more than 2^30 pixels by
// throwing from imread, and the exception used to end the program (abort, status 134). Such a
// header is now refused before anything is decoded, and so is one of a picture that its decoder
// would hold in colour in more than 1 GiB: a WebP or TIFF, a progressive JPEG, a transparent PNG.
TEST_F(BadImages, HeadersDeclaringTooManyPixelsAreRefusedBeforeDecoding) {
    dir.write("img/huge.png", png_without_pixels(100000, 100000));
    dir.write("img/large.png", png_without_pixels(30000, 30000)); // within OpenCV's limit
    dir.write("img/wide.png", png_without_pixels(2000000000, 1));
    dir.write("img/side.png", png_without_pixels(1000001, 1)); // past libpng's side
    // Within OpenCV's limit as grey, past what its colours and alpha take (4 bytes a pixel).
    dir.write("img/clear.png", png_without_pixels(20000, 20000, 6));
    dir.write("img/huge.webp", forged::webp(20000, 20000));
    dir.write("img/huge.tiff", forged::tiff(20000, 20000));
    dir.write("img/huge.jpg", forged::progressive_jpeg(30000, 30000));
    run_result r = play(one_pass({"huge.png", "large.png", "wide.png", "side.png", "clear.png",
                                  "huge.webp", "huge.tiff", "huge.jpg", "good.png"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(failed_loads(r.out),
              (std::vector<bool>{true, true, true, true, true, true, true, true, false}));
    EXPECT_EQ(r.err, "Error: cannot use picture 'img/huge.png': too large: 100000 x 100000 "
                     "pixels, more than this build decodes\n"
                     "Error: cannot use picture 'img/large.png': cut short: the PNG file ends "
                     "before its IEND chunk\n"
                     "Error: cannot use picture 'img/wide.png': too large: 2000000000 x 1 pixels, "
                     "more than this build decodes\n"
                     "Error: cannot use picture 'img/side.png': too large: 1000001 x 1 pixels, "
                     "more than this build decodes\n"
                     "Error: cannot use picture 'img/clear.png': too large: 20000 x 20000 pixels, "
                     "more than this build decodes\n"
                     "Error: cannot use picture 'img/huge.webp': too large: 20000 x 20000 pixels, "
                     "more than this build decodes\n"
                     "Error: cannot use picture 'img/huge.tiff': too large: 20000 x 20000 pixels, "
                     "more than this build decodes\n"
                     "Error: cannot use picture 'img/huge.jpg': too large: 30000 x 30000 pixels, "
                     "more than this build decodes\n");
    EXPECT_EQ(differing_pixels(frame(1), shown_whole(good)), 0);
    // The header's size is not taken as a reason to fill memory: the whole run stays small.
    struct rusage usage;
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 400 * 1024) << "kB";
}

// A JPEG cut short is refused (above); one followed by data after its end marker (a camera's
// trailer) is whole, and shows.
TEST_F(BadImages, DataAfterTheJpegEndMarkerIsShown) {
    std::vector<uchar> whole;
    ASSERT_TRUE(cv::imencode(".jpg", numbered_picture(200, 100, 7), whole));
    dir.write("img/trailer.jpg", std::string(whole.begin(), whole.end()) + "MOTION-TRAILER");
    run_result r = play(one_pass({"trailer.jpg"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(failed_loads(r.out), (std::vector<bool>{false}));
    EXPECT_EQ(r.err, "");
    cv::Mat decoded = cv::imread(dir.file("img/trailer.jpg"), cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(decoded.empty());
    EXPECT_EQ(differing_pixels(frame(1), shown_whole(decoded)), 0);
}

// A picture with transparency is laid on the background grey before it turns grey: white, the
// paper, unless <background> says otherwise. Each kind of transparency: a colour PNG with alpha,
// a grey PNG with alpha, a palette with transparent entries, 16-bit samples, WebP lossless and
// lossy.
TEST_F(BadImages, TransparentPicturesLieOnTheBackground) {
    // Left to right: opaque black, transparent black, half-transparent black, opaque white; each
    // stripe 4 pixels wide.
    const int grey[4] = {0, 0, 0, 255};
    const int alpha[4] = {255, 0, 136, 255};
    cv::Mat picture(4, 16, CV_8UC4);
    std::string grey_alpha_row, palette, transparency, index_row;
    for (int stripe = 0; stripe < 4; ++stripe) {
        const cv::Scalar pixel(grey[stripe], grey[stripe], grey[stripe], alpha[stripe]);
        picture.colRange(4 * stripe, 4 * (stripe + 1)).setTo(pixel);
        for (int x = 0; x < 4; ++x) {
            grey_alpha_row += {char(grey[stripe]), char(alpha[stripe])};
            index_row += char(stripe);
        }
        palette += std::string(3, char(grey[stripe]));
        transparency += char(alpha[stripe]);
    }
    cv::imwrite(dir.file("img/colour.png"), picture);
    dir.write("img/grey.png", png_file(16, 4, lines(4, grey_alpha_row)));
    std::string chunks;
    put_chunk(chunks, "PLTE" + palette);
    put_chunk(chunks, "tRNS" + transparency);
    dir.write("img/palette.png", png_file(16, 3, lines(4, index_row), chunks));
    cv::Mat deep;
    picture.convertTo(deep, CV_16UC4, 256);
    cv::imwrite(dir.file("img/deep.png"), deep);
    cv::imwrite(dir.file("img/lossless.webp"), picture, {cv::IMWRITE_WEBP_QUALITY, 101});
    cv::imwrite(dir.file("img/lossy.webp"), picture, {cv::IMWRITE_WEBP_QUALITY, 90});
    const lines files = {"colour.png", "grey.png",      "palette.png",
                         "deep.png",   "lossless.webp", "lossy.webp"};
    std::string list;
    for (const std::string &file : files) {
        list += "<img>" + file + "</img>";
    }
    for (int background : {-1, 0, 170}) {
        show_settings settings;
        if (background >= 0) {
            settings.options = "<background>" + std::to_string(background) + "</background>";
        }
        run_result r = play(playlist(
            "<image_name><full_update>" + list + "</full_update><stop/></image_name>", settings));
        ASSERT_EQ(r.status, 0) << r.err;
        const int paper = background >= 0 ? background : 255;
        for (size_t n = 1; n <= files.size(); ++n) {
            const cv::Mat shown = frame(int(n));
            ASSERT_FALSE(shown.empty()) << files[n - 1];
            for (int stripe = 0; stripe < 4; ++stripe) {
                const int laid =
                    (grey[stripe] * alpha[stripe] + paper * (255 - alpha[stripe]) + 127) / 255;
                EXPECT_EQ(int(shown.at<uchar>(40, 360 + 720 * stripe)), (laid >> 4) * 17)
                    << files[n - 1] << ", background " << paper << ", stripe " << stripe;
            }
        }
    }
}

TEST_F(BadImages, SixteenBitAndColourPicturesShowAsEightBitGrey) {
    // 16-bit grey: the upper byte of each sample.
    cv::Mat deep(60, 120, CV_16UC1);
    for (int y = 0; y < deep.rows; ++y) {
        for (int x = 0; x < deep.cols; ++x) {
            deep.at<uint16_t>(y, x) = static_cast<uint16_t>(x * 500 + y * 37);
        }
    }
    cv::imwrite(dir.file("img/deep.png"), deep);
    cv::Mat deep_grey(deep.size(), CV_8UC1);
    for (int y = 0; y < deep.rows; ++y) {
        for (int x = 0; x < deep.cols; ++x) {
            deep_grey.at<uchar>(y, x) = static_cast<uchar>(deep.at<uint16_t>(y, x) >> 8);
        }
    }

    // Colour, in PNG and JPEG: three wide stripes of pure blue, green and red, which the panel
    // shows at the luma of each colour (0.114, 0.587 and 0.299 of full scale): levels 1, 9 and 4.
    cv::Mat colour(60, 120, CV_8UC3);
    colour.colRange(0, 40).setTo(cv::Scalar(255, 0, 0));
    colour.colRange(40, 80).setTo(cv::Scalar(0, 255, 0));
    colour.colRange(80, 120).setTo(cv::Scalar(0, 0, 255));
    cv::imwrite(dir.file("img/colour.png"), colour);
    cv::imwrite(dir.file("img/colour.jpg"), colour, {cv::IMWRITE_JPEG_QUALITY, 100});

    run_result r = play(one_pass({"deep.png", "colour.png", "colour.jpg"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(failed_loads(r.out), (std::vector<bool>{false, false, false}));

    EXPECT_EQ(differing_pixels(frame(1), shown_whole(deep_grey)), 0);
    for (int n = 2; n <= 3; ++n) {
        const cv::Mat shown = frame(n);
        ASSERT_EQ(shown.type(), CV_8UC1);
        // Stripe centres; the panel shows the picture mirrored from nothing: left stays left.
        EXPECT_EQ(shown.at<uchar>(40, 480), 1 * 17) << "blue, frame " << n;
        EXPECT_EQ(shown.at<uchar>(40, 1440), 9 * 17) << "green, frame " << n;
        EXPECT_EQ(shown.at<uchar>(40, 2400), 4 * 17) << "red, frame " << n;
    }
}
