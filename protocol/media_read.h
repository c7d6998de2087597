// Device-directed media read: appends the portions a board sends to an open output file.
#pragma once
#include "usb/transport.h"

int fb_mread_data(Transport* transport, int fd, bool progress);
