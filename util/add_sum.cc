#include "util/add_sum.h"

#include <cstring>

#include "util/byte_order.h"

namespace {

// Sixteen 32-bit lanes in four independent vectors: the compiler turns each into SIMD adds and
// the loads stay ahead of the adds, so the sum runs at memory speed. Lane order does not matter
// for a sum modulo 2^32.
typedef uint32_t lanes __attribute__((vector_size(16)));
constexpr unsigned kBlock = 4 * sizeof(lanes);

inline lanes load(const unsigned char* p) {
    lanes v;
    memcpy(&v, p, sizeof(v));
    return v;
}

}  // namespace

uint32_t add_sum(const void* data, unsigned len) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t sum = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    lanes a = {0, 0, 0, 0}, b = a, c = a, d = a;
    while (len >= kBlock) {
        a += load(p);
        b += load(p + 16);
        c += load(p + 32);
        d += load(p + 48);
        p += kBlock;
        len -= kBlock;
    }
    lanes t = a + b + c + d;
    sum = t[0] + t[1] + t[2] + t[3];
#endif
    while (len >= 4) {
        sum += get_le32(p);
        p += 4;
        len -= 4;
    }
    uint32_t tail = 0;
    for (unsigned i = 0; i < len; i++) tail |= (uint32_t)p[i] << (8 * i);
    return sum + tail;
}
