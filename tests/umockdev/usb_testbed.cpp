#include "usb_testbed.h"

#include "controller.h"
#include "epdsim.h"

#include <glib-object.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <set>
#include <thread>

namespace {

// A URB taken from the client: its resolved copy (buffer included) and its address there.
struct urb_copy {
    UMockdevIoctlData *data = nullptr;
    gulong client_address = 0;

    usbdevfs_urb *urb() const { return reinterpret_cast<usbdevfs_urb *>(data->data); }
};

// Speed as the kernel writes it into sysfs; libusb reads it back as its speed value.
const char *sysfs_speed(int speed) {
    switch (speed) {
    case 1:
        return "1.5";
    case 2:
        return "12";
    case 3:
        return "480";
    case 4:
        return "5000";
    case 5:
        return "10000";
    default:
        return nullptr; // libusb then reports the speed as unknown
    }
}

void put_le16(std::vector<std::uint8_t> &out, unsigned value) {
    out.push_back(std::uint8_t(value));
    out.push_back(std::uint8_t(value >> 8));
}

// The device descriptor and the whole configuration, as the sysfs "descriptors" attribute
// holds them, with the values the simulated bus reports.
std::vector<std::uint8_t> descriptors(const epdsim::controller_config &config) {
    std::vector<std::uint8_t> d = {18, 0x01};
    put_le16(d, 0x0200); // bcdUSB
    d.insert(d.end(), {0, 0, 0, 64});
    put_le16(d, config.vendor_id);
    put_le16(d, config.product_id);
    put_le16(d, 0x0100); // bcdDevice
    d.insert(d.end(), {1, 2, 3, 1});

    std::size_t config_start = d.size();
    d.insert(d.end(), {9, 0x02, 0, 0, std::uint8_t(config.interfaces.size()), 1, 0, 0x80, 250});
    for (std::size_t i = 0; i < config.interfaces.size(); ++i) {
        const epdsim::interface_config &iface = config.interfaces[i];
        const auto &alts = iface.alt_settings;
        for (std::size_t a = 0; a < alts.size(); ++a) {
            d.insert(d.end(), {9, 0x04, std::uint8_t(i), std::uint8_t(a),
                               std::uint8_t(alts[a].endpoints.size()), iface.class_code,
                               iface.subclass, iface.protocol, 0});
            for (const epdsim::endpoint_config &ep : alts[a].endpoints) {
                d.insert(d.end(), {7, 0x05, ep.address, std::uint8_t(ep.type)});
                put_le16(d, ep.max_packet_size);
                d.push_back(ep.type == epdsim::transfer_type::bulk ? 0 : 1);
            }
        }
    }
    std::size_t total = d.size() - config_start;
    d[config_start + 2] = std::uint8_t(total);
    d[config_start + 3] = std::uint8_t(total >> 8);
    return d;
}

bool has_endpoint(const epdsim::controller_config &config, unsigned address) {
    for (const auto &iface : config.interfaces)
        for (const auto &alt : iface.alt_settings)
            for (const auto &ep : alt.endpoints)
                if (ep.address == address)
                    return ep.type == epdsim::transfer_type::bulk ||
                           ep.type == epdsim::transfer_type::interrupt;
    return false;
}

std::string text_of(GError *error) {
    std::string text = error ? error->message : "unknown error";
    if (error)
        g_error_free(error);
    return text;
}

} // namespace

struct usb_testbed::device {
    state *owner = nullptr;
    int index = 0; // controller index on the simulated bus
    std::string node;
    std::string sysfs;
    UMockdevIoctlBase *handler = nullptr;
    bool driver_bound = true; // usb-storage, until libusb detaches it
    // Interfaces claimed through the node (the handler does not see a close, which would
    // release them: a node closed without releasing keeps its claims).
    std::set<unsigned> claimed;
    std::deque<urb_copy> completed; // waiting for REAPURBNDELAY
    std::deque<urb_copy> held;      // timed out: completed only when libusb discards them
};

struct usb_testbed::state {
    UMockdevTestbed *testbed = nullptr;
    std::string error;
    std::mutex mutex;
    counters count;
    std::vector<std::unique_ptr<device>> devices;
};

namespace {

using device = usb_testbed::device;

void complete(UMockdevIoctlClient *client, int error) {
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
}

// Hands the model's answer to the URB: completed (reaped later), held when it timed out, or
// refused at once when the device is gone.
int complete_urb(device &dev, usb_testbed::counters &count, urb_copy copy,
                 epdsim::transfer_result result) {
    usbdevfs_urb *urb = copy.urb();
    urb->actual_length = int(result.transferred);
    switch (result.status) {
    case epdsim::transfer_status::ok:
        urb->status = 0;
        break;
    case epdsim::transfer_status::stall:
        urb->status = -EPIPE;
        ++count.stalled;
        break;
    case epdsim::transfer_status::overflow:
        urb->status = -EOVERFLOW;
        break;
    case epdsim::transfer_status::timeout:
        dev.held.push_back(copy);
        return 0;
    case epdsim::transfer_status::no_device:
        // The kernel refuses URBs for a device that has left the bus.
        g_object_unref(copy.data);
        return ENODEV;
    }
    dev.completed.push_back(copy);
    return 0;
}

// A control URB (libusb_control_transfer): the 8-byte setup packet, then the data stage, in one
// buffer, on endpoint 0. The model answers it with the interface claims this node holds.
int submit_control(device &dev, usb_testbed::counters &count, urb_copy copy) {
    usbdevfs_urb *urb = copy.urb();
    if (urb->endpoint != 0 || urb->buffer_length < 8) {
        g_object_unref(copy.data);
        return EINVAL;
    }
    ++count.submitted;
    const auto *b = static_cast<const std::uint8_t *>(urb->buffer);
    epdsim::setup_packet setup;
    setup.request_type = b[0];
    setup.request = b[1];
    setup.value = std::uint16_t(b[2] | b[3] << 8);
    setup.index = std::uint16_t(b[4] | b[5] << 8);
    setup.length = std::uint16_t(b[6] | b[7] << 8);
    epdsim::transfer_result result =
        epdsim::device(dev.index).control(setup, dev.claimed.count(setup.index) > 0);
    return complete_urb(dev, count, copy, result);
}

// Runs the URB through the controller model at once; a URB the model lets time out is held
// until libusb gives up on it and discards it.
int submit(device &dev, usb_testbed::counters &count, UMockdevIoctlData *arg) {
    urb_copy copy;
    copy.data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!copy.data)
        return EFAULT;
    copy.client_address = copy.data->client_addr;
    usbdevfs_urb *urb = copy.urb();
    if (urb->buffer_length > 0) {
        // Afterwards urb->buffer points at the local copy of the client's buffer.
        UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
            copy.data, offsetof(usbdevfs_urb, buffer), gsize(urb->buffer_length), nullptr);
        if (!buffer) {
            g_object_unref(copy.data);
            return EFAULT;
        }
        g_object_unref(buffer); // the URB's copy keeps it
    }
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL)
        return submit_control(dev, count, copy);
    epdsim::controller &model = epdsim::device(dev.index);
    if (model.gone())
        model.looked_for(); // the device node stays: each refused URB is a look for the device
    if (model.gone() || urb->type != USBDEVFS_URB_TYPE_BULK ||
        !has_endpoint(model.config(), urb->endpoint)) {
        g_object_unref(copy.data);
        return model.gone() ? ENODEV : ENOENT;
    }
    ++count.submitted;
    std::size_t length = std::size_t(std::max(0, urb->buffer_length));
    // Without a data phase the buffer was not copied: it is the client's address.
    auto *bytes = length ? static_cast<std::uint8_t *>(urb->buffer) : nullptr;
    epdsim::transfer_result result = (urb->endpoint & 0x80)
                                         ? model.bulk_in(urb->endpoint, bytes, length)
                                         : model.bulk_out(urb->endpoint, bytes, length);
    return complete_urb(dev, count, copy, result);
}

int discard(device &dev, usb_testbed::counters &count, UMockdevIoctlData *arg) {
    gulong address = *reinterpret_cast<gulong *>(arg->data);
    for (auto held = dev.held.begin(); held != dev.held.end(); ++held) {
        if (held->client_address != address)
            continue;
        held->urb()->status = -ENOENT;
        held->urb()->actual_length = 0;
        dev.completed.push_back(*held);
        dev.held.erase(held);
        ++count.discarded;
        return 0;
    }
    return EINVAL;
}

template <typename T> T *resolved(UMockdevIoctlData *arg, UMockdevIoctlData **keep) {
    *keep = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), nullptr);
    return *keep ? reinterpret_cast<T *>((*keep)->data) : nullptr;
}

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer user_data) {
    auto &dev = *static_cast<device *>(user_data);
    usb_testbed::state &owner = *dev.owner;
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::unique_lock<std::mutex> guard(owner.mutex);
    usb_testbed::counters &count = owner.count;
    UMockdevIoctlData *keep = nullptr;
    int error = 0;

    switch (request) {
    case USBDEVFS_SUBMITURB:
        error = submit(dev, count, arg);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        if (dev.completed.empty()) {
            // The emulated node always polls ready, so libusb asks again at once while a URB
            // waits for its timeout: a short pause keeps that loop from eating a core.
            bool waiting = !dev.held.empty();
            guard.unlock();
            if (waiting)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            complete(client, EAGAIN);
            return TRUE;
        }
        UMockdevIoctlData *pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
        if (!pointer) {
            complete(client, EFAULT);
            return TRUE;
        }
        urb_copy done = dev.completed.front();
        dev.completed.pop_front();
        umockdev_ioctl_data_set_ptr(pointer, 0, done.data);
        complete(client, 0); // hands the URB and its buffer back to the client
        g_object_unref(pointer);
        g_object_unref(done.data);
        return TRUE;
    }
    case USBDEVFS_DISCARDURB:
        error = discard(dev, count, arg);
        break;
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
        if (auto *endpoint = resolved<unsigned int>(arg, &keep)) {
            ++count.halts_cleared;
            error = epdsim::device(dev.index).clear_halt(std::uint8_t(*endpoint)) ? 0 : ENODEV;
        } else {
            error = EFAULT;
        }
        break;
    case USBDEVFS_RESET:
        error = epdsim::device(dev.index).reset() ? 0 : ENODEV;
        break;
    case USBDEVFS_GET_CAPABILITIES:
        if (auto *caps = resolved<guint32>(arg, &keep))
            *caps = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_BULK_CONTINUATION |
                    USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                    USBDEVFS_CAP_ZERO_PACKET;
        else
            error = EFAULT;
        break;
    case USBDEVFS_GETDRIVER:
        if (auto *driver = resolved<usbdevfs_getdriver>(arg, &keep)) {
            if (dev.driver_bound)
                std::snprintf(driver->driver, sizeof driver->driver, "usb-storage");
            else
                error = ENODATA;
        } else {
            error = EFAULT;
        }
        break;
    case USBDEVFS_DISCONNECT_CLAIM:
        if (auto *claim = resolved<usbdevfs_disconnect_claim>(arg, &keep)) {
            dev.driver_bound = false;
            dev.claimed.insert(claim->interface);
            ++count.claims;
        } else {
            error = EFAULT;
        }
        break;
    case USBDEVFS_CLAIMINTERFACE:
        if (auto *interface = resolved<unsigned int>(arg, &keep)) {
            dev.claimed.insert(*interface);
            ++count.claims;
        } else {
            error = EFAULT;
        }
        break;
    case USBDEVFS_RELEASEINTERFACE:
        if (auto *interface = resolved<unsigned int>(arg, &keep))
            dev.claimed.erase(*interface);
        else
            error = EFAULT;
        break;
    case USBDEVFS_IOCTL:
        if (auto *command = resolved<usbdevfs_ioctl>(arg, &keep)) {
            if (gulong(command->ioctl_code) == USBDEVFS_CONNECT)
                dev.driver_bound = true;
            else if (gulong(command->ioctl_code) == USBDEVFS_DISCONNECT)
                dev.driver_bound = false;
        } else {
            error = EFAULT;
        }
        break;
    default:
        ++count.unknown_ioctls;
        error = ENOTTY;
        break;
    }
    if (keep)
        g_object_unref(keep);
    complete(client, error);
    return TRUE;
}

} // namespace

usb_testbed::usb_testbed() : impl(std::make_unique<state>()) {
    impl->testbed = umockdev_testbed_new();
    if (!impl->testbed)
        impl->error = "umockdev_testbed_new failed";
}

usb_testbed::~usb_testbed() {
    for (auto &dev : impl->devices) {
        if (impl->testbed)
            umockdev_testbed_detach_ioctl(impl->testbed, dev->node.c_str(), nullptr);
        if (dev->handler)
            g_object_unref(dev->handler);
        for (urb_copy &left : dev->completed)
            g_object_unref(left.data);
        for (urb_copy &left : dev->held)
            g_object_unref(left.data);
    }
    // The testbed removes its folder under /tmp when it goes.
    if (impl->testbed)
        g_object_unref(impl->testbed);
}

bool usb_testbed::ready(std::string *error) const {
    if (!impl->error.empty() && error)
        *error = impl->error;
    return impl->error.empty();
}

bool usb_testbed::add_controllers(std::string *error) {
    if (!ready(error))
        return false;
    for (int i = 0; i < epdsim::controller_count(); ++i) {
        const epdsim::controller_config &config = epdsim::config(i);
        int address = config.device_address ? config.device_address : i + 2;
        char node[64];
        std::snprintf(node, sizeof node, "bus/usb/%03d/%03d", config.bus_number, address);
        auto dev = std::make_unique<device>();
        dev->owner = impl.get();
        dev->index = i;
        dev->node = std::string("/dev/") + node;
        // libusb lists the devices in the reverse of the order it finds them in sysfs, so the
        // ports are numbered backwards to give the program the simulated bus's order.
        int port = epdsim::controller_count() - i;
        dev->sysfs = "/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(config.bus_number) +
                     "/" + std::to_string(config.bus_number) + "-" + std::to_string(port);

        // The handler goes on before the device: libusb may open the node at once.
        dev->handler = umockdev_ioctl_base_new();
        g_signal_connect(dev->handler, "handle-ioctl", G_CALLBACK(on_ioctl), dev.get());
        GError *failure = nullptr;
        if (!umockdev_testbed_attach_ioctl(impl->testbed, dev->node.c_str(), dev->handler,
                                           &failure)) {
            *error = "attach_ioctl " + dev->node + ": " + text_of(failure);
            return false;
        }

        std::string hex;
        char pair[3];
        for (std::uint8_t byte : descriptors(config)) {
            std::snprintf(pair, sizeof pair, "%02x", byte);
            hex += pair;
        }
        char numbers[160];
        std::snprintf(numbers, sizeof numbers,
                      "E: BUSNUM=%03d\nE: DEVNUM=%03d\nA: busnum=%d\\n\nA: devnum=%d\\n\n"
                      "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\n",
                      config.bus_number, address, config.bus_number, address, config.vendor_id,
                      config.product_id);
        std::string record =
            "P: " + dev->sysfs + "\nN: " + node + "\nE: SUBSYSTEM=usb\nE: DEVNAME=" + dev->node +
            "\nE: DEVTYPE=usb_device\n" + numbers + "A: bConfigurationValue=1\\n\n";
        if (const char *speed = sysfs_speed(config.speed))
            record += std::string("A: speed=") + speed + "\\n\n";
        record += "H: descriptors=" + hex + "\n";
        if (!umockdev_testbed_add_from_string(impl->testbed, record.c_str(), &failure)) {
            *error = "add_from_string " + dev->node + ": " + text_of(failure);
            return false;
        }
        impl->devices.push_back(std::move(dev));
    }
    return true;
}

std::vector<std::pair<std::string, std::string>> usb_testbed::environment() const {
    std::vector<std::pair<std::string, std::string>> env;
    gchar *root = impl->testbed ? umockdev_testbed_get_root_dir(impl->testbed) : nullptr;
    env.emplace_back("UMOCKDEV_DIR", root ? root : "");
    g_free(root);
    std::string preload = EPDSHOW_UMOCKDEV_PRELOAD;
    if (const char *more = std::getenv("LD_PRELOAD"); more && *more)
        preload += std::string(":") + more;
    env.emplace_back("LD_PRELOAD", preload);
    // A sanitized program wants its runtime first among the libraries; the preload is harmless.
    std::string asan = "verify_asan_link_order=0";
    if (const char *more = std::getenv("ASAN_OPTIONS"); more && *more)
        asan = std::string(more) + ":" + asan;
    env.emplace_back("ASAN_OPTIONS", asan);
    return env;
}

std::string usb_testbed::first_device_sysfs_path() const {
    return impl->devices.empty() ? std::string() : "/sys" + impl->devices.front()->sysfs;
}

std::unique_lock<std::mutex> usb_testbed::lock() {
    return std::unique_lock<std::mutex>(impl->mutex);
}

usb_testbed::counters usb_testbed::seen() const {
    return impl->count;
}
