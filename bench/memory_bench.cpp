// The peak heap of one whole-panel image on the simulated bus, beyond the decoded image: what the
// turn, the picture and the band buffers cost on top of the decode that no way of showing the
// image avoids. Heap bytes are counted by heap_counter.cpp, which sees every allocation.
#include "bench_suite.h"
#include "bench_support.h"
#include "epd.h"
#include "epdsim.h"
#include "heap_counter.h"
#include "usb_controller.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>

#include <memory>
#include <string>

namespace bench {

namespace {

void memory(benchmark::State &state, int layout_id, source which, int rotate) {
    const layout &panel = layout_of(layout_id);
    const std::string &path = source_path(which);
    const double decoded = static_cast<double>(cv::imread(path, cv::IMREAD_GRAYSCALE).total());

    std::unique_ptr<epd> screen;
    {
        quiet_stdout quiet;
        epdsim::reset();
        epdsim::use_layout(layout_id);
        screen = std::make_unique<epd>(usb_init());
        // A journal kept in memory would be counted as the update's own memory.
        epdsim::keep_journal(false);
    }
    double peak = 0;
    double update_peak = 0;
    for (auto _ : state) {
        quiet_stdout quiet;
        // The program's image memory: load, turn, scale, and the band walk with its uploads.
        heap_counter::reset_peak();
        std::size_t before = heap_counter::in_use();
        screen->ldImg2Buf(path, rotate);
        peak = static_cast<double>(heap_counter::peak() - before);
        // The whole update around it. The refresh and power commands hold next to nothing in the
        // program; the simulated panel composes its frame at power-off, which a real one does not.
        heap_counter::reset_peak();
        before = heap_counter::in_use();
        screen->eInk_display_full(path, 2, rotate, 1);
        update_peak = static_cast<double>(heap_counter::peak() - before);
    }
    {
        quiet_stdout quiet;
        screen.reset();
        usb_close();
    }
    const double picture = double(panel.width) * panel.height;
    const double band = double(panel.width) * panel.band_height();
    state.counters["peak_MB"] = peak / 1e6;
    state.counters["decoded_MB"] = decoded / 1e6;
    state.counters["extra_MB"] = (peak - decoded) / 1e6;
    state.counters["picture_band_MB"] = (picture + band) / 1e6;
    state.counters["within"] = peak - decoded <= picture + band ? 1 : 0;
    state.counters["update_peak_MB"] = update_peak / 1e6;
}

} // namespace

void register_memory() {
    for (source which : {source::jpeg_24mp, source::png_2mp}) {
        for (int layout_id : {42, 32}) {
            for (int rotate : {0, 90, 180, 270}) {
                const std::string name = "memory/" + std::to_string(layout_id) + "/" +
                                         source_name(which) + "/rot" + std::to_string(rotate);
                auto *b =
                    benchmark::RegisterBenchmark(name.c_str(), memory, layout_id, which, rotate);
                b->Unit(benchmark::kMillisecond)->Iterations(1);
                repeat_for_minimum(b, 1);
            }
        }
    }
}

} // namespace bench
