// What the fuzz targets found, replayed end to end on epdshow-sim. (The band-size finding of the
// transport target is in fault_show_test, where the record can be rewritten in-process.)
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "sim_show.h"

#include <sys/resource.h>

using namespace testing_support;

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
