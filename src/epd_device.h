// Controller commands: one object per controller, its system info record and vendor commands.
#ifndef EPDSHOW_EPD_DEVICE_H
#define EPDSHOW_EPD_DEVICE_H

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "tool.h"

class epd_device {
  public:
    // Opens controller index and reads its system info record; a controller that cannot be
    // opened is sent nothing and reads as zeros.
    explicit epd_device(int index);
    ~epd_device();
    epd_device(const epd_device &) = delete;
    epd_device &operator=(const epd_device &) = delete;

    void get_system_info();
    // Whether the system info record arrived whole, with its status passed.
    bool system_info_read() const { return info_read; }
    // Whether the latest command went through: every phase, and its status passed.
    bool last_command_went_through() const;
    // Whether the latest command failed (refused, a transfer failed, or its status said so); what
    // it read is then not to be trusted. A short status wrapper is no failure.
    bool last_command_failed() const;
    // Whether the controller has failed (left the bus, or stopped answering), and why.
    bool failed() const;
    std::string failure_cause() const;
    int bus_number() const;
    int device_address() const;
    int get_width() const;
    int get_height() const;
    int get_multiID() const;
    uint32_t get_img_buf_addr() const;
    int get_index() const { return dev_index; }
    // 0 once the controller is open, else the negative result of opening it.
    int get_open_result() const { return open_result; }
    // The system info record as the controller sent it (big-endian words).
    std::array<unsigned char, 120> get_system_info_record() const;

    int read_register(int address);
    int write_register(int address, int value);
    int display(int x, int y, int w, int h, int mode, int value);
    // Both memory writes take the band buffer over and free it before they return.
    int load_img_area(band_buffer buf, int x, int y, int w, int h);
    // row_stored, when given, is told of each row whose command did not fail, with its bytes.
    using row_stored = std::function<void(int row, const unsigned char *bytes)>;
    int fast_write_mem(band_buffer buf, int x, int y, int w, int h, const row_stored &stored = {});
    int set_power(bool on, int vcom);
    int set_temperature(int type, int value);
    int get_id();

    static void endian_little_to_big(unsigned int *words, unsigned int bytes);
    static int endian_big_to_little(const unsigned char *p);

  private:
    uint32_t sys_info[30] = {};
    int dev_index;
    bool info_read = false;
    int open_result = 0;
};

#endif
