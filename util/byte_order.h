// Little-endian fields: the wire protocol and the image formats store every number that way,
// whatever the host's own order.
#pragma once
#include <cstdint>

inline uint16_t get_le16(const void* at) {
    const uint8_t* p = static_cast<const uint8_t*>(at);
    return uint16_t(p[0] | p[1] << 8);
}

inline uint32_t get_le32(const void* at) {
    const uint8_t* p = static_cast<const uint8_t*>(at);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void put_le16(void* at, uint16_t v) {
    uint8_t* p = static_cast<uint8_t*>(at);
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void put_le32(void* at, uint32_t v) {
    uint8_t* p = static_cast<uint8_t*>(at);
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
