// What the fuzz targets found, replayed end to end on epdshow-sim. (The band-size finding of the
// transport target is in fault_show_test, where the record can be rewritten in-process.)
#include <gtest/gtest.h>

#include "reliability_support.h"
#include "test_support.h"

#include <sys/resource.h>
#include <sys/stat.h>

using testing_support::env_list;
using testing_support::run_result;
using testing_support::split_lines;
using testing_support::temp_dir;

// Found by the playlist target: an area of 50 x 2147483647 (its height text past the 32-bit range,
// read as the largest int) had its picture scaled to the whole area, 107 GB, although only the
// rows on the panel are ever shown. An area taller than the panel is now skipped like the other
// areas the panel cannot show; one that only reaches below the panel is shown as before.
TEST(FuzzFindings, AreaTallerThanThePanelIsSkippedInsteadOfScaledToItsWholeHeight) {
    temp_dir dir;
    mkdir(dir.file("img").c_str(), 0755);
    cv::imwrite(dir.file("img/a.png"), reliability::numbered_picture(40, 30, 8));
    const std::string areas = "<area_update>"
                              "<img>a.png</img><area>100,0,50,121474836476</area>"
                              "<img>a.png</img><area>0,0,2880,81</area>"
                              "<img>a.png</img><area>0,0,2880,80</area>"
                              "<img>a.png</img><area>2870,70,10,30</area>"
                              "</area_update>";
    std::string playlist = reliability::playlist("<image_name>" + areas + "<stop/></image_name>");
    // As in the input that found it: proportions kept, the picture centred on a grey background.
    playlist.insert(playlist.find("<image_name>"),
                    "<fit>contain</fit><background>200</background>");
    dir.write("playlist.xml", playlist);
    env_list env = {{"EPDSIM_DEVICES", reliability::small_42},
                    {"EPDSIM_BUSY", "0"},
                    {"EPDSIM_JOURNAL", dir.file("journal.txt")}};
    run_result r =
        testing_support::run_program(EPDSHOW_SIM_PATH, {"playlist.xml"}, env, dir.path(), 60);

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, "Skip image a.png: area (x, y, w, h) = (100, 0, 50, 2147483647) does not fit "
                     "the 2880 x 80 panel\n"
                     "Skip image a.png: area (x, y, w, h) = (0, 0, 2880, 81) does not fit the "
                     "2880 x 80 panel\n");
    EXPECT_EQ(reliability::count_prefixed(r.out, "Display a.png on "), 2);
    EXPECT_EQ(reliability::count_prefixed(r.out, "Error"), 0);
    // The panel-high area wrote both bands, the one below the panel the 10 rows on it.
    int rows = 0;
    for (const std::string &line :
         split_lines(testing_support::read_file(dir.file("journal.txt")))) {
        rows += line.find(" write_mem ") != std::string::npos;
    }
    EXPECT_EQ(rows, 80 + 10);
    struct rusage usage;
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 400 * 1024) << "kB";
}
