// Diagnostics: the log file, timestamped error reports, a hex dump and byte-order helpers.
#ifndef EPDSHOW_TOOL_H
#define EPDSHOW_TOOL_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

// The log stream ("log.txt" in the working directory); null while it is not open.
// Named log_file because a global called `log` would collide with the C library's log().
extern FILE *log_file;

// Opens "log.txt" in the working directory for appending, emptied first when asked (at each
// start). Appending, an entry always lands at the file's end, so a file emptied by someone else
// gets no hole. False (log_file null) when it cannot be opened.
bool log_open(bool empty_first);
void log_close();
// Closes the log for a run that keeps none (--probe): reports go to standard error only, without
// the notice that the log is missing, until the next log_open.
void log_keep_none();
// Asks for the log to be opened again by name (after log rotation renamed it). Only raises a flag,
// so a signal handler may call it; the reopening happens before the next entry is written, or at
// reopen_log_if_asked.
void request_log_reopen();
void reopen_log_if_asked();

// Writes the local time as "YYYY-MM-DD.HH:MM:SS\t" into out (callers pass 80-byte buffers).
void current_date_time(char *out);

// Writes the timestamp and the message into stream (or a null-log notice on standard output),
// then the message alone on standard error. Returns the characters written to standard error.
int perr(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));

// A report about one controller that may come again command after command: the same text for the
// same controller is written a few times, then only counted until end_repeated_reports writes one
// summary line with the count. Returns the characters written to standard error.
int perr_repeating(int controller, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Ends the repeats of one controller (every controller for -1): one summary line for each report
// that was held back, and the next ones are written again.
void end_repeated_reports(int controller);
// Forgets every count without a summary (a new run starts).
void forget_repeated_reports();

// Hex and text dump of count bytes on standard output, 16 bytes a row.
void display_buffer_hex(const unsigned char *data, uint32_t count);

// Reverses the byte order of each whole 32-bit word in the first length bytes.
void EndianLittleBig(uint32_t *words, uint32_t length);

// Reads four bytes as a big-endian signed 32-bit value.
int32_t endian_big_to_little(const unsigned char *bytes);

// Unsigned values of two or four bytes in big- or little-endian order.
uint32_t read_be16(const unsigned char *bytes);
uint32_t read_be32(const unsigned char *bytes);
uint32_t read_le32(const unsigned char *bytes);

// Writes all of size bytes to fd, going on after an interrupted write. It calls only write(), so
// a signal handler may use it. False, with errno set, when not all could be written.
bool write_all(int fd, const char *data, size_t size);

// Sleeps ms whole milliseconds (none for 0 or less), standard output flushed first; a signal that
// cuts the sleep short does not shorten it. between_slices, when given, runs at least once a
// second while it sleeps.
void sleep_ms(int64_t ms, void (*between_slices)() = nullptr);

// "Mon 2026-12-07 06:30:00", or without the seconds, in local time.
std::string local_time_text(std::time_t t, bool seconds);

// The text without the blanks (spaces, tabs, line ends) at its ends.
std::string trimmed(const std::string &text);

// A count with its thousands grouped: 1086 as "1,086".
std::string with_thousands(long count);

// A heap block handed from its producer to its consumer, who frees it by letting it go.
struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};
using band_buffer = std::unique_ptr<char[], free_deleter>;

#endif
