// The simulation's C++ API: virtual IT8951 controllers on a simulated USB bus that stands in for
// libusb-1.0 (see bus.cpp). Tests configure the bus, inject faults and inspect what the
// controllers received and showed; epdshow-sim reads the same settings from EPDSIM_* variables.
//
// Controller index: the position of a controller among the vendor 0x048D devices in the order
// the bus lists them, which is the index the program gives it. Every per-controller function
// below takes that index. Presets list the controllers in multi ID order 0..n-1 unless an order
// is given.
//
// Environment (read at libusb_init, only when this API has not configured the bus; an invalid
// value prints one message naming the variable and exits with status 2):
//   EPDSIM_LAYOUT=42|32            preset (default 42)
//   EPDSIM_ORDER=1,0               multi IDs in bus order (with EPDSIM_LAYOUT only)
//   EPDSIM_DEVICES=WxH@ID,...      a custom controller set, in bus order, instead of a preset
//                                  ("none": a bus without controllers)
//   EPDSIM_OTHERS=VID:PID[@POS],... devices of other vendors (hex IDs) at position POS of the
//                                  device list (default: at the end)
//   EPDSIM_TEMP=T[,T...]           temperature a type-0 read replies (signed; one value for all
//                                  controllers, or one per controller index)
//   EPDSIM_BUSY=N[,N...]           busy reads of 0x18001224 after each refresh
//   EPDSIM_SPEED=S[,S...]          speed value libusb_get_device_speed reports (any integer)
//   EPDSIM_FAULTS=ITEM[,ITEM...]   faults, grammar below
//   EPDSIM_RAISE=SIG@K[,SIG@K...]  raise SIG (SIGINT, SIGTERM, SIGABRT, INT, TERM, or a number)
//                                  inside the bus call that completes command K (1-based,
//                                  counted over all controllers)
//   EPDSIM_JOURNAL=FILE            the journal as text, one line per entry, flushed per line
//   EPDSIM_FRAMES=DIR              frame-0001.png, ... one per shown panel state
//   EPDSIM_MEMORY=DIR              controller-N.mem: raw image memory of controller index N,
//                                  written at libusb_exit
//
// Fault grammar (EPDSIM_FAULTS): ITEM = [TARGET '.'] NAME ['=' VALUE]
//   TARGET     devN (controller index N) or idM (the controller of multi ID M); without a target
//              a controller fault applies to every controller.
//   stall-in=N, stall-out=N      the next N transfers on that endpoint stall (LIBUSB_ERROR_PIPE);
//                                after a stall the endpoint stays halted (every transfer fails
//                                with LIBUSB_ERROR_PIPE, not counted) until libusb_clear_halt
//   timeout-in=N, timeout-out=N  the next N transfers on that endpoint time out
//   timeout-data=N               the next N data-phase transfers (either direction) time out
//   short-csw=N                  the next N CSWs arrive 12 bytes long
//   csw-fail=N, csw-phase=N      the next N commands fail with CSW status 1, or 2
//   from=K                       the faults above wait for the controller's K-th command: they
//                                hit its data phase and status, and every transfer after them
//   open[=CODE]                  libusb_open fails (default LIBUSB_ERROR_ACCESS)
//   claim=I[:CODE]               claiming interface I fails (default LIBUSB_ERROR_BUSY)
//   devdesc[=K[:CODE]]           libusb_get_device_descriptor fails from its (K+1)-th call on
//                                (default K 0, code LIBUSB_ERROR_IO)
//   cfgdesc[=K[:CODE]]           the same for libusb_get_config_descriptor
//   gone=K                       the device disappears when its K-th command's CBW arrives (0:
//                                already gone at libusb_open); LIBUSB_ERROR_NO_DEVICE from then on
//   init[=CODE], list[=CODE]     libusb_init / libusb_get_device_list fail (no target;
//                                defaults LIBUSB_ERROR_OTHER and LIBUSB_ERROR_NO_MEM)
//   CODE is a libusb error name with or without its LIBUSB_ERROR_ prefix (ACCESS, BUSY, IO, ...)
//   or a negative number.
//
// Journal line (one per command, or per transfer that belongs to no command), fields separated
// by one space:
//   #SEQ dev=INDEX id=MULTIID COMMAND flags=0xFF len=LENGTH data=DATA csw=STATUS[ note=TEXT]
//   SEQ       1-based, over the whole bus, zero-padded to 4 digits
//   COMMAND   sysinfo | read_reg addr=0xAAAAAAAA | write_reg addr=0xAAAAAAAA value=0xVVVVVVVV
//             | display mode=M x=X y=Y w=W h=H arg6=A | load_area addr=0xAAAAAAAA x=X y=Y w=W
//             rows=R | power on|off vcom=V | temp type=T value=V | write_mem addr=0xAAAAAAAA
//             rowlen=L | get_id | sub=0xSS unknown | op=0xOO unknown | no-command
//             (numbers in decimal unless shown as 0x...; fields decoded from a data phase that
//             did not arrive whole are printed as '?')
//   flags     the CBW's direction flags byte; len its data transfer length (for no-command: the
//             transfer's own direction as 0x80 or 0x00 and its length)
//   DATA      the data phase's bytes as lower-case hex when at most 64, else LENGTH:FNV where FNV
//             is the 16-digit lower-case hex 64-bit FNV-1a digest; '-' when no data moved
//   STATUS    the CSW status delivered (0, 1, 2), or '-' when no CSW was delivered
//   TEXT      violations and injected faults, '; '-separated, to the end of the line
//
// Device behaviour:
//   Image memory starts white (255); the panel starts white. Register 0x18001138 starts at
//   0x00100041. A command whose CBW direction or length does not fit its block, an unknown
//   operation code or sub-command, or a write outside the memory, fails with status 1 and has no
//   effect (its data phase still moves: data-in then carries zeros). An OUT transfer that is not a
//   valid CBW (31 bytes, "USBC", LUN 0, block length 16) while a CBW is due is taken and discarded,
//   and journaled as a no-command violation; an IN transfer with no command pending times out. A
//   data phase of another length, a CSW read before the data phase, fail the command with status
//   2 (residue: the bytes not moved); a CBW while a data phase or CSW is due drops the command in
//   progress (csw=-) and starts the new one. A stalled transfer moves nothing and leaves the
//   command where it was. A timeout that hits a CBW loses it; one that hits a data phase makes the
//   device abandon that phase and answer the CSW with status 2; one that hits the CSW loses it and
//   ends the command. Transfers on an endpoint of an unclaimed interface, an unknown endpoint, or a
//   control or isochronous endpoint fail with LIBUSB_ERROR_IO; an endpoint that the controller
//   does not serve for the Bulk-Only Transport times out.
//
// Frames: the panel shows a refresh as soon as it is made; a frame is the panel's state,
// written (counted, and saved as a PNG when a frames folder is set) when a power-off command
// arrives after at least one refresh since the last frame, and at libusb_exit when refreshes are
// still unshown.
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

struct interface_config {
    std::vector<alt_setting_config> alt_settings;
};

// One interface, one alternate setting, bulk IN 0x81 and bulk OUT 0x02.
std::vector<interface_config> default_interfaces();

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

// A device of another vendor: listed and described, never opened by the program.
struct other_device {
    std::uint16_t vendor_id = 0x1D6B;
    std::uint16_t product_id = 0x0002;
    std::uint8_t bus_number = 1;
    std::uint8_t device_address = 0;
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
// Whether journal() keeps every entry (the default after reset). Off, entries are still
// numbered, written to the journal file and counted, but not kept: a long run then needs no
// memory for them. Off as well when the bus is set up from the environment at libusb_init.
void keep_journal(bool keep);
void set_frames_dir(const std::string &dir);
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
int open_handles(int controller);
std::vector<int> claimed_interfaces(int controller);
bool initialised(); // between libusb_init and libusb_exit
int frame_count();
cv::Mat last_frame();  // CV_8UC1, empty before the first frame
cv::Mat shown_panel(); // what the panel shows now, 16 grey levels
int layout();          // 42, 32, or 0 when the controllers match no layout

class controller;
controller &device(int controller); // the device model, for bridges to other transports

} // namespace epdsim

#endif
