// metrics.prom as node_exporter's textfile collector reads it: a file epdshow-sim wrote, checked by
// Debian's promtool, and its values against the show and status.json.
#include <gtest/gtest.h>

#include "sim_show.h"
#include "status_files.h"

#include <ctime>
#include <filesystem>
#include <iomanip>
#include <sstream>

using namespace testing_support;

namespace {

const char *const promtool = "/usr/bin/promtool";

// Seconds since the epoch of a time of status.json written in UTC ("2030-01-01T12:00:15+00:00").
long long epoch_seconds(const std::string &utc) {
    std::tm parts = {};
    std::istringstream(utc) >> std::get_time(&parts, "%Y-%m-%dT%H:%M:%S");
    return static_cast<long long>(timegm(&parts));
}

class Metrics : public sim_show {};

} // namespace

// A show with a picture that is missing and a controller that leaves the bus and comes back: the
// file reads as Prometheus' text format, and counts what happened; its gauges say what status.json
// says at the end.
TEST_F(Metrics, PromtoolReadsWhatTheShowCounted) {
    ASSERT_TRUE(std::filesystem::exists(promtool))
        << "prometheus is installed by scripts/install-deps";
    for (const char *name : {"a.png", "b.png"}) {
        cv::imwrite(dir.file("img/") + name, numbered_picture(40, 30));
    }
    show_settings settings;
    settings.options = "<status_dir>status</status_dir>";
    panel.faults = "id1.gone=70,id1.back=2"; // in b.png's rows, back at the second look
    const run_result r =
        play(playlist("<image_name><full_update><img>a.png</img><img>missing.png</img>"
                      "<img>b.png</img></full_update><stop/></image_name>",
                      settings),
             {{"EPDSIM_CLOCK", "virtual@2030-01-01T12:00:00"}, {"TZ", "UTC"}});
    ASSERT_EQ(r.status, 0) << r.err;

    const run_result check =
        run_program("/bin/sh", {"-c", std::string(promtool) + " check metrics <metrics.prom 2>&1"},
                    {}, dir.file("status"));
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_EQ(check.out, "");

    const std::string metrics = read_file(dir.file("status/metrics.prom"));
    EXPECT_EQ(prom_sample(metrics, "epdshow_pictures_shown_total"), 2) << metrics;
    EXPECT_EQ(prom_sample(metrics, "epdshow_picture_failures_total{reason=\"unusable\"}"), 1);
    EXPECT_EQ(prom_sample(metrics, "epdshow_picture_failures_total{reason=\"panel_failed\"}"), 1);
    EXPECT_EQ(prom_sample(metrics, "epdshow_picture_failures_total{reason=\"incomplete\"}"), 0);
    EXPECT_EQ(prom_sample(metrics, "epdshow_panel_failures_total"), 1);
    EXPECT_EQ(prom_sample(metrics, "epdshow_panel_recoveries_total"), 1);
    EXPECT_EQ(prom_sample(metrics, "epdshow_panel_up"), 0);
    EXPECT_EQ(prom_sample(metrics, "epdshow_state{state=\"ended\"}"), 1);
    EXPECT_EQ(prom_sample(metrics, "epdshow_state{state=\"showing\"}"), 0);

    const json status = read_json(dir.file("status/status.json"));
    EXPECT_EQ(prom_sample(metrics, "epdshow_last_refresh_timestamp_seconds"),
              epoch_seconds(status["shown_at"]));
    ASSERT_EQ(status["controllers"].size(), 2u);
    for (const json &c : status["controllers"]) {
        EXPECT_EQ(prom_sample(metrics, "epdshow_controller_temperature_celsius{index=\"" +
                                           c["index"].dump() + "\",multi_id=\"" +
                                           c["multi_id"].dump() + "\"}"),
                  c["temperature"].get<long long>());
    }
}
