#include "epd.h"

#include "epd_device.h"
#include "img_proc.h"
#include "panel_layout.h"
#include "panel_observer.h"
#include "tool.h"
#include "usb_controller.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace {

constexpr int slot_capacity = 4;
// Controller 0 reporting a multi ID above this drives the panel alone.
constexpr int largest_slot_multi_id = 10000;

constexpr int partial_register = 0x18001138;
constexpr uint32_t partial_bit = 0x80000;
constexpr int lut_engine_register = 0x18001224;
constexpr uint32_t lut_engine_busy_bits = 0xFFFF;

constexpr int vcom = 2330;
constexpr int temperature_read_value = -15;
constexpr int temperature_write_type = 2;
constexpr int refresh_value = 1;

constexpr int64_t short_delay_ms = 30;
constexpr int64_t cold_wait_ms = 10000;

// A band side no controller has: the 16-bit row length of a memory write is the widest row.
constexpr int largest_band_side = 65535;

// A record that reports a band past any real size (damaged, or misread) would overflow the panel's
// height and have every picture scaled to an absurd size: no panel is built from it.
bool band_size_usable(const epd_device &device, std::string &refusal) {
    const int w = device.get_width();
    const int h = device.get_height();
    if (w >= 1 && w <= largest_band_side && h >= 1 && h <= largest_band_side) {
        return true;
    }
    refusal = "cannot build the panel: controller " + std::to_string(device.get_index()) +
              " reports a band of " + std::to_string(w) + " x " + std::to_string(h) + " pixels";
    std::fprintf(stderr, "Error: %s\n", refusal.c_str());
    return false;
}

int with_partial_bit(int value, bool enable) {
    const uint32_t bits = static_cast<uint32_t>(value);
    return static_cast<int>(enable ? bits | partial_bit : bits & ~partial_bit);
}

} // namespace

epd::epd(int count) : nb_devs(count) {
    if (count <= 0) {
        refusal = "no controller to build the panel from (controller count " +
                  std::to_string(count) + ")";
        std::fprintf(stderr, "Error: %s\n", refusal.c_str());
        return;
    }
    for (int i = 0; i < count; ++i) {
        controllers.push_back(std::make_unique<epd_device>(i));
    }
    ready = every_controller_open() && every_record_read() && place_controllers() &&
            band_size_usable(*it8951_dev[0], refusal);
    finish_building();
}

epd::epd(int count, const std::vector<panel_member> &members)
    : nb_devs(static_cast<int>(members.size())) {
    for (int i = 0; i < count; ++i) {
        controllers.push_back(std::make_unique<epd_device>(i));
    }
    ready = !members.empty() && nb_devs <= slot_capacity && place_members(members) &&
            band_size_usable(*it8951_dev[0], refusal);
    finish_building();
}

void epd::finish_building() {
    if (!ready) {
        return;
    }
    width = it8951_dev[0]->get_width();
    height = it8951_dev[0]->get_height() * nb_devs;
    intID = it8951_dev[0]->get_multiID();
    std::printf("EPD Width = %d, Height = %d\n", width, height);
}

// Each member is the first controller not yet placed that delivered its record and reports the
// member's multi ID and band. When one is missing, the panel is refused as a panel of every
// controller would be: for a controller not opened, or whose record did not arrive, or else for
// the member that no controller matches.
bool epd::place_members(const std::vector<panel_member> &wanted) {
    std::vector<bool> taken(controllers.size(), false);
    size_t first_missing = wanted.size();
    for (size_t slot_number = 0; slot_number < wanted.size(); ++slot_number) {
        const panel_member &member = wanted[slot_number];
        for (size_t j = 0; j < controllers.size(); ++j) {
            const epd_device &device = *controllers[j];
            if (!taken[j] && device.system_info_read() &&
                member ==
                    panel_member{device.get_multiID(), device.get_width(), device.get_height()}) {
                taken[j] = true;
                it8951_dev[slot_number] = controllers[j].get();
                ++found_members;
                break;
            }
        }
        if (it8951_dev[slot_number] == nullptr && first_missing == wanted.size()) {
            first_missing = slot_number;
        }
    }
    if (found_members == nb_devs) {
        return true;
    }
    std::fill(std::begin(it8951_dev), std::end(it8951_dev), nullptr);
    if (every_controller_open() && every_record_read()) {
        const panel_member &member = wanted[first_missing];
        refusal = "cannot build the panel: no controller of multi ID " +
                  std::to_string(member.multi_id) + " with a band of " +
                  std::to_string(member.width) + " x " + std::to_string(member.height) + " answers";
        std::fprintf(stderr, "Error: %s\n", refusal.c_str());
    }
    return false;
}

std::vector<panel_member> epd::members() const {
    std::vector<panel_member> list;
    for (int i = 0; ready && i < nb_devs; ++i) {
        const epd_device &device = *it8951_dev[i];
        list.push_back({device.get_multiID(), device.get_width(), device.get_height()});
    }
    return list;
}

epd::~epd() = default;

// A record that did not arrive reads as zeros: no panel is built from it.
bool epd::every_record_read() {
    for (const auto &device : controllers) {
        if (!device->system_info_read()) {
            refusal = "cannot build the panel: " + usb_controller_label(device->get_index()) +
                      " did not deliver its system information";
            std::fprintf(stderr, "Error: %s\n", refusal.c_str());
            return false;
        }
    }
    return true;
}

bool epd::failed() const {
    for (int i = 0; i < nb_devs; ++i) {
        if (const epd_device *device = slot(i); device != nullptr && device->failed()) {
            return true;
        }
    }
    return false;
}

void epd::explain_missing_layout() const {
    if (ready && get_layout() == nullptr) {
        std::fprintf(stderr, "Warning: no picture will be shown: %s\n",
                     layout_mismatch(nb_devs, width).c_str());
    }
}

int epd::failed_slot() const {
    int bad_slot = 0;
    while (bad_slot < nb_devs - 1 && !slot(bad_slot)->failed()) {
        ++bad_slot;
    }
    return bad_slot;
}

std::string epd::failure_description() const {
    if (!ready) {
        return "";
    }
    const int bad_slot = failed_slot();
    const epd_device &bad = *slot(bad_slot);
    char text[160];
    std::snprintf(text, sizeof text, "controller %d (slot %d, multi ID %d, bus %d, device %d) ",
                  bad.get_index(), bad_slot, bad.get_multiID(), bad.bus_number(),
                  bad.device_address());
    return text + bad.failure_cause();
}

// The panel failed during the update of path: nothing more of it is sent. The panel is powered off
// through slot 0 when that controller still answers; the failed controller is named.
update_result epd::give_up(const std::string &path) {
    const char *power = power_off_after_failure();
    perr(log_file,
         "Error: the panel failed: %s. The image %s is given up, %s; the tool looks for the "
         "controllers again and then shows it again\n",
         failure_description().c_str(), path.c_str(), power);
    return result_of(update_result::outcome::panel_failed);
}

// The panel failed during a deep clear: as for an image, with nothing to show again.
update_result epd::give_up_deep_clear() {
    const char *power = power_off_after_failure();
    perr(log_file,
         "Error: the panel failed: %s. The deep clear is given up, %s; the tool looks for the "
         "controllers again\n",
         failure_description().c_str(), power);
    return result_of(update_result::outcome::panel_failed);
}

update_result epd::result_of(update_result::outcome what, bool engines_idle) const {
    update_result result;
    result.what = what;
    result.engines_idle = engines_idle;
    if (what == update_result::outcome::panel_failed) {
        result.problem = failure_description();
    } else if (what == update_result::outcome::picture_unusable) {
        result.problem = picture_problem;
    } else if (what == update_result::outcome::no_layout) {
        result.problem = layout_mismatch(nb_devs, width);
    }
    for (const std::string &fault : update_faults) {
        result.faults += (result.faults.empty() ? "" : "; ") + fault;
    }
    for (int i = nb_devs - 1; ready && i >= 0; --i) {
        const epd_device *device = slot(i);
        result.controllers.push_back(
            {device->get_index(), device->get_multiID(), slot_temperature[i]});
    }
    return result;
}

// Powers the panel off through slot 0 when that controller still answers; says how it went.
const char *epd::power_off_after_failure() {
    if (slot(0)->failed()) {
        return "the panel could not be powered off";
    }
    std::puts("Set Power Off (0xA3)");
    pmic_ctrl(false, vcom);
    return slot(0)->last_command_went_through() ? "the panel is powered off"
                                                : "the panel could not be powered off";
}

// A controller that could not be opened reads as zeros: the panel is refused for that cause,
// not for the multi IDs it seems to report.
bool epd::every_controller_open() {
    const epd_device *first = nullptr;
    int unopened = 0;
    for (const auto &device : controllers) {
        if (device->get_open_result() != 0) {
            first = first != nullptr ? first : device.get();
            ++unopened;
        }
    }
    if (first == nullptr) {
        return true;
    }
    const std::string label = usb_controller_label(first->get_index());
    const std::string cause = usb_error_text(first->get_open_result());
    refusal = unopened == 1 ? "cannot build the panel: " + label + " could not be opened: " + cause
                            : "cannot build the panel: " + std::to_string(unopened) +
                                  " controllers could not be opened, " + label + " first: " + cause;
    std::fprintf(stderr, "Error: %s\n", refusal.c_str());
    return false;
}

int epd::get_layout_id() const {
    const panel_layout *layout = get_layout();
    return layout != nullptr ? layout->id : 0;
}

const panel_layout *epd::get_layout() const {
    return ready ? find_panel_layout(nb_devs, width) : nullptr;
}

const epd_device *epd::get_controller(int i) const {
    if (i < 0 || i >= static_cast<int>(controllers.size())) {
        return nullptr;
    }
    return controllers[i].get();
}

bool epd::place_controllers() {
    const int first_id = controllers[0]->get_multiID();
    if (first_id > largest_slot_multi_id) {
        it8951_dev[0] = controllers[0].get();
        if (nb_devs > 1) {
            std::fprintf(stderr,
                         "Warning: controller 0 reports multi ID %d: the panel is controller 0 "
                         "alone, the other %d controllers are ignored\n",
                         first_id, nb_devs - 1);
            nb_devs = 1;
        }
        return true;
    }
    bool placed = nb_devs <= slot_capacity;
    for (int j = 0; placed && j < nb_devs; ++j) {
        const int id = controllers[j]->get_multiID();
        if (id < 0 || id >= nb_devs || it8951_dev[id] != nullptr) {
            placed = false;
        } else {
            it8951_dev[id] = controllers[j].get();
        }
    }
    if (!placed) {
        std::fill(std::begin(it8951_dev), std::end(it8951_dev), nullptr);
        report_unordered_controllers();
    }
    return placed;
}

void epd::report_unordered_controllers() {
    refusal = "cannot order the controllers into a panel: ";
    if (nb_devs > slot_capacity) {
        refusal += std::to_string(nb_devs) + " controllers found, a panel takes at most " +
                   std::to_string(slot_capacity);
    } else {
        refusal += "their multi IDs must be 0 to " + std::to_string(nb_devs - 1) + ", each once";
    }
    std::fprintf(stderr, "Error: %s:\n", refusal.c_str());
    for (int j = 0; j < nb_devs; ++j) {
        std::fprintf(stderr, "\tcontroller %d reports multi ID %d\n", j,
                     controllers[j]->get_multiID());
    }
}

bool epd::rectangle_fits(int x, int y, int w, int h) const {
    return ready && w > 0 && h > 0 && x >= 0 && y >= 0 && int64_t{x} + w <= width;
}

epd_device *epd::slot(int i) const {
    if (!ready || i < 0 || i >= nb_devs || i >= slot_capacity) {
        return nullptr;
    }
    return it8951_dev[i];
}

std::vector<epd::band_share> epd::band_shares(int y, int h, bool bottom_band_reversed) const {
    std::vector<band_share> shares;
    const int band = height / nb_devs;
    int ry = y;
    int rh = h;
    for (int i = nb_devs - 1; i >= 0; --i) {
        // A rectangle starting exactly on this band's lower edge still visits it with 0 rows.
        if (ry > band) {
            ry -= band;
            continue;
        }
        band_share share{i, 0, ry, true, rh <= 0};
        if (int64_t{ry} + rh < band) {
            share.rows = rh;
            rh = 0;
        } else {
            share.rows = band - ry;
            ry = 0;
            rh -= share.rows;
        }
        if (bottom_band_reversed && i == 0) {
            // The bottom band counts its memory rows up from the panel's edge.
            share.row_offset = band - share.row_offset - share.rows;
            share.flip = false;
        }
        shares.push_back(share);
    }
    return shares;
}

// A panel of no layout loads nothing: the picture file is not even opened.
int epd::ldImg2Buf(const std::string &path, int x, int y, int w, int h, int rotate) {
    const panel_layout *layout = get_layout();
    if (layout == nullptr) {
        return 0;
    }
    return load_bands(path, x, y, w, h, rotate, layout->bottom_band_turned) ? 0 : -1;
}

int epd::ldImg2Buf(const std::string &path, int rotate) {
    return ldImg2Buf(path, 0, 0, width, height, rotate);
}

// False when the picture could not be used (picture_problem says why); nothing is written then.
bool epd::load_bands(const std::string &path, int x, int y, int w, int h, int rotate,
                     bool bottom_band_reversed) {
    picture_problem.clear();
    if (!rectangle_fits(x, y, w, h)) {
        return true;
    }
    const img_proc picture(path.c_str(), w, h, rotate, picture_settings);
    if (picture.empty()) {
        picture_problem = picture.get_problem();
        return false;
    }
    int source_row = 0;
    for (const band_share &share : band_shares(y, h, bottom_band_reversed)) {
        if (share.after_rectangle || failed()) {
            continue;
        }
        band_buffer rows = picture.getArea(0, source_row, w, share.rows, share.flip);
        if (rows) {
            epd_device *device = slot(share.slot);
            int stored = 0;
            device->fast_write_mem(std::move(rows), x, share.row_offset, w, share.rows,
                                   [&](int row, const unsigned char *bytes) {
                                       ++stored;
                                       if (observer != nullptr) {
                                           observer->band_written(
                                               share.slot, x, share.row_offset + row, w, 1, bytes);
                                       }
                                   });
            if (stored < share.rows && !failed()) {
                note_fault(with_thousands(share.rows - stored) + " of " +
                           with_thousands(share.rows) + " row writes failed on controller " +
                           std::to_string(device->get_index()));
            }
        }
        source_row += share.rows;
    }
    return true;
}

// A panel of no layout sends no refresh at all.
int epd::display(int x, int y, int w, int h, int waveform_mode, bool partial, int value) {
    if (const panel_layout *layout = get_layout()) {
        refresh_bands(x, y, w, h, waveform_mode, partial, value, layout->bottom_band_turned);
    }
    return 0;
}

int epd::display(int waveform_mode, int value) {
    return display(0, 0, width, height, waveform_mode, false, value);
}

void epd::refresh_bands(int x, int y, int w, int h, int waveform_mode, bool partial, int value,
                        bool bottom_band_reversed) {
    if (!rectangle_fits(x, y, w, h)) {
        return;
    }
    for (const band_share &share : band_shares(y, h, bottom_band_reversed)) {
        epd_device *device = slot(share.slot);
        if (failed()) {
            return;
        }
        const cv::Rect area =
            share.rows != 0 ? cv::Rect(x, share.row_offset, w, share.rows) : cv::Rect(0, 0, 10, 10);
        // A band below the rectangle still gets a small refresh.
        set_partial_bit(share.rows != 0 ? false : partial, share.slot);
        device->display(area.x, area.y, area.width, area.height, waveform_mode, value);
        if (device->last_command_failed()) {
            note_fault("the refresh failed on controller " + std::to_string(device->get_index()));
        } else if (observer != nullptr) {
            observer->refresh_made(share.slot, area.x, area.y, area.width, area.height,
                                   waveform_mode);
        }
    }
}

int epd::set_partial_bit(bool enable, int slot_number) {
    epd_device *device = slot(slot_number);
    if (device == nullptr) {
        return 0;
    }
    const int value = device->read_register(partial_register);
    if (device->last_command_failed()) {
        // Written back, a value never read would clear every other bit of the register.
        perr(log_file,
             "Warning: controller %d (slot %d): the read of register 0x%08X failed; its partial "
             "bit is left as it was\n",
             device->get_index(), slot_number, static_cast<unsigned>(partial_register));
        return 0;
    }
    device->write_register(partial_register, with_partial_bit(value, enable));
    std::printf(enable ? "[%d]Enable Partial Bit 19 done\n" : "[%d]Disable Partial Bit 19 done\n",
                slot_number);
    return 0;
}

update_result epd::eInk_display_full(const std::string &path, int waveform_mode, int rotate,
                                     int en_set_temperature) {
    update_result result;
    std::optional<int> temperature;
    if (!begin_update(path, 0, 0, width, height, rotate, en_set_temperature, temperature, result)) {
        return result;
    }
    std::puts("Power on");
    pmic_ctrl(true, vcom);
    std::puts("Display Area (0x94)");
    display(waveform_mode, refresh_value);
    return finish_update(temperature, path);
}

update_result epd::eInk_display_partial(const std::string &path, int x, int y, int w, int h,
                                        int waveform_mode, int rotate, int en_set_temperature) {
    update_result result;
    std::optional<int> temperature;
    if (!begin_update(path, x, y, w, h, rotate, en_set_temperature, temperature, result)) {
        return result;
    }
    std::puts("Power on");
    pmic_ctrl(true, vcom);
    std::puts("Delay ~30ms");
    sleep_ms(short_delay_ms);
    std::puts("Display Area (0x94)");
    display(x, y, w, h, waveform_mode, true, refresh_value);
    return finish_update(temperature, path);
}

// The first steps of an update: the temperature, then the picture into the controllers' memory.
// True when the update goes on; otherwise false, with result saying why it ended (the panel is not
// ready or failed, or the picture could not be used).
bool epd::begin_update(const std::string &path, int x, int y, int w, int h, int rotate,
                       int en_set_temperature, std::optional<int> &temperature,
                       update_result &result) {
    if (!ready) {
        result = result_of(update_result::outcome::not_ready);
        return false;
    }
    update_faults.clear();
    temperature = prepare_temperature(en_set_temperature);
    if (failed()) {
        result = give_up(path);
        return false;
    }
    std::puts("Load Image (0xA2)");
    const bool loaded = ldImg2Buf(path, x, y, w, h, rotate) == 0;
    if (failed()) {
        result = give_up(path);
        return false;
    }
    if (!loaded) {
        result = result_of(update_result::outcome::picture_unusable);
        return false;
    }
    return true;
}

// The temperature the update goes by: the average of this reading, written back when asked; when
// no controller reported one, nothing is written and the last good average of this run stands in
// (none before the first).
std::optional<int> epd::prepare_temperature(int en_set_temperature) {
    std::puts("Read Temperature (0xA4)");
    const std::optional<int> reading = average_temperature(temperature_read_value);
    if (!reading) {
        if (!failed()) {
            perr(log_file,
                 "Warning: no controller reported its temperature: none is written back, and the "
                 "update goes by %s\n",
                 last_good_temperature
                     ? (std::to_string(*last_good_temperature) + " Celsius, the last reading")
                           .c_str()
                     : "the LUT engine poll");
        }
        return last_good_temperature;
    }
    last_good_temperature = reading;
    if (en_set_temperature == 0) {
        std::puts("Write Temperature (0xA4)");
        rw_temperature(temperature_write_type, *reading);
    }
    return reading;
}

void epd::note_fault(const std::string &fault) {
    update_faults.push_back(fault);
}

update_result epd::finish_update(std::optional<int> temperature, const std::string &path) {
    if (failed()) {
        return give_up(path);
    }
    if (temperature) {
        std::printf("Temperature = %d\n", *temperature);
    } else {
        std::puts("Temperature = unknown");
    }
    bool engine_idle = true;
    if (!temperature || *temperature > 0) {
        std::puts("Read from Register - 0x18001224 to check LUT engine");
        engine_idle = check_LUT_engine() == 0;
        std::puts("Delay ~30ms");
        sleep_ms(short_delay_ms);
    } else {
        // The LUT engine state is not trusted in the cold: a fixed wait stands in for the poll.
        std::puts("Temperature is less than zero");
        sleep_ms(cold_wait_ms);
    }
    if (failed()) {
        return give_up(path);
    }
    std::puts("Delay ~30ms");
    sleep_ms(short_delay_ms);
    std::puts("Set Power Off (0xA3)");
    pmic_ctrl(false, vcom);
    if (failed()) {
        return give_up(path);
    }
    return result_of(get_layout() != nullptr ? update_result::outcome::shown
                                             : update_result::outcome::no_layout,
                     engine_idle);
}

int epd::pmic_ctrl(bool on, int vcom_value) {
    epd_device *device = slot(0);
    if (device == nullptr) {
        return 0;
    }
    std::printf("it8951_dev[%d]: pmic_ctrl\n", 0);
    device->set_power(on, vcom_value);
    if (device->last_command_failed() && !device->failed()) {
        note_fault(std::string(on ? "the power-on" : "the power-off") + " failed on controller " +
                   std::to_string(device->get_index()));
    }
    return 0;
}

int epd::rw_temperature(int type, int value) {
    if (slot(0) == nullptr) {
        return 0;
    }
    if (type == 0) {
        return average_temperature(value).value_or(0);
    }
    for (int i = nb_devs - 1; i >= 0 && !failed(); --i) {
        rw_one_temperature(type, value, i);
    }
    return 0;
}

// The average of the controllers that answered (a failed reading is no reading of 0 degrees);
// none when no controller answered.
std::optional<int> epd::average_temperature(int value) {
    int sum = 0;
    int answered = 0;
    for (int i = nb_devs - 1; i >= 0 && !failed(); --i) {
        const int reading = rw_one_temperature(0, value, i);
        if (!slot(i)->last_command_failed()) {
            sum += reading;
            ++answered;
            slot_temperature[i] = reading;
        }
    }
    return answered == 0 ? std::nullopt : std::optional<int>(sum / answered);
}

int epd::rw_temperature(int type, int value, int slot_number) {
    if (slot(slot_number) == nullptr) {
        return 0;
    }
    const int reading = rw_one_temperature(type, value, slot_number);
    return type != 0 ? 0 : reading / nb_devs;
}

int epd::rw_one_temperature(int type, int value, int slot_number) {
    epd_device *device = slot(slot_number);
    if (type != 0) {
        std::printf("it8951_dev[%d]: write_temperature %d Celsius\n", slot_number, value);
        device->set_temperature(type, value);
        return 0;
    }
    std::printf("it8951_dev[%d]: read_temperature\n", slot_number);
    return device->set_temperature(0, value);
}

int epd::write_register(int address, int value) {
    for (int i = nb_devs - 1; i >= 0; --i) {
        if (epd_device *device = slot(i)) {
            device->write_register(address, value);
        }
    }
    return 0;
}

int epd::check_LUT_engine() {
    if (slot(0) == nullptr) {
        return 0;
    }
    using clock = std::chrono::steady_clock;
    const auto give_up = clock::now() + std::chrono::milliseconds(lut_poll_limit_ms);
    while (lut_engine_busy()) {
        if (failed()) {
            return -1;
        }
        std::puts("LUT engine is busy!");
        if (clock::now() >= give_up) {
            std::printf("LUT engine still busy after %g s, going on\n", lut_poll_limit_ms / 1000.0);
            return -1;
        }
    }
    return 0;
}

bool epd::lut_engine_busy() {
    uint32_t busy = 0;
    for (int i = nb_devs - 1; i >= 0 && !failed(); --i) {
        const auto value = static_cast<uint32_t>(slot(i)->read_register(lut_engine_register));
        // A read that failed says nothing: the engines are taken for busy, so the poll goes on
        // (bounded by its time limit and by the failed-exchange count) instead of powering off
        // in the middle of a refresh.
        busy |= slot(i)->last_command_failed() ? lut_engine_busy_bits : value;
        sleep_ms(short_delay_ms);
    }
    return (busy & lut_engine_busy_bits) != 0;
}

void epd::clr_screen() {
    display(0, refresh_value);
    check_LUT_engine();
    std::puts("Delay ~30ms");
    sleep_ms(short_delay_ms);
}

void epd::set_picture_options(const picture_options &options) {
    picture_settings = options;
}

update_result epd::deep_clear() {
    if (!ready) {
        return result_of(update_result::outcome::not_ready);
    }
    std::puts("Power on");
    pmic_ctrl(true, vcom);
    std::puts("Clear Screen (0x94)");
    clr_screen();
    if (failed()) {
        return give_up_deep_clear();
    }
    std::puts("Set Power Off (0xA3)");
    pmic_ctrl(false, vcom);
    if (failed()) {
        return give_up_deep_clear();
    }
    return result_of(get_layout() != nullptr ? update_result::outcome::shown
                                             : update_result::outcome::no_layout);
}

void epd::set_observer(panel_observer *watcher) {
    observer = watcher;
}

void epd::set_lut_poll_limit_ms(int limit_ms) {
    lut_poll_limit_ms = limit_ms;
}
