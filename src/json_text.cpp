#include "json_text.h"

#include <cstdint>
#include <cstdio>

namespace {

// The length of the well-formed UTF-8 sequence that starts at text[i], or 0 when none does.
size_t utf8_length(const std::string &text, size_t i) {
    const auto byte = [&text](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char first = byte(i);
    size_t length = 0;
    uint32_t code = 0;
    if (first < 0x80) {
        return 1;
    } else if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
        code = first & 0x1F;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        code = first & 0x0F;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        code = first & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return overlong || surrogate || code > 0x10FFFF ? 0 : length;
}

} // namespace

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = utf8_length(text, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || length == 0) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return out + "\"";
}

std::string iso_time(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string iso = text;
    iso.insert(iso.size() - 2, ":");
    return iso;
}

json_object &json_object::text(const char *key, const std::string &value) {
    return raw(key, json_string(value));
}

json_object &json_object::number(const char *key, long long value) {
    return raw(key, std::to_string(value));
}

json_object &json_object::boolean(const char *key, bool value) {
    return raw(key, value ? "true" : "false");
}

json_object &json_object::time(const char *key, std::time_t value) {
    return value != 0 ? raw(key, json_string(iso_time(value))) : null(key);
}

json_object &json_object::null(const char *key) {
    return raw(key, "null");
}

json_object &json_object::raw(const char *key, const std::string &json) {
    body += (body.empty() ? "" : ",") + json_string(key) + ":" + json;
    return *this;
}
