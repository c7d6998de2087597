// Device-directed media write: streams part of an open image under the board's data requests.
#pragma once
#include "usb/transport.h"

// fd is positioned at the first byte that may be sent; size bytes from there may be requested.
int fb_mwrite_data(Transport* transport, int fd, long long size, const char* command);
