// Recorded runs of epdshow-sim: standard output and the controllers' journal of two playlists,
// one per layout, must stay the same to the byte. They hold every command of whole-panel and
// area images, turned and unturned, with slot placement from a shuffled bus order.
#include <gtest/gtest.h>

#include <unistd.h>

#include "test_support.h"

using testing_support::env_list;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::run_result;
using testing_support::temp_dir;

namespace {

const std::string golden_dir = std::string(EPDSHOW_SOURCE_DIR) + "/tests/golden/";

struct recorded_run {
    std::string layout;
    env_list env;
};

void expect_recorded(const recorded_run &recorded) {
    SCOPED_TRACE(recorded.layout + " layout");
    temp_dir dir;
    ASSERT_EQ(symlink((std::string(EPDSHOW_SOURCE_DIR) + "/examples/images").c_str(),
                      dir.file("images").c_str()),
              0);
    std::string playlist = "playlist-" + recorded.layout + ".xml";
    dir.write(playlist, read_file(golden_dir + playlist));
    env_list env = recorded.env;
    env.push_back({"EPDSIM_JOURNAL", dir.file("journal.txt")});
    run_result r = run_program(EPDSHOW_SIM_PATH, {playlist}, env, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, read_file(golden_dir + "out-" + recorded.layout + ".txt"));
    EXPECT_EQ(read_file(dir.file("journal.txt")),
              read_file(golden_dir + "journal-" + recorded.layout + ".txt"));
}

} // namespace

TEST(Golden, PlaylistsPlayExactlyAsRecorded) {
    expect_recorded({"42", {{"EPDSIM_DEVICES", "2880x24@1,2880x24@0"}, {"EPDSIM_BUSY", "1"}}});
    expect_recorded({"32",
                     {{"EPDSIM_DEVICES", "1440x16@2,1440x16@0,1440x16@3,1440x16@1"},
                      {"EPDSIM_BUSY", "1,0,2,0"},
                      {"EPDSIM_TEMP", "24,26,25,27"}}});
}
