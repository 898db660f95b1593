#include "controller.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace epdsim {

namespace {

constexpr std::uint32_t partial_register = 0x18001138;
constexpr std::uint32_t engine_register = 0x18001224;
constexpr std::uint32_t partial_register_start = 0x00100041; // bits the host must write back
constexpr std::uint32_t engine_busy_bits = 0x0100;           // low 16 bits while busy
constexpr std::size_t cbw_size = 31;
constexpr std::size_t csw_size = 13;
constexpr std::size_t short_csw_size = 12;

std::uint32_t be32(const std::uint8_t *p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

std::uint32_t le32(const std::uint8_t *p) {
    return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}

void put_be32(std::uint8_t *p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

void put_le32(std::uint8_t *p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

std::string hex32(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", unsigned(v));
    return text;
}

std::string hex8(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", v & 0xFF);
    return text;
}

std::string hex_bytes(const std::vector<std::uint8_t> &bytes) {
    std::string text;
    char pair[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", unsigned(b));
        text += pair;
    }
    return text;
}

std::uint64_t fnv1a(const std::vector<std::uint8_t> &bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::uint8_t b : bytes) {
        hash ^= b;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

bool looks_like_cbw(const std::uint8_t *data, std::size_t length) {
    return length == cbw_size && std::memcmp(data, "USBC", 4) == 0;
}

std::uint8_t first_endpoint(const std::vector<interface_config> &interfaces, bool in) {
    for (const interface_config &iface : interfaces)
        for (const alt_setting_config &alt : iface.alt_settings)
            for (const endpoint_config &ep : alt.endpoints)
                if (ep.type == transfer_type::bulk && bool(ep.address & 0x80) == in)
                    return ep.address;
    return 0;
}

// Word i of the data (big-endian) as signed decimal text, '?' when the data is too short.
std::string data_word(const journal_entry &e, std::size_t i) {
    if (!e.data_moved || e.data.size() < 4 * (i + 1))
        return "?";
    return std::to_string(std::int32_t(be32(e.data.data() + 4 * i)));
}

std::string data_hex_word(const journal_entry &e, std::size_t i) {
    if (!e.data_moved || e.data.size() < 4 * (i + 1))
        return "?";
    return hex32(be32(e.data.data() + 4 * i));
}

std::string describe_command(const journal_entry &e) {
    if (!e.command || e.block.size() != 16)
        return "no-command";
    const std::uint8_t *b = e.block.data();
    if (b[0] != 0xFE)
        return "op=" + hex8(b[0]) + " unknown";
    std::string address = hex32(be32(b + 2));
    switch (b[6]) {
    case 0x80:
        return "sysinfo";
    case 0x83:
        return "read_reg addr=" + address;
    case 0x84:
        return "write_reg addr=" + address + " value=" + data_hex_word(e, 0);
    case 0x94:
        return "display mode=" + data_word(e, 1) + " x=" + data_word(e, 2) +
               " y=" + data_word(e, 3) + " w=" + data_word(e, 4) + " h=" + data_word(e, 5) +
               " arg6=" + data_word(e, 6);
    case 0xA2:
        return "load_area addr=" + data_hex_word(e, 0) + " x=" + data_word(e, 1) +
               " y=" + data_word(e, 2) + " w=" + data_word(e, 3) + " rows=" + data_word(e, 4);
    case 0xA3:
        return std::string("power ") + (b[11] ? "on" : "off") +
               " vcom=" + std::to_string(b[7] << 8 | b[8]);
    case 0xA4:
        return "temp type=" + std::to_string(b[7]) +
               " value=" + std::to_string(int(std::int8_t(b[8])));
    case 0xA5:
        return "write_mem addr=" + address + " rowlen=" + std::to_string(b[7] << 8 | b[8]);
    case 0xA8:
        return "get_id";
    default:
        return "sub=" + hex8(b[6]) + " unknown";
    }
}

} // namespace

std::vector<interface_config> default_interfaces() {
    alt_setting_config alt;
    alt.endpoints = {{0x81, transfer_type::bulk, 512}, {0x02, transfer_type::bulk, 512}};
    interface_config iface;
    iface.alt_settings = {alt};
    return {iface};
}

std::string journal_entry::line() const {
    char head[64];
    std::snprintf(head, sizeof head, "#%04d dev=%d id=%d ", seq, controller, multiID);
    std::string text = head + describe_command(*this);
    text += " flags=" + hex8(flags) + " len=" + std::to_string(length) + " data=";
    if (!data_moved || data.empty()) {
        text += "-";
    } else if (data.size() <= 64) {
        text += hex_bytes(data);
    } else {
        char digest[40];
        std::snprintf(digest, sizeof digest, "%zu:%016llx", data.size(),
                      static_cast<unsigned long long>(fnv1a(data)));
        text += digest;
    }
    text += " csw=" + (csw_status < 0 ? std::string("-") : std::to_string(csw_status));
    if (!notes.empty()) {
        text += " note=";
        for (std::size_t i = 0; i < notes.size(); ++i)
            text += (i ? "; " : "") + notes[i];
    }
    return text;
}

controller::controller(const controller_config &config)
    : cfg(config), noise(0x2545F491u + 977u * std::uint32_t(config.multiID)),
      temp(config.temperature) {
    std::size_t size = std::size_t(std::max(0, cfg.panel_width)) * std::max(0, cfg.panel_height);
    mem.assign(size, 255);
    screen.assign(size, 255);
    registers[partial_register] = partial_register_start;
    ep_in = cfg.bot_in ? cfg.bot_in : first_endpoint(cfg.interfaces, true);
    ep_out = cfg.bot_out ? cfg.bot_out : first_endpoint(cfg.interfaces, false);
}

void controller::set_journal_sink(std::function<void(journal_entry &&)> sink) {
    journal_sink = std::move(sink);
}

transfer_result controller::bulk_out(std::uint8_t endpoint, const std::uint8_t *data,
                                     std::size_t length) {
    if (gone())
        return {transfer_status::no_device, 0};
    if (endpoint != ep_out || ep_out == 0) {
        stray_transfer(false, data, length,
                       "OUT transfer on endpoint " + hex8(endpoint) +
                           ", which carries no Bulk-Only traffic");
        return {transfer_status::timeout, 0};
    }
    transfer_result refused = endpoint_faults(endpoint, false);
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
    if (gone())
        return {transfer_status::no_device, 0};
    if (endpoint != ep_in || ep_in == 0) {
        stray_transfer(true, nullptr, length,
                       "IN transfer on endpoint " + hex8(endpoint) +
                           ", which carries no Bulk-Only traffic");
        return {transfer_status::timeout, 0};
    }
    transfer_result refused = endpoint_faults(endpoint, true);
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

bool controller::clear_halt(std::uint8_t endpoint) {
    if (gone())
        return false;
    if (endpoint == ep_in)
        halted_in = false;
    if (endpoint == ep_out)
        halted_out = false;
    return true;
}

void controller::abandon(const std::string &why) {
    if (state == phase::idle)
        return;
    note(why);
    finish(-1);
}

// Stalls, halts and timeouts decided before the transfer reaches the Bulk-Only state machine.
// A stalled transfer moves nothing and leaves the command where it was; a timed-out data phase
// is abandoned by the device, which then answers the CSW with status 2.
transfer_result controller::endpoint_faults(std::uint8_t, bool in) {
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
    check_shape();
    if (e.length == 0) {
        if (!current.rejected)
            run_out_command({});
    } else if (e.flags & 0x80) {
        current.reply.assign(e.length, 0);
        if (!current.rejected)
            run_in_command();
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
    } else if (!current.rejected) {
        run_out_command(e.data);
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

// Checks the CBW's direction and length against what the command block asks for; a mismatch
// rejects the command (status 1) while the announced data phase still runs.
bool controller::check_shape() {
    const std::array<std::uint8_t, 16> &b = current.block;
    if (b[0] != 0xFE) {
        reject("operation code " + hex8(b[0]) + " unknown");
        return false;
    }
    enum { none, in, out } want = none;
    std::uint32_t want_length = 0;
    bool at_least = false;
    std::uint32_t block_length = std::uint32_t(b[7] << 8 | b[8]);
    switch (b[6]) {
    case 0x80:
        want = in, want_length = 120;
        break;
    case 0x83:
    case 0x84:
        if (block_length != 4) {
            reject("register command with length " + std::to_string(block_length) +
                   " in bytes 7-8");
            return false;
        }
        want = b[6] == 0x83 ? in : out, want_length = 4;
        break;
    case 0x94:
        want = out, want_length = 28;
        break;
    case 0xA2:
        want = out, want_length = 20, at_least = true;
        break;
    case 0xA3:
    case 0xA8:
        want = in, want_length = 2;
        break;
    case 0xA4:
        if (b[7] > 2) {
            reject("temperature type " + std::to_string(b[7]) + " unknown");
            return false;
        }
        want = b[7] == 0 ? in : none, want_length = b[7] == 0 ? 2 : 0;
        break;
    case 0xA5:
        want = block_length ? out : none, want_length = block_length;
        break;
    default:
        reject("sub-command " + hex8(b[6]) + " unknown");
        return false;
    }
    const journal_entry &e = current.entry;
    auto have = e.length == 0 ? none : (e.flags & 0x80) ? in : out;
    bool fits = have == want && (at_least ? e.length >= want_length : e.length == want_length);
    if (fits)
        return true;
    auto phase_text = [](int direction, std::uint32_t length) {
        if (direction == none)
            return std::string("no data phase");
        return std::string(direction == in ? "data-in of " : "data-out of ") +
               std::to_string(length) + " bytes";
    };
    reject("sub-command " + hex8(b[6]) + " expects " + phase_text(want, want_length) +
           ", CBW announced " + phase_text(have, e.length));
    return false;
}

void controller::run_in_command() {
    std::vector<std::uint8_t> &reply = current.reply;
    const std::array<std::uint8_t, 16> &b = current.block;
    switch (b[6]) {
    case 0x80:
        reply = system_info();
        break;
    case 0x83:
        put_be32(reply.data(), read_register(be32(b.data() + 2)));
        break;
    case 0xA3:
        powered = b[11] != 0;
        vcom = b[7] << 8 | b[8];
        reply[0] = b[7];
        reply[1] = b[8];
        break;
    case 0xA4:
        reply[0] = std::uint8_t(std::int8_t(temp));
        break;
    case 0xA8:
        reply[0] = 0x89;
        reply[1] = 0x51;
        break;
    }
}

void controller::run_out_command(const std::vector<std::uint8_t> &data) {
    const std::array<std::uint8_t, 16> &b = current.block;
    switch (b[6]) {
    case 0x84:
        registers[be32(b.data() + 2)] = be32(data.data());
        break;
    case 0x94:
        refresh(data);
        break;
    case 0xA2:
        load_area(data);
        break;
    case 0xA4:
        temp = std::int8_t(b[8]);
        break;
    case 0xA5:
        if (!write_bytes(be32(b.data() + 2), data.data(), data.size()))
            reject("memory write outside the image memory");
        break;
    }
}

bool controller::write_bytes(std::uint32_t address, const std::uint8_t *bytes, std::size_t count) {
    if (address < cfg.img_buf_addr)
        return false;
    std::uint64_t offset = address - cfg.img_buf_addr;
    if (offset + count > mem.size())
        return false;
    std::copy(bytes, bytes + count, mem.begin() + std::ptrdiff_t(offset));
    return true;
}

void controller::load_area(const std::vector<std::uint8_t> &data) {
    std::uint32_t address = be32(data.data());
    std::int64_t x = std::int32_t(be32(data.data() + 4));
    std::int64_t y = std::int32_t(be32(data.data() + 8));
    std::int64_t w = std::int32_t(be32(data.data() + 12));
    std::int64_t rows = std::int32_t(be32(data.data() + 16));
    if (w <= 0 || rows <= 0 || std::int64_t(data.size()) != 20 + w * rows) {
        reject("area header does not describe the " + std::to_string(data.size() - 20) +
               " pixel bytes that follow");
        return;
    }
    std::int64_t stride = cfg.panel_width;
    std::int64_t first = std::int64_t(address) + x + y * stride;
    std::int64_t last_end = first + (rows - 1) * stride + w;
    if (x < 0 || y < 0 || x + w > stride || first < cfg.img_buf_addr ||
        last_end > std::int64_t(cfg.img_buf_addr) + std::int64_t(mem.size())) {
        reject("area write outside the image memory");
        return;
    }
    for (std::int64_t r = 0; r < rows; ++r)
        write_bytes(std::uint32_t(first + r * stride), data.data() + 20 + r * w, std::size_t(w));
}

void controller::refresh(const std::vector<std::uint8_t> &args) {
    std::uint32_t address = be32(args.data());
    refresh_record rec;
    rec.address = address;
    rec.mode = std::int32_t(be32(args.data() + 4));
    rec.x = std::int32_t(be32(args.data() + 8));
    rec.y = std::int32_t(be32(args.data() + 12));
    rec.w = std::int32_t(be32(args.data() + 16));
    rec.h = std::int32_t(be32(args.data() + 20));
    rec.arg6 = std::int32_t(be32(args.data() + 24));
    rec.partial_bit = register_value(partial_register) & 0x80000;
    if (address != cfg.img_buf_addr) {
        reject("display address " + hex32(address) + " is not the image buffer " +
               hex32(cfg.img_buf_addr));
        return;
    }
    std::int64_t pw = cfg.panel_width, ph = cfg.panel_height;
    if (rec.x < 0 || rec.y < 0 || rec.w <= 0 || rec.h <= 0 || rec.x + std::int64_t(rec.w) > pw ||
        rec.y + std::int64_t(rec.h) > ph) {
        reject("display area outside the " + std::to_string(pw) + "x" + std::to_string(ph) +
               " panel");
        return;
    }
    refresh_log.push_back(rec);
    for (int r = rec.y; r < rec.y + rec.h; ++r) {
        std::size_t start = std::size_t(r) * std::size_t(pw) + std::size_t(rec.x);
        if (rec.mode == 0)
            std::fill_n(screen.begin() + std::ptrdiff_t(start), rec.w, std::uint8_t(255));
        else
            std::copy_n(mem.begin() + std::ptrdiff_t(start), rec.w,
                        screen.begin() + std::ptrdiff_t(start));
    }
    busy_left = cfg.busy_reads;
}

// The engine register always carries noise in its upper half: only the low 16 bits tell busy.
std::uint32_t controller::read_register(std::uint32_t address) {
    if (address != engine_register)
        return register_value(address);
    std::uint32_t low = busy_left > 0 ? engine_busy_bits : 0;
    if (busy_left > 0)
        --busy_left;
    noise = noise * 1664525u + 1013904223u;
    std::uint32_t high = (noise >> 16) & 0xFFFF;
    return (high ? high : 0xA5A5) << 16 | low;
}

std::uint32_t controller::register_value(std::uint32_t address) const {
    if (address == engine_register)
        return busy_left > 0 ? engine_busy_bits : 0;
    auto found = registers.find(address);
    return found == registers.end() ? 0 : found->second;
}

std::vector<std::uint8_t> controller::system_info() const {
    std::uint32_t words[30] = {
        0x00000001, 0x00008951, 0x00000200, 0x00000000, 0,          0,
        0x00000000, 0,          0x53494D5F, 0x4550445F, 0x312E3030, 0x00000000, // "SIM_EPD_1.00"
        0x00000010, 0x00000001, 0x00000000, 0x00000000, 0x00000000, 0x00000000,
        0x00000000, 0x00000000, 0x00000000, 0,          0x00000000, 0x00000000,
        0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000, 0x00000000};
    words[4] = std::uint32_t(cfg.panel_width);
    words[5] = std::uint32_t(cfg.panel_height);
    words[7] = cfg.img_buf_addr;
    words[21] = std::uint32_t(cfg.multiID);
    std::vector<std::uint8_t> record(120);
    for (int i = 0; i < 30; ++i)
        put_be32(record.data() + 4 * i, words[i]);
    return record;
}

} // namespace epdsim
