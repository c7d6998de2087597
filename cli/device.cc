#include "cli/device.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "usb/usb_sys.h"
#include "util/log.h"

int match_morvanta_with_serial(usb_ifc_info* info, const char* selector) {
    if (vendor_id != 0 && info->idVendor != vendor_id) return -1;
    if (product_id != 0 && info->idProduct != product_id) return -1;
    if (info->bInterfaceClass != 0xff || info->bInterfaceSubClass != 0x42 ||
        info->bInterfaceProtocol != 0x03)
        return -1;
    if (selector && strcmp(selector, info->serial) != 0 && strcmp(selector, info->location) != 0)
        return -1;
    return 0;
}

namespace {

std::string shown_serial(const usb_ifc_info* info) {
    return info->serial[0] ? std::string(info->serial) : std::string("????????????");
}

const char* state_of(const usb_ifc_info* info) {
    if (!info->has_access) return "no permission";
    return info->in_use ? "in use" : "usable";
}

}  // namespace

int list_devices_long_callback(usb_ifc_info* info) {
    if (match_morvanta_with_serial(info, nullptr) != 0) return -1;
    printf("%s\tQrx_VXN\t%s\t%s\n", shown_serial(info).c_str(), info->location, state_of(info));
    return -1;
}

int list_devices_callback(usb_ifc_info* info) {
    if (match_morvanta_with_serial(info, nullptr) != 0) return -1;
    std::string name = info->serial;
    if (!info->has_access) {
        name = UsbNoPermissionsShortHelpText();
        // The listing is one line per board; the help text's own line end would split it.
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    }
    if (name.empty()) name = "????????????";
    printf("%s\tQrx_VXN\n", name.c_str());
    return -1;
}

void list_devices() {
    usb_list(ifc_match_func(list_devices_callback));
    fflush(stdout);
}

void list_devices_long() {
    usb_list(ifc_match_func(list_devices_long_callback));
    fflush(stdout);
}

namespace {

// What the run chose its board by ("-s"), for opening it again after it has restarted.
std::string run_selector;

// Opens `path`, or waits without limit for a board that `match` accepts, saying once what for.
Transport* wait_for_board(const char* path, const ifc_match_func& match, const char* wanted) {
    bool announced = false;
    for (;;) {
        Transport* transport = usb_open(match, path);
        if (transport) return transport;
        if (path) {
            qrx_log_out("ERR[VXN]", "Fail open dev:%s\n", path);
            return nullptr;
        }
        if (!announced) {
            announced = true;
            fprintf(stderr, "< waiting for Quenrix %s >\n", wanted);
            fflush(stderr);
        }
        sleep_ms(1);
    }
}

}  // namespace

Transport* open_device(const char* path, const char* selector) {
    return open_device_found(path, selector, nullptr);
}

Transport* open_device_found(const char* path, const char* selector, usb_ifc_info* found) {
    run_selector = selector ? selector : "";
    ifc_match_func match = [selector, found](usb_ifc_info* info) {
        int r = match_morvanta_with_serial(info, selector);
        if (r == 0 && found) *found = *info;
        return r;
    };
    return wait_for_board(path, match, selector ? selector : "VXN device");
}

bool board_present(const char* selector) {
    bool seen = false;
    usb_list([selector, &seen](usb_ifc_info* info) {
        if (match_morvanta_with_serial(info, selector) == 0) seen = true;
        return -1;
    });
    return seen;
}

// The restarted board comes back on the port it left. Boards on a station often share a serial
// number, so the serial alone could open another one; a run that chose its board by port path
// follows that port path.
Transport* reopen_device(Transport*& transport, const char* selector) {
    const std::string port = transport ? usb_port_path(transport) : std::string();
    if (transport) usb_close(transport);
    transport = nullptr;
    const bool by_port = !port.empty() && run_selector == port;
    const char* wanted = by_port ? port.c_str() : selector;
    ifc_match_func match = [&](usb_ifc_info* info) {
        if (match_morvanta_with_serial(info, wanted) != 0) return -1;
        return port.empty() || port == info->location ? 0 : -1;
    };
    usb_set_board_restarting(true);
    transport = wait_for_board(nullptr, match, wanted ? wanted : "VXN device");
    usb_set_board_restarting(false);
    return transport;
}

void device_selection_reset() {
    run_selector.clear();
}
