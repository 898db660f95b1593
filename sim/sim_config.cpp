#include "sim_config.h"

#include "bus.h"
#include "controller.h"
#include "epdsim.h"

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace epdsim {

namespace {

// A problem with one variable's value; caught once and turned into the message.
struct bad_value : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

long long number(const std::string &text, long long low, long long high, int base = 10) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        throw bad_value("'" + text + "' is not a number");
    errno = 0;
    char *end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, base);
    if (*end != '\0' || errno == ERANGE)
        throw bad_value("'" + text + "' is not a number");
    if (value < low || value > high)
        throw bad_value(text + " is outside " + std::to_string(low) + " to " +
                        std::to_string(high));
    return value;
}

int count(const std::string &text) {
    return int(number(text, 0, 1000000000));
}

int error_code(const std::string &text) {
    std::string name = text.rfind("LIBUSB_ERROR_", 0) == 0 ? text.substr(13) : text;
    if (int code = error_code_named(name))
        return code;
    if (!text.empty() && text[0] == '-')
        return int(number(text, -1000, -1));
    throw bad_value("'" + text + "' is not a libusb error code");
}

int signal_number(const std::string &text) {
    static const std::pair<const char *, int> names[] = {
        {"INT", SIGINT},   {"TERM", SIGTERM}, {"ABRT", SIGABRT},
        {"HUP", SIGHUP},   {"QUIT", SIGQUIT}, {"USR1", SIGUSR1},
        {"USR2", SIGUSR2}, {"KILL", SIGKILL}, {"ALRM", SIGALRM}};
    std::string name = text.rfind("SIG", 0) == 0 ? text.substr(3) : text;
    for (const auto &entry : names)
        if (name == entry.first)
            return entry.second;
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0])))
        return int(number(text, 1, 64));
    throw bad_value("'" + text + "' is not a signal");
}

// Splits "A:B" at its first colon; B is empty when there is none.
std::pair<std::string, std::string> at_colon(const std::string &text) {
    std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        return {text, ""};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

void use_devices(const std::string &value) {
    if (value == "none")
        return; // a bus without controllers
    for (const std::string &item : split(value, ',')) {
        std::size_t x = item.find('x'), at = item.find('@');
        if (x == std::string::npos || at == std::string::npos || at < x)
            throw bad_value("'" + item + "' is not WIDTHxHEIGHT@MULTIID");
        controller_config config;
        config.panel_width = int(number(item.substr(0, x), 1, 65535));
        config.panel_height = int(number(item.substr(x + 1, at - x - 1), 1, 65535));
        config.multiID = int(number(item.substr(at + 1), -2147483647 - 1LL, 2147483647));
        add_controller(config);
    }
}

std::vector<int> numbers(const std::string &value, long long low, long long high) {
    std::vector<int> values;
    for (const std::string &item : split(value, ','))
        values.push_back(int(number(item, low, high)));
    return values;
}

// Applies one value per controller, or one value to all of them.
template <typename Set>
void per_controller(const std::string &value, long long low, long long high, Set set) {
    std::vector<int> values = numbers(value, low, high);
    if (values.size() != 1 && int(values.size()) != controller_count())
        throw bad_value("give one value, or one per controller (" +
                        std::to_string(controller_count()) + ")");
    for (int i = 0; i < controller_count(); ++i)
        set(i, values[values.size() == 1 ? 0 : std::size_t(i)]);
}

// An interface written as udev writes it in ID_USB_INTERFACES: class, subclass and protocol,
// two hex digits each ("030101": a keyboard).
interface_config interface_named(const std::string &text) {
    if (text.size() != 6)
        throw bad_value("'" + text + "' is not an interface CCSSPP (six hex digits)");
    interface_config iface;
    iface.alt_settings = {alt_setting_config{}};
    iface.class_code = std::uint8_t(number(text.substr(0, 2), 0, 0xFF, 16));
    iface.subclass = std::uint8_t(number(text.substr(2, 2), 0, 0xFF, 16));
    iface.protocol = std::uint8_t(number(text.substr(4, 2), 0, 0xFF, 16));
    return iface;
}

// "VID:PID[/CCSSPP...][@POSITION]".
void add_others(const std::string &value) {
    for (const std::string &item : split(value, ',')) {
        std::size_t at = item.find('@');
        std::vector<std::string> parts = split(item.substr(0, at), '/');
        auto ids = at_colon(parts[0]);
        if (ids.second.empty())
            throw bad_value("'" + item + "' is not VID:PID[/CCSSPP...][@POSITION]");
        other_device other;
        other.vendor_id = std::uint16_t(number(ids.first, 0, 0xFFFF, 16));
        other.product_id = std::uint16_t(number(ids.second, 0, 0xFFFF, 16));
        if (parts.size() > 1) {
            other.interfaces.clear();
            for (std::size_t i = 1; i < parts.size(); ++i)
                other.interfaces.push_back(interface_named(parts[i]));
        }
        int position = at == std::string::npos ? -1 : int(number(item.substr(at + 1), 0, 127));
        add_other_device(other, position);
    }
}

// Descriptor faults: "[K[:CODE]]".
void descriptor_fault(const std::string &value, int *error, int *ok_calls) {
    auto parts = at_colon(value);
    *ok_calls = parts.first.empty() ? 0 : count(parts.first);
    *error = parts.second.empty() ? LIBUSB_ERROR_IO : error_code(parts.second);
}

// The faults given N times, by name; null for another name.
int controller_faults::*counted_fault(const std::string &name) {
    static const std::pair<const char *, int controller_faults::*> counters[] = {
        {"stall-in", &controller_faults::stall_in},
        {"stall-out", &controller_faults::stall_out},
        {"timeout-in", &controller_faults::timeout_in},
        {"timeout-out", &controller_faults::timeout_out},
        {"timeout-data", &controller_faults::timeout_data},
        {"short-csw", &controller_faults::short_csw},
        {"csw-fail", &controller_faults::csw_failed},
        {"csw-phase", &controller_faults::csw_phase_error}};
    for (const auto &counter : counters)
        if (name == counter.first)
            return counter.second;
    return nullptr;
}

void apply_fault(controller_faults &f, const std::string &name, const std::string &value,
                 bool has_value) {
    auto need_value = [&] {
        if (!has_value)
            throw bad_value(name + " needs a value");
    };
    if (int controller_faults::*counter = counted_fault(name)) {
        need_value();
        f.*counter = count(value);
    } else if (name == "open") {
        f.open_error = has_value ? error_code(value) : LIBUSB_ERROR_ACCESS;
    } else if (name == "claim") {
        need_value();
        auto parts = at_colon(value);
        f.claim_errors[int(number(parts.first, 0, 255))] =
            parts.second.empty() ? LIBUSB_ERROR_BUSY : error_code(parts.second);
    } else if (name == "devdesc") {
        descriptor_fault(value, &f.device_descriptor_error, &f.device_descriptor_ok_calls);
    } else if (name == "cfgdesc") {
        descriptor_fault(value, &f.config_descriptor_error, &f.config_descriptor_ok_calls);
    } else if (name == "gone") {
        need_value();
        f.gone_from_command = count(value);
    } else if (name == "hang") {
        need_value();
        f.hang_from_command = int(number(value, 1, 1000000000));
    } else if (name == "hang-every") {
        need_value();
        f.hang_every = int(number(value, 1, 1000000000));
    } else if (name == "back" || name == "back-hung") {
        need_value();
        f.back_at_listing = int(number(value, 1, 1000000000));
        f.back_hung = name == "back-hung";
    } else if (name == "plug") {
        need_value();
        f.plug_at_listing = int(number(value, 1, 1000000000));
    } else if (name == "from") {
        need_value();
        f.counted_from_command = count(value);
    } else {
        throw bad_value("unknown fault '" + name + "'");
    }
}

void add_faults(const std::string &value) {
    for (const std::string &item : split(value, ',')) {
        std::size_t equals = item.find('=');
        std::string head = item.substr(0, equals);
        std::string fault_value = equals == std::string::npos ? "" : item.substr(equals + 1);
        bool has_value = equals != std::string::npos;
        std::size_t dot = head.find('.');
        std::string target = dot == std::string::npos ? "" : head.substr(0, dot);
        std::string name = dot == std::string::npos ? head : head.substr(dot + 1);
        if (name == "init" || name == "list") {
            if (!target.empty())
                throw bad_value(name + " takes no controller");
            int code = has_value ? error_code(fault_value)
                                 : (name == "init" ? LIBUSB_ERROR_OTHER : LIBUSB_ERROR_NO_MEM);
            (name == "init" ? global_faults().init_error : global_faults().device_list_error) =
                code;
            continue;
        }
        std::vector<int> indexes;
        if (target.empty()) {
            for (int i = 0; i < controller_count(); ++i)
                indexes.push_back(i);
        } else if (target.rfind("dev", 0) == 0) {
            int index = int(number(target.substr(3), 0, 1000));
            if (index >= controller_count())
                throw bad_value(target + ": no such controller");
            indexes.push_back(index);
        } else if (target.rfind("id", 0) == 0) {
            int index =
                controller_index_of(int(number(target.substr(2), -2147483647 - 1LL, 2147483647)));
            if (index < 0)
                throw bad_value(target + ": no controller has this multi ID");
            indexes.push_back(index);
        } else {
            throw bad_value("'" + target + "' is not devN or idN");
        }
        for (int index : indexes)
            apply_fault(faults(index), name, fault_value, has_value);
    }
}

void add_raises(const std::string &value) {
    for (const std::string &item : split(value, ',')) {
        std::size_t at = item.find('@');
        if (at == std::string::npos)
            throw bad_value("'" + item + "' is not SIGNAL@COMMAND");
        raise_after_command(signal_number(item.substr(0, at)),
                            int(number(item.substr(at + 1), 1, 1000000000)));
    }
}

std::string folder(const std::string &value) {
    std::error_code error;
    std::filesystem::create_directories(value, error);
    if (!std::filesystem::is_directory(value))
        throw bad_value("cannot create the folder " + value);
    return value;
}

} // namespace

bool configure_from(const env_reader &env, std::string *error) {
    reset();
    std::string name;
    auto get = [&](const char *variable) {
        name = variable;
        std::optional<std::string> value = env(variable);
        return value && !value->empty() ? value : std::nullopt;
    };
    try {
        auto layout_value = get("EPDSIM_LAYOUT");
        auto order_value = get("EPDSIM_ORDER");
        if (auto devices = get("EPDSIM_DEVICES")) {
            if (layout_value || order_value)
                throw bad_value("EPDSIM_LAYOUT and EPDSIM_ORDER do not apply to a custom set");
            use_devices(*devices);
        } else {
            name = "EPDSIM_LAYOUT";
            int layout = layout_value ? int(number(*layout_value, 0, 99)) : 42;
            if (layout != 42 && layout != 32)
                throw bad_value("expected 42 or 32");
            name = "EPDSIM_ORDER";
            std::vector<int> order;
            if (order_value)
                order = numbers(*order_value, 0, 3);
            try {
                use_layout(layout, order);
            } catch (const std::invalid_argument &) {
                throw bad_value("list the multi IDs 0 to " + std::to_string(layout == 42 ? 1 : 3) +
                                " once each");
            }
        }
        if (auto value = get("EPDSIM_TEMP"))
            per_controller(*value, -128, 127, [](int i, int v) { device(i).set_temperature(v); });
        if (auto value = get("EPDSIM_BUSY"))
            per_controller(*value, 0, 1000000, [](int i, int v) { device(i).set_busy_reads(v); });
        if (auto value = get("EPDSIM_SPEED"))
            per_controller(*value, -2147483647 - 1LL, 2147483647,
                           [](int i, int v) { device(i).set_speed(v); });
        if (auto value = get("EPDSIM_OTHERS"))
            add_others(*value);
        if (auto value = get("EPDSIM_FAULTS"))
            add_faults(*value);
        if (auto value = get("EPDSIM_RAISE"))
            add_raises(*value);
        if (auto value = get("EPDSIM_JOURNAL")) {
            try {
                set_journal_file(*value);
            } catch (const std::runtime_error &) {
                throw bad_value("cannot write the journal " + *value);
            }
        }
        if (auto value = get("EPDSIM_FRAMES"))
            set_frames_dir(folder(*value));
        if (auto value = get("EPDSIM_FRAMES_MAX"))
            set_frames_max(int(number(*value, 0, 1000000000)));
        if (auto value = get("EPDSIM_MEMORY"))
            set_memory_dir(folder(*value));
    } catch (const bad_value &problem) {
        std::optional<std::string> value = env(name.c_str());
        *error = name + "=" + value.value_or("") + ": " + problem.what();
        reset();
        return false;
    }
    return true;
}

} // namespace epdsim
