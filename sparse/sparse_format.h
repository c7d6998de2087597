// Byte layout of a sparse image: a 28-byte header, then chunks of a 12-byte header and a payload.
// Fields are little-endian on disk; the records here are host values, converted explicitly.
#pragma once
#include "util/byte_order.h"
#include <cstdint>
#include <climits>

constexpr uint32_t SPARSE_HEADER_MAGIC = 0xED26FF3A;
constexpr uint16_t SPARSE_MAJOR_VERSION = 1;
constexpr uint16_t SPARSE_HEADER_LEN = 28;
constexpr uint16_t CHUNK_HEADER_LEN = 12;

constexpr uint16_t CHUNK_RAW = 0xCAC1;
constexpr uint16_t CHUNK_FILL = 0xCAC2;
constexpr uint16_t CHUNK_DONT_CARE = 0xCAC3;
constexpr uint16_t CHUNK_CRC32 = 0xCAC4;

struct sparse_header {
    uint32_t magic;
    uint16_t major_version;
    uint16_t minor_version;
    uint16_t file_header_size;
    uint16_t chunk_header_size;
    uint32_t block_size;
    uint32_t total_blocks;
    uint32_t chunk_count;
    uint32_t checksum;
};

struct chunk_header {
    uint16_t chunk_type;
    uint16_t reserved;
    uint32_t chunk_blocks;
    uint32_t chunk_bytes;
};


inline void sparse_header_encode(const sparse_header& h, uint8_t out[SPARSE_HEADER_LEN]) {
    put_le32(out, h.magic);
    put_le16(out + 4, h.major_version);
    put_le16(out + 6, h.minor_version);
    put_le16(out + 8, h.file_header_size);
    put_le16(out + 10, h.chunk_header_size);
    put_le32(out + 12, h.block_size);
    put_le32(out + 16, h.total_blocks);
    put_le32(out + 20, h.chunk_count);
    put_le32(out + 24, h.checksum);
}

inline sparse_header sparse_header_decode(const uint8_t in[SPARSE_HEADER_LEN]) {
    sparse_header h;
    h.magic = get_le32(in);
    h.major_version = get_le16(in + 4);
    h.minor_version = get_le16(in + 6);
    h.file_header_size = get_le16(in + 8);
    h.chunk_header_size = get_le16(in + 10);
    h.block_size = get_le32(in + 12);
    h.total_blocks = get_le32(in + 16);
    h.chunk_count = get_le32(in + 20);
    h.checksum = get_le32(in + 24);
    return h;
}

inline void chunk_header_encode(const chunk_header& c, uint8_t out[CHUNK_HEADER_LEN]) {
    put_le16(out, c.chunk_type);
    put_le16(out + 2, c.reserved);
    put_le32(out + 4, c.chunk_blocks);
    put_le32(out + 8, c.chunk_bytes);
}

inline chunk_header chunk_header_decode(const uint8_t in[CHUNK_HEADER_LEN]) {
    chunk_header c;
    c.chunk_type = get_le16(in);
    c.reserved = get_le16(in + 2);
    c.chunk_blocks = get_le32(in + 4);
    c.chunk_bytes = get_le32(in + 8);
    return c;
}

// Readers count a chunk's blocks in a signed 32-bit number and refuse 2^31 or more, so no
// chunk is written longer than this: a longer don't-care stretch goes out as several chunks.
constexpr uint32_t CHUNK_MAX_BLOCKS = INT32_MAX;

// Don't-care chunks that a stretch of `blocks` blocks takes.
inline uint64_t skip_chunk_count(uint64_t blocks) {
    return (blocks + CHUNK_MAX_BLOCKS - 1) / CHUNK_MAX_BLOCKS;
}

// The block sizes the library works with: fill patterns are 32-bit words, so whole words only.
inline bool sparse_block_size_valid(uint32_t block_size) {
    return block_size != 0 && block_size % 4 == 0;
}
