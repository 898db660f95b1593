#include "usb_devices.h"

#include <libusb.h>

#include <cstdio>

#include "tool.h"

namespace {

constexpr uint8_t mass_storage_class = 0x08;
constexpr uint8_t scsi_subclass = 0x06;
constexpr uint8_t bulk_only_protocol = 0x50;

bool bulk_only(const libusb_interface_descriptor &setting) {
    return setting.bInterfaceClass == mass_storage_class &&
           setting.bInterfaceSubClass == scsi_subclass &&
           setting.bInterfaceProtocol == bulk_only_protocol;
}

// Whether one of the configuration's interfaces speaks the Bulk-Only Transport; interfaces gets
// each setting as udev writes it in ID_USB_INTERFACES (":030101:030000:").
bool has_bulk_only_interface(const libusb_config_descriptor &config, std::string &interfaces) {
    bool found = false;
    interfaces = ":";
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface &interface = config.interface[i];
        for (int j = 0; j < interface.num_altsetting; ++j) {
            const libusb_interface_descriptor &setting = interface.altsetting[j];
            char code[8];
            snprintf(code, sizeof code, "%02x%02x%02x:", setting.bInterfaceClass,
                     setting.bInterfaceSubClass, setting.bInterfaceProtocol);
            interfaces += code;
            found = found || bulk_only(setting);
        }
    }
    return found;
}

} // namespace

bool usb_is_controller(libusb_device *device, const libusb_device_descriptor &descriptor) {
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_config_descriptor(device, 0, &config) < 0) {
        return true;
    }
    std::string interfaces;
    const bool controller = has_bulk_only_interface(*config, interfaces);
    libusb_free_config_descriptor(config);
    if (!controller) {
        fprintf(stderr,
                "Skipping USB device 0x%04x:0x%04x (bus %d, device %d): not an e-paper controller "
                "(interfaces %s, none of them mass-storage Bulk-Only :080650:)\n",
                descriptor.idVendor, descriptor.idProduct, libusb_get_bus_number(device),
                libusb_get_device_address(device), interfaces.c_str());
    }
    return controller;
}

usb_device_info usb_device_description(libusb_device *device) {
    usb_device_info info;
    if (device == nullptr) {
        return info;
    }
    info.bus = libusb_get_bus_number(device);
    info.address = libusb_get_device_address(device);
    info.speed = libusb_get_device_speed(device);
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) == 0) {
        info.product_id = descriptor.idProduct;
    }
    return info;
}

std::string usb_device_label(int index, libusb_device *device) {
    const usb_device_info info = usb_device_description(device);
    return "controller " + std::to_string(index) + " (bus " + std::to_string(info.bus) +
           ", device " + std::to_string(info.address) + ")";
}

const char *usb_speed_name(int speed) {
    static const char *const names[] = {"Unknown", "1.5 Mbit/s (USB LowSpeed)",
                                        "12 Mbit/s (USB FullSpeed)", "480 Mbit/s (USB HighSpeed)",
                                        "5000 Mbit/s (USB SuperSpeed)"};
    if (speed < 0 || speed >= static_cast<int>(sizeof names / sizeof names[0])) {
        return names[0];
    }
    return names[speed];
}

const char *usb_error_text(int code) {
    return libusb_strerror(code);
}

void report_open_failure(int index, libusb_device *device, int result) {
    const char *remedy =
        result == LIBUSB_ERROR_ACCESS
            ? "; give the user access: install the udev rule 60-epdshow.rules and join the "
              "plugdev group (sudo usermod -aG plugdev $USER, then log in again)"
            : "";
    perr(log_file, "libusb_open() failed : %s: %s%s\n", libusb_strerror(result),
         usb_device_label(index, device).c_str(), remedy);
}
