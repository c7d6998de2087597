// Host side of the VXN command/response exchange: one command text, its INFO/OKAY/FAIL/DATA
// replies, the optional data phase and the closing reply. Every function returns -1 on failure
// and leaves a text in ERROR.
#pragma once
#include "usb/transport.h"

// Text of the most recent protocol failure (process-wide, never cleared).
extern char ERROR[128];
const char* fb_get_error();

// Sets ERROR from a printf format, cut to fit.
void fb_set_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Reads replies until a final one: 0 for OKAY, the announced size for an accepted DATA reply,
// -127 for a size above 2 GiB, -1 otherwise. `response` (>= 125 bytes) receives the OKAY payload,
// `direction` is true for host-to-device, `offset` receives a DATA reply's offset; all optional.
int check_response(Transport* transport, unsigned int bound, char* response, bool* direction,
                   long long* offset);
int _command_start(Transport* transport, const char* command, unsigned int bound, char* response,
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
