#include "tools/vsimg/args.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

bool parse_size(const char* text, unsigned long long max, unsigned long long* value) {
    if (!text || !isdigit(static_cast<unsigned char>(text[0]))) return false;
    errno = 0;
    char* end = nullptr;
    bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    unsigned long long v = strtoull(text, &end, hex ? 16 : 10);
    if (errno == ERANGE || end == text + (hex ? 2 : 0)) return false;
    unsigned shift = 0;
    switch (*end) {
        case 'k': case 'K': shift = 10; end++; break;
        case 'm': case 'M': shift = 20; end++; break;
        case 'g': case 'G': shift = 30; end++; break;
        default: break;
    }
    if (*end != '\0') return false;
    if (v > (max >> shift)) return false;
    *value = v << shift;
    return true;
}
