// The 32-bit little-endian additive checksum that boards verify after each data request.
#pragma once
#include <cstdint>

// Sum of the data as little-endian 32-bit words modulo 2^32; a 1-3 byte tail counts as a short
// little-endian number. Sums of pieces whose lengths (but the last) are multiples of 4 add up.
uint32_t add_sum(const void* data, unsigned len);
