#include "probe.h"

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "epd.h"
#include "epd_device.h"
#include "panel_layout.h"
#include "usb_controller.h"
#include "usb_devices.h"

namespace {

// Record words the system reads as numbers: band width and height, image buffer, multi ID.
bool interpreted_byte(size_t offset) {
    const size_t word = offset / 4;
    return word == 4 || word == 5 || word == 7 || word == 21;
}

// The texts of the system information record: runs of at least four printable characters
// outside the words read as numbers, such as the version texts of the firmware.
std::vector<std::string> version_texts(const epd_device &device) {
    const auto record = device.get_system_info_record();
    std::vector<std::string> texts;
    std::string run;
    for (size_t i = 0; i <= record.size(); ++i) {
        const bool printable =
            i < record.size() && !interpreted_byte(i) && record[i] >= 0x20 && record[i] <= 0x7E;
        if (printable) {
            run += static_cast<char>(record[i]);
            continue;
        }
        const size_t last = run.find_last_not_of(' ');
        if (last != std::string::npos && last + 1 >= 4) {
            texts.push_back(run.substr(0, last + 1));
        }
        run.clear();
    }
    return texts;
}

void report_controller(const epd_device &device) {
    const int index = device.get_index();
    const usb_device_info info = usb_describe(index);
    printf("controller %d: bus %d, device %d, product 0x%04x, %s\n", index, info.bus, info.address,
           info.product_id, usb_speed_name(info.speed));
    if (device.get_open_result() != 0) {
        printf("\tcould not be opened: %s\n", usb_error_text(device.get_open_result()));
        return;
    }
    printf("\tmulti ID %d, band %d x %d, image buffer 0x%08x, version texts:", device.get_multiID(),
           device.get_width(), device.get_height(), device.get_img_buf_addr());
    const std::vector<std::string> texts = version_texts(device);
    for (const std::string &text : texts) {
        printf(" \"%s\"", text.c_str());
    }
    printf("%s\n", texts.empty() ? " none" : "");
}

int report_panel(const epd &panel) {
    if (!panel.is_ready()) {
        printf("No panel: %s\n", panel.get_refusal().c_str());
        return 1;
    }
    if (panel.get_layout_id() == 0) {
        printf("No panel: %s\n", layout_mismatch(panel.get_nb_devs(), panel.get_width()).c_str());
        return 1;
    }
    printf("Panel: the %d layout, %d x %d pixels in %d bands\n", panel.get_layout_id(),
           panel.get_width(), panel.get_height(), panel.get_nb_devs());
    return 0;
}

// What to look at when the probe finds no panel, in the order a visit to the panel goes.
void print_next_steps() {
    puts("Next steps:\n"
         "  1. Check that the panel is powered and that each controller's USB cable is plugged\n"
         "     in, into this machine or a powered hub.\n"
         "  2. Run `lsusb -d 048d:`: it lists the devices of the controllers' vendor (0x048D);\n"
         "     a controller not listed there is not on the bus.\n"
         "  3. A controller that cannot be opened needs the udev rule 60-epdshow.rules (the\n"
         "     package installs it) and a user in the plugdev group:\n"
         "     sudo usermod -aG plugdev \"$USER\", then log in again.");
}

int report(int count, const epd *panel) {
    int status = 1;
    if (panel == nullptr) {
        printf("\nNo panel: %s\n", count == 0 ? "no e-paper controller found on the USB bus"
                                              : "the USB bus could not be read");
    } else {
        printf("\n%d controller%s found:\n", count, count == 1 ? "" : "s");
        for (int i = 0; i < count; ++i) {
            report_controller(*panel->get_controller(i));
        }
        status = report_panel(*panel);
    }
    if (status != 0) {
        print_next_steps();
    }
    return status;
}

// Standard output goes nowhere while it lives. The panel announces its size as it is built, a
// line of the show's start-up; the probe reports the panel itself.
class output_held_back {
  public:
    output_held_back() {
        fflush(stdout);
        saved = dup(STDOUT_FILENO);
        const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved >= 0 && nowhere >= 0) {
            dup2(nowhere, STDOUT_FILENO);
        }
        if (nowhere >= 0) {
            close(nowhere);
        }
    }
    ~output_held_back() {
        fflush(stdout);
        if (saved >= 0) {
            dup2(saved, STDOUT_FILENO);
            close(saved);
        }
    }
    output_held_back(const output_held_back &) = delete;
    output_held_back &operator=(const output_held_back &) = delete;

  private:
    int saved = -1;
};

} // namespace

int probe_controllers() {
    // The show's discovery without its log and start-up lines: the probe's report is its output.
    const int count = usb_init_quiet();
    std::unique_ptr<epd> panel;
    if (count > 0) {
        output_held_back quiet;
        panel = std::make_unique<epd>(count);
    }
    const int status = report(count, panel.get());
    // The USB session ends before the panel goes, so its controllers have nothing to release.
    usb_close();
    return status;
}
