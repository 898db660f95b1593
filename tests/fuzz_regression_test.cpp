// What the fuzz targets found: each input of tests/fuzz_corpus/TARGET replayed through its
// target's harness, and findings that need a scene of their own end to end on epdshow-sim. (The
// band-size finding of the transport target is in fault_show_test, where the record can be
// rewritten in-process.)
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "sim_show.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <sys/resource.h>

using namespace testing_support;

extern "C" {
int playlist_fuzz_initialize(int *argc, char ***argv);
int playlist_fuzz_one_input(const uint8_t *data, size_t size);
int transport_fuzz_initialize(int *argc, char ***argv);
int transport_fuzz_one_input(const uint8_t *data, size_t size);
int picture_fuzz_initialize(int *argc, char ***argv);
int picture_fuzz_one_input(const uint8_t *data, size_t size);
int area_fuzz_one_input(const uint8_t *data, size_t size);
}

namespace {

struct fuzz_target {
    const char *name;
    int (*initialize)(int *, char ***);
    int (*one_input)(const uint8_t *, size_t);
};

const fuzz_target fuzz_targets[] = {
    {"playlist", playlist_fuzz_initialize, playlist_fuzz_one_input},
    {"transport", transport_fuzz_initialize, transport_fuzz_one_input},
    {"picture", picture_fuzz_initialize, picture_fuzz_one_input},
    {"area", nullptr, area_fuzz_one_input},
};

// Runs one input through the harness as the fuzzer does, in a child: a crash, an abort on a
// broken rule of the harness, a sanitizer report (status 99) or a leak shows in its end.
run_result replay(const fuzz_target &target, const std::string &input) {
    const temp_dir scratch;
    const std::string bytes = read_file(input);
    return run_in_child(
        [&] {
            std::string program = std::string(target.name) + "_fuzz";
            char *arguments[] = {program.data(), nullptr};
            int argc = 1;
            char **argv = arguments;
            if (target.initialize != nullptr) {
                target.initialize(&argc, &argv);
            }
            return target.one_input(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        },
        scratch.path(),
        // The picture harness starts again with a bound of its own unless it is set.
        {{"TMPDIR", scratch.path()}, {"OPENCV_IO_MAX_IMAGE_PIXELS", "65536"}}, 60);
}

} // namespace

// Found by the picture target, each input in tests/fuzz_corpus:
// - picture/hdr-decoded-in-colour.hdr: OpenCV decodes a Radiance HDR picture in colour although
//   asked for grey, and its three bytes a pixel went on to the bands as if they were one.
TEST(FuzzCorpus, EveryInputFoundRunsCleanlyThroughItsTarget) {
    int replayed = 0;
    for (const fuzz_target &target : fuzz_targets) {
        const std::filesystem::path folder =
            std::filesystem::path(EPDSHOW_SOURCE_DIR) / "tests/fuzz_corpus" / target.name;
        if (!std::filesystem::is_directory(folder)) {
            continue;
        }
        std::vector<std::string> inputs;
        for (const auto &entry : std::filesystem::directory_iterator(folder)) {
            inputs.push_back(entry.path());
        }
        std::sort(inputs.begin(), inputs.end());
        for (const std::string &input : inputs) {
            const run_result r = replay(target, input);
            EXPECT_EQ(r.status, 0) << input << "\n" << r.err;
            EXPECT_EQ(r.signal, 0) << input << "\n" << r.err;
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0);
}

using FuzzFindings = sim_show;

// Found by the playlist target: an area of 50 x 2147483647 (its height text past the 32-bit range,
// read as the largest int) had its picture scaled to the whole area, 107 GB, although only the
// rows on the panel are ever shown. An area taller than the panel is now skipped like the other
// areas the panel cannot show; one that only reaches below the panel is shown as before.
TEST_F(FuzzFindings, AreaTallerThanThePanelIsSkippedInsteadOfScaledToItsWholeHeight) {
    cv::imwrite(dir.file("img/a.png"), numbered_picture(40, 30, 8));
    const std::string areas = "<area_update>"
                              "<img>a.png</img><area>100,0,50,121474836476</area>"
                              "<img>a.png</img><area>0,0,2880,81</area>"
                              "<img>a.png</img><area>0,0,2880,80</area>"
                              "<img>a.png</img><area>2870,70,10,30</area>"
                              "</area_update>";
    // As in the input that found it: proportions kept, the picture centred on a grey background.
    show_settings settings;
    settings.options = "<fit>contain</fit><background>200</background>";
    run_result r = play(playlist("<image_name>" + areas + "<stop/></image_name>", settings));

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, "Skip image a.png: area (x, y, w, h) = (100, 0, 50, 2147483647) does not fit "
                     "the 2880 x 80 panel\n"
                     "Skip image a.png: area (x, y, w, h) = (0, 0, 2880, 81) does not fit the "
                     "2880 x 80 panel\n");
    EXPECT_EQ(count_starting(r.out, "Display a.png on "), 2);
    EXPECT_EQ(count_starting(r.out, "Error"), 0);
    // The panel-high area wrote both bands, the one below the panel the 10 rows on it.
    EXPECT_EQ(count_holding(journal(), " write_mem "), 80 + 10);
    struct rusage usage;
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 400 * 1024) << "kB";
}
