#include "tool.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

FILE *log_file = nullptr;

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
    if (stream != nullptr) {
        fputs(timestamp, stream);
        va_start(args, format);
        vfprintf(stream, format, args);
        va_end(args);
    } else {
        printf("%s, %s. log file is null\n", "tool", "perr");
        fflush(stdout);
    }
    va_start(args, format);
    int written = vfprintf(stderr, format, args);
    va_end(args);
    return written;
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
    uint32_t value = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) |
                     (uint32_t(bytes[2]) << 8) | uint32_t(bytes[3]);
    return static_cast<int32_t>(value);
}
