// Runs the benchmarks, then prints the figures that matter: the image path against its floor,
// the host cost of a row command, and the peak memory of one update.
#include "bench_suite.h"
#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

// One console line per benchmark, its minimum, which is also kept for the summary.
class collecting_reporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal, so a saved run reads cleanly.
    collecting_reporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        std::vector<Run> shown;
        for (const Run &run : runs) {
            // A benchmark run once has no aggregates: its one run is its minimum.
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (single || (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min")) {
                minimum[run.run_name.function_name] = run;
                shown.push_back(run);
            }
        }
        if (!shown.empty()) {
            ConsoleReporter::ReportRuns(shown);
        }
    }
    std::map<std::string, Run> minimum;
};

void print_ratios(const collecting_reporter &reporter) {
    bool header = false;
    double worst = 0;
    for (const auto &[name, run] : reporter.minimum) {
        if (name.rfind("image_path/", 0) != 0) {
            continue;
        }
        const std::string tail = name.substr(std::strlen("image_path"));
        auto floor = reporter.minimum.find("floor" + tail);
        if (floor == reporter.minimum.end()) {
            continue;
        }
        if (!header) {
            std::printf("\nImage path against its floor (CPU time of one thread, minimum over "
                        "repetitions):\n");
            std::printf("  %-22s %12s %12s %7s\n", "case", "path ms", "floor ms", "ratio");
            header = true;
        }
        const double path_ms = run.GetAdjustedCPUTime();
        const double floor_ms = floor->second.GetAdjustedCPUTime();
        const double ratio = path_ms / floor_ms;
        worst = std::max(worst, ratio);
        std::printf("  %-22s %12.2f %12.2f %7.3f\n", tail.c_str() + 1, path_ms, floor_ms, ratio);
    }
    if (header) {
        std::printf("  worst ratio %.3f (target 1.10)\n", worst);
    }
}

void print_counters(const collecting_reporter &reporter, const char *prefix, const char *title) {
    bool header = false;
    for (const auto &[name, run] : reporter.minimum) {
        if (name.rfind(prefix, 0) != 0) {
            continue;
        }
        if (!header) {
            std::printf("\n%s:\n", title);
            header = true;
        }
        std::printf("  %s", name.c_str());
        for (const auto &[counter, value] : run.counters) {
            std::printf("  %s=%.4g", counter.c_str(), static_cast<double>(value));
        }
        std::printf("\n");
    }
}

} // namespace

} // namespace bench

int main(int argc, char **argv) {
    // Repetitions of different benchmarks take turns, so a busy moment of the shared host spreads
    // over all of them instead of spoiling one.
    std::vector<char *> args(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    if (std::none_of(args.begin() + 1, args.end(), [](const char *a) {
            return std::strncmp(a, "--benchmark_enable_random_interleaving", 38) == 0;
        })) {
        args.insert(args.begin() + 1, interleave);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 1;
    }
    // The program writes log.txt into its working folder: keep it out of the source tree.
    if (chdir(bench::scratch_dir().c_str()) != 0) {
        std::perror("chdir");
        return 1;
    }
    // One OpenCV thread: the CPU time of the benchmark's thread is then all the work done, which
    // other processes on a shared host cannot lengthen; small hosts have one or two cores anyway.
    cv::setNumThreads(1);
    bench::register_image_path();
    bench::register_upload();
    bench::register_memory();

    bench::collecting_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    bench::print_ratios(reporter);
    bench::print_counters(reporter, "upload/", "Upload of one whole panel through fast_write_mem");
    bench::print_counters(reporter, "memory/",
                          "Peak heap of one image, in MB (extra = peak beyond the decoded image; "
                          "within = extra no more than picture plus one band)");
    for (const auto &[name, text] : bench::notes()) {
        std::printf("%s: %s\n", name.c_str(), text.c_str());
    }
    return 0;
}
