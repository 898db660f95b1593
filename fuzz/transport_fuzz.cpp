// What the controllers send back, fuzzed: every IN transfer (system info records, register and
// temperature replies, power replies, status wrappers) can arrive as the controller sent it,
// rewritten in part or in whole, cut short, or failed with a libusb error. A fixed one-pass
// playlist is played on a small panel, so the transport, the commands that decode the replies,
// the panel built from the records and the update sequence all meet the bytes.
//
// Input: byte 0 picks the panel, the playlist and the limits; then, for each IN transfer in turn,
// one operation byte and its operands. When the input runs out the controllers' own replies pass
// unchanged.
#include "epdsim.h"
#include "fuzz_support.h"

#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// A few times the commands of the one pass; the controllers leave at the limit, which ends the
// runs that would go on for long: a band claimed 65535 rows tall, whose rows would each be a
// command, and a panel first built from rewritten records, which is looked for again for ever once
// its controllers report their true size.
const fuzz_support::run_limits limits = {300, 120};
// Inputs whose first byte is 255 may go on to the end of a band of 65535 rows (twice 65535 row
// commands, about a second): the whole long band stays reachable, in one input of 256.
const fuzz_support::run_limits long_band_limits = {2 * 65535 + 300, 120};

// The one pass: a whole picture, then an area that fits the ten-row bands, or one taller than
// them (skipped unless a rewritten record makes the bands taller).
std::string playlist(const char *area) {
    return std::string(
               "<playlist><epd name=\"fuzz\"><color>g</color><image_path>img/</image_path>"
               "<slide_interval>0</slide_interval><en_set_temperature>0</en_set_temperature>"
               "<temperature>25</temperature><waveform_mode>2</waveform_mode><rotate>0</rotate>"
               "<image_name><full_update><img>a.png</img></full_update>"
               "<area_update><img>a.png</img><area>") +
           area + "</area></area_update><stop/></image_name></epd></playlist>";
}

struct byte_stream {
    const uint8_t *next = nullptr;
    const uint8_t *end = nullptr;
    bool empty() const { return next == end; }
    uint8_t take() { return empty() ? 0 : *next++; }
};

byte_stream input;

const int error_codes[] = {LIBUSB_ERROR_PIPE, LIBUSB_ERROR_TIMEOUT,   LIBUSB_ERROR_OVERFLOW,
                           LIBUSB_ERROR_IO,   LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_INTERRUPTED,
                           LIBUSB_ERROR_OTHER};

int rewrite_reply(int, unsigned char *data, int length, int *transferred, int result) {
    if (input.empty()) {
        return result;
    }
    const uint8_t operation = input.take();
    switch (operation % 4) {
    case 0: // as the controller sent it
        return result;
    case 1: { // other bytes, as many as the next byte says
        const int count = input.take() % (length + 1);
        for (int i = 0; i < count; ++i) {
            data[i] = input.take();
        }
        *transferred = count;
        return LIBUSB_SUCCESS;
    }
    case 2: // one byte changed
        if (length > 0) {
            const int at = input.take() % length;
            data[at] = input.take();
        }
        return result;
    default: { // a failed transfer that may still have moved some bytes
        *transferred = input.take() % (length + 1);
        const size_t kinds = sizeof error_codes / sizeof error_codes[0];
        return error_codes[(operation / 4) % kinds];
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    fuzz_support::start(argc, argv);
    fuzz_support::write_file("fits.xml", playlist("8,2,64,6"));
    fuzz_support::write_file("taller.xml", playlist("8,2,64,20"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input = {data, data + size};
    // Bands of ten rows (every row is a command of its own): as thin as the 10 x 10 refresh of a
    // band that an area leaves out allows.
    const uint8_t panel = input.take();
    switch (panel % 3) {
    case 0:
        fuzz_support::small_panel(2, 2880, 10); // the 42 layout
        break;
    case 1:
        fuzz_support::small_panel(4, 1440, 10); // the 32 layout
        break;
    default:
        fuzz_support::small_panel(1, 2880, 10); // one controller, no layout
        break;
    }
    fuzz_support::run_entry({panel / 3 % 2 ? "taller.xml" : "fits.xml"},
                            panel == 255 ? long_band_limits : limits, rewrite_reply);
    return 0;
}
