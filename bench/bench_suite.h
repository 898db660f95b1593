// The benchmark groups and what main needs to run them.
#ifndef EPDSHOW_BENCH_SUITE_H
#define EPDSHOW_BENCH_SUITE_H

namespace benchmark {
namespace internal {
class Benchmark;
}
} // namespace benchmark

namespace bench {

// Repeats b and adds the minimum over the repetitions to the aggregates: on a shared host the
// fastest run is the one least disturbed by others.
void repeat_for_minimum(benchmark::internal::Benchmark *b, int repetitions);

void register_image_path();
void register_upload();
void register_memory();

} // namespace bench

#endif
