#include "util/numbers.h"

#include <cstdlib>
#include <sys/stat.h>

#include "util/log.h"

long long parse_num(const char* str, char** end) {
    char* stop = nullptr;
    unsigned long long value = strtoull(str, &stop, 0);
    if (stop == str) return -1;
    switch (*stop) {
        case 'k':
        case 'K':
            if (value >= 0x3FFFFFFFFFFFFFull) return -1;
            value *= 1024;
            stop++;
            break;
        case 'm':
        case 'M':
            if (value >= 0xFFFFFFFFFFFull) return -1;
            value *= 1048576;
            stop++;
            break;
        case 'g':
        case 'G':
            if (value >= 0x3FFFFFFFFull) return -1;
            value *= 1073741824;
            stop++;
            break;
        default:
            break;
    }
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
