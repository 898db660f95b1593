// The simulated USB bus: libusb-1.0's functions with C linkage over the virtual controllers, so
// the program links either Debian's libusb or this file unchanged. Deterministic and without
// sleeps: a timeout is returned at once.
#include "controller.h"
#include "epdsim.h"
#include "sim_config.h"

#include <libusb.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>

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

namespace {

struct bus_state {
    bool configured = false;
    int init_count = 0;
    std::vector<std::unique_ptr<controller>> controllers;
    std::vector<std::unique_ptr<libusb_device>> devices; // in list order
    std::vector<std::unique_ptr<libusb_device_handle>> handles;
    std::set<libusb_config_descriptor *> config_descriptors;
    // Device lists handed out and not yet freed; a program may keep its list for the whole run.
    std::set<libusb_device **> device_lists;
    std::vector<journal_entry> journal;
    int journaled = 0;        // entries numbered so far, kept or not
    bool keep_journal = true; // journal() holds every entry
    bus_faults global;
    std::vector<std::pair<int, int>> raises; // signal, command
    int completed = 0;
    std::vector<std::vector<std::uint8_t>> halts_cleared;
    std::vector<int> device_descriptor_calls;
    std::vector<int> config_descriptor_calls;
    std::vector<std::size_t> refreshes_seen;
    int unshown_refreshes = 0;
    int frames = 0;
    cv::Mat last;
    std::FILE *journal_file = nullptr;
    std::string frames_dir;
    std::string memory_dir;
    in_transfer_hook in_hook;
};

// Never destroyed: the program may keep bus objects (its device list) until the process ends.
bus_state &bus() {
    static bus_state *state = new bus_state;
    return *state;
}

controller &checked(int index) {
    if (index < 0 || index >= int(bus().controllers.size()))
        throw std::out_of_range("epdsim: no controller " + std::to_string(index));
    return *bus().controllers[std::size_t(index)];
}

void write_frame();

void record(int index, journal_entry &&e) {
    bus_state &b = bus();
    e.seq = ++b.journaled;
    if (b.journal_file) {
        std::fprintf(b.journal_file, "%s\n", e.line().c_str());
        std::fflush(b.journal_file);
    }
    const bool command = e.command;
    const bool power_off = command && e.block[0] == 0xFE && e.block[6] == 0xA3 &&
                           e.block[11] == 0 && e.csw_status == 0;
    if (b.keep_journal)
        b.journal.push_back(std::move(e));
    controller &c = *b.controllers[std::size_t(index)];
    std::size_t refreshes = c.refreshes().size();
    b.unshown_refreshes += int(refreshes - b.refreshes_seen[std::size_t(index)]);
    b.refreshes_seen[std::size_t(index)] = refreshes;
    if (!command)
        return;
    ++b.completed;
    if (power_off && b.unshown_refreshes > 0)
        write_frame();
    for (const auto &trigger : b.raises)
        if (trigger.second == b.completed)
            std::raise(trigger.first);
}

std::vector<int> bands_top_down() {
    std::vector<int> order(bus().controllers.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = int(i);
    std::stable_sort(order.begin(), order.end(), [](int a, int b) {
        return checked(a).config().multiID > checked(b).config().multiID;
    });
    return order;
}

// The bands as a viewer sees them, the highest multi ID on top. In a layout every band shows its
// memory columns mirrored (memory column c at width - 1 - c); the bottom band of the 42 layout is
// also upside down (memory row r at band row B - 1 - r). Other sets stack their bands unturned.
cv::Mat compose_panel() {
    std::vector<int> order = bands_top_down();
    int width = 0, height = 0;
    for (int i : order) {
        width = std::max(width, checked(i).config().panel_width);
        height += checked(i).config().panel_height;
    }
    cv::Mat panel(height, width, CV_8UC1, cv::Scalar(255));
    int kind = layout();
    int top = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const controller &c = checked(order[k]);
        int w = c.config().panel_width, h = c.config().panel_height;
        cv::Mat band(h, w, CV_8UC1, const_cast<std::uint8_t *>(c.shown().data()));
        cv::Mat view;
        if (kind == 42 && k + 1 == order.size())
            cv::flip(band, view, -1);
        else if (kind != 0)
            cv::flip(band, view, 1);
        else
            view = band;
        view.copyTo(panel(cv::Rect(0, top, w, h)));
        top += h;
    }
    cv::Mat levels(1, 256, CV_8UC1);
    for (int v = 0; v < 256; ++v)
        levels.at<std::uint8_t>(v) = std::uint8_t((v >> 4) * 17);
    cv::Mat shown;
    cv::LUT(panel, levels, shown);
    return shown;
}

void write_frame() {
    bus_state &b = bus();
    b.last = compose_panel();
    ++b.frames;
    b.unshown_refreshes = 0;
    if (b.frames_dir.empty())
        return;
    char name[32];
    std::snprintf(name, sizeof name, "/frame-%04d.png", b.frames);
    if (!cv::imwrite(b.frames_dir + name, b.last))
        std::fprintf(stderr, "epdsim: cannot write %s%s\n", b.frames_dir.c_str(), name);
}

void dump_memories() {
    bus_state &b = bus();
    if (b.memory_dir.empty())
        return;
    for (std::size_t i = 0; i < b.controllers.size(); ++i) {
        std::string path = b.memory_dir + "/controller-" + std::to_string(i) + ".mem";
        std::ofstream out(path, std::ios::binary);
        const std::vector<std::uint8_t> &mem = b.controllers[i]->memory();
        out.write(reinterpret_cast<const char *>(mem.data()), std::streamsize(mem.size()));
        if (!out)
            std::fprintf(stderr, "epdsim: cannot write %s\n", path.c_str());
    }
}

void close_journal() {
    if (bus().journal_file)
        std::fclose(bus().journal_file);
    bus().journal_file = nullptr;
}

void forget_controllers() {
    bus_state &b = bus();
    b.handles.clear();
    b.controllers.clear();
    b.devices.erase(std::remove_if(b.devices.begin(), b.devices.end(),
                                   [](const auto &d) { return d->controller >= 0; }),
                    b.devices.end());
    b.halts_cleared.clear();
    b.device_descriptor_calls.clear();
    b.config_descriptor_calls.clear();
    b.refreshes_seen.clear();
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
    static const std::vector<interface_config> foreign = {interface_config{{{}}}};
    controller *c = model_of(device);
    return c ? c->config().interfaces : foreign;
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
            d.bInterfaceClass = LIBUSB_CLASS_MASS_STORAGE;
            d.bInterfaceSubClass = 0x06; // SCSI transparent command set
            d.bInterfaceProtocol = 0x50; // Bulk-Only Transport
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

// Reads the environment the first time the bus starts without being set up in-process. Then
// nothing in the process reads the journal in memory, which would otherwise grow by every
// command and its data for as long as the show runs: only the journal file is written.
void configure_on_first_init() {
    if (bus().configured)
        return;
    std::string error;
    if (!configure_from_environment(&error)) {
        std::fprintf(stderr, "epdsim: %s\n", error.c_str());
        std::exit(2);
    }
    bus().keep_journal = false;
}

} // namespace

// --- set-up

void reset() {
    bus_state &b = bus();
    for (libusb_config_descriptor *config : b.config_descriptors)
        free_config(config);
    for (libusb_device **list : b.device_lists)
        std::free(list);
    close_journal();
    b = bus_state{};
    b.configured = true;
}

void use_layout(int layout, const std::vector<int> &order) {
    if (layout != 42 && layout != 32)
        throw std::invalid_argument("epdsim: layout " + std::to_string(layout) + " unknown");
    int count = layout == 42 ? 2 : 4;
    std::vector<int> ids = order;
    if (ids.empty())
        for (int i = 0; i < count; ++i)
            ids.push_back(i);
    std::vector<int> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < int(sorted.size()); ++i)
        if (int(sorted.size()) != count || sorted[std::size_t(i)] != i)
            throw std::invalid_argument("epdsim: the order must list the multi IDs 0 to " +
                                        std::to_string(count - 1) + " once each");
    bus().configured = true;
    forget_controllers();
    for (int id : ids) {
        controller_config config;
        config.panel_width = layout == 42 ? 2880 : 1440;
        config.panel_height = layout == 42 ? 1080 : 640;
        config.multiID = id;
        add_controller(config);
    }
}

int add_controller(const controller_config &config) {
    if (config.panel_width <= 0 || config.panel_height <= 0)
        throw std::invalid_argument("epdsim: a controller needs a positive panel size");
    bus_state &b = bus();
    b.configured = true;
    int index = int(b.controllers.size());
    b.controllers.push_back(std::make_unique<controller>(config));
    b.controllers.back()->set_index(index);
    b.controllers.back()->set_journal_sink(
        [index](journal_entry &&entry) { record(index, std::move(entry)); });
    auto device = std::make_unique<libusb_device>();
    device->controller = index;
    b.devices.push_back(std::move(device));
    b.halts_cleared.emplace_back();
    b.device_descriptor_calls.push_back(0);
    b.config_descriptor_calls.push_back(0);
    b.refreshes_seen.push_back(0);
    return index;
}

void add_other_device(const other_device &other, int position) {
    bus_state &b = bus();
    b.configured = true;
    auto device = std::make_unique<libusb_device>();
    device->other = other;
    if (position < 0 || position > int(b.devices.size()))
        position = int(b.devices.size());
    b.devices.insert(b.devices.begin() + position, std::move(device));
}

bus_faults &global_faults() {
    return bus().global;
}

controller_faults &faults(int index) {
    return checked(index).faults();
}

void raise_after_command(int signal, int command) {
    bus().raises.emplace_back(signal, command);
}

void set_journal_file(const std::string &path) {
    close_journal();
    if (path.empty())
        return;
    bus().journal_file = std::fopen(path.c_str(), "w");
    if (!bus().journal_file)
        throw std::runtime_error("epdsim: cannot write the journal " + path);
}

void keep_journal(bool keep) {
    bus().keep_journal = keep;
}

void set_frames_dir(const std::string &dir) {
    bus().frames_dir = dir;
}

void set_memory_dir(const std::string &dir) {
    bus().memory_dir = dir;
}

void set_in_transfer_hook(in_transfer_hook hook) {
    bus().in_hook = std::move(hook);
}

bool configure_from_environment(std::string *error) {
    return configure_from(
        [](const char *name) {
            const char *value = std::getenv(name);
            return value ? std::optional<std::string>(value) : std::nullopt;
        },
        error);
}

// --- inspection

int controller_count() {
    return int(bus().controllers.size());
}

int controller_index_of(int multiID) {
    for (std::size_t i = 0; i < bus().controllers.size(); ++i)
        if (bus().controllers[i]->config().multiID == multiID)
            return int(i);
    return -1;
}

const controller_config &config(int index) {
    return checked(index).config();
}

const std::vector<journal_entry> &journal() {
    return bus().journal;
}

std::vector<std::string> journal_lines() {
    std::vector<std::string> lines;
    for (const journal_entry &e : bus().journal)
        lines.push_back(e.line());
    return lines;
}

int violation_count() {
    return int(std::count_if(bus().journal.begin(), bus().journal.end(),
                             [](const journal_entry &e) { return e.violation; }));
}

int command_count() {
    return bus().completed;
}

const std::vector<std::uint8_t> &memory(int index) {
    return checked(index).memory();
}

std::uint8_t memory_at(int index, int x, int y) {
    const controller &c = checked(index);
    if (x < 0 || y < 0 || x >= c.config().panel_width || y >= c.config().panel_height)
        throw std::out_of_range("epdsim: pixel outside the image memory");
    return c.memory()[std::size_t(y) * std::size_t(c.config().panel_width) + std::size_t(x)];
}

std::uint32_t register_value(int index, std::uint32_t address) {
    return checked(index).register_value(address);
}

bool power_on(int index) {
    return checked(index).power_on();
}

int last_vcom(int index) {
    return checked(index).last_vcom();
}

int temperature(int index) {
    return checked(index).temperature();
}

const std::vector<refresh_record> &refreshes(int index) {
    return checked(index).refreshes();
}

std::vector<std::uint8_t> clear_halts(int index) {
    checked(index);
    return bus().halts_cleared[std::size_t(index)];
}

int open_handles(int index) {
    checked(index);
    return int(std::count_if(bus().handles.begin(), bus().handles.end(),
                             [index](const auto &h) { return h->device->controller == index; }));
}

std::vector<int> claimed_interfaces(int index) {
    checked(index);
    std::set<int> claimed;
    for (const auto &h : bus().handles)
        if (h->device->controller == index)
            claimed.insert(h->claimed.begin(), h->claimed.end());
    return std::vector<int>(claimed.begin(), claimed.end());
}

bool initialised() {
    return bus().init_count > 0;
}

int frame_count() {
    return bus().frames;
}

cv::Mat last_frame() {
    return bus().last.clone();
}

cv::Mat shown_panel() {
    return compose_panel();
}

int layout() {
    const auto &list = bus().controllers;
    auto all_wide = [&list](int width) {
        return std::all_of(list.begin(), list.end(),
                           [width](const auto &c) { return c->config().panel_width == width; });
    };
    if (list.size() == 2 && all_wide(2880))
        return 42;
    if (list.size() == 4 && all_wide(1440))
        return 32;
    return 0;
}

controller &device(int index) {
    return checked(index);
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
    for (auto &c : bus().controllers)
        c->abandon("libusb_exit with the command unfinished");
    if (bus().unshown_refreshes > 0)
        epdsim::write_frame();
    epdsim::dump_memories();
    if (bus().journal_file)
        std::fflush(bus().journal_file);
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
    for (std::size_t i = 0; i < devices.size(); ++i) {
        entries[i] = devices[i].get();
        ++entries[i]->refs;
    }
    bus().device_lists.insert(entries);
    *list = entries;
    return ssize_t(devices.size());
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
    switch (errcode) {
    case LIBUSB_SUCCESS:
        return "Success";
    case LIBUSB_ERROR_IO:
        return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS:
        return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE:
        return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND:
        return "Entity not found";
    case LIBUSB_ERROR_BUSY:
        return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT:
        return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW:
        return "Overflow";
    case LIBUSB_ERROR_PIPE:
        return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED:
        return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM:
        return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "Operation not supported or unimplemented on this platform";
    default:
        return "Other error";
    }
}

const char *LIBUSB_CALL libusb_error_name(int errcode) {
    switch (errcode) {
    case LIBUSB_SUCCESS:
        return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO:
        return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
        return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
        return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
        return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
        return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
        return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
        return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
        return "LIBUSB_ERROR_OTHER";
    default:
        return "**UNKNOWN**";
    }
}

} // extern "C"
