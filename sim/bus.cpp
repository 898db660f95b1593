// The simulated bus: its state, the test API of epdsim.h that sets it up and inspects it, and
// what happens when a controller's command ends (journal, panel view, signals, in that order).
// The program reaches the bus through the libusb façade (libusb_facade.cpp). Deterministic and
// without sleeps: a timeout is returned at once.
#include "bus.h"
#include "sim_config.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace epdsim {

namespace {

void raise_signals_due(int completed) {
    for (const auto &trigger : bus().raises)
        if (trigger.second == completed)
            std::raise(trigger.first);
}

// A controller's command (or stray transfer) is over: the journal takes the entry, the panel
// view counts the refreshes it made, a power-off shows them as a frame, and the signals due
// after that command are raised.
void entry_ended(int index, journal_entry &&entry) {
    bus_state &b = bus();
    const bool command = entry.command;
    const bool power_off = controller::powers_off(entry);
    b.journal.add(std::move(entry));
    b.panel.count_refreshes(index, b.controllers[std::size_t(index)]->refresh_count());
    if (!command)
        return;
    ++b.completed;
    if (power_off)
        b.panel.show_unshown(b.controllers);
    raise_signals_due(b.completed);
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
    b.panel.forget_bands();
}

} // namespace

bus_state &bus() {
    static bus_state *state = new bus_state;
    return *state;
}

controller &checked(int index) {
    if (index < 0 || index >= int(bus().controllers.size()))
        throw std::out_of_range("epdsim: no controller " + std::to_string(index));
    return *bus().controllers[std::size_t(index)];
}

// Nothing in a process set up from the environment reads the journal or the refresh records in
// memory, which would otherwise grow by every command and every refresh for as long as the show
// runs: only the journal file is written.
void configure_on_first_init() {
    if (bus().configured)
        return;
    std::string error;
    if (!configure_from_environment(&error)) {
        std::fprintf(stderr, "epdsim: %s\n", error.c_str());
        std::exit(2);
    }
    keep_journal(false);
}

void end_session() {
    bus_state &b = bus();
    for (auto &c : b.controllers)
        c->abandon("libusb_exit with the command unfinished");
    b.panel.show_unshown(b.controllers);
    b.panel.dump_memories(b.controllers);
}

// --- set-up

void reset() {
    bus_state &b = bus();
    for (libusb_config_descriptor *config : b.config_descriptors)
        free_config(config);
    for (libusb_device **list : b.device_lists)
        std::free(list);
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
    b.controllers.back()->keep_refreshes(b.journal.keeps());
    b.controllers.back()->set_journal_sink(
        [index](journal_entry &&entry) { entry_ended(index, std::move(entry)); });
    auto device = std::make_unique<libusb_device>();
    device->controller = index;
    b.devices.push_back(std::move(device));
    b.halts_cleared.emplace_back();
    b.device_descriptor_calls.push_back(0);
    b.config_descriptor_calls.push_back(0);
    b.panel.add_band();
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
    bus().journal.set_file(path);
}

void keep_journal(bool keep) {
    bus().journal.keep(keep);
    for (auto &c : bus().controllers)
        c->keep_refreshes(keep);
}

void set_frames_dir(const std::string &dir) {
    bus().panel.set_frames_dir(dir);
}

void set_frames_max(int count) {
    bus().panel.set_frames_max(count);
}

void set_memory_dir(const std::string &dir) {
    bus().panel.set_memory_dir(dir);
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
    return bus().journal.entries();
}

std::vector<std::string> journal_lines() {
    std::vector<std::string> lines;
    for (const journal_entry &e : journal())
        lines.push_back(e.line());
    return lines;
}

int violation_count() {
    return int(std::count_if(journal().begin(), journal().end(),
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

int mass_storage_resets(int index) {
    return checked(index).mass_storage_resets();
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

int other_device_opens() {
    return bus().other_opens;
}

int frame_count() {
    return bus().panel.frame_count();
}

cv::Mat last_frame() {
    return bus().panel.last_frame().clone();
}

cv::Mat shown_panel() {
    return compose_panel(bus().controllers);
}

int layout() {
    return layout_of(bus().controllers);
}

controller &device(int index) {
    return checked(index);
}

} // namespace epdsim
