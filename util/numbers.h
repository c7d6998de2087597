// Numbers in device replies and on the command line, and the size of an open file.
#pragma once

// The unit letter at *end, if there is one (k/m/g in either case: 2^10, 2^20, 2^30), scales
// *value and *end steps past it. False, with both left alone, when the product would not fit
// in 64 bits: before scaling at most 2^54 - 2, 2^44 - 2 and 2^34 - 2.
bool apply_size_unit(unsigned long long* value, char** end);

// strtoull base 0 with an optional k/m/g suffix. -1 when nothing converts, when a suffix would
// overflow, or (with a logged line) when the value does not fit in a signed 64-bit number.
// *end, when given, is set past the number and its suffix on success only.
long long parse_num(const char* str, char** end);

// Size of the open file from fstat, or -1.
long long fd_get_file_size(int fd);
