// A fuzzed picture file through the program's image path: read and judged (picture_file), decoded
// by whichever decoder this build has for its bytes, laid on a background when transparent,
// turned, scaled and fitted, dithered, and cut into bands. Whatever the bytes, either the picture
// is refused with a reason, or it comes out 8-bit grey at the size asked for and its bands hold
// its pixels in the controllers' order.
//
// Input: the picture file itself. Its last eight bytes, whatever else they are to the decoder
// (most formats ignore what follows their end), also choose the size, turn, fit, background and
// dithering, and the band cut out.
#include "fuzz_support.h"
#include "img_proc.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// Decoders allocate for the size a header declares: a bound far below the program's own keeps a
// run within the fuzzer's memory and time while still reaching the refusal of larger pictures.
const char *const largest_decoded_pixels = "65536";

struct choices {
    int w = 24, h = 16, rotate = 0;
    picture_options options;
    int area_x = 0, area_y = 0, area_w = 24, area_h = 16;
    bool flip = false;
};

choices read_choices(const uint8_t *data, size_t size) {
    choices c;
    if (size < 8) {
        return c;
    }
    const uint8_t *b = data + size - 8;
    static const int rotations[] = {0, 90, 180, 270, 45};
    c.w = 1 + b[0] % 96;
    c.h = 1 + b[1] % 96;
    c.rotate = rotations[b[2] % 5];
    static const fit_mode fits[] = {fit_mode::stretch, fit_mode::contain, fit_mode::cover};
    c.options.fit = fits[b[3] % 3];
    c.options.dither = (b[3] & 4) != 0;
    c.flip = (b[3] & 8) != 0;
    c.options.background = b[4];
    // From just outside the picture to just past it, so that refusals are reached too.
    c.area_x = b[5] % (c.w + 2) - 1;
    c.area_y = b[6] % (c.h + 2) - 1;
    c.area_w = b[7] % (c.w + 2);
    c.area_h = (b[7] / 16 + b[6]) % (c.h + 2);
    return c;
}

// The band holds the rectangle's rows, each read right to left, bottom-up unless flip.
void check_band(const img_proc &image, const choices &c) {
    const band_buffer band = image.getArea(c.area_x, c.area_y, c.area_w, c.area_h, c.flip);
    const cv::Mat &picture = image.get_picture();
    const bool inside = c.area_x >= 0 && c.area_y >= 0 && c.area_x + c.area_w <= picture.cols &&
                        c.area_y + c.area_h <= picture.rows;
    if (!inside) {
        if (band) {
            fuzz_support::fail("a band outside the picture was cut");
        }
        return;
    }
    if (!band) {
        fuzz_support::fail("a band inside the picture was refused");
    }
    for (int i = 0; i < c.area_h; ++i) {
        const int row = c.area_y + (c.flip ? i : c.area_h - 1 - i);
        for (int j = 0; j < c.area_w; ++j) {
            const uchar expected = picture.at<uchar>(row, c.area_x + c.area_w - 1 - j);
            if (static_cast<uchar>(band.get()[i * c.area_w + j]) != expected) {
                fuzz_support::fail("a band pixel differs from the picture");
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    // OpenCV reads its bound once, as it loads: set, the process starts again with it.
    if (getenv("OPENCV_IO_MAX_IMAGE_PIXELS") == nullptr) {
        setenv("OPENCV_IO_MAX_IMAGE_PIXELS", largest_decoded_pixels, 1);
        execv("/proc/self/exe", *argv);
        perror("picture_fuzz: starting again with OPENCV_IO_MAX_IMAGE_PIXELS");
    }
    fuzz_support::start(argc, argv);
    // Decoders that read only files get theirs in the private folder, not in /tmp.
    setenv("OPENCV_TEMP_PATH", fuzz_support::path_of("").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const choices c = read_choices(data, size);
    fuzz_support::write_file("picture", data, size);
    const img_proc image(fuzz_support::path_of("picture").c_str(), c.w, c.h, c.rotate, c.options);
    const cv::Mat &picture = image.get_picture();
    if (image.empty()) {
        if (image.get_problem().empty()) {
            fuzz_support::fail("a picture was refused without a reason");
        }
        return 0;
    }
    if (picture.type() != CV_8UC1 || picture.cols != c.w || picture.rows != c.h) {
        fuzz_support::fail("the picture is not 8-bit grey of the size asked for");
    }
    if (c.options.dither) {
        for (auto it = picture.begin<uchar>(); it != picture.end<uchar>(); ++it) {
            if (*it % 17 != 0) {
                fuzz_support::fail("a dithered pixel is not one of the panel's grey levels");
            }
        }
    }
    check_band(image, c);
    return 0;
}
