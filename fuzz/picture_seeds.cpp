// Writes the seeds of the picture target into the folder named on the command line: a small
// picture in every format this build's OpenCV writes (grey, colour, transparent and 16-bit where
// the format has them), the same cut short, and the forged and damaged files the tests use. Run by
// the build, so the seeds follow the decoders the build has.
#include "pictures.h"

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

std::string folder;
int written = 0;

// Each seed ends with eight bytes of its own, which the target reads as its choices of size, turn,
// fit and band: the seeds between them try each.
void write_seed(const std::string &name, std::string bytes) {
    const int n = written++;
    const unsigned char choices[8] = {
        static_cast<unsigned char>(17 + n * 5), static_cast<unsigned char>(11 + n * 3),
        static_cast<unsigned char>(n),          static_cast<unsigned char>(n * 3),
        static_cast<unsigned char>(n * 37),     static_cast<unsigned char>(n * 7),
        static_cast<unsigned char>(n * 2),      static_cast<unsigned char>(0xA5 + n)};
    bytes.append(reinterpret_cast<const char *>(choices), sizeof choices);
    std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
}

// Writes the picture in the format of extension, whole and cut to 60 %; false when this build
// does not write that format, or not that kind of picture in it.
bool write_encoded(const std::string &name, const std::string &extension, const cv::Mat &picture) {
    std::vector<uchar> encoded;
    try {
        if (!cv::imencode(extension, picture, encoded)) {
            return false;
        }
    } catch (const cv::Exception &) {
        return false;
    }
    const std::string whole(encoded.begin(), encoded.end());
    write_seed(name + extension, whole);
    write_seed(name + "-cut" + extension, whole.substr(0, whole.size() * 6 / 10));
    return true;
}

cv::Mat transparent(const cv::Mat &grey) {
    cv::Mat bgra;
    cv::cvtColor(grey, bgra, cv::COLOR_GRAY2BGRA);
    for (int y = 0; y < bgra.rows; ++y) {
        for (int x = 0; x < bgra.cols; ++x) {
            bgra.at<cv::Vec4b>(y, x)[3] = static_cast<uchar>(x * 9);
        }
    }
    return bgra;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    folder = argv[1];
    // The encoders' complaints about what their format cannot hold are of no interest here.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    // Odd sizes, so that turns, fits and bands meet uneven edges; JPEG 2000 needs 32 a side.
    const cv::Mat grey = numbered_picture(37, 33, 1);
    cv::Mat colour;
    cv::cvtColor(numbered_picture(35, 33, 2), colour, cv::COLOR_GRAY2BGR);
    colour.col(3).setTo(cv::Scalar(250, 20, 90));
    cv::Mat deep;
    numbered_picture(21, 13, 3).convertTo(deep, CV_16U, 257);
    cv::Mat real;
    colour.convertTo(real, CV_32F, 1.0 / 255);

    const char *const extensions[] = {".png", ".jpg", ".webp", ".tiff", ".bmp", ".jp2", ".pgm",
                                      ".ppm", ".pbm", ".pam",  ".pfm",  ".sr",  ".hdr"};
    for (const char *extension : extensions) {
        write_encoded("grey", extension, grey);
        write_encoded("colour", extension, colour);
        write_encoded("transparent", extension, transparent(grey));
        write_encoded("deep", extension, deep);
        write_encoded("real", extension, real);
    }
    std::vector<uchar> progressive;
    if (cv::imencode(".jpg", colour, progressive, {cv::IMWRITE_JPEG_PROGRESSIVE, 1})) {
        write_seed("progressive.jpg", std::string(progressive.begin(), progressive.end()));
    }
    std::vector<uchar> lossless;
    if (cv::imencode(".webp", transparent(grey), lossless, {cv::IMWRITE_WEBP_QUALITY, 101})) {
        write_seed("lossless.webp", std::string(lossless.begin(), lossless.end()));
    }

    write_seed("forged.png", forged::png(100000, 100000));
    write_seed("forged-within.png", forged::png(300, 200));
    write_seed("forged.webp", forged::webp(20000, 20000));
    write_seed("forged.tiff", forged::tiff(20000, 20000));
    write_seed("forged.jpg", forged::progressive_jpeg(30000, 30000));
    write_seed("text.png", "this is a shopping list, not a picture\n");
    write_seed("old.gif", std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 14));
    write_seed("nothing", "");
    std::printf("picture seeds: %d files in %s\n", written, folder.c_str());
    return 0;
}
