#include <cstdlib>

#include "cli/handlers.h"
#include "cli/vorn_main.h"
#include "util/log.h"
#include "util/numbers.h"

long long parse_num(const char* text) {
    char* end = nullptr;
    unsigned long long value = strtoull(text, &end, 0);
    if (end == text || !apply_size_unit(&value, &end)) return -1;
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

void parse_size_offset(char** words, int count, long long* size, long long* offset) {
    *size = count >= 3 ? parse_num(words[2]) : 0;
    *offset = count >= 4 ? parse_num(words[3]) : 0;
}
