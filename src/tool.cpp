#include "tool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <unistd.h>
#include <utility>

FILE *log_file = nullptr;

namespace {

const char *const log_name = "log.txt";
volatile sig_atomic_t log_reopen_asked = 0;
// No log is kept on purpose: a report without one is no fault to tell about.
bool log_unwanted = false;

// Reports of one text for one controller written before they are only counted.
constexpr int repeats_written = 5;
std::map<std::pair<int, std::string>, long> report_counts;

std::string formatted(const char *format, va_list args) {
    va_list again;
    va_copy(again, args);
    const int size = vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string text(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0) {
        vsnprintf(text.data(), text.size() + 1, format, args);
    }
    return text;
}

} // namespace

bool log_open(bool empty_first) {
    log_close();
    log_unwanted = false;
    log_file = fopen(log_name, "a");
    if (log_file == nullptr) {
        return false;
    }
    if (empty_first && ftruncate(fileno(log_file), 0) != 0) {
        fprintf(stderr, "log.txt could not be emptied: %s\n", strerror(errno));
    }
    return true;
}

void log_close() {
    if (log_file != nullptr) {
        fclose(log_file);
        log_file = nullptr;
    }
}

void log_keep_none() {
    log_close();
    log_unwanted = true;
}

void request_log_reopen() {
    log_reopen_asked = 1;
}

void reopen_log_if_asked() {
    if (log_reopen_asked == 0) {
        return;
    }
    log_reopen_asked = 0;
    // Only a log that is open follows the rename; a closed one is opened at the next start.
    if (log_file != nullptr) {
        log_open(false);
    }
}

void current_date_time(char *out) {
    char text[80];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(text, sizeof text, "%Y-%m-%d.%X\t", &local);
    memcpy(out, text, strlen(text) + 1);
}

int perr(FILE *stream, const char *format, ...) {
    char timestamp[80];
    current_date_time(timestamp);
    va_list args;
    if (stream != nullptr && stream == log_file) {
        reopen_log_if_asked();
        stream = log_file;
    }
    if (stream != nullptr) {
        fputs(timestamp, stream);
        va_start(args, format);
        vfprintf(stream, format, args);
        va_end(args);
        // Each entry reaches the file at once: a process killed later loses none.
        fflush(stream);
    } else if (!log_unwanted) {
        printf("%s, %s. log file is null\n", "tool", "perr");
        fflush(stdout);
    }
    va_start(args, format);
    int written = vfprintf(stderr, format, args);
    va_end(args);
    return written;
}

int perr_repeating(int controller, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = formatted(format, args);
    va_end(args);
    if (++report_counts[{controller, text}] > repeats_written) {
        return 0;
    }
    return perr(log_file, "%s", text.c_str());
}

void end_repeated_reports(int controller) {
    for (auto it = report_counts.begin(); it != report_counts.end();) {
        if (controller >= 0 && it->first.first != controller) {
            ++it;
            continue;
        }
        if (it->second > repeats_written) {
            std::string text = it->first.second;
            if (!text.empty() && text.back() == '\n') {
                text.pop_back();
            }
            perr(log_file, "%s ... repeated %s times\n", text.c_str(),
                 with_thousands(it->second).c_str());
        }
        it = report_counts.erase(it);
    }
}

void forget_repeated_reports() {
    report_counts.clear();
}

void display_buffer_hex(const unsigned char *data, uint32_t count) {
    for (uint32_t offset = 0; offset < count; offset += 16) {
        printf("\n  %08x  ", offset);
        for (uint32_t k = 0; k < 16; ++k) {
            if (offset + k < count) {
                printf("%02x ", data[offset + k]);
            } else {
                printf("   ");
            }
        }
        printf(" ");
        for (uint32_t k = 0; k < 16 && offset + k < count; ++k) {
            unsigned char c = data[offset + k];
            putchar(c >= 0x20 && c <= 0x7E ? c : '.');
        }
    }
    printf("\n");
}

void EndianLittleBig(uint32_t *words, uint32_t length) {
    for (uint32_t i = 0; i < length / 4; ++i) {
        words[i] = __builtin_bswap32(words[i]);
    }
}

int32_t endian_big_to_little(const unsigned char *bytes) {
    return static_cast<int32_t>(read_be32(bytes));
}

uint32_t read_be16(const unsigned char *bytes) {
    return uint32_t(bytes[0]) << 8 | bytes[1];
}

uint32_t read_be32(const unsigned char *bytes) {
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

uint32_t read_le32(const unsigned char *bytes) {
    return uint32_t(bytes[3]) << 24 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[1]) << 8 | bytes[0];
}

bool write_all(int fd, const char *data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            errno = n == 0 ? EIO : errno;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void sleep_ms(int64_t ms, void (*between_slices)()) {
    // usleep takes less than a second per call.
    constexpr int64_t slice_ms = 500;
    if (ms <= 0) {
        return;
    }
    std::fflush(stdout);
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(ms);
    for (int64_t left = ms; left > 0;
         left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count()) {
        if (between_slices != nullptr) {
            between_slices();
        }
        usleep(static_cast<useconds_t>(std::min(left, slice_ms) * 1000));
    }
}

std::string with_thousands(long count) {
    std::string digits = std::to_string(count);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), ",");
    }
    return digits;
}

std::string trimmed(const std::string &text) {
    const char *const blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string local_time_text(std::time_t t, bool seconds) {
    std::tm local = {};
    localtime_r(&t, &local);
    char text[40];
    strftime(text, sizeof text, seconds ? "%a %Y-%m-%d %H:%M:%S" : "%a %Y-%m-%d %H:%M", &local);
    return text;
}
