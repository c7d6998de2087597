// Finding the board: enumerate the target interfaces, describe each as a usb_ifc_info, and open
// the first one the caller's callback accepts.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "usb/usb.h"
#include "usb/usb_enum.h"
#include "usb/usb_transport.h"
#include "usb/usb_udev.h"
#include "util/log.h"
#include "util/string_printf.h"

const uint16_t vendor_id = 0x4f2d;
const uint16_t product_id = 0xc004;

namespace {

const char kPermissionHint[] = "add idVendor '4f2d' to GROUP 'plugdev' to udev rules.d";

void fill_info(const usb_device_descriptor& dd, const usb_interface_descriptor& id,
               usb_ifc_info* info) {
    memset(info, 0, sizeof(*info));
    info->idVendor = dd.idVendor;
    info->idProduct = dd.idProduct;
    info->bDeviceClass = dd.bDeviceClass;
    info->bDeviceSubClass = dd.bDeviceSubClass;
    info->bDeviceProtocol = dd.bDeviceProtocol;
    info->bInterfaceClass = id.bInterfaceClass;
    info->bInterfaceSubClass = id.bInterfaceSubClass;
    info->bInterfaceProtocol = id.bInterfaceProtocol;
}

// A candidate as the system describes it without opening the device.
void describe_entry(const usbos_entry& entry, usb_ifc_info* info) {
    fill_info(entry.device, entry.interface, info);
    info->has_access = entry.accessible ? 1 : 0;
    info->in_use = entry.claimed ? 1 : 0;
    snprintf(info->serial, sizeof(info->serial), "%s", entry.serial.c_str());
    snprintf(info->location, sizeof(info->location), "%s", entry.location.c_str());
}

// A board that is not opened (one that cannot be) is shown to the callback from the descriptors
// the system keeps. True when the callback would have taken it.
bool offer_unopened(const usbos_entry& entry, bool has_access, const ifc_match_func& callback) {
    if (entry.interface.bNumEndpoints != 2) return false;
    usb_ifc_info info;
    describe_entry(entry, &info);
    info.has_access = has_access ? 1 : 0;
    return callback(&info) == 0;
}

// udev applies its rule a few hundred milliseconds after a board appears, and the USB access
// may fail to start for a moment: a trouble shorter than this is not worth a word.
constexpr double kGraceS = 2.0;
// While no board is found, the bus is looked at afresh this often: a hot-plug event the process
// missed then costs this long, never the board.
constexpr double kRescanS = 2.0;

// What the search keeps between its looks at the bus; the notices are given once per run.
struct SearchState {
    double denied_since = -1.0;
    bool board_restarting = false;
    double no_usb_since = -1.0;
    bool no_usb_reported = false;
    bool no_permission_reported = false;
    std::set<std::string> busy_reported;
    double not_found_since = -1.0;
};
SearchState search;

// True once `failing` has held for `limit` seconds without a break; `since` keeps when it began.
bool outlasted(double* since, bool failing, double limit) {
    if (!failing) {
        *since = -1.0;
        return false;
    }
    const double t = now();
    if (*since < 0) *since = t;
    return t - *since >= limit;
}

void note_denial(bool denied) {
    if (outlasted(&search.denied_since, denied, kGraceS)) report_no_permission();
}

void report_no_usb(int err) {
    fprintf(stderr, "cannot look for boards: USB is not available (%s)\n", strerror(err));
    fflush(stderr);
}

// The system's list of devices cannot be read (`err`, 0 when it can): said once, when it has
// lasted, while the caller goes on waiting for a board.
void note_no_usb(int err) {
    if (!outlasted(&search.no_usb_since, err != 0, kGraceS) || search.no_usb_reported) return;
    search.no_usb_reported = true;
    report_no_usb(err);
}

// A board that another program has claimed is skipped; when no other board was taken, the user
// hears once which one it is (by serial number, or by port path without one).
void report_busy(const std::string& name) {
    if (!search.busy_reported.insert(name).second) return;
    fprintf(stderr, "board %s is in use by another program\n", name.c_str());
    fflush(stderr);
}

void note_found(bool found) {
    if (!outlasted(&search.not_found_since, !found, kRescanS)) return;
    usbos_rescan();
    search.not_found_since = now();
}

}  // namespace

std::string udev_problem_for_user(const std::string& problem) {
    if (search.board_restarting && problem == kUdevRulePresent) return std::string();
    return problem;
}

void report_no_permission() {
    if (search.no_permission_reported) return;
    search.no_permission_reported = true;
    fprintf(stderr, "%s\n", UsbNoPermissionsLongHelpText().c_str());
    fflush(stderr);
}

void usb_set_board_restarting(bool restarting) {
    search.board_restarting = restarting;
    search.denied_since = -1.0;
}

void usb_search_reset() {
    search = SearchState();
}

int recognized_device(usb_handle* h, const ifc_match_func& callback) {
    if (!h) return 0;
    usb_device_descriptor dd;
    if (!usbos_get_device_descriptor(h->interface, &dd)) return 0;
    usb_interface_descriptor id;
    if (!usbos_get_interface_descriptor(h->interface, &id)) return 0;
    if (id.bNumEndpoints != 2) return 0;
    usb_ifc_info info;
    fill_info(dd, id, &info);
    info.has_access = 1;
    if (!usbos_get_serial_number(h->interface, info.serial, sizeof(info.serial)))
        info.serial[0] = '\0';
    info.serial[sizeof(info.serial) - 1] = '\0';
    if (!usbos_get_port_path(h->interface, info.location, sizeof(info.location)))
        info.location[0] = '\0';
    info.location[sizeof(info.location) - 1] = '\0';
    return callback(&info) == 0 ? 1 : 0;
}

// Opens the candidate and shows it to the callback as the opened device describes it; where the
// system keeps no interface descriptor before a device is opened (Windows), that is the only way.
static std::unique_ptr<usb_handle> open_and_recognize(const usbos_entry& entry,
                                                      const ifc_match_func& callback) {
    std::unique_ptr<usb_handle> h = do_usb_open(entry.name.c_str());
    if (!h || recognized_device(h.get(), callback)) return h;
    usb_cleanup_handle(h.get());
    errno = 0;
    return nullptr;
}

// Candidates are chosen from what the system describes without opening them, where it can: opening
// claims the interface, and a station runs one process per board, each of which would otherwise
// take every other process's board for a moment while it looks for its own.
std::unique_ptr<usb_handle> find_usb_device(const ifc_match_func& callback) {
    usbos_handle enumeration = usbos_enum_interfaces(vendor_id, product_id);
    note_no_usb(enumeration ? 0 : errno);
    if (!enumeration) return nullptr;
    std::unique_ptr<usb_handle> found;
    usbos_entry entry;
    bool wanted_but_locked = false;
    std::vector<std::string> busy;
    while (!found && usbos_next_interface(enumeration, &entry)) {
        bool described = entry.interface.bLength != 0;
        if (described && !offer_unopened(entry, entry.accessible, callback)) continue;
        found = described ? do_usb_open(entry.name.c_str()) : open_and_recognize(entry, callback);
        if (found) break;
        int err = errno;
        if (err == EACCES || err == EPERM)
            wanted_but_locked = described || offer_unopened(entry, false, callback) || wanted_but_locked;
        else if (err == EBUSY && (described || offer_unopened(entry, true, callback)))
            busy.push_back(entry.serial.empty() ? entry.location : entry.serial);
    }
    usbos_close_handle(enumeration);
    // Rather than wait in silence for a board that is there, say why it cannot be used, once
    // the denial has outlasted udev applying its rule.
    note_denial(!found && wanted_but_locked);
    if (!found)
        for (const std::string& name : busy) report_busy(name);
    note_found(found != nullptr);
    return found;
}

std::unique_ptr<usb_handle> open_usb_device(const ifc_match_func& callback, const char* path) {
    std::unique_ptr<usb_handle> h = do_usb_open(path);
    if (!h) {
        printf("Fail in open %s\n", path);
        fflush(stdout);
        return nullptr;
    }
    if (recognized_device(h.get(), callback)) return h;
    printf("Fail in match device\n");
    fflush(stdout);
    usb_cleanup_handle(h.get());
    return nullptr;
}

Transport* usb_open(ifc_match_func callback, const char* path) {
    std::unique_ptr<usb_handle> h = path ? open_usb_device(callback, path) : find_usb_device(callback);
    if (!h) return nullptr;
    return new WindowsUsbTransport(std::move(h));
}

void usb_list(const ifc_match_func& callback) {
    usbos_handle enumeration = usbos_enum_interfaces(vendor_id, product_id);
    if (!enumeration) return report_no_usb(errno);
    usbos_entry entry;
    while (usbos_next_interface(enumeration, &entry)) {
        if (entry.interface.bNumEndpoints != 2) continue;
        usb_ifc_info info;
        describe_entry(entry, &info);
        callback(&info);
    }
    usbos_close_handle(enumeration);
}

Transport* usb_open(int (*callback)(usb_ifc_info*), const char* path) {
    return usb_open(ifc_match_func(callback), path);
}

std::string usb_port_path(Transport* transport) {
    auto* usb = dynamic_cast<WindowsUsbTransport*>(transport);
    char path[256];
    if (!usb || !usb->handle || !usb->handle->interface ||
        !usbos_get_port_path(usb->handle->interface, path, sizeof(path)))
        return std::string();
    return path;
}

int usb_close(Transport* transport) {
    transport->Close();
    delete transport;
    return 0;
}

std::string UsbNoPermissionsShortHelpText() {
    std::string text = "no permissions in";
    std::string problem = udev_problem_for_user(GetUdevProblem());
    if (!problem.empty()) veltrop::base::StringAppendF(&text, " (%s)", problem.c_str());
    return veltrop::base::StringPrintf("%s; [%s]\n", text.c_str(), kPermissionHint);
}

std::string UsbNoPermissionsLongHelpText() {
    std::string text = "insufficient permissions for device";
    std::string problem = udev_problem_for_user(GetUdevProblem());
    if (!problem.empty()) veltrop::base::StringAppendF(&text, ": %s", problem.c_str());
    return veltrop::base::StringPrintf("%s.\nSee [%s] for more information.", text.c_str(),
                                       kPermissionHint);
}
