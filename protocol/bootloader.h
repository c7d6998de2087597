// Staged boot-loader download: BL1 (one download and "boot"), BL2 and BL2E (command blocks).
#pragma once
#include "usb/transport.h"

// Closes `transport`, waits for the board with the given serial number and returns it; it also
// stores the replacement (or nullptr) in `transport`, so no caller keeps the closed one.
using fb_reopen_fn = Transport* (*)(Transport*& transport, const char* serial);
// The front end installs its device reopening here; the protocol client knows no USB.
void fb_set_reopen(fb_reopen_fn reopen);

// `size` is the boot-loader file's size, 64 bits wide like every file size.
int fb_bl1_boot(Transport* transport, int fd, long long size);
// May replace `transport` when the board re-enumerates into BL2E.
int fb_bl2_boot(Transport*& transport, int fd, long long size);
