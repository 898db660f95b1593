// The simulation's C++ API: virtual IT8951 controllers on a simulated USB bus that stands in for
// libusb-1.0 (libusb_facade.cpp). Tests configure the bus, inject faults and inspect what the
// controllers received and showed; epdshow-sim reads the same settings from EPDSIM_* variables.
//
// Controller index: the position of a controller among the vendor 0x048D devices in the order
// the bus lists them, which is the index the program gives it. Every per-controller function
// below takes that index. Presets list the controllers in multi ID order 0..n-1 unless an order
// is given.
//
// The EPDSIM_* variables, the fault grammar, the journal line and the device: sim/README.md.
#ifndef EPDSIM_H
#define EPDSIM_H

#include <cstdint>
#include <functional>
#include <map>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace epdsim {

enum class transfer_type : std::uint8_t { control = 0, isochronous = 1, bulk = 2, interrupt = 3 };

struct endpoint_config {
    std::uint8_t address = 0; // bit 7 set: IN
    transfer_type type = transfer_type::bulk;
    std::uint16_t max_packet_size = 512;
};

struct alt_setting_config {
    std::vector<endpoint_config> endpoints;
};

// An interface: its alternate settings, and the class, subclass and protocol each of them
// reports (by default a mass-storage device of the SCSI command set on the Bulk-Only Transport,
// as a controller is).
struct interface_config {
    std::vector<alt_setting_config> alt_settings;
    std::uint8_t class_code = 0x08;
    std::uint8_t subclass = 0x06;
    std::uint8_t protocol = 0x50;
};

// One interface, one alternate setting, bulk IN 0x81 and bulk OUT 0x02.
std::vector<interface_config> default_interfaces();
// One vendor-specific interface (class 0xFF) without endpoints: a device that is no controller.
std::vector<interface_config> vendor_specific_interface();

struct controller_config {
    int panel_width = 2880;
    int panel_height = 1080;
    std::uint32_t img_buf_addr = 0x00120000;
    int multiID = 0;
    std::uint16_t vendor_id = 0x048D;
    std::uint16_t product_id = 0x8951;
    std::uint8_t bus_number = 1;
    std::uint8_t device_address = 0; // 0: the bus numbers devices 2, 3, ... in list order
    int speed = 3;                   // reported as is by libusb_get_device_speed (3: high speed)
    int temperature = 25;            // replied by a type-0 temperature read
    int busy_reads = 2;              // reads of 0x18001224 that report busy after each refresh
    std::vector<interface_config> interfaces = default_interfaces();
    // Endpoints that carry the Bulk-Only Transport; 0: the first bulk endpoint of that
    // direction in the descriptor.
    std::uint8_t bot_in = 0;
    std::uint8_t bot_out = 0;
};

// A device that is no controller, of another vendor or of the controllers' own (a keyboard, an
// infrared receiver): listed and described; it answers no transfer.
struct other_device {
    std::uint16_t vendor_id = 0x1D6B;
    std::uint16_t product_id = 0x0002;
    std::uint8_t bus_number = 1;
    std::uint8_t device_address = 0;
    std::vector<interface_config> interfaces = vendor_specific_interface();
};

// Per-controller faults; the counters go down as the faults are given.
struct controller_faults {
    int stall_in = 0;
    int stall_out = 0;
    int timeout_in = 0;
    int timeout_out = 0;
    int timeout_data = 0;
    int short_csw = 0;
    int csw_failed = 0;              // status 1; the command has no effect, data-in is zeros
    int csw_phase_error = 0;         // status 2; likewise
    int open_error = 0;              // libusb code returned by libusb_open; 0: opens
    std::map<int, int> claim_errors; // interface number -> libusb code
    int device_descriptor_error = 0;
    int device_descriptor_ok_calls = 0; // calls that still succeed before the error
    int config_descriptor_error = 0;
    int config_descriptor_ok_calls = 0;
    int gone_from_command = -1;   // -1: never; 0: gone at open; K: from the K-th command's CBW
    int counted_from_command = 0; // stalls, timeouts and CSW faults wait for the K-th command
    int hang_from_command = 0;    // 0: never; K: every transfer times out from the K-th command
    int hang_every = 0;           // 0: never; N: hangs at the N-th command since start or reset
    // A controller that left the bus (gone_from_command > 0) is back at the N-th device listing
    // after it left (0: never back); back hung, a USB reset does not end its hang.
    int back_at_listing = 0;
    bool back_hung = false;
    // Not on the bus until the N-th device listing (0 or 1: there from the start).
    int plug_at_listing = 0;
};

struct bus_faults {
    int init_error = 0;
    int device_list_error = 0;
};

struct refresh_record {
    std::uint32_t address = 0; // word 0
    int mode = 0;
    int x = 0, y = 0, w = 0, h = 0;
    int arg6 = 0;
    bool partial_bit = false; // bit 19 of 0x18001138 when the refresh was made
};

struct journal_entry {
    int seq = 0;
    int controller = -1; // controller index
    int multiID = 0;
    bool command = true;             // false: a transfer that belongs to no command
    std::vector<std::uint8_t> block; // the 16-byte command block (empty for no-command)
    std::vector<std::uint8_t> setup; // a control request's 8-byte setup packet (else empty)
    std::uint8_t flags = 0;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> data; // bytes that moved in the data phase
    bool data_moved = false;
    int csw_status = -1; // -1: no CSW delivered
    std::vector<std::string> notes;
    bool violation = false; // the host broke the framing or the command's contract

    std::string line() const; // the journal text, without line feed
};

// --- bus set-up (each of these marks the bus as configured: the environment is then ignored)
void reset(); // empty bus, no faults, empty journal, no output files, nothing open
// Preset 42 (two 2880-wide controllers, band height 1080) or 32 (four 1440-wide, band height
// 640); order lists the multi IDs in bus order (default 0..n-1). Replaces the controllers.
void use_layout(int layout, const std::vector<int> &order = {});
int add_controller(const controller_config &config); // appended to the list; returns its index
void add_other_device(const other_device &device, int position = -1); // -1: at the end
bus_faults &global_faults();
controller_faults &faults(int controller);
void raise_after_command(int signal, int command);
void set_journal_file(const std::string &path); // "" to stop writing
// Whether journal() keeps every entry and refreshes() every refresh (the default after reset).
// Off, entries are still numbered, written to the journal file and counted, and refreshes still
// show on the panel, but neither is kept: a long run then needs no memory for them. Off as well
// when the bus is set up from the environment at libusb_init.
void keep_journal(bool keep);
void set_frames_dir(const std::string &dir);
void set_frames_max(int count); // frames written at most (default 1000); then one line on stderr
void set_memory_dir(const std::string &dir);
// Applies the EPDSIM_* variables to a reset bus; false with a one-line message on error.
bool configure_from_environment(std::string *error);

// What the host receives, rewritten: called for every IN transfer that reached a controller,
// after the controller answered. data has room for length bytes, of which *transferred were
// filled; result is the libusb code about to be returned. The hook may change the bytes, the
// count (0 to length) and the code it returns. The controller's own state and journal are left as
// the controller saw them. For fuzzing the host's handling of replies; an empty hook removes it.
using in_transfer_hook = std::function<int(int controller, unsigned char *data, int length,
                                           int *transferred, int result)>;
void set_in_transfer_hook(in_transfer_hook hook);

// --- inspection
int controller_count();
int controller_index_of(int multiID); // -1 when none
const controller_config &config(int controller);
const std::vector<journal_entry> &journal();
std::vector<std::string> journal_lines();
int violation_count();
int command_count(); // commands completed over the whole bus
const std::vector<std::uint8_t> &memory(int controller);
std::uint8_t memory_at(int controller, int x, int y);
std::uint32_t register_value(int controller, std::uint32_t address);
bool power_on(int controller);
int last_vcom(int controller);
int temperature(int controller);
const std::vector<refresh_record> &refreshes(int controller);
std::vector<std::uint8_t> clear_halts(int controller); // endpoints cleared, in call order
int mass_storage_resets(int controller); // Bulk-Only Mass Storage Resets the device took
int open_handles(int controller);
std::vector<int> claimed_interfaces(int controller);
bool initialised();       // between libusb_init and libusb_exit
int other_device_opens(); // libusb_open calls on devices that are no controller
int frame_count();
cv::Mat last_frame();  // CV_8UC1, empty before the first frame
cv::Mat shown_panel(); // what the panel shows now, 16 grey levels
int layout();          // 42, 32, or 0 when the controllers match no layout

class controller;
controller &device(int controller); // the device model, for bridges to other transports

} // namespace epdsim

#endif
