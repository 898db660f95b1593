// The slide-show player: starts the USB layer, builds the panel and walks the playlist pass after
// pass until a stop element or the stop flag ends the show. The walk asks everything it does of a
// stage (stage.h): the panel's for the show, a dry one for --plan.
#ifndef EPDSHOW_PLAYER_H
#define EPDSHOW_PLAYER_H

#include <csignal>
#include <cstdint>
#include <memory>

#include "playlist.h"

class epd;
class stage;
class status_report;

// Walks the playlist (read again after a hang-up) pass after pass on the stage, until a stop
// element or a stop request ends the show, or after passes passes when that is above 0 (as a stop
// element under the last group would). Returns 0 when the show ended so, 1 when a whole pass
// showed no picture (or none of the playlist's pictures is ever due again).
int walk_playlist(std::unique_ptr<playlist_file> playlist, stage &on, int passes = 0);

class player {
  public:
    // stop_flag is raised by the entry's signal handler; the walk reads it afresh at each check.
    // hang_ups counts the hang-up signals: at the image boundary after a new one the playlist is
    // read again.
    player(const volatile sig_atomic_t &stop_flag, const volatile sig_atomic_t &hang_ups);
    // Ends the USB session first, then the panel goes: its controllers find nothing left open to
    // release, so the end of a show prints nothing of theirs.
    ~player();
    player(const player &) = delete;
    player &operator=(const player &) = delete;

    // Plays one show: the playlist (read again after a hang-up) until a stop element or the stop
    // flag ends it; with passes above 0, the show ends after that many passes as a stop element
    // under the last group would end it. Returns 0 once a show ran, 1 when it could not start (no
    // controller, no usable panel) or when a whole pass showed no picture.
    int slide_show(std::unique_ptr<playlist_file> playlist, int passes = 0);

  private:
    bool start_panel(const playlist_file &playlist);

    const volatile sig_atomic_t &stop_flag;
    const volatile sig_atomic_t &hang_ups;
    // Before the panel, which borrows it, so that it outlives the panel.
    std::unique_ptr<status_report> status;
    std::unique_ptr<epd> panel;
};

#endif
