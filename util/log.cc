#include "util/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>

#include "util/debug_output.h"

namespace {
bool open_line = false;
std::string* capture_sink = nullptr;
}

void log_capture(std::string* sink) { capture_sink = sink; }

bool log_capturing() { return capture_sink != nullptr; }

void stderr_line_open(bool open) { open_line = open; }

void stderr_end_open_line() {
    if (!open_line) return;
    open_line = false;
    fputc('\n', stderr);
}

static void _OutputDebugString(const char* text) {
    if (capture_sink) {
        *capture_sink += text;
        return;
    }
    stderr_end_open_line();
    fprintf(stderr, "%s", text);
    fflush(stderr);
    platform_debug_output(text);
}

double now() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (double)tv.tv_sec + (double)tv.tv_usec / 1000000;
}

char* mkmsg(const char* fmt, ...) {
    // Every message the tool builds fits in 256 bytes; a longer one is cut rather than overrun.
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    char* s = strdup(buf);
    if (!s) die("out of memory");
    return s;
}

void die(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    stderr_end_open_line();
    fprintf(stderr, "error: ");
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, "\n");
    va_end(ap);
    fflush(stderr);
    exit(1);
}

int qrx_log_out(const char* prefix, const char* fmt, ...) {
    char line[272];
    // The line layout reserves 16 bytes for the prefix and its terminator.
    size_t plen = strnlen(prefix, 16);
    if (plen > 15) plen = 15;
    memcpy(line, prefix, plen);
    line[plen] = '\0';
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line + plen, sizeof(line) - plen, fmt, ap);
    va_end(ap);
    _OutputDebugString(line);
    return 0;
}

void log_text(const char* fmt, ...) {
    char line[272];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    if (capture_sink) {
        *capture_sink += line;
        return;
    }
    stderr_end_open_line();
    fputs(line, stderr);
}

uint32_t _timeGetTime(uint32_t start) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    uint64_t ms = (uint64_t)tv.tv_sec * 1000 + (uint64_t)tv.tv_usec / 1000;
    return (uint32_t)ms - start;
}
