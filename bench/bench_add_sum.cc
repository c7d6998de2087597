// Throughput of the additive checksum: over 1 GiB (memory-bound, next to a plain memory-read
// reduction of the same buffer) and over 128 KiB that stays in cache (compute-bound).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/add_sum.h"

namespace {

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The reference: read every byte once with the cheapest reduction the compiler can vectorise.
__attribute__((noinline)) uint64_t read_reduce(const uint64_t* p, size_t words) {
    uint64_t a = 0, b = 0, c = 0, d = 0;
    for (size_t i = 0; i + 4 <= words; i += 4) {
        a ^= p[i];
        b ^= p[i + 1];
        c ^= p[i + 2];
        d ^= p[i + 3];
    }
    return a ^ b ^ c ^ d;
}

template <typename F>
double best_gbps(size_t bytes, int rounds, F f) {
    double best = 0;
    for (int r = 0; r < rounds; r++) {
        double t0 = seconds_now();
        f();
        double gbps = bytes / (seconds_now() - t0) / 1e9;
        if (gbps > best) best = gbps;
    }
    return best;
}

}  // namespace

int main() {
    const size_t big = 1ull << 30, small = 128 << 10;
    void* mem = nullptr;
    if (posix_memalign(&mem, 4096, big)) return 1;
    unsigned char* buf = static_cast<unsigned char*>(mem);
    for (size_t i = 0; i < big; i++) buf[i] = (unsigned char)(i * 131 + (i >> 12));

    volatile uint64_t sink = 0;
    double plain = best_gbps(big, 5, [&] { sink = sink + read_reduce((const uint64_t*)buf, big / 8); });
    double sum_big = best_gbps(big, 5, [&] { sink = sink + add_sum(buf, (unsigned)big); });
    const int reps = 20000;
    double sum_small = best_gbps(small * reps, 5, [&] {
        for (int i = 0; i < reps; i++) sink = sink + add_sum(buf + (i & 7) * 4, small);
    });
    printf("memory read reduction, 1 GiB:   %6.2f GB/s\n", plain);
    printf("add_sum, 1 GiB:                 %6.2f GB/s  (%.2f x the memory read; target >= 0.8)\n", sum_big,
           sum_big / plain);
    printf("add_sum, 128 KiB in cache:      %6.2f GB/s  (target >= 50)\n", sum_small);
    free(mem);
    return 0;
}
