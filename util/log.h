// Log lines, fatal exit, heap messages and the two clocks shared by every layer of the tool.
#pragma once
#include <cstdint>
#include <string>

// Seconds since the Unix epoch, microsecond resolution; callers time actions by differences.
double now();

// A heap copy of the formatted text; the caller owns it (free). Out of memory is fatal.
char* mkmsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// "error: " + message + "\n" on standard error, then exit status 1.
[[noreturn]] void die(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// One log line: the prefix ("MSG[VXN]" or "ERR[VXN]") directly followed by the message, which
// carries its own line end. Lines are cut to 271 characters. Always returns 0.
int qrx_log_out(const char* prefix, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// While a sink is set (a plan being checked), log lines and plain texts are kept there instead of
// going to standard error; nullptr ends the capture. Only the main thread uses it.
void log_capture(std::string* sink);
bool log_capturing();
// A plain text line for standard error (or the capture sink), without a prefix.
void log_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A progress line ends in "\r" so that the next one overwrites it. Whatever else is written to
// standard error next must start on a line of its own: the progress writer marks such a line
// open, and the other writers end it first.
void stderr_line_open(bool open);
void stderr_end_open_line();

// Milliseconds since the 32-bit tick `start`; _timeGetTime(0) is the free-running tick.
uint32_t _timeGetTime(uint32_t start);
