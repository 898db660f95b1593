// USB transport: controller discovery and set-up, and the bulk-only command transport.
#ifndef EPDSHOW_USB_CONTROLLER_H
#define EPDSHOW_USB_CONTROLLER_H

#include <cstdint>
#include <string>

#include "usb_devices.h"

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
// The same discovery for --probe, which keeps no log: no log.txt is opened and nothing is printed
// on standard output until usb_close; failures still reach standard error.
int usb_init_quiet();
// The same, for looking for the controllers again while the tool runs: log.txt keeps its entries.
int usb_init_again();
// Opens controller index, prints its speed, finds the endpoints and claims its interfaces.
int usb_open_dev(int index);
// Releases and closes controller index; the arrays and the log go with the last controller open.
void usb_close_dev(int index);
// Ends libusb and closes the log; forgets the arrays and handles, so nothing reaches libusb after.
void usb_close();
// The same, the log left open: while the tool looks for the controllers again, between looks.
void usb_close_keeping_log();

// Controllers found by the latest usb_init.
int usb_controller_count();

// True once controller index has left the bus (libusb reported no device), or when the index names
// no controller found by usb_init.
bool usb_dev_gone(int index);
// Number of opened controllers that have not left the bus (no LIBUSB_ERROR_NO_DEVICE seen).
int usb_present_count();

// True once controller index has failed: it left the bus, or 10 exchanges in a row failed (a
// transfer, after the retry rule, or a command whose status said it failed; a command that ends
// with status 0 clears the count). A command after a phase error is preceded by the Bulk-Only
// reset of the controller's transport. A failed controller's
// transfers are refused without reaching libusb. True as well for an index without a controller.
bool usb_controller_failed(int index);
// Why controller index failed, as the end of a sentence ("has left the bus", "did not answer:
// ...").
std::string usb_failure_cause(int index);
// Whether the latest command of controller index went through: every phase, and its status passed.
bool usb_command_went_through(int index);
// Whether the latest command of controller index failed: it was refused, one of its transfers
// failed, or its status said it failed. A command whose status wrapper came short did not fail:
// its effect stands. Its data, if any, can be trusted unless it failed.
bool usb_command_failed(int index);
// Where controller index sits on the bus and what it is (zeros without one), and its label for
// messages: "controller 0 (bus 1, device 2)".
usb_device_info usb_describe(int index);
std::string usb_controller_label(int index);
// Bus number and device address of controller index (-1 without one).
int usb_bus_number(int index);
int usb_device_address(int index);
// Marks controller index, still on the bus, as one that did not answer (a failed controller is
// marked already). usb_reset_unanswering, after usb_init_again, resets each marked controller
// found (libusb_reset_device) and forgets the marks; it returns how many it reset.
void usb_remember_unanswering(int index);
int usb_reset_unanswering();

// Sends the Command Block Wrapper carrying the 16-byte command block.
int send_cbw(int index, const unsigned char *block, uint8_t flags, int length);
// Reads and judges the Command Status Wrapper: 0 passed, -2 failed, -1 any other fault.
int read_csw(int index, uint8_t endpoint);
// Data-in phase of size bytes into destination (zeros where nothing arrived), then the status.
int usb_read(int index, unsigned char *destination, int size);
// Data-out phase of size bytes from source, then the status.
int usb_write(int index, const unsigned char *source, int size);

#endif
