// The controller's side of the Bulk-Only Transport: wrappers, the phases of a command, stray
// transfers and the faults injected on its endpoints. What each command does is in
// controller_commands.cpp.
#include "controller.h"
#include "wire_format.h"

#include <algorithm>
#include <cstring>

namespace epdsim {

namespace {

constexpr std::size_t cbw_size = 31;
constexpr std::size_t csw_size = 13;
constexpr std::size_t short_csw_size = 12;

bool looks_like_cbw(const std::uint8_t *data, std::size_t length) {
    return length == cbw_size && std::memcmp(data, "USBC", 4) == 0;
}

// The class request Bulk-Only Mass Storage Reset: class, to an interface, host to device.
constexpr std::uint8_t mass_storage_reset_type = 0x21;
constexpr std::uint8_t mass_storage_reset = 0xFF;

// The number of the interface that holds the endpoint; -1 when none does.
int interface_holding(const std::vector<interface_config> &interfaces, std::uint8_t endpoint) {
    for (std::size_t i = 0; i < interfaces.size(); ++i)
        for (const alt_setting_config &alt : interfaces[i].alt_settings)
            for (const endpoint_config &ep : alt.endpoints)
                if (endpoint != 0 && ep.address == endpoint)
                    return int(i);
    return -1;
}

std::uint8_t first_endpoint(const std::vector<interface_config> &interfaces, bool in) {
    for (const interface_config &iface : interfaces)
        for (const alt_setting_config &alt : iface.alt_settings)
            for (const endpoint_config &ep : alt.endpoints)
                if (ep.type == transfer_type::bulk && bool(ep.address & 0x80) == in)
                    return ep.address;
    return 0;
}

} // namespace

std::vector<interface_config> default_interfaces() {
    alt_setting_config alt;
    alt.endpoints = {{0x81, transfer_type::bulk, 512}, {0x02, transfer_type::bulk, 512}};
    interface_config iface;
    iface.alt_settings = {alt};
    return {iface};
}

std::vector<interface_config> vendor_specific_interface() {
    interface_config iface;
    iface.alt_settings = {alt_setting_config{}};
    iface.class_code = 0xFF;
    iface.subclass = 0x00;
    iface.protocol = 0x00;
    return {iface};
}

controller::controller(const controller_config &config)
    : cfg(config), noise(0x2545F491u + 977u * std::uint32_t(config.multiID)),
      temp(config.temperature) {
    start_device();
    ep_in = cfg.bot_in ? cfg.bot_in : first_endpoint(cfg.interfaces, true);
    ep_out = cfg.bot_out ? cfg.bot_out : first_endpoint(cfg.interfaces, false);
}

void controller::set_journal_sink(std::function<void(journal_entry &&)> sink) {
    journal_sink = std::move(sink);
}

transfer_result controller::bulk_out(std::uint8_t endpoint, const std::uint8_t *data,
                                     std::size_t length) {
    transfer_result refused = screen_transfer(false, endpoint, data, length);
    if (refused.status != transfer_status::ok)
        return refused;
    switch (state) {
    case phase::idle:
        return receive_cbw(data, length);
    case phase::data_out:
        if (!looks_like_cbw(data, length) || current.entry.length == cbw_size)
            return receive_data(data, length);
        note("CBW while the data-out phase is due", true);
        break;
    case phase::data_in:
        note("OUT transfer while the data-in phase is due", true);
        break;
    case phase::status:
        note("OUT transfer while the CSW is due", true);
        break;
    }
    finish(-1);
    return receive_cbw(data, length);
}

transfer_result controller::bulk_in(std::uint8_t endpoint, std::uint8_t *buffer,
                                    std::size_t length) {
    transfer_result refused = screen_transfer(true, endpoint, nullptr, length);
    if (refused.status != transfer_status::ok)
        return refused;
    switch (state) {
    case phase::idle:
        stray_transfer(true, nullptr, length, "IN transfer with no command pending");
        return {transfer_status::timeout, 0};
    case phase::data_in:
        return send_data(buffer, length);
    case phase::data_out:
        note("CSW read before the data-out phase", true);
        fail_phase(current.entry.length);
        return send_status(buffer, length);
    case phase::status:
        break;
    }
    return send_status(buffer, length);
}

transfer_result controller::control(const setup_packet &setup, bool interface_claimed) {
    if (gone())
        return {transfer_status::no_device, 0};
    if (hanging)
        return {transfer_status::timeout, 0};
    journal_entry e;
    e.controller = bus_index;
    e.multiID = cfg.multiID;
    e.command = false;
    e.setup = {setup.request_type,         setup.request,
               std::uint8_t(setup.value),  std::uint8_t(setup.value >> 8),
               std::uint8_t(setup.index),  std::uint8_t(setup.index >> 8),
               std::uint8_t(setup.length), std::uint8_t(setup.length >> 8)};
    e.flags = setup.request_type;
    e.length = setup.length;
    std::string refusal = control_refusal(setup, interface_claimed);
    if (refusal.empty()) {
        abandon("mass-storage reset");
        ++storage_resets;
    }
    e.notes.swap(carried_notes);
    carried_notes.clear();
    if (!refusal.empty()) {
        e.notes.push_back(refusal + ", stalled");
        e.violation = true;
    }
    if (journal_sink)
        journal_sink(std::move(e));
    return {refusal.empty() ? transfer_status::ok : transfer_status::stall, 0};
}

// Why the device refuses a control request; empty for the Bulk-Only Mass Storage Reset of the
// interface that carries the Bulk-Only endpoints, with no value and no data stage.
std::string controller::control_refusal(const setup_packet &setup, bool interface_claimed) const {
    if (setup.request_type != mass_storage_reset_type || setup.request != mass_storage_reset)
        return "request not understood";
    if (setup.value != 0)
        return "mass-storage reset with wValue " + std::to_string(setup.value);
    if (setup.length != 0)
        return "mass-storage reset with wLength " + std::to_string(setup.length);
    if (int(setup.index) != interface_holding(cfg.interfaces, ep_in))
        return "mass-storage reset of interface " + std::to_string(setup.index) +
               ", which is not the Bulk-Only interface";
    if (!interface_claimed)
        return "mass-storage reset of interface " + std::to_string(setup.index) +
               ", which the host has not claimed";
    return "";
}

std::string controller::describe_request(const journal_entry &e) {
    const std::uint16_t index = std::uint16_t(e.setup[4] | e.setup[5] << 8);
    if (e.setup[0] == mass_storage_reset_type && e.setup[1] == mass_storage_reset)
        return "mass-storage-reset iface=" + std::to_string(index);
    return "control req=" + hex8(e.setup[1]) +
           " value=" + std::to_string(e.setup[2] | e.setup[3] << 8) +
           " index=" + std::to_string(index);
}

bool controller::clear_halt(std::uint8_t endpoint) {
    if (gone())
        return false;
    if (endpoint == ep_in)
        halted_in = false;
    if (endpoint == ep_out)
        halted_out = false;
    return true;
}

void controller::looked_for() {
    if (unplugged()) {
        ++listings; // plugged in once the count reaches the listing its fault names
        return;
    }
    if (!removed || fault.back_at_listing <= 0 || ++looks_since_left < fault.back_at_listing)
        return;
    // Plugged in again: idle, no halt, and it does not leave again by the same fault.
    removed = false;
    looks_since_left = 0;
    fault.gone_from_command = -1;
    state = phase::idle;
    halted_in = halted_out = false;
    hanging = hung_for_good = fault.back_hung;
}

bool controller::reset() {
    if (gone())
        return false;
    abandon("USB reset");
    halted_in = halted_out = false;
    if (!hung_for_good) {
        hanging = false;
        fault.hang_from_command = 0;
        cbw_since_reset = 0;
    }
    return true;
}

void controller::abandon(const std::string &why) {
    if (state == phase::idle)
        return;
    note(why);
    finish(-1);
}

// What becomes of a transfer before the Bulk-Only state machine sees it: nothing when the device
// is gone; a timeout, journaled, on an endpoint that carries no Bulk-Only traffic; or an endpoint
// fault. Status ok when the transfer goes on to the state machine.
transfer_result controller::screen_transfer(bool in, std::uint8_t endpoint,
                                            const std::uint8_t *data, std::size_t length) {
    if (gone())
        return {transfer_status::no_device, 0};
    if (hang_due(in))
        hanging = true;
    if (hanging)
        return {transfer_status::timeout, 0}; // a hung device answers nothing and notes nothing
    const std::uint8_t bulk_only = in ? ep_in : ep_out;
    if (endpoint != bulk_only || bulk_only == 0) {
        stray_transfer(in, data, length,
                       std::string(in ? "IN" : "OUT") + " transfer on endpoint " + hex8(endpoint) +
                           ", which carries no Bulk-Only traffic");
        return {transfer_status::timeout, 0};
    }
    return endpoint_faults(in);
}

// A hang starts when the command block of the controller's K-th command is due (or of the N-th
// since the last reset, for a hang that comes again).
bool controller::hang_due(bool in) const {
    if (in || state != phase::idle)
        return false;
    return (fault.hang_from_command > 0 && cbw_count + 1 >= fault.hang_from_command) ||
           (fault.hang_every > 0 && cbw_since_reset + 1 >= fault.hang_every);
}

// Stalls, halts and timeouts decided before the transfer reaches the Bulk-Only state machine.
// A stalled transfer moves nothing and leaves the command where it was; a timed-out data phase
// is abandoned by the device, which then answers the CSW with status 2.
transfer_result controller::endpoint_faults(bool in) {
    bool &halted = in ? halted_in : halted_out;
    if (halted)
        return {transfer_status::stall, 0};
    if (!counted_faults_due())
        return {transfer_status::ok, 0};
    const char *direction = in ? "IN" : "OUT";
    int &stalls = in ? fault.stall_in : fault.stall_out;
    if (stalls > 0) {
        --stalls;
        halted = true;
        note(std::string("injected stall on ") + direction);
        return {transfer_status::stall, 0};
    }
    int &timeouts = in ? fault.timeout_in : fault.timeout_out;
    bool data_phase = state == (in ? phase::data_in : phase::data_out);
    if (timeouts <= 0 && !(data_phase && fault.timeout_data > 0))
        return {transfer_status::ok, 0};
    if (timeouts > 0)
        --timeouts;
    else
        --fault.timeout_data;
    if (data_phase) {
        note(std::string("injected timeout in the data-") + (in ? "in" : "out") + " phase");
        fail_phase(current.entry.length);
    } else if (in && state == phase::status) {
        note("injected timeout: CSW lost");
        finish(-1);
    } else {
        note(std::string("injected timeout on ") + direction + (in ? "" : ": transfer lost"));
    }
    return {transfer_status::timeout, 0};
}

transfer_result controller::receive_cbw(const std::uint8_t *data, std::size_t length) {
    std::string problem;
    if (length != cbw_size)
        problem = "not a CBW: " + std::to_string(length) + " bytes";
    else if (std::memcmp(data, "USBC", 4) != 0)
        problem = "CBW without the USBC signature";
    else if (data[13] != 0)
        problem = "CBW for LUN " + std::to_string(data[13]);
    else if (data[14] != 16)
        problem = "CBW command block length " + std::to_string(data[14]);
    if (!problem.empty()) {
        stray_transfer(false, data, length, problem + ", discarded");
        return {transfer_status::ok, length};
    }
    current = command{};
    journal_entry &e = current.entry;
    e.controller = bus_index;
    e.multiID = cfg.multiID;
    e.block.assign(data + 15, data + 31);
    e.flags = data[12];
    e.length = le32(data + 8);
    e.notes.swap(carried_notes);
    carried_notes.clear();
    std::copy(data + 15, data + 31, current.block.begin());
    current.tag = le32(data + 4);
    state = phase::status;

    ++cbw_count;
    ++cbw_since_reset;
    if (fault.gone_from_command > 0 && cbw_count >= fault.gone_from_command) {
        removed = true;
        note("device gone");
        finish(-1);
        return {transfer_status::no_device, 0};
    }
    if (e.flags & 0x7F)
        note("CBW flags " + hex8(e.flags) + " with reserved bits set", true);
    if (counted_faults_due() && (fault.csw_failed > 0 || fault.csw_phase_error > 0)) {
        current.rejected = true;
        current.status = fault.csw_failed > 0 ? 1 : 2;
        --(fault.csw_failed > 0 ? fault.csw_failed : fault.csw_phase_error);
        note("injected CSW status " + std::to_string(current.status));
    }
    decode_block();
    if (e.length == 0) {
        run_command({});
    } else if (e.flags & 0x80) {
        current.reply.assign(e.length, 0);
        run_command({});
        state = phase::data_in;
    } else {
        state = phase::data_out;
    }
    return {transfer_status::ok, length};
}

transfer_result controller::receive_data(const std::uint8_t *data, std::size_t length) {
    journal_entry &e = current.entry;
    e.data.assign(data, data + length);
    e.data_moved = true;
    state = phase::status;
    if (length != e.length) {
        note("data-out of " + std::to_string(length) + " bytes, CBW announced " +
                 std::to_string(e.length),
             true);
        fail_phase(length < e.length ? e.length - std::uint32_t(length) : 0);
    } else {
        run_command(e.data);
    }
    return {transfer_status::ok, length};
}

transfer_result controller::send_data(std::uint8_t *buffer, std::size_t length) {
    journal_entry &e = current.entry;
    if (length == csw_size && e.length != csw_size) {
        note("CSW read before the data-in phase", true);
        fail_phase(e.length);
        return send_status(buffer, length);
    }
    std::size_t n = std::min<std::size_t>(length, e.length);
    std::copy(current.reply.begin(), current.reply.begin() + n, buffer);
    e.data.assign(current.reply.begin(), current.reply.begin() + n);
    e.data_moved = true;
    state = phase::status;
    if (length == e.length)
        return {transfer_status::ok, n};
    note("data-in read of " + std::to_string(length) + " bytes, CBW announced " +
             std::to_string(e.length),
         true);
    fail_phase(e.length - std::uint32_t(n));
    return {length < e.length ? transfer_status::overflow : transfer_status::ok, n};
}

transfer_result controller::send_status(std::uint8_t *buffer, std::size_t length) {
    std::uint8_t csw[csw_size];
    std::memcpy(csw, "USBS", 4);
    put_le32(csw + 4, current.tag);
    put_le32(csw + 8, current.residue);
    csw[12] = std::uint8_t(current.status);
    std::size_t n = csw_size;
    if (counted_faults_due() && fault.short_csw > 0) {
        --fault.short_csw;
        n = short_csw_size;
        note("injected short CSW (12 bytes)");
    }
    if (length < n) {
        note("CSW read of " + std::to_string(length) + " bytes", true);
        std::memcpy(buffer, csw, length);
        finish(-1);
        return {transfer_status::overflow, length};
    }
    std::memcpy(buffer, csw, n);
    finish(n == csw_size ? current.status : -1);
    return {transfer_status::ok, n};
}

void controller::stray_transfer(bool in, const std::uint8_t *data, std::size_t length,
                                const std::string &why) {
    journal_entry e;
    e.controller = bus_index;
    e.multiID = cfg.multiID;
    e.command = false;
    e.flags = in ? 0x80 : 0x00;
    e.length = std::uint32_t(length);
    if (data) {
        e.data.assign(data, data + length);
        e.data_moved = true;
    }
    e.notes.swap(carried_notes);
    carried_notes.clear();
    e.notes.push_back(why);
    e.violation = true;
    if (journal_sink)
        journal_sink(std::move(e));
}

void controller::note(const std::string &text, bool violation) {
    if (state == phase::idle) {
        carried_notes.push_back(text);
        return;
    }
    current.entry.notes.push_back(text);
    current.entry.violation = current.entry.violation || violation;
}

void controller::fail_phase(std::uint32_t residue) {
    current.status = 2;
    current.residue = residue;
    state = phase::status;
}

void controller::finish(int delivered_status) {
    current.entry.csw_status = delivered_status;
    state = phase::idle;
    // The command is over: its entry moves to the journal, data and all, without a copy.
    if (journal_sink)
        journal_sink(std::move(current.entry));
}

void controller::reject(const std::string &why) {
    if (!current.rejected) {
        current.rejected = true;
        current.status = 1;
    }
    note(why, true);
}

} // namespace epdsim
