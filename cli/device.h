// Which USB interfaces are target boards, the "devices" listing, and opening (and reopening) one.
#pragma once
#include "usb/transport.h"
#include "usb/usb.h"

int match_morvanta_with_serial(usb_ifc_info* info, const char* selector);
// Lists without opening or claiming a board: one "SERIAL\tQrx_VXN" line each.
void list_devices();
int list_devices_callback(usb_ifc_info* info);
// "devices -l": "SERIAL\tQrx_VXN\tPORT\tSTATE", the state being "usable", "no permission" or
// "in use" (another program holds the board). The serial is shown even without permission.
void list_devices_long();
int list_devices_long_callback(usb_ifc_info* info);
// Waits without limit for a matching board unless `path` names one interface.
Transport* open_device(const char* path, const char* selector);
// open_device that also tells, in *found (when given), the interface it opened: its serial number
// and port path.
Transport* open_device_found(const char* path, const char* selector, usb_ifc_info* found);
// True while a target board that the selector (a serial number or a port path) matches is
// attached; nothing is opened.
bool board_present(const char* selector);
// Closes `transport` (and sets it to nullptr), then waits for the board again: the one with the
// serial number `selector` on the port the transport was using, or, when the run chose its board
// by that port path, the board on that port. The reference holds the replacement afterwards,
// which is also returned.
Transport* reopen_device(Transport*& transport, const char* selector);
// Forgets what open_device kept of the run's choice (for tests, which are many runs in one
// process).
void device_selection_reset();
