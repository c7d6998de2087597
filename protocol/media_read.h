// Device-directed media read: appends the portions a board sends to an open output file.
#pragma once
#include "usb/transport.h"

// `expected` is the byte count asked of the board: a read that ends with another count fails,
// and the message gives both (-1: any count is taken).
int fb_mread_data(Transport* transport, int fd, bool progress, long long expected = -1);
