// Composite panel: the controllers ordered into one panel, image distribution, refresh and the
// update sequence of one image.
#ifndef EPDSHOW_EPD_H
#define EPDSHOW_EPD_H

#include <memory>
#include <string>
#include <vector>

#include "img_proc.h"

class epd_device;
class status_report;
struct status_controller;

class epd {
  public:
    // Builds the panel from controllers 0 .. count - 1, placed into slots by their multi IDs.
    explicit epd(int count);
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
    // Controllers created, and those whose system information came through.
    int controllers_found() const { return static_cast<int>(controllers.size()); }
    int controllers_answering() const;
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
    // Why the latest update showed no picture (its file could not be used); empty when it did.
    const std::string &get_picture_problem() const { return picture_problem; }

    // Image distribution.
    int ldImg2Buf(const std::string &path, int x, int y, int w, int h, int rotate);
    int ldImg2Buf(const std::string &path, int rotate);
    int load_32_epd_img(const std::string &path, int x, int y, int w, int h, int rotate);
    int load_42_epd_img(const std::string &path, int x, int y, int w, int h, int rotate);

    // Refresh.
    int display(int x, int y, int w, int h, int waveform_mode, bool partial, int value);
    int display(int waveform_mode, int value);
    int display_32_epd(int x, int y, int w, int h, int waveform_mode, bool partial, int value);
    int display_42_epd(int x, int y, int w, int h, int waveform_mode, bool partial, int value);
    int set_partial_bit(bool enable, int slot);

    // Update sequence and panel services. Each returns 0 once the image was shown, -1 on a
    // panel that is not ready, panel_failed when a controller failed during the update (see
    // failed()), and picture_unusable when the picture file could not be used: the panel is then
    // left as it was and the slide interval is not waited.
    static constexpr int panel_failed = -2;
    static constexpr int picture_unusable = -3;
    int eInk_display_full(std::string path, int waveform_mode, int rotate, int slide_interval,
                          int en_set_temperature);
    int eInk_display_partial(std::string path, int x, int y, int w, int h, int waveform_mode,
                             int rotate, int slide_interval, int en_set_temperature);
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
    void deep_clear();
    // Borrows the report of the status folder (null: none): every band written and refreshed is
    // kept in its mirror, and every refresh the panel completes is reported to it.
    void set_status_report(status_report *report);

  private:
    enum class layout { none, panel_42, panel_32 };
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
    bool every_record_read();
    int give_up(const std::string &path);
    const char *power_off_after_failure();
    int failed_slot() const;
    std::vector<status_controller> controller_states() const;
    std::string layout_mismatch() const;
    void report_unordered_controllers();
    layout current_layout() const;
    bool rectangle_fits(int x, int y, int w, int h) const;
    epd_device *slot(int i) const;
    std::vector<band_share> band_shares(int y, int h, bool bottom_band_reversed) const;
    bool load_bands(const std::string &path, int x, int y, int w, int h, int rotate,
                    bool bottom_band_reversed);
    void refresh_bands(int x, int y, int w, int h, int waveform_mode, bool partial, int value,
                       bool bottom_band_reversed);
    int begin_update(const std::string &path, int x, int y, int w, int h, int rotate,
                     int en_set_temperature, int &temperature);
    int prepare_temperature(int en_set_temperature);
    int finish_update(int temperature, int slide_interval, const std::string &path);
    int rw_one_temperature(int type, int value, int slot_number);
    bool lut_engine_busy();

    int width = 0;
    int height = 0;
    int intID = 0;
    int nb_devs = 0;
    bool ready = false;
    std::string refusal;
    std::string picture_problem;
    epd_device *it8951_dev[4] = {};
    std::vector<std::unique_ptr<epd_device>> controllers; // owns every controller object
    int lut_poll_limit_ms = 60000;
    picture_options picture_settings;
    status_report *status = nullptr;
    int slot_temperature[4] = {}; // the latest reading of each slot, for the status folder
};

#endif
