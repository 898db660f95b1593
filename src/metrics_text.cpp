#include "metrics_text.h"

namespace {

// One metric family after another: its help and type lines, then its samples.
class exposition {
  public:
    exposition &family(const char *name, const char *type, const char *help) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        return *this;
    }
    // labels: "" or the label pairs as written between the braces.
    exposition &sample(const char *name, const std::string &labels, long long value) {
        text +=
            name + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
        return *this;
    }
    const std::string &str() const { return text; }

  private:
    std::string text;
};

// The label values here are the tool's own words and numbers: none holds a quote, a backslash or
// a line break to escape.
std::string label(const char *name, const std::string &value) {
    return std::string(name) + "=\"" + value + "\"";
}

// The panel shows what it should: a picture, or on purpose nothing new (quiet hours, or no
// picture due).
bool panel_up(const std::string &state) {
    return state == "showing" || state == "quiet hours" || state == "nothing to show";
}

// Every state status.json names.
const char *const show_states[] = {
    "showing",  "waiting for the panel", "quiet hours", "nothing to show",
    "no panel", "not started",           "ended"};

} // namespace

std::string metrics_text(const show_metrics &m) {
    exposition out;
    out.family("epdshow_pictures_shown_total", "counter",
               "Pictures whose refresh the panel completed since the tool started.")
        .sample("epdshow_pictures_shown_total", "", m.pictures_shown);
    const char *failures = "epdshow_picture_failures_total";
    out.family(failures, "counter",
               "Pictures not shown whole since the tool started, by reason: unusable (the file "
               "or its folder could not be used, or its area has no place on the panel), "
               "panel_failed (the panel failed during the update), incomplete (shown, but with "
               "commands that failed or engines still busy).")
        .sample(failures, label("reason", "unusable"), m.unusable)
        .sample(failures, label("reason", "panel_failed"), m.panel_failed)
        .sample(failures, label("reason", "incomplete"), m.incomplete);
    out.family("epdshow_panel_failures_total", "counter",
               "Times the panel failed since the tool started.")
        .sample("epdshow_panel_failures_total", "", m.panel_failures);
    out.family("epdshow_panel_recoveries_total", "counter",
               "Times a failed panel was brought back since the tool started.")
        .sample("epdshow_panel_recoveries_total", "", m.panel_recoveries);
    out.family("epdshow_panel_up", "gauge",
               "1 while the panel is up (state showing, quiet hours or nothing to show), 0 "
               "otherwise.")
        .sample("epdshow_panel_up", "", panel_up(m.state) ? 1 : 0);
    out.family("epdshow_last_refresh_timestamp_seconds", "gauge",
               "When the panel last completed a refresh (a picture or a clear), in seconds since "
               "the epoch; 0 before the first.")
        .sample("epdshow_last_refresh_timestamp_seconds", "", m.last_refresh);
    const char *temperature = "epdshow_controller_temperature_celsius";
    out.family(temperature, "gauge",
               "The latest temperature each controller read, by bus index and multi ID.");
    for (const show_metrics::controller &c : m.controllers) {
        if (!c.temperature) {
            continue;
        }
        out.sample(temperature,
                   label("index", std::to_string(c.index)) + "," +
                       label("multi_id", std::to_string(c.multi_id)),
                   *c.temperature);
    }
    out.family("epdshow_state", "gauge",
               "The state of the show as status.json names it: 1 for the current one.");
    for (const char *state : show_states) {
        out.sample("epdshow_state", label("state", state), m.state == state ? 1 : 0);
    }
    return out.str();
}
