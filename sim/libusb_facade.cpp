// The libusb-1.0 façade: libusb's functions with C linkage over the simulated bus, so the program
// links either Debian's libusb or this file unchanged. Also the descriptors it hands out and
// libusb's error names and texts.
#include "bus.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace epdsim {

void free_config(libusb_config_descriptor *config) {
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface &iface = config->interface[i];
        for (int a = 0; a < iface.num_altsetting; ++a)
            std::free(const_cast<libusb_endpoint_descriptor *>(iface.altsetting[a].endpoint));
        std::free(const_cast<libusb_interface_descriptor *>(iface.altsetting));
    }
    std::free(const_cast<libusb_interface *>(config->interface));
    std::free(config);
}

namespace {

// libusb's error codes with their names and texts, as libusb_error_name and libusb_strerror give
// them.
struct error_text {
    int code;
    const char *name;
    const char *text;
};

constexpr error_text error_texts[] = {
    {LIBUSB_SUCCESS, "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED", "Success"},
    {LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO", "Input/Output Error"},
    {LIBUSB_ERROR_INVALID_PARAM, "LIBUSB_ERROR_INVALID_PARAM", "Invalid parameter"},
    {LIBUSB_ERROR_ACCESS, "LIBUSB_ERROR_ACCESS", "Access denied (insufficient permissions)"},
    {LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE",
     "No such device (it may have been disconnected)"},
    {LIBUSB_ERROR_NOT_FOUND, "LIBUSB_ERROR_NOT_FOUND", "Entity not found"},
    {LIBUSB_ERROR_BUSY, "LIBUSB_ERROR_BUSY", "Resource busy"},
    {LIBUSB_ERROR_TIMEOUT, "LIBUSB_ERROR_TIMEOUT", "Operation timed out"},
    {LIBUSB_ERROR_OVERFLOW, "LIBUSB_ERROR_OVERFLOW", "Overflow"},
    {LIBUSB_ERROR_PIPE, "LIBUSB_ERROR_PIPE", "Pipe error"},
    {LIBUSB_ERROR_INTERRUPTED, "LIBUSB_ERROR_INTERRUPTED",
     "System call interrupted (perhaps due to signal)"},
    {LIBUSB_ERROR_NO_MEM, "LIBUSB_ERROR_NO_MEM", "Insufficient memory"},
    {LIBUSB_ERROR_NOT_SUPPORTED, "LIBUSB_ERROR_NOT_SUPPORTED",
     "Operation not supported or unimplemented on this platform"},
    {LIBUSB_ERROR_OTHER, "LIBUSB_ERROR_OTHER", "Other error"},
};

const error_text *error_text_of(int code) {
    for (const error_text &e : error_texts)
        if (e.code == code)
            return &e;
    return nullptr;
}

controller *model_of(const libusb_device *device) {
    if (!device || device->controller < 0)
        return nullptr;
    return bus().controllers[std::size_t(device->controller)].get();
}

bool known_device(const libusb_device *device) {
    for (const auto &d : bus().devices)
        if (d.get() == device)
            return true;
    return false;
}

bool known_handle(const libusb_device_handle *handle) {
    for (const auto &h : bus().handles)
        if (h.get() == handle)
            return true;
    return false;
}

bool gone(const libusb_device *device) {
    controller *c = model_of(device);
    return c && c->gone();
}

const std::vector<interface_config> &interfaces_of(const libusb_device *device) {
    controller *c = model_of(device);
    return c ? c->config().interfaces : device->other.interfaces;
}

// The interface that holds endpoint address ep, and the endpoint; -1 when none has it.
int interface_of(const libusb_device *device, unsigned char ep, endpoint_config *found) {
    const std::vector<interface_config> &interfaces = interfaces_of(device);
    for (std::size_t i = 0; i < interfaces.size(); ++i)
        for (const alt_setting_config &alt : interfaces[i].alt_settings)
            for (const endpoint_config &e : alt.endpoints)
                if (e.address == ep) {
                    *found = e;
                    return int(i);
                }
    return -1;
}

int device_address(const libusb_device *device) {
    std::uint8_t configured = device->controller >= 0 ? model_of(device)->config().device_address
                                                      : device->other.device_address;
    if (configured)
        return configured;
    const auto &list = bus().devices;
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].get() == device)
            return int(i) + 2;
    return 0;
}

bool outside_session(const char *function) {
    if (bus().init_count > 0)
        return false;
    std::fprintf(stderr, "epdsim: %s called outside libusb_init/libusb_exit\n", function);
    return true;
}

libusb_config_descriptor *build_config(const std::vector<interface_config> &interfaces) {
    auto *config =
        static_cast<libusb_config_descriptor *>(std::calloc(1, sizeof(libusb_config_descriptor)));
    config->bLength = LIBUSB_DT_CONFIG_SIZE;
    config->bDescriptorType = LIBUSB_DT_CONFIG;
    config->bNumInterfaces = std::uint8_t(interfaces.size());
    config->bConfigurationValue = 1;
    config->bmAttributes = 0x80;
    config->MaxPower = 250;
    auto *ifaces = static_cast<libusb_interface *>(
        std::calloc(std::max<std::size_t>(1, interfaces.size()), sizeof(libusb_interface)));
    int total = LIBUSB_DT_CONFIG_SIZE;
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        const auto &alts = interfaces[i].alt_settings;
        auto *descs = static_cast<libusb_interface_descriptor *>(std::calloc(
            std::max<std::size_t>(1, alts.size()), sizeof(libusb_interface_descriptor)));
        for (std::size_t a = 0; a < alts.size(); ++a) {
            libusb_interface_descriptor &d = descs[a];
            d.bLength = LIBUSB_DT_INTERFACE_SIZE;
            d.bDescriptorType = LIBUSB_DT_INTERFACE;
            d.bInterfaceNumber = std::uint8_t(i);
            d.bAlternateSetting = std::uint8_t(a);
            d.bNumEndpoints = std::uint8_t(alts[a].endpoints.size());
            d.bInterfaceClass = interfaces[i].class_code;
            d.bInterfaceSubClass = interfaces[i].subclass;
            d.bInterfaceProtocol = interfaces[i].protocol;
            auto *eps = static_cast<libusb_endpoint_descriptor *>(
                std::calloc(std::max<std::size_t>(1, alts[a].endpoints.size()),
                            sizeof(libusb_endpoint_descriptor)));
            for (std::size_t e = 0; e < alts[a].endpoints.size(); ++e) {
                const endpoint_config &ep = alts[a].endpoints[e];
                eps[e].bLength = LIBUSB_DT_ENDPOINT_SIZE;
                eps[e].bDescriptorType = LIBUSB_DT_ENDPOINT;
                eps[e].bEndpointAddress = ep.address;
                eps[e].bmAttributes = std::uint8_t(ep.type);
                eps[e].wMaxPacketSize = ep.max_packet_size;
                eps[e].bInterval = ep.type == transfer_type::bulk ? 0 : 1;
            }
            d.endpoint = eps;
            total +=
                LIBUSB_DT_INTERFACE_SIZE + LIBUSB_DT_ENDPOINT_SIZE * int(alts[a].endpoints.size());
        }
        ifaces[i].altsetting = descs;
        ifaces[i].num_altsetting = int(alts.size());
    }
    config->interface = ifaces;
    config->wTotalLength = std::uint16_t(total);
    return config;
}

int descriptor_fault(int error, int ok_calls, int &calls) {
    ++calls;
    return error != 0 && calls > ok_calls ? error : 0;
}

enum class descriptor_kind { device, config };

// What a descriptor read of a controller returns before any descriptor is made: a gone device,
// an injected fault, or success (also for devices of other vendors, which have no faults).
int descriptor_read_result(controller *c, descriptor_kind kind, std::vector<int> &calls,
                           int index) {
    if (c == nullptr)
        return LIBUSB_SUCCESS;
    if (c->gone())
        return LIBUSB_ERROR_NO_DEVICE;
    const controller_faults &f = c->faults();
    return kind == descriptor_kind::device
               ? descriptor_fault(f.device_descriptor_error, f.device_descriptor_ok_calls,
                                  calls[std::size_t(index)])
               : descriptor_fault(f.config_descriptor_error, f.config_descriptor_ok_calls,
                                  calls[std::size_t(index)]);
}

int to_libusb(transfer_status status) {
    switch (status) {
    case transfer_status::ok:
        return LIBUSB_SUCCESS;
    case transfer_status::stall:
        return LIBUSB_ERROR_PIPE;
    case transfer_status::timeout:
        return LIBUSB_ERROR_TIMEOUT;
    case transfer_status::overflow:
        return LIBUSB_ERROR_OVERFLOW;
    case transfer_status::no_device:
        return LIBUSB_ERROR_NO_DEVICE;
    }
    return LIBUSB_ERROR_OTHER;
}

} // namespace

int error_code_named(const std::string &name) {
    for (const error_text &e : error_texts)
        if (e.code != LIBUSB_SUCCESS && "LIBUSB_ERROR_" + name == e.name)
            return e.code;
    return 0;
}

} // namespace epdsim

using epdsim::bus;

// --- the libusb-1.0 façade

extern "C" {

const struct libusb_version *LIBUSB_CALL libusb_get_version(void) {
    static const libusb_version version = {1, 0, 26, 0, "", "epdsim"};
    return &version;
}

int LIBUSB_CALL libusb_init(libusb_context **ctx) {
    if (ctx)
        return LIBUSB_ERROR_NOT_SUPPORTED; // only the default context is simulated
    epdsim::configure_on_first_init();
    if (bus().global.init_error)
        return bus().global.init_error;
    ++bus().init_count;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context *ctx) {
    if (ctx || bus().init_count == 0)
        return;
    if (--bus().init_count > 0)
        return;
    epdsim::end_session();
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *ctx, libusb_device ***list) {
    if (ctx || !list)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (epdsim::outside_session("libusb_get_device_list"))
        return LIBUSB_ERROR_OTHER;
    if (bus().global.device_list_error)
        return bus().global.device_list_error;
    const auto &devices = bus().devices;
    auto **entries =
        static_cast<libusb_device **>(std::calloc(devices.size() + 1, sizeof(libusb_device *)));
    if (!entries)
        return LIBUSB_ERROR_NO_MEM;
    std::size_t listed = 0;
    for (const auto &device : devices) {
        // A controller that left the bus, or is not plugged in yet, is not listed, unless this
        // look brings it in.
        epdsim::controller *c = epdsim::model_of(device.get());
        if (c)
            c->looked_for();
        if (c && !c->listed())
            continue;
        entries[listed] = device.get();
        ++entries[listed++]->refs;
    }
    bus().device_lists.insert(entries);
    *list = entries;
    return ssize_t(listed);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unref_devices) {
    if (!list || !bus().device_lists.erase(list))
        return; // already released by epdsim::reset
    if (unref_devices)
        for (libusb_device **d = list; *d; ++d)
            libusb_unref_device(*d);
    std::free(list);
}

libusb_device *LIBUSB_CALL libusb_ref_device(libusb_device *dev) {
    if (dev)
        ++dev->refs;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device *dev) {
    if (dev && --dev->refs < 0)
        std::fprintf(stderr, "epdsim: libusb_unref_device on a device without references\n");
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *dev,
                                             struct libusb_device_descriptor *desc) {
    if (!epdsim::known_device(dev) || !desc)
        return LIBUSB_ERROR_INVALID_PARAM;
    epdsim::controller *c = epdsim::model_of(dev);
    if (int error = epdsim::descriptor_read_result(c, epdsim::descriptor_kind::device,
                                                   bus().device_descriptor_calls, dev->controller))
        return error;
    std::memset(desc, 0, sizeof *desc);
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = c ? c->config().vendor_id : dev->other.vendor_id;
    desc->idProduct = c ? c->config().product_id : dev->other.product_id;
    desc->bcdDevice = 0x0100;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 3;
    desc->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device *dev, uint8_t config_index,
                                             struct libusb_config_descriptor **config) {
    if (!epdsim::known_device(dev) || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (int error =
            epdsim::descriptor_read_result(epdsim::model_of(dev), epdsim::descriptor_kind::config,
                                           bus().config_descriptor_calls, dev->controller))
        return error;
    if (config_index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    *config = epdsim::build_config(epdsim::interfaces_of(dev));
    bus().config_descriptors.insert(*config);
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor *config) {
    if (!config)
        return;
    if (!bus().config_descriptors.erase(config)) {
        std::fprintf(stderr, "epdsim: libusb_free_config_descriptor of a descriptor not "
                             "handed out, or freed twice\n");
        std::abort();
    }
    epdsim::free_config(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *dev) {
    if (!epdsim::known_device(dev))
        return 0;
    epdsim::controller *c = epdsim::model_of(dev);
    return c ? c->config().bus_number : dev->other.bus_number;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *dev) {
    return epdsim::known_device(dev) ? uint8_t(epdsim::device_address(dev)) : 0;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device *dev) {
    epdsim::controller *c = epdsim::known_device(dev) ? epdsim::model_of(dev) : nullptr;
    return c ? c->config().speed : LIBUSB_SPEED_HIGH;
}

int LIBUSB_CALL libusb_open(libusb_device *dev, libusb_device_handle **dev_handle) {
    if (!epdsim::known_device(dev) || !dev_handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (epdsim::outside_session("libusb_open"))
        return LIBUSB_ERROR_OTHER;
    if (epdsim::controller *c = epdsim::model_of(dev)) {
        if (c->gone())
            return LIBUSB_ERROR_NO_DEVICE;
        if (c->faults().open_error)
            return c->faults().open_error;
    } else {
        ++bus().other_opens;
    }
    auto handle = std::make_unique<libusb_device_handle>();
    handle->device = dev;
    *dev_handle = handle.get();
    bus().handles.push_back(std::move(handle));
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *dev_handle) {
    if (!dev_handle)
        return;
    auto &handles = bus().handles;
    auto found = std::find_if(handles.begin(), handles.end(),
                              [dev_handle](const auto &h) { return h.get() == dev_handle; });
    if (found == handles.end()) {
        std::fprintf(stderr, "epdsim: libusb_close of a handle not open\n");
        std::abort();
    }
    handles.erase(found);
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle *dev_handle, int enable) {
    (void)enable;
    if (!epdsim::known_handle(dev_handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    return epdsim::gone(dev_handle->device) ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *dev_handle, int interface_number) {
    if (!epdsim::known_handle(dev_handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device *dev = dev_handle->device;
    if (epdsim::gone(dev))
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface_number < 0 || interface_number >= int(epdsim::interfaces_of(dev).size()))
        return LIBUSB_ERROR_NOT_FOUND;
    if (epdsim::controller *c = epdsim::model_of(dev)) {
        auto fault = c->faults().claim_errors.find(interface_number);
        if (fault != c->faults().claim_errors.end() && fault->second)
            return fault->second;
    }
    for (const auto &other : bus().handles)
        if (other.get() != dev_handle && other->device == dev &&
            other->claimed.count(interface_number))
            return LIBUSB_ERROR_BUSY;
    dev_handle->claimed.insert(interface_number);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *dev_handle, int interface_number) {
    if (!epdsim::known_handle(dev_handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (epdsim::gone(dev_handle->device))
        return LIBUSB_ERROR_NO_DEVICE;
    return dev_handle->claimed.erase(interface_number) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

// Transfers reach the device model only on an endpoint of a claimed interface; anything else
// fails as the kernel would refuse the request (LIBUSB_ERROR_IO).
int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *dev_handle, unsigned char endpoint,
                                     unsigned char *data, int length, int *transferred,
                                     unsigned int timeout) {
    (void)timeout;
    if (transferred)
        *transferred = 0;
    if (!epdsim::known_handle(dev_handle) || length < 0 || (!data && length > 0))
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device *dev = dev_handle->device;
    epdsim::controller *c = epdsim::model_of(dev);
    if (c && c->gone())
        return LIBUSB_ERROR_NO_DEVICE;
    epdsim::endpoint_config ep;
    int iface = epdsim::interface_of(dev, endpoint, &ep);
    if (!c || iface < 0 || !dev_handle->claimed.count(iface) ||
        ep.type == epdsim::transfer_type::control || ep.type == epdsim::transfer_type::isochronous)
        return LIBUSB_ERROR_IO;
    epdsim::transfer_result result = (endpoint & LIBUSB_ENDPOINT_IN)
                                         ? c->bulk_in(endpoint, data, std::size_t(length))
                                         : c->bulk_out(endpoint, data, std::size_t(length));
    int moved = int(result.transferred);
    int code = epdsim::to_libusb(result.status);
    if ((endpoint & LIBUSB_ENDPOINT_IN) && bus().in_hook) {
        code = bus().in_hook(dev->controller, data, length, &moved, code);
        moved = std::clamp(moved, 0, length);
    }
    if (transferred)
        *transferred = moved;
    return code;
}

// A control request on the default endpoint: the controller takes the Bulk-Only Mass Storage
// Reset of its claimed Bulk-Only interface and stalls any other request, as a device would.
int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *dev_handle, uint8_t request_type,
                                        uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                        unsigned char *data, uint16_t wLength,
                                        unsigned int timeout) {
    (void)timeout;
    if (!epdsim::known_handle(dev_handle) || (!data && wLength > 0))
        return LIBUSB_ERROR_INVALID_PARAM;
    epdsim::controller *c = epdsim::model_of(dev_handle->device);
    if (!c)
        return LIBUSB_ERROR_PIPE; // a device that is no controller answers no request
    epdsim::setup_packet setup;
    setup.request_type = request_type;
    setup.request = bRequest;
    setup.value = wValue;
    setup.index = wIndex;
    setup.length = wLength;
    epdsim::transfer_result result = c->control(setup, dev_handle->claimed.count(wIndex) > 0);
    return result.status == epdsim::transfer_status::ok ? int(result.transferred)
                                                        : epdsim::to_libusb(result.status);
}

// A port reset: the device drops the command in progress and its halts; the handle stays valid.
int LIBUSB_CALL libusb_reset_device(libusb_device_handle *dev_handle) {
    if (!epdsim::known_handle(dev_handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device *dev = dev_handle->device;
    epdsim::controller *c = epdsim::model_of(dev);
    if (!c)
        return LIBUSB_SUCCESS;
    return c->reset() ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle *dev_handle, unsigned char endpoint) {
    if (!epdsim::known_handle(dev_handle))
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_device *dev = dev_handle->device;
    if (epdsim::gone(dev))
        return LIBUSB_ERROR_NO_DEVICE;
    epdsim::endpoint_config ep;
    if (epdsim::interface_of(dev, endpoint, &ep) < 0)
        return LIBUSB_ERROR_NOT_FOUND;
    if (epdsim::controller *c = epdsim::model_of(dev)) {
        bus().halts_cleared[std::size_t(dev->controller)].push_back(endpoint);
        c->clear_halt(endpoint);
    }
    return LIBUSB_SUCCESS;
}

const char *LIBUSB_CALL libusb_strerror(int errcode) {
    const epdsim::error_text *e = epdsim::error_text_of(errcode);
    return e ? e->text : "Other error";
}

const char *LIBUSB_CALL libusb_error_name(int errcode) {
    const epdsim::error_text *e = epdsim::error_text_of(errcode);
    return e ? e->name : "**UNKNOWN**";
}

} // extern "C"
