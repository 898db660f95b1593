// The controller's vendor command set: one table of sub-commands (what each expects of the data
// phase, what it does, how the journal names it) and the device they act on: image memory,
// panel, registers, power and temperature.
#include "controller.h"
#include "wire_format.h"

#include <algorithm>

namespace epdsim {

namespace {

constexpr std::uint8_t vendor_operation = 0xFE;
constexpr std::uint8_t power_code = 0xA3;
constexpr std::uint32_t partial_register = 0x18001138;
constexpr std::uint32_t engine_register = 0x18001224;
constexpr std::uint32_t partial_register_start = 0x00100041; // bits the host must write back
constexpr std::uint32_t engine_busy_bits = 0x0100;           // low 16 bits while busy

enum class data_direction { none, in, out };

// What a command block asks of the data phase: length bytes (at least length bytes when
// at_least) in the sub-command's direction, none when length is 0. A refusal when the block
// itself is invalid.
struct expected_phase {
    std::uint32_t length = 0;
    bool at_least = false;
    std::string refusal;
};

expected_phase expect(std::uint32_t length, bool at_least = false) {
    expected_phase phase;
    phase.length = length;
    phase.at_least = at_least;
    return phase;
}

expected_phase refuse(const std::string &why) {
    expected_phase phase;
    phase.refusal = why;
    return phase;
}

// Bytes 7-8 of a block: the data length of the register and memory-write commands.
std::uint32_t block_length(const std::uint8_t *b) {
    return std::uint32_t(b[7] << 8 | b[8]);
}

template <std::uint32_t length> expected_phase exactly(const std::uint8_t *) {
    return expect(length);
}

expected_phase area_header(const std::uint8_t *) {
    return expect(20, true);
}

expected_phase register_word(const std::uint8_t *b) {
    if (block_length(b) != 4)
        return refuse("register command with length " + std::to_string(block_length(b)) +
                      " in bytes 7-8");
    return expect(4);
}

expected_phase temperature_type(const std::uint8_t *b) {
    if (b[7] > 2)
        return refuse("temperature type " + std::to_string(b[7]) + " unknown");
    return expect(b[7] == 0 ? 2 : 0);
}

expected_phase row_length(const std::uint8_t *b) {
    return expect(block_length(b));
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

std::string no_fields(const journal_entry &) {
    return "";
}

std::string address_fields(const journal_entry &e) {
    return " addr=" + hex32(be32(e.block.data() + 2));
}

std::string register_write_fields(const journal_entry &e) {
    return address_fields(e) + " value=" + data_hex_word(e, 0);
}

std::string display_fields(const journal_entry &e) {
    return " mode=" + data_word(e, 1) + " x=" + data_word(e, 2) + " y=" + data_word(e, 3) +
           " w=" + data_word(e, 4) + " h=" + data_word(e, 5) + " arg6=" + data_word(e, 6);
}

std::string area_fields(const journal_entry &e) {
    return " addr=" + data_hex_word(e, 0) + " x=" + data_word(e, 1) + " y=" + data_word(e, 2) +
           " w=" + data_word(e, 3) + " rows=" + data_word(e, 4);
}

std::string power_fields(const journal_entry &e) {
    const std::uint8_t *b = e.block.data();
    return std::string(b[11] ? " on" : " off") + " vcom=" + std::to_string(b[7] << 8 | b[8]);
}

std::string temperature_fields(const journal_entry &e) {
    const std::uint8_t *b = e.block.data();
    return " type=" + std::to_string(b[7]) + " value=" + std::to_string(int(std::int8_t(b[8])));
}

std::string memory_write_fields(const journal_entry &e) {
    return address_fields(e) + " rowlen=" + std::to_string(block_length(e.block.data()));
}

} // namespace

struct controller::sub_command {
    std::uint8_t code;
    const char *name; // in the journal
    data_direction direction;
    expected_phase (*length_rule)(const std::uint8_t *block);
    void (controller::*handler)(const std::vector<std::uint8_t> &data);
    std::string (*journal_fields)(const journal_entry &entry); // after the name
};

// Null for an unknown operation code or sub-command.
const controller::sub_command *controller::find_sub_command(const std::uint8_t *block) {
    using d = data_direction;
    static const sub_command table[] = {
        {0x80, "sysinfo", d::in, exactly<120>, &controller::answer_system_info, no_fields},
        {0x83, "read_reg", d::in, register_word, &controller::answer_register, address_fields},
        {0x84, "write_reg", d::out, register_word, &controller::write_register,
         register_write_fields},
        {0x94, "display", d::out, exactly<28>, &controller::refresh, display_fields},
        {0xA2, "load_area", d::out, area_header, &controller::load_area, area_fields},
        {power_code, "power", d::in, exactly<2>, &controller::switch_power, power_fields},
        {0xA4, "temp", d::in, temperature_type, &controller::exchange_temperature,
         temperature_fields},
        {0xA5, "write_mem", d::out, row_length, &controller::write_memory, memory_write_fields},
        {0xA8, "get_id", d::in, exactly<2>, &controller::answer_id, no_fields},
    };
    if (block[0] != vendor_operation)
        return nullptr;
    for (const sub_command &row : table)
        if (row.code == block[6])
            return &row;
    return nullptr;
}

std::string controller::describe_command(const journal_entry &e) {
    if (e.setup.size() == 8)
        return describe_request(e);
    if (!e.command || e.block.size() != 16)
        return "no-command";
    if (e.block[0] != vendor_operation)
        return "op=" + hex8(e.block[0]) + " unknown";
    const sub_command *kind = find_sub_command(e.block.data());
    if (!kind)
        return "sub=" + hex8(e.block[6]) + " unknown";
    return kind->name + kind->journal_fields(e);
}

bool controller::powers_off(const journal_entry &e) {
    return e.command && e.block.size() == 16 && e.block[0] == vendor_operation &&
           e.block[6] == power_code && e.block[11] == 0 && e.csw_status == 0;
}

void controller::start_device() {
    std::size_t size = std::size_t(std::max(0, cfg.panel_width)) * std::max(0, cfg.panel_height);
    mem.assign(size, 255);
    screen.assign(size, 255);
    registers[partial_register] = partial_register_start;
}

// Looks the block's sub-command up and checks the CBW's direction and length against it; a
// mismatch rejects the command (status 1) while the announced data phase still runs.
void controller::decode_block() {
    const std::uint8_t *b = current.block.data();
    current.kind = find_sub_command(b);
    if (b[0] != vendor_operation) {
        reject("operation code " + hex8(b[0]) + " unknown");
        return;
    }
    if (!current.kind) {
        reject("sub-command " + hex8(b[6]) + " unknown");
        return;
    }
    expected_phase want = current.kind->length_rule(b);
    if (!want.refusal.empty()) {
        reject(want.refusal);
        return;
    }
    const data_direction want_direction =
        want.length ? current.kind->direction : data_direction::none;
    const journal_entry &e = current.entry;
    const data_direction have = e.length == 0      ? data_direction::none
                                : (e.flags & 0x80) ? data_direction::in
                                                   : data_direction::out;
    bool fits = have == want_direction &&
                (want.at_least ? e.length >= want.length : e.length == want.length);
    if (fits)
        return;
    auto phase_text = [](data_direction direction, std::uint32_t length) {
        if (direction == data_direction::none)
            return std::string("no data phase");
        return std::string(direction == data_direction::in ? "data-in of " : "data-out of ") +
               std::to_string(length) + " bytes";
    };
    reject("sub-command " + hex8(b[6]) + " expects " + phase_text(want_direction, want.length) +
           ", CBW announced " + phase_text(have, e.length));
}

// Runs the command once its input is there: at the CBW for an IN command or one without data
// phase, with the data-out bytes otherwise. A rejected command has no effect (an unknown one is
// always rejected).
void controller::run_command(const std::vector<std::uint8_t> &data) {
    if (!current.rejected)
        (this->*current.kind->handler)(data);
}

void controller::answer_system_info(const std::vector<std::uint8_t> &) {
    current.reply = system_info();
}

void controller::answer_register(const std::vector<std::uint8_t> &) {
    put_be32(current.reply.data(), read_register(be32(current.block.data() + 2)));
}

void controller::write_register(const std::vector<std::uint8_t> &data) {
    registers[be32(current.block.data() + 2)] = be32(data.data());
}

void controller::switch_power(const std::vector<std::uint8_t> &) {
    const std::array<std::uint8_t, 16> &b = current.block;
    powered = b[11] != 0;
    vcom = b[7] << 8 | b[8];
    current.reply[0] = b[7];
    current.reply[1] = b[8];
}

// Type 0 reads the temperature; types 1 and 2 set it from byte 8.
void controller::exchange_temperature(const std::vector<std::uint8_t> &) {
    const std::array<std::uint8_t, 16> &b = current.block;
    if (b[7] == 0)
        current.reply[0] = std::uint8_t(std::int8_t(temp));
    else
        temp = std::int8_t(b[8]);
}

void controller::write_memory(const std::vector<std::uint8_t> &data) {
    if (!write_bytes(be32(current.block.data() + 2), data.data(), data.size()))
        reject("memory write outside the image memory");
}

void controller::answer_id(const std::vector<std::uint8_t> &) {
    current.reply[0] = 0x89;
    current.reply[1] = 0x51;
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
    ++refreshes_made;
    if (keeping_refreshes)
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
