// Emulated controllers at the kernel interface: a umockdev testbed whose USB device nodes are
// served by the project's controller model (sim/controller.h). A program started with
// environment() finds them through the real libusb, as it would find real controllers.
//
// The devices are the controllers of the simulated bus (epdsim), in bus order, with the same
// descriptors, bus number, address and speed that the simulated bus reports, so that the real
// and the simulated run can be compared line by line. The ioctl handler runs on umockdev's own
// thread; everything it touches is guarded by lock().
#ifndef EPDSHOW_USB_TESTBED_H
#define EPDSHOW_USB_TESTBED_H

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class usb_testbed {
  public:
    // What the handler saw, over all devices.
    struct counters {
        int submitted = 0;      // URBs
        int discarded = 0;      // URBs cancelled by libusb (a timeout)
        int stalled = 0;        // URBs completed with -EPIPE
        int halts_cleared = 0;  // CLEAR_HALT requests
        int claims = 0;         // interfaces claimed (with or without detaching a driver)
        int unknown_ioctls = 0; // requests answered with ENOTTY
    };

    usb_testbed();
    ~usb_testbed();
    usb_testbed(const usb_testbed &) = delete;
    usb_testbed &operator=(const usb_testbed &) = delete;

    // False, with the reason in *error, when umockdev cannot make a testbed here.
    bool ready(std::string *error) const;
    // Adds every controller of the simulated bus as a USB device. Call before starting the
    // program that should see them.
    bool add_controllers(std::string *error);
    // The variables that put a child process into the testbed (preload library and root).
    std::vector<std::pair<std::string, std::string>> environment() const;
    // The sysfs folder of the first device, as the program sees it.
    std::string first_device_sysfs_path() const;

    // Held while reading the controller model or the counters.
    std::unique_lock<std::mutex> lock();
    counters seen() const; // call with lock() held

    // The handler's view of one emulated device, and of the whole testbed.
    struct device;
    struct state;

  private:
    std::unique_ptr<state> impl;
};

#endif
