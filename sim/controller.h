// The virtual IT8951 controller: a USB mass-storage device speaking the Bulk-Only Transport,
// fed one bulk transfer at a time. It knows nothing of libusb: a bus (libusb_facade.cpp) or any
// other transport hands it the transfers of its two Bulk-Only endpoints and maps the results.
// controller.cpp holds the transport (wrappers, phases, injected faults), controller_commands.cpp
// the vendor sub-commands and what they do to the device.
#ifndef EPDSIM_CONTROLLER_H
#define EPDSIM_CONTROLLER_H

#include "epdsim.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace epdsim {

enum class transfer_status { ok, stall, timeout, overflow, no_device };

struct transfer_result {
    transfer_status status = transfer_status::ok;
    std::size_t transferred = 0;
};

// A control request's setup packet, its fields in host order.
struct setup_packet {
    std::uint8_t request_type = 0; // bmRequestType
    std::uint8_t request = 0;      // bRequest
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
};

class controller {
  public:
    explicit controller(const controller_config &config);

    const controller_config &config() const { return cfg; }
    controller_faults &faults() { return fault; }
    // Receives each journal entry when its command (or stray transfer) is over; seq is left 0.
    // The entry is handed over: the controller keeps no copy.
    void set_journal_sink(std::function<void(journal_entry &&)> sink);
    // Label written into this controller's journal entries.
    void set_index(int index) { bus_index = index; }
    void set_temperature(int celsius) { cfg.temperature = temp = celsius; }
    void set_busy_reads(int reads) { cfg.busy_reads = reads; }
    void set_speed(int speed) { cfg.speed = speed; }

    std::uint8_t in_endpoint() const { return ep_in; }
    std::uint8_t out_endpoint() const { return ep_out; }
    transfer_result bulk_out(std::uint8_t endpoint, const std::uint8_t *data, std::size_t length);
    transfer_result bulk_in(std::uint8_t endpoint, std::uint8_t *buffer, std::size_t length);
    // A control request on the default endpoint; interface_claimed: whether the host holds the
    // interface wIndex names. Only the Bulk-Only Mass Storage Reset of the Bulk-Only interface is
    // understood: the command in progress is dropped and a CBW is due next; halts stay as they
    // are. Any other request stalls and is journaled as a violation. Nothing moves in a data
    // stage: the one request understood has none.
    transfer_result control(const setup_packet &setup, bool interface_claimed);
    // false when the device is gone.
    bool clear_halt(std::uint8_t endpoint);
    bool gone() const { return removed || fault.gone_from_command == 0 || unplugged(); }
    // Whether a device listing shows it: not when it left the bus while in use, nor before it
    // is plugged in.
    bool listed() const { return !removed && !unplugged(); }
    // The host looked for the device (a device listing, or a transfer refused because it is
    // gone): a device that left, or is not plugged in yet, comes in at the look its fault names.
    void looked_for();
    // A USB port reset: the command in progress is dropped, the halts cleared, a hang ended
    // (unless it came back hung). false when the device is gone.
    bool reset();
    // Ends a command still in progress (the host went away); journals it.
    void abandon(const std::string &why);

    const std::vector<std::uint8_t> &memory() const { return mem; }
    // Panel state of this controller's band in memory coordinates (0 to 255, unquantised).
    const std::vector<std::uint8_t> &shown() const { return screen; }
    std::uint32_t register_value(std::uint32_t address) const;
    bool power_on() const { return powered; }
    int last_vcom() const { return vcom; }
    int temperature() const { return temp; }
    // The refreshes made, and the records of those made while records were kept.
    std::size_t refresh_count() const { return refreshes_made; }
    const std::vector<refresh_record> &refreshes() const { return refresh_log; }
    int mass_storage_resets() const { return storage_resets; }
    void keep_refreshes(bool on) { keeping_refreshes = on; }

    // The command of a journal entry as its journal line names it ("sysinfo", "read_reg
    // addr=0x...", "sub=0x.. unknown", "no-command", ...).
    static std::string describe_command(const journal_entry &entry);
    // Whether the entry is a power-off command that ended with status 0.
    static bool powers_off(const journal_entry &entry);

  private:
    struct sub_command; // one row of the table of vendor sub-commands

    enum class phase { idle, data_out, data_in, status };

    struct command {
        journal_entry entry;
        std::array<std::uint8_t, 16> block{};
        std::uint32_t tag = 0;
        std::vector<std::uint8_t> reply; // data-in bytes
        int status = 0;
        std::uint32_t residue = 0;
        bool rejected = false;             // fails with its status without taking effect
        const sub_command *kind = nullptr; // null: unknown operation code or sub-command
    };

    static const sub_command *find_sub_command(const std::uint8_t *block);

    bool unplugged() const { return fault.plug_at_listing > 1 && listings < fault.plug_at_listing; }
    std::string control_refusal(const setup_packet &setup, bool interface_claimed) const;
    static std::string describe_request(const journal_entry &entry);
    transfer_result screen_transfer(bool in, std::uint8_t endpoint, const std::uint8_t *data,
                                    std::size_t length);
    transfer_result endpoint_faults(bool in);
    bool hang_due(bool in) const;
    bool counted_faults_due() const { return cbw_count >= fault.counted_from_command; }
    transfer_result receive_cbw(const std::uint8_t *data, std::size_t length);
    transfer_result receive_data(const std::uint8_t *data, std::size_t length);
    transfer_result send_data(std::uint8_t *buffer, std::size_t length);
    transfer_result send_status(std::uint8_t *buffer, std::size_t length);
    void stray_transfer(bool in, const std::uint8_t *data, std::size_t length,
                        const std::string &why);
    void note(const std::string &text, bool violation = false);
    void fail_phase(std::uint32_t residue);
    void finish(int delivered_status);
    void reject(const std::string &why);

    // The command set (controller_commands.cpp).
    void start_device();
    void decode_block();
    void run_command(const std::vector<std::uint8_t> &data);
    // One handler per sub-command: an IN command fills current.reply, an OUT command takes the
    // data-out bytes (none when the command has no data phase).
    void answer_system_info(const std::vector<std::uint8_t> &);
    void answer_register(const std::vector<std::uint8_t> &);
    void write_register(const std::vector<std::uint8_t> &data);
    void refresh(const std::vector<std::uint8_t> &args);
    void load_area(const std::vector<std::uint8_t> &data);
    void switch_power(const std::vector<std::uint8_t> &);
    void exchange_temperature(const std::vector<std::uint8_t> &);
    void write_memory(const std::vector<std::uint8_t> &data);
    void answer_id(const std::vector<std::uint8_t> &);
    bool write_bytes(std::uint32_t address, const std::uint8_t *bytes, std::size_t count);
    std::uint32_t read_register(std::uint32_t address);
    std::vector<std::uint8_t> system_info() const;

    controller_config cfg;
    controller_faults fault;
    std::function<void(journal_entry &&)> journal_sink;
    int bus_index = 0;
    std::uint8_t ep_in = 0;
    std::uint8_t ep_out = 0;
    bool halted_in = false;
    bool halted_out = false;
    bool removed = false;
    int looks_since_left = 0;
    int listings = 0; // device listings, counted until the device is plugged in
    bool hanging = false;
    bool hung_for_good = false; // came back hung: a reset does not help
    int cbw_count = 0;
    int cbw_since_reset = 0;
    phase state = phase::idle;
    command current;
    std::vector<std::string> carried_notes; // faults met outside a command, for the next entry

    std::vector<std::uint8_t> mem;
    std::vector<std::uint8_t> screen;
    std::map<std::uint32_t, std::uint32_t> registers;
    int busy_left = 0;
    std::uint32_t noise;
    bool powered = false;
    int vcom = 0;
    int temp;
    std::size_t refreshes_made = 0;
    bool keeping_refreshes = true;
    std::vector<refresh_record> refresh_log;
    int storage_resets = 0;
};

} // namespace epdsim

#endif
