#include "util/numbers.h"

#include <cstdlib>
#include <sys/stat.h>

#include "util/log.h"

bool apply_size_unit(unsigned long long* value, char** end) {
    unsigned long long limit = 0;
    int shift = 0;
    switch (**end) {
        case 'k': case 'K': limit = 0x3FFFFFFFFFFFFEull; shift = 10; break;
        case 'm': case 'M': limit = 0xFFFFFFFFFFEull; shift = 20; break;
        case 'g': case 'G': limit = 0x3FFFFFFFEull; shift = 30; break;
        default: return true;
    }
    if (*value > limit) return false;
    *value <<= shift;
    ++*end;
    return true;
}

long long parse_num(const char* str, char** end) {
    char* stop = nullptr;
    unsigned long long value = strtoull(str, &stop, 0);
    if (stop == str || !apply_size_unit(&value, &stop)) return -1;
    if (value >> 63) {
        qrx_log_out("ERR[VXN]", "fail in pase_num, out of range\n");
        return -1;
    }
    if (end) *end = stop;
    return (long long)value;
}

long long fd_get_file_size(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    return (long long)st.st_size;
}
