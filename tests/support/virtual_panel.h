// A panel of virtual controllers, described by the EPDSIM_* settings that build it: on the
// simulated bus of this process (plug), or for epdshow-sim in a child process (environment).
#ifndef EPDSHOW_VIRTUAL_PANEL_H
#define EPDSHOW_VIRTUAL_PANEL_H

#include "sim_config.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// Reads variables as the simulated bus reads the environment: the last value of one counts.
inline epdsim::env_reader reader_of(const env_list &variables) {
    return [variables](const char *name) -> std::optional<std::string> {
        auto last = std::find_if(variables.rbegin(), variables.rend(),
                                 [name](const auto &variable) { return variable.first == name; });
        return last == variables.rend() ? std::nullopt : std::make_optional(last->second);
    };
}

// Each field holds the value of its variable, in the grammar of the simulated bus.
struct virtual_panel {
    explicit virtual_panel(std::string controllers) : devices(std::move(controllers)) {}

    std::string devices;          // EPDSIM_DEVICES: WIDTHxHEIGHT@MULTIID,... in bus order
    std::string busy_reads = "0"; // EPDSIM_BUSY: engine polls that read busy after a refresh
    std::string temperatures;     // EPDSIM_TEMP (unset: the bus's default)
    std::string faults;           // EPDSIM_FAULTS

    env_list environment() const {
        return {{"EPDSIM_DEVICES", devices},
                {"EPDSIM_BUSY", busy_reads},
                {"EPDSIM_TEMP", temperatures},
                {"EPDSIM_FAULTS", faults}};
    }

    // Resets the bus of this process and sets this panel up on it.
    void plug() const {
        std::string error;
        EXPECT_TRUE(epdsim::configure_from(reader_of(environment()), &error)) << error;
    }
};

// Bands of width x height, one for each multi ID, in bus order.
inline virtual_panel bands(int width, int height, const std::vector<int> &ids) {
    std::string devices;
    for (int id : ids) {
        devices += (devices.empty() ? "" : ",") + std::to_string(width) + "x" +
                   std::to_string(height) + "@" + std::to_string(id);
    }
    return virtual_panel(devices);
}

// The 42 layout (two bands 2880 wide) or the 32 layout (four bands 1440 wide), multi IDs in bus
// order; band_height 0 gives the real panel's bands (1080 or 640 rows).
inline virtual_panel layout(int which, int band_height = 0) {
    if (which == 42) {
        return bands(2880, band_height ? band_height : 1080, {0, 1});
    }
    return bands(1440, band_height ? band_height : 640, {0, 1, 2, 3});
}

} // namespace testing_support

#endif
