// The stage of the show: what the walk of the playlist asks is done on the panel, told to the
// status folder and the service manager, and waited out in real time, with the signals heard.
#ifndef EPDSHOW_PANEL_STAGE_H
#define EPDSHOW_PANEL_STAGE_H

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>

#include "stage.h"

class panel_recovery;
class status_report;

// Prints the slide period and waits its seconds (none when 0 or less), pinging the service
// manager's watchdog meanwhile: a picture's stay after its update.
void slide_wait(int32_t seconds);

class panel_stage : public stage {
  public:
    // Borrows the player's panel (a panel that fails is replaced by the one brought back) and
    // status folder (made and moved as the playlist's settings say; null without one), the
    // recovery, the stop flag and the count of hang-ups; path is the playlist's, for the status
    // folder.
    panel_stage(std::unique_ptr<epd> &panel, std::unique_ptr<status_report> &status,
                panel_recovery &recovery, const volatile sig_atomic_t &stop_flag,
                const volatile sig_atomic_t &hang_ups, std::string path);

    std::time_t now() override;
    bool stop_requested() override;
    bool hang_up() override;
    void say(const std::string &text) override;
    void complain(const std::string &text) override;
    void use_settings(const dpy_imgs_info &settings) override;
    std::string area_problem(const dpy_area &area) override;
    update_result show(const stage_picture &picture) override;
    void no_panel(const std::string &reason) override;
    void picture_unusable(const std::string &file, const std::string &reason) override;
    bool deep_clear() override;
    wait_end wait(const stage_wait &wait, const std::function<bool()> &over) override;

  private:
    void mirror_panel();
    bool bring_panel_back(const std::string &failure);
    void use_status_folder(const std::string &folder);
    void announce(const stage_wait &wait);
    void tell_status(const std::string &line);

    std::unique_ptr<epd> &panel;
    std::unique_ptr<status_report> &status;
    panel_recovery &recovery;
    const volatile sig_atomic_t &stop_flag;
    const volatile sig_atomic_t &hang_ups;
    const std::string path;
    picture_options picture; // of the playlist being played, for a panel brought back
    sig_atomic_t hang_ups_seen = 0;
    std::string status_line; // what the service manager was told the show does
};

#endif
