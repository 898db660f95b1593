// Diagnostics: the log file, timestamped error reports, a hex dump and byte-order helpers.
#ifndef EPDSHOW_TOOL_H
#define EPDSHOW_TOOL_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

// The log stream ("log.txt" in the working directory); null while it is not open.
// Named log_file because a global called `log` would collide with the C library's log().
extern FILE *log_file;

// Writes the local time as "YYYY-MM-DD.HH:MM:SS\t" into out (callers pass 80-byte buffers).
void current_date_time(char *out);

// Writes the timestamp and the message into stream (or a null-log notice on standard output),
// then the message alone on standard error. Returns the characters written to standard error.
int perr(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Hex and text dump of count bytes on standard output, 16 bytes a row.
void display_buffer_hex(const unsigned char *data, uint32_t count);

// Reverses the byte order of each whole 32-bit word in the first length bytes.
void EndianLittleBig(uint32_t *words, uint32_t length);

// Reads four bytes as a big-endian signed 32-bit value.
int32_t endian_big_to_little(const unsigned char *bytes);

// A heap block handed from its producer to its consumer, who frees it by letting it go.
struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
using band_buffer = std::unique_ptr<char[], free_deleter>;

#endif
