// Shared by the benchmarks: a scratch folder, the two test pictures, the panel layouts, the
// repetition rule, and the table of figures that main prints after the runs.
#ifndef EPDSHOW_BENCH_SUPPORT_H
#define EPDSHOW_BENCH_SUPPORT_H

#include <map>
#include <string>

namespace benchmark {
namespace internal {
class Benchmark;
}
} // namespace benchmark

namespace bench {

// Repeats b and adds the minimum over the repetitions to the aggregates: on a shared host the
// fastest run is the one least disturbed by others.
void repeat_for_minimum(benchmark::internal::Benchmark *b, int repetitions);

// A panel layout: the panel's size and how many bands (controllers) it has.
struct layout {
    int id; // 42 or 32
    int width;
    int height;
    int bands;
    int band_height() const { return height / bands; }
};

inline const layout layout_42{42, 2880, 2160, 2};
inline const layout layout_32{32, 1440, 2560, 4};
inline const layout &layout_of(int id) {
    return id == 42 ? layout_42 : layout_32;
}

// The scratch folder of this run (made on first use, removed at exit); log.txt lands there too.
const std::string &scratch_dir();

// The pictures, written into the scratch folder on first use: a 24-megapixel colour JPEG
// (6000 x 4000) and a 2-megapixel colour PNG (1920 x 1080), both photo-like.
enum class source { jpeg_24mp, png_2mp };
const std::string &source_path(source which);
const char *source_name(source which);

// Standard output goes to /dev/null while one lives: the program reports every step there, which
// is not what is measured.
class quiet_stdout {
  public:
    quiet_stdout();
    ~quiet_stdout();
    quiet_stdout(const quiet_stdout &) = delete;
    quiet_stdout &operator=(const quiet_stdout &) = delete;

  private:
    int saved;
};

// Figures gathered while benchmarks run, printed by main at the end.
std::map<std::string, std::string> &notes();

} // namespace bench

#endif
