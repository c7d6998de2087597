// The library's CRC-32 against the standard check value and a plain bit-by-bit reference.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sparse/sparse_crc32.h"

namespace {

uint32_t reference(uint32_t crc, const std::string& s) {
    uint32_t c = ~crc;
    for (unsigned char b : s) {
        c ^= b;
        for (int k = 0; k < 8; k++) c = c & 1 ? (c >> 1) ^ 0xEDB88320 : c >> 1;
    }
    return ~c;
}

std::string noise(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245 + 12345;
        s[i] = char(seed >> 16);
    }
    return s;
}

TEST(SparseCrc32, StandardValueAndContinuation) {
    EXPECT_EQ(sparse_crc32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(sparse_crc32(0x1234, "", 0), 0x1234u);
    EXPECT_EQ(crc32_tab[1], 0x77073096u);
    // Every length around the 16-byte steps, and unaligned starts.
    std::string data = noise(300, 7);
    for (size_t off = 0; off < 4; off++)
        for (size_t n = 0; n + off <= 70; n++)
            ASSERT_EQ(sparse_crc32(0, data.data() + off, n), reference(0, data.substr(off, n)))
                << off << " " << n;
    uint32_t first = sparse_crc32(0, data.data(), 123);
    EXPECT_EQ(sparse_crc32(first, data.data() + 123, 177), sparse_crc32(0, data.data(), 300));
}

// Long inputs take the folding path where the processor has it; both paths give the same
// values at every length and alignment around their steps.
TEST(SparseCrc32, LongInputsBothPaths) {
    std::string data = noise(5000, 3);
    for (size_t off = 0; off < 17; off += 3)
        for (size_t n = 40; n + off <= 700; n += 7) {
            uint32_t ref = reference(0x9E3779B9, data.substr(off, n));
            ASSERT_EQ(sparse_crc32(0x9E3779B9, data.data() + off, n), ref) << off << " " << n;
            ASSERT_EQ(sparse_crc32_portable(0x9E3779B9, data.data() + off, n), ref) << n;
        }
    EXPECT_EQ(sparse_crc32(0, data.data(), data.size()), reference(0, data));
    std::string big = noise(3 << 20, 4);
    EXPECT_EQ(sparse_crc32(0, big.data(), big.size()),
              sparse_crc32_portable(0, big.data(), big.size()));
}

TEST(SparseCrc32, FillAndCombineMatchTheBytes) {
    for (uint32_t value : {0u, 0xDEADBEEFu, 0x01020304u}) {
        for (uint64_t len : {0ull, 4ull, 8ull, 12ull, 4096ull, 4100ull, 65536ull + 12}) {
            std::string bytes;
            for (uint64_t i = 0; i < len / 4; i++)
                for (int k = 0; k < 4; k++) bytes += char(value >> (8 * k));
            EXPECT_EQ(sparse_crc32_fill(0x55AA, value, len), reference(0x55AA, bytes))
                << value << " " << len;
        }
    }
    std::string a = noise(1000, 1), b = noise(777, 2);
    EXPECT_EQ(sparse_crc32_combine(reference(0, a), reference(0, b), b.size()),
              reference(0, a + b));
    // Lengths far beyond memory are computed, not walked: 16 TiB of zeros continue as the
    // composition of two 8 TiB stretches.
    uint64_t half = uint64_t(1) << 43;
    uint32_t h = sparse_crc32_fill(0, 0, half);
    EXPECT_EQ(sparse_crc32_fill(h, 0, half), sparse_crc32_fill(0, 0, 2 * half));
    EXPECT_NE(sparse_crc32_fill(0, 0, 2 * half), sparse_crc32_fill(0, 0, 2 * half + 4));
}

}  // namespace
