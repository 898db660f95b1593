#include "usb_controller.h"

#include <libusb.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "tool.h"

libusb_device **epd_devs = nullptr;
libusb_device_handle **epd_handles = nullptr;
uint8_t endpoint_in = 0;
uint8_t endpoint_out = 0;
int nb_ifaces = 0;
const libusb_version *version = nullptr;

namespace {

constexpr uint16_t controller_vendor_id = 0x048D;
constexpr unsigned int transfer_timeout_ms = 10000;
constexpr int max_attempts = 5;
constexpr int cbw_size = 31;
constexpr int csw_size = 13;

// libusb's device list: epd_devs points into it, so it is kept until usb_close.
libusb_device **device_list = nullptr;
// Controllers found by usb_init: the valid indexes of epd_devs and epd_handles.
int controller_count = 0;
// Per controller: libusb has reported that the device left the bus.
std::vector<bool> controller_gone;

// A controller fails when this many exchanges in a row have failed: a transfer that failed (after
// the retry rule), or a command whose status says it failed. A hung controller costs at most 10
// timed-out transfers, a stalling one 50 stalled attempts, one that answers "failed" 10 commands.
constexpr int failed_exchanges_limit = 10;

// The Bulk-Only Mass Storage Reset: a class request to the interface, without data.
constexpr uint8_t class_request_to_interface = 0x21;
constexpr uint8_t bulk_only_reset_request = 0xFF;

// The health of one controller, as its exchanges show it.
struct controller_health {
    int failures_in_a_row = 0;  // cleared by a command that ends with status 0
    int transfers_in_a_row = 0; // of those, failed transfers
    int statuses_in_a_row = 0;  // and failed statuses
    int last_error = 0;         // of the latest failed transfer
    int last_status = 0;        // of the latest failed status; 0 when a transfer failed last
    bool failed = false;
    bool command_went_through = false; // the latest command: every phase, status passed
    // The latest command failed: refused, a transfer failed, or its status said so (a short
    // status wrapper is no failure: the command's effect stands).
    bool command_failed = false;
    bool status_failed = false; // the latest command's status said it failed
    bool reset_due = false;     // a phase error: the Bulk-Only reset comes before the next command
};
std::vector<controller_health> health;

// The interface whose endpoints carry the Bulk-Only Transport: the Bulk-Only reset goes to it.
int bulk_only_interface = 0;

// Controllers (bus number, device address) that stopped answering while still on the bus: reset
// before they are used again. Kept across sessions.
std::set<std::pair<int, int>> unanswering;

// A discovery for --probe: no log is opened and the start-up lines are not printed; reports still
// reach standard error. Set by usb_init_quiet until the session ends.
bool quiet = false;

// A start-up line on standard output, as the show has always printed it.
__attribute__((format(printf, 1, 2))) void say(const char *format, ...) {
    if (quiet) {
        return;
    }
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

bool index_valid(int index) {
    return epd_devs != nullptr && epd_handles != nullptr && index >= 0 && index < controller_count;
}

void close_log() {
    log_close();
}

void forget_arrays() {
    free(epd_handles);
    epd_handles = nullptr;
    free(epd_devs);
    epd_devs = nullptr;
    controller_count = 0;
    controller_gone.clear();
    health.clear();
}

void release_device_list() {
    if (device_list != nullptr) {
        libusb_free_device_list(device_list, 1);
        device_list = nullptr;
    }
}

bool any_handle_open() {
    for (int i = 0; epd_handles != nullptr && i < controller_count; ++i) {
        if (epd_handles[i] != nullptr) {
            return true;
        }
    }
    return false;
}

// Remembers a controller that left the bus; reports it once.
void note_result(int index, int result) {
    if (result != LIBUSB_ERROR_NO_DEVICE || !index_valid(index) || controller_gone[index]) {
        return;
    }
    controller_gone[index] = true;
    health[index].failed = true;
    perr(log_file, "controller %d has left the bus: its commands are no longer sent\n", index);
}

// One more failed exchange of a controller; too many in a row fail it.
void count_failed_exchange(int index) {
    controller_health &h = health[index];
    h.command_went_through = false;
    h.command_failed = true;
    if (++h.failures_in_a_row >= failed_exchanges_limit && !h.failed) {
        h.failed = true;
        unanswering.insert({usb_bus_number(index), usb_device_address(index)});
    }
}

// Counts a failed transfer into the controller's health (a controller that left the bus fails at
// once, see note_result). A transfer that goes through clears nothing: only a command that ends
// with status 0 does.
void record_transfer(int index, int result) {
    if (!index_valid(index) || result == 0) {
        return;
    }
    health[index].last_error = result;
    health[index].last_status = 0;
    ++health[index].transfers_in_a_row;
    count_failed_exchange(index);
}

bool gone(int index) {
    return index_valid(index) && controller_gone[index];
}

// The handle of a controller that can take a transfer, or null after reporting why not. A
// controller that left the bus is refused silently: send_cbw reports it once per command.
libusb_device_handle *usable_handle(int index, const char *operation) {
    if (!index_valid(index)) {
        perr(log_file, "%s: no controller %d\n", operation, index);
        return nullptr;
    }
    // A command whose step is refused did not go through. A controller that failed is not asked
    // again: its reason was reported when it failed.
    if (controller_gone[index] || health[index].failed) {
        health[index].command_went_through = false;
        health[index].command_failed = true;
        return nullptr;
    }
    if (epd_handles[index] == nullptr) {
        health[index].command_went_through = false;
        health[index].command_failed = true;
        perr(log_file, "%s: controller %d is not open\n", operation, index);
    }
    return epd_handles[index];
}

// One bulk transfer: a stalled endpoint has its halt cleared and is tried again, at most
// max_attempts times in all. Stalls are always reported, other failures only when asked.
int bulk_transfer(int index, libusb_device_handle *handle, uint8_t endpoint, unsigned char *data,
                  int length, int *transferred, const char *operation, bool report_every_failure) {
    int result = 0;
    int attempt = 0;
    do {
        result =
            libusb_bulk_transfer(handle, endpoint, data, length, transferred, transfer_timeout_ms);
        if (result == LIBUSB_ERROR_PIPE || (report_every_failure && result < 0)) {
            perr_repeating(index, "%s libusb_bulk_transfer() failed : %s, retry %d times\n",
                           operation, libusb_strerror(result), attempt);
        }
        if (result == LIBUSB_ERROR_PIPE) {
            libusb_clear_halt(handle, endpoint);
        }
        ++attempt;
    } while (result == LIBUSB_ERROR_PIPE && attempt < max_attempts);
    record_transfer(index, result);
    return result;
}

void zero_fill(unsigned char *destination, int size) {
    if (size > 0) {
        memset(destination, 0, size);
    }
}

void put_le32(unsigned char *out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// A log kept from an earlier session goes on without a new start line.
void open_log(bool empty_first) {
    if (!log_open(empty_first)) {
        const int error = errno;
        printf("file open failed\n");
        char folder[4096];
        fprintf(stderr, "Error: cannot open the log file %s/log.txt: %s\n",
                getcwd(folder, sizeof folder) != nullptr ? folder : ".", strerror(error));
        return;
    }
    say("file open Success!\n");
    if (!empty_first) {
        return;
    }
    char stamp[80];
    current_date_time(stamp);
    fprintf(log_file, "Start :%s\n", stamp);
    fflush(log_file);
}

// Fills epd_devs with the controllers of the device list; returns their count or a libusb code.
int collect_controllers(libusb_device **list) {
    int found = 0;
    for (libusb_device **device = list; *device != nullptr; ++device) {
        libusb_device_descriptor descriptor;
        int result = libusb_get_device_descriptor(*device, &descriptor);
        if (result < 0) {
            perr(log_file, "libusb_get_device_descriptor() failed : %s\n", libusb_strerror(result));
            return result;
        }
        if (descriptor.idVendor != controller_vendor_id ||
            !usb_is_controller(*device, descriptor)) {
            continue;
        }
        epd_devs[found++] = *device;
        say("\t\t\t\t0x%04x:0x%04x (bus %d, device %d)\n", descriptor.idVendor,
            descriptor.idProduct, libusb_get_bus_number(*device),
            libusb_get_device_address(*device));
    }
    return found;
}

// Takes the first non-control endpoint of each direction, once for the whole process.
void find_endpoints(const libusb_config_descriptor *config) {
    for (int i = 0; i < nb_ifaces; ++i) {
        const libusb_interface &interface = config->interface[i];
        for (int j = 0; j < interface.num_altsetting; ++j) {
            const libusb_interface_descriptor &setting = interface.altsetting[j];
            for (int k = 0; k < setting.bNumEndpoints; ++k) {
                const libusb_endpoint_descriptor &endpoint = setting.endpoint[k];
                if ((endpoint.bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_CONTROL) {
                    continue;
                }
                bool is_in = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
                if (is_in && endpoint_in == 0) {
                    endpoint_in = endpoint.bEndpointAddress;
                    bulk_only_interface = setting.bInterfaceNumber;
                    say("endpoint in = 0x%xh\n", endpoint_in);
                } else if (!is_in && endpoint_out == 0) {
                    endpoint_out = endpoint.bEndpointAddress;
                    say("endpoint out = 0x%xh\n", endpoint_out);
                }
            }
        }
    }
}

// A descriptor of an opened controller could not be read: the handle goes and the slot is emptied.
int abandon_open(int index, int result) {
    libusb_close(epd_handles[index]);
    epd_handles[index] = nullptr;
    fprintf(stderr, "   %s\n", libusb_strerror(result));
    return -1;
}

} // namespace

namespace {

int start_usb(bool empty_log) {
    close_log();
    forget_arrays();
    release_device_list();
    if (quiet) {
        log_keep_none();
    } else {
        open_log(empty_log);
    }

    version = libusb_get_version();
    say("Using libusb v%d.%d.%d.%d\n\n", version->major, version->minor, version->micro,
        version->nano);

    int result = libusb_init(nullptr);
    if (result < 0) {
        perr(log_file, "libusb_init() failed : %s\n", libusb_strerror(result));
        return result;
    }

    ssize_t listed = libusb_get_device_list(nullptr, &device_list);
    if (listed < 0) {
        perr(log_file, "libusb_get_device_list() failed : %s\n",
             libusb_strerror(static_cast<int>(listed)));
        return static_cast<int>(listed);
    }

    epd_devs = static_cast<libusb_device **>(calloc(listed + 1, sizeof *epd_devs));
    if (epd_devs == nullptr) {
        perr(log_file, "%s\n", libusb_strerror(LIBUSB_ERROR_NO_MEM));
        return LIBUSB_ERROR_NO_MEM;
    }
    int found = collect_controllers(device_list);
    if (found < 0) {
        return found;
    }

    epd_handles = static_cast<libusb_device_handle **>(calloc(found + 1, sizeof *epd_handles));
    if (epd_handles == nullptr) {
        perr(log_file, "%s\n", libusb_strerror(LIBUSB_ERROR_NO_MEM));
        return LIBUSB_ERROR_NO_MEM;
    }
    controller_count = found;
    controller_gone.assign(found, false);
    health.assign(found, controller_health{});

    say("\t\t\t\tEndpoint_in = %d, Endpoint_out = %d\n", endpoint_in, endpoint_out);
    say("\t\t\t\t%d EPD found!\n", found);
    return found;
}

} // namespace

int usb_init() {
    // Every run starts a new log, and its reports are counted afresh.
    forget_repeated_reports();
    quiet = false;
    return start_usb(true);
}

int usb_init_quiet() {
    forget_repeated_reports();
    quiet = true;
    return start_usb(false);
}

int usb_init_again() {
    return start_usb(false);
}

int usb_open_dev(int index) {
    if (!index_valid(index)) {
        perr(log_file, "usb_open_dev: no controller %d\n", index);
        return -1;
    }
    libusb_device *device = epd_devs[index];
    int result = libusb_open(device, &epd_handles[index]);
    if (result < 0) {
        epd_handles[index] = nullptr;
        report_open_failure(index, device, result);
        note_result(index, result);
        return result;
    }
    libusb_device_handle *handle = epd_handles[index];

    say("             speed: %s\n", usb_speed_name(libusb_get_device_speed(device)));

    libusb_device_descriptor descriptor;
    result = libusb_get_device_descriptor(device, &descriptor);
    if (result < 0) {
        return abandon_open(index, result);
    }

    say("\t\t\tReading first configuration descriptor:\n");
    libusb_config_descriptor *config = nullptr;
    result = libusb_get_config_descriptor(device, 0, &config);
    if (result < 0) {
        return abandon_open(index, result);
    }
    nb_ifaces = config->bNumInterfaces;
    say("\t\t\t\tnb interfaces: %d\n", nb_ifaces);
    find_endpoints(config);
    libusb_free_config_descriptor(config);

    libusb_set_auto_detach_kernel_driver(handle, 1);
    for (int i = 0; i < nb_ifaces; ++i) {
        if (libusb_claim_interface(handle, i) != 0) {
            perr(log_file, "Interface Failed!!\n");
        }
    }
    return 0;
}

void usb_close_dev(int index) {
    // A controller that is not open has nothing to release; after usb_close nothing is.
    if (!index_valid(index) || epd_handles[index] == nullptr) {
        return;
    }
    libusb_device_handle *handle = epd_handles[index];
    for (int i = 0; i < nb_ifaces; ++i) {
        say("\t\t\tUSB:Releasing interface %d...\n", i);
        libusb_release_interface(handle, i);
    }
    libusb_close(handle);
    epd_handles[index] = nullptr;
    // The arrays and the log serve every controller: they go with the last one open.
    if (!any_handle_open()) {
        forget_arrays();
        close_log();
    }
}

void usb_close() {
    usb_close_keeping_log();
    close_log();
}

void usb_close_keeping_log() {
    // Handles still open go before libusb ends, so none outlives its context.
    for (int i = 0; epd_handles != nullptr && i < controller_count; ++i) {
        if (epd_handles[i] != nullptr) {
            libusb_close(epd_handles[i]);
            epd_handles[i] = nullptr;
        }
    }
    release_device_list();
    libusb_exit(nullptr);
    forget_arrays();
    quiet = false;
}

int usb_controller_count() {
    return controller_count;
}

bool usb_dev_gone(int index) {
    return !index_valid(index) || controller_gone[index];
}

int usb_present_count() {
    int present = 0;
    for (int i = 0; epd_handles != nullptr && i < controller_count; ++i) {
        if (epd_handles[i] != nullptr && !controller_gone[i]) {
            ++present;
        }
    }
    return present;
}

namespace {

// After a phase error the Bulk-Only Transport wants the device's transport reset before the next
// command: the class request to its interface, then both bulk endpoints' halts cleared.
void reset_after_phase_error(int index, libusb_device_handle *handle) {
    controller_health &h = health[index];
    const int result = libusb_control_transfer(
        handle, class_request_to_interface, bulk_only_reset_request, 0,
        static_cast<uint16_t>(bulk_only_interface), nullptr, 0, transfer_timeout_ms);
    if (result < 0) {
        // Still due: tried again before the next command, each failure counted.
        perr_repeating(index, "   bulk_only_reset: %s\n", libusb_strerror(result));
        note_result(index, result);
        record_transfer(index, result);
        return;
    }
    h.reset_due = false;
    for (const unsigned char endpoint : {endpoint_in, endpoint_out}) {
        const int cleared = libusb_clear_halt(handle, endpoint);
        if (cleared < 0) {
            perr_repeating(index, "   bulk_only_reset: clear halt of 0x%02X: %s\n", endpoint,
                           libusb_strerror(cleared));
            note_result(index, cleared);
            record_transfer(index, cleared);
        }
    }
}

} // namespace

int send_cbw(int index, const unsigned char *block, uint8_t flags, int length) {
    // The wrapper's fields never change from command to command.
    static const uint32_t tag = 1;
    static const uint8_t lun = 0;
    static const uint8_t cdb_len = 16;

    if (block == nullptr) {
        return -1;
    }
    if (index_valid(index)) {
        health[index].command_went_through = false;
        health[index].command_failed = true; // until its command block goes out
        health[index].status_failed = false;
    }
    if (gone(index)) {
        perr_repeating(index, "send_cbw: controller %d has left the bus, command 0x%02X not sent\n",
                       index, block[6]);
        return -1;
    }
    libusb_device_handle *handle = usable_handle(index, "send_cbw");
    if (handle == nullptr) {
        return -1;
    }
    if (length < 0) {
        perr(log_file, "send_cbw: invalid data length %d for controller %d\n", length, index);
        return -1;
    }
    if (health[index].reset_due) {
        reset_after_phase_error(index, handle);
        if (health[index].failed || gone(index)) {
            return -1;
        }
    }

    unsigned char cbw[cbw_size] = {'U', 'S', 'B', 'C'};
    put_le32(cbw + 4, tag);
    put_le32(cbw + 8, static_cast<uint32_t>(length));
    cbw[12] = flags;
    cbw[13] = lun;
    cbw[14] = cdb_len;
    memcpy(cbw + 15, block, cdb_len);

    int transferred = 0;
    health[index].command_went_through = true;
    health[index].command_failed = false;
    int result =
        bulk_transfer(index, handle, endpoint_out, cbw, cbw_size, &transferred, "send_cbw", false);
    if (result == 0) {
        return 0;
    }
    perr_repeating(index, "   send_mass_storage_command: %s\n", libusb_strerror(result));
    note_result(index, result);
    return -1;
}

int read_csw(int index, uint8_t endpoint) {
    libusb_device_handle *handle = usable_handle(index, "read_csw");
    if (handle == nullptr) {
        return -1;
    }
    unsigned char csw[csw_size] = {};
    int transferred = 0;
    int result =
        bulk_transfer(index, handle, endpoint, csw, csw_size, &transferred, "read_csw", false);
    if (result != 0) {
        perr_repeating(index, "   get_mass_storage_status: %s\n", libusb_strerror(result));
        note_result(index, result);
        return -1;
    }
    controller_health &h = health[index];
    if (transferred != csw_size) {
        h.command_went_through = false;
        perr_repeating(index, "   get_mass_storage_status: received %d bytes (expected 13)\n",
                       transferred);
        return -1;
    }
    uint8_t status = csw[12];
    if (status == 0) {
        h.failures_in_a_row = 0;
        h.transfers_in_a_row = 0;
        h.statuses_in_a_row = 0;
        // The controller answers again: what it kept repeating is summed up.
        if (h.command_went_through) {
            end_repeated_reports(index);
        }
        return 0;
    }
    perr_repeating(index, "\t\t\tMass Storage Status: %02X (%s)\n", status, "FAILED");
    // A controller that answers "failed" is failing: a failed exchange, as a transfer that failed.
    h.status_failed = true;
    h.last_status = status;
    ++h.statuses_in_a_row;
    h.reset_due = h.reset_due || status == 2;
    count_failed_exchange(index);
    return status == 1 ? -2 : -1;
}

int usb_read(int index, unsigned char *destination, int size) {
    if (size < 0 || (destination == nullptr && size > 0)) {
        perr(log_file, "usb_read: invalid buffer of %d bytes for controller %d\n", size, index);
        return -1;
    }
    libusb_device_handle *handle = usable_handle(index, "usb_read");
    if (handle == nullptr) {
        zero_fill(destination, size);
        return -1;
    }
    // A scratch block that starts zeroed, so whatever does not arrive reads back as zeros.
    unsigned char *scratch = static_cast<unsigned char *>(calloc(size > 0 ? size : 1, 1));
    if (scratch == nullptr) {
        perr(log_file, "usb_read: no memory for %d bytes from controller %d\n", size, index);
        zero_fill(destination, size);
        read_csw(index, endpoint_in);
        return 0;
    }
    int transferred = 0;
    int result =
        bulk_transfer(index, handle, endpoint_in, scratch, size, &transferred, "usb_read", true);
    if (size > 0) {
        memcpy(destination, scratch, size);
    }
    free(scratch);
    note_result(index, result);
    if (!gone(index)) {
        read_csw(index, endpoint_in);
    }
    // Data of a command that the controller says failed is not trusted.
    if (index_valid(index) && health[index].status_failed) {
        zero_fill(destination, size);
    }
    return 0;
}

int usb_write(int index, const unsigned char *source, int size) {
    if (size < 0 || (source == nullptr && size > 0)) {
        perr(log_file, "usb_write: invalid buffer of %d bytes for controller %d\n", size, index);
        return -1;
    }
    libusb_device_handle *handle = usable_handle(index, "usb_write");
    if (handle == nullptr) {
        return -1;
    }
    int transferred = 0;
    // libusb takes a non-const pointer for both directions; an OUT transfer only reads it.
    int result = bulk_transfer(index, handle, endpoint_out, const_cast<unsigned char *>(source),
                               size, &transferred, "usb_write", true);
    note_result(index, result);
    if (!gone(index)) {
        read_csw(index, endpoint_in);
    }
    return 0;
}

bool usb_controller_failed(int index) {
    return !index_valid(index) || health[index].failed;
}

bool usb_command_went_through(int index) {
    return index_valid(index) && health[index].command_went_through;
}

bool usb_command_failed(int index) {
    return !index_valid(index) || health[index].command_failed;
}

std::string usb_failure_cause(int index) {
    if (!index_valid(index)) {
        return "is not on the bus";
    }
    if (controller_gone[index]) {
        return "has left the bus";
    }
    const controller_health &h = health[index];
    char status[8];
    snprintf(status, sizeof status, "%02X", h.last_status);
    const std::string last_error = libusb_strerror(h.last_error);
    if (h.statuses_in_a_row == 0) {
        return "did not answer: " + std::to_string(h.failures_in_a_row) +
               " transfers in a row failed (the last: " + last_error + ")";
    }
    if (h.transfers_in_a_row == 0) {
        return "answered " + std::to_string(h.failures_in_a_row) +
               " commands in a row with status " + status + " (FAILED)";
    }
    return "had " + std::to_string(h.failures_in_a_row) +
           " failed exchanges in a row (failed transfers: " + std::to_string(h.transfers_in_a_row) +
           ", the last: " + last_error +
           "; answers with a failed status: " + std::to_string(h.statuses_in_a_row) + ")";
}

namespace {

// The device of controller index, or null: the arrays may be there before the handles are.
libusb_device *listed_device(int index) {
    return epd_devs != nullptr && index >= 0 && index < controller_count ? epd_devs[index]
                                                                         : nullptr;
}

} // namespace

usb_device_info usb_describe(int index) {
    return usb_device_description(listed_device(index));
}

std::string usb_controller_label(int index) {
    return usb_device_label(index, listed_device(index));
}

int usb_bus_number(int index) {
    return index_valid(index) ? libusb_get_bus_number(epd_devs[index]) : -1;
}

int usb_device_address(int index) {
    return index_valid(index) ? libusb_get_device_address(epd_devs[index]) : -1;
}

void usb_remember_unanswering(int index) {
    if (index_valid(index) && !controller_gone[index]) {
        unanswering.insert({usb_bus_number(index), usb_device_address(index)});
    }
}

int usb_reset_unanswering() {
    int reset = 0;
    for (int i = 0; i < controller_count; ++i) {
        if (unanswering.erase({usb_bus_number(i), usb_device_address(i)}) == 0) {
            continue;
        }
        libusb_device_handle *handle = nullptr;
        if (libusb_open(epd_devs[i], &handle) != 0) {
            continue;
        }
        const int result = libusb_reset_device(handle);
        printf("Reset of controller %d (bus %d, device %d): %s\n", i, usb_bus_number(i),
               usb_device_address(i), libusb_strerror(result));
        libusb_close(handle);
        ++reset;
    }
    return reset;
}
