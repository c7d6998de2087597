// printf-style formatting into std::string.
#pragma once
#include <cstdarg>
#include <string>

namespace veltrop {
namespace base {

std::string StringPrintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void StringAppendF(std::string* dst, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void StringAppendV(std::string* dst, const char* fmt, va_list ap) __attribute__((format(printf, 2, 0)));

}  // namespace base
}  // namespace veltrop
