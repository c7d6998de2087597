// A fake of the Windows calls the WinUSB backend makes (SetupAPI, CreateFile, WinUSB and the
// last-error code), for testing the backend's own logic without a board and under wine, whose
// WinUSB knows no devices. Boards are plain records; transfers are scripted; every call that
// matters is recorded.
#pragma once
#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "usb/usb_os.h"
#include "usb/winusb_api.h"

namespace winfake {

struct Pipe {
    UCHAR id;
    USBD_PIPE_TYPE type;
};

struct Board {
    std::string path = "\\\\?\\usb#vid_4f2d&pid_c004#vxn0001#{5e0c7a13-9b42-4d8e-a6f1-37c2d9b0e458}";
    std::string instance_id = "USB\\VID_4F2D&PID_C004\\VXN0001";
    std::string location_paths = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)";
    uint16_t vendor = 0x4f2d, product = 0xc004;
    UCHAR serial_index = 3;
    std::string serial = "VXN0001";
    UCHAR cls = 0xff, subclass = 0x42, protocol = 0x03;
    std::vector<Pipe> pipes = {{0x81, UsbdPipeTypeBulk}, {0x02, UsbdPipeTypeBulk}};
    // Windows error codes of the failing step of opening (0: it works).
    DWORD create_error = 0, initialize_error = 0;
};

// What a transfer does: writes take at most `limit` bytes; reads deliver `data`.
struct Step {
    DWORD error = 0;
    size_t limit = SIZE_MAX;
    std::string data;
};

struct Policy {
    UCHAR pipe;
    ULONG type;
    ULONG value;
};

struct Fake {
    std::vector<Board> boards;
    DWORD last_error = 0;
    // The class and flags of the last enumeration.
    GUID cls{};
    DWORD flags = 0;
    // CreateFile's access, sharing, disposition and flags, for each open.
    std::vector<std::vector<DWORD>> creates;
    std::vector<USHORT> languages;  // of the string descriptor reads
    std::vector<Policy> policies;
    std::deque<Step> reads, writes;
    std::vector<std::pair<UCHAR, ULONG>> read_calls, write_calls;  // pipe and length
    std::vector<UCHAR> reset_pipes;  // pipes whose halt was cleared
    std::string written;
    // Open handles, by kind.
    std::set<void*> sets, files, interfaces;
    int frees = 0, closes = 0;
};

inline Fake* g = nullptr;

// The handles are the addresses of these records.
struct FileObj {
    size_t board;
};
struct UsbObj {
    size_t board;
};

inline BOOL set_error(DWORD code) {
    g->last_error = code;
    return FALSE;
}

inline HDEVINFO WINAPI get_class_devs(const GUID* cls, PCSTR, HWND, DWORD flags) {
    g->cls = *cls;
    g->flags = flags;
    void* set = new char;
    g->sets.insert(set);
    return set;
}

inline BOOL WINAPI enum_device_interfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                          PSP_DEVICE_INTERFACE_DATA data) {
    if (!g->sets.count(set) || data->cbSize != sizeof(*data)) return set_error(ERROR_INVALID_PARAMETER);
    if (index >= g->boards.size()) return set_error(ERROR_NO_MORE_ITEMS);
    data->Reserved = index;
    return TRUE;
}

inline BOOL WINAPI get_device_interface_detail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                               PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                               PDWORD required, PSP_DEVINFO_DATA info) {
    if (!g->sets.count(set)) return set_error(ERROR_INVALID_HANDLE);
    const std::string& path = g->boards[data->Reserved].path;
    DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required) *required = need;
    if (!detail || size < need) return set_error(ERROR_INSUFFICIENT_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return set_error(ERROR_INVALID_USER_BUFFER);
    memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (info) {
        if (info->cbSize != sizeof(*info)) return set_error(ERROR_INVALID_USER_BUFFER);
        info->Reserved = data->Reserved;
    }
    return TRUE;
}

inline BOOL copy_out(const std::string& text, PBYTE buf, DWORD size) {
    if (text.size() > size) return set_error(ERROR_INSUFFICIENT_BUFFER);
    memcpy(buf, text.data(), text.size());
    return TRUE;
}

inline BOOL WINAPI get_device_registry_property(HDEVINFO set, PSP_DEVINFO_DATA info, DWORD property,
                                                PDWORD type, PBYTE buf, DWORD size, PDWORD) {
    if (!g->sets.count(set)) return set_error(ERROR_INVALID_HANDLE);
    const Board& b = g->boards[info->Reserved];
    if (property != SPDRP_LOCATION_PATHS || b.location_paths.empty()) return set_error(ERROR_INVALID_DATA);
    if (type) *type = REG_MULTI_SZ;
    // A list of strings: the path given, a second one, and the list's end.
    return copy_out(b.location_paths + std::string(1, '\0') + "ACPI(_SB_)#USB(9)" + std::string(2, '\0'), buf, size);
}

inline BOOL WINAPI get_device_instance_id(HDEVINFO set, PSP_DEVINFO_DATA info, PSTR buf, DWORD size, PDWORD) {
    if (!g->sets.count(set)) return set_error(ERROR_INVALID_HANDLE);
    const std::string& id = g->boards[info->Reserved].instance_id;
    return copy_out(id + std::string(1, '\0'), reinterpret_cast<PBYTE>(buf), size);
}

inline BOOL WINAPI destroy_device_info_list(HDEVINFO set) {
    if (!g->sets.erase(set)) return set_error(ERROR_INVALID_HANDLE);
    delete static_cast<char*>(set);
    return TRUE;
}

inline std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

inline HANDLE WINAPI create_file(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                                 DWORD flags, HANDLE) {
    g->creates.push_back({access, share, disposition, flags});
    for (size_t i = 0; i < g->boards.size(); i++) {
        if (lower(g->boards[i].path) != lower(name)) continue;
        if (g->boards[i].create_error) {
            set_error(g->boards[i].create_error);
            return INVALID_HANDLE_VALUE;
        }
        auto* f = new FileObj{i};
        g->files.insert(f);
        return f;
    }
    set_error(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

inline BOOL WINAPI close_handle(HANDLE h) {
    if (!g->files.erase(h)) return set_error(ERROR_INVALID_HANDLE);
    delete static_cast<FileObj*>(h);
    g->closes++;
    return TRUE;
}

inline BOOL WINAPI initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE usb) {
    if (!g->files.count(file)) return set_error(ERROR_INVALID_HANDLE);
    size_t board = static_cast<FileObj*>(file)->board;
    if (g->boards[board].initialize_error) return set_error(g->boards[board].initialize_error);
    auto* u = new UsbObj{board};
    g->interfaces.insert(u);
    *usb = u;
    return TRUE;
}

inline BOOL WINAPI free_usb(WINUSB_INTERFACE_HANDLE usb) {
    if (!g->interfaces.erase(usb)) return set_error(ERROR_INVALID_HANDLE);
    delete static_cast<UsbObj*>(usb);
    g->frees++;
    return TRUE;
}

inline const Board* board_of(WINUSB_INTERFACE_HANDLE usb) {
    if (!g->interfaces.count(usb)) return nullptr;
    return &g->boards[static_cast<UsbObj*>(usb)->board];
}

inline std::string string_descriptor(const std::string& text) {
    std::string d(2, '\0');
    for (char c : text) d += std::string{c, '\0'};
    d[0] = static_cast<char>(d.size());
    d[1] = USB_STRING_DESCRIPTOR_TYPE;
    return d;
}

inline BOOL WINAPI get_descriptor(WINUSB_INTERFACE_HANDLE usb, UCHAR type, UCHAR index, USHORT language,
                                  PUCHAR buf, ULONG size, PULONG transferred) {
    const Board* b = board_of(usb);
    if (!b) return set_error(ERROR_INVALID_HANDLE);
    std::string d;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
        usb_device_descriptor dd{};
        dd.bLength = sizeof(dd);
        dd.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        dd.idVendor = b->vendor;
        dd.idProduct = b->product;
        dd.iSerialNumber = b->serial_index;
        dd.bNumConfigurations = 1;
        d.assign(reinterpret_cast<const char*>(&dd), sizeof(dd));
    } else if (type == USB_STRING_DESCRIPTOR_TYPE && index == 0) {
        d = std::string("\x04\x03\x07\x04", 4);  // German (Germany) first
    } else if (type == USB_STRING_DESCRIPTOR_TYPE && index == b->serial_index) {
        g->languages.push_back(language);
        d = string_descriptor(b->serial);
    } else {
        return set_error(ERROR_GEN_FAILURE);
    }
    *transferred = static_cast<ULONG>(std::min<size_t>(size, d.size()));
    memcpy(buf, d.data(), *transferred);
    return TRUE;
}

inline BOOL WINAPI query_interface_settings(WINUSB_INTERFACE_HANDLE usb, UCHAR alternate, PUSB_INTERFACE_DESCRIPTOR out) {
    const Board* b = board_of(usb);
    if (!b) return set_error(ERROR_INVALID_HANDLE);
    if (alternate != 0) return set_error(ERROR_NO_MORE_ITEMS);
    memset(out, 0, sizeof(*out));
    out->bLength = sizeof(*out);
    out->bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
    out->bNumEndpoints = static_cast<UCHAR>(b->pipes.size());
    out->bInterfaceClass = b->cls;
    out->bInterfaceSubClass = b->subclass;
    out->bInterfaceProtocol = b->protocol;
    return TRUE;
}

inline BOOL WINAPI query_pipe(WINUSB_INTERFACE_HANDLE usb, UCHAR, UCHAR index, PWINUSB_PIPE_INFORMATION out) {
    const Board* b = board_of(usb);
    if (!b) return set_error(ERROR_INVALID_HANDLE);
    if (index >= b->pipes.size()) return set_error(ERROR_NO_MORE_ITEMS);
    memset(out, 0, sizeof(*out));
    out->PipeType = b->pipes[index].type;
    out->PipeId = b->pipes[index].id;
    out->MaximumPacketSize = 512;
    return TRUE;
}

inline BOOL WINAPI set_pipe_policy(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, ULONG type, ULONG size, PVOID value) {
    if (!board_of(usb)) return set_error(ERROR_INVALID_HANDLE);
    if (size != sizeof(ULONG)) return set_error(ERROR_INVALID_PARAMETER);
    g->policies.push_back({pipe, type, *static_cast<ULONG*>(value)});
    return TRUE;
}

inline BOOL WINAPI read_pipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, PUCHAR buf, ULONG len, PULONG transferred,
                             LPOVERLAPPED) {
    *transferred = 0;
    if (!board_of(usb)) return set_error(ERROR_INVALID_HANDLE);
    g->read_calls.push_back({pipe, len});
    if (g->reads.empty()) return set_error(ERROR_SEM_TIMEOUT);
    Step s = g->reads.front();
    g->reads.pop_front();
    if (s.error) return set_error(s.error);
    *transferred = static_cast<ULONG>(std::min<size_t>(len, s.data.size()));
    memcpy(buf, s.data.data(), *transferred);
    return TRUE;
}

inline BOOL WINAPI write_pipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, PUCHAR buf, ULONG len, PULONG transferred,
                              LPOVERLAPPED) {
    *transferred = 0;
    if (!board_of(usb)) return set_error(ERROR_INVALID_HANDLE);
    g->write_calls.push_back({pipe, len});
    Step s;
    if (!g->writes.empty()) {
        s = g->writes.front();
        g->writes.pop_front();
    }
    if (s.error) return set_error(s.error);
    *transferred = static_cast<ULONG>(std::min<size_t>(len, s.limit));
    g->written.append(reinterpret_cast<const char*>(buf), *transferred);
    return TRUE;
}

// Clearing a halt: the pipe is remembered, so a test can tell it was cleared.
inline BOOL WINAPI reset_pipe(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe) {
    if (!board_of(usb)) return set_error(ERROR_INVALID_HANDLE);
    g->reset_pipes.push_back(pipe);
    return TRUE;
}

inline DWORD WINAPI get_last_error() {
    return g->last_error;
}

inline void WINAPI set_last_error(DWORD code) {
    g->last_error = code;
}

inline const winusb_api kApi = {
    get_class_devs, enum_device_interfaces, get_device_interface_detail, get_device_registry_property,
    get_device_instance_id, destroy_device_info_list, create_file, close_handle, initialize, free_usb,
    get_descriptor, query_interface_settings, query_pipe, set_pipe_policy, read_pipe, write_pipe,
    reset_pipe, get_last_error, set_last_error,
};

// Installs the fake, and the system's USB operations over it, for the life of the object.
class Installed {
  public:
    explicit Installed(Fake& fake) {
        g = &fake;
        old_api_ = winusb_install(&kApi);
        old_ops_ = usbos_install(nullptr);
    }
    ~Installed() {
        winusb_install(old_api_ == winusb_system_api() ? nullptr : old_api_);
        usbos_install(old_ops_ == usbos_system_ops() ? nullptr : old_ops_);
        g = nullptr;
    }

  private:
    const winusb_api* old_api_;
    const usbos_ops* old_ops_;
};

}  // namespace winfake
