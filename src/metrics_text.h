// The show's metrics in Prometheus' text exposition format, for node_exporter's textfile
// collector: counters since the tool started and gauges of the moment, each with its help and
// type lines.
#ifndef EPDSHOW_METRICS_TEXT_H
#define EPDSHOW_METRICS_TEXT_H

#include <ctime>
#include <optional>
#include <string>
#include <vector>

struct show_metrics {
    long long pictures_shown = 0; // refreshes of a picture the panel completed
    // Pictures not shown whole, by reason: a file or folder that could not be used, or an area
    // with no place on the panel; an update given up because the panel failed; a refresh
    // completed with commands that failed or with its waveform engines still busy (also counted
    // as shown).
    long long unusable = 0;
    long long panel_failed = 0;
    long long incomplete = 0;
    long long panel_failures = 0;
    long long panel_recoveries = 0;
    std::string state;            // as status.json names it
    std::time_t last_refresh = 0; // of a picture or a clear; 0 before the first
    struct controller {
        int index = 0;
        int multi_id = 0;
        std::optional<int> temperature; // none before the first reading: no sample
    };
    std::vector<controller> controllers; // as the latest update found them
};

// The whole file: every metric, those of the moment as metrics holds them.
std::string metrics_text(const show_metrics &metrics);

#endif
