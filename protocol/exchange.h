// Host side of the VXN command/response exchange: one command text, its INFO/OKAY/FAIL/DATA
// replies, the optional data phase and the closing reply. Every function returns -1 on failure
// and leaves a text in ERROR.
#pragma once
#include <string>

#include "usb/transport.h"

// Text of the most recent protocol failure (process-wide, never cleared).
extern char ERROR[128];
const char* fb_get_error();

// Sets ERROR from a printf format, cut to fit. ERROR is one line: a trailing line end is dropped.
void fb_set_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A failure that a stream finds itself rather than the exchange (a file, a request it will not
// serve): the error line goes to the log and `why` becomes ERROR, so that the queue's
// "FAILED (...)" line names this failure and not an older one. Returns `code`.
int fb_fail(int code, const std::string& why, const char* line, ...)
    __attribute__((format(printf, 3, 4)));
// The same where the log line says it all: its text, without the line end, becomes ERROR.
int fb_refuse(int code, const char* line, ...) __attribute__((format(printf, 2, 3)));

// Reads replies until a final one: 0 for OKAY, the announced size for an accepted DATA reply,
// -127 for a size above 2 GiB, -1 otherwise. `response` (>= 125 bytes) receives the OKAY payload,
// `direction` is true for host-to-device, `offset` receives a DATA reply's offset; all optional.
int check_response(Transport* transport, unsigned int bound, char* response, bool* direction,
                   long long* offset);
// Sends a command text without reading a reply (at most 128 characters).
int _command_write(Transport* transport, const char* command);
int _command_start(Transport* transport, const char* command, unsigned int bound, char* response,
                   bool* direction, long long* offset);
// One cycle of a device-directed stream: _command_start, where a data request of 0 bytes is a
// failure instead of the end. It would read as the "OKAY" that ends the stream and report a
// transfer as complete that the board never finished. `offset` is required.
int _command_request(Transport* transport, const char* command, unsigned int bound, char* response,
                     bool* direction, long long* offset);
// Moves exactly size bytes in one transfer (write unless *direction is false).
int _command_data(Transport* transport, const void* data, unsigned int size, bool* direction);
int _command_end(Transport* transport);
int _command_send(Transport* transport, const char* command, const void* data, unsigned int size,
                  char* response);
int _command_send_no_data(Transport* transport, const char* command, char* response);

int fb_command(Transport* transport, const char* command);
int fb_command_response(Transport* transport, const char* command, char* response);
int fb_download_data(Transport* transport, const void* data, unsigned int size);
int fb_setKey(Transport* transport, const void* data, unsigned int size);
int fb_qrx_setvar(Transport* transport, const char* name, const void* data, unsigned int size);
