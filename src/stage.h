// What the walk of the playlist asks of the stage it plays on. The walk decides what comes next
// (which picture, for how long, which wait and until when, when the show ends); the stage does it
// and keeps the time: the panel's stage for the show (the panel, the status folder, the service
// manager, real sleeps, the signals), a dry one for --plan that tells what the panel would show
// and moves a clock of its own instead of sleeping. So the plan and the show cannot disagree.
#ifndef EPDSHOW_STAGE_H
#define EPDSHOW_STAGE_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "epd.h"
#include "playlist.h"

// A picture the walk puts on the panel.
struct stage_picture {
    std::string name; // as the show echoes it
    std::string file;
    std::optional<dpy_area> area; // where an area picture goes; none for a whole-panel one
    int32_t seconds = 0;          // its stay after the update
    bool shuffled = false;        // of a folder played in a new order each pass
    int waveform_mode = 0;
    int rotate = 0;
    int en_set_temperature = 0;
    int number = 0;           // its place in the pass, from 1
    int pictures_in_pass = 0; // known so far
    int pass = 0;             // from 1
};

// A wait of the walk: quiet hours, or a pass that had nothing to show.
struct stage_wait {
    enum class reason { quiet_hours, nothing_to_show };
    reason why = reason::quiet_hours;
    std::time_t until = 0;
    std::string until_text; // as the show's line says it: "07:00", "Mon 2026-12-07 06:30"
    bool clear = false;     // the panel is cleared to white as the wait begins
};

class stage {
  public:
    enum class wait_end { over, stop_request, hang_up, panel_lost };

    virtual ~stage() = default;

    // The time of the walk.
    virtual std::time_t now() = 0;
    // Whether the show is to end, at the walk's next look.
    virtual bool stop_requested() = 0;
    // Whether a hang-up came since the last one taken (it is taken: the playlist is read again).
    virtual bool hang_up() = 0;
    // A line of the show's progress (standard output), and a complaint (standard error).
    virtual void say(const std::string &text) = 0;
    virtual void complain(const std::string &text) = 0;

    // A playlist's settings apply from now on (status folder, fit and dither).
    virtual void use_settings(const dpy_imgs_info &settings) = 0;
    // Why the panel cannot show a picture in area, or "" when it can.
    virtual std::string area_problem(const dpy_area &area) = 0;
    // Updates the panel with the picture and keeps it there for its seconds (also when the
    // controllers match no layout, so that the show does not run on without a pause). A panel
    // that fails
    // is brought back and the picture shown again; panel_failed only when a stop request ended
    // the wait for the panel.
    virtual update_result show(const stage_picture &picture) = 0;
    // The controllers match no layout (reason says why): no picture is shown.
    virtual void no_panel(const std::string &reason) = 0;
    // A picture (or folder) could not be used, and why.
    virtual void picture_unusable(const std::string &file, const std::string &reason) = 0;
    // A clear of the panel to white; false when a stop request ended the wait for a failed panel.
    virtual bool deep_clear() = 0;
    // Says the wait, clears the panel when asked, and waits until wait.until (the walk's reckoning
    // of when over() comes to hold) and over() holds. A stop request or a hang-up ends it within a
    // second.
    virtual wait_end wait(const stage_wait &wait, const std::function<bool()> &over) = 0;
};

#endif
