// The USB access over SetupAPI and WinUSB. The boards' interfaces are found through the
// device-interface class their driver binding registers; an interface is opened by its path,
// which is also its name. Every failed call leaves the Windows error code where it was and its
// errno counterpart in errno.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "usb/usb_os.h"
#include "usb/winusb_api.h"

struct usbos_object {
    enum Kind { kEnum, kInterface, kEndpoint } kind;
    explicit usbos_object(Kind k) : kind(k) {}
};

namespace {

struct WinEnum : usbos_object {
    WinEnum() : usbos_object(kEnum) {}
    HDEVINFO set = INVALID_HANDLE_VALUE;
    DWORD next = 0;
    uint16_t vendor = 0;
    uint16_t product = 0;
};

struct WinInterface : usbos_object {
    WinInterface() : usbos_object(kInterface) {}
    HANDLE file = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    std::string name;
    std::string location;
    usb_device_descriptor device{};
    usb_interface_descriptor interface{};
    UCHAR pipe_in = 0;
    UCHAR pipe_out = 0;
    USHORT packet_in = 0;
    USHORT packet_out = 0;
};

struct WinEndpoint : usbos_object {
    WinEndpoint() : usbos_object(kEndpoint) {}
    WinInterface* owner = nullptr;
    UCHAR pipe = 0;
    size_t max_packet = 0;
    // The time limit last given to the pipe, so that it is set only when it changes.
    bool timeout_known = false;
    ULONG timeout_ms = 0;
};

const winusb_api& api() {
    return *winusb_current();
}

// errno from the Windows error code of the call that just failed; the code itself stays.
bool fail() {
    errno = errno_of_win32(api().get_last_error());
    return false;
}

// Both the Windows error code and errno, for a failure found by this layer itself.
bool fail_with(DWORD code) {
    api().set_last_error(code);
    errno = errno_of_win32(code);
    return false;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

// The hexadecimal number after `key` ("vid_", "pid_") in a lower-case interface path.
uint16_t id_in_path(const std::string& path, const char* key) {
    size_t at = path.find(key);
    if (at == std::string::npos) return 0;
    return static_cast<uint16_t>(strtoul(path.c_str() + at + strlen(key), nullptr, 16));
}

bool ids_match(uint16_t vendor, uint16_t product, uint16_t want_vendor, uint16_t want_product) {
    return (want_vendor == 0 || vendor == want_vendor) && (want_product == 0 || product == want_product);
}

// The port path of a device from its first location path, for example
// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)" -> "1400-2.3": the host controller's PCI
// address, then the port numbers from the root hub down. Empty when it names no USB port.
std::string port_path_of_location(const char* location) {
    std::string bus = "0", ports;
    const char* p = location;
    while (*p) {
        const char* end = strchr(p, '#');
        std::string part(p, end ? static_cast<size_t>(end - p) : strlen(p));
        size_t open = part.find('('), close = part.rfind(')');
        if (open != std::string::npos && close != std::string::npos && close > open) {
            std::string kind = part.substr(0, open), value = part.substr(open + 1, close - open - 1);
            if (kind == "PCI") bus = lower(value);
            if (kind == "USB") ports += (ports.empty() ? "" : ".") + std::to_string(strtoul(value.c_str(), nullptr, 10));
        }
        if (!end) break;
        p = end + 1;
    }
    return ports.empty() ? std::string() : bus + "-" + ports;
}

std::string port_path(HDEVINFO set, SP_DEVINFO_DATA* info) {
    char buf[2048] = {};
    DWORD type = 0;
    if (!api().get_device_registry_property(set, info, SPDRP_LOCATION_PATHS, &type,
                                            reinterpret_cast<PBYTE>(buf), sizeof(buf) - 2, nullptr))
        return std::string();
    return port_path_of_location(buf);
}

// The serial number as Windows keeps it in the instance id ("USB\VID_4F2D&PID_C004\VXN0001");
// a device without one gets a generated last part with '&' in it.
std::string instance_serial(HDEVINFO set, SP_DEVINFO_DATA* info) {
    char buf[512] = {};
    if (!api().get_device_instance_id(set, info, buf, sizeof(buf) - 1, nullptr)) return std::string();
    const char* last = strrchr(buf, '\\');
    if (!last || strchr(last, '&')) return std::string();
    return last + 1;
}

// The path of an enumerated interface, and its device's information record.
bool interface_path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, SP_DEVINFO_DATA* info,
                    std::string* path) {
    DWORD size = 0;
    api().get_device_interface_detail(set, data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return fail();
    std::vector<char> buf(size + 1, '\0');
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    info->cbSize = sizeof(SP_DEVINFO_DATA);
    if (!api().get_device_interface_detail(set, data, detail, size, nullptr, info)) return fail();
    *path = detail->DevicePath;
    return true;
}

usbos_handle win_enum_interfaces(uint16_t vendor, uint16_t product) {
    HDEVINFO set = api().get_class_devs(&kBoardInterfaceClass, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        fail();
        return nullptr;
    }
    auto* e = new WinEnum;
    e->set = set;
    e->vendor = vendor;
    e->product = product;
    return e;
}

bool win_next_interface(usbos_handle h, usbos_entry* entry) {
    if (!h || h->kind != usbos_object::kEnum) return fail_with(ERROR_INVALID_HANDLE);
    auto* e = static_cast<WinEnum*>(h);
    for (;;) {
        SP_DEVICE_INTERFACE_DATA data;
        memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(data);
        if (!api().enum_device_interfaces(e->set, nullptr, &kBoardInterfaceClass, e->next++, &data))
            return fail();
        SP_DEVINFO_DATA info;
        std::string path;
        if (!interface_path(e->set, &data, &info, &path)) continue;
        std::string lpath = lower(path);
        uint16_t vendor = id_in_path(lpath, "vid_"), product = id_in_path(lpath, "pid_");
        if (!ids_match(vendor, product, e->vendor, e->product)) continue;
        *entry = usbos_entry();
        entry->name = path;
        entry->location = port_path(e->set, &info);
        entry->serial = instance_serial(e->set, &info);
        // Windows keeps no interface descriptor before the device is opened; a board that cannot
        // be opened is busy in another program, so nothing more is needed of it.
        entry->device.bLength = sizeof(usb_device_descriptor);
        entry->device.idVendor = vendor;
        entry->device.idProduct = product;
        return true;
    }
}

// The enumeration's entry for the interface with this path (Windows compares paths without
// regard to case); false (ENOENT) when no present board has it.
bool find_entry(const char* name, usbos_entry* entry) {
    usbos_handle e = win_enum_interfaces(0, 0);
    if (!e) return false;
    bool found = false;
    while (!found && win_next_interface(e, entry)) found = lower(entry->name) == lower(name);
    api().destroy_device_info_list(static_cast<WinEnum*>(e)->set);
    delete static_cast<WinEnum*>(e);
    if (!found) fail_with(ERROR_FILE_NOT_FOUND);
    return found;
}

// The descriptors and the default bulk pipes (the first of each direction) of an opened
// interface.
bool read_layout(WinInterface* ifc) {
    ULONG n = 0;
    if (!api().get_descriptor(ifc->usb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                              reinterpret_cast<PUCHAR>(&ifc->device), sizeof(ifc->device), &n))
        return fail();
    if (n != sizeof(ifc->device)) return fail_with(ERROR_GEN_FAILURE);
    USB_INTERFACE_DESCRIPTOR id;
    if (!api().query_interface_settings(ifc->usb, 0, &id)) return fail();
    static_assert(sizeof(id) == sizeof(ifc->interface), "the interface descriptor is 9 bytes");
    memcpy(&ifc->interface, &id, sizeof(id));
    for (UCHAR i = 0; i < id.bNumEndpoints; i++) {
        WINUSB_PIPE_INFORMATION pipe;
        if (!api().query_pipe(ifc->usb, 0, i, &pipe)) return fail();
        if (pipe.PipeType != UsbdPipeTypeBulk) continue;
        bool in = USB_ENDPOINT_DIRECTION_IN(pipe.PipeId);
        if (in && !ifc->pipe_in) {
            ifc->pipe_in = pipe.PipeId;
            ifc->packet_in = pipe.MaximumPacketSize;
        }
        if (!in && !ifc->pipe_out) {
            ifc->pipe_out = pipe.PipeId;
            ifc->packet_out = pipe.MaximumPacketSize;
        }
    }
    return true;
}

void release(WinInterface* ifc) {
    // Closing must not change what the caller is about to report.
    DWORD code = api().get_last_error();
    if (ifc->usb) api().free(ifc->usb);
    if (ifc->file != INVALID_HANDLE_VALUE) api().close_handle(ifc->file);
    ifc->usb = nullptr;
    ifc->file = INVALID_HANDLE_VALUE;
    api().set_last_error(code);
}

usbos_handle win_create_interface_by_name(const char* name, uint16_t vendor, uint16_t product) {
    usbos_entry entry;
    if (!name || !find_entry(name, &entry)) return nullptr;
    if (!ids_match(entry.device.idVendor, entry.device.idProduct, vendor, product)) {
        fail_with(ERROR_DEV_NOT_EXIST);
        return nullptr;
    }
    auto* ifc = new WinInterface;
    ifc->name = entry.name;
    ifc->location = entry.location;
    // WinUSB works only on handles opened for overlapped transfers.
    ifc->file = api().create_file(entry.name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    bool ok = ifc->file != INVALID_HANDLE_VALUE || fail();
    ok = ok && (api().initialize(ifc->file, &ifc->usb) || fail());
    ok = ok && read_layout(ifc);
    if (ok) return ifc;
    int err = errno;
    release(ifc);
    delete ifc;
    errno = err;
    return nullptr;
}

WinInterface* as_interface(usbos_handle h) {
    if (!h || h->kind != usbos_object::kInterface || !static_cast<WinInterface*>(h)->usb) {
        fail_with(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<WinInterface*>(h);
}

WinEndpoint* as_endpoint(usbos_handle h) {
    if (!h || h->kind != usbos_object::kEndpoint || !static_cast<WinEndpoint*>(h)->owner->usb) {
        fail_with(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<WinEndpoint*>(h);
}

usbos_handle open_endpoint(usbos_handle h, bool in) {
    WinInterface* ifc = as_interface(h);
    if (!ifc) return nullptr;
    UCHAR pipe = in ? ifc->pipe_in : ifc->pipe_out;
    if (pipe == 0) {
        fail_with(ERROR_NOT_FOUND);
        return nullptr;
    }
    auto* ep = new WinEndpoint;
    ep->owner = ifc;
    ep->pipe = pipe;
    ep->max_packet = in ? ifc->packet_in : ifc->packet_out;
    return ep;
}

usbos_handle win_open_default_bulk_read_endpoint(usbos_handle h) {
    return open_endpoint(h, true);
}

usbos_handle win_open_default_bulk_write_endpoint(usbos_handle h) {
    return open_endpoint(h, false);
}

bool win_get_interface_name(usbos_handle h, char* buf, size_t* length) {
    WinInterface* ifc = as_interface(h);
    return ifc && length && usbos_copy_name(ifc->name, buf, length);
}

bool win_get_port_path(usbos_handle h, char* buf, size_t size) {
    WinInterface* ifc = as_interface(h);
    return ifc && usbos_copy_text(ifc->location, buf, size);
}

bool win_get_device_descriptor(usbos_handle h, usb_device_descriptor* out) {
    WinInterface* ifc = as_interface(h);
    if (!ifc) return false;
    *out = ifc->device;
    return true;
}

bool win_get_interface_descriptor(usbos_handle h, usb_interface_descriptor* out) {
    WinInterface* ifc = as_interface(h);
    if (!ifc) return false;
    *out = ifc->interface;
    return true;
}

// The first language the device offers its strings in (string descriptor 0), US English when
// it offers none.
USHORT first_language(WinInterface* ifc) {
    UCHAR buf[4] = {};
    ULONG n = 0;
    if (api().get_descriptor(ifc->usb, USB_STRING_DESCRIPTOR_TYPE, 0, 0, buf, sizeof(buf), &n) && n >= 4)
        return static_cast<USHORT>(buf[2] | buf[3] << 8);
    return 0x0409;
}

bool win_get_serial_number(usbos_handle h, char* buf, size_t size) {
    WinInterface* ifc = as_interface(h);
    if (!ifc) return false;
    if (!buf || size == 0) return fail_with(ERROR_INVALID_PARAMETER);
    buf[0] = '\0';
    if (ifc->device.iSerialNumber == 0) return fail_with(ERROR_NOT_FOUND);
    UCHAR desc[256] = {};
    ULONG n = 0;
    if (!api().get_descriptor(ifc->usb, USB_STRING_DESCRIPTOR_TYPE, ifc->device.iSerialNumber,
                              first_language(ifc), desc, sizeof(desc), &n))
        return fail();
    // UTF-16LE after the two header bytes; serial numbers are ASCII, anything else shows as '?'.
    size_t len = std::min<size_t>(n, desc[0]);
    size_t out = 0;
    for (size_t i = 2; i + 1 < len && out + 1 < size; i += 2) {
        unsigned c = desc[i] | desc[i + 1] << 8;
        buf[out++] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    buf[out] = '\0';
    return true;
}

bool set_timeout(WinEndpoint* ep, unsigned timeout_ms) {
    if (ep->timeout_known && ep->timeout_ms == timeout_ms) return true;
    ULONG value = timeout_ms;  // 0: no limit, as for the callers
    if (!api().set_pipe_policy(ep->owner->usb, ep->pipe, PIPE_TRANSFER_TIMEOUT, sizeof(value), &value))
        return fail();
    ep->timeout_known = true;
    ep->timeout_ms = timeout_ms;
    return true;
}

bool transfer(usbos_handle h, void* buf, size_t len, size_t* done, unsigned timeout_ms, bool in) {
    if (done) *done = 0;
    WinEndpoint* ep = as_endpoint(h);
    if (!ep) return false;
    if (len > ULONG_MAX) return fail_with(ERROR_INVALID_PARAMETER);
    if (!set_timeout(ep, timeout_ms)) return false;
    ULONG n = 0;
    auto* data = static_cast<PUCHAR>(buf);
    BOOL ok = in ? api().read_pipe(ep->owner->usb, ep->pipe, data, static_cast<ULONG>(len), &n, nullptr)
                 : api().write_pipe(ep->owner->usb, ep->pipe, data, static_cast<ULONG>(len), &n, nullptr);
    if (done) *done = n;
    if (ok) return true;
    fail();
    // A bulk transfer on a stalled pipe ends with a general failure; the pipe stays halted until
    // it is reset, as after EPIPE elsewhere.
    if (api().get_last_error() == ERROR_GEN_FAILURE) errno = EPIPE;
    return false;
}

bool win_read_endpoint_sync(usbos_handle h, void* buf, size_t len, size_t* received, unsigned timeout_ms) {
    return transfer(h, buf, len, received, timeout_ms, true);
}

bool win_write_endpoint_sync(usbos_handle h, const void* buf, size_t len, size_t* sent,
                             unsigned timeout_ms) {
    // WinUSB takes one buffer type for both directions; a write only reads it.
    return transfer(h, const_cast<void*>(buf), len, sent, timeout_ms, false);
}

void win_close_handle(usbos_handle h) {
    if (!h) return;
    switch (h->kind) {
        case usbos_object::kEnum: {
            auto* e = static_cast<WinEnum*>(h);
            DWORD code = api().get_last_error();
            api().destroy_device_info_list(e->set);
            api().set_last_error(code);
            delete e;
            break;
        }
        case usbos_object::kInterface: {
            auto* ifc = static_cast<WinInterface*>(h);
            release(ifc);
            delete ifc;
            break;
        }
        case usbos_object::kEndpoint:
            delete static_cast<WinEndpoint*>(h);
            break;
    }
}

size_t win_max_packet_size(usbos_handle h) {
    WinEndpoint* ep = as_endpoint(h);
    return ep ? ep->max_packet : 0;
}

bool win_clear_halt(usbos_handle h) {
    WinEndpoint* ep = as_endpoint(h);
    if (!ep) return false;
    return api().reset_pipe(ep->owner->usb, ep->pipe) || fail();
}

const usbos_ops kWinusbOps = {
    win_enum_interfaces,
    win_next_interface,
    win_create_interface_by_name,
    win_open_default_bulk_read_endpoint,
    win_open_default_bulk_write_endpoint,
    win_get_interface_name,
    win_get_port_path,
    win_get_device_descriptor,
    win_get_interface_descriptor,
    win_get_serial_number,
    win_read_endpoint_sync,
    win_write_endpoint_sync,
    win_close_handle,
    win_max_packet_size,
    win_clear_halt,
    // SetupAPI reads the bus at every enumeration.
    nullptr,
};

}  // namespace

const usbos_ops* usbos_system_ops() {
    return &kWinusbOps;
}
