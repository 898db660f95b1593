#include "service_notify.h"

#include <systemd/sd-daemon.h>

#include <chrono>

namespace {

using clock_type = std::chrono::steady_clock;

} // namespace

void service_ready() {
    sd_notify(0, "READY=1");
}

void service_status(const std::string &text) {
    sd_notify(0, ("STATUS=" + text).c_str());
}

void service_alive() {
    static clock_type::time_point last_ping;
    static bool pinged = false;
    const clock_type::time_point now = clock_type::now();
    if (pinged && now - last_ping < std::chrono::seconds(1)) {
        return;
    }
    pinged = true;
    last_ping = now;
    sd_notify(0, "WATCHDOG=1");
}
