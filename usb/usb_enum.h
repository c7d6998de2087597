// The steps of finding and opening a board, offered for the tests; the tool itself goes through
// usb_open (usb/usb.h).
#pragma once
#include <memory>
#include <string>
#include "usb/usb.h"
#include "usb/usb_transport.h"

// 1 when the opened interface has two endpoints and the callback accepted it, else 0.
int recognized_device(usb_handle* h, const ifc_match_func& callback);
// The first accepted interface of the enumeration, or nullptr. When the system's list of devices
// has not been readable for 2 s, standard error says so once, with the reason.
std::unique_ptr<usb_handle> find_usb_device(const ifc_match_func& callback);
// The interface with that name, if the callback accepts it; "Fail in open <path>" or "Fail in
// match device" on standard output otherwise.
std::unique_ptr<usb_handle> open_usb_device(const ifc_match_func& callback, const char* path);
// The permission problem as the user is told it. While a board restarts (usb_set_board_restarting)
// a denial is most likely the rule not applied yet, and the advice to replug is left out: it
// would only interrupt the restart.
std::string udev_problem_for_user(const std::string& problem);
// Prints the long no-permission text, once per run.
void report_no_permission();
// Forgets what the search kept: the notices already given once (no USB, a busy board, no
// permission) and how long it has been looking. For tests, which are many runs in one process.
void usb_search_reset();
