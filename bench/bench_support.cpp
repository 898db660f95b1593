#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

struct scratch {
    std::string path;
    scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "epdshow-bench-XXXXXX");
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) {
            throw std::runtime_error("cannot make a scratch folder under " + pattern);
        }
        path = name.data();
    }
    ~scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// Smooth light, a few shapes with hard edges, and sensor-like noise: content that neither
// codec compresses to nothing, so decoding costs what a photo costs.
cv::Mat photo_like(int w, int h) {
    cv::Mat small(h / 40, w / 40, CV_8UC3);
    cv::RNG rng(8951);
    rng.fill(small, cv::RNG::UNIFORM, 40, 220);
    cv::Mat picture;
    cv::resize(small, picture, cv::Size(w, h), 0, 0, cv::INTER_CUBIC);
    for (int i = 0; i < 60; ++i) {
        cv::Point centre(rng.uniform(0, w), rng.uniform(0, h));
        cv::Size axes(rng.uniform(w / 60, w / 8), rng.uniform(h / 60, h / 8));
        cv::Scalar colour(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256));
        cv::ellipse(picture, centre, axes, rng.uniform(0, 180), 0, 360, colour, cv::FILLED);
    }
    cv::Mat noise(h, w, CV_8UC3);
    rng.fill(noise, cv::RNG::NORMAL, 0, 6);
    cv::Mat signed_noise;
    noise.convertTo(signed_noise, CV_16SC3);
    cv::Mat sum;
    picture.convertTo(sum, CV_16SC3);
    sum += signed_noise;
    sum.convertTo(picture, CV_8UC3);
    return picture;
}

std::string write_source(source which) {
    const bool jpeg = which == source::jpeg_24mp;
    const std::string path = scratch_dir() + (jpeg ? "/photo-24mp.jpg" : "/photo-2mp.png");
    const cv::Mat picture = jpeg ? photo_like(6000, 4000) : photo_like(1920, 1080);
    const std::vector<int> params =
        jpeg ? std::vector<int>{cv::IMWRITE_JPEG_QUALITY, 90} : std::vector<int>{};
    if (!cv::imwrite(path, picture, params)) {
        throw std::runtime_error("cannot write " + path);
    }
    return path;
}

} // namespace

const std::string &scratch_dir() {
    static scratch dir;
    return dir.path;
}

const std::string &source_path(source which) {
    static const std::string jpeg = write_source(source::jpeg_24mp);
    static const std::string png = write_source(source::png_2mp);
    return which == source::jpeg_24mp ? jpeg : png;
}

const char *source_name(source which) {
    return which == source::jpeg_24mp ? "jpeg24mp" : "png2mp";
}

quiet_stdout::quiet_stdout() {
    std::fflush(stdout);
    saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
}

quiet_stdout::~quiet_stdout() {
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
}

void repeat_for_minimum(benchmark::internal::Benchmark *b, int repetitions) {
    b->Repetitions(repetitions)
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("min", [](const std::vector<double> &v) {
            return *std::min_element(v.begin(), v.end());
        });
}

std::map<std::string, std::string> &notes() {
    static std::map<std::string, std::string> table;
    return table;
}

} // namespace bench
