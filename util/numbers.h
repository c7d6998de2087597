// Numbers in device replies, and the size of an open file.
#pragma once

// strtoull base 0 with an optional k/m/g suffix. -1 when nothing converts, when a suffix would
// overflow, or (with a logged line) when the value does not fit in a signed 64-bit number.
// *end, when given, is set past the number and its suffix on success only.
long long parse_num(const char* str, char** end);

// Size of the open file from fstat, or -1.
long long fd_get_file_size(int fd);
