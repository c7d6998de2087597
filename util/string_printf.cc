#include "util/string_printf.h"

#include <cstdio>
#include <memory>

namespace veltrop {
namespace base {

void StringAppendV(std::string* dst, const char* fmt, va_list ap) {
    // Most texts fit the stack buffer; only longer ones pay for a second, exactly sized pass.
    char space[1024];
    va_list backup;
    va_copy(backup, ap);
    int n = vsnprintf(space, sizeof(space), fmt, backup);
    va_end(backup);
    if (n < 0) return;
    if (n < (int)sizeof(space)) {
        dst->append(space, n);
        return;
    }
    std::unique_ptr<char[]> buf(new char[(size_t)n + 1]);
    va_copy(backup, ap);
    int m = vsnprintf(buf.get(), (size_t)n + 1, fmt, backup);
    va_end(backup);
    if (m >= 0 && m < n + 1) dst->append(buf.get(), m);
}

std::string StringPrintf(const char* fmt, ...) {
    std::string result;
    va_list ap;
    va_start(ap, fmt);
    StringAppendV(&result, fmt, ap);
    va_end(ap);
    return result;
}

void StringAppendF(std::string* dst, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    StringAppendV(dst, fmt, ap);
    va_end(ap);
}

}  // namespace base
}  // namespace veltrop
