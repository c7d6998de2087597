#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sparse/sparse_read.h"

void sparse_default_print(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

void (*sparse_print_error)(const char* fmt, ...) = sparse_default_print;
void (*sparse_print_verbose)(const char* fmt, ...) = sparse_default_print;

void verbose_error(bool verbose, int error, const char* fmt, ...) {
    if (!verbose) return;
    char* at = nullptr;
    const char* sep = "";
    if (fmt) {
        va_list ap;
        va_start(ap, fmt);
        int size = vsnprintf(nullptr, 0, fmt, ap);
        va_end(ap);
        if (size < 0) return;
        at = static_cast<char*>(malloc(size_t(size) + 1));
        if (!at) return;
        va_start(ap, fmt);
        vsnprintf(at, size_t(size) + 1, fmt, ap);
        va_end(ap);
        sep = " at ";
    }
    const char* where = at ? at : "";
    if (error == -EINVAL)
        sparse_print_verbose("Invalid sparse file format%s%s\n", sep, where);
    else if (error == -ENOMEM)
        sparse_print_verbose("Failed allocation while reading file%s%s\n", sep, where);
    else
        // The reader's errors are negative errno values; the number shown is the system's own.
        sparse_print_verbose("Unknown error %d (%s)%s%s\n", -error, strerror(-error), sep, where);
    free(at);
}
