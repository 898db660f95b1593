// Composite panel: the controllers ordered into one panel, image distribution, refresh and the
// update sequence of one image.
#ifndef EPDSHOW_EPD_H
#define EPDSHOW_EPD_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "img_proc.h"

class epd_device;
class panel_observer;
struct panel_layout;

// A controller of the panel and its latest temperature reading.
struct controller_reading {
    int index = 0; // on the bus
    int multi_id = 0;
    std::optional<int> temperature; // none before the controller's first reading
};

// A controller a panel is made of: its multi ID and the band it drives.
struct panel_member {
    int multi_id = 0;
    int width = 0;
    int height = 0;
    bool operator==(const panel_member &other) const {
        return multi_id == other.multi_id && width == other.width && height == other.height;
    }
};

// What an update of the panel, or a clear, did.
struct update_result {
    enum class outcome {
        shown,            // the panel shows the picture (or white, after a clear)
        not_ready,        // the panel was not ready: nothing was sent
        panel_failed,     // a controller failed: the rest was given up (see epd::failed)
        picture_unusable, // the picture file could not be used: the panel was left as it was
        no_layout,        // the controllers match no layout: nothing was loaded or refreshed
    };
    outcome what = outcome::shown;
    // Whether the waveform engines went idle (false: the poll gave up on them).
    bool engines_idle = true;
    // How the panel failed, why the picture could not be used, or why no layout is matched; empty
    // when shown.
    std::string problem;
    // Commands that failed without failing their controller ("3 of 1,080 row writes failed on
    // controller 1"): what the panel shows is not all of what was sent. Empty when none did.
    std::string faults;
    // Each controller of the panel, top band first, with its latest reading.
    std::vector<controller_reading> controllers;
};

class epd {
  public:
    // Builds the panel from controllers 0 .. count - 1, placed into slots by their multi IDs.
    explicit epd(int count);
    // Builds the panel again from the controllers among 0 .. count - 1 that are its members, slot
    // by slot (as members() gave them), whatever else is on the bus; it is not ready unless every
    // member answers.
    epd(int count, const std::vector<panel_member> &members);
    ~epd();
    epd(const epd &) = delete;
    epd &operator=(const epd &) = delete;

    int get_width() const { return width; }
    int get_height() const { return height; }
    int get_intID() const { return intID; }
    int get_nb_devs() const { return nb_devs; }
    // False when the controllers could not be ordered into a panel (the reason was printed).
    bool is_ready() const { return ready; }
    // True once a controller of the panel has failed (left the bus, or stopped answering). The
    // update that meets it sends nothing more, powers the panel off when slot 0 still answers,
    // reports it and returns -2; the panel is of no further use.
    bool failed() const;
    // The controllers of the slots, slot 0 first; empty when the panel is not ready.
    std::vector<panel_member> members() const;
    // Members found by the second constructor, answering and placed.
    int members_found() const { return found_members; }
    // Says on standard error why no picture will be shown, when the controllers match no layout.
    void explain_missing_layout() const;
    // Why the controllers form no panel, in one line; empty when they do.
    const std::string &get_refusal() const { return refusal; }
    // 42 or 32 for a panel of a known layout; 0 for any other set of controllers.
    int get_layout_id() const;
    // Controller index i (0 .. count - 1), whatever its slot; null for another index.
    const epd_device *get_controller(int i) const;
    // The failed controller and why it failed ("controller 1 (slot 1, multi ID 1, bus 1, device 3)
    // has left the bus"); meaningful once failed().
    std::string failure_description() const;
    // The layout the controllers form, or null when they form none.
    const panel_layout *get_layout() const;

    // Image distribution.
    int ldImg2Buf(const std::string &path, int x, int y, int w, int h, int rotate);
    int ldImg2Buf(const std::string &path, int rotate);

    // Refresh.
    int display(int x, int y, int w, int h, int waveform_mode, bool partial, int value);
    int display(int waveform_mode, int value);
    int set_partial_bit(bool enable, int slot);

    // Update sequence and panel services. An update ends with the panel powered off; the slide
    // interval that follows is the caller's.
    update_result eInk_display_full(const std::string &path, int waveform_mode, int rotate,
                                    int en_set_temperature);
    update_result eInk_display_partial(const std::string &path, int x, int y, int w, int h,
                                       int waveform_mode, int rotate, int en_set_temperature);
    int pmic_ctrl(bool on, int vcom);
    int rw_temperature(int type, int value);
    int rw_temperature(int type, int value, int slot);
    int write_register(int address, int value);
    // Polls until every LUT engine is idle; gives up (result -1) after the poll limit.
    int check_LUT_engine();
    void clr_screen();
    // The LUT engine poll's limit, 60 s unless changed.
    void set_lut_poll_limit_ms(int limit_ms);
    // How every later image is fitted and dithered (stretched, not dithered unless set).
    void set_picture_options(const picture_options &options);
    // Powers the panel, clears it to white with waveform mode 0 and powers it off again.
    update_result deep_clear();
    // Borrows an observer (null: none), told of every band written and every refresh made.
    void set_observer(panel_observer *observer);

  private:
    // One slot's part of a rectangle: rows at row_offset of its memory, cut with flip.
    struct band_share {
        int slot;
        int rows;
        int row_offset;
        bool flip;
        bool after_rectangle; // the rectangle had ended above this band
    };

    bool every_controller_open();
    bool place_controllers();
    bool place_members(const std::vector<panel_member> &wanted);
    void finish_building();
    bool every_record_read();
    update_result give_up(const std::string &path);
    update_result give_up_deep_clear();
    update_result result_of(update_result::outcome what, bool engines_idle = true) const;
    const char *power_off_after_failure();
    int failed_slot() const;
    void report_unordered_controllers();
    bool rectangle_fits(int x, int y, int w, int h) const;
    epd_device *slot(int i) const;
    std::vector<band_share> band_shares(int y, int h, bool bottom_band_reversed) const;
    bool load_bands(const std::string &path, int x, int y, int w, int h, int rotate,
                    bool bottom_band_reversed);
    void refresh_bands(int x, int y, int w, int h, int waveform_mode, bool partial, int value,
                       bool bottom_band_reversed);
    bool begin_update(const std::string &path, int x, int y, int w, int h, int rotate,
                      int en_set_temperature, std::optional<int> &temperature,
                      update_result &result);
    std::optional<int> prepare_temperature(int en_set_temperature);
    std::optional<int> average_temperature(int value);
    update_result finish_update(std::optional<int> temperature, const std::string &path);
    void note_fault(const std::string &fault);
    int rw_one_temperature(int type, int value, int slot_number);
    bool lut_engine_busy();

    int width = 0;
    int height = 0;
    int intID = 0;
    int nb_devs = 0;
    bool ready = false;
    int found_members = 0;
    std::string refusal;
    std::string picture_problem; // why the latest picture could not be used
    epd_device *it8951_dev[4] = {};
    std::vector<std::unique_ptr<epd_device>> controllers; // owns every controller object
    int lut_poll_limit_ms = 60000;
    picture_options picture_settings;
    panel_observer *observer = nullptr;
    std::optional<int> slot_temperature[4]; // the latest reading of each slot
    // The latest average that some controller reported, for an update whose readings all failed.
    std::optional<int> last_good_temperature;
    std::vector<std::string> update_faults; // of the update in progress
};

#endif
