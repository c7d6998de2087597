#include "sparse/sparse_crc32.h"

#include <array>

namespace {

constexpr uint32_t POLY = 0xEDB88320;

// Sixteen tables: table k maps a byte to its CRC contribution when k more bytes follow it, so
// sixteen bytes are folded in per step instead of one.
using Tables = std::array<std::array<uint32_t, 256>, 16>;

constexpr Tables make_tables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = c & 1 ? (c >> 1) ^ POLY : c >> 1;
        t[0][i] = c;
    }
    for (size_t k = 1; k < 16; k++)
        for (size_t i = 0; i < 256; i++) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr Tables tables = make_tables();

inline uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Product of two polynomials modulo the CRC polynomial, in the reflected bit order (x^0 is the
// top bit).
uint32_t multmodp(uint32_t a, uint32_t b) {
    uint32_t p = 0;
    for (uint32_t m = 1u << 31; m; m >>= 1) {
        if (a & m) p ^= b;
        b = b & 1 ? (b >> 1) ^ POLY : b >> 1;
    }
    return p;
}

// x^(2^k) modulo the polynomial for k = 0..31; the sequence repeats with period 32 because the
// order of x divides 2^32 - 1.
struct PowerTable {
    uint32_t p[32];
    PowerTable() {
        p[0] = 1u << 30;  // x^1
        for (int k = 1; k < 32; k++) p[k] = multmodp(p[k - 1], p[k - 1]);
    }
};

// x^(8n): the operator that runs the CRC register over n zero bytes.
uint32_t x8nmodp(uint64_t n) {
    static const PowerTable powers;
    uint32_t r = 1u << 31;  // x^0
    unsigned k = 3;
    while (n) {
        if (n & 1) r = multmodp(powers.p[k & 31], r);
        n >>= 1;
        k++;
    }
    return r;
}

}  // namespace

const uint32_t* const crc32_tab = tables[0].data();

uint32_t sparse_crc32(uint32_t crc, const void* bytes, size_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    uint32_t c = ~crc;
    const auto& t = tables;
    while (size >= 16) {
        uint32_t a = load_le32(p) ^ c, b = load_le32(p + 4), d = load_le32(p + 8),
                 e = load_le32(p + 12);
        c = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
            t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
            t[7][d & 0xFF] ^ t[6][(d >> 8) & 0xFF] ^ t[5][(d >> 16) & 0xFF] ^ t[4][d >> 24] ^
            t[3][e & 0xFF] ^ t[2][(e >> 8) & 0xFF] ^ t[1][(e >> 16) & 0xFF] ^ t[0][e >> 24];
        p += 16;
        size -= 16;
    }
    while (size--) c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}

uint32_t sparse_crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t len_b) {
    return multmodp(x8nmodp(len_b), crc_a) ^ crc_b;
}

uint32_t sparse_crc32_fill(uint32_t crc, uint32_t value, uint64_t len) {
    uint8_t word[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                       uint8_t(value >> 24)};
    // Square-and-multiply over the repetition count: `unit` is the CRC of `unit_len` bytes of
    // the pattern, doubled each step, and folded into the result where the count has a bit.
    uint32_t unit = sparse_crc32(0, word, 4);
    uint64_t unit_len = 4;
    uint32_t result = 0;
    uint64_t result_len = 0;
    for (uint64_t n = len / 4; n; n >>= 1) {
        if (n & 1) {
            result = result_len ? sparse_crc32_combine(result, unit, unit_len) : unit;
            result_len += unit_len;
        }
        if (n > 1) {
            unit = sparse_crc32_combine(unit, unit, unit_len);
            unit_len *= 2;
        }
    }
    return result_len ? sparse_crc32_combine(crc, result, result_len) : crc;
}
