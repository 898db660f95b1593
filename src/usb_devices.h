// What a USB device of the controllers' vendor is: a controller or not, where it sits on the bus,
// and what to say about one that cannot be opened.
#ifndef EPDSHOW_USB_DEVICES_H
#define EPDSHOW_USB_DEVICES_H

#include <cstdint>
#include <string>

struct libusb_device;
struct libusb_device_descriptor;

// A controller is a mass-storage device of the SCSI command set on the Bulk-Only Transport
// (interface class 8, subclass 6, protocol 0x50). Another device is reported on standard error
// in one line and false is returned. A device whose interfaces cannot be read is taken for a
// controller: opening it reports what is wrong.
bool usb_is_controller(libusb_device *device, const libusb_device_descriptor &descriptor);

// Where a device sits on the bus and what it is.
struct usb_device_info {
    int bus = 0;
    int address = 0;
    uint16_t product_id = 0;
    int speed = 0; // libusb's speed value
};
usb_device_info usb_device_description(libusb_device *device);

// "controller 0 (bus 1, device 2)" for the device of controller index.
std::string usb_device_label(int index, libusb_device *device);

// The name of a libusb speed value; "Unknown" for a value outside the table.
const char *usb_speed_name(int speed);

// libusb's text for one of its error codes.
const char *usb_error_text(int code);

// Reports, in one line, controller index (device) that could not be opened: which, libusb's error
// text, and for a permission error what gives the user access.
void report_open_failure(int index, libusb_device *device, int result);

#endif
