// The upload of one whole panel through the program's own memory-write path: fast_write_mem,
// then send_cbw, usb_write and read_csw, into the simulated bus and its virtual controllers. What
// is timed is all host work, the simulated device's included: a real bus adds its own time.
#include "bench_suite.h"
#include "bench_support.h"
#include "epd_device.h"
#include "epdsim.h"
#include "usb_controller.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace bench {

namespace {

// The controllers of one layout on a fresh simulated bus, opened as the program opens them.
class panel_bus {
  public:
    explicit panel_bus(const layout &panel) {
        quiet_stdout quiet;
        epdsim::reset();
        epdsim::use_layout(panel.id);
        const int count = usb_init();
        for (int i = 0; i < count; ++i) {
            devices.push_back(std::make_unique<epd_device>(i));
        }
    }
    ~panel_bus() {
        quiet_stdout quiet;
        devices.clear();
        usb_close();
    }
    panel_bus(const panel_bus &) = delete;
    panel_bus &operator=(const panel_bus &) = delete;
    std::vector<std::unique_ptr<epd_device>> devices;
};

band_buffer band_of(const std::vector<char> &pattern) {
    band_buffer band(static_cast<char *>(std::malloc(pattern.size())));
    std::memcpy(band.get(), pattern.data(), pattern.size());
    return band;
}

// Bytes that crossed the bus for the commands journaled from entry first on: every command's
// wrapper (31 bytes), its data phase and its status wrapper (13 bytes).
double wire_bytes_since(std::size_t first) {
    double bytes = 0;
    const auto &journal = epdsim::journal();
    for (std::size_t i = first; i < journal.size(); ++i) {
        const epdsim::journal_entry &e = journal[i];
        bytes += 31 + static_cast<double>(e.data.size()) + (e.csw_status >= 0 ? 13 : 0);
    }
    return bytes;
}

void upload(benchmark::State &state, int layout_id) {
    const layout &panel = layout_of(layout_id);
    const int band = panel.band_height();
    std::vector<char> pattern(static_cast<std::size_t>(panel.width) * band);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<char>(i * 7 + i / 4099);
    }
    panel_bus bus(panel);

    // One untimed pass that checks the wire: every row one clean command.
    const std::size_t mark = epdsim::journal().size();
    for (auto &device : bus.devices) {
        device->fast_write_mem(band_of(pattern), 0, 0, panel.width, band);
    }
    const double commands = static_cast<double>(epdsim::journal().size() - mark);
    if (commands != panel.height || epdsim::violation_count() != 0) {
        state.SkipWithError("the upload did not give one clean command per row");
        return;
    }
    const double wire_per_pixel = wire_bytes_since(mark) / (double(panel.width) * panel.height);
    // The timed passes keep no journal: neither in memory nor in a file.
    epdsim::keep_journal(false);

    for (auto _ : state) {
        for (auto &device : bus.devices) {
            state.PauseTiming();
            band_buffer rows = band_of(pattern);
            state.ResumeTiming();
            device->fast_write_mem(std::move(rows), 0, 0, panel.width, band);
        }
    }
    const double rows = panel.height;
    state.counters["us_per_cmd"] = benchmark::Counter(
        rows * 1e-6, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["cmds_per_s"] =
        benchmark::Counter(rows, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["wire_per_pixel"] = wire_per_pixel;
    state.counters["commands"] = rows;
}

} // namespace

void register_upload() {
    for (int layout_id : {42, 32}) {
        auto *b = benchmark::RegisterBenchmark(("upload/" + std::to_string(layout_id)).c_str(),
                                               upload, layout_id);
        b->Unit(benchmark::kMillisecond)->Iterations(20);
        repeat_for_minimum(b, 5);
    }
}

} // namespace bench
