#include "epd_device.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "usb_controller.h"

namespace {

constexpr uint8_t data_in = 0x80;
constexpr uint8_t data_out = 0x00;

constexpr uint8_t sub_system_info = 0x80;
constexpr uint8_t sub_read_register = 0x83;
constexpr uint8_t sub_write_register = 0x84;
constexpr uint8_t sub_display = 0x94;
constexpr uint8_t sub_load_area = 0xA2;
constexpr uint8_t sub_power = 0xA3;
constexpr uint8_t sub_temperature = 0xA4;
constexpr uint8_t sub_write_memory = 0xA5;
constexpr uint8_t sub_get_id = 0xA8;

constexpr int system_info_bytes = 120;
constexpr int area_header_bytes = 20;
// No chunk of sub-command 0xA2 carries more pixel bytes than this.
constexpr int area_chunk_pixels = 61440;
// Sub-command 0xA5 carries the row length in 16 bits.
constexpr int max_row_length = 65535;

using command_block = std::array<unsigned char, 16>;

void put_be32(unsigned char *out, uint32_t value) {
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

// A vendor command block: operation code 0xFE, the 32-bit argument and the sub-command.
command_block vendor_block(uint8_t sub_command, uint32_t argument = 0) {
    command_block block{};
    block[0] = 0xFE;
    put_be32(&block[2], argument);
    block[6] = sub_command;
    return block;
}

// Bytes 7-8 of a block: a 16-bit value (a data length, or the VCOM), most significant byte first.
void put_bytes_7_8(command_block &block, int value) {
    block[7] = static_cast<unsigned char>(value >> 8);
    block[8] = static_cast<unsigned char>(value);
}

// A memory write sends nothing without a band buffer or with rows wider than it can carry.
bool band_can_be_sent(const char *command, const band_buffer &buf, int w, int widest, int index) {
    if (buf == nullptr) {
        perr(log_file, "%s: no band buffer for controller %d, nothing sent\n", command, index);
        return false;
    }
    if (w < 1 || w > widest) {
        perr(log_file, "%s: width %d outside 1..%d for controller %d, nothing sent\n", command, w,
             widest, index);
        return false;
    }
    return true;
}

} // namespace

epd_device::epd_device(int index) : dev_index(index) {
    open_result = usb_open_dev(index);
    if (open_result == 0) {
        get_system_info();
    }
}

epd_device::~epd_device() {
    usb_close_dev(dev_index);
}

void epd_device::get_system_info() {
    // Bytes 2 to 5 are the ASCII digits of the chip number 8951.
    command_block block = vendor_block(sub_system_info, 0x38393531);
    block[8] = 0x01;
    block[10] = 0x02;
    unsigned char record[system_info_bytes] = {};
    send_cbw(dev_index, block.data(), data_in, system_info_bytes);
    usb_read(dev_index, record, system_info_bytes);
    info_read = usb_command_went_through(dev_index);
    if (!info_read) {
        usb_remember_unanswering(dev_index); // reset before it is used again
    }
    memcpy(sys_info, record, system_info_bytes);
    endian_little_to_big(sys_info, system_info_bytes);
}

bool epd_device::last_command_went_through() const {
    return usb_command_went_through(dev_index);
}

bool epd_device::last_command_failed() const {
    return usb_command_failed(dev_index);
}

bool epd_device::failed() const {
    return usb_controller_failed(dev_index);
}

std::string epd_device::failure_cause() const {
    return usb_failure_cause(dev_index);
}

int epd_device::bus_number() const {
    return usb_bus_number(dev_index);
}

int epd_device::device_address() const {
    return usb_device_address(dev_index);
}

std::array<unsigned char, system_info_bytes> epd_device::get_system_info_record() const {
    uint32_t words[30];
    memcpy(words, sys_info, system_info_bytes);
    endian_little_to_big(words, system_info_bytes);
    std::array<unsigned char, system_info_bytes> record;
    memcpy(record.data(), words, system_info_bytes);
    return record;
}

int epd_device::get_width() const {
    return static_cast<int>(sys_info[4]);
}

int epd_device::get_height() const {
    return static_cast<int>(sys_info[5]);
}

int epd_device::get_multiID() const {
    return static_cast<int>(sys_info[21]);
}

uint32_t epd_device::get_img_buf_addr() const {
    return sys_info[7];
}

int epd_device::read_register(int address) {
    command_block block = vendor_block(sub_read_register, static_cast<uint32_t>(address));
    put_bytes_7_8(block, 4);
    unsigned char reply[4] = {};
    send_cbw(dev_index, block.data(), data_in, 4);
    usb_read(dev_index, reply, 4);
    return endian_big_to_little(reply);
}

int epd_device::write_register(int address, int value) {
    command_block block = vendor_block(sub_write_register, static_cast<uint32_t>(address));
    put_bytes_7_8(block, 4);
    unsigned char data[4];
    put_be32(data, static_cast<uint32_t>(value));
    send_cbw(dev_index, block.data(), data_out, 4);
    usb_write(dev_index, data, 4);
    return 0;
}

int epd_device::display(int x, int y, int w, int h, int mode, int value) {
    uint32_t arguments[7] = {get_img_buf_addr(),          static_cast<uint32_t>(mode),
                             static_cast<uint32_t>(x),    static_cast<uint32_t>(y),
                             static_cast<uint32_t>(w),    static_cast<uint32_t>(h),
                             static_cast<uint32_t>(value)};
    endian_little_to_big(arguments, sizeof arguments);
    command_block block = vendor_block(sub_display);
    send_cbw(dev_index, block.data(), data_out, sizeof arguments);
    usb_write(dev_index, reinterpret_cast<const unsigned char *>(arguments), sizeof arguments);
    return 0;
}

int epd_device::load_img_area(band_buffer buf, int x, int y, int w, int h) {
    if (!band_can_be_sent("load_img_area", buf, w, area_chunk_pixels, dev_index)) {
        return 0;
    }
    // One staging buffer for every chunk: the area header, then the chunk's rows.
    band_buffer staging(static_cast<char *>(malloc(area_header_bytes + area_chunk_pixels)));
    if (staging == nullptr) {
        perr(log_file, "load_img_area: no memory for the staging buffer of controller %d\n",
             dev_index);
        return 0;
    }
    const command_block block = vendor_block(sub_load_area);
    const int rows_per_chunk = area_chunk_pixels / w;
    for (int row = 0; row < h;) {
        const int rows = std::min(rows_per_chunk, h - row);
        uint32_t header[5] = {get_img_buf_addr(), static_cast<uint32_t>(x),
                              static_cast<uint32_t>(y) + static_cast<uint32_t>(row),
                              static_cast<uint32_t>(w), static_cast<uint32_t>(rows)};
        endian_little_to_big(header, sizeof header);
        memcpy(staging.get(), header, area_header_bytes);
        memcpy(staging.get() + area_header_bytes, buf.get() + static_cast<size_t>(row) * w,
               static_cast<size_t>(rows) * w);
        const int length = area_header_bytes + rows * w;
        send_cbw(dev_index, block.data(), data_out, length);
        usb_write(dev_index, reinterpret_cast<const unsigned char *>(staging.get()), length);
        row += rows;
    }
    return 0;
}

int epd_device::fast_write_mem(band_buffer buf, int x, int y, int w, int h,
                               const row_stored &stored) {
    if (!band_can_be_sent("fast_write_mem", buf, w, max_row_length, dev_index)) {
        return 0;
    }
    // Image memory rows are panel_width bytes apart; addresses wrap in 32 bits.
    const uint32_t stride = sys_info[4];
    const uint32_t base =
        get_img_buf_addr() + static_cast<uint32_t>(x) + static_cast<uint32_t>(y) * stride;
    const auto *pixels = reinterpret_cast<const unsigned char *>(buf.get());
    // Rows stop at once when the controller fails: they could not be sent anyway.
    for (int row = 0; row < h && !failed(); ++row) {
        command_block block =
            vendor_block(sub_write_memory, base + static_cast<uint32_t>(row) * stride);
        put_bytes_7_8(block, w);
        const unsigned char *bytes = pixels + static_cast<size_t>(row) * w;
        send_cbw(dev_index, block.data(), data_out, w);
        usb_write(dev_index, bytes, w);
        if (stored && !last_command_failed()) {
            stored(row, bytes);
        }
    }
    return 0;
}

int epd_device::set_power(bool on, int vcom) {
    command_block block = vendor_block(sub_power);
    put_bytes_7_8(block, vcom);
    block[9] = 0x01;
    block[10] = 0x01;
    block[11] = on ? 0x01 : 0x00;
    unsigned char reply[2] = {};
    send_cbw(dev_index, block.data(), data_in, 2);
    usb_read(dev_index, reply, 2);
    const int value = reply[0] * 256 + reply[1];
    printf("\t\t\tVCom value = %d\n", value);
    return value;
}

int epd_device::set_temperature(int type, int value) {
    if (type < 0 || type > 2) {
        perr(log_file, "set_temperature: unknown type %d for controller %d, nothing sent\n", type,
             dev_index);
        return 0;
    }
    command_block block = vendor_block(sub_temperature);
    block[7] = static_cast<unsigned char>(type);
    block[8] = static_cast<unsigned char>(value);
    if (type != 0) {
        send_cbw(dev_index, block.data(), data_out, 0);
        read_csw(dev_index, endpoint_in);
        return 0;
    }
    unsigned char reply[2] = {};
    send_cbw(dev_index, block.data(), data_in, 2);
    usb_read(dev_index, reply, 2);
    return static_cast<int8_t>(reply[0]);
}

int epd_device::get_id() {
    const command_block block = vendor_block(sub_get_id);
    unsigned char reply[2] = {};
    send_cbw(dev_index, block.data(), data_in, 2);
    usb_read(dev_index, reply, 2);
    return 0;
}

void epd_device::endian_little_to_big(unsigned int *words, unsigned int bytes) {
    EndianLittleBig(words, bytes);
}

int epd_device::endian_big_to_little(const unsigned char *p) {
    return ::endian_big_to_little(p);
}
