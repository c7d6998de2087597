// The standard CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320) of expanded image bytes.
#pragma once
#include <cstddef>
#include <cstdint>

// The one-byte lookup table of the polynomial.
extern const uint32_t* const crc32_tab;

// Continues crc over size bytes; sparse_crc32(0, ...) is the standard CRC-32 of the bytes.
uint32_t sparse_crc32(uint32_t crc, const void* bytes, size_t size);

// The same with table lookups only, as on machines without carry-less multiplication.
uint32_t sparse_crc32_portable(uint32_t crc, const void* bytes, size_t size);

// Continues crc over `len` bytes made of the 4-byte little-endian `value` repeated (len a
// multiple of 4), in time that grows with log(len) rather than len.
uint32_t sparse_crc32_fill(uint32_t crc, uint32_t value, uint64_t len);

// The CRC-32 of A followed by B, given the CRC-32 of each and the length of B.
uint32_t sparse_crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t len_b);
