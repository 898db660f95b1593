// The simulated bus's state, shared by the test API (bus.cpp) and the libusb façade
// (libusb_facade.cpp): the controllers, the USB objects handed to the program, the journal and
// the panel view.
#ifndef EPDSIM_BUS_H
#define EPDSIM_BUS_H

#include "controller.h"
#include "epdsim.h"
#include "journal.h"
#include "panel_view.h"

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct libusb_device {
    int refs = 1;
    int controller = -1; // controller index; -1 for a device of another vendor
    epdsim::other_device other;
};

struct libusb_device_handle {
    libusb_device *device = nullptr;
    std::set<int> claimed;
};

namespace epdsim {

struct bus_state {
    bool configured = false;
    int init_count = 0;
    controller_list controllers;
    std::vector<std::unique_ptr<libusb_device>> devices; // in list order
    std::vector<std::unique_ptr<libusb_device_handle>> handles;
    std::set<libusb_config_descriptor *> config_descriptors;
    // Device lists handed out and not yet freed; a program may keep its list for the whole run.
    std::set<libusb_device **> device_lists;
    bus_journal journal;
    panel_view panel;
    bus_faults global;
    std::vector<std::pair<int, int>> raises; // signal, command
    int completed = 0;
    std::vector<std::vector<std::uint8_t>> halts_cleared;
    std::vector<int> device_descriptor_calls;
    std::vector<int> config_descriptor_calls;
    in_transfer_hook in_hook;
    int other_opens = 0; // libusb_open calls on devices that are no controller
};

// Never destroyed: the program may keep bus objects (its device list) until the process ends.
bus_state &bus();

// The controller of that index; throws std::out_of_range when there is none.
controller &checked(int index);

// At libusb_init: reads the environment when the bus was not set up in-process.
void configure_on_first_init();

// At the libusb_exit that ends the last session: commands still in progress are journaled as
// abandoned, unshown refreshes become a last frame, the memories are dumped.
void end_session();

// Frees a configuration descriptor built by libusb_get_config_descriptor (libusb_facade.cpp).
void free_config(libusb_config_descriptor *config);

// The libusb error code of a name (IO, BUSY, ...: without the LIBUSB_ERROR_ prefix); 0 when the
// name is unknown (libusb_facade.cpp).
int error_code_named(const std::string &name);

} // namespace epdsim

#endif
