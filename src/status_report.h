// The status folder: what the panel shows now (now.png), the state of the show (status.json), the
// same for Prometheus (metrics.prom, written with status.json) and the record of what was shown
// when (play-log.jsonl), for someone who is not in front of the panel. Each file is written whole
// under a temporary name and renamed over the old one, so that a web server, a file share or
// node_exporter can read the folder at any moment.
#ifndef EPDSHOW_STATUS_REPORT_H
#define EPDSHOW_STATUS_REPORT_H

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "metrics_text.h"
#include "panel_mirror.h"

// A picture as the player hands it to the panel.
struct status_picture {
    std::string file;
    bool area = false;
    int x = 0, y = 0, w = 0, h = 0; // the area of an area picture
    int waveform_mode = 0;
    int seconds = 0;          // how long it is to stay
    int number = 0;           // its place in the pass, from 1
    int pictures_in_pass = 0; // known so far
    int pass = 0;             // from 1
};

// A controller of the panel as the latest update found it.
struct status_controller {
    int index = 0; // on the bus
    int multi_id = 0;
    std::optional<int> temperature; // the latest reading; none before the first
};

// Why folder cannot hold the status files ("cannot be created: ...", "is not a folder", "cannot be
// written: ..."), or "" when it can. With create, a missing folder is made, parents included;
// without, it is only judged whether it could be.
std::string status_folder_problem(const std::string &folder, bool create);

// A show that could not start says why in the status folder it names, when that folder can be
// written (made when missing); otherwise nothing is written.
void report_refused_start(const std::string &folder, const std::string &playlist,
                          const std::string &reason);

class status_report {
  public:
    // The play log is renamed to play-log.1.jsonl before a line would take it past this.
    static constexpr std::uintmax_t play_log_bound = 10 * 1000 * 1000;

    status_report(std::string folder, std::string playlist,
                  std::uintmax_t log_bound = play_log_bound);

    // What the panel was sent, kept for now.png; the panel feeds it.
    panel_mirror &mirror() { return panel; }
    const std::string &get_folder() const { return folder; }
    // The files go to another folder from now on (a playlist read again named it).
    void move_to(std::string folder);

    void show_started();
    // The service manager's status line from now on; status.json gives it as its detail when
    // next written. A state that begins without a line of its own has none until it is told.
    void status_line(const std::string &text);
    // The line of the wait for the panel, which changes with each look: written at once.
    void waiting_for_panel(const std::string &line);
    // The player starts the update of a picture.
    void picture_starting(const status_picture &picture);
    // The panel completed the refresh of the picture being updated, its waveform engines idle
    // unless engine_idle is false (waited for in vain). faults names commands that failed without
    // failing their controller: the picture may not be shown whole.
    void picture_shown(const std::vector<status_controller> &controllers, bool engine_idle,
                       const std::string &faults = "");
    // The panel completed a clear to white.
    void panel_cleared();
    // The panel failed (error says how); an update in progress was given up. The tool waits for it.
    void panel_failed(const std::string &error);
    void panel_back();
    // The controllers match no layout (reason says why): no picture is shown.
    void no_panel(const std::string &reason);
    void picture_unusable(const std::string &file, const std::string &reason);
    void quiet_hours_until(std::time_t end);
    // A pass had nothing to show: every picture was left out by its `when` until end.
    void nothing_to_show_until(std::time_t end);
    // Quiet hours, or a wait for something to show, are over.
    void quiet_hours_over();
    void show_ended();
    // The show could not start (reason says why).
    void not_started(const std::string &reason);

  private:
    void end_stay(std::time_t now);
    void log_picture(const status_picture &picture, std::time_t shown, long long seconds, bool ok,
                     const std::string &error = "");
    void log_failure(std::time_t now, const std::string &file, const std::string &error);
    void append_log_line(const std::string &line);
    void publish_status();
    void publish_metrics();
    void publish_now_png();
    void write_file(const std::string &name, const std::string &content);
    void report_write_failure(const std::string &path, int error);

    std::string folder;
    std::string playlist;
    std::uintmax_t log_bound;
    panel_mirror panel;

    const char *state = "showing";
    std::string detail;     // the status line; "" for none
    show_metrics metrics;   // its counters; the rest is taken from the fields here
    status_picture pending; // the picture whose update runs
    bool updating = false;
    status_picture shown; // the picture the panel shows
    bool showing_picture = false;
    bool stay_logged = false; // its play log line is written
    bool shown_ok = true;
    std::string shown_faults;
    std::time_t shown_at = 0;
    std::time_t next_change = 0;                                       // 0: not known
    std::pair<const char *, std::time_t> before_failure{"showing", 0}; // state and next change
    std::vector<status_controller> controllers;
    std::string last_error;
    std::time_t last_error_at = 0;
    bool write_failure_reported = false;
};

#endif
