#include "plan.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <set>
#include <sys/stat.h>

#include "panel_layout.h"
#include "player.h"
#include "playlist.h"
#include "stage.h"
#include "tool.h"

namespace {

// A playlist whose pictures stay no time would fill a plan without end.
constexpr int picture_bound = 10000;

std::string area_text(const dpy_area &a) {
    return "(x, y, w, h) = (" + std::to_string(a.x) + ", " + std::to_string(a.y) + ", " +
           std::to_string(a.w) + ", " + std::to_string(a.h) + ")";
}

// The stage of a plan: nothing reaches a panel, a picture's stay and a wait move the plan's clock
// on, and what the panel would show is printed as it comes. Past the end of the plan it asks the
// walk to stop, as a stop request would, and tells nothing more.
class dry_stage : public stage {
  public:
    dry_stage(std::time_t start, std::time_t end) : clock(start), end(end) {}

    std::time_t now() override { return clock; }
    bool stop_requested() override { return clock >= end || pictures >= picture_bound; }
    bool hang_up() override { return false; }
    void say(const std::string &) override {}
    // Each complaint once, however many passes make it.
    void complain(const std::string &text) override {
        if (complaints.insert(text).second) {
            fputs(text.c_str(), stderr);
        }
    }
    void use_settings(const dpy_imgs_info &) override {}
    std::string area_problem(const dpy_area &a) override {
        return area_fits_some_layout(a) ? "" : "area " + area_text(a) + " fits no panel layout";
    }
    void no_panel(const std::string &) override {}
    void picture_unusable(const std::string &, const std::string &) override {}

    // A picture that is not there is passed over as the show passes it over; whether one that is
    // there decodes is for --check to tell.
    update_result show(const stage_picture &picture) override {
        update_result result;
        if (stop_requested()) {
            return result;
        }
        struct stat file = {};
        if (stat(picture.file.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) {
            result.what = update_result::outcome::picture_unusable;
            result.problem = "not found";
            complain("Error: cannot use picture '" + picture.file + "': not found\n");
            return result;
        }
        char stay[32];
        snprintf(stay, sizeof stay, "%6d s  ", std::max(picture.seconds, 0));
        tell(stay + picture.name + (picture.area ? " in " + area_text(*picture.area) : "") +
             (picture.shuffled ? " (shuffled)" : ""));
        ++pictures;
        clock += std::max(picture.seconds, 0);
        return result;
    }

    bool deep_clear() override {
        tell("deep clear");
        return true;
    }

    wait_end wait(const stage_wait &wait, const std::function<bool()> &over) override {
        const bool quiet = wait.why == stage_wait::reason::quiet_hours;
        tell(std::string(quiet ? "quiet hours" : "nothing to show") + " until " + wait.until_text);
        if (wait.clear) {
            deep_clear();
        }
        while (clock < wait.until || !over()) {
            if (clock >= end) {
                return wait_end::stop_request;
            }
            clock = std::min(std::max(wait.until, clock + 1), end);
        }
        return wait_end::over;
    }

    // The last line: why the plan ends.
    void finish(int status) const {
        if (pictures >= picture_bound) {
            printf("%s  the plan stops after %d pictures\n", local_time_text(clock, true).c_str(),
                   picture_bound);
        } else if (clock >= end) {
            printf("%s  end of the plan\n", local_time_text(end, true).c_str());
        } else {
            printf("%s  the show ends%s\n", local_time_text(clock, true).c_str(),
                   status == 0 ? "" : " with exit status 1");
        }
    }

  private:
    void tell(const std::string &what) {
        if (!stop_requested()) {
            printf("%s  %s\n", local_time_text(clock, true).c_str(), what.c_str());
        }
    }

    std::time_t clock;
    const std::time_t end;
    int pictures = 0;
    std::set<std::string> complaints;
};

} // namespace

bool read_plan_start(const std::string &text, std::time_t &start) {
    const std::string form = "dddd-dd-ddTdd:dd";
    if (text.size() != form.size()) {
        return false;
    }
    for (size_t i = 0; i < form.size(); ++i) {
        if (form[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                           : text[i] != form[i]) {
            return false;
        }
    }
    std::tm fields = {};
    fields.tm_year = std::stoi(text.substr(0, 4)) - 1900;
    fields.tm_mon = std::stoi(text.substr(5, 2)) - 1;
    fields.tm_mday = std::stoi(text.substr(8, 2));
    fields.tm_hour = std::stoi(text.substr(11, 2));
    fields.tm_min = std::stoi(text.substr(14, 2));
    fields.tm_isdst = -1;
    const int month = fields.tm_mon;
    if (month < 0 || month > 11 || fields.tm_mday < 1 || fields.tm_hour > 23 ||
        fields.tm_min > 59) {
        return false;
    }
    start = std::mktime(&fields);
    // A day the month does not have (April 31st) comes back in the next month.
    return start != static_cast<std::time_t>(-1) && fields.tm_mon == month;
}

bool read_plan_hours(const std::string &text, int &hours) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    hours = std::stoi(text);
    return hours >= 1 && hours <= plan_hours_bound;
}

int plan_playlist(const char *path, std::time_t start, int hours) {
    std::unique_ptr<playlist_file> playlist = load_plan_playlist(path);
    if (!playlist) {
        return 1;
    }
    printf("Plan of %s from %s for %d hour%s\n", path, local_time_text(start, false).c_str(), hours,
           hours == 1 ? "" : "s");
    dry_stage dry(start, start + std::time_t{hours} * 3600);
    const int status = walk_playlist(std::move(playlist), dry);
    dry.finish(status);
    return status;
}
