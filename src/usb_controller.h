// USB transport: controller discovery and set-up, and the bulk-only command transport.
#ifndef EPDSHOW_USB_CONTROLLER_H
#define EPDSHOW_USB_CONTROLLER_H

#include <cstdint>

struct libusb_device;
struct libusb_device_handle;
struct libusb_version;

// The matched controllers in bus order; slot i is controller index i.
extern libusb_device **epd_devs;
// The open handle of each controller; an empty slot means the controller is not open.
extern libusb_device_handle **epd_handles;
// Bulk endpoints taken from the first controller opened, used for every controller.
extern uint8_t endpoint_in;
extern uint8_t endpoint_out;
// Interfaces of configuration 0 of the controller opened last.
extern int nb_ifaces;
extern const libusb_version *version;

// Opens the log, starts libusb and counts the controllers: devices of vendor 0x048D with a
// mass-storage Bulk-Only interface.
// Returns the count, or a negative libusb error code.
int usb_init();
// Opens controller index, prints its speed, finds the endpoints and claims its interfaces.
int usb_open_dev(int index);
// Releases and closes controller index; the arrays and the log go with the last controller open.
void usb_close_dev(int index);
// Ends libusb and closes the log; forgets the arrays and handles, so nothing reaches libusb after.
void usb_close();

// Controllers found by the latest usb_init.
int usb_controller_count();

// True once controller index has left the bus (libusb reported no device), or when the index names
// no controller found by usb_init.
bool usb_dev_gone(int index);
// Number of opened controllers that have not left the bus (no LIBUSB_ERROR_NO_DEVICE seen).
int usb_present_count();

// Sends the Command Block Wrapper carrying the 16-byte command block.
int send_cbw(int index, const unsigned char *block, uint8_t flags, int length);
// Reads and judges the Command Status Wrapper: 0 passed, -2 failed, -1 any other fault.
int read_csw(int index, uint8_t endpoint);
// Data-in phase of size bytes into destination (zeros where nothing arrived), then the status.
int usb_read(int index, unsigned char *destination, int size);
// Data-out phase of size bytes from source, then the status.
int usb_write(int index, const unsigned char *source, int size);

#endif
