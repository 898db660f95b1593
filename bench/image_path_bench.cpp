// The image path of one whole-panel image without USB: decode, turn, scale and cut every band,
// as the panel's walk does; beside it the floor, the bare OpenCV calls the loader is made of.
#include "bench_suite.h"
#include "bench_support.h"
#include "img_proc.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <string>

namespace bench {

namespace {

// Loader and band walk of one panel: the top band first; the bottom band of the 42 layout is
// cut turned by a half turn, every other band mirrored.
void image_path(benchmark::State &state, int layout_id, source which, int rotate) {
    const layout &panel = layout_of(layout_id);
    const std::string &path = source_path(which);
    const int band = panel.band_height();
    for (auto _ : state) {
        img_proc picture(path.c_str(), panel.width, panel.height, rotate);
        int source_row = 0;
        for (int slot = panel.bands - 1; slot >= 0; --slot) {
            const bool flip = !(panel.id == 42 && slot == 0);
            band_buffer rows = picture.getArea(0, source_row, panel.width, band, flip);
            benchmark::DoNotOptimize(rows.get());
            source_row += band;
        }
    }
}

// Decode as grey, turn as the loader names it, scale to the panel: nothing else.
void floor(benchmark::State &state, int layout_id, source which, int rotate) {
    const layout &panel = layout_of(layout_id);
    const std::string &path = source_path(which);
    for (auto _ : state) {
        cv::Mat picture = cv::imread(path, cv::IMREAD_GRAYSCALE);
        if (rotate == 90 || rotate == 270) {
            cv::transpose(picture, picture);
            cv::flip(picture, picture, rotate == 90 ? 0 : 1);
        } else if (rotate == 180) {
            cv::flip(picture, picture, -1);
        }
        cv::Mat scaled;
        cv::resize(picture, scaled, cv::Size(panel.width, panel.height), 0, 0, cv::INTER_LINEAR);
        benchmark::DoNotOptimize(scaled.data);
    }
}

} // namespace

void register_image_path() {
    for (source which : {source::jpeg_24mp, source::png_2mp}) {
        // A 24-megapixel decode takes a good part of a second on a small host: few iterations.
        const bool large = which == source::jpeg_24mp;
        for (int layout_id : {42, 32}) {
            for (int rotate : {0, 90, 180, 270}) {
                const std::string tail = "/" + std::to_string(layout_id) + "/" +
                                         source_name(which) + "/rot" + std::to_string(rotate);
                for (bool bare : {false, true}) {
                    auto *b = benchmark::RegisterBenchmark(
                        ((bare ? "floor" : "image_path") + tail).c_str(), bare ? floor : image_path,
                        layout_id, which, rotate);
                    b->Unit(benchmark::kMillisecond)->Iterations(large ? 2 : 8);
                    repeat_for_minimum(b, 5);
                }
            }
        }
    }
}

} // namespace bench
