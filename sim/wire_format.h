// Byte order on the wire (command blocks and payloads big-endian, Bulk-Only wrappers
// little-endian) and the hex texts of journal notes, shared by the controller's files.
#ifndef EPDSIM_WIRE_FORMAT_H
#define EPDSIM_WIRE_FORMAT_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace epdsim {

inline std::uint32_t be32(const std::uint8_t *p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

inline std::uint32_t le32(const std::uint8_t *p) {
    return std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}

inline void put_be32(std::uint8_t *p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

inline void put_le32(std::uint8_t *p, std::uint32_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

inline std::string hex32(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", unsigned(v));
    return text;
}

inline std::string hex8(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", v & 0xFF);
    return text;
}

} // namespace epdsim

#endif
