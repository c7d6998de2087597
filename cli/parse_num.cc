#include <cstdlib>

#include "cli/vorn_main.h"
#include "util/log.h"

long long parse_num(const char* text) {
    char* end = nullptr;
    unsigned long long value = strtoull(text, &end, 0);
    if (end == text) return -1;
    // Each unit keeps its product below 2^64; what lands at or past 2^63 is refused below.
    unsigned long long limit = 0;
    int shift = 0;
    switch (*end) {
        case 'k': case 'K': limit = 0x3FFFFFFFFFFFFEull; shift = 10; break;
        case 'm': case 'M': limit = 0xFFFFFFFFFFEull; shift = 20; break;
        case 'g': case 'G': limit = 0x3FFFFFFFEull; shift = 30; break;
        default: break;
    }
    if (shift) {
        if (value > limit) return -1;
        value <<= shift;
        end++;
    }
    if (*end != '\0') {
        qrx_log_out("ERR[VXN]", "Fail in pase_num, not endprt\n");
        return -1;
    }
    if ((long long)value < 0) {
        qrx_log_out("ERR[VXN]", "fail in pase_num, out of range\n");
        return -1;
    }
    return (long long)value;
}
